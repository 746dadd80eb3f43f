// The fanotify reader's bounded set of ignore marks against the kernel:
// crafted handles choose each folder's set, real folders take the marks, and
// the group's own list in /proc/self/fdinfo says which marks the kernel
// holds. Skipped where fanotify is refused (it needs CAP_SYS_ADMIN).
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "fanotify_ignores.h"

namespace {

const uint64_t ALL =
    FAN_CREATE | FAN_DELETE | FAN_ONDIR | FAN_MODIFY | FAN_CLOSE_WRITE | FAN_EVENT_ON_CHILD;

struct ignore_fixture : ::testing::Test {
    int group = -1;
    std::string top;
    std::map<uint32_t, std::string> folders; // crafted handle number -> folder
    std::map<uint32_t, int> refusals;        // numbers the opener refuses, with the errno
    ignore_marks marks;
    uint32_t numbers[64] = {};

    void SetUp() override {
        group = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME, O_RDONLY);
        if (group < 0) GTEST_SKIP() << "fanotify refused: " << strerror(errno);
        char name[] = "/tmp/ignore-marks-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        top = name;
        ASSERT_TRUE(ignores_init(&marks, group, open_folder, this));
    }
    void TearDown() override {
        if (group < 0) return;
        ignores_release(&marks);
        close(group);
        for (auto &f : folders) rmdir(f.second.c_str());
        rmdir(top.c_str());
    }
    static int open_folder(void *context, const fan_handle &h, int *fd) {
        ignore_fixture *f = static_cast<ignore_fixture *>(context);
        uint32_t number;
        memcpy(&number, h.bytes, sizeof number);
        if (f->refusals.count(number)) return f->refusals[number];
        auto found = f->folders.find(number);
        if (found == f->folders.end()) return ESTALE;
        *fd = open(found->second.c_str(), O_PATH | O_CLOEXEC);
        return *fd < 0 ? errno : 0;
    }
    // A handle of a number whose folder falls in set 0.
    fan_handle handle(int i) {
        if (!numbers[i]) {
            uint32_t n = i ? numbers[i - 1] + 1 : 1;
            for (;; n++) {
                fan_handle h = {1, 1, 4, reinterpret_cast<const unsigned char *>(&n)};
                if (fan_handle_hash(h) % IGNORE_SETS == 0) break;
            }
            numbers[i] = n;
        }
        return fan_handle{1, 1, 4, reinterpret_cast<const unsigned char *>(&numbers[i])};
    }
    // Makes folder i and marks it with mask.
    ino_t place(int i, uint64_t mask) {
        fan_handle h = handle(i);
        std::string path = top + "/f" + std::to_string(i);
        mkdir(path.c_str(), 0700);
        folders[numbers[i]] = path;
        int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
        ignores_place(&marks, h, fd, mask);
        close(fd);
        struct stat st;
        stat(path.c_str(), &st);
        return st.st_ino;
    }
    // The inodes the kernel holds an ignore mark on, for this group.
    std::set<ino_t> held() {
        std::set<ino_t> out;
        FILE *f = fopen(("/proc/self/fdinfo/" + std::to_string(group)).c_str(), "r");
        char line[512];
        while (f && fgets(line, sizeof line, f)) {
            unsigned long inode, mask;
            const char *ignored = strstr(line, "ignored_mask:");
            if (sscanf(line, "fanotify ino:%lx", &inode) == 1 && ignored &&
                sscanf(ignored, "ignored_mask:%lx", &mask) == 1 && mask) {
                out.insert(static_cast<ino_t>(inode));
            }
        }
        if (f) fclose(f);
        return out;
    }
};

} // namespace

