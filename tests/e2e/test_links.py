"""Writes that make no event of their own name: a file changed only through a
shared mapping (reported when it is closed), a file changed through a hard
link whose other name is outside the tree (reported under the tree's name),
and a flood of writes that must not delay a file changed after it."""

import mmap
import os
import re
import subprocess
import time

from harness import MonitorTest, TIMEOUT, inotify_only
from test_faults import FaultTest
from test_reader import HeldTest, TEST_FILE, touch

# How far back a linked file's status-change time still counts as a change
# made since the watch began (coarse file-system clocks).
CLOCK_MARGIN = 2.0


class Mapped(MonitorTest):
    def test_a_file_changed_only_through_a_mapping_is_reported_at_its_close(self):
        path = self.path("mapped.bin")
        with open(path, "wb") as f:
            f.truncate(mmap.PAGESIZE)
        m = self.start(ready=True)
        fd = os.open(path, os.O_RDWR)
        mapping = mmap.mmap(fd, mmap.PAGESIZE, mmap.MAP_SHARED)
        mapping[:len(TEST_FILE)] = TEST_FILE
        mapping.flush()
        mapping.close()
        os.close(fd)
        self.assertDetected(m, [path])


class Flood(HeldTest):
    def test_a_file_written_after_a_flood_of_writes_to_two_files_comes_next(self):
        # A filesystem of its own: fanotify's mark sees every change on it,
        # and a busy machine's other writers could overflow the kernel's
        # queue (a loss, then a walk that names every file again).
        done = subprocess.run(["mount", "-t", "tmpfs", "none", self.root], capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount tmpfs: %s" % done.stderr.decode(errors="replace"))
        self.addCleanup(subprocess.run, ["umount", "-l", self.root], capture_output=True)
        touch(self.path("one"))
        touch(self.path("two"))
        m = self.hold()
        # Both kept open: 6,000 writes are 6,000 events, well within the
        # kernel's queue however slowly the reader runs beside them.
        with open(self.path("one"), "ab", buffering=0) as one, \
                open(self.path("two"), "ab", buffering=0) as two:
            for i in range(6000):
                (one if i % 2 else two).write(b"x")
        touch(self.path("after"))
        self.release()
        self.assertDetected(m, [self.path("after")])
        # Held: the writes read by then waited in two records. The reader
        # can still be reading the last of them when the hold ends (a loaded
        # machine), each a record again once the one before was taken: a
        # handful, where each write was a detection before.
        before = m.detected()[:m.detected().index(self.bpath("after"))]
        self.assertEqual(set(before), {self.bpath("blocker"), self.bpath("one"), self.bpath("two")})
        self.assertLessEqual(len(before), 10, before)


class Links(MonitorTest):
    """A regular file with a name outside the tree: a write through that name
    reaches no folder the monitor watches, only the file itself."""

    def setUp(self):
        super().setUp()
        self.out = os.path.join(self.tmp, "out")
        os.mkdir(self.out)

    def outside(self, name, data=b"clean"):
        path = os.path.join(self.out, name)
        touch(path, data)
        return path

    def write_through(self, path, data=TEST_FILE):
        with open(path, "r+b") as f:
            f.write(data)

    def count(self, m, path):
        return m.detected().count(os.fsencode(path))

    def wait_count(self, m, path, n):
        self.assertTrue(m.wait_detected(lambda p: p.count(os.fsencode(path)) >= n),
                        "%s detected %d times, not %d: %r" % (path, self.count(m, path), n,
                                                              m.out.snapshot() + m.err.snapshot()))

    def settled(self, m):
        """Everything before now has been handled: a sentinel is reported.
        Written outside and moved in, it makes one record, not a creation
        and a close that can come after its detection began."""
        name = "sentinel-%d" % len(m.detected())
        touch(os.path.join(self.out, name))
        os.rename(os.path.join(self.out, name), self.path(name))
        self.assertDetected(m, [self.path(name)])
        return self.bpath(name)

    def test_a_write_through_a_name_outside_is_reported_under_the_trees_name(self):
        x = self.outside("x")
        m = self.start(ready=True)
        report = self.path("report.pdf")
        os.link(x, report)  # made in the tree: a change
        self.assertDetected(m, [report])
        self.settled(m)
        self.write_through(x)
        self.wait_count(m, report, 2)

    def test_names_renamed_or_deleted_in_the_tree_are_kept_current(self):
        x = self.outside("x")
        os.mkdir(self.path("sub"))
        m = self.start(ready=True)
        first, second = self.path("first"), self.path("sub", "second")
        os.link(x, first)
        os.rename(first, second)
        self.assertDetected(m, [second])
        self.settled(m)
        self.write_through(x)
        self.wait_count(m, second, 2)
        # Its folder renamed: the name follows it.
        os.rename(self.path("sub"), self.path("moved"))
        moved = self.path("moved", "second")
        self.settled(m)
        self.write_through(x)
        self.wait_count(m, moved, 1)
        # Deleted in the tree: a write outside names nothing here any more.
        os.unlink(moved)
        self.wait_count(m, moved, 2)
        self.settled(m)
        before = len(m.detected())
        self.write_through(x)
        sentinel = self.settled(m)
        self.assertEqual(set(m.detected()[before:]), {sentinel})

    def test_linked_files_there_at_start_are_followed(self):
        x = self.outside("x")
        os.makedirs(self.path("a", "b"))
        old = self.path("a", "b", "old.pdf")
        os.link(x, old)
        m = self.start(ready=True)
        self.write_through(x)
        self.wait_count(m, old, 1)
        # Once found, every write: each comes after the last was handled.
        self.settled(m)
        self.write_through(x, b"again")
        self.wait_count(m, old, 2)

    def test_a_folder_moved_in_brings_its_linked_files(self):
        x = self.outside("x")
        folder = os.path.join(self.out, "incoming")
        os.mkdir(folder)
        os.link(x, os.path.join(folder, "r"))
        m = self.start(ready=True)
        os.rename(folder, self.path("incoming"))
        r = self.path("incoming", "r")
        self.assertDetected(m, [r])
        self.settled(m)
        self.write_through(x)
        self.wait_count(m, r, 2)

    def test_a_file_linked_out_later_is_followed_from_its_next_write_in_the_tree(self):
        f = self.path("f")
        touch(f)
        m = self.start(ready=True)
        y = os.path.join(self.out, "y")
        os.link(f, y)  # no event reaches the tree's watches
        self.write_through(f, b"in the tree")
        self.assertDetected(m, [f])
        self.settled(m)
        n = self.count(m, f)
        self.write_through(y)
        self.wait_count(m, f, n + 1)

    def test_beyond_the_bound_one_line_names_the_field(self):
        x = self.outside("x")
        os.mkdir(self.path("many"))
        for i in range(8193):
            os.link(x, self.path("many", "n%05d" % i))
        # Older than the margin at start: found, not reported as changed.
        made = os.stat(x).st_ctime
        time.sleep(max(0.0, made + CLOCK_MARGIN + 0.1 - time.time()))
        m = self.start(ready=True)
        line = (b"[-] Failed to watch directory: %s (more than 8192 names of hard-linked files: "
                b"changes made through other names of hard-linked files are no longer all seen)"
                % self.bpath())
        self.assertTrue(m.wait_line(re.escape(line), TIMEOUT * 3), m.out.snapshot()[-5:])
        self.settled(m)
        self.assertEqual(len([l for l in m.out.snapshot() if l.startswith(line)]), 1)
        self.assertEqual(m.detected(), [self.bpath("sentinel-0")])

    def test_names_in_a_folder_that_left_the_tree_make_room(self):
        x, z = self.outside("x"), self.outside("z")
        other = os.path.join(self.out, "other-name-of-x")
        os.link(x, other)
        os.makedirs(self.path("many", "inner"))
        for i in range(8191):
            os.link(x, self.path("many", "n%05d" % i))
        last = self.path("many", "inner", "z")
        os.link(z, last)  # the table's last free name
        made = os.stat(z).st_ctime
        time.sleep(max(0.0, made + CLOCK_MARGIN + 0.1 - time.time()))
        m = self.start(ready=True)
        # Reported once its folder was listed, after the one above it.
        self.write_through(z)
        self.wait_count(m, last, 1)
        os.rename(self.path("many"), os.path.join(self.out, "many"))
        # Another name of the same file moved in (a link would have told
        # the file's own watch first): it stays followed.
        fresh = self.path("fresh")
        os.rename(other, fresh)
        self.assertDetected(m, [fresh])
        self.settled(m)
        self.write_through(x)
        self.wait_count(m, fresh, 2)
        self.assertEqual([l for l in m.out.snapshot() if l.startswith(b"[-]")], [])


class BehindTheFileSystem(FaultTest):
    """The reader is held in a read while files and folders move on: names
    of linked files must not be lost because the paths the tree has for them
    lead nowhere by the time their events are read."""

    @inotify_only("holds the inotify reader's read")
    def test_names_are_kept_while_the_tree_is_behind(self):
        out = os.path.join(self.tmp, "out")
        os.mkdir(out)
        x, y = os.path.join(out, "x"), os.path.join(out, "y")
        touch(x, b"clean")
        touch(y, b"clean")
        os.mkdir(self.path("sub"))
        os.mkdir(self.path("later"))
        pause = os.path.join(self.tmp, "pause")
        m = self.start(env=self.faults(FAULT_READ_PAUSE=pause), ready=True)
        os.link(x, self.path("sub", "second"))
        self.assertDetected(m, [self.path("sub", "second")])
        touch(pause)
        touch(self.path("kick"))  # the read it wakes is the one held
        self.assertTrue(self.wait_injected(b"read paused"), self.injected())
        # Held: a write through the outside name, then the folder renamed;
        # a link made in another folder, then that folder renamed.
        with open(x, "r+b") as f:
            f.write(b"first")
        os.rename(self.path("sub"), self.path("moved"))
        os.link(y, self.path("later", "r"))
        os.rename(self.path("later"), self.path("renamed"))
        os.unlink(pause)
        # The held write, under the name its events give (its folder's,
        # renamed after it).
        second = self.bpath("sub", "second")
        self.assertTrue(m.wait_detected(lambda p: p.count(second) >= 2), m.detected())
        self.assertDetected(m, [self.path("later", "r")])
        sentinel = self.path("sentinel")
        touch(os.path.join(self.tmp, "sentinel"))
        os.rename(os.path.join(self.tmp, "sentinel"), sentinel)
        self.assertDetected(m, [sentinel])
        with open(x, "r+b") as f:
            f.write(TEST_FILE)
        with open(y, "r+b") as f:
            f.write(TEST_FILE)
        self.assertDetected(m, [self.path("moved", "second"), self.path("renamed", "r")])
