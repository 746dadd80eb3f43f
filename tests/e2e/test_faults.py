"""Faults of the system services the monitor stands on, of its detection
executable and of its own standard streams. Faults are injected by a preloaded
library (tests/fault/shim.cpp) driven by environment variables; the machine's
settings are only read, never changed."""

import os
import re
import shutil
import signal
import subprocess
import time

from harness import (FANOTIFY, MONITOR_BIN, RECORDER_BIN, TIMEOUT, MonitorTest, deep_chain,
                     inotify_only, named_all, stop_with_signal)

FAULT_SHIM = os.environ.get("FAULT_SHIM", "build/tests/libfault_shim.so")
NOBODY = 65534
CHANGE = b"[+] Change detected in file: "
CALLED = b"[+] Called detection\n"
FAILED = b"[-] Failed to execute command.\n"
WATCH_LIMIT = b"inotify watch limit reached, raise fs.inotify.max_user_watches"
INSTANCE_LIMIT = b"inotify instance limit reached, raise fs.inotify.max_user_instances"


def sanitizer_runtime():
    """The sanitizer runtime the monitor was linked with, if any: it must come
    first among preloaded libraries, so its interceptors reach the shim."""
    listing = subprocess.run(["ldd", MONITOR_BIN], capture_output=True, check=True).stdout
    found = re.search(rb"=> (\S*lib[at]san\.so[.\d]*) ", listing)
    return os.fsdecode(found.group(1)) if found else None


def touch(path):
    """Creates an empty file: its creation and its close, one record or two
    (the close read after the first scan began is scanned again)."""
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))


def move_in(path, staging):
    """Makes an empty file in staging, outside the trees, and moves it to
    path: exactly one change record."""
    made = os.path.join(staging, "staged-" + os.path.basename(path))
    touch(made)
    os.rename(made, path)


class FaultTest(MonitorTest):
    def faults(self, **variables):
        """Environment that preloads the shim with these faults; every fault
        injected is logged, so a test can tell it really happened."""
        self.fault_log = os.path.join(self.tmp, "faults.log")
        preload = [p for p in (sanitizer_runtime(), os.path.abspath(FAULT_SHIM)) if p]
        env = {"LD_PRELOAD": ":".join(preload), "FAULT_LOG": self.fault_log}
        env.update({k: str(v) for k, v in variables.items()})
        return env

    def wait_injected(self, fault):
        """Waits, bounded, until fault has been injected."""
        deadline = time.monotonic() + TIMEOUT
        while fault not in self.injected() and time.monotonic() < deadline:
            time.sleep(0.005)  # re-reads the shim's log; the deadline bounds it
        return fault in self.injected()

    def injected(self):
        try:
            with open(self.fault_log, "rb") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def unwatched_line(self, path, reason):
        return b"[-] Failed to watch directory: %s (%s)\n" % (os.fsencode(path), reason)

    def error_line(self, path, code):
        return (b"[-] Error reading directory changes for: %s with error code %d\n"
                % (os.fsencode(path), code))


