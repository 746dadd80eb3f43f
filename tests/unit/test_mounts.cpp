// Mounts inside a watched tree on crafted mount tables: each line's type,
// which filesystems take changes from elsewhere, which mount shows a path,
// what came, went and shows anew between two tables; and the periodic walks
// of such filesystems on a real directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mount_watch.h"
#include "mounts.h"
#include "remote_walks.h"
#include "wall_clock.h"

namespace {

typedef std::vector<std::string> lines;

struct told {
    lines changes;
};

void note(void *context, const mount_event *e) {
    const char *kind[] = {"added", "removed", "shown"};
    std::string line = std::string(kind[e->change]) + ":" + e->relative;
    if (e->type) line += ":" + std::string(e->type);
    static_cast<told *>(context)->changes.push_back(line);
}

// A table line for a mount numbered id of type at point.
std::string mount_line(int id, const char *point, const char *type, const char *device = "0:50") {
    return std::to_string(id) + " 1 " + device + " / " + point + " rw,relatime shared:1 - " + type +
           " none rw\n";
}

lines apply(mount_watch *w, std::string table) {
    told t;
    EXPECT_TRUE(mount_watch_apply(w, &table[0], note, &t));
    return t.changes;
}

} // namespace

TEST(MountTable, TheTypeFollowsTheOptionalFieldsAndTheSeparator) {
    const char *cases[][2] = {
        {"36 35 0:52 / /srv/share rw,nosuid shared:7 master:2 - fuse.sshfs u@h:/x rw", "fuse.sshfs"},
        {"36 35 0:52 / /srv rw - nfs4 h:/x rw", "nfs4"},
        {"36 35 0:52 / /srv rw - fuse.my\\040fs x rw", "fuse.my fs"},
        {"36 35 0:52 / /srv rw shared:1", nullptr}, // no separator
        {"36 35 0:52 / /srv rw -", nullptr},        // no type
    };
    for (auto &c : cases) {
        std::string line = c[0];
        mount_entry e;
        bool parsed = mount_parse_line(&line[0], &e);
        EXPECT_EQ(parsed, c[1] != nullptr) << c[0];
        if (parsed) {
            EXPECT_EQ(std::string(e.device) + " " + e.type, std::string("0:52 ") + c[1]);
        }
    }
}

TEST(MountTable, NetworkClusterAndFuseFilesystemsTakeChangesFromElsewhere) {
    for (const char *type : {"nfs", "nfs4", "cifs", "smb3", "9p", "virtiofs", "ceph", "glusterfs",
                             "lustre", "afs", "gfs2", "ocfs2", "fuse", "fuseblk", "fuse.sshfs",
                             "fuse.rclone", "vboxsf"}) {
        EXPECT_TRUE(mount_type_remote(type)) << type;
    }
    for (const char *type : {"ext4", "xfs", "btrfs", "tmpfs", "overlay", "ramfs", "fusectl", "nfsd",
                             "proc", "fusex", ""}) {
        EXPECT_FALSE(mount_type_remote(type)) << type;
    }
}

TEST(MountTable, APathIsShownByItsNumberedMountOrTheLastLongestPoint) {
    std::string table = mount_line(1, "/", "ext4") + mount_line(20, "/srv", "nfs4") +
                        mount_line(21, "/srv/sub", "tmpfs") + mount_line(22, "/srv", "cifs") +
                        mount_line(23, "/srvx", "xfs") + "garbage\n";
    auto type_of = [&](const char *path, int id) {
        std::string copy = table;
        const char *type = mount_type_of(&copy[0], path, id);
        return std::string(type ? type : "(none)");
    };
    EXPECT_EQ(type_of("/srv/a/b", 20), "nfs4");
    EXPECT_EQ(type_of("/srv/a/b", -1), "cifs"); // mounted over the first
    EXPECT_EQ(type_of("/srv/sub", -1), "tmpfs");
    EXPECT_EQ(type_of("/srvx", -1), "xfs");
    EXPECT_EQ(type_of("/home", -1), "ext4");
    EXPECT_EQ(type_of("/home", 99), "(none)");
}

