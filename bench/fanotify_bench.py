"""Figure 9 of the benchmark: the fanotify reader beside the inotify reader and
inotifywait, in one run. Called by bench.py (figure and section); measures
set-up at 10k and 100k directories on the bench's filesystem and at 1M on a
tmpfs, the new-folder race while busy, a 50k burst, latency, memory, and the
cost of a filesystem mark to an unrelated writer of 100k small files.

Each reader is the same monitor binary with MONITOR_BACKEND set. Mounting the
tmpfs needs root, as fanotify does; without either, the figure says so.
"""

import json
import os
import statistics
import subprocess
import threading
import time

TITLE = "## 9. fanotify beside inotify"
SIZES = [10000, 100000]
LARGE = 1000000
REPS = 3
RACE_ROUNDS = 1000
RACE_BACKLOG = 300
BURST = 50000
LATENCY_SAMPLES = 300
WRITER_DIRS, WRITER_FILES = 1000, 100  # 100,000 small files
INOTIFYWAIT_EVENTS = "create,modify,delete,moved_from,moved_to"
READERS = ("fanotify", "inotify")

# Goals of the issue.
GOAL_SETUP_MS = 10
GOAL_RSS_MB = 8


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def reader(monitor, backend):
    """The command line of the monitor with its reader forced (through env,
    where peers with different readers run from one command)."""
    return ["env", f"MONITOR_BACKEND={backend}", monitor]


