"""What a local user might do to get a file past the scanner: rename its
folder right after writing it, while detections wait or run slowly, and swap
a folder for a link during a walk. Real binary, real trees, recording
detector, both readers."""

import os
import shutil
import subprocess

from harness import MonitorTest, close_gate
from test_faults import FaultTest


def touch(path, data=b"EVIL"):
    with open(path, "wb") as f:
        f.write(data)


class RenamedAfterWrite(MonitorTest):
    def test_folder_renamed_right_after_the_write_by_an_idle_monitor(self):
        os.mkdir(self.path("inbox"))
        m = self.start(ready=True)
        for k in range(20):
            touch(self.path("inbox", "mal%d" % k))
            os.rename(self.path("inbox"), self.path("kept%d" % k))
            os.mkdir(self.path("inbox"))
        self.assertDetected(m, [self.path("kept%d" % k, "mal%d" % k) for k in range(20)])

    def test_folder_renamed_after_the_write_while_a_detection_is_held(self):
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        m = self.start(env={"RECORDER_GATE": gate}, ready=True)
        touch(self.path("blocker"))
        self.assertDetected(m, [self.path("blocker")])  # its detector waits at the gate
        os.mkdir(self.path("a"))
        touch(self.path("a", "mal"))
        os.rename(self.path("a"), self.path("b"))
        holder = os.open(gate, os.O_WRONLY)
        try:
            self.assertDetected(m, [self.path("b", "mal")])
        finally:
            close_gate(gate, holder)

    def test_storm_of_folder_renames_behind_a_slow_detector(self):
        # Each file is written, then its folder renamed twice, then once
        # more after all the others: wherever its records said it was, it
        # must be handed to detection where it stands. (More folders than
        # the fanotify reader keeps for their own walk: the tree is walked.)
        m = self.start(env={"RECORDER_DELAY_MS": "50"}, ready=True)
        for k in range(80):
            os.mkdir(self.path("f%d" % k))
            touch(self.path("f%d" % k, "mal"))
            os.rename(self.path("f%d" % k), self.path("g%d" % k))
            os.rename(self.path("g%d" % k), self.path("h%d" % k))
        for k in range(80):
            os.rename(self.path("h%d" % k), self.path("final%d" % k))
        self.assertDetected(m, [self.path("final%d" % k, "mal") for k in range(80)],
                            timeout=120)

    def moved_in_then_renamed(self, arrivals, others):
        """Folders whose files came in unchanged (times long before the
        mark) moved in and renamed while a detection is held, beside other
        folders renamed after a write: all their files are reported again
        under the new names."""
        for k in range(others):
            os.mkdir(self.path("other%d" % k))
        gate = os.path.join(self.tmp, "gate")
        os.mkfifo(gate)
        m = self.start(env={"RECORDER_GATE": gate}, ready=True)
        touch(self.path("blocker"))
        self.assertDetected(m, [self.path("blocker")])
        expected = []
        for k in range(arrivals):
            outside = os.path.join(self.tmp, "outside%d" % k)
            os.makedirs(os.path.join(outside, "inner"))
            for p in ("old", "inner/older"):
                touch(os.path.join(outside, p))
                os.utime(os.path.join(outside, p), (1e9, 1e9))
            os.rename(outside, self.path("in%d" % k))
            os.rename(self.path("in%d" % k), self.path("renamed%d" % k))
            expected += [self.path("renamed%d" % k, "old"),
                         self.path("renamed%d" % k, "inner", "older")]
        for k in range(others):
            touch(self.path("other%d" % k, "mal"))
            os.rename(self.path("other%d" % k), self.path("kept%d" % k))
            expected.append(self.path("kept%d" % k, "mal"))
        holder = os.open(gate, os.O_WRONLY)
        try:
            self.assertDetected(m, expected, timeout=120)
        finally:
            close_gate(gate, holder)

    def test_folder_moved_in_then_renamed_before_its_files_are_scanned(self):
        self.moved_in_then_renamed(1, 0)

    def test_more_renames_than_are_kept_beside_folders_moved_in(self):
        self.moved_in_then_renamed(4, 70)

    def test_more_folders_moved_in_and_renamed_than_are_kept(self):
        self.moved_in_then_renamed(70, 0)


class PlantedLink(FaultTest):
    """A folder swapped for a link to a folder only root may read, while
    the walk of the tree that held it is under way."""

    def plant(self, trigger, faults=None):
        secret = os.path.join(self.tmp, "secret")
        os.makedirs(os.path.join(secret, "inner"))
        touch(os.path.join(secret, "inner", "private_key"), b"KEY")
        os.chmod(secret, 0o700)
        outside = os.path.join(self.tmp, "outside")
        os.makedirs(os.path.join(outside, "evil", "inner"))
        for i in range(50):
            touch(os.path.join(outside, "evil", "f%02d" % i))
        touch(os.path.join(outside, "evil", "inner", "own"))
        pause = os.path.join(self.tmp, "pause")
        touch(pause)
        m = self.start(env=self.faults(FAULT_LIST_PAUSE=pause, FAULT_LIST_NAME="evil",
                                       **(faults or {})), ready=True)
        trigger(os.path.join(outside, "evil"))
        self.assertTrue(self.wait_injected(b"list paused"), self.injected())
        # The walk holds evil open, its listing not begun: evil is swapped.
        # A walk that opened inner by its full path would list the secret.
        os.rename(self.path("evil"), self.path("evil.old"))
        os.symlink(secret, self.path("evil"))
        os.unlink(pause)
        touch(self.path("sentinel"))
        self.assertDetected(m, [self.path("sentinel")])
        self.assertNoSecret(m, secret)
        return m, secret

    def assertNoSecret(self, m, secret):
        seen = b"".join(m.out.snapshot()) + b"".join(m.err.snapshot()) + b"\n".join(m.detected())
        self.assertNotIn(b"private_key", seen)
        self.assertNotIn(os.fsencode(secret), seen)

    def test_link_planted_while_a_folder_moved_in_is_walked(self):
        m, secret = self.plant(lambda evil: os.rename(evil, self.path("evil")))
        # What the walk held is walked to its end, and reported again where
        # it went: its files came in unchanged.
        self.assertDetected(m, [self.path("evil.old", "inner", "own")])
        self.assertEqual(m.quit(), 0)
        self.assertNoSecret(m, secret)

    def test_link_planted_while_the_tree_is_walked_after_a_loss(self):
        trigger = os.path.join(self.tmp, "overflow")

        def lose_the_arrival(evil):
            touch(trigger)  # from now on the kernel's events are lost
            touch(self.path("first"))
            self.assertTrue(self.wait_injected(b"read dropped"), self.injected())
            os.rename(evil, self.path("evil"))
            os.unlink(trigger)
            touch(self.path("wake"))  # its read ends the window

        m, secret = self.plant(lose_the_arrival, {"FAULT_OVERFLOW_TRIGGER": trigger})
        self.assertTrue(m.out.wait_for_line(b"[-] Changes were lost for: %s\n" % self.bpath()))
        self.assertEqual(m.quit(), 0)
        self.assertNoSecret(m, secret)
