#!/usr/bin/env python3
"""The catch-up walker beside an earlier build of the monitor, in one run:

  setup   set-up on a tree of 100,000 directories (bench.py's tree) until
          READY=1, the two monitors interleaved, seven runs each: wall time and
          the processor time the monitor took
  race    the rename-after-write race: 100 rounds of "write inbox/malK,
          rename inbox to keptK, make inbox again" with no pause, behind a
          detector that takes 50 ms and logs the content it found; a file
          counts as scanned when some run read its content at inbox/malK
          (before the rename) or at keptK/malK; each reader

  bench/walker_bench.py --build BUILD --previous OLD_MONITOR [--only setup,race]

BUILD holds monitor, bench/benchtool (bench/run builds it) and
bench/det_true; the race's detector is built here from bench/detectors.cpp.
Prints a Markdown table per figure."""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion",
         "-Werror", "-fno-exceptions", "-fno-rtti"]
ROUNDS = 100


def install(tmp, name, monitor, detector):
    path = os.path.join(tmp, "install-" + name)
    os.makedirs(path)
    shutil.copy2(monitor, os.path.join(path, "monitor"))
    shutil.copy2(detector, os.path.join(path, "AV_Quillmar.exe"))
    return path


def tool(build, *args):
    import json
    done = subprocess.run([os.path.join(build, "bench", "benchtool"), *map(str, args)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def setup_once(monitor, tree):
    """Starts the monitor on tree and waits for READY=1 (every folder
    watched): wall seconds, and the processor seconds it took (user and
    system), which load from elsewhere on the machine touches far less."""
    socket_name, listener = ready_socket()
    env = dict(os.environ, MONITOR_BACKEND="inotify", NOTIFY_SOCKET=socket_name)
    started = time.monotonic()
    process = subprocess.Popen([monitor, tree], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=env)
    with listener:
        listener.recv(64)
    wall = time.monotonic() - started
    with open("/proc/%d/stat" % process.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    process.stdin.write(b"q\n")
    process.stdin.close()
    process.wait(60)
    return wall, cpu


def figure_setup(build, tmp, monitors, runs=7):
    tree = os.path.join(build, "bench-trees", "tree100000x3")
    if not os.path.exists(tree + ".done"):
        os.makedirs(os.path.dirname(tree), exist_ok=True)
        tool(build, "gen", tree, 100000, 3)
        open(tree + ".done", "w").close()
    subprocess.run(["find", tree, "-type", "d"], stdout=subprocess.DEVNULL, check=True)
    walls = {name: [] for name in monitors}
    cpus = {name: [] for name in monitors}
    for _ in range(runs):
        for name, path in monitors.items():
            wall, cpu = setup_once(os.path.join(path, "monitor"), tree)
            walls[name].append(wall)
            cpus[name].append(cpu)
            time.sleep(1)  # the kernel frees the ended watcher's watches
    print("| set-up, 100,000 directories | wall, median | processor, median | wall runs (s) | processor runs (s) |")
    print("|---|---|---|---|---|")
    for name in monitors:
        print("| %s | %.3f s | %.3f s | %s | %s |" % (
            name, statistics.median(walls[name]), statistics.median(cpus[name]),
            ", ".join("%.2f" % v for v in walls[name]), ", ".join("%.2f" % v for v in cpus[name])))


def ready_socket():
    name = "@walker-bench-%d-%f" % (os.getpid(), time.time())
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind("\0" + name[1:])
    listener.settimeout(60)
    return name, listener


def race_once(tmp, name, path, backend):
    root = os.path.join(tmp, "race-%s-%s" % (name, backend))
    os.makedirs(os.path.join(root, "inbox"))
    log = os.path.join(path, "scanned.log")
    if os.path.exists(log):
        os.unlink(log)
    socket_name, listener = ready_socket()
    env = dict(os.environ, MONITOR_BACKEND=backend, NOTIFY_SOCKET=socket_name)
    monitor = subprocess.Popen([os.path.join(path, "monitor"), root], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    with listener:
        listener.recv(64)
    for k in range(ROUNDS):
        with open(os.path.join(root, "inbox", "mal%d" % k), "wb") as f:
            f.write(b"EVIL-%d" % k)
        os.rename(os.path.join(root, "inbox"), os.path.join(root, "kept%d" % k))
        os.mkdir(os.path.join(root, "inbox"))
    # Done once the log has not grown for 5 s (at most 5 minutes).
    last, quiet_since, started = -1, time.monotonic(), time.monotonic()
    while time.monotonic() - quiet_since < 5 and time.monotonic() - started < 300:
        size = os.path.getsize(log) if os.path.exists(log) else 0
        if size != last:
            last, quiet_since = size, time.monotonic()
        time.sleep(0.2)
    monitor.stdin.write(b"q\n")
    monitor.stdin.close()
    monitor.wait(30)
    scanned = set()
    runs = 0
    with open(log, "rb") as f:
        for line in f:
            runs += 1
            where, _, content = line.rstrip(b"\n").partition(b"\t")
            for k in range(ROUNDS):
                good = (b"/inbox/mal%d" % k, b"/kept%d/mal%d" % (k, k))
                if where.endswith(good) and content == b"EVIL-%d" % k:
                    scanned.add(k)
    return len(scanned), runs


def figure_race(tmp, monitors, detector):
    print("| monitor | reader | files scanned with their content, of %d | detector runs |" % ROUNDS)
    print("|---|---|---|---|")
    for name, path in monitors.items():
        shutil.copy2(detector, os.path.join(path, "AV_Quillmar.exe"))
        for backend in ("inotify", "fanotify"):
            scanned, runs = race_once(tmp, name, path, backend)
            print("| %s | %s | %d | %d |" % (name, backend, scanned, runs), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--previous", required=True)
    parser.add_argument("--only", default="setup,race")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    only = set(args.only.split(","))
    tmp = tempfile.mkdtemp(prefix="walker-bench-")
    try:
        det_true = os.path.join(build, "bench", "det_true")
        detector = os.path.join(tmp, "det_content")
        subprocess.run(["g++", *FLAGS, "-static", "-DCONTENT_LOG", "-DSLEEP_US=50000",
                        os.path.join(HERE, "detectors.cpp"), "-o", detector], check=True)
        monitors = {"previous": install(tmp, "previous", os.path.abspath(args.previous), det_true),
                    "current": install(tmp, "current", os.path.join(build, "monitor"), det_true)}
        if "setup" in only:
            figure_setup(build, tmp, monitors)
        if "race" in only:
            figure_race(tmp, monitors, detector)
    finally:
        subprocess.run(["rm", "-rf", tmp], check=False)


if __name__ == "__main__":
    main()
