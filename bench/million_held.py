#!/usr/bin/env python3
"""Figure 10b: a burst of N files (default 1,000,000) made while one
detection is held, far more than the watcher's queue holds: how many the
monitor names once the detection ends, its loss lines and peak RSS.

The files lie in a folder deeper than any path the monitor hands over, so
each is named on a "[-] Change not scanned, path cannot be represented"
line without a detection of its own: what is measured is the recovery of
dropped changes, not the rate of detections (figure 10 measures both, at a
detection per file). One file made in the watched folder first starts the
held detection (a detector that sleeps HOLD seconds).

    bench/million_held.py MONITOR TMPFS_DIR [FILES] [HOLD]

TMPFS_DIR: an empty folder, best a tmpfs of its own. Prints a line per
second and a last line starting with RESULT.
"""

import os
import subprocess
import sys
import threading
import time


def main():
    monitor, place = sys.argv[1], sys.argv[2]
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 1000000
    hold = int(sys.argv[4]) if len(sys.argv) > 4 else 40
    root = os.path.join(place, "watched")
    os.makedirs(root)
    # 16 folders of 250-byte names: each folder's path fits in PATH_MAX,
    # a file's path below the last one does not.
    fd = os.open(root, os.O_RDONLY)
    for _ in range(16):
        os.mkdir("e" * 250, dir_fd=fd)
        deeper = os.open("e" * 250, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = deeper
    install = os.path.join(place, "install")
    os.makedirs(install)
    subprocess.run(["cp", monitor, os.path.join(install, "monitor")], check=True)
    detector = os.path.join(install, "AV_Quillmar.exe")
    with open(detector, "w") as f:
        f.write("#!/bin/sh\nsleep %d\n" % hold)
    os.chmod(detector, 0o755)
    p = subprocess.Popen([os.path.join(install, "monitor"), root], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE)
    named, counts = set(), {"lines": 0, "lost": 0}
    held = threading.Event()

    def pump():
        for line in p.stdout:
            counts["lines"] += 1
            if line.rstrip(b"\n").endswith(b"/first"):
                held.set()
            elif line.startswith(b"[-] Changes were lost"):
                counts["lost"] += 1
            elif line.startswith(b"[-] Change not scanned"):
                named.add(line.rstrip(b"\n").rsplit(b"/", 1)[1][:8])
    threading.Thread(target=pump, daemon=True).start()
    # Written until it is named: then the tree is watched and its detection held.
    for _ in range(300):
        open(os.path.join(root, "first"), "w").close()
        if held.wait(0.2):
            break
    else:
        sys.exit("the monitor never named %s/first" % root)
    t0 = time.time()
    for i in range(files):
        os.close(os.open(b"%08d" % i + b"z" * 240, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    made = time.time() - t0
    print("made %d files in %.1f s" % (files, made), flush=True)
    last, still = -1, 0
    while still < 30 and len(named) < files:
        time.sleep(1)
        still = still + 1 if len(named) == last else 0
        last = len(named)
        print("%4.0f s: %d named, %d lines, %d loss lines" % (time.time() - t0, last,
              counts["lines"], counts["lost"]), flush=True)
    done = time.time() - t0
    with open("/proc/%d/status" % p.pid) as f:
        hwm = int(f.read().split("VmHWM:")[1].split()[0])
    p.kill()
    print("RESULT named %d of %d, %d lines naming them or others, %d loss lines, peak RSS %.1f MB, "
          "made in %.1f s, all named %.1f s after the first was made (the detection held %d s)"
          % (len(named), files, counts["lines"], counts["lost"], hwm / 1024, made, done, hold))


if __name__ == "__main__":
    main()
