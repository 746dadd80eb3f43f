"""End-to-end tests of the Linux monitor: real binary, real trees, a recording
detection executable beside it."""

import ctypes
import os
import re
import signal
import shutil
import time

from harness import (MonitorTest, DETECTOR_BIN, FANOTIFY, TIMEOUT, close_gate, deep_chain, escaped,
                     inotify_only, named_all, stop_with_signal, zombie)

CHANGE = b"[+] Change detected in file: "
CALLED = b"[+] Called detection\n"
FAILED = b"[-] Failed to execute command.\n"


def touch(path):
    """Creates an empty file: one change record."""
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))


def wait_ended(pid):
    """Waits, bounded, until process pid has ended (gone, or a zombie)."""
    deadline = time.monotonic() + TIMEOUT
    while not zombie(pid) and time.monotonic() < deadline:
        time.sleep(0.005)  # polling the kernel's own state, bounded
    return zombie(pid)


class Records(MonitorTest):
    def test_create_write_delete_rename_in_root(self):
        m = self.start(ready=True)
        self.write("a.txt", b"one")
        self.assertDetected(m, [self.path("a.txt")])
        with open(self.path("a.txt"), "ab") as f:
            f.write(b"two")
        os.rename(self.path("a.txt"), self.path("b.txt"))
        os.unlink(self.path("b.txt"))
        self.assertDetected(m, [self.path("b.txt")])
        m.wait_detected(lambda p: p.count(self.bpath("b.txt")) >= 2)
        # Everything before it handled (a close read after its write's scan
        # began is a record of its own): q cuts no detection short.
        os.close(os.open(os.path.join(self.tmp, "sentinel"), os.O_CREAT | os.O_WRONLY, 0o644))
        os.rename(os.path.join(self.tmp, "sentinel"), self.path("sentinel"))
        self.assertDetected(m, [self.path("sentinel")])
        self.assertEqual(m.quit(), 0)
        a, b = self.bpath("a.txt"), self.bpath("b.txt")
        # Created, written, moved away; moved in, deleted: a record that
        # finds the same one still waiting is merged with it.
        self.assertEqual([p for i, p in enumerate(m.detected()) if i == 0 or m.detected()[i - 1] != p],
                         [a, b, self.bpath("sentinel")])
        # Each change: its line, then the detection line, then the detector ran.
        out = m.out.snapshot()
        self.assertEqual(len(out), 2 * len(m.detected()))
        for i, path in enumerate(m.detected()):
            self.assertEqual(out[2 * i], CHANGE + path + b"\n")
            self.assertEqual(out[2 * i + 1], CALLED)
        self.assertEqual(m.err.snapshot(), [])

    def test_a_file_made_without_a_name_is_reported_once_linked(self):
        # O_TMPFILE: written while it has no name (the kernel calls it "#"
        # and its inode number, a path that never exists), then linked.
        m = self.start(ready=True)
        libc = ctypes.CDLL(None, use_errno=True)
        unnamed = os.open(self.root, os.O_TMPFILE | os.O_WRONLY, 0o600)
        os.write(unnamed, b"never named")
        named = os.open(self.root, os.O_TMPFILE | os.O_WRONLY, 0o600)
        os.write(named, b"named later")
        at_fdcwd, at_empty_path = -100, 0x1000
        self.assertEqual(libc.linkat(named, b"", at_fdcwd, self.bpath("linked"), at_empty_path), 0,
                         os.strerror(ctypes.get_errno()))
        os.write(named, b", written after")
        os.close(named)
        os.close(unnamed)
        self.write("#123")  # a real name that looks like one
        self.write("marker")
        self.assertDetected(m, [self.path("linked"), self.path("#123"), self.path("marker")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(set(m.detected()), {self.bpath("linked"), self.bpath("#123"),
                                             self.bpath("marker")})
        self.assertEqual([l for l in m.out.snapshot() if b"/#" in l and b"#123" not in l], [])

    def test_detector_gets_one_argument_and_the_monitors_directory(self):
        cwd = os.path.join(self.tmp, "elsewhere")
        os.mkdir(cwd)
        m = self.start(cwd=cwd, ready=True)
        self.write("f")
        self.assertDetected(m, [self.path("f")])
        for record_cwd, args in m.records():
            self.assertEqual(record_cwd, os.fsencode(cwd))
            self.assertEqual(len(args), 1)

    def test_deep_existing_subdirectory_reports_whole_relative_path(self):
        os.makedirs(self.path("sub", "deeper", "deepest"))
        m = self.start(ready=True)
        self.write("sub/deeper/deepest/x.txt")
        self.assertDetected(m, [self.path("sub", "deeper", "deepest", "x.txt")])

    def test_relative_root_and_trailing_slash_are_kept_as_written(self):
        m = self.start("watched/", cwd=self.tmp, ready=True)
        self.write("r.txt")
        self.assertDetected(m, ["watched//r.txt"])

    def test_same_directory_twice_reports_every_change_twice(self):
        m = self.start(self.root + ";" + self.root, ready=True)
        self.write("twice")
        self.assertTrue(m.wait_detected(lambda p: p.count(self.bpath("twice")) >= 2))

    def test_two_roots_and_empty_fields(self):
        other = os.path.join(self.tmp, "other")
        os.mkdir(other)
        m = self.start(";;" + self.root + ";;" + other + ";", ready=True)
        self.write("one")
        with open(os.path.join(other, "two"), "wb") as f:
            f.write(b"2")
        self.assertDetected(m, [self.path("one"), os.path.join(other, "two")])


class Directories(MonitorTest):
    def test_new_directory_tree_written_at_once_is_always_reported(self):
        m = self.start(ready=True)
        expected = []
        for i in range(60):
            # mkdir -p a/b/c && echo x > a/b/c/f, as fast as a shell would.
            deep = self.path("n%d" % i, "b", "c")
            os.makedirs(deep)
            with open(os.path.join(deep, "f"), "wb") as f:
                f.write(b"x")
            expected.append(os.path.join(deep, "f"))
        self.assertDetected(m, expected)
        self.watched(m, 1 + 3 * 60)

    def test_directory_moved_in_reports_files_already_inside(self):
        outside = os.path.join(self.tmp, "outside")
        os.makedirs(os.path.join(outside, "inner"))
        for name in ("top.txt", "inner/low.txt"):
            with open(os.path.join(outside, name), "wb") as f:
                f.write(b"x")
        m = self.start(ready=True)
        os.rename(outside, self.path("arrived"))
        self.assertDetected(m, [self.path("arrived", "top.txt"),
                                self.path("arrived", "inner", "low.txt")])
        self.watched(m, 3)

    def test_renamed_directory_reports_under_new_name_and_leaves_neighbours(self):
        for d in ("a/sub", "ab/sub"):
            os.makedirs(self.path(d))
        m = self.start(ready=True)
        os.rename(self.path("a"), self.path("renamed"))
        self.write("renamed/sub/after.txt")
        self.write("ab/sub/neighbour.txt")
        self.assertDetected(m, [self.path("renamed", "sub", "after.txt"),
                                self.path("ab", "sub", "neighbour.txt")])
        self.assertNotIn(self.bpath("a", "sub", "after.txt"), m.detected())
        self.watched(m, 5)

    def test_rename_then_write_many_times(self):
        os.makedirs(self.path("d0", "inner"))
        m = self.start(ready=True)
        for i in range(1, 40):
            os.rename(self.path("d%d" % (i - 1)), self.path("d%d" % i))
            with open(self.path("d%d" % i, "inner", "f%d" % i), "wb") as f:
                f.write(b"x")
        self.write("d39/inner/end")
        self.assertDetected(m, [self.path("d39", "inner", "end")])

        # Every file is reported under a path it had at or after its write:
        # where it was when written, or where a later rename of its folder
        # took it (a renamed folder is walked for what changed in it lately,
        # which may come after the last file's own record).
        def reported(detected):
            files = set()
            for p in detected:
                found = re.search(rb"/d(\d+)/inner/f(\d+)$", p)
                if found:
                    self.assertGreaterEqual(int(found.group(1)), int(found.group(2)), p)
                    files.add(int(found.group(2)))
            return files

        m.wait_detected(lambda detected: len(reported(detected)) == 39)
        self.assertEqual(sorted(reported(m.detected())), list(range(1, 40)))

    def test_directory_moved_out_is_forgotten(self):
        os.makedirs(self.path("leaving", "inner"))
        m = self.start(ready=True)
        outside = os.path.join(self.tmp, "gone")
        os.rename(self.path("leaving"), outside)
        # The move is settled by the next event of the watcher.
        self.write("marker")
        self.assertDetected(m, [self.path("marker")])
        self.watched(m, 1)
        with open(os.path.join(outside, "inner", "late"), "wb") as f:
            f.write(b"x")
        self.write("marker2")
        self.assertDetected(m, [self.path("marker2")])
        self.assertFalse([p for p in m.detected() if b"late" in p])

    @inotify_only("the watches of a deleted folder go")
    def test_deleted_directory_is_forgotten(self):
        os.makedirs(self.path("doomed", "inner"))
        m = self.start(ready=True)
        shutil.rmtree(self.path("doomed"))
        self.watched(m, 1)

    def test_symbolic_links_are_not_followed(self):
        target = os.path.join(self.tmp, "target")
        os.mkdir(target)
        os.symlink(target, self.path("link"))
        m = self.start(ready=True)
        with open(os.path.join(target, "outside"), "wb") as f:
            f.write(b"x")
        self.write("marker")
        self.assertDetected(m, [self.path("marker")])
        self.assertFalse([p for p in m.detected() if b"outside" in p])

    @inotify_only("a folder too deep for its path to be watched")
    def test_directory_too_deep_to_watch_is_named_and_the_rest_stays_watched(self):
        # A chain of directories whose path passes PATH_MAX.
        fd = os.open(self.root, os.O_RDONLY)
        try:
            for _ in range(20):
                os.mkdir("d" * 250, dir_fd=fd)
                nxt = os.open("d" * 250, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = nxt
        finally:
            os.close(fd)
        m = self.start()
        lines = m.wait_line(rb"^\[-\] Failed to watch directory: .* \(File name too long\)$")
        self.assertTrue(lines, m.out.snapshot())
        self.assertTrue(lines[0].endswith(b"/" + b"d" * 250 + b" (File name too long)\n"))
        self.write("still")
        self.assertDetected(m, [self.path("still")])

    def test_path_too_long_to_hand_over_is_reported_not_cut(self):
        deep, depth = deep_chain(self.root, "e" * 250)
        try:
            m = self.start(ready=True)
            long_name = "z" * 250
            os.close(os.open(long_name, os.O_CREAT | os.O_WRONLY, dir_fd=deep))
        finally:
            os.close(deep)
        lines = m.wait_line(rb"^\[-\] Change not scanned, path cannot be represented: ")
        self.assertTrue(lines, m.out.snapshot())
        self.assertTrue(lines[0].endswith(b"/.../" + os.fsencode(long_name) + b"\n"))
        self.assertEqual(m.detected(), [])


class RootFailures(MonitorTest):
    def test_root_deleted_is_waited_for_and_other_roots_go_on(self):
        other = os.path.join(self.tmp, "other")
        os.mkdir(other)
        m = self.start(self.root + ";" + other, ready=True)
        shutil.rmtree(self.root)
        line = b"[-] Directory no longer found, waiting for it: %s\n" % self.bpath()
        self.assertTrue(m.out.wait_for(lambda lines: line in lines), m.out.snapshot())
        with open(os.path.join(other, "alive"), "wb") as f:
            f.write(b"x")
        self.assertDetected(m, [os.path.join(other, "alive")])
        self.assertEqual(m.quit(), 0)

    def test_missing_directory_and_file_field(self):
        missing = os.path.join(self.tmp, "missing")
        a_file = os.path.join(self.tmp, "a_file")
        open(a_file, "wb").close()
        too_long = "/" + "n" * 8000  # named cut, never overflowing the line
        m = self.start(";".join([missing, a_file, too_long, self.root]), ready=True)
        self.assertTrue(m.out.wait_for(lambda lines: (
            b"[-] Failed to open directory: %s\n" % os.fsencode(missing) in lines and
            b"[-] Error reading directory changes for: %s with error code 20\n"
            % os.fsencode(a_file) in lines and
            any(re.match(rb"\[-\] Failed to open directory: /n{4000,7900}\.\.\.\n$", l)
                for l in lines))), m.out.snapshot())
        self.write("works")
        self.assertDetected(m, [self.path("works")])
        self.assertEqual(m.quit(), 0)


class Detection(MonitorTest):
    def test_failing_detector_is_reported_and_the_next_change_handled(self):
        m = self.start(env={"RECORDER_STATUS": "1"}, ready=True)
        self.write("first")
        self.assertDetected(m, [self.path("first")])
        self.assertTrue(m.err.wait_for(lambda lines: FAILED in lines))
        self.write("second")
        self.assertDetected(m, [self.path("second")])
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) >= 2))

    def test_detector_killed_by_a_signal_is_a_failure(self):
        m = self.start(env={"RECORDER_SIGNAL": str(int(signal.SIGKILL))}, ready=True)
        self.write("killed")
        self.assertDetected(m, [self.path("killed")])
        self.assertTrue(m.err.wait_for(lambda lines: FAILED in lines))

    def test_a_detection_past_its_time_limit_is_ended_and_the_next_change_handled(self):
        # The gate is never opened: each detection would wait for good.
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        m = self.start(env={"RECORDER_GATE": gate, "MONITOR_DETECTION_TIMEOUT": "2"}, ready=True)
        touch(self.path("first"))
        touch(self.path("second"))
        self.assertDetected(m, [self.path("first"), self.path("second")])
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) == 2), m.err.snapshot())
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.err.snapshot(), [FAILED, FAILED])

    def test_a_detection_past_its_limit_is_ended_with_what_it_started(self):
        # The detector and its child both ignore SIGTERM.
        pid_file = os.path.join(self.tmp, "child")
        m = self.start(env={"RECORDER_STUBBORN": pid_file, "MONITOR_DETECTION_TIMEOUT": "1"},
                       ready=True)
        touch(self.path("stubborn"))
        self.assertDetected(m, [self.path("stubborn")])
        self.assertTrue(m.err.wait_for(lambda lines: FAILED in lines), m.err.snapshot())
        with open(pid_file) as f:
            child = int(f.read())
        self.assertTrue(wait_ended(child), "the detector's child is still running")
        touch(self.path("next"))
        self.assertDetected(m, [self.path("next")])
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) == 2), m.err.snapshot())

    def test_the_detector_starts_with_the_standard_streams_and_without_service_variables(self):
        probe = os.path.join(self.tmp, "probe")
        inherited = os.open(self.tmp, os.O_RDONLY)  # not close-on-exec, handed to the monitor
        self.addCleanup(os.close, inherited)
        m = self.start(env={"RECORDER_PROBE": probe, "LISTEN_FDS": "1", "LISTEN_PID": "1",
                            "LISTEN_FDNAMES": "x", "WATCHDOG_USEC": "1000000",
                            "WATCHDOG_PID": "1", "KEPT": "yes"},
                       popen={"pass_fds": (inherited,)}, ready=True)
        self.assertIn(str(inherited), os.listdir("/proc/%d/fd" % m.process.pid))
        self.write("probed")
        self.assertDetected(m, [self.path("probed")])
        with open(probe, "rb") as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], b"fds 0 1 2")
        names = [l[4:].split(b"=")[0] for l in lines[1:]]
        self.assertIn(b"KEPT", names)
        self.assertIn(b"RECORDER_LOG", names)
        self.assertEqual([n for n in names if n.startswith((b"NOTIFY_", b"LISTEN_", b"WATCHDOG_"))],
                         [])

    def test_missing_detector_still_prints_both_lines_then_the_failure(self):
        os.unlink(os.path.join(self.install, "AV_Quillmar.exe"))
        m = self.start(ready=True)
        self.write("nobody")
        self.assertTrue(m.err.wait_for(lambda lines: FAILED in lines))
        # The two lines came first; they may be read from their pipe later.
        self.assertTrue(m.out.wait_for(lambda lines: len(lines) >= 2), m.out.snapshot())
        self.assertEqual(m.out.snapshot()[:2], [CHANGE + self.bpath("nobody") + b"\n", CALLED])

    def test_reference_detector_finds_the_test_file(self):
        shutil.copy2(DETECTOR_BIN, os.path.join(self.install, "AV_Quillmar.exe"))
        m = self.start(ready=True)
        head = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR"
        self.write("eicar.com", head + b"-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")
        self.assertTrue(m.wait_line(rb"eicar\.com: INFECTED"), m.out.snapshot())
        self.write("clean.txt", b"hello")
        self.assertTrue(m.wait_line(rb"clean\.txt: clean"), m.out.snapshot())
        self.assertEqual(m.err.snapshot(), [])


