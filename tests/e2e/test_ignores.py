"""The fanotify reader's ignore marks: folders outside the field whose
changes the kernel drops. Whatever is ignored, nothing the monitor reports
goes missing: a folder moved in from an ignored place, one below it, a file
linked into the field and written through its name in an ignored folder, a
mark the kernel drops. Which folders are ignored is the kernel's own list of
the group's marks, in /proc/PID/fdinfo."""

import ctypes
import ctypes.util
import os
import re
import time
import unittest

from harness import FANOTIFY, TIMEOUT
from test_faults import FaultTest
from test_reader import touch

IGNORE_LINE = re.compile(rb"^fanotify ino:([0-9a-f]+) .*\bignored_mask:([0-9a-f]+)")
FAN_MODIFY, FAN_CREATE, FAN_MOVE = 0x2, 0x100, 0xc0
FAN_RENAME = 0x10000000
FAN_MARK_FLUSH = 0x80


def ignored(m):
    """Inode number -> ignore mask of each folder m's fanotify group ignores."""
    found = {}
    fd_dir = "/proc/%d/fdinfo" % m.process.pid
    for name in os.listdir(fd_dir):
        try:
            with open(os.path.join(fd_dir, name), "rb") as f:
                for line in f:
                    match = IGNORE_LINE.match(line)
                    if match and int(match.group(2), 16):
                        found[int(match.group(1), 16)] = int(match.group(2), 16)
        except OSError:
            pass
    return found


