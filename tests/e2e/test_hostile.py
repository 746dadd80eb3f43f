"""Hostile trees: what an attacker can put in a watched tree to blind the
monitor or make it misreport. Real binary, real trees, recording detector."""

import itertools
import os
import re
import shutil
import subprocess
import threading
import unittest

from harness import FANOTIFY, MonitorTest, escaped

CHANGE = b"[+] Change detected in file: "
NOBODY = 65534
EVERY_BYTE = bytes(b for b in range(1, 256) if b != ord("/"))  # 254 bytes


def touch(path, data=None, dir_fd=None):
    fd = os.open(path, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=dir_fd)
    if data:
        os.write(fd, data)
    os.close(fd)


def failures(m):
    return [l for l in m.out.snapshot() if l.startswith(b"[-] ")]


def chain(parent, component, depth):
    """Makes a chain of depth directories below parent, by descriptor so that
    no path argument is ever too long; returns the descriptors of each level
    (the caller closes them)."""
    fds = [os.open(parent, os.O_RDONLY)]
    for _ in range(depth):
        os.mkdir(component, dir_fd=fds[-1])
        fds.append(os.open(component, os.O_RDONLY, dir_fd=fds[-1]))
    return fds


class HostileTest(MonitorTest):
    def tearDown(self):
        # Python's own removal recurses once per level; the deep chains here
        # are deeper than its recursion limit.
        for m in self.monitors:
            m.kill()
        subprocess.run(["rm", "-rf", "--", self.tmp], check=False)
        super().tearDown()