TEST_F(ignore_fixture, WantedWhenNotMarkedShortOfTheKindsNowOrDroppedByTheKernel) {
    EXPECT_EQ(ignores_wanted(&marks, handle(0), FAN_CREATE, false), ignore_mask(false));
    place(0, ignore_mask(false));
    EXPECT_FALSE(ignores_hide_writes(&marks));
    // A write, while writes are kept: nothing to do.
    EXPECT_EQ(ignores_wanted(&marks, handle(0), FAN_MODIFY, false), 0u);
    // Writes may be ignored again: the mark grows.
    EXPECT_EQ(ignores_wanted(&marks, handle(0), FAN_MODIFY, true), ALL);
    place(0, ALL);
    EXPECT_TRUE(ignores_hide_writes(&marks));
    // Events its mark ignores: queued before it, until so many say the
    // kernel dropped it.
    for (uint32_t i = 1; i < IGNORE_REPLACE_AFTER; i++) {
        ASSERT_EQ(ignores_wanted(&marks, handle(0), FAN_CREATE, true), 0u) << i;
    }
    EXPECT_EQ(ignores_wanted(&marks, handle(0), FAN_CREATE, true), ALL);
    unsigned char long_handle[HANDLE_KEY_MAX + 1] = {};
    fan_handle too_long = {1, 1, sizeof long_handle, long_handle};
    EXPECT_EQ(ignores_wanted(&marks, too_long, FAN_CREATE, true), 0u);
    EXPECT_EQ(marks.placed, 2u);
}

TEST_F(ignore_fixture, AFullSetGivesUpItsLeastRecentlyUsedFolderAndItsMark) {
    ino_t inodes[IGNORE_WAYS + 4];
    for (size_t i = 0; i < IGNORE_WAYS; i++) inodes[i] = place(static_cast<int>(i), ALL);
    EXPECT_EQ(held().size(), IGNORE_WAYS);
    ignores_wanted(&marks, handle(0), FAN_CREATE, true); // used: 1 is the oldest now
    inodes[IGNORE_WAYS] = place(IGNORE_WAYS, ALL);
    std::set<ino_t> now = held();
    EXPECT_EQ(now.count(inodes[1]), 0u);
    EXPECT_EQ(now.count(inodes[0]), 1u);
    EXPECT_EQ(now.count(inodes[IGNORE_WAYS]), 1u);
    EXPECT_EQ(marks.held, static_cast<int>(IGNORE_WAYS));
    // A folder deleted takes its mark with it; one not found for another
    // reason may leave its mark: the next flush takes it.
    rmdir(folders[numbers[2]].c_str());
    folders.erase(numbers[2]);
    inodes[IGNORE_WAYS + 1] = place(IGNORE_WAYS + 1, ALL);
    EXPECT_FALSE(marks.stray);
    refusals[numbers[3]] = EACCES;
    place(IGNORE_WAYS + 2, ALL);
    EXPECT_TRUE(marks.stray);
    EXPECT_EQ(held().count(inodes[3]), 1u);
    // Found, but its mark not removed (here: it is no folder now).
    marks.stray = false;
    std::string file = top + "/file";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    std::string was = folders[numbers[4]];
    folders[numbers[4]] = file;
    place(IGNORE_WAYS + 3, ALL);
    EXPECT_TRUE(marks.stray);
    unlink(file.c_str());
    rmdir(was.c_str());
}

TEST_F(ignore_fixture, AFlushTakesEveryMarkKnownOrNotAndOnlyARefusalOfTheKindStopsPlacing) {
    ino_t known = place(0, ALL);
    // A mark the set does not know of.
    std::string other = top + "/other";
    mkdir(other.c_str(), 0700);
    folders[~0u] = other;
    ASSERT_EQ(fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK | FAN_MARK_IGNORED_SURV_MODIFY,
                            FAN_CREATE, AT_FDCWD, other.c_str()), 0);
    EXPECT_EQ(held().size(), 2u);
    ignores_flush(&marks);
    EXPECT_EQ(held(), std::set<ino_t>{});
    EXPECT_EQ(marks.held, 0);
    EXPECT_FALSE(ignores_hide_writes(&marks));
    EXPECT_EQ(ignores_wanted(&marks, handle(0), FAN_CREATE, true), ALL); // known no more
    (void)known;
    // Not a folder: not marked, and the next one still is.
    std::string file = top + "/file";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    close(fd);
    fd = open(file.c_str(), O_PATH | O_CLOEXEC);
    ignores_place(&marks, handle(1), fd, ALL);
    close(fd);
    unlink(file.c_str());
    EXPECT_FALSE(marks.refused);
    EXPECT_EQ(marks.held, 0);
    place(2, ALL);
    EXPECT_EQ(marks.held, 1);
}
