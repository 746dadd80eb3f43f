"""Writes that make no event of their own name: a file changed only through a
shared mapping (reported when it is closed), a file changed through a hard
link whose other name is outside the tree (reported under the tree's name),
and a flood of writes that must not delay a file changed after it."""

import mmap
import os

from harness import MonitorTest
from test_reader import HeldTest, TEST_FILE, touch


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
        touch(self.path("one"))
        touch(self.path("two"))
        m = self.hold()
        for i in range(6000):
            with open(self.path("one" if i % 2 else "two"), "ab") as f:
                f.write(b"x")
        touch(self.path("after"))
        self.release()
        self.assertDetected(m, [self.path("after")])
        # Held: every write waited in the queue, each file's in one record.
        before = m.detected()[:m.detected().index(self.bpath("after"))]
        self.assertEqual(sorted(before), [self.bpath("blocker"), self.bpath("one"), self.bpath("two")])
