#!/usr/bin/env python3
"""One periodic walk (MONITOR_RESCAN_SECONDS) over 100,000 files with nothing
changed, beside `find -newer` over the same tree: wall and processor time,
on a local ext4 tree and on the same tree through bindfs (FUSE, where every
look-up is a round trip to a daemon, as on a network share), so that an
administrator can choose the interval. The monitor's own walk code is
measured (bench/rescan_walk.cpp, built here from src/); runs alternate
between the two, seven each, and medians are printed as a Markdown table.

  bench/rescan_bench.py [--runs 7] [--keep]   (root: bindfs is mounted)
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion",
         "-Werror", "-fno-exceptions", "-fno-rtti"]
SOURCES = ["remote_walks.cpp", "mount_watch.cpp", "mounts.cpp", "changed_walk.cpp",
           "folder_lister.cpp"]
FOLDERS, FILES = 1000, 100


def build(tmp):
    out = os.path.join(tmp, "rescan_walk")
    subprocess.run(["g++", *FLAGS, "-I", os.path.join(ROOT, "src"), "-I",
                    os.path.join(ROOT, "src", "linux"), os.path.join(HERE, "rescan_walk.cpp"),
                    *[os.path.join(ROOT, "src", "linux", s) for s in SOURCES], "-o", out], check=True)
    return out


def make_tree(root):
    for d in range(FOLDERS):
        folder = os.path.join(root, "d%04d" % d)
        os.mkdir(folder)
        for f in range(FILES):
            with open(os.path.join(folder, "f%03d" % f), "wb") as h:
                h.write(b"x")


def walk(tool, tree, pause_ms):
    done = subprocess.run([tool, tree, "1", str(pause_ms)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def find_newer(tree, stamp, pause_ms):
    time.sleep(pause_ms / 1000)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(["find", tree, "-newer", stamp], capture_output=True, check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"wall_s": wall, "cpu_s": cpu, "records": len(done.stdout.splitlines())}


def measure(tool, tree, stamp, runs, pause_ms):
    results = {"walk": [], "find": []}
    for _ in range(runs):
        results["walk"].append(walk(tool, tree, pause_ms))
        results["find"].append(find_newer(tree, stamp, pause_ms))
    return results


def median(rows, key):
    return statistics.median(r[key] for r in rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--keep", action="store_true", help="leave the trees in place")
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="rescan-bench-", dir="/var/tmp")
    mounted = None
    try:
        tool = build(tmp)
        tree = os.path.join(tmp, "tree")
        os.mkdir(tree)
        make_tree(tree)
        stamp = os.path.join(tmp, "stamp")
        time.sleep(2.5)  # every file older than the walk's 2 s margin
        open(stamp, "wb").close()
        cases = [("ext4 (page cache warm)", tree, 0)]
        if shutil.which("bindfs") and os.path.exists("/dev/fuse"):
            mounted = os.path.join(tmp, "fuse")
            os.mkdir(mounted)
            subprocess.run(["bindfs", tree, mounted], check=True)
            # Attributes cached by FUSE for 1 s: expired between runs.
            cases.append(("bindfs (FUSE), attributes expired", mounted, 1500))
        load = os.getloadavg()[0]
        print("%s, load average %.1f, %d folders of %d files, %d runs each, medians\n" %
              (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), load, FOLDERS, FILES, args.runs))
        print("| tree | walk: wall | walk: processor | find -newer: wall | find -newer: processor |")
        print("|---|---|---|---|---|")
        for name, path, pause in cases:
            r = measure(tool, path, stamp, args.runs, pause)
            assert all(row["records"] == 0 for row in r["walk"]), r["walk"]
            print("| %s | %.3f s | %.3f s | %.3f s | %.3f s |" % (
                name, median(r["walk"], "wall_s"), median(r["walk"], "cpu_s"),
                median(r["find"], "wall_s"), median(r["find"], "cpu_s")))
    finally:
        if mounted:
            subprocess.run(["umount", mounted])
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
