"""Figure 11 of the benchmark: what merging any waiting record of a file, the
close after writing and hard links cost and bring, the monitor beside the
version before them ("before": built from the commit before that work), on
both readers, in one run. Called by bench.py (figure and section), or on its
own:

    python3 bench/links_bench.py --build build-bench --before PATH/monitor [--out FILE]

Measured, with the trivial stand-in detector (det_true) beside each monitor:
- detections per cp of a 64 KiB file, per editor-style save (the new text
  written to a temporary name, fsync, renamed over the file) and per empty
  file made: each operation alone, then a sentinel moved in (one record),
  the change lines naming the operation's files counted up to the
  sentinel's;
- a flood of 6,000 writes alternating between two open files, then a new
  file: the detections of the flood until the new file is reported, how many
  came before it, and the time from making it to its change line;
- set-up at 100,000 folders (the bench's tree), before and after,
  interleaved; and, after, how long after start a write through an outside
  name of a linked file in the folder listed last is reported (the listing
  for linked files already there runs after set-up).
"""

import os
import statistics
import subprocess
import sys
import time

from fanotify_bench import Lines

TITLE = "## 12. Merged records, close after writing, hard links"
READERS = ("inotify", "fanotify")
OPERATIONS = 20
FLOOD = 6000
FLOOD_TIMEOUT_S = 240
SETUP_DIRS = 100000
SETUP_REPS = 5
PAYLOAD = os.urandom(64 * 1024)


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def change(path):
    return b"[+] Change detected in file: " + os.fsencode(path) + b"\n"


class Watched:
    """A monitor on a fresh folder (and a folder beside it, on the same
    filesystem, for what is made outside the tree)."""

    def __init__(self, bench, monitor, backend, name):
        place = bench.fresh_dir(name)
        self.root = os.path.join(place, "watched")
        self.out = os.path.join(place, "out")
        os.mkdir(self.root)
        os.mkdir(self.out)
        self.serial = 0
        self.lines = Lines(["env", f"MONITOR_BACKEND={backend}", monitor, self.root])
        probe = os.path.join(self.root, "probe")
        if not self.lines.wait_for(change(probe), 60, touch=probe):
            raise RuntimeError(f"{name}: no change line within 60 s")
        self.settle()

    def snapshot(self):
        with self.lines.lock:
            return list(self.lines.lines)

    def settle(self, since=None):
        """Waits until everything before now was handled; the lines from
        since (a count of lines) on."""
        self.serial += 1
        name = f"sentinel-{self.serial}"
        with open(os.path.join(self.out, name), "wb") as f:
            f.write(b"s")
        os.rename(os.path.join(self.out, name), os.path.join(self.root, name))
        if not self.lines.wait_for(change(os.path.join(self.root, name)), 120):
            raise RuntimeError("a sentinel was not reported within 120 s")
        return self.snapshot()[since or 0:]

    def mark(self):
        return len(self.snapshot())

    def count(self, lines, *paths):
        wanted = {change(p) for p in paths}
        return sum(1 for line in lines if line in wanted)

    def stop(self):
        self.lines.stop()


def operations(w):
    """Detections per cp, per editor-style save and per empty file made."""
    source = os.path.join(w.out, "source.bin")
    with open(source, "wb") as f:
        f.write(PAYLOAD)
    counts = {"cp": [], "save": [], "empty": []}
    for i in range(OPERATIONS):
        copy = os.path.join(w.root, f"copy-{i}.bin")
        mark = w.mark()
        subprocess.run(["cp", source, copy], check=True)
        counts["cp"].append(w.count(w.settle(mark), copy))
        doc = os.path.join(w.root, f"doc-{i}.txt")
        with open(doc, "wb") as f:
            f.write(b"first text")
        w.settle()
        temporary = doc + ".tmp"
        mark = w.mark()
        with open(temporary, "wb") as f:
            f.write(PAYLOAD)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temporary, doc)
        counts["save"].append(w.count(w.settle(mark), doc, temporary))
        empty = os.path.join(w.root, f"empty-{i}")
        mark = w.mark()
        open(empty, "wb").close()
        counts["empty"].append(w.count(w.settle(mark), empty))
    return counts


def flood(w):
    """6,000 writes alternating between two open files, then a new file."""
    one, two = os.path.join(w.root, "one"), os.path.join(w.root, "two")
    for path in (one, two):
        open(path, "wb").close()
    w.settle()
    start = w.mark()
    fds = [os.open(one, os.O_WRONLY | os.O_APPEND), os.open(two, os.O_WRONLY | os.O_APPEND)]
    t0 = time.monotonic()
    for i in range(FLOOD):
        os.write(fds[i % 2], b"x")
    writing = time.monotonic() - t0
    for fd in fds:
        os.close(fd)
    after = os.path.join(w.root, "after")
    made = time.monotonic()
    with open(after, "wb") as f:
        f.write(b"after")
    reported = w.lines.wait_for(change(after), FLOOD_TIMEOUT_S)
    delay = time.monotonic() - made
    lines = w.snapshot()[start:]
    ahead = lines[:lines.index(change(after))] if change(after) in lines else lines
    return {"writing_s": writing, "reported": reported, "delay_s": delay,
            "ahead": w.count(ahead, one, two), "flood": w.count(lines, one, two)}