@unittest.skipUnless(FANOTIFY, "the fanotify reader's own marks")
class Ignored(FaultTest):
    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)

    def busy_until_ignored(self, m, folder, kinds=FAN_CREATE):
        """Makes files in folder until m ignores kinds there (bounded); the
        mask of its mark."""
        inode = os.stat(folder).st_ino
        deadline = time.monotonic() + TIMEOUT
        for i in range(1000000):
            touch(os.path.join(folder, "busy-%d" % i))
            mask = ignored(m).get(inode, 0)
            if mask & kinds == kinds or time.monotonic() > deadline:
                break
        self.assertEqual(mask & kinds, kinds, "%s not ignored: %r" % (folder, ignored(m)))
        return mask

    def settled(self, m):
        """Everything before now has been handled: a sentinel moved in (one
        record) is reported."""
        name = "sentinel-%d" % len(m.detected())
        touch(os.path.join(self.out, name))
        os.rename(os.path.join(self.out, name), self.path(name))
        self.assertDetected(m, [self.path(name)])

    def test_a_folder_moved_in_from_an_ignored_place_is_reported_before_and_after_the_move(self):
        m = self.start(ready=True)
        busy = os.path.join(self.out, "busy")
        os.mkdir(busy)
        inode = os.stat(busy).st_ino
        mask = self.busy_until_ignored(m, busy)
        # Never a rename.
        self.assertEqual(mask & (FAN_RENAME | FAN_MOVE), 0)
        touch(os.path.join(busy, "before"))
        os.rename(busy, self.path("busy"))
        touch(self.path("busy", "after"))
        self.assertDetected(m, [self.path("busy", "before"), self.path("busy", "after")])
        # Its mark went before it was walked: later writes are events.
        self.assertNotIn(inode, ignored(m))
        touch(self.path("busy", "later"))
        self.assertDetected(m, [self.path("busy", "later")])

    def test_an_ignored_folder_below_one_moved_in_is_followed(self):
        m = self.start(ready=True)
        child = os.path.join(self.out, "parent", "child")
        os.makedirs(child)
        inode = os.stat(child).st_ino
        self.busy_until_ignored(m, child)
        os.rename(os.path.join(self.out, "parent"), self.path("parent"))
        self.assertDetected(m, [self.path("parent", "child", "busy-0")])
        self.assertNotIn(inode, ignored(m))
        touch(self.path("parent", "child", "written"))
        self.assertDetected(m, [self.path("parent", "child", "written")])

    def test_no_mark_on_the_field_below_it_or_above_it(self):
        os.mkdir(self.path("sub"))
        m = self.start(ready=True)
        for i in range(200):
            touch(os.path.join(self.tmp, "above-%d" % i))
            touch(self.path("sub", "in-%d" % i))
        sibling = os.path.join(self.out, "sibling")
        os.mkdir(sibling)
        self.busy_until_ignored(m, sibling)  # read after those
        marks = ignored(m)
        for folder in (self.tmp, self.root, self.path("sub")):
            self.assertNotIn(os.stat(folder).st_ino, marks, folder)
        self.assertDetected(m, [self.path("sub", "in-199")])
        self.assertTrue(all(p.startswith(self.bpath()) for p in m.detected()), m.detected())

    def test_a_linked_file_is_reported_when_written_through_a_name_in_an_ignored_folder(self):
        busy = os.path.join(self.out, "busy")
        os.mkdir(busy)
        touch(os.path.join(busy, "x"), b"clean")
        os.link(os.path.join(busy, "x"), self.path("f"))
        m = self.start(ready=True)
        # Followed from the start: its other names' folders keep writes.
        mask = self.busy_until_ignored(m, busy)
        self.assertEqual(mask & FAN_MODIFY, 0)
        with open(os.path.join(busy, "x"), "r+b") as f:
            f.write(b"written outside")
        self.assertDetected(m, [self.path("f")])

    def test_a_file_linked_in_later_from_a_folder_ignoring_writes_is_followed_at_once(self):
        busy = os.path.join(self.out, "busy")
        os.mkdir(busy)
        x = os.path.join(busy, "x")
        touch(x, b"clean")
        m = self.start(ready=True)
        self.busy_until_ignored(m, busy, FAN_CREATE | FAN_MODIFY)
        os.link(x, self.path("g"))
        self.assertDetected(m, [self.path("g")])
        self.settled(m)
        before = m.detected().count(self.bpath("g"))
        with open(x, "r+b") as f:
            f.write(b"written outside")
        self.assertTrue(m.wait_detected(lambda p: p.count(self.bpath("g")) > before),
                        m.detected())

    def drop_marks(self, m):
        """Drops every ignore mark of m's group behind the monitor's back, as
        the kernel does when it evicts the folders' inodes: the group is
        taken from the monitor (pidfd_getfd) and flushed."""
        fd_dir = "/proc/%d/fdinfo" % m.process.pid

        def is_group(name):
            with open(os.path.join(fd_dir, name)) as f:
                return "fanotify flags:" in f.read()
        group = next(int(n) for n in os.listdir(fd_dir) if is_group(n))
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                       ctypes.c_char_p]
        process = os.pidfd_open(m.process.pid)
        taken = libc.syscall(438, process, group, 0)  # pidfd_getfd
        os.close(process)
        self.assertGreaterEqual(taken, 0, os.strerror(ctypes.get_errno()))
        try:
            self.assertEqual(libc.fanotify_mark(taken, FAN_MARK_FLUSH, 0, -100, None), 0)
        finally:
            os.close(taken)

    def test_a_mark_the_kernel_drops_changes_nothing_seen_and_is_placed_again(self):
        m = self.start(ready=True)
        busy = os.path.join(self.out, "busy")
        os.mkdir(busy)
        self.busy_until_ignored(m, busy)
        self.drop_marks(m)
        self.assertEqual(ignored(m), {})
        self.busy_until_ignored(m, busy)
        touch(self.path("inside"))
        self.assertDetected(m, [self.path("inside")])
        self.settled(m)
        self.assertTrue(all(p.startswith(self.bpath()) for p in m.detected()), m.detected())

    def test_a_kernel_without_ignore_marks_reads_every_event_as_before(self):
        m = self.start(ready=True, env=self.faults(FAULT_NO_IGNORE_MARK=1))
        busy = os.path.join(self.out, "busy")
        os.mkdir(busy)
        for i in range(100):
            touch(os.path.join(busy, "f-%d" % i))
        touch(self.path("inside"))
        self.assertDetected(m, [self.path("inside")])
        self.settled(m)
        self.assertNotIn(os.stat(busy).st_ino, ignored(m))
        # Refused once, never asked again.
        self.assertEqual(self.injected().count(b"fanotify_mark EINVAL"), 1)
