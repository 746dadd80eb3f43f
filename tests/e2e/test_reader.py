"""The tree is kept current while detection runs: changes staged during a slow
detection (a detector held at a gate) are reported under the paths they had,
and new folders are watched at once."""

import os
import shutil

from harness import MonitorTest, DETECTOR_BIN, close_gate

TEST_FILE = (b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")


def touch(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)


def collapse(paths):
    """Paths with runs of one path taken as one: the queue merges a record
    with the same one still waiting."""
    return [p for i, p in enumerate(paths) if i == 0 or paths[i - 1] != p]


class HeldTest(MonitorTest):
    """Each test holds the monitor in one detection while it stages changes."""

    def hold(self, argument=None):
        self.gate = os.path.join(self.tmp, "gate")
        os.mkfifo(self.gate)
        m = self.start(argument, env={"RECORDER_GATE": self.gate}, ready=True)
        touch(self.path("blocker"))
        self.assertDetected(m, [self.path("blocker")])  # its detector waits at the gate
        self.holder = None
        self.addCleanup(self.release)
        return m

    def release(self):
        """Lets the held detection and every later one end."""
        if self.holder is None:
            self.holder = os.open(self.gate, os.O_WRONLY)
            close_gate(self.gate, self.holder)


class DuringDetection(HeldTest):
    def test_files_in_folders_made_while_detection_runs_are_all_reported(self):
        m = self.hold()
        os.mkdir(self.path("d"))
        touch(self.path("d", "a.tmp"), b"partial")
        os.rename(self.path("d", "a.tmp"), self.path("d", "a"))
        os.makedirs(self.path("dl", "inner"))
        touch(self.path("dl", "inner", "dropper"), TEST_FILE)
        # Watched while the detection still runs: with inotify, the kernel says so.
        self.watched(m, 4)
        shutil.rmtree(self.path("dl"))
        self.release()
        # The file is reported where it stands; its first name only if the
        # folder's watch came before the rename (inotify watches a new
        # folder once it exists).
        self.assertDetected(m, [self.path("d", "a"), self.path("dl", "inner", "dropper")])

    def test_a_file_is_reported_where_it_was_not_where_its_folder_went(self):
        os.mkdir(self.path("A"))
        m = self.hold()
        os.mkdir(self.path("N"))
        touch(self.path("A", "f"), b"data")
        os.unlink(self.path("A", "f"))
        os.rename(self.path("A"), self.path("N", "A"))
        touch(self.path("N", "A", "g"))
        self.release()
        self.assertDetected(m, [self.path("A", "f"), self.path("N", "A", "g")])
        self.assertNotIn(self.bpath("N", "A", "f"), m.detected())

    def test_names_swapped_while_detection_runs_map_every_folder_to_its_path(self):
        os.mkdir(self.path("M"))
        outside = os.path.join(self.tmp, "outside")
        os.mkdir(outside)
        m = self.hold()
        os.mkdir(self.path("X"))
        os.mkdir(self.path("M", "Y"))
        os.rename(self.path("X"), self.path("T"))
        os.rename(self.path("M", "Y"), self.path("X"))
        os.rename(self.path("T"), self.path("M", "Y"))
        os.rename(self.path("M"), self.path("X", "M"))
        self.release()
        self.watched(m, 4)
        files = [("X", "p1"), ("X", "M", "p2"), ("X", "M", "Y", "p3")]
        for parts in files:
            touch(self.path(*parts))
        os.mkdir(self.path("X", "new"))
        touch(self.path("X", "new", "p4"))
        self.assertDetected(m, [self.path(*parts) for parts in files] + [self.path("X", "new", "p4")])
        # A folder that left the tree is no longer reported as inside it.
        os.rename(self.path("X", "M", "Y"), os.path.join(outside, "Y"))
        self.watched(m, 4)
        touch(os.path.join(outside, "Y", "away"))
        touch(self.path("marker"))
        self.assertDetected(m, [self.path("marker")])
        reported = set(m.detected())
        for p in reported:
            self.assertTrue(p.startswith(self.bpath() + b"/"), p)
            self.assertFalse(p.endswith(b"/away"), p)
        self.assertNotIn(self.bpath("T", "p1"), reported)

    def test_a_file_written_many_times_during_one_detection_is_scanned_once_more(self):
        m = self.hold()
        for _ in range(1000):
            with open(self.path("busy"), "ab") as f:
                f.write(b"x")
        touch(self.path("last"))
        # Released once the reader has read the writes: merged in the queue,
        # not still arriving while "busy" is scanned.
        self.assertTrue(m.read_up())
        self.release()
        self.assertDetected(m, [self.path("last")])
        self.assertEqual(collapse(m.detected()), [self.bpath("blocker"), self.bpath("busy"),
                                                  self.bpath("last")])
        # Once more as a rule; a reader slower than the writer (a sanitizer
        # build) still translating the writes hands the file over again at
        # each detection until it caught up: a few times, never per write.
        self.assertLessEqual(m.detected().count(self.bpath("busy")), 10)


class Backlog(MonitorTest):
    detector = DETECTOR_BIN

    def test_dropper_in_a_folder_made_behind_a_backlog_is_reported(self):
        m = self.start(ready=True)
        for i in range(2000):
            touch(self.path("f%04d" % i))
        os.mkdir(self.path("dl"))
        touch(self.path("dl", "dropper.com"), TEST_FILE)
        self.watched(m, 2)  # watched long before its turn comes
        shutil.rmtree(self.path("dl"))
        line = b"[+] Change detected in file: %s\n" % self.bpath("dl", "dropper.com")
        self.assertTrue(m.out.wait_for_line(line, timeout=240))