def linked_corner(bench, monitor, tree, corner, backend):
    """Seconds from start until a write through an outside name of a file
    linked into the folder listed last is reported."""
    outside = os.path.join(os.path.dirname(tree), "linked-outside")
    inside = os.path.join(corner, "linked.bin")
    with open(outside, "wb") as f:
        f.write(b"x")
    os.link(outside, inside)
    time.sleep(2.1)  # older than the clock margin: found by the listing, not by its time
    try:
        t0 = time.monotonic()
        lines = Lines(["env", f"MONITOR_BACKEND={backend}", monitor, tree])
        deadline = t0 + 300
        found = None
        while time.monotonic() < deadline and found is None:
            with open(outside, "ab") as f:
                f.write(b"x")
            if lines.wait_for(change(inside), 0.01):
                found = time.monotonic() - t0
        lines.stop()
        return found
    finally:
        os.unlink(inside)
        os.unlink(outside)


def figure(bench):
    log("figure 12: merged records, close after writing, hard links")
    before = getattr(bench, "links_before", None)
    if not before:
        raise RuntimeError("no monitor from before the work to measure beside")
    det = os.path.join(bench.tools, "det_true")
    monitors = {"before": bench.install("links-before", det, before),
                "after": bench.install("links-after", det)}
    result = {"operations": {}, "flood": {}, "setup": {}, "corner": {}}
    for backend in READERS:
        for version in ("before", "after"):
            key = f"{version}/{backend}"
            w = Watched(bench, monitors[version], backend, f"links-{version}-{backend}")
            try:
                result["operations"][key] = operations(w)
                result["flood"][key] = flood(w)
            finally:
                w.stop()
            log(f"  {key}: per cp {statistics.mean(result['operations'][key]['cp']):.2f}, "
                f"per save {statistics.mean(result['operations'][key]['save']):.2f}, "
                f"flood {result['flood'][key]['flood']} detections, "
                f"{result['flood'][key]['ahead']} ahead of the file after it, "
                f"{result['flood'][key]['delay_s']:.2f} s")
    tree = bench.tree(SETUP_DIRS)
    corner = subprocess.run([bench.tool, "lastdir", tree], stdout=subprocess.PIPE, text=True,
                            check=True).stdout.strip()
    bench.run_tool("walk", "--", "find", tree, "-type", "d")  # into the page cache
    runs = {"before": [], "after": []}
    for _ in range(SETUP_REPS):
        for version in ("before", "after"):
            probe = os.path.join(corner, "probe")
            r = bench.run_tool("setup", probe, "-", "q", 300, "--", monitors[version], tree)
            if os.path.exists(probe):
                os.unlink(probe)
            bench.wait_watches_free()
            runs[version].append(r["seconds"])
    result["setup"] = runs
    log("  set-up at %d folders: before %s, after %s" % (SETUP_DIRS, runs["before"], runs["after"]))
    for backend in READERS:
        result["corner"][backend] = linked_corner(bench, monitors["after"], tree, corner, backend)
        bench.wait_watches_free()
    log(f"  linked file in the last folder reported after {result['corner']}")
    bench.results["links"] = result


def section(bench):
    """Figure 11's lines for RESULTS.md."""
    r = bench.results["links"]
    out = [TITLE, ""]
    w = out.append
    w("Each monitor beside the version before this work (\"before\"), the trivial stand-in "
      "detector, both readers. Operations one at a time, each followed by a sentinel moved in "
      f"(one record); {OPERATIONS} of each: a 64 KiB `cp`, an editor-style save (the text "
      "written to NAME.tmp, fsync, renamed over NAME; lines naming either counted) and an "
      "empty file made (`open`, `close`).")
    w("")
    w("| reader | version | detections per cp | per save | per empty file |")
    w("|---|---|---|---|---|")
    for key, counts in r["operations"].items():
        version, backend = key.split("/")
        w(f"| {backend} | {version} | {statistics.mean(counts['cp']):.2f} "
          f"(each: {min(counts['cp'])} to {max(counts['cp'])}) | "
          f"{statistics.mean(counts['save']):.2f} ({min(counts['save'])} to {max(counts['save'])}) | "
          f"{statistics.mean(counts['empty']):.2f} ({min(counts['empty'])} to {max(counts['empty'])}) |")
    w("")
    w(f"A flood of {FLOOD:,} writes alternating between two open files, then a new file made: "
      "the detections naming the two files until the new one was reported, how many of them "
      "came before it, and the time from making it to its change line.")
    w("")
    w("| reader | version | writing took | flood detections | ahead of the new file | "
      "new file reported after |")
    w("|---|---|---|---|---|---|")
    for key, f in r["flood"].items():
        version, backend = key.split("/")
        delay = f"{f['delay_s']:.2f} s" if f["reported"] else f"not within {FLOOD_TIMEOUT_S} s"
        w(f"| {backend} | {version} | {f['writing_s']:.2f} s | {f['flood']:,} | {f['ahead']:,} | "
          f"{delay} |")
    w("")
    s = r["setup"]
    b, a = statistics.median(s["before"]), statistics.median(s["after"])
    w(f"Set-up at {SETUP_DIRS:,} folders (the tree of figure 1, inotify), interleaved, "
      f"medians of {SETUP_REPS}: before {b:.3f} s, after {a:.3f} s ({100 * (a / b - 1):+.1f}%); "
      f"every run: before {s['before']}, after {s['after']}. Linked files already there are "
      "looked for after set-up, between reads: a write through an outside name of a file "
      "linked into the folder listed last was reported "
      + ", ".join(f"{v:.2f} s after start ({k})" if v is not None else f"not within 300 s ({k})"
                  for k, v in r["corner"].items()) + ".")
    w("")
    return out


def measure(bench, args):
    bench.links_before = os.path.abspath(args.before)
    figure(bench)
    return section(bench)


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import bench as bench_module
    bench_module.figure_on_its_own(measure)


if __name__ == "__main__":
    main()
