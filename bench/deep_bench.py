"""Figure 11 of the benchmark: a folder far deeper than any path, outside a
field watched by the fanotify reader, written to; how long a change inside
the field then waits for its line. Called by bench.py (figure and section),
or on its own to set monitors side by side:

    bench/deep_bench.py PLACE MONITOR [MONITOR ...]

Each MONITOR is a monitor executable with a detection executable beside it;
PLACE a folder on the filesystem to measure on (its fanotify mark sees the
deep folder's events). Needs root, as fanotify does.

Per run: a chain of DEPTH folders (one-letter names) is made beside the
field, the monitor is started with MONITOR_BACKEND=fanotify and its first
change line awaited, FILES files are made in the deepest folder, and right
after them one in the field: the time from that file's creation to its line.
"""

import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

TITLE = "## 11. A folder deeper than any path, outside the field (fanotify)"
DEPTH = 10000
FILES = 300
REPS = 3
TIMEOUT_S = 300


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def chain(parent, depth):
    """depth folders named "d" below parent, made by descriptor; the
    deepest one's descriptor."""
    fd = os.open(parent, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=fd)
        deeper = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = deeper
    return fd


class Lines:
    """The monitor's standard output, read as it comes, with deadlines."""

    def __init__(self, process):
        self.fd = process.stdout.fileno()
        self.pending = b""

    def wait(self, needle, deadline):
        """The time a line holding needle arrives, or None by the deadline."""
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                if needle in line + b"\n":
                    return time.monotonic()
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            data = os.read(self.fd, 65536)
            if not data:
                return None
            self.pending += data


def stall_once(monitor, place):
    """One run: seconds from the inside file's creation to its line, or None
    when it did not come within TIMEOUT_S."""
    work = tempfile.mkdtemp(prefix="deep-", dir=place)
    field = os.path.join(work, "field")
    os.mkdir(field)
    deepest = chain(work, DEPTH)
    env = dict(os.environ, MONITOR_BACKEND="fanotify")
    process = subprocess.Popen([monitor, field], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env)
    lines = Lines(process)
    try:
        deadline = time.monotonic() + 30
        probe = os.path.join(field, "probe")
        ready = None
        while ready is None and time.monotonic() < deadline:
            with open(probe, "ab") as f:  # until the mark is there
                f.write(b"x")
            ready = lines.wait(b"probe", time.monotonic() + 0.2)
        if ready is None:
            raise RuntimeError(f"{monitor} never reported its probe")
        for i in range(FILES):
            descriptor = os.open(f"f{i}", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=deepest)
            os.write(descriptor, b"x")
            os.close(descriptor)
        start = time.monotonic()
        with open(os.path.join(field, "inside"), "wb") as f:
            f.write(b"x")
        seen = lines.wait(b"/inside\n", start + TIMEOUT_S)
        return None if seen is None else seen - start
    finally:
        os.close(deepest)
        try:
            process.stdin.write(b"q\n")
            process.stdin.flush()
            process.wait(TIMEOUT_S)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            process.kill()
            process.wait()
        subprocess.run(["rm", "-rf", "--", work], check=False)


def measure(monitors, place):
    """Median delay per monitor, runs interleaved."""
    runs = {name: [] for name, _ in monitors}
    for rep in range(REPS):
        for name, monitor in monitors:
            delay = stall_once(monitor, place)
            runs[name].append(delay)
            log(f"  {name}, run {rep + 1}: " +
                (f"{delay * 1000:.1f} ms" if delay is not None else f"over {TIMEOUT_S} s"))
    return {name: statistics.median(d) if None not in d else None for name, d in runs.items()}


def figure(bench):
    log(f"figure 11: a folder {DEPTH:,} levels deep outside the field")
    bench.results["deep"] = measure([("monitor", bench.mon_true)], bench.fresh_dir("deep"))


def section(bench):
    """Figure 11's lines for RESULTS.md."""
    r = bench.results["deep"]
    out = [TITLE, ""]
    w = out.append
    w(f"A chain of {DEPTH:,} folders beside a field watched by the fanotify reader; {FILES} files "
      f"made in the deepest one, then one in the field: the time from that file's creation to "
      f"its line. Median of {REPS} runs. `bench/deep_bench.py PLACE MONITOR...` sets monitors "
      "side by side.")
    w("")
    w("| monitor | change in the field reported after |")
    w("|---|---|")
    for name, delay in r.items():
        w(f"| {name} | " + (f"{delay * 1000:,.1f} ms" if delay is not None else
                            f"not within {TIMEOUT_S} s") + " |")
    w("")
    return out


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    chosen = [(m, os.path.abspath(m)) for m in sys.argv[2:]]
    for name, delay in measure(chosen, sys.argv[1]).items():
        print(f"{name}: " + (f"{delay * 1000:.1f} ms" if delay is not None else "timed out"))
