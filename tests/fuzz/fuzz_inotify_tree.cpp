// The inotify translation against arbitrary event streams: the input drives
// changes to a fake file system (whose events are then true to it), changes
// in the middle of the tree's own calls, reads of any size or after every
// change, and forged or cut events (cookies that never pair, unknown watch
// descriptors, IN_Q_OVERFLOW, IN_IGNORED for the root). Whatever arrives,
// nothing may crash and the tree's bookkeeping must stay sound. Once the
// events stop, it must watch exactly the directories below the root; and
// when it reads each change before the next, it must have every changed file
// reported under a path it had, and report no path that never named a file.
#include <fuzzer/FuzzedDataProvider.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>

#include <string>
#include <vector>

#include "fake_tree.h"
#include "inotify_tree.h"

namespace {

const char ROOT[] = "/w";
const size_t LARGEST_EVENT = sizeof(inotify_event) + 256;

// Few names, so that they collide; "ab" next to "a" for prefixes.
const char *const NAMES[] = {"a", "b", "ab", "c", "a b", "\x01\xff", "d"};
const uint32_t MASKS[] = {IN_CREATE,  IN_MODIFY,   IN_DELETE,      IN_MOVED_FROM, IN_MOVED_TO,
                          IN_IGNORED, IN_Q_OVERFLOW, IN_DELETE_SELF, IN_MOVE_SELF, IN_UNMOUNT};

struct run {
    FuzzedDataProvider *in;
    fake_fs fs;
    watch_tree tree;
    bool races = false;    // changes while the tree is at work
    bool racing = false;   // ... now
    bool lockstep = false; // every change read before the next: names never ahead
    bool true_stream = true; // no forged or cut events so far
    int refusing = 0;      // records the queue refuses from now on: it is full
    bool ended = false;    // the watch failed
};

// FUZZ_TRACE=1 when replaying one input: what happened, step by step.
bool tracing() {
    static const bool on = getenv("FUZZ_TRACE") != nullptr;
    return on;
}

void trace(const std::string &text) {
    if (tracing()) fprintf(stderr, "%s\n", text.c_str());
}

// Whether every path reported must have named a file, and every changed
// file have been reported where it was: when the tree reads every change
// before the next and nothing changes while it works. Otherwise it reads
// behind the file system, and a directory's name can be taken again before
// its rename is read, which no reader of events can always tell apart until
// the events stop; a change in the meantime can be reported where its file
// was not (FUZZ_STRICT=1 checks it anyway, to look for better guesses).
bool exact(const run &r) {
    static const bool strict = getenv("FUZZ_STRICT") != nullptr;
    return strict || (r.lockstep && !r.races);
}

[[noreturn]] void fail(const std::string &why) {
    fprintf(stderr, "fuzz_inotify_tree: %s\n", why.c_str());
    abort();
}

std::string pick_name(run &r) {
    size_t i = r.in->ConsumeIntegralInRange<size_t>(0, sizeof NAMES / sizeof *NAMES);
    if (i < sizeof NAMES / sizeof *NAMES) return NAMES[i];
    return std::string(r.in->ConsumeIntegralInRange<size_t>(100, 255), 'n');
}

// A live node of the wanted kind; the fixed directories only when asked.
int pick_node(run &r, bool directories, bool files, bool fixed) {
    int root = fake_lookup(&r.fs, ROOT), outside = fake_lookup(&r.fs, "/o");
    std::vector<int> found;
    for (size_t i = 1; i < r.fs.nodes.size(); i++) {
        const fake_node &n = r.fs.nodes[i];
        int node = static_cast<int>(i);
        if (!n.alive || n.bind >= 0) continue;
        if (!fixed && (node == root || node == outside)) continue;
        if ((n.is_dir && directories) || (!n.is_dir && files)) found.push_back(node);
    }
    if (found.empty()) return -1;
    return found[r.in->ConsumeIntegralInRange<size_t>(0, found.size() - 1)];
}

std::string child_path(run &r) {
    int parent = pick_node(r, true, false, true);
    if (parent < 0) return "/o/x";
    return fake_path(&r.fs, parent) + "/" + pick_name(r);
}

int traced(const char *what, int error, const std::string &a, const std::string &b = "") {
    trace(std::string(what) + " " + a + (b.empty() ? "" : " -> " + b) + (error ? " (" + std::string(strerror(error)) + ")" : ""));
    return error;
}

void change(run &r) {
    switch (r.in->ConsumeIntegralInRange(0, 13)) {
    case 0:
    case 1:
    {
        std::string path = child_path(r);
        traced("mkdir", fake_mkdir(&r.fs, path.c_str()), path);
        break;
    }
    case 2:
    {
        std::string path = child_path(r);
        traced("create", fake_create(&r.fs, path.c_str()), path);
        break;
    }
    case 3:
    case 4: {
        int file = pick_node(r, false, true, false);
        std::string path = file >= 0 && r.in->ConsumeBool() ? fake_path(&r.fs, file) : child_path(r);
        traced("write", fake_write(&r.fs, path.c_str()), path);
        break;
    }
    case 5: {
        int file = pick_node(r, false, true, false);
        if (file >= 0) traced("unlink", fake_unlink(&r.fs, fake_path(&r.fs, file).c_str()), fake_path(&r.fs, file));
        break;
    }
    case 6: {
        int directory = pick_node(r, true, false, r.in->ConsumeIntegral<uint8_t>() < 8);
        if (directory >= 0) {
            std::string path = fake_path(&r.fs, directory);
            traced("rmdir", fake_rmdir(&r.fs, path.c_str()), path);
        }
        break;
    }
    case 7:
    case 8:
    case 9: {
        int node = pick_node(r, true, true, r.in->ConsumeIntegral<uint8_t>() < 4);
        if (node < 0) break;
        std::string from = fake_path(&r.fs, node);
        std::string to = child_path(r);
        traced("rename", fake_rename(&r.fs, from.c_str(), to.c_str()), from, to);
        break;
    }
    case 10: {
        int directory = pick_node(r, true, false, false);
        if (directory < 0) break;
        fake_node &n = r.fs.nodes[static_cast<size_t>(directory)];
        bool watch = r.in->ConsumeBool();
        (watch ? n.add_error : n.open_error) = r.in->ConsumeBool() ? EACCES : ELOOP;
        trace(std::string(watch ? "refuse watch " : "refuse listing ") + fake_path(&r.fs, directory));
        break;
    }
    case 11:
        r.fs.watch_limit = r.fs.watch_count + r.in->ConsumeIntegralInRange<size_t>(0, 3);
        trace("watch limit " + std::to_string(r.fs.watch_limit));
        break;
    case 12:
        r.fs.queue_limit = r.fs.queue.size() + r.in->ConsumeIntegralInRange<size_t>(0, 4);
        trace("queue limit " + std::to_string(r.fs.queue_limit));
        break;
    case 13:
        r.refusing = r.in->ConsumeIntegralInRange(1, 6);
        trace("queue full for " + std::to_string(r.refusing));
        break;
    }
}

// Changes between the tree's steps. Not while it lists a directory: without
// a handle on the directory, a rename in the middle of a listing can pass
// another directory's entries for this one's, which the tree cannot tell.
void race(fake_fs *fs, void *context) {
    run &r = *static_cast<run *>(context);
    if (fs->call != FAKE_ADD_WATCH || fs->open_listings) return;
    if (r.racing && r.in->remaining_bytes() && r.in->ConsumeIntegral<uint8_t>() < 24) {
        trace("  during call " + std::to_string(r.fs.calls) + ":");
        change(r);
    }
}

bool on_record(void *context, const watch_record *record) {
    run &r = *static_cast<run *>(context);
    if (r.refusing > 0) {
        r.refusing--;
        trace("    refused " + std::string(record->path ? record->path : ""));
        return false;
    }
    trace("    record " + std::to_string(record->kind) + " " + (record->path ? record->path : "") + " " +
          (record->detail ? record->detail : ""));
    switch (record->kind) {
    case RECORD_LOST:
    case RECORD_UNREADABLE:
        return true;
    case RECORD_UNWATCHED:
    case RECORD_UNWATCHED_UNREPRESENTABLE:
        if (!record->detail || !record->detail[0]) fail("a directory unwatched without a reason");
        break;
    case RECORD_CHANGE:
    case RECORD_UNREPRESENTABLE:
        break;
    case RECORD_FIELD_GONE:
    case RECORD_FIELD_UNREACHABLE:
    case RECORD_FIELD_BACK:
    case RECORD_FIELD_REPLACED:
        fail("the tree told what the field names: that is the reader thread's");
    }
    if (!record->path) fail("a record without a path");
    size_t length = strnlen(record->path, PATH_CAPACITY);
    if (length == PATH_CAPACITY) fail("a path beyond the path capacity");
    if (record->kind == RECORD_CHANGE && r.true_stream) {
        if (!length || record->path[0] == '/' || record->path[length - 1] == '/' || strstr(record->path, "//")) {
            fail(std::string("a malformed path: ") + record->path);
        }
        // Only when the tree never lists ahead of the events it reads: a
        // listing can name a directory by a name it takes later.
        if (exact(r) && !fake_ever_named(&r.fs, record->path)) {
            fail(std::string("a path that never named a file: ") + record->path);
        }
    }
    fake_note_record(&r.fs, record);
    return true;
}

// The watcher took everything queued: dirty folders are looked at.
void drained(run &r) {
    for (int rounds = 0; rounds < 8 && tree_has_dirty(&r.tree); rounds++) {
        trace("  drained");
        tree_report_dirty(&r.tree, on_record, &r);
    }
}

void ended(run &r, int error);

void handle(run &r, const unsigned char *bytes, size_t length) {
    if (r.ended) return;
    if (tracing()) {
        for (size_t at = 0; at + sizeof(inotify_event) <= length;) {
            inotify_event e;
            memcpy(&e, bytes + at, sizeof e);
            size_t end = at + sizeof e + e.len;
            std::string name(reinterpret_cast<const char *>(bytes + at + sizeof e),
                             strnlen(reinterpret_cast<const char *>(bytes + at + sizeof e),
                                     end <= length ? e.len : length - at - sizeof e));
            char line[128];
            snprintf(line, sizeof line, "  event wd %d mask %#x cookie %u ", e.wd, e.mask, e.cookie);
            trace(line + name);
            at = end;
        }
    }
    r.tree.stream.events_since = r.fs.events_since;
    r.tree.stream.scanned_before = r.fs.events_since;
    ended(r, tree_handle_events(&r.tree, bytes, length, on_record, &r));
}

// No event for a while: the reader runs a check it put off.
void settle(run &r) {
    if (r.ended || !tree_check_owed(&r.tree)) return;
    trace("  settle");
    ended(r, tree_run_owed_check(&r.tree, on_record, &r));
}

void ended(run &r, int error) {
    if (!r.refusing) drained(r);
    if (!error) return;
    r.ended = true;
    if (error != ENOENT) fail("the watch failed with " + std::to_string(error));
    int root = r.fs.root;
    if (r.true_stream && r.fs.nodes[static_cast<size_t>(root)].alive && fake_path(&r.fs, root) == ROOT) {
        fail("the watch failed with the root in place");
    }
}

// Up to reads whole reads of the queue, as the watcher does them.
void deliver(run &r, size_t capacity, int reads) {
    std::vector<unsigned char> buffer(capacity);
    for (int i = 0; i < reads && !r.ended; i++) {
        size_t length = fake_read(&r.fs, buffer.data(), capacity);
        if (!length) return;
        std::vector<unsigned char> exact(buffer.begin(), buffer.begin() + static_cast<long>(length));
        handle(r, exact.data(), exact.size());
    }
    if (r.fs.queue.empty()) r.fs.queue_limit = 16384;
    if (r.fs.queue.empty() && r.in->ConsumeBool()) settle(r);
}

void forge(run &r) {
    r.true_stream = false;
    std::vector<unsigned char> bytes;
    if (r.in->ConsumeBool()) {
        bytes = r.in->ConsumeBytes<unsigned char>(r.in->ConsumeIntegralInRange<size_t>(0, 300));
    } else {
        int wd = r.in->ConsumeIntegralInRange(-1, r.fs.next_wd + 1);
        uint32_t mask = r.in->ConsumeBool() ? r.in->ConsumeIntegral<uint32_t>()
                                            : MASKS[r.in->ConsumeIntegralInRange<size_t>(0, 9)] |
                                                  (r.in->ConsumeBool() ? IN_ISDIR : 0u);
        uint32_t cookie = r.in->ConsumeIntegralInRange<uint32_t>(0, r.fs.next_cookie + 1);
        std::string name = r.in->ConsumeBool() ? pick_name(r) : r.in->ConsumeRandomLengthString(300);
        fake_encode(&bytes, wd, mask, cookie, name);
        if (r.in->ConsumeBool() && !bytes.empty()) {
            bytes.resize(r.in->ConsumeIntegralInRange<size_t>(0, bytes.size() - 1)); // cut short
        }
    }
    handle(r, bytes.data(), bytes.size());
}

void check(run &r) {
    std::string why;
    if (!fake_check_structure(&r.tree, &why)) fail(why);
    if (r.fs.open_listings) fail("a listing was left open");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    run r;
    r.in = &in;
    r.races = r.racing = in.ConsumeBool();
    r.lockstep = in.ConsumeBool();
    fake_init(&r.fs);
    r.fs.trace = tracing();
    fake_mkdir(&r.fs, ROOT);
    fake_mkdir(&r.fs, "/o");
    // The tree as it stands before the watch.
    for (int i = in.ConsumeIntegralInRange(0, 24); i > 0; i--) change(r);
    r.fs.queue.clear();
    r.fs.queue_limit = 16384;
    r.fs.watch_limit = static_cast<size_t>(-1);
    if (fake_lookup(&r.fs, ROOT) < 0) fake_mkdir(&r.fs, ROOT);
    fake_set_root(&r.fs, ROOT);
    r.fs.on_call = race;
    r.fs.on_call_context = &r;

    trace("start");
    tree_ops ops = fake_ops(&r.fs);
    int started = tree_start(&r.tree, ROOT, &ops, on_record, &r);
    // A root moved away or removed before its watch was in place sends the
    // tree no event: the reader's guard on the folders above ends that watch.
    const fake_node &root = r.fs.nodes[static_cast<size_t>(r.fs.root)];
    if (started != 0 || !root.alive || fake_path(&r.fs, r.fs.root) != ROOT) {
        tree_release(&r.tree);
        return 0;
    }
    check(r);
    while (in.remaining_bytes() && !r.ended) {
        int step = in.ConsumeIntegralInRange(0, 9);
        if (step < 6) {
            change(r);
            if (r.lockstep) deliver(r, 4096, 1 << 20);
        } else if (step < 9) {
            trace("deliver");
            deliver(r, in.ConsumeIntegralInRange<size_t>(LARGEST_EVENT, 4096), in.ConsumeIntegralInRange(1, 4));
        } else {
            forge(r);
        }
    }
    if (!r.ended) {
        // Everything left, then one unrelated event that settles a move still
        // open, then the kernel's answers to the removals that caused.
        trace("final delivery");
        r.racing = false;
        r.refusing = 0;
        r.fs.queue_limit = 16384;
        deliver(r, 65536, 1 << 20);
        std::vector<unsigned char> unrelated;
        fake_encode(&unrelated, 0, IN_MODIFY, 0, "x");
        handle(r, unrelated.data(), unrelated.size());
        deliver(r, 65536, 1 << 20);
        settle(r);
        deliver(r, 65536, 1 << 20);
    }
    check(r);
    if (!r.ended && r.true_stream) {
        std::string why;
        if (!fake_check_mirror(&r.fs, &r.tree, &why)) fail(why);
        if (exact(r) && !fake_check_scanned(&r.fs, &why)) fail(why);
    }
    tree_release(&r.tree);
    return 0;
}
