"""Readiness for a service manager: READY=1 on the socket NOTIFY_SOCKET names
(a path, or '@' and an abstract name), sent once, and only when every field's
set-up has finished (its tree watched, or its failure line printed) and one
is watched; STATUS= with it and at each change of a field. With standard
input at its end, a monitor left watching nothing ends with status 1."""

import os
import re
import signal
import socket
import subprocess

from harness import FANOTIFY, TIMEOUT, MonitorTest, stop_with_signal

READY = b"READY=1"


def status(watched, fields, waiting, failed):
    return b"STATUS=%d of %d directories watched, %d waiting to come back, %d failed" % (
        watched, fields, waiting, failed)


class Ready(MonitorTest):
    def listen(self, name):
        """A datagram socket bound to name, as a service manager's."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        s.bind("\0" + name[1:] if name.startswith("@") else name)
        s.settimeout(TIMEOUT)
        return s

    def assertNothingMore(self, s):
        s.setblocking(False)
        with self.assertRaises(BlockingIOError):
            s.recv(64)

    def test_ready_once_every_field_is_set_up(self):
        for i in range(40):
            os.makedirs(self.path("d%d" % i, "e"))
        missing = os.path.join(self.tmp, "missing")
        a_file = os.path.join(self.tmp, "file")
        open(a_file, "w").close()
        name = "@" + self.tmp
        s = self.listen(name)
        # A regular file: a line printed before the datagram is in it by then.
        out_path = os.path.join(self.tmp, "out")
        with open(out_path, "wb") as out:
            m = self.start(";".join([missing, self.root, a_file]),
                           env={"NOTIFY_SOCKET": name}, popen={"stdout": out})
        self.assertEqual(s.recv(4096), READY + b"\n" + status(1, 3, 0, 2))
        if not FANOTIFY:
            self.assertEqual(m.watch_count(), 81)
        with open(out_path, "rb") as f:
            lines = sorted(f.read().splitlines(True))
        self.assertEqual(lines, sorted([
            b"[-] Failed to open directory: %s\n" % missing.encode(),
            b"[-] Error reading directory changes for: %s with error code 20\n"
            % a_file.encode()]))
        self.write("d7/e/f")
        self.assertDetected(m, [self.path("d7/e/f")])
        self.assertEqual(m.quit(), 0)
        self.assertNothingMore(s)

    def test_nothing_to_watch_is_no_readiness_and_at_the_end_of_input_status_1(self):
        name = os.path.join(self.tmp, "notify")
        s = self.listen(name)
        missing = os.path.join(self.tmp, "missing")
        a_file = os.path.join(self.tmp, "file")
        open(a_file, "w").close()
        for argument, fields in ((";", 0), (missing + ";" + a_file, 2)):
            with self.subTest(argument=argument):
                # Standard input at its end, as a service's.
                m = self.start(argument, env={"NOTIFY_SOCKET": name},
                               popen={"stdin": subprocess.DEVNULL})
                self.assertEqual(s.recv(4096), status(0, fields, 0, fields))
                self.assertEqual(m.wait(), 1)
                self.assertEqual(m.out.snapshot()[-1], b"[-] No directory left to watch\n")
                self.assertEqual(len(m.out.snapshot()), fields + 1)
                self.assertNothingMore(s)
                s.settimeout(TIMEOUT)
        # With input still open, as at a terminal, it waits for q as always.
        m = self.start(missing, env={"NOTIFY_SOCKET": name})
        self.assertEqual(s.recv(4096), status(0, 1, 0, 1))
        self.assertEqual(m.quit(), 0)
        self.assertNothingMore(s)

    def test_status_tells_a_field_waiting_for_its_folder_and_back(self):
        name = "@" + self.tmp
        s = self.listen(name)
        missing = os.path.join(self.tmp, "missing")
        m = self.start(self.root + ";" + missing, env={"NOTIFY_SOCKET": name},
                       popen={"stdin": subprocess.DEVNULL})
        self.assertEqual(s.recv(4096), READY + b"\n" + status(1, 2, 0, 1))
        os.rename(self.root, self.root + ".away")
        self.assertEqual(s.recv(4096), status(0, 2, 1, 1))
        os.rename(self.root + ".away", self.root)
        self.assertEqual(s.recv(4096), status(1, 2, 0, 1))
        self.write("after")
        self.assertDetected(m, [self.path("after")])
        self.assertEqual(stop_with_signal(m), -signal.SIGTERM)

    def test_a_failed_send_is_one_line_and_watching_goes_on(self):
        for name, code in [(os.path.join(self.tmp, "nobody-listens"), 2),
                           ("relative/socket", 97),
                           ("@" + "x" * 120, 36)]:
            with self.subTest(name=name):
                m = self.start(env={"NOTIFY_SOCKET": name})
                line = b"[-] Failed to send READY=1 to NOTIFY_SOCKET %s with error code %d\n" % (
                    name.encode(), code)
                self.assertTrue(m.wait_line(re.escape(line)), m.out.snapshot())
                self.write("after-" + str(code))
                self.assertDetected(m, [self.path("after-" + str(code))])
                self.assertEqual(m.quit(), 0)
                self.assertEqual(m.out.snapshot()[0], line)