HOSTILE = [
    b'quote"d', b"single'quote", b"$(touch CANARY)", b"`touch CANARY`",
    b"semi;touch CANARY", b"new\nline", b"pipe|touch CANARY", b"amp&touch CANARY",
    b"\xff\xfe invalid utf-8 \xc3", b" leading space", b"-dash", b"back\\slash",
    b"star*", b"dollar$HOME", b"tab\there", b"c1 \x9b31m raw \xc2\x9d0;x\xc2\x9c encoded \xc3\xa9",
    b"x\n[+] Called detection\n[+] Change detected in file: FORGED\x1b]0;pwned\x07",
]


class HostileNames(MonitorTest):
    def test_hostile_names_reach_detection_verbatim_and_run_nothing(self):
        cwd = os.path.join(self.tmp, "cwd")
        os.mkdir(cwd)
        m = self.start(cwd=cwd, ready=True)
        root = os.fsencode(self.root)
        for name in HOSTILE:
            with open(os.path.join(root, name), "wb") as f:
                f.write(b"x")
        self.assertDetected(m, [os.path.join(root, n) for n in HOSTILE])
        for _, args in m.records():
            self.assertEqual(len(args), 1)
        for d in (cwd, self.root, self.install, self.tmp):
            self.assertNotIn("CANARY", os.listdir(d))
        # Change lines of each name alone, control bytes escaped: none forges
        # a line or reaches the terminal.
        expected = {CHANGE + escaped(os.path.join(root, n)) + b"\n" for n in HOSTILE}
        self.assertTrue(m.out.wait_for(lambda out: expected <= set(out)), m.out.snapshot())
        self.assertEqual(set(m.out.snapshot()) - {CALLED}, expected)
        self.assertIn(CHANGE + root + b"/x\\x0a[+] Called detection\\x0a[+] Change detected in "
                      b"file: FORGED\\x1b]0;pwned\\x07\n", expected)
        self.assertIn(CHANGE + root + b"/c1 \\x9b31m raw \\xc2\\x9d0;x\\xc2\\x9c encoded \xc3\xa9\n",
                      expected)


