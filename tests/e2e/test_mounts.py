"""Filesystems mounted into a watched tree after start, and unmounted again,
with either reader: what a mount shows is reported as a folder moved in is,
what it covers goes unwatched, and what an unmount uncovers is reported and
watched again. A FUSE mount (bindfs, standing in for a network share) is
walked every MONITOR_RESCAN_SECONDS for changes made below it, where no
event of this kernel sees them. Mounting needs root."""

import os
import subprocess
import unittest

from harness import FANOTIFY, MonitorTest, named_all
from test_faults import FaultTest

CHANGE = b"[+] Change detected in file: "


def touch(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


class MountTest(MonitorTest):
    def run_mount(self, argv, target):
        """Mounts with argv, to be undone at the test's end."""
        done = subprocess.run(argv, capture_output=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.addCleanup(subprocess.run, ["umount", "-l", target], capture_output=True)

    def mount_kind(self, kind, target):
        os.makedirs(target, exist_ok=True)
        self.run_mount(["mount", "-t", kind, "none", target], target)

    def tmpfs(self, target):
        self.mount_kind("tmpfs", target)

    def unwatched_line(self, path, why):
        return b"[-] Failed to watch directory: %s (%s)\n" % (os.fsencode(path), why)

    def detected_after(self, m, count, path):
        """Waits until path is handed to detection after the first count
        detections."""
        path = os.fsencode(path)
        self.assertTrue(m.wait_detected(lambda seen: path in seen[count:]),
                        "%r not detected after %d: %r" % (path, count, m.out.snapshot()))


class Tmpfs(MountTest):
    def test_a_tmpfs_mounted_on_an_empty_folder_after_start(self):
        os.mkdir(self.path("empty"))
        m = self.start(ready=True)
        self.tmpfs(self.path("empty"))
        os.mkdir(self.path("empty", "d"))
        touch(self.path("empty", "d", "new"))
        self.assertDetected(m, [self.path("empty", "d", "new")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual([l for l in m.out.snapshot() if l.startswith(b"[-]")], [])

    def test_a_tmpfs_over_a_folder_with_files_then_unmounted(self):
        os.makedirs(self.path("full", "inner"))
        touch(self.path("full", "own"))
        touch(self.path("full", "inner", "deep"))
        # Filled before it is moved over the folder: its files became visible
        # without a change of their own.
        staging = os.path.join(self.tmp, "staging")
        self.tmpfs(staging)
        os.mkdir(os.path.join(staging, "sub"))
        touch(os.path.join(staging, "shown"))
        touch(os.path.join(staging, "sub", "shown-deep"))
        m = self.start(ready=True)
        self.run_mount(["mount", "--move", staging, self.path("full")], self.path("full"))
        self.assertDetected(m, [self.path("full", "shown"), self.path("full", "sub", "shown-deep")])
        self.assertNotIn(self.bpath("full", "own"), m.detected())
        # The mount is watched, not the folder below it.
        touch(self.path("full", "sub", "written"))
        self.assertDetected(m, [self.path("full", "sub", "written")])
        count = len(m.detected())
        subprocess.run(["umount", self.path("full")], check=True)
        self.detected_after(m, count, self.path("full", "own"))
        self.detected_after(m, count, self.path("full", "inner", "deep"))
        # Watched again, deep down too.
        touch(self.path("full", "inner", "after"))
        self.detected_after(m, count, self.path("full", "inner", "after"))
        self.assertEqual(m.quit(), 0)
        self.assertEqual([l for l in m.out.snapshot() if l.startswith(b"[-]")], [])

    def test_a_folder_of_the_tree_bound_elsewhere_in_it_stays_watched(self):
        os.mkdir(self.path("a"))
        os.mkdir(self.path("b"))
        touch(self.path("b", "own"))
        m = self.start(ready=True)
        self.run_mount(["mount", "--bind", self.path("a"), self.path("b")], self.path("b"))
        touch(self.path("b", "via-b"))
        # The same file at either path.
        either = (self.bpath("a", "via-b"), self.bpath("b", "via-b"))
        self.assertTrue(m.wait_detected(lambda seen: any(p in seen for p in either)), m.out.snapshot())
        count = len(m.detected())
        subprocess.run(["umount", self.path("b")], check=True)
        self.detected_after(m, count, self.path("b", "own"))
        touch(self.path("a", "after"))
        touch(self.path("b", "after"))
        self.detected_after(m, count, self.path("a", "after"))
        self.detected_after(m, count, self.path("b", "after"))

    def test_a_ramfs_moved_with_its_folder_and_a_path_too_long_under_it(self):
        # ramfs refuses a fanotify mark: that reader watches it with inotify.
        os.mkdir(self.path("above"))
        self.mount_kind("ramfs", self.path("above", "ram"))
        m = self.start(ready=True)
        os.rename(self.path("above"), self.path("moved"))
        touch(self.path("moved", "ram", "after"))
        self.assertDetected(m, [self.path("moved", "ram", "after")])
        self.assertNotIn(self.bpath("above", "ram", "after"), m.detected())
        # A file whose path below the field is just too long to hand over,
        # in a folder still watched below the mount.
        point = self.path("moved", "ram")
        fd = os.open(point, os.O_RDONLY)
        depth = 0
        while len(point) + 1 + 201 * (depth + 1) < 4096 - 8:
            os.mkdir("d" * 200, dir_fd=fd)
            deeper = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd, depth = deeper, depth + 1
        below = 201 * depth - 1  # the folder's path below the mount point
        name = "n" * (4094 - below - 1)  # its path below the mount: 4094 bytes
        os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
        os.close(fd)
        self.assertTrue(named_all(m, self.bpath(), {name.encode()}, timeout=20), m.out.snapshot())

    def test_a_mount_over_the_root_is_watched_as_the_folder_it_names_now(self):
        m = self.start(ready=True)
        self.tmpfs(self.root)
        line = b"[-] Directory replaced by another, watching the new one: %s\n" % self.bpath()
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        self.write("on-the-mount")
        self.assertDetected(m, [self.path("on-the-mount")])


@unittest.skipUnless(os.path.exists("/dev/fuse"), "no /dev/fuse here: FUSE cannot mount")
class Fuse(MountTest):
    def bindfs(self):
        """The folder server, outside the tree, shown inside it at share."""
        self.server = os.path.join(self.tmp, "server")
        os.mkdir(self.server)
        os.mkdir(self.path("share"))
        self.run_mount(["bindfs", self.server, self.path("share")], self.path("share"))

    def walked_line(self, every):
        return self.unwatched_line(self.path("share"),
                                   b"fuse: changes made elsewhere are found by a walk every %s" % every)

    def test_changes_below_a_fuse_mount_are_found_by_the_walk(self):
        self.bindfs()
        m = self.start(ready=True, env={"MONITOR_RESCAN_SECONDS": "2"})
        # Printed before READY=1, and maybe still in the pipe.
        self.assertTrue(m.out.wait_for_line(self.walked_line(b"2 s")), m.out.snapshot())
        if FANOTIFY:
            refused = self.unwatched_line(self.path("share"), b"the filesystem cannot report file handles")
            self.assertTrue(m.out.wait_for_line(refused), m.out.snapshot())
        touch(os.path.join(self.server, "direct"))
        os.mkdir(os.path.join(self.server, "made-there"))
        touch(os.path.join(self.server, "made-there", "deeper"))
        touch(self.path("share", "through"))
        self.assertDetected(m, [self.path("share", "direct"), self.path("share", "made-there", "deeper"),
                                self.path("share", "through")])

    def test_a_fuse_mount_moved_in_with_the_folder_above_it_is_walked(self):
        self.server = os.path.join(self.tmp, "server")
        os.mkdir(self.server)
        touch(os.path.join(self.server, "before"))
        outside = os.path.join(self.tmp, "outside")
        os.makedirs(os.path.join(outside, "share"))
        self.run_mount(["bindfs", self.server, os.path.join(outside, "share")], self.path("moved", "share"))
        m = self.start(ready=True, env={"MONITOR_RESCAN_SECONDS": "1"})
        # A rename moves the mount in; the mount table changes without a signal.
        os.rename(outside, self.path("moved"))
        self.assertDetected(m, [self.path("moved", "share", "before")])  # listed as moved in
        touch(os.path.join(self.server, "direct"))
        self.assertDetected(m, [self.path("moved", "share", "direct")])

    def test_writes_through_a_fuse_mount_come_at_once(self):
        m = self.start(ready=True, env={"MONITOR_RESCAN_SECONDS": "0"})
        self.bindfs()
        line = self.unwatched_line(self.path("share"),
                                   b"fuse: changes made elsewhere are not found, MONITOR_RESCAN_SECONDS is 0")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        # No walk runs: only the events of the write can report it.
        touch(self.path("share", "through"))
        self.assertDetected(m, [self.path("share", "through")])


class UnreadableTable(FaultTest, MountTest):
    def test_a_mount_table_that_cannot_be_read_is_said(self):
        gone = os.path.join(self.tmp, "table-gone")
        touch(gone)
        m = self.start(ready=True, env=self.faults(FAULT_MOUNT_TABLE_GONE=gone))
        line = self.unwatched_line(self.root, b"the mount table cannot be read: mounts inside are not followed")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        touch(self.path("f"))
        self.assertDetected(m, [self.path("f")])
        # Read at start, and not after a mount.
        os.unlink(gone)
        m = self.start(ready=True, env=self.faults(FAULT_MOUNT_TABLE_GONE=gone))
        touch(gone)
        self.tmpfs(self.path("later"))
        line = self.unwatched_line(self.root, b"the mount table cannot be read: mounts inside may be missed")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        self.assertIn(b"open mountinfo EACCES", self.injected())


class HeldRead(FaultTest, MountTest):
    def test_a_mount_moved_while_its_events_wait_is_reported_where_it_went(self):
        # (ramfs refuses a fanotify mark: that reader watches it with inotify.)
        os.mkdir(self.path("above"))
        self.mount_kind("ramfs", self.path("above", "ram"))
        pause = os.path.join(self.tmp, "pause")
        m = self.start(ready=True, env=self.faults(FAULT_READ_PAUSE=pause))
        touch(pause)
        touch(self.path("above", "ram", "kick"))  # the read it wakes is held
        self.assertTrue(self.wait_injected(b"read paused"), self.injected())
        os.rename(self.path("above"), self.path("moved"))
        touch(self.path("moved", "ram", "x"))
        os.unlink(pause)
        self.assertDetected(m, [self.path("moved", "ram", "x")])
        self.assertNotIn(self.bpath("above", "ram", "x"), m.detected())


@unittest.skipUnless(FANOTIFY, "fanotify only: mounts that refuse its mark")
class RefusedMarks(FaultTest, MountTest):
    def test_mounts_inotify_cannot_take_are_named(self):
        for i in range(17):
            self.mount_kind("ramfs", self.path("ram%02d" % i))
        m = self.start(ready=True)
        line = self.unwatched_line(self.path("ram16"), b"too many mounts inside refuse a fanotify mark")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        touch(self.path("ram15", "f"))
        self.assertDetected(m, [self.path("ram15", "f")])
        m = self.start(ready=True, env=self.faults(FAULT_INIT_EMFILE=1))
        line = self.unwatched_line(self.path("ram00"),
                                   b"inotify instance limit reached, raise fs.inotify.max_user_instances")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())


class Setting(MonitorTest):
    def test_a_bad_interval_is_one_line_and_status_2(self):
        m = self.start(env={"MONITOR_RESCAN_SECONDS": "2147484"})
        self.assertEqual(m.wait(), 2)
        self.assertEqual(m.err.snapshot(), [b"[-] Bad value for MONITOR_RESCAN_SECONDS: \"2147484\" "
                                            b"(whole seconds from 0 to 2147483)\n"])
        m = self.start(ready=True, env={"MONITOR_RESCAN_SECONDS": "2147483"})
        self.assertEqual(m.quit(), 0)
