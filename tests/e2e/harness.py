"""Runs the real monitor binary on real directories with a recording detector.

Every wait is bounded and event-driven: a line on the monitor's output, a
record in the detector's log, READY=1 on the monitor's NOTIFY_SOCKET once
every field is set up, or the kernel's count of inotify watches in
/proc/PID/fdinfo. Nothing sleeps and hopes.

The suite runs once per reader: MONITOR_BACKEND=inotify or =fanotify in the
environment is handed to every monitor. Where the kernel refuses fanotify,
the fanotify run is skipped and says why.
"""

import ctypes
import ctypes.util
import itertools
import os
import re
import select
import shutil
import socket
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from monitor_streams import Stream, parse_records  # noqa: E402

MONITOR_BIN = os.environ.get("MONITOR_BIN", "build/monitor")
RECORDER_BIN = os.environ.get("RECORDER_BIN", "build/tests/recorder")
DETECTOR_BIN = os.environ.get("DETECTOR_BIN", "build/AV_Quillmar.exe")
TIMEOUT = float(os.environ.get("E2E_TIMEOUT", "20"))
WATCH_LINE = re.compile(r"inotify wd:\S+ .*\bmask:([0-9a-f]+)")
BACKEND = os.environ.get("MONITOR_BACKEND", "")
FANOTIFY = BACKEND == "fanotify"
READY = b"READY=1"
FANOTIFY_LINE = re.compile(r"^fanotify sdev:")
SOCKET_NAMES = itertools.count()


def fanotify_refusal(path="/tmp"):
    """Why the kernel refuses the monitor's kind of fanotify watch of path's
    filesystem (a filesystem mark, directory and name handles, renames;
    Linux 5.17 and CAP_SYS_ADMIN), or None when it takes it."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    init_flags = 0x00000001 | 0x00000002 | 0x00000200 | 0x00000400 | 0x00000800 | 0x00001000
    fd = libc.fanotify_init(init_flags, os.O_RDONLY)
    if fd < 0:
        return "fanotify_init: " + os.strerror(ctypes.get_errno())
    try:
        libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                       ctypes.c_char_p]
        mask = 0x2 | 0x8 | 0x100 | 0x200 | 0x10000000 | 0x40000000
        marked = libc.fanotify_mark(fd, 0x1 | 0x100, mask, -100, os.fsencode(path))
        return None if marked == 0 else "fanotify_mark: " + os.strerror(ctypes.get_errno())
    finally:
        os.close(fd)


FANOTIFY_REFUSED = fanotify_refusal() if FANOTIFY else None
if FANOTIFY_REFUSED:
    print("the fanotify run is skipped: the kernel refuses it here (%s)" % FANOTIFY_REFUSED,
          file=sys.stderr)

SANITIZER_REPORT = re.compile(rb"(ERROR: AddressSanitizer|ERROR: LeakSanitizer|"
                              rb"WARNING: ThreadSanitizer|runtime error: )")


def zombie(pid):
    """Whether process pid has ended (a zombie not yet reaped, or gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True


def session_members(session):
    """The processes of a session, per /proc."""
    members = []
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % name) as f:
                if int(f.read().rsplit(")", 1)[1].split()[3]) == session:
                    members.append(int(name))
        except (OSError, ValueError, IndexError):
            pass
    return members


