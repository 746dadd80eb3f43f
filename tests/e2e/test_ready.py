"""Readiness for a service manager: READY=1 on the socket NOTIFY_SOCKET names
(a path, or '@' and an abstract name), sent once, and only when every field's
set-up has finished: its tree watched, or its failure line printed."""

import os
import re
import socket

from harness import FANOTIFY, TIMEOUT, MonitorTest

READY = b"READY=1"


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
        self.assertEqual(s.recv(64), READY)
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

    def test_ready_on_a_path_socket_with_nothing_to_watch(self):
        name = os.path.join(self.tmp, "notify")
        s = self.listen(name)
        m = self.start(";", env={"NOTIFY_SOCKET": name})
        self.assertEqual(s.recv(64), READY)
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.out.snapshot(), [])
        self.assertNothingMore(s)

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
