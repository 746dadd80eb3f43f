// The table of own detectors with real processes: a change is a detector's
// own only when the kernel's descriptor of its maker names an entered
// detector; a number alone, a full table or, told by number, a reaped
// detector never make it so; a start not entered yet is waited for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/fanotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "own_detectors.h"

namespace {

// A child that waits until it is killed, standing for a detector.
struct child {
    pid_t pid = -1;

    void start() {
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) pause();
        }
    }
    void end_and_reap() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~child() { end_and_reap(); }
};

int pidfd_of(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int entered(pid_t pid) {
    own_detector_starting();
    return own_detector_started(pid);
}

// Whether thread's state is sleeping (blocked), as /proc shows it.
bool sleeping(pid_t thread) {
    char name[64];
    snprintf(name, sizeof name, "/proc/self/task/%d/stat", thread);
    FILE *f = fopen(name, "r");
    if (!f) return false;
    char text[512] = {};
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    const char *end = n ? strrchr(text, ')') : nullptr;
    return end && end[1] == ' ' && end[2] == 'S';
}

struct lookup {
    pid_t pid;
    int pidfd;
    pid_t thread;
    bool own;
};

void *look_up(void *context) {
    lookup *l = static_cast<lookup *>(context);
    __atomic_store_n(&l->thread, static_cast<pid_t>(syscall(SYS_gettid)), __ATOMIC_RELEASE);
    l->own = own_detector_made(l->pid, l->pidfd);
    return nullptr;
}

} // namespace

// Processes told apart by their descriptors' inodes (Linux 6.9), and by
// the numbers /proc shows, as on older kernels.
struct own_detectors : ::testing::TestWithParam<bool> {
    bool by_number() const { return GetParam(); }
    void SetUp() override { own_detectors_by_number(by_number()); }
    void TearDown() override { own_detectors_by_number(false); }
};

INSTANTIATE_TEST_SUITE_P(ByInodeAndByNumber, own_detectors, ::testing::Values(false, true));

TEST_P(own_detectors, OnlyTheKernelsDescriptorOfAnEnteredDetectorMakesAChangeItsOwn) {
    child detector, other;
    detector.start();
    other.start();
    int slot = entered(detector.pid);
    ASSERT_GE(slot, 0);
    int detector_fd = pidfd_of(detector.pid);
    int other_fd = pidfd_of(other.pid);
    EXPECT_TRUE(own_detector_made(detector.pid, detector_fd));
    EXPECT_EQ(own_detector_judge(detector.pid, detector_fd), OWN_DETECTOR);
    // The detector's number with another process's descriptor: the maker
    // took the number of a detector, or the kernel says so of another.
    EXPECT_FALSE(own_detector_made(detector.pid, other_fd));
    EXPECT_EQ(own_detector_judge(detector.pid, other_fd), OWN_NOT);
    EXPECT_FALSE(own_detector_made(other.pid, other_fd));
    EXPECT_EQ(own_detector_judge(other.pid, other_fd), OWN_NOT);
    EXPECT_EQ(own_detector_judge(detector.pid, FAN_NOPIDFD), OWN_NOT);
    EXPECT_FALSE(own_detector_made(detector.pid, FAN_NOPIDFD));
    EXPECT_FALSE(own_detector_made(detector.pid, FAN_EPIDFD));
    // Reaped, a change whose descriptor the kernel handed over before: by
    // inode still the detector's; by number no longer, as the number may
    // be anyone's by now.
    pid_t number = detector.pid;
    detector.end_and_reap();
    EXPECT_EQ(own_detector_made(number, detector_fd), !by_number());
    own_detector_reaped(slot);
    EXPECT_EQ(own_detector_made(number, detector_fd), !by_number());
    EXPECT_FALSE(own_detector_made(number, other_fd));
    close(detector_fd);
    close(other_fd);
}

TEST_P(own_detectors, ADetectorWithoutADescriptorAFailedStartAndAFullTableAreNotEntered) {
    child ended;
    ended.start();
    pid_t number = ended.pid;
    int ended_fd = pidfd_of(number);
    ended.end_and_reap();
    // Its descriptor could not be had: entered, but nothing is its own.
    int slot = entered(number);
    ASSERT_GE(slot, 0);
    EXPECT_FALSE(own_detector_made(number, ended_fd));
    own_detector_reaped(slot);
    close(ended_fd);
    EXPECT_EQ(entered(0), -1);
    // Full of running detectors: one more is not entered, so its changes
    // are reported; reaped ones make room.
    child detector;
    detector.start();
    int slots[256];
    int count = 0;
    while (count < 256 && (slots[count] = entered(detector.pid)) >= 0) count++;
    EXPECT_LT(count, 256);
    int fd = pidfd_of(detector.pid);
    EXPECT_TRUE(own_detector_made(detector.pid, fd));
    for (int i = 0; i < count; i++) own_detector_reaped(slots[i]);
    EXPECT_EQ(own_detector_made(detector.pid, fd), !by_number());
    int again = entered(detector.pid);
    EXPECT_GE(again, 0);
    own_detector_reaped(again);
    close(fd);
}

TEST(OwnDetectors, AChangeReadWhileADetectorIsStartingWaitsForItsEntry) {
    child detector;
    detector.start();
    int fd = pidfd_of(detector.pid);
    own_detector_starting();
    // Not known without waiting: the detector being started may be its maker.
    EXPECT_EQ(own_detector_judge(detector.pid, fd), OWN_PENDING);
    // A process that is no child of the monitor is never a detector: judged
    // at once, whatever starts are pending.
    int other = pidfd_of(getppid());
    ASSERT_GE(other, 0);
    EXPECT_EQ(own_detector_judge(getppid(), other), OWN_NOT);
    close(other);
    lookup l = {detector.pid, fd, 0, false};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, look_up, &l), 0);
    // Entered only once the look-up waits (bounded: it may not wait at all,
    // and then fails the test below).
    for (int i = 0; i < 20000; i++) {
        pid_t tid = __atomic_load_n(&l.thread, __ATOMIC_ACQUIRE);
        if (tid && sleeping(tid)) break;
        usleep(100); // polls the thread's state; the count bounds it
    }
    int slot = own_detector_started(detector.pid);
    pthread_join(thread, nullptr);
    EXPECT_TRUE(l.own);
    own_detector_reaped(slot);
    close(fd);
}
