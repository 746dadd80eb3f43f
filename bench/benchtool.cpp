// Measuring tool of the benchmark: generates trees, starts a watcher (the
// monitor or a peer), drives changes at it and times its output lines. Every
// result is printed as one JSON object on standard output.
//
//   benchtool gen ROOT DIRS FILES
//   benchtool lastdir ROOT
//   benchtool setup PROBE READY STOP TIMEOUT_S -- CMD...
//   benchtool walk -- CMD...
//   benchtool latency SAMPLES OUT -- DIR STAMP CMD... [--- DIR STAMP CMD...]...
//   benchtool spawnloop DETECTOR COUNT ROUNDS STAMPFILE
//   benchtool systemloop DETECTOR COUNT
//   benchtool launchrate DIR FILES OUTFILE STAMPFILE -- CMD...
//   benchtool linerate DIR FILES TIMEOUT_S -- CMD...
//   benchtool burst DIR FILES MODE TIMEOUT_S -- CMD...
//   benchtool backlog DIR QUEUED FOLDERS FILES REMOVE_MS TIMEOUT_S -- CMD...
//   benchtool storm DIR COUNT MODE TIMEOUT_S -- CMD...
//
// BENCH_DUMP=FILE makes backlog write every line it read to FILE.
//
// STOP is "q" (write q to standard input) or "term" (SIGTERM). READY is a
// text that ends set-up when any output line holds it, or "-" for the probe.
// STAMP is 1 when the command's detector appends "<monotonic ns> <pid> <path>\n"
// to the file or FIFO named by BENCH_STAMPS, which the command's environment
// holds and its detectors inherit.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

// The environment with BENCH_STAMPS=path added, in storage of its own.
static std::vector<char *> with_stamps(const char *path) {
    static std::string entry;
    entry = std::string("BENCH_STAMPS=") + path;
    std::vector<char *> env;
    for (char **e = environ; *e; e++) {
        if (strncmp(*e, "BENCH_STAMPS=", 13) != 0) env.push_back(*e);
    }
    env.push_back(&entry[0]);
    env.push_back(nullptr);
    return env;
}

static long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

static void sleep_us(long us) {
    timespec t = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

static void die(const char *what) {
    fprintf(stderr, "benchtool: %s: %s\n", what, strerror(errno));
    exit(3);
}

// ---- a started watcher and the lines it printed ----

enum { FROM_OUT = 1, FROM_ERR = 2, FROM_STAMP = 4 };

struct line {
    int source;
    long long at_ns; // when the read that completed it returned
    std::string text;
};

struct child {
    pid_t pid = -1;
    int in_fd = -1;
    int fds[3] = {-1, -1, -1}; // stdout, stderr, stamp (read ends)
    // The stamp FIFO, and a write end held until the watcher ends, so its
    // reader sees the end only then, as with a pipe.
    std::string stamp_fifo;
    int stamp_writer = -1;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<line> lines;
    bool closed = false;
    std::thread reader;
    rusage usage{};
    int status = 0;
    std::atomic<long long> give_up_ns{0};
};

// The measuring threads run real-time when asked, so their clocks are read
// when things happen rather than when a busy processor gets round to them;
// what they start runs as usual (reset on fork, threads included, so each
// thread asks for itself).
static bool g_real_time = false;

static bool measure_in_real_time() {
    sched_param param{};
    param.sched_priority = 10;
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

static void read_lines(child *c) {
    if (g_real_time) measure_in_real_time();
    std::string partial[3];
    for (;;) {
        pollfd p[3];
        int n = 0;
        int which[3];
        for (int i = 0; i < 3; i++) {
            if (c->fds[i] < 0) continue;
            p[n].fd = c->fds[i];
            p[n].events = POLLIN;
            p[n].revents = 0;
            which[n++] = i;
        }
        if (n == 0) break;
        // Once the watcher has ended, processes it left behind (a Wine server,
        // say) may hold the pipes open: stop reading a little later anyway.
        long long give_up = c->give_up_ns.load();
        if (give_up && now_ns() > give_up) break;
        int ready = poll(p, static_cast<nfds_t>(n), 100);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int k = 0; k < n; k++) {
            if (!p[k].revents) continue;
            int i = which[k];
            char buffer[65536];
            ssize_t got = read(c->fds[i], buffer, sizeof buffer);
            long long at = now_ns();
            if (got <= 0) {
                close(c->fds[i]);
                c->fds[i] = -1;
                continue;
            }
            partial[i].append(buffer, static_cast<size_t>(got));
            size_t start = 0;
            std::vector<line> complete;
            for (size_t nl; (nl = partial[i].find('\n', start)) != std::string::npos; start = nl + 1) {
                complete.push_back(line{1 << i, at, partial[i].substr(start, nl - start)});
            }
            partial[i].erase(0, start);
            if (!complete.empty()) {
                std::lock_guard<std::mutex> hold(c->lock);
                for (auto &l : complete) c->lines.push_back(std::move(l));
                c->changed.notify_all();
            }
        }
    }
    std::lock_guard<std::mutex> hold(c->lock);
    c->closed = true;
    c->changed.notify_all();
}

static void pipe_or_die(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) die("pipe");
}