def tool(bench, backend, *args, timeout=900):
    """benchtool with MONITOR_BACKEND set for the monitor it starts: started
    directly, so that its set-up is timed without another program's start."""
    env = dict(os.environ, MONITOR_BACKEND=backend or "")
    done = subprocess.run([bench.tool, *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=timeout, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"benchtool {args[0]} failed: {done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def inotifywait(*extra):
    return ["inotifywait", "-m", "-r", "-q", "-e", INOTIFYWAIT_EVENTS, *extra]


class Tmpfs:
    """A tmpfs mounted at a new folder for the length of a with block."""

    def __init__(self, bench, name):
        self.path = bench.fresh_dir(name)

    def __enter__(self):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12g,nr_inodes=0", "none", self.path],
                       check=True, capture_output=True)
        return self.path

    def __exit__(self, *exc):
        subprocess.run(["umount", "-l", self.path], check=False)


class Lines:
    """A watcher started with its standard output read on a thread."""

    def __init__(self, argv, detector_env=None):
        env = dict(os.environ, **(detector_env or {}))
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=env)
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line)

    def wait_for(self, needle, timeout, touch=None):
        """Waits, bounded, for a line holding needle, writing touch meanwhile."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if touch:
                with open(touch, "ab") as f:
                    f.write(b"x")
            with self.lock:
                if any(needle in line for line in self.lines):
                    return True
            time.sleep(0.002)  # polls its own output; the deadline bounds it
        return False

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        try:
            self.process.stdin.write(b"q\n")
            self.process.stdin.flush()
            self.process.wait(10)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.thread.join(5)


def setup_row(bench, tree, size, timeouts):
    """Set-up to a change seen in the far corner, for each reader and
    inotifywait, interleaved; medians, peak RSS, folders left unwatched."""
    corner = subprocess.run([bench.tool, "lastdir", tree], stdout=subprocess.PIPE, text=True,
                            check=True).stdout.strip()
    probe = os.path.join(corner, "probe")
    peers = {backend: ([bench.mon_true], "-", "q") for backend in READERS}
    peers["inotifywait"] = (inotifywait() + ["--format", "%w%f"], "-", "term")
    runs = {name: [] for name in peers}
    for rep in range(REPS):
        for name, (argv, ready, stop) in peers.items():
            timeout = timeouts.get(name, 300)
            if rep and runs[name] and runs[name][0].get("timed_out"):
                continue  # one try shows a reader that cannot cover the tree
            # The kernel frees the watches of the run before in the background,
            # seconds of a core at 100,000: let that end first.
            bench.wait_quiet(f"set-up, {name}")
            r = tool(bench, name if name in READERS else "", "setup", probe, ready, stop, timeout,
                     "--", *argv, tree)
            runs[name].append(r)
            if os.path.exists(probe):
                os.unlink(probe)
            bench.wait_watches_free()
    row = {"dirs": size}
    for name, rs in runs.items():
        good = [r["seconds"] for r in rs if not r.get("timed_out")]
        row[name] = {"seconds": statistics.median(good) if good else None,
                     "hwm_kb": max(r["hwm_kb"] for r in rs),
                     "unwatched": max(r.get("unwatched", 0) for r in rs),
                     "failure": next((r["failure"] for r in rs if r.get("failure")), "")}
    log(f"  {size} directories: " + ", ".join(
        f"{n} {row[n]['seconds'] * 1000:.1f} ms" if row[n]["seconds"] is not None
        else f"{n} not covered" for n in runs))
    return row


def race_once(bench, argv, watched, busy):
    """mkdir, write a file, delete both, RACE_ROUNDS times, while the watcher
    is busy with a backlog; which of the files it reported."""
    w = Lines(argv + [watched])
    probe = os.path.join(watched, "probe")
    if not w.wait_for(b"probe", 20, touch=probe):
        w.stop()
        raise RuntimeError(f"{argv} never reported its probe")
    if busy:
        for i in range(RACE_BACKLOG):
            open(os.path.join(watched, f"backlog{i:04d}"), "w").close()
    for i in range(RACE_ROUNDS):
        folder = os.path.join(watched, f"race{i:04d}")
        os.mkdir(folder)
        with open(os.path.join(folder, "f"), "wb") as f:
            f.write(b"x")
        os.unlink(os.path.join(folder, "f"))
        os.rmdir(folder)
    w.wait_for(b"race-end", 300, touch=os.path.join(watched, "race-end"))
    w.stop()
    seen = set()
    for line in w.lines:
        at = line.rfind(b"/race")
        if at >= 0 and line[at + 9:at + 11] == b"/f":
            seen.add(line[at + 5:at + 9])
    return len(seen)


def burst_once(bench, backend, argv, watched):
    return tool(bench, backend, "burst", watched, BURST, 240, "--", *argv, watched)


def latency(bench):
    peers = [(backend, True, reader(bench.mon_stamp, backend)) for backend in READERS]
    peers.append(("inotifywait", False, inotifywait("--format", "%w%f %e")))
    args = []
    for name, stamp, argv in peers:
        watched = bench.fresh_dir(f"watched-fanotify-latency-{name}")
        if args:
            args.append("---")
        args += [watched, "1" if stamp else "0", *argv, watched]
    data = os.path.join(bench.tmp, "fanotify-latency.dat")
    bench.run_tool("latency", LATENCY_SAMPLES, data, "--", *args)
    values = {name: [] for name, _, _ in peers}
    with open(data) as f:
        for text in f:
            k, line, _ = text.split()
            if float(line) >= 0:
                values[peers[int(k)][0]].append(float(line) / 1000)
    out = {}
    for name, v in values.items():
        v.sort()
        out[name] = {"p50": v[len(v) // 2], "p99": v[min(len(v) - 1, len(v) * 99 // 100)],
                     "n": len(v)} if v else None
    return out


def writer_cost(bench, place, label):
    """Time for an unrelated writer of 100k small files on the filesystem of
    place, with no monitor, with the inotify reader and with the fanotify
    reader watching another folder there; and the monitor's processor time."""
    times = {"none": [], "inotify": [], "fanotify": []}
    cpu = {"inotify": [], "fanotify": []}
    for rep in range(REPS):
        for who in times:
            w = None
            if who != "none":
                watched = os.path.join(place, f"watched-{who}-{rep}")
                os.mkdir(watched)
                w = Lines(reader(bench.mon_true, who) + [watched])
                if not w.wait_for(b"probe", 20, touch=os.path.join(watched, "probe")):
                    w.stop()
                    raise RuntimeError(f"the {who} reader never reported its probe")
                before = w.cpu_seconds()
            target = os.path.join(place, f"writer-{who}-{rep}")
            t0 = time.monotonic()
            bench.run_tool("gen", target, WRITER_DIRS, WRITER_FILES)
            times[who].append(time.monotonic() - t0)
            if w:
                cpu[who].append(w.cpu_seconds() - before)
                w.stop()
            subprocess.run(["rm", "-rf", target], check=False)
    row = {"where": label, "files": WRITER_DIRS * WRITER_FILES}
    for who, t in times.items():
        row[who] = statistics.median(t)
    for who, c in cpu.items():
        row[f"{who}_cpu"] = statistics.median(c)
    log(f"  writer on {label}: " + ", ".join(f"{who} {row[who]:.2f} s" for who in times) +
        f"; fanotify reader {row['fanotify_cpu']:.2f} s of processor time")
    return row