class Monitor:
    """One running monitor: its process, output streams and detector log."""

    def __init__(self, install_dir, argument, log, cwd=None, env=None, args=None, popen=None):
        """popen: further Popen arguments (other streams, user); a stream that
        is not a pipe reads as empty."""
        self.log = log
        full_env = dict(os.environ)
        full_env["RECORDER_LOG"] = log
        full_env.update(env or {})
        argv = [os.path.join(install_dir, "monitor")]
        argv += [argument] if args is None else args
        # A session of its own, so that ending the test also ends any
        # detector the monitor left running.
        options = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       start_new_session=True)
        options.update(popen or {})
        self.process = subprocess.Popen(argv, cwd=cwd, env=full_env, **options)
        self.out = Stream(self.process.stdout, TIMEOUT)
        self.err = Stream(self.process.stderr, TIMEOUT)

    # -- readiness -------------------------------------------------------
    def watch_count(self):
        """Watches of watched folders held by the monitor's inotify
        instances, per the kernel. Those asking for writes (IN_MODIFY): the
        folders on the way to a root are watched for renames only."""
        count = 0
        fd_dir = "/proc/%d/fdinfo" % self.process.pid
        try:
            for name in os.listdir(fd_dir):
                try:
                    with open(os.path.join(fd_dir, name)) as f:
                        masks = [WATCH_LINE.match(line) for line in f]
                        count += sum(1 for m in masks if m and int(m.group(1), 16) & 0x2)
                except OSError:
                    pass
        except OSError:
            pass
        return count

    def read_up(self):
        """Waits, bounded, until the monitor's readers have read every event
        the kernel queued so far: each of its inotify and fanotify
        descriptors, taken over from it, polls as empty. True once so."""
        fd_dir = "/proc/%d/fdinfo" % self.process.pid
        libc = ctypes.CDLL(None, use_errno=True)
        process = os.pidfd_open(self.process.pid)
        taken = []
        try:
            for name in os.listdir(fd_dir):
                try:
                    with open(os.path.join(fd_dir, name)) as f:
                        text = f.read()
                except OSError:
                    continue
                if "inotify wd:" in text or "fanotify flags:" in text:
                    fd = libc.syscall(438, process, int(name), 0)  # pidfd_getfd
                    if fd >= 0:
                        taken.append(fd)
        finally:
            os.close(process)
        try:
            waiting = select.poll()
            for fd in taken:
                waiting.register(fd, select.POLLIN)
            deadline = time.monotonic() + TIMEOUT
            while waiting.poll(0) and time.monotonic() < deadline:
                time.sleep(0.001)  # polling the kernel's own state, bounded
            return not waiting.poll(0)
        finally:
            for fd in taken:
                os.close(fd)

    def fanotify_marks(self):
        """Filesystem marks held by the monitor's fanotify groups."""
        count = 0
        fd_dir = "/proc/%d/fdinfo" % self.process.pid
        for name in os.listdir(fd_dir):
            try:
                with open(os.path.join(fd_dir, name)) as f:
                    count += sum(1 for line in f if FANOTIFY_LINE.match(line))
            except OSError:
                pass
        return count

    def wait_watches(self, count, timeout=TIMEOUT):
        """Waits until the kernel holds exactly count watches for the monitor."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.watch_count() == count:
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.005)  # polling the kernel's own state, bounded
        return self.watch_count() == count

    # -- records ---------------------------------------------------------
    def records(self):
        try:
            with open(self.log, "rb") as f:
                return parse_records(f.read())
        except FileNotFoundError:
            return []

    def detected(self):
        """Paths handed to detection, as bytes, in order."""
        return [args[0] for _, args in self.records() if args]

    def wait_detected(self, predicate, timeout=TIMEOUT):
        """Waits, bounded, until predicate(detected paths) holds."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate(self.detected())
            if value or time.monotonic() >= deadline:
                return value
            time.sleep(0.005)  # re-reads the log; the deadline bounds it

    def changes(self):
        """Paths of "[+] Change detected in file: " lines, as bytes."""
        prefix = b"[+] Change detected in file: "
        return [l[len(prefix):-1] for l in self.out.snapshot() if l.startswith(prefix)]

    def wait_line(self, pattern, timeout=TIMEOUT):
        """Waits for lines of standard output matching pattern; returns them."""
        regex = re.compile(pattern)
        return self.out.wait_for(lambda lines: [l for l in lines if regex.search(l)], timeout)

    # -- ending ----------------------------------------------------------
    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def quit(self, timeout=TIMEOUT):
        """Types q and returns the exit status."""
        try:
            self.send(b"q\n")
        except BrokenPipeError:
            pass
        return self.wait(timeout)

    def wait(self, timeout=TIMEOUT):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.out.wait_closed()
        self.err.wait_closed()
        return status

    def kill(self):
        # Every process of the session: each detector runs in a process
        # group of its own. Again while any is left: one may have forked
        # between the listing and its end.
        for _ in range(100):
            members = [p for p in session_members(self.process.pid) if not zombie(p)]
            if not members:
                break
            for pid in members:
                try:
                    os.kill(pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
        self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                if pipe:
                    pipe.close()
            except OSError:
                pass


class MonitorTest(unittest.TestCase):
    """Each test gets an install folder (monitor and recorder side by side),
    a watched folder and a log; the monitor is killed at the end if left."""

    detector = RECORDER_BIN

    @classmethod
    def setUpClass(cls):
        if FANOTIFY_REFUSED:
            raise unittest.SkipTest("fanotify refused by the kernel here: " + FANOTIFY_REFUSED)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="monitor-e2e-")
        self.install = os.path.join(self.tmp, "install")
        os.mkdir(self.install)
        # Copied, not linked: the monitor finds the detector beside the real
        # file of its own executable.
        shutil.copy2(MONITOR_BIN, os.path.join(self.install, "monitor"))
        if self.detector:
            shutil.copy2(self.detector, os.path.join(self.install, "AV_Quillmar.exe"))
        self.root = os.path.join(self.tmp, "watched")
        os.mkdir(self.root)
        self.log = os.path.join(self.tmp, "detections.log")
        self.monitors = []

    def tearDown(self):
        for m in self.monitors:
            m.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)
        # A sanitizer report anywhere in the monitor's life fails the test.
        for m in self.monitors:
            m.err.wait_closed()
            reports = [l for l in m.err.snapshot() if SANITIZER_REPORT.search(l)]
            self.assertEqual(reports, [], b"".join(m.err.snapshot()).decode(errors="replace"))

    def start(self, argument=None, ready=False, watches=None, **kwargs):
        """Starts the monitor. With ready, waits for READY=1 on a socket of
        its own: every field is set up. With watches (tests of inotify
        itself), waits until the kernel holds that many inotify watches."""
        listener = None
        if ready:
            name = "@monitor-e2e-%d-%d" % (os.getpid(), next(SOCKET_NAMES))
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            listener.bind("\0" + name[1:])
            listener.settimeout(TIMEOUT)
            kwargs["env"] = dict(kwargs.get("env") or {}, NOTIFY_SOCKET=name)
        m = Monitor(self.install, self.root if argument is None else argument, self.log, **kwargs)
        self.monitors.append(m)
        if listener:
            with listener:
                try:
                    self.assertEqual(listener.recv(4096).split(b"\n")[0], READY)
                except socket.timeout:
                    self.fail("no READY=1 within %ss: %r" % (TIMEOUT, m.out.snapshot()))
        if watches is not None:
            self.watched(m, watches)
        return m

    def watched(self, m, count):
        """With inotify, waits until the kernel holds count watches: every
        folder of the tree watched, and no other. A fanotify filesystem mark
        has no watch per folder: waits until the mark is there, so that
        changes made from then on are seen."""
        if not FANOTIFY:
            self.assertTrue(m.wait_watches(count),
                            "expected %d watches, kernel holds %d" % (count, m.watch_count()))
            return
        deadline = time.monotonic() + TIMEOUT
        while m.fanotify_marks() == 0 and m.process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)  # polling the kernel's own state, bounded
        self.assertGreater(m.fanotify_marks(), 0, "no fanotify mark")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def bpath(self, *parts):
        return os.fsencode(self.path(*parts))

    def write(self, relative, data=b"x"):
        with open(self.path(relative) if isinstance(relative, str) else
                  os.path.join(os.fsencode(self.root), relative), "wb") as f:
            f.write(data)

    def assertDetected(self, m, expected, timeout=TIMEOUT):
        """Waits until every path in expected has been handed to detection."""
        expected = [os.fsencode(e) for e in expected]

        def all_seen(paths):
            return all(e in paths for e in expected)
        ok = m.wait_detected(all_seen, timeout)
        self.assertTrue(ok, "not detected: %r\nseen: %r\nstdout: %r\nstderr: %r" % (
            [e for e in expected if e not in m.detected()], m.detected(),
            m.out.snapshot(), m.err.snapshot()))


