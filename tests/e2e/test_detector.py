"""The reference detector run on its own: holes skipped, links not followed,
only regular files opened."""

import os
import socket
import subprocess
import tempfile
import unittest

from harness import DETECTOR_BIN, TIMEOUT

HEAD = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR"
TEST_FILE = HEAD + b"-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


class ReferenceDetector(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="monitor-detector-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])

    def scan(self, path):
        done = subprocess.run([DETECTOR_BIN, path], capture_output=True, timeout=TIMEOUT)
        return done.returncode, done.stdout

    def verdict(self, path, text):
        self.assertEqual(self.scan(path), (0, b"[AV_Quillmar] %s: %s\n" % (os.fsencode(path), text)))

    def test_a_petabyte_hole_is_skipped_and_what_follows_it_scanned(self):
        # tmpfs takes a file of 1 PiB; reading its hole would take months.
        fs = os.path.join(self.tmp, "fs")
        os.mkdir(fs)
        if subprocess.run(["mount", "-t", "tmpfs", "none", fs], capture_output=True).returncode:
            self.skipTest("cannot mount a tmpfs")
        self.addCleanup(subprocess.run, ["umount", "-l", fs])
        big = os.path.join(fs, "big.iso")
        with open(big, "wb") as f:
            f.write(b"head")
            f.truncate(1 << 50)
            f.seek((1 << 50) - 4096)
            f.write(TEST_FILE)
        self.verdict(big, b"INFECTED (EICAR test file)")
        # Split by a hole, the string is not there: what a hole ends is not
        # joined to what follows it.
        split = os.path.join(fs, "split")
        with open(split, "wb") as f:
            f.write(TEST_FILE[:20])
            f.seek(1 << 30)
            f.write(TEST_FILE[20:])
        self.verdict(split, b"clean")

    def test_a_file_without_data_ranges_is_read_whole(self):
        # /proc tells no holes apart from data: read to its end.
        self.verdict("/proc/self/status", b"clean")

    def test_only_regular_files_are_scanned_and_links_not_followed(self):
        infected = os.path.join(self.tmp, "infected")
        with open(infected, "wb") as f:
            f.write(TEST_FILE)
        link = os.path.join(self.tmp, "link")
        os.symlink(infected, link)
        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(sock.close)
        sock.bind(os.path.join(self.tmp, "socket"))
        for path in (link, fifo, os.path.join(self.tmp, "socket"), "/dev/null", self.tmp):
            with self.subTest(path=path):
                self.verdict(path, b"not a regular file, nothing to scan")
        self.verdict(infected, b"INFECTED (EICAR test file)")
        self.verdict(os.path.join(self.tmp, "missing"), b"no longer exists")