@inotify_only("the inotify watch limit")
class WatchLimit(FaultTest):
    def test_watch_limit_at_set_up_and_for_a_new_directory(self):
        os.makedirs(self.path("full-old", "inner"))
        os.makedirs(self.path("ok", "inner"))
        m = self.start(env=self.faults(FAULT_ADD_WATCH_ENOSPC="full-"), ready=True)
        old = self.unwatched_line(self.path("full-old"), WATCH_LIMIT)
        self.assertTrue(m.out.wait_for_line(old), m.out.snapshot())
        os.mkdir(self.path("full-new"))
        new = self.unwatched_line(self.path("full-new"), WATCH_LIMIT)
        self.assertTrue(m.out.wait_for_line(new), m.out.snapshot())
        # The rest of the tree, old and new, stays watched.
        self.write("ok/inner/f")
        os.makedirs(self.path("ok-new", "deeper"))
        self.write("ok-new/deeper/g")
        self.assertDetected(m, [self.path("ok", "inner", "f"), self.path("ok-new", "deeper", "g")])
        self.assertEqual(m.quit(), 0)
        failures = [l for l in m.out.snapshot() if l.startswith(b"[-] ")]
        self.assertEqual(sorted(failures), sorted([old, new]))
        # Refused each time it is tried (a check of the tree may try again),
        # and named once.
        self.assertGreaterEqual(self.injected().count(b"inotify_add_watch ENOSPC"), 2)

    def test_watch_limit_on_the_root_names_the_limit_and_spares_other_roots(self):
        other = os.path.join(self.tmp, "other")
        os.mkdir(other)
        m = self.start(self.root + ";" + other,
                       env=self.faults(FAULT_ADD_WATCH_ENOSPC=self.root), ready=True)
        lines = [self.unwatched_line(self.root, WATCH_LIMIT), self.error_line(self.root, 28)]
        self.assertTrue(m.out.wait_for(lambda out: all(l in out for l in lines)), m.out.snapshot())
        with open(os.path.join(other, "alive"), "wb") as f:
            f.write(b"x")
        self.assertDetected(m, [os.path.join(other, "alive")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual([l for l in m.out.snapshot() if l.startswith(b"[-] ")], lines)


@inotify_only("the inotify instance limit")
class InstanceLimit(FaultTest):
    def test_failed_instance_ends_only_its_watcher(self):
        other = os.path.join(self.tmp, "other")
        os.mkdir(other)
        roots = [self.root, other]
        m = self.start(";".join(roots), env=self.faults(FAULT_INIT_EMFILE=1), ready=True)
        # Which watcher got the one instance is the threads' race.
        failed = m.out.wait_for(lambda out: [r for r in roots if
                                             self.unwatched_line(r, INSTANCE_LIMIT) in out and
                                             self.error_line(r, 24) in out])
        self.assertEqual(len(failed), 1, m.out.snapshot())
        working = [r for r in roots if r not in failed][0]
        with open(os.path.join(working, "alive"), "wb") as f:
            f.write(b"x")
        self.assertDetected(m, [os.path.join(working, "alive")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(len([l for l in m.out.snapshot() if l.startswith(b"[-] ")]), 2)

    def test_more_directories_than_the_instance_limit(self):
        # The real limit, read and never changed: every field past it fails
        # with a line naming the limit; every field within it is watched.
        # The limit counts per user: the monitor runs as an unprivileged one,
        # so that other programs of the test's user keep their instances.
        with open("/proc/sys/fs/inotify/max_user_instances") as f:
            limit = int(f.read())
        if limit > 1000:
            self.skipTest("fs.inotify.max_user_instances is %d here" % limit)
        count = max(200, limit + 72)
        roots = [os.path.join(self.tmp, "r%03d" % i) for i in range(count)]
        for r in roots:
            os.mkdir(r)
        os.chmod(self.tmp, 0o755)
        fd = os.open(self.log, os.O_CREAT | os.O_WRONLY, 0o666)
        os.fchmod(fd, 0o666)
        os.close(fd)
        m = self.start(";".join(roots), cwd=self.tmp,
                       popen={"user": NOBODY, "group": NOBODY, "extra_groups": []})

        def failed_roots():
            out = set(m.out.snapshot())
            return [r for r in roots if self.unwatched_line(r, INSTANCE_LIMIT) in out]
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            # Settled when every field is either watched or reported.
            if m.watch_count() + len(failed_roots()) == count:
                break
            time.sleep(0.01)  # polling the kernel's count, bounded
        failed = failed_roots()
        self.assertEqual(m.watch_count() + len(failed), count, m.out.snapshot()[-5:])
        self.assertGreaterEqual(len(failed), count - limit)
        working = [r for r in roots if r not in failed]
        self.assertTrue(working, "no instance left for the monitor at all")
        for r in working:
            with open(os.path.join(r, "alive"), "wb") as f:
                f.write(b"x")
        self.assertDetected(m, [os.path.join(r, "alive") for r in working])
        # A field's error line follows its unwatched line once its watcher
        # has taken it: waited for, as 200 watchers start at once.
        errors = set(self.error_line(r, 24) for r in failed)
        m.out.wait_for(lambda out: errors <= set(out))
        out = m.out.snapshot()
        for r in failed:
            self.assertEqual(out.count(self.unwatched_line(r, INSTANCE_LIMIT)), 1)
            self.assertEqual(out.count(self.error_line(r, 24)), 1)
        self.assertEqual(len([l for l in out if l.startswith(b"[-] ")]), 2 * len(failed))
        self.assertEqual(m.quit(), 0)


class InterruptedRead(FaultTest):
    def test_interrupted_reads_are_retried(self):
        os.mkdir(self.path("sub"))
        m = self.start(env=self.faults(FAULT_READ_EINTR=1), ready=True)
        for name in ("one", "sub/two", "three"):
            self.write(name)
            self.assertDetected(m, [self.path(name)])
        self.assertGreaterEqual(self.injected().count(b"read EINTR"), 3)
        self.assertEqual(m.quit(), 0)
        self.assertFalse([l for l in m.out.snapshot() if l.startswith(b"[-] ")])


class InterruptedWrite(FaultTest):
    def test_interrupted_and_short_writes_are_continued(self):
        m = self.start(env=self.faults(FAULT_WRITE_SPLIT=7, RECORDER_STATUS=1), ready=True)
        move_in(self.path("in-pieces"), self.tmp)
        self.assertDetected(m, [self.path("in-pieces")])
        self.assertTrue(m.err.wait_for(lambda lines: lines == [FAILED]), m.err.snapshot())
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.out.snapshot(), [CHANGE + self.bpath("in-pieces") + b"\n", CALLED])
        self.assertIn(b"write EINTR", self.injected())


class SpawnFailure(FaultTest):
    def test_failed_start_is_reported_and_later_changes_run(self):
        m = self.start(env=self.faults(FAULT_SPAWN_EAGAIN=2), ready=True)
        move_in(self.path("first"), self.tmp)
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) == 1))
        move_in(self.path("second"), self.tmp)
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) == 2))
        move_in(self.path("third"), self.tmp)
        self.assertDetected(m, [self.path("third")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(self.injected().count(b"posix_spawn EAGAIN"), 2)
        self.assertEqual(m.err.snapshot(), [FAILED, FAILED])
        # Each change had both its lines, failed start or not.
        expected = []
        for name in ("first", "second", "third"):
            expected += [CHANGE + self.bpath(name) + b"\n", CALLED]
        self.assertEqual(m.out.snapshot(), expected)


def stream_id(f):
    """A file as JOURNAL_STREAM names the journal's stream: device:inode."""
    status = os.fstat(f.fileno())
    return "%d:%d" % (status.st_dev, status.st_ino)


def file_lines(f):
    with open(f.name, "rb") as written:
        return written.read().splitlines(keepends=True)


class JournalPriorities(FaultTest):
    """systemd names the stream it joins a service's output to in
    JOURNAL_STREAM. Each line written to that stream carries the priority
    journald reads, <3> for a failure and <6> for a change or progress; on
    any other stream lines stay exactly as they are. Here the streams are
    files, and one file for both is the journal's single stream."""

    def files(self, *names):
        opened = [open(os.path.join(self.tmp, name), "wb") for name in names]
        for f in opened:
            self.addCleanup(f.close)
        return opened

    def change_lines(self, out, err, journal_stream, **faults):
        """Watches the folder and a missing one, standard output to out and
        error to err, with JOURNAL_STREAM unless None; a change is made and
        its detection fails. Returns the lines of out and err, and those the
        monitor prints without the variable."""
        env = self.faults(RECORDER_STATUS=1, **faults)
        if journal_stream is not None:
            env["JOURNAL_STREAM"] = journal_stream
        missing = os.path.join(self.tmp, "missing")
        m = self.start(argument=self.root + ";" + missing, ready=True, env=env,
                       popen=dict(stdout=out, stderr=err))
        changed = os.path.basename(out.name)  # a new file for each run
        move_in(self.path(changed), self.tmp)  # one record: no close after writing
        self.assertDetected(m, [self.path(changed)])
        deadline = time.monotonic() + TIMEOUT
        while not any(line.endswith(FAILED) for line in file_lines(err)) and \
                time.monotonic() < deadline:
            time.sleep(0.005)  # re-reads the file; the deadline bounds it
        self.assertEqual(m.quit(), 0)
        plain = [b"[-] Failed to open directory: %s\n" % os.fsencode(missing),
                 CHANGE + self.bpath(changed) + b"\n", CALLED]
        return file_lines(out), file_lines(err), plain

    def test_lines_to_the_journal_carry_their_priority(self):
        # Both streams the journal's, written in pieces as a socket may take them.
        journal, = self.files("journal")
        got, _, plain = self.change_lines(journal, journal, stream_id(journal),
                                          FAULT_WRITE_SPLIT=2)
        self.assertEqual(got, [b"<3>" + plain[0], b"<6>" + plain[1], b"<6>" + plain[2],
                               b"<3>" + FAILED])
        self.assertIn(b"write EINTR", self.injected())
        # Only standard output the journal's.
        out, err = self.files("out", "err")
        got_out, got_err, plain = self.change_lines(out, err, stream_id(out))
        self.assertEqual((got_out, got_err),
                         ([b"<3>" + plain[0], b"<6>" + plain[1], b"<6>" + plain[2]], [FAILED]))

    def test_lines_elsewhere_are_unchanged(self):
        other, = self.files("other")
        names = {
            "unset": lambda out: None,
            "another file": lambda out: stream_id(other),
            "no device": lambda out: "journal",
            "no inode": lambda out: stream_id(out).split(":")[0] + ":",
            "no colon": lambda out: stream_id(out).replace(":", "-"),
            "more after": lambda out: stream_id(out) + "x",
        }
        for case, name in names.items():
            with self.subTest(case):
                out, err = self.files("out-" + case, "err-" + case)
                got_out, got_err, plain = self.change_lines(out, err, name(out))
                self.assertEqual((got_out, got_err), (plain, [FAILED]))

    def test_failures_before_watching_carry_their_priority(self):
        bad = b"[-] Bad value for MONITOR_DETECTION_TIMEOUT: " \
              b"\"soon\\x0a<6>forged\" (whole seconds from 0 to 4294967)\n"
        for journal in (False, True):
            prefix = b"<3>" if journal else b""
            with self.subTest(journal=journal):
                f, = self.files("thread-%d" % journal)
                env = self.faults(FAULT_THREAD_EAGAIN=1)
                if journal:
                    env["JOURNAL_STREAM"] = stream_id(f)
                m = self.start(env=env, popen=dict(stdout=f, stderr=f))
                self.assertEqual(m.wait(), 1)
                self.assertEqual(file_lines(f),
                                 [prefix + b"Failed to create thread for directory monitoring\n"])
                self.assertEqual(self.injected()[-1], b"pthread_create EAGAIN")
                # A newline in the value forges no line of its own.
                f, = self.files("setting-%d" % journal)
                env = {"MONITOR_DETECTION_TIMEOUT": "soon\n<6>forged"}
                if journal:
                    env["JOURNAL_STREAM"] = stream_id(f)
                m = self.start(env=env, popen=dict(stdout=f, stderr=f))
                self.assertEqual(m.wait(), 2)
                self.assertEqual(file_lines(f), [prefix + bad])


class LastWatcherEnded(FaultTest):
    def test_at_the_end_of_input_the_last_watcher_ending_ends_the_monitor_with_status_1(self):
        # Both readers take one inotify instance; waiting for the field to
        # come back would take another.
        m = self.start(env=self.faults(FAULT_INIT_EMFILE=1), ready=True,
                       popen={"stdin": subprocess.DEVNULL})
        os.rename(self.root, self.root + ".away")
        self.assertEqual(m.wait(), 1)
        self.assertEqual(m.out.snapshot(), [
            b"[-] Directory no longer found, waiting for it: %s\n" % self.bpath(),
            self.error_line(self.root, 24), b"[-] No directory left to watch\n"])


class TimeLimitWithoutPidfds(FaultTest):
    def test_the_limit_holds_where_the_kernel_has_no_pidfds(self):
        target = os.path.join(self.install, "AV_Quillmar.exe")
        os.unlink(target)
        with open(target, "w") as f:
            f.write('#!/bin/sh\ncase "$1" in */hang*) exec sleep 1000;; esac\n')
        os.chmod(target, 0o755)
        m = self.start(env=self.faults(FAULT_PIDFD_ENOSYS=1, MONITOR_DETECTION_TIMEOUT=1),
                       ready=True)
        for name in ("quick", "hangs", "after"):
            move_in(self.path(name), self.tmp)  # one record each
        lines = [CHANGE + self.bpath(name) + b"\n" for name in ("quick", "hangs", "after")]
        # The last detection started: both its lines are out.
        self.assertTrue(m.out.wait_for(lambda out: len(out) == 6), m.out.snapshot())
        # Only the detection that hung failed, once its limit was reached.
        self.assertTrue(m.err.wait_for(lambda err: FAILED in err))
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.out.snapshot(), [lines[0], CALLED, lines[1], CALLED, lines[2], CALLED])
        self.assertEqual(m.err.snapshot(), [FAILED])
        self.assertIn(b"pidfd_open ENOSYS", self.injected())


class HostileDetector(MonitorTest):
    """The detection executable itself misbehaves; the monitor goes on."""

    def install_detector(self, script):
        """Installs a shell script as the detection executable; it may end by
        handing over to the recording detector."""
        shutil.copy2(RECORDER_BIN, os.path.join(self.install, "recorder"))
        target = os.path.join(self.install, "AV_Quillmar.exe")
        os.unlink(target)
        with open(target, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(target, 0o755)

    def assertFailures(self, m, count):
        self.assertTrue(m.err.wait_for(lambda lines: lines.count(FAILED) == count),
                        m.err.snapshot())

    def test_detector_crashing_by_a_signal(self):
        # Run from the test's folder, where a core file could land.
        m = self.start(cwd=self.tmp, env={"RECORDER_SIGNAL": str(int(signal.SIGSEGV))}, ready=True)
        for i, name in enumerate(("crashes-1", "crashes-2")):
            move_in(self.path(name), self.tmp)
            self.assertDetected(m, [self.path(name)])
            self.assertFailures(m, i + 1)
        self.assertEqual(m.quit(), 0)

    def test_detector_not_executable_then_a_directory(self):
        # Nothing is cached: each change starts whatever stands there then.
        target = os.path.join(self.install, "AV_Quillmar.exe")
        os.chmod(target, 0o644)
        m = self.start(ready=True)
        move_in(self.path("not-executable"), self.tmp)
        self.assertFailures(m, 1)
        os.chmod(target, 0o755)
        move_in(self.path("executable-again"), self.tmp)
        self.assertDetected(m, [self.path("executable-again")])
        os.unlink(target)
        os.mkdir(target)
        move_in(self.path("directory"), self.tmp)
        self.assertFailures(m, 2)
        os.rmdir(target)
        shutil.copy2(RECORDER_BIN, target)
        move_in(self.path("recorder-again"), self.tmp)
        self.assertDetected(m, [self.path("recorder-again")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.detected(), [self.bpath("executable-again"), self.bpath("recorder-again")])
        self.assertEqual(m.changes(), [self.bpath(n) for n in (
            "not-executable", "executable-again", "directory", "recorder-again")])
        self.assertEqual(m.err.snapshot(), [FAILED, FAILED])

    def test_detector_writing_megabytes(self):
        # 8.5 MB on standard output and 1 MB on standard error per run.
        self.install_detector('yes 0123456789abcdef | head -n 500000\n'
                              'yes 0123456789abcdef | head -n 60000 >&2\n'
                              'exec "$(dirname "$0")/recorder" "$@"\n')
        m = self.start(ready=True)
        for name in ("loud-1", "loud-2"):
            move_in(self.path(name), self.tmp)
            self.assertDetected(m, [self.path(name)])
        self.assertEqual(m.quit(), 0)
        # The monitor's own lines stay whole between the flood.
        out = m.out.snapshot()
        for name in ("loud-1", "loud-2"):
            self.assertIn(CHANGE + self.bpath(name) + b"\n", out)
        self.assertEqual(out.count(CALLED), 2)
        self.assertNotIn(FAILED, m.err.snapshot())

    def test_long_lines_stay_whole_beside_a_detector_on_the_same_stream(self):
        # Two watchers print lines of about 3,000 bytes to one pipe, and each
        # detection writes a line of its own there too.
        self.install_detector('echo "detector line"\nexec "$(dirname "$0")/recorder" "$@"\n')
        roots = [os.path.join(self.tmp, name, *["l" * 240] * 12) for name in ("a", "b")]
        for root in roots:
            os.makedirs(root)
        m = self.start(";".join(roots), ready=True)
        paths = [os.path.join(root, "f%03d" % i) for i in range(100) for root in roots]
        for path in paths:
            touch(path)
        self.assertDetected(m, paths)
        self.assertEqual(m.quit(), 0)
        lines = {CHANGE + os.fsencode(p) + b"\n" for p in paths} | {CALLED, b"detector line\n"}
        self.assertEqual(set(m.out.snapshot()), lines)

    def test_detector_closing_its_standard_streams(self):
        self.install_detector('exec <&- >&- 2>&-\n'
                              'exec "$(dirname "$0")/recorder" "$@"\n')
        m = self.start(ready=True)
        for name in ("closed-1", "closed-2"):
            touch(self.path(name))
            self.assertDetected(m, [self.path(name)])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.err.snapshot(), [])


class OwnStreams(MonitorTest):
    def test_closed_standard_input_is_never_read_from_a_watch(self):
        # With standard input closed, the first descriptor the monitor opens
        # takes number 0; the entry must not read a watch's events as input
        # (a file named "q" would end the monitor, the rest would be lost).
        roots = [os.path.join(self.tmp, "r%02d" % i) for i in range(64)]
        for r in roots:
            os.mkdir(r)
        m = self.start(";".join(roots), popen={"stdin": subprocess.DEVNULL,
                                                "preexec_fn": lambda: os.close(0)},
                       ready=True)
        for r in roots:
            with open(os.path.join(r, "q"), "wb") as f:
                f.write(b"q\n")
        self.assertDetected(m, [os.path.join(r, "q") for r in roots])
        self.assertIsNone(m.process.poll())
        self.assertEqual(stop_with_signal(m), -signal.SIGTERM)

    def test_closed_standard_output_and_error(self):
        m = self.start(popen={"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
                              "preexec_fn": lambda: (os.close(1), os.close(2))},
                       env={"RECORDER_STATUS": "1"}, ready=True)
        for name in ("unseen-1", "unseen-2"):
            self.write(name)
            self.assertDetected(m, [self.path(name)])
        self.assertEqual(m.quit(), 0)

    def test_broken_pipe_on_standard_output(self):
        reader, writer = os.pipe()
        os.close(reader)  # nobody will ever read what the monitor prints
        try:
            m = self.start(popen={"stdout": writer}, ready=True)
        finally:
            os.close(writer)
        for i in range(20):
            self.write("piped-%d" % i)
        self.assertDetected(m, [self.path("piped-%d" % i) for i in range(20)])
        self.assertIsNone(m.process.poll())
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.err.snapshot(), [])


@inotify_only("a folder moving on between its watch and its listing")
class MovedBeforeListed(FaultTest):
    def test_directory_moving_on_between_its_watch_and_its_listing(self):
        # A directory arrives, is watched, and moves on before it is listed:
        # its files must still be reported and its subdirectories watched.
        outside = os.path.join(self.tmp, "incoming")
        os.makedirs(os.path.join(outside, "inner"))
        touch(os.path.join(outside, "payload"))
        touch(os.path.join(outside, "inner", "payload"))
        m = self.start(env=self.faults(FAULT_MOVE_AFTER_WATCH=self.path("a"),
                                       FAULT_MOVE_TO=self.path("b")), ready=True)
        os.rename(outside, self.path("a"))
        self.assertDetected(m, [self.path("b", "payload"), self.path("b", "inner", "payload")])
        self.assertEqual(self.injected(), [b"inotify_add_watch moved"])
        self.watched(m, 3)
        touch(self.path("b", "inner", "later"))
        self.assertDetected(m, [self.path("b", "inner", "later")])
        self.assertEqual(m.quit(), 0)
        self.assertFalse([p for p in m.detected() if not p.startswith(self.bpath("b") + b"/")])


class KernelOverflow(FaultTest):
    @inotify_only("the kernel's inotify queue, filled while its reader is held")
    def test_files_lost_while_the_reader_was_held_are_found_however_long_ago(self):
        # The kernel's queue fills and overflows while the reader is held in
        # a read; its events then come over several full reads, the overflow
        # last. The files it lost were made long before the read that tells
        # of the loss: the walk for them must reach back to before the hold.
        with open("/proc/sys/fs/inotify/max_queued_events") as f:
            limit = int(f.read())
        if limit > 65536:
            self.skipTest("fs.inotify.max_queued_events is %d: too many files to overflow it" % limit)
        deep, _ = deep_chain(self.root, "e" * 250)
        pause = os.path.join(self.tmp, "pause")
        try:
            m = self.start(env=self.faults(FAULT_READ_PAUSE=pause), ready=True)
            touch(pause)
            touch(self.path("kick"))  # the read it wakes is the one held
            self.assertTrue(self.wait_injected(b"read paused"), self.injected())
            # Names too long to hand over below deep: a line each, no detection.
            names = [b"%06d" % i + b"z" * 244 for i in range(limit + 2000)]
            for name in names:
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=deep))
            newest = os.stat(names[-1], dir_fd=deep).st_ctime
        finally:
            os.close(deep)
        # Older than the walk's margin for coarse file system clocks (2 s)
        # when the reader reads on: a clock to pass, not an event to await.
        while time.time() < newest + 3:
            time.sleep(0.1)
        os.unlink(pause)
        self.assertTrue(m.out.wait_for_line(b"[-] Changes were lost for: %s\n" % self.bpath()))
        self.assertTrue(named_all(m, self.bpath(), names))

    def test_what_changed_while_the_kernel_dropped_events_is_reported(self):
        os.makedirs(self.path("old", "deep"))
        touch(self.path("old", "deep", "to-rename"))
        trigger = os.path.join(self.tmp, "overflow")
        m = self.start(env=self.faults(FAULT_OVERFLOW_TRIGGER=trigger), ready=True)
        touch(trigger)  # from now on the kernel's events are lost
        changed = [("old", "written"), ("old", "deep", "renamed"), ("new", "inner", "made"),
                   ("rooted",), ("old", "backdated"), ("wake",)]
        for parts in changed[:1] + changed[3:5]:
            with open(self.path(*parts), "wb") as f:
                f.write(b"x")
            # The window is open once the reader has read in it: else it could
            # read only after it closed, and lose nothing.
            self.assertTrue(self.wait_injected(b"read dropped"), self.injected())
        os.rename(self.path("old", "deep", "to-rename"), self.path(*changed[1]))
        os.makedirs(self.path("new", "inner"))
        touch(self.path(*changed[2]))
        touch(self.path("old", "gone"))
        os.unlink(self.path("old", "gone"))
        # A time set back does not hide a change: its status-change time moves on.
        os.utime(self.path(*changed[4]), (1e9, 1e9))
        os.unlink(trigger)
        touch(self.path(*changed[5]))  # wakes the reader: its read ends the window
        lost = b"[-] Changes were lost for: %s\n" % self.bpath()
        self.assertTrue(m.out.wait_for_line(lost))
        self.assertDetected(m, [self.path(*parts) for parts in changed])
        self.assertEqual(self.injected(), [b"read dropped", b"read overflow"])
        out = m.out.snapshot()
        for parts in changed:
            self.assertLess(out.index(lost), out.index(CHANGE + self.bpath(*parts) + b"\n"))
        # The tree is watched again, new folders included.
        self.watched(m, 5)
        touch(self.path("new", "inner", "after"))
        self.assertDetected(m, [self.path("new", "inner", "after")])