def figure(bench):
    log("figure 9: fanotify beside inotify")
    r = bench.results["fanotify"] = {}
    r["setup"] = [setup_row(bench, bench.tree(size), size, {}) for size in SIZES]
    with Tmpfs(bench, "fanotify-large") as top:
        t0 = time.monotonic()
        tree = os.path.join(top, "tree")
        bench.run_tool("gen", tree, LARGE, 0, timeout=1800)
        log(f"  tree of {LARGE} directories on tmpfs made in {time.monotonic() - t0:.0f} s")
        # The inotify reader stops at the watch limit; one try shows it.
        r["setup"].append(setup_row(bench, tree, LARGE, {"inotify": 60, "inotifywait": 60}))
        r["setup"][-1]["tmpfs"] = True
    busy = bench.install("fanotify-busy", os.path.join(bench.tools, "det_sleep1ms"))
    r["race"] = {}
    for name, argv in [(b, reader(busy, b)) for b in READERS] + [
            ("inotifywait", inotifywait("--format", "%w%f %e"))]:
        r["race"][name] = race_once(bench, argv, bench.fresh_dir(f"watched-race-{name}"), True)
        log(f"  race while busy, {name}: {r['race'][name]} of {RACE_ROUNDS} files reported")
    r["burst"] = {}
    for name, argv in [(b, [bench.mon_true]) for b in READERS] + [
            ("inotifywait", inotifywait("--format", "%w%f %e"))]:
        backend = name if name in READERS else ""
        r["burst"][name] = burst_once(bench, backend, argv, bench.fresh_dir(f"watched-burst-{name}"))
        b = r["burst"][name]
        log(f"  burst of {BURST}, {name}: {b['reported']} reported, {b['lost_lines']} loss lines, "
            f"{b['drain_seconds']:.1f} s")
    r["latency"] = latency(bench)
    log("  latency: " + ", ".join(f"{n} p50 {v['p50']:.3f} ms" for n, v in r["latency"].items() if v))
    r["writer"] = [writer_cost(bench, bench.fresh_dir("writer"), "ext4 (the bench's folder)")]
    with Tmpfs(bench, "fanotify-writer") as place:
        r["writer"].append(writer_cost(bench, place, "tmpfs"))


def ms(seconds):
    return "—" if seconds is None else f"{seconds * 1000:,.1f} ms"