// Starts argv with its standard input and error on pipes. Its standard
// output goes to out_file when given, else to a pipe; with stamp, its
// detectors stamp stamp_file when given, else a FIFO read here.
static void start_child(child *c, char **argv, bool stamp, const char *out_file = nullptr,
                        const char *stamp_file = nullptr) {
    int in[2], out[2] = {-1, -1}, err[2], st[2] = {-1, -1};
    pipe_or_die(in);
    if (!out_file) pipe_or_die(out);
    pipe_or_die(err);
    char fifo[] = "/tmp/benchtool-stamps-XXXXXX";
    if (stamp && !stamp_file) {
        // A reader and a writer held here: a detector's open never waits,
        // and the reader sees no end between detectors.
        if (!mkdtemp(fifo)) die("mkdtemp");
        c->stamp_fifo = std::string(fifo) + "/stamps";
        if (mkfifo(c->stamp_fifo.c_str(), 0600) != 0) die("mkfifo");
        st[0] = open(c->stamp_fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        c->stamp_writer = open(c->stamp_fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (st[0] < 0 || c->stamp_writer < 0 || fcntl(st[0], F_SETFL, 0) != 0) die("stamps");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (out_file) {
        posix_spawn_file_actions_addopen(&actions, 1, out_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (stamp && stamp_file) close(open(stamp_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    std::vector<char *> env = with_stamps(stamp_file ? stamp_file : c->stamp_fifo.c_str());
    int error = posix_spawnp(&c->pid, argv[0], &actions, nullptr, argv, stamp ? env.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        die(argv[0]);
    }
    close(in[0]);
    if (out[1] >= 0) close(out[1]);
    close(err[1]);
    c->in_fd = in[1];
    c->fds[0] = out[0];
    c->fds[1] = err[0];
    c->fds[2] = st[0];
    c->reader = std::thread(read_lines, c);
}

// Index of the first line at or after from, from one of sources, holding
// needle; -1 when none came within timeout_ms.
static long find_line(child *c, size_t from, int sources, const std::string &needle,
                      long timeout_ms) {
    std::unique_lock<std::mutex> hold(c->lock);
    long long deadline = now_ns() + timeout_ms * 1000000LL;
    size_t i = from;
    for (;;) {
        for (; i < c->lines.size(); i++) {
            if ((c->lines[i].source & sources) && c->lines[i].text.find(needle) != std::string::npos) {
                return static_cast<long>(i);
            }
        }
        if (c->closed) return -1;
        long long left = deadline - now_ns();
        if (left <= 0) return -1;
        c->changed.wait_for(hold, std::chrono::nanoseconds(left));
    }
}

static size_t line_count(child *c) {
    std::lock_guard<std::mutex> hold(c->lock);
    return c->lines.size();
}

static line line_at(child *c, size_t i) {
    std::lock_guard<std::mutex> hold(c->lock);
    return c->lines[i];
}

// Waits until no line came for quiet_ms.
static void settle(child *c, long quiet_ms, long limit_ms) {
    long long end = now_ns() + limit_ms * 1000000LL;
    size_t seen = line_count(c);
    while (now_ns() < end) {
        sleep_us(quiet_ms * 1000);
        size_t count = line_count(c);
        if (count == seen) return;
        seen = count;
    }
}

static long status_kb(pid_t pid, const char *field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char text[256];
    long value = -1;
    size_t length = strlen(field);
    while (fgets(text, sizeof text, f)) {
        if (strncmp(text, field, length) == 0 && text[length] == ':') {
            value = atol(text + length + 1);
            break;
        }
    }
    fclose(f);
    return value;
}

static void stop_child(child *c, bool by_q) {
    if (by_q) {
        if (write(c->in_fd, "q\n", 2) != 2) kill(c->pid, SIGTERM);
    } else {
        kill(c->pid, SIGTERM);
    }
    // A watcher stuck in a detection does not read "q"; do not wait for ever.
    long long deadline = now_ns() + 5000000000LL;
    for (;;) {
        pid_t got = wait4(c->pid, &c->status, WNOHANG, &c->usage);
        if (got == c->pid) break;
        if (now_ns() > deadline) {
            kill(c->pid, SIGKILL);
            wait4(c->pid, &c->status, 0, &c->usage);
            break;
        }
        sleep_us(2000);
    }
    close(c->in_fd);
    if (c->stamp_writer >= 0) close(c->stamp_writer);
    // Detectors still running hold the pipes open; they end on their own.
    c->give_up_ns = now_ns() + 3000000000LL;
    c->reader.join();
    for (int &fd : c->fds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (!c->stamp_fifo.empty()) {
        unlink(c->stamp_fifo.c_str());
        rmdir(c->stamp_fifo.substr(0, c->stamp_fifo.rfind('/')).c_str());
    }
}

// Waits until process pid has ended and was reaped by its parent.
static void wait_gone(pid_t pid, long timeout_ms) {
    long long deadline = now_ns() + timeout_ms * 1000000LL;
    while (kill(pid, 0) == 0 && now_ns() < deadline) sleep_us(100);
}

static void touch_probe(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, "x", 1) < 0) {
    }
    close(fd);
}

static void create_file(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) die(path);
    close(fd);
}

// Makes dir/launch000000 onwards, one change each, as fast as it can; the
// time the last one was made.
static long long create_launch_files(const char *dir, long files) {
    for (long i = 0; i < files; i++) {
        char path[4096];
        snprintf(path, sizeof path, "%s/launch%06ld", dir, i);
        create_file(path);
    }
    return now_ns();
}

// Writes the probe until the watcher reports it (a line holding ready, or
// else the probe's path); the time it took, or -1.
static long long wait_ready(child *c, const char *probe, const char *ready, long timeout_ms,
                            long long since, bool keep_writing = false) {
    long long deadline = since + timeout_ms * 1000000LL;
    std::string needle = ready ? std::string(ready) : std::string(probe);
    if (keep_writing) ready = nullptr;
    int sources = FROM_OUT | FROM_ERR;
    while (now_ns() < deadline) {
        if (!ready) touch_probe(probe);
        long i = find_line(c, 0, sources, needle, 1);
        if (i >= 0) return line_at(c, static_cast<size_t>(i)).at_ns - since;
        if (c->closed) return -1;
    }
    return -1;
}

static long count_lines(child *c, const char *needle) {
    std::lock_guard<std::mutex> hold(c->lock);
    long n = 0;
    for (auto &l : c->lines) {
        if (l.text.find(needle) != std::string::npos) n++;
    }
    return n;
}

static std::string first_line(child *c, const char *needle) {
    std::lock_guard<std::mutex> hold(c->lock);
    for (auto &l : c->lines) {
        if (l.text.find(needle) != std::string::npos) return l.text;
    }
    return "";
}

static std::string json_text(const std::string &s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// ---- gen, lastdir ----

// DIRS directories below ROOT, ten children each, breadth first, and FILES
// small files in every directory.
static int cmd_gen(const char *root, long dirs, long files) {
    if (mkdir(root, 0755) != 0 && errno != EEXIST) die(root);
    std::vector<std::string> paths;
    paths.reserve(static_cast<size_t>(dirs) + 1);
    paths.push_back(root);
    for (long i = 1; i <= dirs; i++) {
        char name[32];
        snprintf(name, sizeof name, "/d%ld", i);
        paths.push_back(paths[static_cast<size_t>((i - 1) / 10)] + name);
        if (mkdir(paths.back().c_str(), 0755) != 0) die(paths.back().c_str());
    }
    for (size_t i = 1; i < paths.size(); i++) {
        for (long f = 0; f < files; f++) {
            char name[32];
            snprintf(name, sizeof name, "/f%ld.txt", f);
            std::string p = paths[i] + name;
            int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) die(p.c_str());
            if (write(fd, "some content\n", 13) != 13) die(p.c_str());
            close(fd);
        }
    }
    printf("{\"dirs\": %ld, \"files\": %ld}\n", dirs, dirs * files);
    return 0;
}

// The directory that the monitor's set-up lists last: it keeps a stack of
// directories to list and pushes subdirectories in readdir order.
static int cmd_lastdir(const char *root) {
    std::vector<std::string> stack{root};
    std::string last = root;
    while (!stack.empty()) {
        std::string dir = stack.back();
        stack.pop_back();
        last = dir;
        DIR *d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent *e = readdir(d)) {
            if (e->d_type != DT_DIR || !strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            stack.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    printf("%s\n", last.c_str());
    return 0;
}

// ---- setup ----

static double cpu_seconds(pid_t pid); // storm's, below

static int cmd_setup(const char *probe, const char *ready, const char *stop, double timeout_s,
                     char **argv) {
    child c;
    if (strcmp(ready, "-") == 0) ready = nullptr;
    long long t0 = now_ns();
    start_child(&c, argv, false);
    long long took = wait_ready(&c, probe, ready, static_cast<long>(timeout_s * 1000), t0);
    long hwm = status_kb(c.pid, "VmHWM");
    long rss = status_kb(c.pid, "VmRSS");
    double cpu = cpu_seconds(c.pid);
    stop_child(&c, strcmp(stop, "q") == 0);
    long unwatched = count_lines(&c, "Failed to watch") + count_lines(&c, "upper limit") +
                     count_lines(&c, "No space left");
    std::string failure = first_line(&c, "Failed to watch");
    if (failure.empty()) failure = first_line(&c, "upper limit");
    if (failure.empty()) failure = first_line(&c, "No space left");
    printf("{\"seconds\": %.6f, \"hwm_kb\": %ld, \"rss_kb\": %ld, \"maxrss_kb\": %ld, "
           "\"cpu_seconds\": %.3f, \"unwatched\": %ld, \"failure\": %s, \"timed_out\": %s}\n",
           took < 0 ? -1.0 : static_cast<double>(took) / 1e9, hwm, rss, c.usage.ru_maxrss, cpu,
           unwatched, json_text(failure).c_str(), took < 0 ? "true" : "false");
    return 0;
}

// ---- walk: a command run to its end, output discarded ----

// Its peak RSS is read from /proc when it stops on its way out (traced for
// that stop alone): the rusage of a child started by vfork or fork also
// counts the memory of the process it was started from.
static int cmd_walk(char **argv) {
    long long t0 = now_ns();
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(argv[0], argv);
        _exit(127);
    }
    long hwm = -1;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) < 0) die("waitpid");
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        int sig = WSTOPSIG(status);
        if (sig == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            hwm = status_kb(pid, "VmHWM");
            sig = 0;
        } else if (sig == SIGTRAP) {
            // Stopped at exec: ask to stop again at exit.
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT));
            sig = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
    }
    long long t1 = now_ns();
    printf("{\"seconds\": %.6f, \"hwm_kb\": %ld, \"status\": %d}\n",
           static_cast<double>(t1 - t0) / 1e9, hwm, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

// ---- latency ----

struct latency_watcher {
    const char *dir;
    bool stamp;
    char **argv; // null-terminated in place of its "---"
    child c;
};

// Every watcher runs at once on a directory of its own; samples go to them
// in turn, so load from elsewhere falls on all of them alike.
static int cmd_latency(long samples, const char *out_path, int argc, char **argv) {
    std::vector<std::unique_ptr<latency_watcher>> watchers;
    for (int i = 0; i < argc;) {
        if (argc - i < 3) {
            fprintf(stderr, "benchtool: latency wants DIR STAMP CMD... per watcher\n");
            return 2;
        }
        auto w = std::make_unique<latency_watcher>();
        w->dir = argv[i];
        w->stamp = atoi(argv[i + 1]) != 0;
        w->argv = argv + i + 2;
        int end = i + 2;
        while (end < argc && strcmp(argv[end], "---") != 0) end++;
        if (end < argc) argv[end] = nullptr;
        i = end + 1;
        watchers.push_back(std::move(w));
    }
    bool real_time = !getenv("BENCH_NO_REAL_TIME") && measure_in_real_time();
    g_real_time = real_time;
    for (size_t k = 0; k < watchers.size(); k++) {
        latency_watcher *w = watchers[k].get();
        start_child(&w->c, w->argv, w->stamp);
        std::string probe = std::string(w->dir) + "/probe";
        if (wait_ready(&w->c, probe.c_str(), nullptr, 20000, now_ns()) < 0) {
            fprintf(stderr, "benchtool: %s never reported the probe\n", w->argv[0]);
            for (size_t j = 0; j <= k; j++) stop_child(&watchers[j]->c, true);
            return 3;
        }
    }
    for (auto &w : watchers) settle(&w->c, 200, 5000);
    FILE *out = fopen(out_path, "w");
    if (!out) die(out_path);
    long missing = 0;
    for (long i = 0; i < samples; i++) {
        for (size_t k = 0; k < watchers.size(); k++) {
            latency_watcher *w = watchers[k].get();
            char name[64];
            snprintf(name, sizeof name, "sample%05ld", i);
            std::string path = std::string(w->dir) + "/" + name;
            size_t from = line_count(&w->c);
            long long t0 = now_ns();
            create_file(path.c_str());
            long seen = find_line(&w->c, from, FROM_OUT | FROM_ERR, name, 5000);
            double line_us = -1, run_us = -1;
            pid_t detector = 0;
            if (seen >= 0) {
                line_us = static_cast<double>(line_at(&w->c, static_cast<size_t>(seen)).at_ns - t0) / 1e3;
            }
            if (w->stamp) {
                long ran = find_line(&w->c, from, FROM_STAMP, name, 5000);
                if (ran >= 0) {
                    std::string text = line_at(&w->c, static_cast<size_t>(ran)).text;
                    run_us = static_cast<double>(atoll(text.c_str()) - t0) / 1e3;
                    size_t space = text.find(' ');
                    if (space != std::string::npos) {
                        detector = static_cast<pid_t>(atol(text.c_str() + space + 1));
                    }
                }
            }
            if (seen < 0 || (w->stamp && run_us < 0)) missing++;
            fprintf(out, "%zu %.3f %.3f\n", k, line_us, run_us);
            // Each sample starts idle: the previous detection has ended.
            if (detector > 0) wait_gone(detector, 2000);
            sleep_us(2000);
        }
    }
    fclose(out);
    for (auto &w : watchers) stop_child(&w->c, true);
    printf("{\"samples\": %ld, \"watchers\": %zu, \"missing\": %ld, \"real_time\": %s}\n", samples,
           watchers.size(), missing, real_time ? "true" : "false");
    return 0;
}

// ---- launch loops ----

// Stamps "<ns> <pid> <path>" of a stamp file.
struct stamp {
    long long at_ns;
    std::string path;
};

static std::string read_from(const char *file, off_t offset) {
    std::string text;
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[65536];
    ssize_t got;
    while ((got = pread(fd, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
    close(fd);
    return text;
}

static std::vector<stamp> read_stamps(const char *file) {
    std::vector<stamp> stamps;
    std::string text = read_from(file, 0);
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string l = text.substr(start, nl - start);
        size_t space = l.find(' ');
        if (space != std::string::npos) space = l.find(' ', space + 1);
        if (space == std::string::npos) continue;
        stamps.push_back(stamp{atoll(l.c_str()), l.substr(space + 1)});
    }
    return stamps;
}

static off_t file_size(const char *file) {
    struct stat st;
    return stat(file, &st) == 0 ? st.st_size : 0;
}

// Waits until the stamp file holds needle past offset; polled, since a
// wake-up per launch would compete with the launches being timed.
static bool wait_stamp(const char *file, off_t offset, const char *needle, long timeout_ms,
                       const char *probe) {
    long long deadline = now_ns() + timeout_ms * 1000000LL;
    while (now_ns() < deadline) {
        if (probe) touch_probe(probe);
        if (read_from(file, offset).find(needle) != std::string::npos) return true;
        sleep_us(probe ? 2000 : 10000);
    }
    return false;
}

// The bare ceiling: start the detector and wait for it, COUNT times a
// round, each round timed on its own.
static int cmd_spawnloop(const char *detector, long count, long rounds, const char *stamp_file) {
    // The bare start: the detector, one path argument, SIGPIPE back to
    // default, the environment passed on. The monitor's process group,
    // descriptors closed and timed wait are left out: the ratio shows their
    // cost.
    int fd = open(stamp_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) die(stamp_file);
    close(fd);
    setenv("BENCH_STAMPS", stamp_file, 1);
    char argument[] = "/tmp/benchmark/some/changed/file.txt";
    char *argv[] = {const_cast<char *>(detector), argument, nullptr};
    std::vector<double> per_launch;
    for (long r = -1; r < rounds; r++) {
        long n = r < 0 ? count / 10 : count; // round -1 warms up
        long long t0 = now_ns();
        for (long i = 0; i < n; i++) {
            posix_spawnattr_t attributes;
            posix_spawnattr_init(&attributes);
            sigset_t defaults;
            sigemptyset(&defaults);
            sigaddset(&defaults, SIGPIPE);
            posix_spawnattr_setsigdefault(&attributes, &defaults);
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
            pid_t pid;
            int error = posix_spawn(&pid, detector, nullptr, &attributes, argv, environ);
            posix_spawnattr_destroy(&attributes);
            if (error) {
                errno = error;
                die(detector);
            }
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        long long t1 = now_ns();
        if (r >= 0) per_launch.push_back(static_cast<double>(t1 - t0) / 1e3 / static_cast<double>(n));
    }
    printf("{\"rounds_us\": [");
    for (size_t i = 0; i < per_launch.size(); i++) printf("%s%.2f", i ? ", " : "", per_launch[i]);
    printf("]}\n");
    return 0;
}

// The same text through the shell, as system() runs it.
static int cmd_systemloop(const char *detector, long count) {
    char command[4096];
    snprintf(command, sizeof command, "\"%s\" \"%s\"", detector, "/tmp/benchmark/some/changed/file.txt");
    long failed = 0;
    long long t0 = now_ns();
    for (long i = 0; i < count; i++) {
        if (system(command) != 0) failed++;
    }
    long long t1 = now_ns();
    printf("{\"us\": %.2f, \"failed\": %ld}\n", static_cast<double>(t1 - t0) / 1e3 / static_cast<double>(count),
           failed);
    return 0;
}

// ---- launch rate of a watcher ----

// The watcher's output goes to a file (or, with OUTFILE "-", to a pipe this
// tool reads as it comes) and its detector stamps a file, so nothing else
// wakes up per launch. The rate counts
// launches that started after the last file was made.
static int cmd_launchrate(const char *dir, long files, const char *out_file, const char *stamp_file,
                          char **argv) {
    std::string probe = std::string(dir) + "/probe";
    child c;
    if (strcmp(out_file, "-") == 0) out_file = nullptr; // a pipe, read as it comes
    start_child(&c, argv, true, out_file, stamp_file);
    if (!wait_stamp(stamp_file, 0, "/probe", 20000, probe.c_str())) {
        fprintf(stderr, "benchtool: watcher never reported the probe\n");
        stop_child(&c, true);
        return 3;
    }
    for (off_t seen = -1; seen != file_size(stamp_file);) {
        seen = file_size(stamp_file);
        sleep_us(200000);
    }
    off_t from = file_size(stamp_file);
    long long t0 = now_ns();
    long long created = create_launch_files(dir, files);
    char last[32];
    snprintf(last, sizeof last, "launch%06ld\n", files - 1);
    bool complete = wait_stamp(stamp_file, from, last, 120000, nullptr);
    stop_child(&c, true);
    long counted = 0;
    long long first_at = 0, last_at = 0;
    for (const stamp &s : read_stamps(stamp_file)) {
        if (s.at_ns < created || s.path.find("/launch") == std::string::npos) continue;
        if (!first_at) first_at = s.at_ns;
        last_at = s.at_ns;
        counted++;
    }
    // n stamps span n - 1 launch intervals.
    double seconds = static_cast<double>(last_at - first_at) / 1e9;
    double intervals = static_cast<double>(counted - 1);
    printf("{\"files\": %ld, \"launches_timed\": %ld, \"create_seconds\": %.3f, \"seconds\": %.6f, "
           "\"per_second\": %.1f, \"us_per_launch\": %.2f, \"complete\": %s}\n",
           files, counted, static_cast<double>(created - t0) / 1e9, seconds,
           counted > 1 && seconds > 0 ? intervals / seconds : 0.0,
           counted > 1 ? seconds * 1e6 / intervals : 0.0, complete ? "true" : "false");
    return 0;
}

// ---- launch rate seen in output lines ----

// For a watcher whose detector cannot stamp (a Windows program under Wine):
// each change line is printed before its detection and after the previous
// one ended, so the spacing of the lines after the last file was made is the
// time per launch. A change made after the last one marks its end.
static int cmd_linerate(const char *dir, long files, double timeout_s, char **argv) {
    std::string probe = std::string(dir) + "/probe";
    child c;
    start_child(&c, argv, false);
    long timeout_ms = static_cast<long>(timeout_s * 1000);
    // Its lines may spell the path its own way (Z:\tmp\...): look for the name.
    if (wait_ready(&c, probe.c_str(), "probe", timeout_ms, now_ns(), true) < 0) {
        fprintf(stderr, "benchtool: watcher never reported the probe\n");
        stop_child(&c, true);
        return 3;
    }
    settle(&c, 500, 10000);
    size_t from = line_count(&c);
    long long created = create_launch_files(dir, files);
    char last[32];
    snprintf(last, sizeof last, "launch%06ld", files - 1);
    long done = find_line(&c, from, FROM_OUT, last, timeout_ms);
    std::string end_path = std::string(dir) + "/zz_end";
    create_file(end_path.c_str());
    long end = done < 0 ? -1 : find_line(&c, static_cast<size_t>(done), FROM_OUT, "zz_end", timeout_ms);
    long counted = 0, failures = 0;
    long long first_at = 0, end_at = 0;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        size_t stop = end >= 0 ? static_cast<size_t>(end) : c.lines.size();
        if (end >= 0) end_at = c.lines[stop].at_ns;
        for (size_t i = from; i < stop; i++) {
            const line &l = c.lines[i];
            if (l.text.find("Failed to execute command") != std::string::npos) failures++;
            if (l.source != FROM_OUT || l.text.find("Change detected") == std::string::npos) continue;
            if (l.at_ns < created) continue;
            if (!first_at) first_at = l.at_ns;
            counted++;
        }
    }
    stop_child(&c, true);
    double seconds = static_cast<double>(end_at - first_at) / 1e9;
    printf("{\"files\": %ld, \"launches_timed\": %ld, \"seconds\": %.6f, \"per_second\": %.2f, "
           "\"us_per_launch\": %.1f, \"failures\": %ld, \"complete\": %s}\n",
           files, counted, seconds, counted && seconds > 0 ? static_cast<double>(counted) / seconds : 0.0,
           counted ? seconds * 1e6 / static_cast<double>(counted) : 0.0, failures,
           end >= 0 ? "true" : "false");
    return 0;
}

// ---- bursts ----

// Appends one byte to path: one write, as an editor saving the file would.
static void append_byte(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) die(path);
    if (write(fd, "x", 1) != 1) die(path);
    close(fd);
}

// Makes sentinel files, one every 250 ms, until the watcher reports one:
// everything made before it has been handled by then. Sentinels made while
// a queue is full are dropped, so new ones are made until one comes
// through. False when none came before deadline.
static bool drain_with_sentinels(child *c, const char *dir, size_t from, long long deadline) {
    for (long k = 0; now_ns() < deadline; k++) {
        char path[4096];
        snprintf(path, sizeof path, "%s/zz_end%04ld", dir, k);
        create_file(path);
        if (find_line(c, from, FROM_OUT, "zz_end", 250) >= 0) return true;
    }
    return false;
}

static bool is_loss_line(const std::string &t) {
    return t.find("Changes were lost") != std::string::npos ||
           t.find("Q_OVERFLOW") != std::string::npos;
}

// Starts the watcher and waits until it reports a probe and its set-up
// lines have settled; false when it never did.
static bool start_ready(child *c, const char *dir, char **argv) {
    std::string probe = std::string(dir) + "/probe";
    start_child(c, argv, false);
    if (wait_ready(c, probe.c_str(), nullptr, 60000, now_ns()) < 0) {
        fprintf(stderr, "benchtool: watcher never reported the probe\n");
        stop_child(c, true);
        return false;
    }
    settle(c, 200, 5000);
    return true;
}

// A watcher that finds lost changes again reports them after what it
// queued later, the sentinel included, and may report files named already
// first (those changed just before its mark, and the sentinels made after
// it, a detection each): waits on until every burst file is named, or the
// watcher has printed nothing for IDLE_NS, or the deadline. When the last
// new one was named, or 0 if none was after the sentinel.
static long long wait_all_named(child *c, size_t from, long files, long long deadline) {
    const long long IDLE_NS = 20LL * 1000000000;
    std::set<std::string> named;
    size_t looked = from;
    long long last = 0, grew = now_ns();
    while (now_ns() < deadline && now_ns() - grew < IDLE_NS) {
        {
            std::lock_guard<std::mutex> hold(c->lock);
            for (; looked < c->lines.size(); looked++) {
                const std::string &t = c->lines[looked].text;
                if (c->lines[looked].source != FROM_OUT) continue;
                grew = c->lines[looked].at_ns;
                size_t at = t.rfind("/burst");
                if (at != std::string::npos && named.insert(t.substr(at + 1, 11)).second) last = grew;
            }
        }
        if (static_cast<long>(named.size()) >= files) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return last;
}

// MODE "create": FILES files made as fast as one process can, one record
// each. MODE "rewrite": one file appended to FILES times, a record each,
// which a watcher may merge.
static int cmd_burst(const char *dir, long files, const char *mode, double timeout_s, char **argv) {
    child c;
    if (!start_ready(&c, dir, argv)) return 3;
    bool rewrite = strcmp(mode, "rewrite") == 0;
    size_t from = line_count(&c);
    long long t0 = now_ns();
    std::string one = std::string(dir) + "/burst000000";
    for (long i = 0; i < files; i++) {
        if (rewrite) {
            append_byte(one.c_str());
            continue;
        }
        char path[4096];
        snprintf(path, sizeof path, "%s/burst%06ld", dir, i);
        create_file(path);
    }
    long long created = now_ns();
    long long deadline = t0 + static_cast<long long>(timeout_s * 1e9);
    bool drained = drain_with_sentinels(&c, dir, from, deadline);
    long long finished = now_ns();
    if (!rewrite) {
        long long last = wait_all_named(&c, from, files, deadline);
        if (last > finished) finished = last;
    }
    settle(&c, 100, 2000);
    long hwm = status_kb(c.pid, "VmHWM");
    std::set<std::string> reported;
    long lost_lines = 0, other_failures = 0, naming = 0;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        for (size_t i = from; i < c.lines.size(); i++) {
            const std::string &t = c.lines[i].text;
            // Any line naming a burst file reports it: the monitor's change
            // line (one per detection), or a peer's event line.
            size_t at = t.rfind("/burst");
            if (c.lines[i].source == FROM_OUT && at != std::string::npos &&
                t.find("Called detection") == std::string::npos) {
                reported.insert(t.substr(at + 1, 11));
                naming++;
            } else if (is_loss_line(t)) {
                lost_lines++;
            } else if (t.compare(0, 4, "[-] ") == 0) {
                other_failures++;
            }
        }
    }
    stop_child(&c, true);
    long expected = rewrite ? 1 : files;
    long missing = expected - static_cast<long>(reported.size());
    printf("{\"files\": %ld, \"mode\": \"%s\", \"reported\": %zu, \"missing\": %ld, "
           "\"lines\": %ld, \"lost_lines\": %ld, \"other_failures\": %ld, "
           "\"create_seconds\": %.3f, \"drain_seconds\": %.3f, \"drained\": %s, "
           "\"silent_loss\": %s, \"hwm_kb\": %ld}\n",
           files, rewrite ? "rewrite" : "create", reported.size(), missing, naming, lost_lines,
           other_failures, static_cast<double>(created - t0) / 1e9,
           static_cast<double>(finished - t0) / 1e9, drained ? "true" : "false",
           missing > 0 && lost_lines == 0 ? "true" : "false", hwm);
    return 0;
}

// ---- backlog: files in folders made while detections are queued ----

static void write_file(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) die(path);
    size_t length = strlen(text);
    if (write(fd, text, length) != static_cast<ssize_t>(length)) die(path);
    close(fd);
}

// QUEUED files made in DIR, so that as many detections wait; then FOLDERS
// new folders dlNN, each with FILES fully written files. With REMOVE_MS of
// 0 or more the folders are removed that long after, as a download folder
// or an unpacked archive would be. Counts the folder files reported.
static int cmd_backlog(const char *dir, long queued, long folders, long files, long remove_ms,
                       double timeout_s, char **argv) {
    child c;
    if (!start_ready(&c, dir, argv)) return 3;
    size_t from = line_count(&c);
    long long t0 = now_ns();
    for (long i = 0; i < queued; i++) {
        char path[4096];
        snprintf(path, sizeof path, "%s/queued%05ld", dir, i);
        create_file(path);
    }
    long long queued_at = now_ns();
    char path[4096];
    for (long f = 0; f < folders; f++) {
        snprintf(path, sizeof path, "%s/dl%02ld", dir, f);
        if (mkdir(path, 0755) != 0) die(path);
        for (long i = 0; i < files; i++) {
            snprintf(path, sizeof path, "%s/dl%02ld/file%04ld.bin", dir, f, i);
            write_file(path, "downloaded content of the file\n");
        }
    }
    long long made = now_ns();
    if (remove_ms >= 0) {
        sleep_us(remove_ms * 1000);
        for (long f = 0; f < folders; f++) {
            for (long i = 0; i < files; i++) {
                snprintf(path, sizeof path, "%s/dl%02ld/file%04ld.bin", dir, f, i);
                if (unlink(path) != 0) die(path);
            }
            snprintf(path, sizeof path, "%s/dl%02ld", dir, f);
            if (rmdir(path) != 0) die(path);
        }
    }
    bool drained = drain_with_sentinels(&c, dir, from, t0 + static_cast<long long>(timeout_s * 1e9));
    long long finished = now_ns();
    settle(&c, 100, 2000);
    std::set<std::string> reported, queued_seen;
    long lost_lines = 0, detections = 0, folder_lines = 0;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        for (size_t i = from; i < c.lines.size(); i++) {
            const std::string &t = c.lines[i].text;
            if (is_loss_line(t)) lost_lines++;
            if (c.lines[i].source != FROM_OUT || t.find("Called detection") != std::string::npos) {
                continue;
            }
            if (t.find("Change detected") != std::string::npos) detections++;
            size_t at = t.rfind("/dl");
            if (at != std::string::npos && t.find("/file", at) == at + 5) {
                reported.insert(t.substr(at + 1, 17)); // dlNN/fileNNNN.bin
                folder_lines++;
            }
            at = t.rfind("/queued");
            if (at != std::string::npos) queued_seen.insert(t.substr(at + 1, 11));
        }
    }
    stop_child(&c, true);
    if (const char *dump = getenv("BENCH_DUMP")) {
        if (FILE *f = fopen(dump, "w")) {
            for (auto &l : c.lines) fprintf(f, "%d %s\n", l.source, l.text.c_str());
            fclose(f);
        }
    }
    long expected = folders * files;
    printf("{\"queued\": %ld, \"queued_reported\": %zu, \"folder_files\": %ld, \"reported\": %zu, "
           "\"folder_lines\": %ld, \"lost_lines\": %ld, \"detections\": %ld, \"queue_seconds\": %.3f, "
           "\"folders_seconds\": %.3f, \"drain_seconds\": %.3f, \"drained\": %s}\n",
           queued, queued_seen.size(), expected, reported.size(), folder_lines, lost_lines, detections,
           static_cast<double>(queued_at - t0) / 1e9, static_cast<double>(made - queued_at) / 1e9,
           static_cast<double>(finished - t0) / 1e9, drained ? "true" : "false");
    return 0;
}

// ---- storm: renames in one folder, folders leaving the tree ----

// Processor time of a process, user and system, all its threads, in
// seconds; -1 when it cannot be read.
static double cpu_seconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    std::string text = read_from(path, 0);
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return -1;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    const char *p = text.c_str() + close_paren + 2;
    unsigned long long utime = 0, stime = 0;
    for (int field = 3; field < 14; field++) {
        p = strchr(p, ' ');
        if (!p) return -1;
        p++;
    }
    if (sscanf(p, "%llu %llu", &utime, &stime) != 2) return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Makes COUNT empty folders in parent, d0000000 onwards.
static void make_folders(const char *parent, long count) {
    if (mkdir(parent, 0755) != 0) die(parent);
    char path[4096];
    for (long i = 0; i < count; i++) {
        snprintf(path, sizeof path, "%s/d%07ld", parent, i);
        if (mkdir(path, 0755) != 0) die(path);
    }
}

// Renames per step of a storm: their events (three a folder renamed, two a
// folder moved out) stay well under the kernel's queue of 16384, so that
// what is timed is the work on the events, not a loss and a new set-up.
static const long STORM_STEP = 1000;
// Files made in the tree before each step of folders moved out: the
// detections run while the folders leave.
static const long STORM_BUSY = 5;

static void make_busy(const std::string &tree, long step, long *made) {
    for (long k = 0; k < STORM_BUSY; k++) {
        char name[32];
        snprintf(name, sizeof name, "/busy%07ld-%ld", step, k);
        create_file((tree + name).c_str());
        (*made)++;
    }
}

// Makes a marker file in tree and waits until the watcher reports it: every
// event before it has been handled by then.
static bool wait_marker(child *c, const std::string &tree, long i, double timeout_s) {
    char name[32];
    snprintf(name, sizeof name, "/mark%07ld", i);
    size_t from = line_count(c);
    write_file((tree + name).c_str(), "marker\n");
    return find_line(c, from, FROM_OUT, name, static_cast<long>(timeout_s * 1000)) >= 0;
}

// The watcher watches DIR/tree, which holds COUNT empty folders in
// DIR/tree/box, all watched once it is ready. MODE "inside": each is renamed
// within box. MODE "out": each is moved to DIR/outside, away from the tree,
// while detections run (STORM_BUSY files made before each step). The renames go
// in steps of STORM_STEP, each waited for with a marker file. Then a file is
// written in the tree; the time until it is reported, and the watcher's
// processor time from before the storm until then.
static int cmd_storm(const char *dir, long count, const char *mode, double timeout_s, char **argv) {
    bool out = strcmp(mode, "out") == 0;
    std::string tree = std::string(dir) + "/tree", box = tree + "/box";
    std::string outside = std::string(dir) + "/outside";
    if (mkdir(tree.c_str(), 0755) != 0) die(tree.c_str());
    make_folders(box.c_str(), count);
    if (out && mkdir(outside.c_str(), 0755) != 0) die(outside.c_str());
    child c;
    long long set_up_from = now_ns();
    if (!start_ready(&c, tree.c_str(), argv)) return 3;
    double set_up = static_cast<double>(now_ns() - set_up_from) / 1e9;
    size_t from = line_count(&c);
    long busy = 0;
    double cpu_before = cpu_seconds(c.pid);
    long long t0 = now_ns();
    char source[4096], target[4096];
    bool kept_up = true;
    for (long i = 0; i < count && kept_up; i++) {
        snprintf(source, sizeof source, "%s/d%07ld", box.c_str(), i);
        if (out) {
            snprintf(target, sizeof target, "%s/d%07ld", outside.c_str(), i);
        } else {
            snprintf(target, sizeof target, "%s/r%07ld", box.c_str(), i);
        }
        if (out && i % STORM_STEP == 0) make_busy(tree, i, &busy);
        if (rename(source, target) != 0) die(source);
        if ((i + 1) % STORM_STEP == 0 && i + 1 < count) kept_up = wait_marker(&c, tree, i, timeout_s);
    }
    long long stormed = now_ns();
    std::string after = tree + "/written-after";
    long long written = now_ns();
    write_file(after.c_str(), "written right after\n");
    long seen = find_line(&c, from, FROM_OUT, "/written-after", static_cast<long>(timeout_s * 1000));
    long long reported_at = seen >= 0 ? line_at(&c, static_cast<size_t>(seen)).at_ns : -1;
    double cpu_after = cpu_seconds(c.pid);
    settle(&c, 100, 2000);
    long lost_lines = 0, detections_seen = 0;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        for (size_t i = from; i < c.lines.size(); i++) {
            if (is_loss_line(c.lines[i].text)) lost_lines++;
            if (c.lines[i].text.find("Change detected") != std::string::npos) detections_seen++;
        }
    }
    stop_child(&c, true);
    printf("{\"count\": %ld, \"mode\": \"%s\", \"set_up_seconds\": %.3f, \"storm_seconds\": %.3f, "
           "\"reported_after\": %.3f, \"cpu_seconds\": %.3f, \"busy_files\": %ld, "
           "\"detections\": %ld, \"lost_lines\": %ld, \"reported\": %s}\n",
           count, out ? "out" : "inside", set_up, static_cast<double>(stormed - t0) / 1e9,
           seen >= 0 ? static_cast<double>(reported_at - written) / 1e9 : -1.0,
           cpu_before >= 0 && cpu_after >= 0 ? cpu_after - cpu_before : -1.0, busy,
           detections_seen, lost_lines, seen >= 0 ? "true" : "false");
    return 0;
}

static char **after_dashes(int argc, char **argv, int from) {
    for (int i = from; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0 && i + 1 < argc) return argv + i + 1;
    }
    fprintf(stderr, "benchtool: missing -- CMD\n");
    exit(2);
}

int main(int argc, char **argv) {
    // A watcher that ends early must not end the tool by a write to its stdin.
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: see the head of bench/benchtool.cpp\n");
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "gen" && argc == 5) return cmd_gen(argv[2], atol(argv[3]), atol(argv[4]));
    if (cmd == "lastdir" && argc == 3) return cmd_lastdir(argv[2]);
    if (cmd == "setup" && argc > 7)
        return cmd_setup(argv[2], argv[3], argv[4], atof(argv[5]), after_dashes(argc, argv, 6));
    if (cmd == "walk") return cmd_walk(after_dashes(argc, argv, 2));
    if (cmd == "latency" && argc > 6) {
        char **rest = after_dashes(argc, argv, 4);
        return cmd_latency(atol(argv[2]), argv[3], static_cast<int>(argv + argc - rest), rest);
    }
    if (cmd == "spawnloop" && argc == 6) return cmd_spawnloop(argv[2], atol(argv[3]), atol(argv[4]), argv[5]);
    if (cmd == "systemloop" && argc == 4) return cmd_systemloop(argv[2], atol(argv[3]));
    if (cmd == "launchrate" && argc > 7)
        return cmd_launchrate(argv[2], atol(argv[3]), argv[4], argv[5], after_dashes(argc, argv, 6));
    if (cmd == "linerate" && argc > 6)
        return cmd_linerate(argv[2], atol(argv[3]), atof(argv[4]), after_dashes(argc, argv, 5));
    if (cmd == "burst" && argc > 7)
        return cmd_burst(argv[2], atol(argv[3]), argv[4], atof(argv[5]), after_dashes(argc, argv, 6));
    if (cmd == "backlog" && argc > 9)
        return cmd_backlog(argv[2], atol(argv[3]), atol(argv[4]), atol(argv[5]), atol(argv[6]),
                           atof(argv[7]), after_dashes(argc, argv, 8));
    if (cmd == "storm" && argc > 7)
        return cmd_storm(argv[2], atol(argv[3]), argv[4], atof(argv[5]), after_dashes(argc, argv, 6));
    fprintf(stderr, "benchtool: bad arguments\n");
    return 2;
}