class Input(MonitorTest):
    def test_q_ends_with_status_zero_and_capital_q_does_not(self):
        m = self.start(ready=True)
        m.send(b"Q\nxyz\n")
        self.write("still-running")
        self.assertDetected(m, [self.path("still-running")])
        self.assertIsNone(m.process.poll())
        m.send(b"xq")
        self.assertEqual(m.wait(), 0)

    def test_no_field_at_all_waits_for_q(self):
        for argument in ("", ";;;"):
            m = self.start(argument)
            self.assertEqual(m.watch_count(), 0)
            self.assertEqual(m.quit(), 0)
            self.assertEqual(m.out.snapshot(), [])

    def test_end_of_input_keeps_watching_without_spinning(self):
        m = self.start(ready=True)
        m.process.stdin.close()
        self.write("after-eof")
        self.assertDetected(m, [self.path("after-eof")])
        # CPU time used after input ended stays far below the wall time.
        with open("/proc/%d/stat" % m.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks_before = int(fields[11]) + int(fields[12])
        self.write("after-eof-2")
        self.assertDetected(m, [self.path("after-eof-2")])
        started = time.monotonic()
        self.assertIsNone(m.wait(timeout=0.5))  # still running: it must not have ended
        waited = time.monotonic() - started
        with open("/proc/%d/stat" % m.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        used = (int(fields[11]) + int(fields[12]) - ticks_before) / os.sysconf("SC_CLK_TCK")
        self.assertLess(used, waited / 2)
        self.assertEqual(stop_with_signal(m), -signal.SIGTERM)

    def test_a_bad_time_limit_is_one_line_and_status_2(self):
        for value in ("", "x", "-1", "1.5", " 1", "1s", "4294968", "99999999999999999999999"):
            with self.subTest(value=value):
                m = self.start(env={"MONITOR_DETECTION_TIMEOUT": value})
                self.assertEqual(m.wait(), 2)
                self.assertEqual(m.err.snapshot(), [
                    b'[-] Bad value for MONITOR_DETECTION_TIMEOUT: "%s" (whole seconds from 0 '
                    b'to 4294967)\n' % value.encode()])
                self.assertEqual(m.out.snapshot(), [])
        for value in ("0", "4294967"):
            with self.subTest(value=value):
                m = self.start(env={"MONITOR_DETECTION_TIMEOUT": value}, ready=True)
                self.write("limit-" + value)
                self.assertDetected(m, [self.path("limit-" + value)])
                self.assertEqual(m.quit(), 0)

    def test_usage(self):
        m = self.start(args=[])
        self.assertEqual(m.wait(), 2)
        self.assertEqual(len(m.err.snapshot()), 1)
        self.assertTrue(m.err.snapshot()[0].startswith(b"usage: "))
        for flag in ("-h", "--help"):
            m = self.start(args=[flag])
            self.assertEqual(m.wait(), 0)
            self.assertTrue(m.out.snapshot()[0].startswith(b"usage: "))


class Overflow(MonitorTest):
    def test_a_full_queue_is_reported_then_what_it_dropped_is_found_again(self):
        # Files too deep to hand over are reported without a detection run,
        # so the queued records drain fast once the held detection ends.
        deep, depth = deep_chain(self.root, "e" * 250)
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        try:
            m = self.start(env={"RECORDER_GATE": gate}, ready=True)
            self.write("first")
            self.assertDetected(m, [self.path("first")])  # the detector waits at the gate
            # More records than the watcher's queue holds (16 MiB).
            names = [b"%05d" % i + b"z" * 245 for i in range(70000)]
            for name in names:
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=deep))
        finally:
            os.close(deep)
        holder = os.open(gate, os.O_WRONLY)  # opens the gate for this and every later run
        try:
            line = b"[-] Changes were lost for: %s\n" % self.bpath()
            # The fanotify reader, slowed by a sanitizer, can lag the burst
            # so far that the watcher keeps up and nothing is dropped: then
            # every file is named all the same, with no loss line.
            if not FANOTIFY:
                self.assertTrue(m.out.wait_for_line(line, timeout=120))
            # Once the queue is taken, the folder whose records were dropped
            # is listed for what changed: every file is named.
            self.assertTrue(named_all(m, self.bpath(), names))
            self.write("after")
            self.assertDetected(m, [self.path("after")])
            out = m.out.snapshot()
            if line in out or not FANOTIFY:
                self.assertLess(out.index(line),
                                out.index(b"[+] Change detected in file: %s\n" % self.bpath("after")))
        finally:
            close_gate(gate, holder)
