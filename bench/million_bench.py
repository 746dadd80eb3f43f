"""Figure 10 of the benchmark: a burst of 1,000,000 files, far more than any
queue holds, with the 1 ms detector, beside inotifywait on the same burst.
Called by bench.py (figure and section). Each watcher gets a folder of its
own on a tmpfs of its own, so that the burst's million inodes load neither
the bench's filesystem nor other figures, and are gone with one unmount.

What is counted: the burst files named on the watcher's output (a change
line, or inotifywait's event line), its loss lines, its peak RSS (VmHWM once
everything was handled) and the time from the first file made until a
sentinel made after the burst is reported and every burst file has been
named: changes found again after a loss are reported after what was queued
later, the sentinel included (waiting stops once the watcher has printed
nothing for 20 s: the walk after a loss names the sentinels again first).
"""

import os
import time

from fanotify_bench import Tmpfs, inotifywait

TITLE = "## 10. A burst of 1,000,000 files"
FILES = 1000000
# A detection per file at a few ms each: over an hour for the monitor.
TIMEOUT_S = 3 * 3600
GOAL_SHARE = 100.0
GOAL_RSS_MB = 64


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", flush=True)


def figure(bench):
    log(f"figure 10: a burst of {FILES:,} files")
    rows = []
    peers = [("inotifywait", inotifywait("--format", "%w%f %e")),
             ("monitor, 1 ms detector", [bench.mon_sleep])]
    with Tmpfs(bench, "million") as place:
        for serial, (name, cmd) in enumerate(peers):
            watched = f"{place}/watched-{serial}"
            os.makedirs(watched)
            r = bench.run_tool("burst", watched, FILES, "create", TIMEOUT_S, "--", *cmd, watched,
                               timeout=TIMEOUT_S + 600)
            r["who"] = name
            rows.append(r)
            log(f"  {name}: {r['reported']:,} reported, {r['lost_lines']} loss lines, "
                f"{r['hwm_kb'] / 1024:.1f} MB peak, {r['drain_seconds']:.0f} s")
    bench.results["million"] = rows


def section(bench):
    """Figure 10's lines for RESULTS.md."""
    rows = bench.results["million"]
    out = [TITLE, ""]
    w = out.append
    w(f"{FILES:,} empty files made in one watched folder as fast as one process can (on a tmpfs "
      "of their own), then sentinel files until one is reported. The monitor runs the 1 ms "
      "stand-in detector for every change it reports; its reader is inotify, the default for a "
      "folder inside a filesystem. \"Reported\" counts the burst files named on the watcher's "
      "output; \"lines\" every line naming one (the monitor: one per detection). Peak RSS is "
      "the watcher's VmHWM once all was handled; \"until all handled\" runs from the first file "
      "made until a sentinel is reported and every burst file has been named (files found "
      "again after a loss come after the sentinel), or the watcher has printed nothing for 20 s.")
    w("")
    monitor = next((r for r in rows if r["who"].startswith("monitor")), None)
    if monitor:
        share = 100.0 * monitor["reported"] / monitor["files"]
        rss = monitor["hwm_kb"] / 1024
        w("| goal | measured | |")
        w("|---|---|---|")
        w(f"| {GOAL_SHARE:.0f}% of the files reported | {share:.3f}% "
          f"({monitor['reported']:,} of {monitor['files']:,}) | "
          f"{'met' if share >= GOAL_SHARE else '**missed**'} |")
        w(f"| peak RSS ≤ {GOAL_RSS_MB} MB | {rss:.1f} MB | "
          f"{'met' if rss <= GOAL_RSS_MB else '**missed**'} |")
        w("")
    w("| watcher | reported | share | lines | loss lines | other failure lines | peak RSS | "
      "burst made in | until all handled |")
    w("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        w(f"| {r['who']} | {r['reported']:,} of {r['files']:,} | "
          f"{100.0 * r['reported'] / r['files']:.3f}% | {r['lines']:,} | {r['lost_lines']} | "
          f"{r['other_failures']} | {r['hwm_kb'] / 1024:.1f} MB | {r['create_seconds']:.1f} s | "
          f"{r['drain_seconds']:.0f} s{'' if r['drained'] else ' (timed out)'} |")
    w("")
    return out
