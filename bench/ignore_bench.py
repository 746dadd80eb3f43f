"""Figure 13 of the benchmark: what the fanotify reader's ignore marks and the
choice of reader before any walk bring, beside the version before them
("before": a Release build of the commit before that work), and the floor of
the inotify set-up, in one run:

    python3 bench/ignore_bench.py --build build-bench --before PATH/monitor [--out FILE] [--profile]

Measured, with the trivial stand-in detector beside each monitor:
- an unrelated writer (`benchtool gen`: 100,000 small files in 1,000
  folders) on the same filesystem as a field watched with fanotify, outside
  it, on ext4 and on a tmpfs: the writer's time with no monitor, with the
  monitor before and after, interleaved; the reader's processor time while it
  ran, per file written;
- the automatic choice on a tree of 250,000 folders as root: the time from
  start until a file written in the folder inotify lists last is reported;
- set-up at 100,000 folders (the bench's tree) with inotify forced, beside a
  plain C walk that adds a watch per folder (bench/watch_floor.c), pairs
  interleaved: processor time and peak RSS; with --profile, `perf record` of
  one set-up and the functions that took the most.
"""

import os
import re
import resource
import statistics
import subprocess
import sys
import time

from fanotify_bench import Lines

TITLE = "## 13. Ignore marks, the reader chosen before walking, the set-up floor"
WRITER_DIRS, WRITER_FILES = 1000, 100
WRITER_REPS = 3
HUGE = 250000
HUGE_REPS = 3
FLOOR_DIRS = 100000
FLOOR_REPS = 5
IGNORE_LINE = re.compile(rb"^fanotify ino:.*\bignored_mask:([0-9a-f]+)")


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def load():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def ignore_marks(pid):
    count = 0
    fd_dir = f"/proc/{pid}/fdinfo"
    for name in os.listdir(fd_dir):
        try:
            with open(os.path.join(fd_dir, name), "rb") as f:
                count += sum(1 for line in f if (m := IGNORE_LINE.match(line)) and int(m.group(1), 16))
        except OSError:
            pass
    return count


def writer_cost(bench, monitors, place, label):
    times = {who: [] for who in ["none"] + list(monitors)}
    own = {who: [] for who in times}  # the writer's own processor time
    cpu = {who: [] for who in monitors}
    marks = {who: [] for who in monitors}
    loads = []
    for rep in range(WRITER_REPS):
        for who in times:
            w = None
            if who != "none":
                watched = os.path.join(place, f"watched-{who}-{rep}")
                os.mkdir(watched)
                w = Lines(["env", "MONITOR_BACKEND=fanotify", monitors[who], watched])
                if not w.wait_for(b"probe", 20, touch=os.path.join(watched, "probe")):
                    w.stop()
                    raise RuntimeError(f"{who} never reported its probe")
                before = w.cpu_seconds()
            target = os.path.join(place, f"writer-{who}-{rep}")
            loads.append(load())
            u0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.monotonic()
            bench.run_tool("gen", target, WRITER_DIRS, WRITER_FILES)
            times[who].append(time.monotonic() - t0)
            u1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            own[who].append(u1.ru_utime + u1.ru_stime - u0.ru_utime - u0.ru_stime)
            if w:
                cpu[who].append(w.cpu_seconds() - before)
                marks[who].append(ignore_marks(w.process.pid))
                w.stop()
            subprocess.run(["rm", "-rf", target], check=False)
    row = {"where": label, "files": WRITER_DIRS * WRITER_FILES, "times": times, "own": own, "cpu": cpu,
           "marks": marks, "load": loads}
    log(f"  writer on {label}: " + ", ".join(
        f"{who} {statistics.median(t):.2f} s" for who, t in times.items()) + "; reader " +
        ", ".join(f"{who} {statistics.median(c):.2f} s" for who, c in cpu.items()))
    return row


def huge_choice(bench, monitors):
    tree = os.path.join(bench.build, "bench-trees", f"tree{HUGE}x0")
    if not os.path.exists(tree + ".done"):
        subprocess.run(["rm", "-rf", tree], check=True)
        t0 = time.monotonic()
        bench.run_tool("gen", tree, HUGE, 0, timeout=3600)
        open(tree + ".done", "w").close()
        log(f"  tree of {HUGE} folders made in {time.monotonic() - t0:.0f} s")
    corner = subprocess.run([bench.tool, "lastdir", tree], stdout=subprocess.PIPE, text=True,
                            check=True).stdout.strip()
    runs = {who: [] for who in monitors}
    loads = []
    env = dict(os.environ)
    env.pop("MONITOR_BACKEND", None)
    for _ in range(HUGE_REPS):
        for who, monitor in monitors.items():
            probe = os.path.join(corner, "probe")
            loads.append(load())
            done = subprocess.run([bench.tool, "setup", probe, "-", "q", "300", "--", monitor, tree],
                                  stdout=subprocess.PIPE, text=True, check=True, env=env)
            import json
            runs[who].append(json.loads(done.stdout.strip().splitlines()[-1]))
            if os.path.exists(probe):
                os.unlink(probe)
            bench.wait_watches_free()
            time.sleep(2)  # the kernel frees up to 190,000 watches in the background
    log("  far corner at %d folders: " % HUGE + ", ".join(
        f"{who} {statistics.median(r['seconds'] for r in rs):.3f} s" for who, rs in runs.items()))
    return {"runs": runs, "load": loads}