class Unreadable(HostileTest):
    """Runs the monitor as an unprivileged user: as root every directory
    could be read."""

    def test_unreadable_directories_are_named_and_the_rest_stays_watched(self):
        os.chmod(self.tmp, 0o755)
        fd = os.open(self.log, os.O_CREAT | os.O_WRONLY, 0o666)
        os.fchmod(fd, 0o666)
        os.close(fd)
        os.makedirs(self.path("open", "deeper"))
        os.makedirs(self.path("locked", "inner"))
        os.chmod(self.path("locked"), 0o700)
        # Readable but not searchable: listed, but nothing below can be watched.
        os.makedirs(self.path("noexec", "child"))
        os.chmod(self.path("noexec"), 0o744)
        m = self.start(self.root + ";" + self.path("locked"), cwd=self.tmp,
                       popen={"user": NOBODY, "group": NOBODY, "extra_groups": []},
                       ready=True)
        denied = b"[-] Failed to watch directory: %s (Permission denied)\n"
        expected = [denied % self.bpath("locked"), denied % self.bpath("noexec", "child"),
                    b"[-] Failed to open directory: %s\n" % self.bpath("locked")]
        if FANOTIFY:
            # Unprivileged, fanotify is refused, and said so; inotify watches.
            expected.append(b"[-] Failed to watch directory: %s (fanotify needs CAP_SYS_ADMIN)\n"
                            % self.bpath())
        self.assertTrue(m.out.wait_for(lambda out: all(l in out for l in expected)),
                        m.out.snapshot())
        os.mkdir(self.path("late-locked"), 0o700)
        expected.append(denied % self.bpath("late-locked"))
        self.assertTrue(m.out.wait_for_line(expected[-1]), m.out.snapshot())
        touch(self.path("locked", "inner", "hidden"))
        for name in ("open/deeper/seen", "noexec/seen", "seen"):
            touch(self.path(name))
        self.assertDetected(m, [self.path("open", "deeper", "seen"), self.path("noexec", "seen"),
                                self.path("seen")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(sorted(failures(m)), sorted(expected))
        self.assertFalse([p for p in m.detected() if b"hidden" in p])


class SymbolicLinks(HostileTest):
    def test_link_loops_are_not_followed(self):
        os.makedirs(self.path("a", "b"))
        os.symlink("../..", self.path("a", "b", "up"))
        os.symlink(".", self.path("self"))
        os.symlink("loop2", self.path("loop1"))
        os.symlink("loop1", self.path("loop2"))
        os.symlink(self.root, self.path("a", "absolute"))
        looped_root = os.path.join(self.tmp, "looped-root")
        os.symlink(looped_root, looped_root)
        m = self.start(self.root + ";" + looped_root, ready=True)
        touch(self.path("a", "b", "f"))
        os.symlink("newloop", self.path("a", "newloop"))
        os.rename(self.path("self"), self.path("self-renamed"))
        # A link is an entry like a file: reported itself, never entered.
        self.assertDetected(m, [self.path("a", "b", "f"), self.path("a", "newloop"),
                                self.path("self"), self.path("self-renamed")])
        self.watched(m, 3)
        self.assertEqual(m.quit(), 0)
        self.assertEqual(failures(m), [b"[-] Failed to open directory: %s\n"
                                       % os.fsencode(looped_root)])
        self.assertEqual(sorted(set(m.detected())), sorted(
            {self.bpath("a", "b", "f"), self.bpath("a", "newloop"), self.bpath("self"),
             self.bpath("self-renamed")}))


class DeepChains(HostileTest):
    def test_chain_far_deeper_than_path_max(self):
        # One-letter names: about 2000 watched levels, then 1000 more that no
        # path can name.
        fds = chain(self.root, "d", 3000)
        try:
            levels = (4095 - len(self.root)) // 2  # deepest level whose path fits
            m = self.start(ready=True)
            too_long = b"[-] Failed to watch directory: %s/.../d (File name too long)\n" % self.bpath()
            beyond = (b"[-] Change not scanned, path cannot be represented: %s/.../beyond\n"
                      % self.bpath())
            if FANOTIFY:
                # No watch per folder: a change deeper than any path is named.
                os.close(os.open("beyond", os.O_CREAT | os.O_WRONLY, dir_fd=fds[levels + 500]))
                self.assertTrue(m.out.wait_for_line(beyond), m.out.snapshot())
            else:
                # A watch per folder: the first one too deep to watch is named.
                self.assertTrue(m.out.wait_for_line(too_long), m.out.snapshot())
            # Near the end of the watched levels: one name still fits, one
            # does not and is named, not cut.
            fits = levels - 5
            os.close(os.open("fits", os.O_CREAT | os.O_WRONLY, dir_fd=fds[fits]))
            os.close(os.open("named", os.O_CREAT | os.O_WRONLY, dir_fd=fds[levels]))
            self.assertDetected(m, [self.path(*(["d"] * fits + ["fits"]))])
            unscanned = (b"[-] Change not scanned, path cannot be represented: %s/.../named\n"
                         % self.bpath())
            self.assertTrue(m.out.wait_for_line(unscanned), m.out.snapshot())
        finally:
            for fd in fds:
                os.close(fd)
        # The whole chain deleted while watched: every watch goes.
        subprocess.run(["rm", "-rf", "--", self.path("d")], check=True)
        self.watched(m, 1)
        touch(self.path("after"))
        self.assertDetected(m, [self.path("after")])
        self.assertEqual(m.quit(), 0)
        # (The file that no path can name is named again when deleted.)
        self.assertEqual(set(failures(m)), {unscanned, beyond if FANOTIFY else too_long})
        self.assertLessEqual(failures(m).count(too_long), 1)

    def test_deep_chain_moved_in_then_made_too_long_by_a_rename(self):
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        fds = chain(outside, "d", 2500)
        try:
            os.close(os.open("early", os.O_CREAT | os.O_WRONLY, dir_fd=fds[1]))
            m = self.start(ready=True)
            os.rename(outside, self.path("in"))
            levels = (4095 - len(self.root) - len("/in")) // 2
            self.watched(m, 2 + levels)
            self.assertDetected(m, [self.path("in", "d", "early")])
            # Renaming the top to a 255-byte name pushes the deepest watched
            # levels past what a path can hold; their changes are named.
            os.rename(self.path("in"), self.path("i" * 255))
            os.close(os.open("late", os.O_CREAT | os.O_WRONLY, dir_fd=fds[levels]))
            os.close(os.open("shallow", os.O_CREAT | os.O_WRONLY, dir_fd=fds[2]))
            # A folder made there cannot be watched, and no path names it:
            # said so, not named as if it stood at the top.
            os.mkdir("newdir", dir_fd=fds[levels])
        finally:
            for fd in fds:
                os.close(fd)
        if not FANOTIFY:
            self.assertTrue(m.out.wait_for_line(
                b"[-] Failed to watch directory: %s/.../newdir (File name too long)\n" % self.bpath()),
                m.out.snapshot())
            self.assertNotIn(b"[-] Failed to watch directory: %s (File name too long)\n"
                             % self.bpath("newdir"), m.out.snapshot())
        self.assertDetected(m, [self.path("i" * 255, "d", "d", "shallow")])
        self.assertTrue(m.out.wait_for_line(
            b"[-] Change not scanned, path cannot be represented: %s/.../late\n" % self.bpath()),
            m.out.snapshot())
        self.assertFalse([p for p in m.detected() if p.endswith(b"/late")])
        self.assertEqual(m.quit(), 0)


@unittest.skipUnless(FANOTIFY, "the fanotify reader's mark sees the whole filesystem")
class DeepOutside(HostileTest):
    """Folders deeper than any path, outside the field, on the filesystem
    the fanotify reader's mark sees."""

    def test_writes_in_a_deep_folder_outside_do_not_hold_up_a_change_inside(self):
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        fds = chain(outside, "d", 2500)
        try:
            m = self.start(ready=True)
            for i in range(1500):
                touch("f%d" % i, dir_fd=fds[-1], data=b"x")
            touch(self.path("inside"))
            self.assertDetected(m, [self.path("inside")])
        finally:
            for fd in fds:
                os.close(fd)
        self.assertEqual(m.quit(), 0)
        self.assertEqual(failures(m), [])

    def test_a_deep_folder_moved_in_from_outside_has_its_changes_named(self):
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        fds = chain(outside, "d", 2500)
        try:
            m = self.start(ready=True)
            touch("before", dir_fd=fds[-1])
            touch(self.path("marker"))
            self.assertDetected(m, [self.path("marker")])
            os.rename(outside, self.path("in"))
            touch("after", dir_fd=fds[-1])
            named = b"[-] Change not scanned, path cannot be represented: %s/.../after\n" % self.bpath()
            self.assertTrue(m.out.wait_for_line(named), m.out.snapshot())
        finally:
            for fd in fds:
                os.close(fd)


class Names(HostileTest):
    def test_longest_names_and_every_byte(self):
        root = os.fsencode(self.root)
        os.mkdir(os.path.join(root, b"D" + EVERY_BYTE))
        m = self.start(ready=True)
        expected = []

        def create(*parts):
            path = os.path.join(root, *parts)
            touch(path)
            expected.append(path)
        for b in EVERY_BYTE:
            create(b"<" + bytes([b]) + b">")
        create(EVERY_BYTE)
        create(b"D" + EVERY_BYTE, EVERY_BYTE)
        create(b"f" * 255)
        # New directories with such names: listed at once, then watched.
        for name in (b"d" * 255, EVERY_BYTE[::-1]):
            os.mkdir(os.path.join(root, name))
            create(name, b"g" * 255)
            create(name, EVERY_BYTE)
        self.assertDetected(m, expected)
        self.watched(m, 4)
        self.assertEqual(m.quit(), 0)
        for _, args in m.records():
            self.assertEqual(len(args), 1)
        self.assertEqual(failures(m), [])
        # Each change line carries its path, control bytes escaped.
        out = m.out.snapshot()
        for path in expected:
            self.assertIn(CHANGE + escaped(path) + b"\n", out)


class Races(HostileTest):
    def big_tree(self, top, files):
        """Makes 25 directories below top, 4 below each, 4 below each of
        those (525 directories); with files, a file in each of the first 25
        (deletions are changes too, and each runs the detector)."""
        level = [top]
        os.mkdir(top)
        for width in (25, 4, 4):
            nxt = []
            for parent in level:
                for i in range(width):
                    p = os.path.join(parent, "%d" % i)
                    os.mkdir(p)
                    if files and width == 25:
                        touch(os.path.join(p, "file"))
                    nxt.append(p)
            level = nxt

    def test_subtree_deleted_while_its_watches_are_set_up(self):
        for attempt in range(3):
            self.big_tree(self.path("big"), files=False)
            m = self.start()
            shutil.rmtree(self.path("big"))
            self.watched(m, 1)
            touch(self.path("marker-%d" % attempt))
            self.assertDetected(m, [self.path("marker-%d" % attempt)])
            self.assertEqual(m.quit(), 0)
            self.assertEqual(failures(m), [])

    def test_subtree_deleted_while_arriving(self):
        m = self.start(ready=True)
        for attempt in range(5):
            outside = os.path.join(self.tmp, "outside")
            self.big_tree(outside, files=True)
            os.rename(outside, self.path("arriving"))
            shutil.rmtree(self.path("arriving"))
        self.watched(m, 1)
        touch(self.path("marker"))
        self.assertDetected(m, [self.path("marker")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(failures(m), [])
        # Whatever was reported of the vanished trees was under its real path.
        for p in m.detected():
            self.assertRegex(p, re.escape(self.bpath()) + rb"/(marker|arriving/\d+/file)$")

    def test_renames_handled_late_keep_each_directory_under_its_own_places(self):
        # The monitor is held by its detector while two directories swap names
        # twice through a third; it then meets each rename long after the fact.
        for d in ("x", "y"):
            os.makedirs(self.path(d, "sub"))
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        m = self.start(env={"RECORDER_GATE": gate}, ready=True)
        touch(self.path("blocker"))
        self.assertDetected(m, [self.path("blocker")])  # its detector waits at the gate
        y_sub = os.open(self.path("y", "sub"), os.O_RDONLY)
        try:
            os.rename(self.path("x"), self.path("t"))
            os.rename(self.path("y"), self.path("x"))
            os.rename(self.path("t"), self.path("y"))
            os.rename(self.path("y"), self.path("t"))
            os.close(os.open("during", os.O_CREAT | os.O_WRONLY, dir_fd=y_sub))  # at x/sub
            os.rename(self.path("x"), self.path("y"))
            os.rename(self.path("t"), self.path("x"))
        finally:
            os.close(y_sub)
        holder = os.open(gate, os.O_WRONLY)  # lets this and every later run end
        try:
            # Its event comes after all the renames: once it is reported, they
            # are all handled.
            touch(self.path("end"))
            self.assertDetected(m, [self.path("end")])
            touch(self.path("x", "sub", "final-x"))
            touch(self.path("y", "sub", "final-y"))
            self.assertDetected(m, [self.path("x", "sub", "final-x"),
                                    self.path("y", "sub", "final-y")])
            during = [p for p in m.detected() if p.endswith(b"/during")]
            self.assertTrue(during)
            # The file was made at x/sub, and was at y/sub from the last swap on.
            for p in during:
                self.assertIn(p, (self.bpath("x", "sub", "during"), self.bpath("y", "sub", "during")))
            self.assertEqual(m.quit(), 0)
        finally:
            # No detector run may be left waiting at a gate nobody opens.
            os.unlink(gate)
            touch(gate)
            os.close(holder)

    def test_rename_storm(self):
        """Directories renamed back and forth thousands of times while files
        are written below them: every file is reported under a path it had
        while it existed, and none is lost."""
        os.makedirs(self.path("p"))
        os.makedirs(self.path("q"))
        # Four directories each cycling through three places (two names, two
        # parents), and two swapping their names through a third.
        places = {k: ["p/%d-A" % k, "p/%d-B" % k, "q/%d-A" % k] for k in range(4)}
        where = {k: places[k][0] for k in places}
        where["x"], where["y"] = "x", "y"
        for k in where:
            os.makedirs(self.path(where[k], "sub"))
        subs = {k: os.open(self.path(where[k], "sub"), os.O_RDONLY) for k in where}
        m = self.start(ready=True)
        history = [dict(where)]  # history[s]: where each directory was after s renames
        progress = threading.Condition()
        errors = []

        def rename(k, to):
            os.rename(self.path(where[k]), self.path(to))
            with progress:
                where[k] = to
                history.append(dict(where))
                progress.notify_all()

        written = []  # (directory, file name, renames done before it was made)

        def storm():
            try:
                # Goes on until enough files were written below the storm,
                # however the two threads happen to be scheduled.
                for i in itertools.count():
                    if i >= 3000 and len(written) >= 150:
                        break
                    k = i % 5
                    if k < 4:
                        rename(k, places[k][(places[k].index(where[k]) + 1) % 3])
                    else:
                        x_at, y_at = where["x"], where["y"]
                        rename("x", "t")
                        rename("y", x_at)
                        rename("x", y_at)
            except OSError as e:
                errors.append(e)
            finally:
                with progress:
                    history.append(None)  # the end
                    progress.notify_all()
        stormer = threading.Thread(target=storm)
        try:
            stormer.start()
            # A file every few renames, in turn below each directory.
            for i in range(10 ** 6):
                with progress:
                    progress.wait_for(lambda: history[-1] is None or len(history) >= 8 * i)
                    if history[-1] is None:
                        break
                    seen = len(history) - 1
                k = list(subs)[i % len(subs)]
                name = "f-%s-%d" % (k, i)
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=subs[k]))
                written.append((k, name, seen))
        finally:
            stormer.join()
            for fd in subs.values():
                os.close(fd)
        history.pop()
        self.assertEqual(errors, [])
        self.assertGreater(len(written), 100)
        # Its event comes after every event of the storm.
        touch(self.path("end"))
        self.assertDetected(m, [self.path("end")])
        # Settled: each directory is reported at its final place.
        finals = [self.path(where[k], "sub", "final") for k in where]
        for path in finals:
            touch(path)
        self.assertDetected(m, finals)
        finals_b = [os.fsencode(p) for p in finals]
        # Each file may be reported under any place its directory had from
        # just before the file was made until the end.
        allowed = {}
        for k, name, s in written:
            allowed[name] = set(self.bpath(state[k], "sub", name) for state in history[s:])
        lost = any(l.startswith(b"[-] Changes were lost") for l in m.out.snapshot())
        detected = m.detected()
        if not lost:
            # Everything before the final files has been handled by now.
            missing = [n for n in allowed if not allowed[n] & set(detected)]
            self.assertEqual(missing, [], "%d of %d files never reported; reported instead: %s" % (
                len(missing), len(allowed),
                [p for p in detected if os.path.basename(os.fsdecode(p)) in missing][:10]))
        wrong = [p for p in detected if p != self.bpath("end") and
                 p not in allowed.get(os.path.basename(os.fsdecode(p)), set(finals_b))]
        self.assertEqual(wrong, [], "%d of %d reports under a path the file never had"
                         % (len(wrong), len(detected)))
        self.watched(m, 3 + 2 * len(where))
        self.assertEqual(m.quit(), 0)

    def test_directory_moved_out_and_back_in(self):
        os.makedirs(self.path("m", "inner"))
        touch(self.path("m", "inner", "old"))
        m = self.start(ready=True)
        outside = os.path.join(self.tmp, "out")
        os.rename(self.path("m"), outside)
        touch(os.path.join(outside, "inner", "while-out"))
        os.rename(outside, self.path("m"))
        # Back in, it is a directory that arrived: its files are reported.
        self.assertDetected(m, [self.path("m", "inner", "while-out"), self.path("m", "inner", "old")])
        self.watched(m, 3)
        # Out and back in again and again, faster than the monitor follows.
        for i in range(50):
            os.rename(self.path("m"), outside)
            touch(os.path.join(outside, "inner", "out-%d" % i))
            os.rename(outside, self.path("m"))
        touch(self.path("m", "inner", "after"))
        self.assertDetected(m, [self.path("m", "inner", "after"),
                                self.path("m", "inner", "out-49")])
        self.watched(m, 3)
        self.assertEqual(m.quit(), 0)
        for p in m.detected():
            self.assertTrue(p.startswith(self.bpath("m", "inner") + b"/"), p)
        self.assertEqual(failures(m), [])