def deep_chain(root, component):
    """Makes the deepest chain of directories below root whose path still fits
    PATH_MAX; returns an open descriptor of the deepest one and its depth."""
    fd = os.open(root, os.O_RDONLY)
    length, depth = len(root), 0
    while length + 1 + len(component) <= 4095:
        os.mkdir(component, dir_fd=fd)
        nxt = os.open(component, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd, length, depth = nxt, length + 1 + len(component), depth + 1
    return fd, depth


def named_all(m, root, names, timeout=120):
    """Waits until every name is on a line of m's output for a file too deep
    to hand over (in a chain from deep_chain below root)."""
    prefix = b"[-] Change not scanned, path cannot be represented: %s/.../" % root
    missing = set(names)
    looked = [0]
    def named(out):  # looks at each line once: the output is long
        for line in out[looked[0]:]:
            if line.startswith(prefix):
                missing.discard(line[len(prefix):-1])
        looked[0] = len(out)
        return not missing
    return m.out.wait_for(named, timeout=timeout)


def inotify_only(why):
    """Marks a test that is about inotify itself: skipped in the fanotify run."""
    return unittest.skipIf(FANOTIFY, "inotify only: " + why)


def escaped(path):
    """A path as console lines show it: each control byte as \\xHH: C0 and
    DEL, bytes 0x80-0x9F outside a well-formed UTF-8 sequence, and both bytes
    of U+0080-U+009F."""
    out, i = [], 0
    while i < len(path):
        c = path[i]
        length = next((n for n in (2, 3, 4) if c >= 0x80 and _decodes(path[i:i + n])), 1)
        part = path[i:i + length]
        control = c < 0x20 or c == 0x7f or (0x80 <= c <= 0x9f and length == 1) or \
            (length == 2 and c == 0xc2 and part[1] <= 0x9f)
        out.append(b"".join(b"\\x%02x" % b for b in part) if control else part)
        i += length
    return b"".join(out)


def _decodes(sequence):
    try:
        return len(sequence.decode("utf-8")) == 1
    except UnicodeDecodeError:
        return False


def close_gate(gate, holder):
    """Ends a RECORDER_GATE FIFO for good: a regular file takes its place, so
    no later detector run waits at it, then the held end is closed."""
    os.unlink(gate)
    open(gate, "wb").close()
    os.close(holder)


def stop_with_signal(m, sig=signal.SIGTERM):
    m.process.send_signal(sig)
    return m.wait()