def floor(bench, monitor, profile):
    tree = bench.tree(FLOOR_DIRS)
    corner = subprocess.run([bench.tool, "lastdir", tree], stdout=subprocess.PIPE, text=True,
                            check=True).stdout.strip()
    floor_tool = os.path.join(bench.tools, "watch_floor")
    bench.run_tool("walk", "--", "find", tree, "-type", "d")  # into the page cache
    runs = {"floor": [], "monitor": []}
    loads = []
    env = dict(os.environ, MONITOR_BACKEND="inotify")
    import json
    for _ in range(FLOOR_REPS):
        loads.append(load())
        done = subprocess.run([floor_tool, tree], stdout=subprocess.PIPE, text=True, check=True)
        runs["floor"].append(json.loads(done.stdout))
        bench.wait_watches_free()
        time.sleep(1)
        probe = os.path.join(corner, "probe")
        loads.append(load())
        done = subprocess.run([bench.tool, "setup", probe, "-", "q", "300", "--", monitor, tree],
                              stdout=subprocess.PIPE, text=True, check=True, env=env)
        runs["monitor"].append(json.loads(done.stdout.strip().splitlines()[-1]))
        if os.path.exists(probe):
            os.unlink(probe)
        bench.wait_watches_free()
        time.sleep(1)
    out = {"runs": runs, "load": loads}
    f = statistics.median(r["cpu_seconds"] for r in runs["floor"])
    m = statistics.median(r["cpu_seconds"] for r in runs["monitor"])
    log(f"  set-up at {FLOOR_DIRS}: floor {f:.2f} s, monitor {m:.2f} s of processor time")
    if profile:
        data = os.path.join(bench.tmp, "setup.perf")
        probe = os.path.join(corner, "probe")
        subprocess.run([bench.tool, "setup", probe, "-", "q", "300", "--", "perf", "record", "-q",
                        "-F", "2000", "-g", "-o", data, "--", monitor, tree],
                       stdout=subprocess.PIPE, check=True, env=env)
        if os.path.exists(probe):
            os.unlink(probe)
        report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                 "--sort", "symbol", "-g", "none", "--percent-limit", "1.5"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        out["profile"] = [l for l in report.stdout.splitlines() if l.strip() and not l.startswith("#")]
        bench.wait_watches_free()
    return out


def figure(bench, before, profile):
    log("figure 13: ignore marks, the reader chosen before walking, the set-up floor")
    monitors = {"before": bench.install("ignore-before", os.path.join(bench.tools, "det_true"), before),
                "after": bench.install("ignore-after", os.path.join(bench.tools, "det_true"))}
    r = bench.results["ignores"] = {}
    r["floor"] = floor(bench, monitors["after"], profile)
    r["writer"] = [writer_cost(bench, monitors, bench.fresh_dir("writer"), "ext4")]
    place = bench.fresh_dir("writer-tmpfs")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4g", "none", place], check=True)
    try:
        r["writer"].append(writer_cost(bench, monitors, place, "tmpfs"))
    finally:
        subprocess.run(["umount", "-l", place], check=False)
    r["huge"] = huge_choice(bench, monitors)


