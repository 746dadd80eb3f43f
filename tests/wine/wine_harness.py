"""Runs the Windows monitor.exe under Wine on real directories, with the
recording Windows detector beside it.

One Wine prefix serves the whole run: the one WINEPREFIX names (made there
when it is empty), otherwise a fresh one in a temporary folder, removed at the
end. A persistent wineserver keeps every start cheap.

Readiness: the monitor prints nothing when its watch is in place, so a test
makes probe files appear until the change line of one appears, with a
deadline. Each probe is one record (moved in whole), and probe records are
left out of everything the tests compare.
"""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from monitor_streams import Stream, parse_records  # noqa: E402

MONITOR_BIN = os.environ.get("MONITOR_BIN", "build-win/monitor.exe")
RECORDER_BIN = os.environ.get("RECORDER_BIN", "build-win/tests/wine/recorder.exe")
DETECTOR_BIN = os.environ.get("DETECTOR_BIN", "build-win/AV_Quillmar.exe")
CROSSCHECK_BIN = os.environ.get("CROSSCHECK_BIN", "build-win/tests/wine/utf8_crosscheck.exe")
CODE_PAGE_BIN = os.environ.get("CODE_PAGE_BIN", "build-win/tests/wine/code_page.exe")
HOLD_OPEN_BIN = os.environ.get("HOLD_OPEN_BIN", "build-win/tests/wine/hold_open.exe")
CONSOLE_CHECK_BIN = os.environ.get("CONSOLE_CHECK_BIN", "build-win/tests/wine/console_check.exe")
EXIT_STATUS_BIN = os.environ.get("EXIT_STATUS_BIN", "build-win/tests/wine/exit_status.exe")
PROBE_DETECTOR_BIN = os.environ.get("PROBE_DETECTOR_BIN",
                                    "build-win/tests/wine/probe_detector.exe")
# Set when MONITOR_BIN and DETECTOR_BIN are the builds without the UTF-8 code
# page in their manifest.
LEGACY_CODE_PAGE = os.environ.get("LEGACY_CODE_PAGE") == "1"
TIMEOUT = float(os.environ.get("WINE_TEST_TIMEOUT", "30"))
PROBE = "~probe"
PROBE_INTERVAL = 0.5

CHANGE = b"[+] Change detected in file: "
CALLED = b"[+] Called detection"
FAILED = b"[-] Failed to execute command."


