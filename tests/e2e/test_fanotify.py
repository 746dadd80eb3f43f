"""The fanotify reader and the choice of reader: which one a field gets
(the top of a filesystem, tmpfs or overlayfs, the watch limit reached, the
override), mounts inside the tree, and a detector writing inside the tree
without starting scans of its own writes. Each monitor is told its
MONITOR_BACKEND here, whichever run of the suite this is. Mounting needs
root, as fanotify does."""

import os
import subprocess
import time
import unittest

from harness import RECORDER_BIN, TIMEOUT, MonitorTest, fanotify_refusal
from test_faults import WATCH_LIMIT, FaultTest

REFUSED = fanotify_refusal()
CHANGE = b"[+] Change detected in file: "


def touch(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


@unittest.skipIf(REFUSED, "fanotify refused by the kernel here: %s" % REFUSED)
class ReaderTest(FaultTest):
    def mount(self, kind, target, options=None):
        """Mounts a filesystem of kind at target until the test ends."""
        os.makedirs(target, exist_ok=True)
        argv = ["mount", "-t", kind, "none", target] + (["-o", options] if options else [])
        done = subprocess.run(argv, capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount %s: %s" % (kind, done.stderr.decode(errors="replace")))
        self.addCleanup(subprocess.run, ["umount", "-l", target], capture_output=True)

    def start_with(self, backend, argument=None, env=None, **kwargs):
        return self.start(argument, ready=True, env=dict(env or {}, MONITOR_BACKEND=backend),
                          **kwargs)

    def wait_marks(self, m, count):
        """Waits, bounded, until the monitor holds count filesystem marks."""
        deadline = time.monotonic() + TIMEOUT
        while m.fanotify_marks() != count and time.monotonic() < deadline:
            time.sleep(0.005)  # polling the kernel's own state, bounded
        return m.fanotify_marks() == count

    def uses(self, m, reader):
        """Asserts which reader watches the one field of m."""
        if reader == "fanotify":
            self.assertEqual((m.fanotify_marks(), m.watch_count()), (1, 0))
        else:
            self.assertEqual(m.fanotify_marks(), 0)
            self.assertTrue(m.wait_watches(1))

    def failures(self, m):
        return [l for l in m.out.snapshot() if l.startswith(b"[-] ")]


# A watch limit no filesystem of the tests holds more inodes than.
ROOMY = 10 ** 12


class Choice(ReaderTest):
    def test_a_folder_inside_a_filesystem_that_fits_the_watch_limit_gets_inotify(self):
        m = self.start_with("", env=self.faults(FAULT_WATCH_LIMIT=ROOMY))
        self.uses(m, "inotify")
        self.assertIn(b"open max_user_watches", self.injected())

    def test_a_tree_that_may_outgrow_the_watches_gets_fanotify_before_any_walk(self):
        # More inodes in use on the filesystem than the limit: the tree may
        # not fit, so it is not walked with inotify first.
        os.makedirs(self.path("a", "b"))
        m = self.start_with("", env=self.faults(FAULT_WATCH_LIMIT=1))
        self.uses(m, "fanotify")
        touch(self.path("a", "b", "f"))
        self.assertDetected(m, [self.path("a", "b", "f")])
        m.quit()
        # A filesystem that does not count its inodes: the same.
        self.mount("tmpfs", os.path.join(self.tmp, "uncounted"), "nr_inodes=0")
        inside = os.path.join(self.tmp, "uncounted", "field")
        os.mkdir(inside)
        m = self.start_with("", argument=inside)
        self.uses(m, "fanotify")
        m.quit()
        # A field that is not there: said as ever.
        missing = os.path.join(self.tmp, "missing")
        m = self.start_with("", argument=self.root + ";" + missing)
        line = b"[-] Failed to open directory: %s\n" % os.fsencode(missing)
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())

    def test_the_top_of_a_tmpfs_gets_fanotify_and_once_unmounted_the_folder_below(self):
        touch(self.path("below"))  # hidden by the mount
        self.mount("tmpfs", self.root)
        os.mkdir(self.path("sub"))
        m = self.start_with("", env=self.faults(FAULT_WATCH_LIMIT=ROOMY))
        self.uses(m, "fanotify")
        touch(self.path("sub", "f"))
        self.assertDetected(m, [self.path("sub", "f")])
        subprocess.run(["umount", self.root], check=True)  # nothing holds it busy
        # The field names the folder the tmpfs hid: another folder, watched
        # from now on (by inotify: it is no top of a filesystem, and its
        # filesystem fits the watch limit).
        line = (b"[-] Directory replaced by another, watching the new one: %s\n" % self.bpath())
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        self.assertDetected(m, [self.path("below")])
        self.uses(m, "inotify")
        touch(self.path("after"))
        self.assertDetected(m, [self.path("after")])

    def test_the_top_of_an_overlay_gets_inotify_and_a_forced_fanotify_says_why(self):
        layers = {name: os.path.join(self.tmp, name) for name in ("lower", "upper", "work")}
        for path in layers.values():
            os.mkdir(path)
        self.mount("overlay", self.root, "lowerdir=%(lower)s,upperdir=%(upper)s,workdir=%(work)s"
                   % layers)
        m = self.start_with("")
        self.uses(m, "inotify")
        m.quit()
        m = self.start_with("fanotify")
        self.uses(m, "inotify")
        touch(self.path("f"))
        self.assertDetected(m, [self.path("f")])
        refused = self.unwatched_line(self.root, b"the filesystem refuses a fanotify mark")
        self.assertTrue(m.out.wait_for_line(refused), m.out.snapshot())
        self.assertEqual(self.failures(m), [refused])
        m.quit()
        # The watch limit reached there: fanotify cannot take over, and says
        # why; inotify names the folders beyond the limit, as ever.
        os.makedirs(self.path("full-old", "inner"))
        m = self.start_with("", env=self.faults(FAULT_ADD_WATCH_ENOSPC="full-"))
        limit = self.unwatched_line(self.path("full-old"), WATCH_LIMIT)
        self.assertTrue(m.out.wait_for(lambda out: refused in out and limit in out), m.out.snapshot())
        self.assertEqual(m.fanotify_marks(), 0)

    def test_the_watch_limit_reached_at_set_up_switches_to_fanotify(self):
        os.makedirs(self.path("full-old", "inner"))
        m = self.start_with("", env=self.faults(FAULT_ADD_WATCH_ENOSPC="full-",
                                                FAULT_WATCH_LIMIT=ROOMY))
        self.uses(m, "fanotify")
        touch(self.path("full-old", "inner", "f"))
        os.makedirs(self.path("full-new", "deeper"))
        touch(self.path("full-new", "deeper", "g"))
        self.assertDetected(m, [self.path("full-old", "inner", "f"),
                                self.path("full-new", "deeper", "g")])
        self.assertIn(b"inotify_add_watch ENOSPC", self.injected())
        self.assertEqual(m.quit(), 0)
        self.assertEqual(self.failures(m), [])

    def test_forced_inotify_and_an_unknown_value(self):
        self.mount("tmpfs", self.root)
        m = self.start_with("inotify")
        self.uses(m, "inotify")
        m.quit()
        m = self.start_with("fanotfy")
        self.uses(m, "fanotify")
        line = self.unwatched_line(
            self.root, b"MONITOR_BACKEND is neither inotify nor fanotify, chosen automatically")
        # Readiness is seen in the detector's log; the line may still be on its way.
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        self.assertEqual(self.failures(m), [line])


class Mounts(ReaderTest):
    def test_mounts_inside_the_tree_at_start_and_later(self):
        self.mount("tmpfs", self.path("early"))
        m = self.start_with("fanotify")
        self.assertEqual(m.fanotify_marks(), 2)
        touch(self.path("early", "a"))
        self.mount("tmpfs", self.path("late"))
        self.assertTrue(self.wait_marks(m, 3))
        os.mkdir(self.path("late", "d"))
        touch(self.path("late", "d", "b"))
        self.assertDetected(m, [self.path("early", "a"), self.path("late", "d", "b")])
        # Nothing the monitor holds keeps a mount busy.
        subprocess.run(["umount", self.path("late")], check=True)
        self.assertTrue(self.wait_marks(m, 2))
        touch(self.path("late", "under"))
        self.assertDetected(m, [self.path("late", "under")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(self.failures(m), [])

    def test_a_mount_inside_the_tree_at_start_with_inotify(self):
        self.mount("tmpfs", self.path("early"))
        m = self.start_with("inotify")
        touch(self.path("early", "a"))
        self.assertDetected(m, [self.path("early", "a")])

    def test_a_mount_that_refuses_the_mark_is_named_and_watched_with_inotify(self):
        self.mount("ramfs", self.path("ram"))
        m = self.start_with("fanotify")
        line = self.unwatched_line(self.path("ram"), b"the filesystem refuses a fanotify mark")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        touch(self.path("f"))
        os.mkdir(self.path("ram", "d"))
        touch(self.path("ram", "d", "g"))
        self.assertDetected(m, [self.path("f"), self.path("ram", "d", "g")])
        # Unmounted: given up, and the folder below listed and watched.
        subprocess.run(["umount", self.path("ram")], check=True)
        touch(self.path("ram", "under"))
        self.assertDetected(m, [self.path("ram", "under")])


    def test_a_part_that_refuses_the_mark_follows_its_hard_linked_files(self):
        # A ramfs whose "inside" is bound into the field: a file there with a
        # name in "outside" is written through that name, which no watch of
        # the field's folders sees.
        ram = os.path.join(self.tmp, "ram")
        self.mount("ramfs", ram)
        for folder in ("inside", "outside"):
            os.mkdir(os.path.join(ram, folder))
        x, y = os.path.join(ram, "outside", "x"), os.path.join(ram, "outside", "y")
        touch(x, b"clean")
        touch(y, b"clean")
        os.link(x, os.path.join(ram, "inside", "before.pdf"))
        part = self.path("part")
        os.mkdir(part)
        bound = subprocess.run(["mount", "--bind", os.path.join(ram, "inside"), part], capture_output=True)
        if bound.returncode != 0:
            self.skipTest("cannot bind-mount: %s" % bound.stderr.decode(errors="replace"))
        self.addCleanup(subprocess.run, ["umount", "-l", part], capture_output=True)
        m = self.start_with("fanotify")
        line = self.unwatched_line(part, b"the filesystem refuses a fanotify mark")
        self.assertTrue(m.out.wait_for_line(line), m.out.snapshot())
        later = os.path.join(part, "later.pdf")
        os.link(y, os.path.join(ram, "inside", "later.pdf"))  # the same folder as part
        self.assertDetected(m, [later])
        for name in (x, y):
            with open(name, "r+b") as f:
                f.write(b"written")
        before = os.fsencode(os.path.join(part, "before.pdf"))
        self.assertTrue(m.wait_detected(lambda p: before in p and p.count(os.fsencode(later)) >= 2),
                        m.out.snapshot())


class OwnWrites(ReaderTest):
    def install_detector(self, script):
        shutil_copy = subprocess.run(["cp", RECORDER_BIN, os.path.join(self.install, "recorder")])
        self.assertEqual(shutil_copy.returncode, 0)
        target = os.path.join(self.install, "AV_Quillmar.exe")
        with open(target, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(target, 0o755)

    def test_a_detector_writing_inside_the_tree_does_not_scan_its_own_writes(self):
        # It logs each scan and writes a note, in the tree, then records the
        # run: all in the detection process itself (shell built-ins; what a
        # program it starts in turn writes is that program's change). Each
        # run is held at the recorder's gate until its writes have been read:
        # a detector's writes read after it ended are reported.
        self.install_detector('echo "scanned $1" >> "$SCAN_LOG"\n'
                              'printf "%s" "$1" > "$SCAN_COPY"\n'
                              'exec "$(dirname "$0")/recorder" "$@"\n')
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        env = {"SCAN_LOG": self.path("scan.log"), "SCAN_COPY": self.path("copy"),
               "RECORDER_GATE": gate}
        m = self.start_with("fanotify", env=env)
        for name in ("one", "two", "three"):
            # Made beside the tree and moved in: one change (a close after
            # writing read once its scan began would be another).
            touch(os.path.join(self.tmp, name), b"")
            os.rename(os.path.join(self.tmp, name), self.path(name))
            self.assertDetected(m, [self.path(name)])
            self.assertTrue(m.read_up())
            os.close(os.open(gate, os.O_WRONLY))  # lets the run end
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.detected(), [self.bpath(n) for n in ("one", "two", "three")],
                         m.out.snapshot())
        with open(self.path("scan.log"), "rb") as f:
            self.assertEqual(len(f.read().splitlines()), 3)

    def test_without_the_makers_process_from_the_kernel_the_detectors_writes_are_reported(self):
        # A kernel that cannot hand over the process behind a change: no
        # change can be told as the detector's own, so none is left out.
        self.install_detector('echo "scanned $1" >> "$SCAN_LOG"\n'
                              'exec "$(dirname "$0")/recorder" "$@"\n')
        env = self.faults(FAULT_NO_PIDFD=1, SCAN_LOG=self.path("scan.log"))
        m = self.start_with("fanotify", env=env)
        self.uses(m, "fanotify")
        touch(self.path("one"))
        self.assertDetected(m, [self.path("one"), self.path("scan.log")])
        self.assertIn(b"fanotify_init EINVAL", self.injected())

    def test_others_writing_the_same_file_are_reported(self):
        self.install_detector('echo "scanned $1" >> "$SCAN_LOG"\n'
                              'exec "$(dirname "$0")/recorder" "$@"\n')
        m = self.start_with("fanotify", env={"SCAN_LOG": self.path("scan.log")})
        touch(self.path("one"))
        self.assertDetected(m, [self.path("one")])
        with open(self.path("scan.log"), "ab") as f:
            f.write(b"written by someone else\n")
        self.assertDetected(m, [self.path("scan.log")])