TEST(MountWatch, MountsThatComeAndGoAreToldWithWhereWhatShowsChanged) {
    mount_watch w = {};
    w.root = "/w";
    w.root_length = 2;
    std::string base = mount_line(1, "/", "ext4") + mount_line(2, "/w", "ext4") +
                       mount_line(3, "/w/old", "nfs4") + mount_line(4, "/wx/a", "tmpfs") +
                       mount_line(5, "/o", "tmpfs");
    // The first table: what is there, nothing shown anew.
    EXPECT_EQ(apply(&w, base), (lines{"added:old:nfs4"}));
    EXPECT_EQ(apply(&w, base), lines{});
    // A mount with one inside it (shown as one), and one beside it whose
    // name only starts the same.
    std::string more = base + mount_line(6, "/w/a", "tmpfs") + mount_line(7, "/w/a/in", "fuse.x") +
                       mount_line(8, "/w/a-b", "tmpfs");
    EXPECT_EQ(apply(&w, more), (lines{"added:a:tmpfs", "added:a/in:fuse.x", "added:a-b:tmpfs",
                                      "shown:a", "shown:a-b"}));
    // Gone, and the number of one handed out again for another mount at
    // the same point: not the same mount.
    std::string less = base + mount_line(6, "/w/a", "tmpfs", "0:77") + mount_line(8, "/w/a-b", "tmpfs");
    EXPECT_EQ(apply(&w, less), (lines{"removed:a", "removed:a/in", "added:a:tmpfs", "shown:a"}));
    EXPECT_EQ(apply(&w, base), (lines{"removed:a-b", "removed:a", "shown:a-b", "shown:a"}));
    EXPECT_EQ(w.count, 1);
    // Moved with a folder above it: the same mount gone, then come.
    std::string moved = mount_line(1, "/", "ext4") + mount_line(3, "/w/new", "nfs4");
    EXPECT_EQ(apply(&w, moved), (lines{"removed:old", "added:new:nfs4", "shown:old", "shown:new"}));
    mount_watch_release(&w);
}

TEST(MountWatch, BelowTheSystemRootEveryMountIsInside) {
    mount_watch w = {};
    w.root = "/";
    w.root_length = 1;
    EXPECT_EQ(apply(&w, mount_line(1, "/", "ext4") + mount_line(2, "/mnt", "cifs")),
              (lines{"added:mnt:cifs"}));
    mount_watch_release(&w);
}

TEST(MountWatch, TheRootsOwnMountIsToldAtStart) {
    mount_watch w;
    told t;
    ASSERT_TRUE(mount_watch_start(&w, "/proc", note, &t));
    ASSERT_FALSE(t.changes.empty());
    EXPECT_EQ(t.changes[0], "added::proc");
    mount_watch_release(&w);
}

namespace {

struct walked {
    lines records;
    int room = 1 << 30; // records taken before the queue is full
};

bool collect(void *context, const watch_record *record) {
    walked *w = static_cast<walked *>(context);
    if (w->room-- <= 0) return false;
    w->records.push_back(std::string(record->path) + (record->detail ? std::string(" (") + record->detail + ")" : ""));
    return true;
}

struct share {
    std::string root;
    kernel_root named;
    lister_ops lister;
    remote_walks walks;
    walked out;
    share(unsigned interval) {
        char pattern[] = "/tmp/remote-walks-XXXXXX";
        root = mkdtemp(pattern);
        mkdir((root + "/nfs").c_str(), 0755);
        mkdir((root + "/nfs/fuse").c_str(), 0755);
        fclose(fopen((root + "/nfs/fuse/f").c_str(), "w"));
        fclose(fopen((root + "/nfs/g").c_str(), "w"));
        fclose(fopen((root + "/top").c_str(), "w"));
        kernel_root_init(&named, root.c_str());
        lister = kernel_lister(&named);
        remote_start(&walks, interval);
    }
    ~share() {
        remote_release(&walks);
        std::string command = "rm -rf " + root;
        EXPECT_EQ(system(command.c_str()), 0);
    }
    bool missing = false; // the last walk did not find a part
    lines walk() {
        walks.due = 0; // due now, without waiting for it
        out.records.clear();
        missing = remote_walk_due(&walks, &lister, collect, &out);
        std::sort(out.records.begin(), out.records.end());
        return out.records;
    }
};

const int64_t HOUR = 3600 * 1000000000ll;

} // namespace

