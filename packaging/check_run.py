#!/usr/bin/env python3
"""Runs an installed monitor once, end to end, with the detector installed
beside it: starts it on an empty directory, writes probe files until one is
reported, waits for the detector's verdict on it, types q and expects status 0.

The monitor says nothing when its watch is ready, so a new probe file is
written at each interval until one is seen; every wait has a deadline.

    check_run.py [--wine] [--deadline S] [--interval S] MONITOR WATCH_DIR
"""
import argparse
import os
import queue
import subprocess
import sys
import threading
import time


def pump(stream, name, lines):
    for raw in stream:
        lines.put((name, raw.rstrip(b"\r\n").decode("utf-8", "replace")))
    lines.put((name, None))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true",
                        help="MONITOR is monitor.exe, run under wine")
    parser.add_argument("--deadline", type=float, default=30.0)
    parser.add_argument("--interval", type=float, default=0.5,
                        help="how long to wait for a probe before writing the next")
    parser.add_argument("monitor")
    parser.add_argument("watch_dir")
    args = parser.parse_args()

    watch = os.path.abspath(args.watch_dir)
    os.makedirs(watch, exist_ok=True)
    if args.wine:
        # Wine's drive Z: is the Unix root.
        field, separator = "Z:" + watch.replace("/", "\\"), "\\"
        command = ["wine", args.monitor, field]
    else:
        field, separator = watch, "/"
        command = [args.monitor, field]

    deadline = time.monotonic() + args.deadline
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    lines = queue.Queue()
    readers = [threading.Thread(target=pump, args=(process.stdout, "out", lines), daemon=True),
               threading.Thread(target=pump, args=(process.stderr, "err", lines), daemon=True)]
    for reader in readers:
        reader.start()
    transcript = []

    def fail(message):
        if process.poll() is None:
            process.kill()
            process.wait()
        drain(time.monotonic() + 2)
        print("check_run: FAILED: " + message, file=sys.stderr)
        print("check_run: command: %r" % command, file=sys.stderr)
        for stream, text in transcript:
            print("  %s| %s" % (stream, text), file=sys.stderr)
        sys.exit(1)

    def next_line(until):
        timeout = min(until, deadline) - time.monotonic()
        if timeout <= 0:
            return None
        try:
            item = lines.get(timeout=timeout)
        except queue.Empty:
            return None
        if item[1] is not None:
            transcript.append(item)
        return item

    def drain(until):
        for reader in readers:
            reader.join(max(0.0, until - time.monotonic()))
        while not lines.empty():
            item = lines.get()
            if item[1] is not None:
                transcript.append(item)

    change_prefix = "[+] Change detected in file: %s%sprobe-" % (field, separator)
    reported = None
    attempt = 0
    while reported is None:
        if time.monotonic() >= deadline:
            fail("no probe file was reported within %.0f s" % args.deadline)
        attempt += 1
        with open(os.path.join(watch, "probe-%d.txt" % attempt), "w") as probe:
            probe.write("probe\n")
        until = time.monotonic() + args.interval
        while reported is None:
            item = next_line(until)
            if item is None:
                break
            stream, text = item
            if text is None:
                fail("the monitor's %s ended before a change was reported" % stream)
            if stream == "out" and text.startswith(change_prefix):
                reported = text[len("[+] Change detected in file: "):]

    verdict = "[AV_Quillmar] %s: clean" % reported
    called = False
    while True:
        item = next_line(deadline)
        if item is None:
            fail("no detector verdict %r within the deadline" % verdict)
        stream, text = item
        if text is None:
            fail("the monitor's %s ended before the verdict" % stream)
        if text.startswith("[-]"):
            fail("failure line before the verdict: %r" % text)
        called = called or text == "[+] Called detection"
        if text == verdict:
            break
    if not called:
        fail("no '[+] Called detection' line before the verdict")

    process.stdin.write(b"q\n")
    process.stdin.close()
    try:
        status = process.wait(timeout=max(0.1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        fail("the monitor did not end after q")
    drain(time.monotonic() + 5)
    if status != 0:
        fail("status %d after q, expected 0" % status)
    failures = [text for stream, text in transcript if text.startswith("[-]")]
    if failures:
        fail("failure lines: %r" % failures)
    print("check_run: %s reported %s, the detector said clean, q gave status 0"
          % (os.path.basename(args.monitor), reported))


if __name__ == "__main__":
    main()
