"""A field that stops naming its folder: nothing is handed over under a path
the field no longer leads to; the watcher waits while the field names
nothing, watches the same folder again when it comes back (and reports what
changed meanwhile), and starts over on another folder that takes the name
(reporting every file in it)."""

import os
import shutil

from test_reader import HeldTest, touch

CHANGE = b"[+] Change detected in file: "


def gone(field):
    return b"[-] Directory no longer found, waiting for it: %s\n" % os.fsencode(field)


def back(field):
    return b"[+] Directory found again, watching it: %s\n" % os.fsencode(field)


def replaced(field):
    return b"[-] Directory replaced by another, watching the new one: %s\n" % os.fsencode(field)


class Comeback(HeldTest):
    def field_in(self, *parts):
        """A field below a folder of its own: tmp/parts..."""
        field = os.path.join(self.tmp, *parts)
        os.makedirs(field)
        return field

    def test_root_renamed_away_and_back_is_watched_again_with_what_changed_meanwhile(self):
        m = self.start(ready=True)
        touch(self.path("before"))
        self.assertDetected(m, [self.path("before")])
        away = self.root + ".away"
        os.rename(self.root, away)
        self.assertTrue(m.out.wait_for_line(gone(self.root)), m.out.snapshot())
        touch(os.path.join(away, "meanwhile"))
        os.rename(away, self.root)
        self.assertTrue(m.out.wait_for_line(back(self.root)), m.out.snapshot())
        self.assertDetected(m, [self.path("meanwhile")])
        touch(self.path("after"))
        self.assertDetected(m, [self.path("after")])
        self.assertEqual(m.quit(), 0)
        # Nothing was handed over under the path the folder had while away.
        self.assertEqual([p for p in m.detected() if b".away" in p], [])
        out = m.out.snapshot()
        self.assertLess(out.index(back(self.root)),
                        out.index(CHANGE + self.bpath("meanwhile") + b"\n"))

    def test_parent_renamed_away_and_back_while_changes_wait(self):
        field = self.field_in("parent", "root")
        self.root = field
        m = self.hold(argument=field)  # one detection held at a gate
        parent = os.path.join(self.tmp, "parent")
        touch(os.path.join(field, "queued"))
        os.rename(parent, parent + "-moved")
        touch(os.path.join(parent + "-moved", "root", "moved"))
        self.release()
        self.assertTrue(m.out.wait_for_line(gone(field)), m.out.snapshot())
        os.rename(parent + "-moved", parent)
        self.assertTrue(m.out.wait_for_line(back(field)), m.out.snapshot())
        self.assertDetected(m, [os.path.join(field, "queued"), os.path.join(field, "moved")])
        out = m.out.snapshot()
        # What was queued when the field stopped naming the folder was not
        # handed over then; the walk after its return found it.
        for name in (b"queued", b"moved"):
            line = CHANGE + os.path.join(os.fsencode(field), name) + b"\n"
            self.assertLess(out.index(back(field)), out.index(line))
        self.assertEqual([p for p in m.detected() if b"-moved" in p], [])
        self.assertEqual(m.quit(), 0)

    def test_root_replaced_by_another_folder(self):
        m = self.start(ready=True)
        new = os.path.join(self.tmp, "new")
        os.makedirs(os.path.join(new, "sub"))
        for name in ("one", os.path.join("sub", "two")):
            touch(os.path.join(new, name))
        # As an editor saves: the old folder moved aside, the new one put in
        # its place at once.
        os.rename(self.root, self.root + ".old")
        os.rename(new, self.root)
        self.assertTrue(m.out.wait_for_line(replaced(self.root)), m.out.snapshot())
        self.assertDetected(m, [self.path("one"), self.path("sub", "two")])
        touch(self.root + ".old/unwatched")
        touch(self.path("sub", "after"))
        self.assertDetected(m, [self.path("sub", "after")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual([p for p in m.detected() if b"unwatched" in p], [])

    def test_root_link_repointed_watches_the_folder_it_names_now(self):
        for name in ("one", "two"):
            os.mkdir(os.path.join(self.tmp, name))
        touch(os.path.join(self.tmp, "two", "there"))
        link = os.path.join(self.tmp, "link")
        os.symlink("one", link)
        m = self.start(link, ready=True)
        touch(os.path.join(link, "before"))
        self.assertDetected(m, [os.path.join(link, "before")])
        # As ln -sfn does it: a new link renamed over the old one.
        os.symlink("two", link + ".new")
        os.rename(link + ".new", link)
        self.assertTrue(m.out.wait_for_line(replaced(link)), m.out.snapshot())
        self.assertDetected(m, [os.path.join(link, "there")])
        touch(os.path.join(self.tmp, "one", "old"))
        touch(os.path.join(self.tmp, "two", "new"))
        self.assertDetected(m, [os.path.join(link, "new")])
        self.assertEqual(m.quit(), 0)
        self.assertNotIn(os.fsencode(os.path.join(link, "old")), m.detected())

    def test_root_that_vanishes_and_reappears_through_its_link(self):
        target = os.path.join(self.tmp, "target")
        os.mkdir(target)
        link = os.path.join(self.tmp, "link")
        os.symlink("target", link)
        m = self.start(link, ready=True)
        # Held open, the deleted folder keeps its inode: the new one is
        # another folder, whatever numbers the file system hands out.
        held = os.open(target, os.O_RDONLY)
        self.addCleanup(os.close, held)
        shutil.rmtree(target)
        self.assertTrue(m.out.wait_for_line(gone(link)), m.out.snapshot())
        os.makedirs(os.path.join(target, "deep", "er"))
        touch(os.path.join(target, "deep", "er", "file"))
        self.assertTrue(m.out.wait_for_line(replaced(link)), m.out.snapshot())
        self.assertDetected(m, [os.path.join(link, "deep", "er", "file")])
        touch(os.path.join(target, "deep", "after"))
        self.assertDetected(m, [os.path.join(link, "deep", "after")])
        self.assertEqual(m.quit(), 0)
        self.assertEqual(m.out.snapshot().count(gone(link)), 1)