def section(bench):
    """Figure 9's lines for RESULTS.md."""
    r = bench.results["fanotify"]
    out = [TITLE, ""]
    w = out.append
    w("The same monitor with `MONITOR_BACKEND=fanotify` (one filesystem mark) and "
      "`MONITOR_BACKEND=inotify` (a watch per folder), beside `inotifywait -m -r`, in one run. "
      f"Medians of {REPS} interleaved runs unless said.")
    w("")
    large = r["setup"][-1]
    w("| goal | measured | |")
    w("|---|---|---|")
    fan_large = large["fanotify"]["seconds"]
    w(f"| set-up ≤ {GOAL_SETUP_MS} ms at 1M directories | {ms(fan_large)} (tmpfs) | "
      f"{'met' if fan_large is not None and fan_large * 1000 <= GOAL_SETUP_MS else '**missed**'} |")
    rss = max(row["fanotify"]["hwm_kb"] for row in r["setup"]) / 1024
    w(f"| RSS ≤ {GOAL_RSS_MB} MB | {rss:.1f} MB at most | "
      f"{'met' if rss <= GOAL_RSS_MB else '**missed**'} |")
    race = r["race"]["fanotify"]
    w(f"| 0 missed in the race | {RACE_ROUNDS - race} missed | "
      f"{'met' if race == RACE_ROUNDS else '**missed**'} |")
    lat = r["latency"]
    ok = lat["fanotify"]["p50"] <= lat["inotify"]["p50"]
    w(f"| latency p50 no worse than the inotify reader's | {lat['fanotify']['p50']:.3f} ms against "
      f"{lat['inotify']['p50']:.3f} ms | {'met' if ok else '**missed**'} |")
    w("")
    w("Set-up: time from start until a change in the far corner is reported (the probe is "
      "written every millisecond in the folder inotify lists last), and peak RSS. 10k and 100k "
      "directories are the bench's trees (3 small files in each); 1M directories, empty, on a "
      "tmpfs of their own.")
    w("")
    w("| directories | fanotify reader | inotify reader | inotifywait | RSS fanotify | "
      "RSS inotify | RSS inotifywait |")
    w("|---|---|---|---|---|---|---|")
    for row in r["setup"]:
        cells = []
        for name in ("fanotify", "inotify", "inotifywait"):
            c = row[name]
            text = ms(c["seconds"])
            if c["unwatched"]:
                text += f" ({c['unwatched']:,} folders unwatched: watch limit)"
            elif c["seconds"] is None:
                text = "not covered: " + (c["failure"] or "timed out")
            cells.append(text)
        rss_cells = [f"{row[n]['hwm_kb'] / 1024:.1f} MB" if row[n]["hwm_kb"] > 0 else "— (ended)"
                     for n in ("fanotify", "inotify", "inotifywait")]
        where = " (tmpfs)" if row.get("tmpfs") else ""
        w(f"| {row['dirs']:,}{where} | " + " | ".join(cells + rss_cells) + " |")
    w("")
    w(f"New-folder race while busy: a 1 ms detector and {RACE_BACKLOG} files queued ahead, "
      f"then `mkdir`, write a file, delete both, {RACE_ROUNDS} times; files reported:")
    w("")
    w("| fanotify reader | inotify reader | inotifywait |")
    w("|---|---|---|")
    w(" | ".join([""] + [f"{r['race'][n]:,} of {RACE_ROUNDS:,}"
                         for n in ("fanotify", "inotify", "inotifywait")] + [""]).strip())
    w("")
    w(f"A burst of {BURST:,} files with a fast detector (the monitor runs it for each):")
    w("")
    w("| | reported | loss lines | until all handled |")
    w("|---|---|---|---|")
    for name in ("fanotify", "inotify", "inotifywait"):
        b = r["burst"][name]
        w(f"| {name} | {b['reported']:,} | {b['lost_lines']} | {b['drain_seconds']:.1f} s |")
    w("")
    w(f"Latency from a created file to its line, {LATENCY_SAMPLES} samples each, interleaved:")
    w("")
    w("| | p50 | p99 |")
    w("|---|---|---|")
    for name in ("fanotify", "inotify", "inotifywait"):
        v = lat[name]
        w(f"| {name} | {v['p50']:.3f} ms | {v['p99']:.3f} ms |")
    w("")
    w(f"The cost to an unrelated writer: {WRITER_DIRS * WRITER_FILES:,} small files in "
      f"{WRITER_DIRS:,} folders (`benchtool gen`) on the same filesystem as a watched folder, "
      "outside it; the writer's time and the monitor's processor time while it ran.")
    w("")
    w("| filesystem | no monitor | inotify reader | fanotify reader | slower with fanotify | "
      "fanotify reader's processor time | per file |")
    w("|---|---|---|---|---|---|---|")
    for row in r["writer"]:
        slower = (row["fanotify"] / row["none"] - 1) * 100
        per = row["fanotify_cpu"] / row["files"] * 1e6
        w(f"| {row['where']} | {row['none']:.2f} s | {row['inotify']:.2f} s | "
          f"{row['fanotify']:.2f} s | {slower:+.0f}% | {row['fanotify_cpu']:.2f} s | "
          f"{per:.1f} µs |")
    w("")
    return out