def winpath(path):
    """The Windows name of a Unix path under Wine's Z: drive, as text."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def bwinpath(path):
    return winpath(path).encode("utf-8")


def is_probe(path):
    name = path.replace(b"/", b"\\").rsplit(b"\\", 1)[-1]
    return name.startswith(PROBE.encode())


_wine_env = None
_probes = 0


def wine_env():
    """Environment for every Wine process of this run; makes the prefix once."""
    global _wine_env
    if _wine_env is not None:
        return dict(_wine_env)
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    # No Mono or Gecko install dialog, and no window at all.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    # Wine maps Unix file names through the locale's character set.
    env["LC_ALL"] = "C.UTF-8"
    prefix = env.get("WINEPREFIX")
    if not prefix:
        prefix = tempfile.mkdtemp(prefix="monitor-wineprefix-")
        atexit.register(shutil.rmtree, prefix, True)
    os.makedirs(prefix, exist_ok=True)
    env["WINEPREFIX"] = prefix
    # A persistent server, started before anything else, so it is not started
    # again for every process. Stopped at exit (atexit runs in reverse order:
    # before the prefix is removed), unless one was running already.
    if subprocess.run(["wineserver", "-p"], env=env, stderr=subprocess.DEVNULL).returncode == 0:
        atexit.register(subprocess.run, ["wineserver", "-k"], env=env)
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    if not os.path.isdir(os.path.join(prefix, "drive_c")):
        subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=300, **quiet)
    # Wine's own background processes (services, device drivers) end with the
    # last Windows process and are started again by the next one, inheriting
    # its standard streams: a test would then wait for the end of output that
    # never comes. A process that lives for the whole run keeps them alive,
    # started here with no stream of any test.
    keeper = subprocess.Popen(["wine", "cmd"], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    atexit.register(keeper.wait, TIMEOUT)
    atexit.register(keeper.stdin.close)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, timeout=TIMEOUT, **quiet)
    _wine_env = env
    return dict(env)


class ExitStatus:
    """The command that runs a Windows program through the exit_status
    fixture, and the status it returned, read from the fixture's file:
    Wine's server kills a process's Unix side soon after its last thread
    ends, and on a busy machine the wait status is then -9 whatever the
    program returned."""

    def __init__(self):
        handle, self.file = tempfile.mkstemp(prefix="status-", dir=staging())
        os.close(handle)
        os.unlink(self.file)
        self.kept = None

    def command(self, exe, args, env):
        env["EXIT_STATUS_FILE"] = winpath(self.file)
        return ["wine", EXIT_STATUS_BIN, winpath(exe)] + args

    def status(self, wait_status):
        """What the program returned; the wait status when the fixture kept
        none (it was killed, or could not run the program)."""
        if self.kept is None:
            try:
                with open(self.file) as f:
                    self.kept = int(f.read())
                os.unlink(self.file)
            except (OSError, ValueError):
                return wait_status
        return self.kept


def run_wine(args, timeout=TIMEOUT, stdin=subprocess.DEVNULL, **kwargs):
    env = wine_env()
    exit_status = ExitStatus()
    result = subprocess.run(exit_status.command(args[0], args[1:], env), env=env, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                            **kwargs)
    result.returncode = exit_status.status(result.returncode)
    return result


_staging = None


def staging():
    """A folder outside every watched tree, for this run, removed at its end."""
    global _staging
    if _staging is None:
        _staging = tempfile.mkdtemp(prefix="monitor-wine-staging-")
        atexit.register(shutil.rmtree, _staging, True)
    return _staging


def arrive(path, data=b"x"):
    """Makes a file appear at path whole, as one change record: written
    outside every watched tree, then moved in."""
    staged = os.path.join(staging(), "staged")
    with open(staged, "wb") as f:
        f.write(data)
    os.rename(staged, path)


def text_lines(stream):
    """Lines of a stream without their ending; Windows text mode ends each
    with CR LF."""
    return [l[:-2] if l.endswith(b"\r\n") else l.rstrip(b"\n") for l in stream.snapshot()]


class WineMonitor:
    """One monitor.exe under Wine: process, output streams, detector log."""

    def __init__(self, exe, args, log, cwd=None, env=None, recording=True):
        self.log = log
        self.recording = recording
        full_env = wine_env()
        full_env["RECORDER_LOG"] = winpath(log)
        full_env.update(env or {})
        self.exit_status = ExitStatus()
        self.process = subprocess.Popen(
            self.exit_status.command(exe, args, full_env), stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, env=full_env)
        self.out = Stream(self.process.stdout, TIMEOUT)
        self.err = Stream(self.process.stderr, TIMEOUT)

    # -- what it printed and handed over, probes left out -----------------
    def lines(self):
        """Standard output without line endings, each probe's change line and
        the detection line after it left out."""
        kept, after_probe = [], False
        for l in text_lines(self.out):
            if l.startswith(CHANGE) and is_probe(l[len(CHANGE):]):
                after_probe = True
            elif after_probe and l == CALLED:
                after_probe = False
            else:
                kept.append(l)
        return kept

    def changes(self):
        return [l[len(CHANGE):] for l in self.lines() if l.startswith(CHANGE)]

    def errors(self):
        return text_lines(self.err)

    def records(self):
        try:
            with open(self.log, "rb") as f:
                return parse_records(f.read())
        except FileNotFoundError:
            return []

    def detected(self):
        """Arguments handed to detection, as bytes, in order; probes left out."""
        return [args[0] for _, args in self.records() if args and not is_probe(args[0])]

    # -- waiting, always bounded -------------------------------------------
    def wait_line(self, line, timeout=TIMEOUT):
        """Waits for this exact line on standard output (ending removed)."""
        return self.out.wait_for(lambda _: line in text_lines(self.out), timeout)

    def wait_detected(self, predicate, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            value = predicate(self.detected())
            if value or time.monotonic() >= deadline or self.process.poll() is not None:
                return predicate(self.detected())
            time.sleep(0.02)  # re-reads the log; the deadline bounds it

    def probe(self, directory, timeout=TIMEOUT, reported=None):
        """Writes probe files in directory until the monitor reports one;
        true once the watch there is seen working. A new probe is written only
        when the monitor printed nothing for a while, so a busy monitor is not
        flooded. reported: how the monitor names directory, when not by its
        absolute Windows path."""
        global _probes
        deadline = time.monotonic() + timeout
        lines = []
        while time.monotonic() < deadline and self.process.poll() is None:
            _probes += 1
            path = os.path.join(directory, "%s%d" % (PROBE, _probes))
            arrive(path, b"p")
            lines.append(CHANGE + (bwinpath(path) if reported is None else
                                   reported + b"\\" + os.path.basename(path).encode()))
            while time.monotonic() < deadline:
                printed = len(self.out.snapshot())
                if self.out.wait_for(lambda _: any(l in lines for l in text_lines(self.out)),
                                     min(PROBE_INTERVAL, max(0.0, deadline - time.monotonic()))):
                    return True
                if len(self.out.snapshot()) == printed:
                    break
        return False

    def wait_failures_match(self, timeout=TIMEOUT):
        """Waits until every change line printed so far has its detection line
        and its failure line."""
        def matched(_):
            out = text_lines(self.out)
            changes = sum(1 for l in out if l.startswith(CHANGE))
            return changes == out.count(CALLED) == self.errors().count(FAILED)
        return self.err.wait_for(matched, timeout)

    def settle(self, timeout=TIMEOUT):
        """Waits until every detection the monitor started has logged its
        record. Under Wine, a detector whose parent ends while starting it
        hangs forever, holding the test's pipes."""
        return self.wait_detected(
            lambda _: len(self.records()) >= text_lines(self.out).count(CALLED), timeout)

    # -- ending --------------------------------------------------------------
    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def quit(self, timeout=TIMEOUT):
        """Types q and returns the exit status."""
        if self.recording:
            self.settle()
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
        return self.exit_status.status(status)

    def kill(self):
        if self.process.poll() is None:
            # Under Wine a detector being started when its monitor dies can
            # hang for good: let started detections get going first.
            if self.recording:
                self.settle(timeout=10)
            self.process.kill()
            self.process.wait()
        # Only standard input: the readers may still be blocked in their
        # pipes, and own them.
        try:
            self.process.stdin.close()
        except OSError:
            pass