def section(bench):
    r = bench.results["ignores"]
    out = [TITLE, ""]
    w = out.append
    w("| goal | measured | |")
    w("|---|---|---|")
    for row in r["writer"]:
        none = statistics.median(row["times"]["none"])
        after = statistics.median(row["times"]["after"])
        slower = (after / none - 1) * 100
        w(f"| unrelated writer with fanotify, {row['where']}: ≤ +10% | {slower:+.0f}% | "
          f"{'met' if slower <= 10 else '**missed**'} |")
    for row in r["writer"]:
        per = statistics.mean(row["cpu"]["after"]) / row["files"] * 1e6
        w(f"| reader's processor time per outside file, {row['where']}: ≤ 1 µs | {per:.2f} µs | "
          f"{'met' if per <= 1 else '**missed**'} |")
    h = statistics.median(x["seconds"] for x in r["huge"]["runs"]["after"])
    w(f"| far corner at {HUGE:,} folders, automatic choice as root: ≤ 1 s | {h:.3f} s | "
      f"{'met' if 0 <= h <= 1 else '**missed**'} |")
    w("")
    w(f"An unrelated writer: {WRITER_DIRS * WRITER_FILES:,} small files in {WRITER_DIRS:,} "
      "folders (`benchtool gen`), outside a field watched with `MONITOR_BACKEND=fanotify` on "
      f"the same filesystem; medians of {WRITER_REPS} interleaved runs. Processor time is the "
      "monitor's while the writer ran; ignore marks are those the kernel held at the end.")
    w("")
    w("| filesystem | no monitor | before | after | slower, before | slower, after | "
      "reader's processor time, before | after | per file, before | after | ignore marks held |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    for row in r["writer"]:
        t = {k: statistics.median(v) for k, v in row["times"].items()}
        c = {k: statistics.median(v) for k, v in row["cpu"].items()}
        w(f"| {row['where']} | {t['none']:.2f} s | {t['before']:.2f} s | {t['after']:.2f} s | "
          f"{(t['before'] / t['none'] - 1) * 100:+.0f}% | {(t['after'] / t['none'] - 1) * 100:+.0f}% | "
          f"{c['before']:.2f} s | {c['after']:.3f} s | {c['before'] / row['files'] * 1e6:.1f} µs | "
          f"{c['after'] / row['files'] * 1e6:.2f} µs | {max(row['marks']['after'])} |")
    w("")
    w("The writer's own processor time (user and system, its kernel work for each event "
      "included), which other work on the machine disturbs less than its wall time: " + "; ".join(
        f"{row['where']}: " + ", ".join(f"{k} {statistics.median(v):.2f} s" for k, v in row["own"].items())
        + f" ({(statistics.median(row['own']['after']) / statistics.median(row['own']['none']) - 1) * 100:+.0f}% after, "
        f"{(statistics.median(row['own']['before']) / statistics.median(row['own']['none']) - 1) * 100:+.0f}% before)"
        for row in r["writer"]) + ".")
    w("")
    for row in r["writer"]:
        w(f"- {row['where']}, every run (s): " + "; ".join(
            f"{k} {[round(x, 2) for x in v]}" for k, v in row["times"].items()) +
          "; processor time: " + "; ".join(f"{k} {[round(x, 3) for x in v]}"
                                          for k, v in row["cpu"].items()) +
          f"; 1-minute load at each start: {row['load']}")
    w("")
    hr = r["huge"]["runs"]
    w(f"The automatic choice as root on a tree of {HUGE:,} empty folders (ext4): from start until "
      "a file written every millisecond in the folder inotify lists last is reported; medians "
      f"of {HUGE_REPS}, interleaved.")
    w("")
    w("| monitor | far corner after | every run | peak RSS |")
    w("|---|---|---|---|")
    for who, rs in hr.items():
        w(f"| {who} | {statistics.median(x['seconds'] for x in rs):.3f} s | "
          f"{[round(x['seconds'], 3) for x in rs]} | {max(x['hwm_kb'] for x in rs) / 1024:.1f} MB |")
    w("")
    fl = r["floor"]["runs"]
    f = statistics.median(x["cpu_seconds"] for x in fl["floor"])
    m = statistics.median(x["cpu_seconds"] for x in fl["monitor"])
    w(f"Set-up at {FLOOR_DIRS:,} folders (the tree of figure 1), `MONITOR_BACKEND=inotify`, "
      "beside `bench/watch_floor.c` (walks the tree, one `inotify_add_watch` per folder, "
      f"nothing else), {FLOOR_REPS} pairs interleaved: processor time until the far corner is "
      f"reported against the floor's whole run: {m:.2f} s against {f:.2f} s ({m / f:.2f}×); "
      f"wall {statistics.median(x['seconds'] for x in fl['monitor']):.2f} s against "
      f"{statistics.median(x['seconds'] for x in fl['floor']):.2f} s; peak RSS "
      f"{max(x['hwm_kb'] for x in fl['monitor']) / 1024:.1f} MB against "
      f"{max(x['maxrss_kb'] for x in fl['floor']) / 1024:.1f} MB. Every run: monitor "
      f"{[x['cpu_seconds'] for x in fl['monitor']]}, floor "
      f"{[round(x['cpu_seconds'], 3) for x in fl['floor']]}; load at each start "
      f"{r['floor']['load']}.")
    w("")
    if r["floor"].get("profile"):
        w("Where the monitor's set-up spends it (`perf record -g`, self time by symbol, "
          "over 1.5%):")
        w("")
        w("```")
        out.extend(r["floor"]["profile"][:40])
        w("```")
        w("")
    return out


def measure(bench, args):
    tools = bench.tools
    os.makedirs(tools, exist_ok=True)
    flags = ["-O2", "-Wall", "-Wextra", "-Werror"]
    here = os.path.dirname(os.path.abspath(__file__))
    cxx = ["-std=c++17", "-Wpedantic", "-Wshadow", "-Wconversion", "-fno-exceptions", "-fno-rtti"]
    subprocess.run(["g++", *flags, *cxx, "-pthread", os.path.join(here, "benchtool.cpp"), "-o",
                    os.path.join(tools, "benchtool")], check=True)
    subprocess.run(["g++", *flags, *cxx, "-static", os.path.join(here, "detectors.cpp"), "-o",
                    os.path.join(tools, "det_true")], check=True)
    subprocess.run(["gcc", *flags, os.path.join(here, "watch_floor.c"), "-o",
                    os.path.join(tools, "watch_floor")], check=True)
    figure(bench, os.path.abspath(args.before), args.profile)
    return section(bench)


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import bench as bench_module
    bench_module.figure_on_its_own(
        measure, lambda parser: parser.add_argument("--profile", action="store_true"))


if __name__ == "__main__":
    main()