TEST(RemoteWalks, EachRemoteMountIsNamedAndWalkedForWhatChangedSinceItsLastWalk) {
    share s(60);
    remote_mount_added(&s.walks, "nfs", "nfs4", 30, collect, &s.out);
    remote_mount_added(&s.walks, "nfs/fuse", "fuse.s\001x y", 31, collect, &s.out);
    remote_mount_added(&s.walks, "local", "ext4", 32, collect, &s.out);
    EXPECT_EQ(s.out.records, lines{}); // named once the reader is set up
    remote_tell(&s.walks, collect, &s.out);
    remote_tell(&s.walks, collect, &s.out);
    EXPECT_EQ(s.out.records, (lines{"nfs (nfs4: changes made elsewhere are found by a walk every 60 s)",
                                    "nfs/fuse (fuse.s?x?y: changes made elsewhere are found by a walk every 60 s)"}));
    int wait = remote_wait_ms(&s.walks);
    EXPECT_GT(wait, 59000);
    EXPECT_LE(wait, 60000);
    // Files changed since the mount was found, each once: the mount inside
    // the other is covered by its walk.
    s.walks.items[0].since = now_ns() - HOUR;
    int64_t before = now_ns();
    EXPECT_EQ(s.walk(), (lines{"nfs/fuse/f", "nfs/g"}));
    EXPECT_GE(s.walks.items[0].since, before);
    EXPECT_GT(remote_wait_ms(&s.walks), 59000);
    // Beyond the margin after every change: nothing.
    s.walks.items[0].since = now_ns() + HOUR;
    EXPECT_EQ(s.walk(), lines{});
    // Records the queue could not take: the window is walked again.
    int64_t mark = now_ns() - HOUR;
    s.walks.items[0].since = mark;
    s.out.room = 0;
    s.walk();
    EXPECT_EQ(s.walks.items[0].since, mark);
    s.out.room = 1 << 30;
    // Unmounted, each mount on its own: the one at the same place mounted
    // over it was another, and the root's own is never told as gone.
    remote_mount_added(&s.walks, "", "cifs", -1, collect, &s.out);
    remote_mount_added(&s.walks, "nfs", "tmpfs", 33, collect, &s.out);
    remote_mount_removed(&s.walks, 33);
    EXPECT_EQ(s.walks.count, 3);
    remote_mount_removed(&s.walks, 30);
    remote_mount_removed(&s.walks, 31);
    ASSERT_EQ(s.walks.count, 1);
    s.walks.items[0].since = now_ns() - HOUR;
    EXPECT_EQ(s.walk(), (lines{"nfs/fuse/f", "nfs/g", "top"}));
}

TEST(RemoteWalks, AFolderNotFoundHasTheTableReadAgainAndOneThatCannotBeOpenedIsNamed) {
    share s(60);
    std::string long_name(300, 'n');
    remote_mount_added(&s.walks, long_name.c_str(), "nfs", 40, collect, &s.out);
    EXPECT_EQ(s.walk(), (lines{long_name + " (File name too long)"}));
    EXPECT_FALSE(s.missing);
    remote_mount_added(&s.walks, "gone", "nfs", 41, collect, &s.out);
    remote_mount_added(&s.walks, "top", "nfs", 42, collect, &s.out); // a file now
    s.walk();
    EXPECT_TRUE(s.missing);
}

TEST(RemoteWalks, WithoutAnIntervalTheLineSaysSoAndNothingIsWalked) {
    share s(0);
    remote_mount_added(&s.walks, "nfs", "9p", 40, collect, &s.out);
    remote_tell(&s.walks, collect, &s.out);
    EXPECT_EQ(s.out.records, (lines{"nfs (9p: changes made elsewhere are not found, MONITOR_RESCAN_SECONDS is 0)"}));
    EXPECT_EQ(remote_wait_ms(&s.walks), -1);
    EXPECT_EQ(s.walk(), lines{});
}