class WineMonitorTest(unittest.TestCase):
    """Each test gets an install folder (monitor.exe and the recording
    detector side by side), a watched folder and a detector log."""

    detector = RECORDER_BIN
    install_name = "install"

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="monitor-wine-")
        self.install = os.path.join(self.tmp, self.install_name)
        os.makedirs(self.install)
        shutil.copy2(MONITOR_BIN, os.path.join(self.install, "monitor.exe"))
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

    def start(self, argument=None, ready=True, args=None, **kwargs):
        """Starts monitor.exe on the root (as a Windows path) or the given
        argument; with ready, probes the root until the watch works."""
        if args is None:
            args = [winpath(self.root) if argument is None else argument]
        m = WineMonitor(os.path.join(self.install, "monitor.exe"), args, self.log,
                        recording=self.detector == RECORDER_BIN, **kwargs)
        self.monitors.append(m)
        if ready:
            self.assertTrue(m.probe(self.root), self.describe(m))
        return m

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def wpath(self, *parts):
        """The full path the monitor reports for a file below the root."""
        return bwinpath(self.path(*parts))

    def arrive(self, relative, data=b"x"):
        arrive(self.path(relative), data)

    def write(self, relative, data=b"x"):
        with open(self.path(relative), "wb") as f:
            f.write(data)

    def describe(self, m):
        return "stdout: %r\nstderr: %r\ndetected: %r" % (
            m.out.snapshot(), m.err.snapshot(), m.detected())

    def assertDetected(self, m, expected, timeout=TIMEOUT):
        """Waits until every path in expected (bytes) was handed to detection."""
        ok = m.wait_detected(lambda seen: all(e in seen for e in expected), timeout)
        self.assertTrue(ok, "not detected: %r\n%s" % (
            [e for e in expected if e not in m.detected()], self.describe(m)))
