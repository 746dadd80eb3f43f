// Crafted fanotify events and the fake kernel behind fan_ops.
#include "fake_fanotify.h"

#include <errno.h>
#include <string.h>
#include <sys/fanotify.h>

size_t event_writer::begin(uint64_t mask, int32_t pid) {
    size_t start = bytes.size();
    fanotify_event_metadata m;
    memset(&m, 0, sizeof m);
    m.vers = FANOTIFY_METADATA_VERSION;
    m.metadata_len = sizeof m;
    m.mask = mask;
    m.fd = FAN_NOFD;
    m.pid = pid;
    bytes.insert(bytes.end(), reinterpret_cast<unsigned char *>(&m),
                 reinterpret_cast<unsigned char *>(&m) + sizeof m);
    return start;
}

void event_writer::place(uint8_t type, uint32_t directory, const std::string *name) {
    size_t length = sizeof(fanotify_event_info_fid) + 8 + 4 + (name ? name->size() + 1 : 0);
    length = (length + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> record(length, 0);
    fanotify_event_info_header header = {type, 0, static_cast<uint16_t>(length)};
    memcpy(record.data(), &header, sizeof header);
    memcpy(record.data() + sizeof header, &FAKE_FSID, 8);
    uint32_t size = 4;
    int32_t handle_type = 1;
    memcpy(record.data() + 12, &size, 4);
    memcpy(record.data() + 16, &handle_type, 4);
    memcpy(record.data() + 20, &directory, 4);
    if (name) memcpy(record.data() + 24, name->c_str(), name->size() + 1);
    bytes.insert(bytes.end(), record.begin(), record.end());
}

void event_writer::process(int32_t pidfd) {
    if (pidfd == FAN_NOPIDFD) return;
    fanotify_event_info_pidfd record;
    memset(&record, 0, sizeof record);
    record.hdr.info_type = FAN_EVENT_INFO_TYPE_PIDFD;
    record.hdr.len = sizeof record;
    record.pidfd = pidfd;
    bytes.insert(bytes.end(), reinterpret_cast<unsigned char *>(&record),
                 reinterpret_cast<unsigned char *>(&record) + sizeof record);
}

void event_writer::end(size_t start) {
    uint32_t length = static_cast<uint32_t>(bytes.size() - start);
    memcpy(bytes.data() + start, &length, 4);
}

void event_writer::change(uint64_t mask, uint32_t directory, const std::string &name,
                          uint32_t target, int32_t pid, int32_t pidfd) {
    size_t start = begin(mask, pid);
    place(FAN_EVENT_INFO_TYPE_DFID_NAME, directory, &name);
    if (target) place(FAN_EVENT_INFO_TYPE_FID, target, nullptr);
    process(pidfd);
    end(start);
}

void event_writer::rename(uint64_t mask, uint32_t from, const std::string &old_name, uint32_t to,
                          const std::string &new_name, uint32_t target, int32_t pid,
                          int32_t pidfd) {
    size_t start = begin(mask | FAN_RENAME, pid);
    place(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, from, &old_name);
    place(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, to, &new_name);
    if (target) place(FAN_EVENT_INFO_TYPE_FID, target, nullptr);
    process(pidfd);
    end(start);
}

void event_writer::overflow() { end(begin(FAN_Q_OVERFLOW, -1)); }

namespace {

int fake_resolve(void *context, const fan_handle &h, char *out, size_t capacity, size_t *length) {
    fake_kernel *k = static_cast<fake_kernel *>(context);
    uint32_t number = 0;
    if (h.size == 4) memcpy(&number, h.bytes, 4);
    k->resolved.push_back(number);
    if (k->too_deep.count(number)) return ENAMETOOLONG;
    if (k->deep_outside.count(number)) return EXDEV;
    std::string now;
    auto &turns = k->moving[number];
    if (!turns.empty()) {
        now = turns.front();
        turns.erase(turns.begin());
    } else {
        auto found = k->folders.find(number);
        if (h.fsid != FAKE_FSID || found == k->folders.end()) return ESTALE;
        now = found->second;
    }
    if (now.size() >= capacity) return ENAMETOOLONG;
    memcpy(out, now.c_str(), now.size() + 1);
    *length = now.size();
    return 0;
}

size_t fake_read_more(void *context, unsigned char *at, size_t room) {
    fake_kernel *k = static_cast<fake_kernel *>(context);
    if (k->later.empty() || k->later.size() > room) return 0;
    size_t n = k->later.size();
    memcpy(at, k->later.data(), n);
    k->later.clear();
    return n;
}

bool fake_ignored(void *context, int32_t pid, int32_t pidfd) {
    return static_cast<fake_kernel *>(context)->own.count({pid, pidfd}) > 0;
}

void fake_report_below(void *context, const char *relative, const fan_handle *) {
    static_cast<fake_kernel *>(context)->arrived.push_back(relative);
    static_cast<fake_kernel *>(context)->order.push_back(std::string("arrived:") + relative);
}

void fake_outside(void *context, const fan_handle &h, uint64_t) {
    uint32_t number = 0;
    if (h.size == 4) memcpy(&number, h.bytes, 4);
    static_cast<fake_kernel *>(context)->outside.push_back(number);
}

void fake_entered(void *context) { static_cast<fake_kernel *>(context)->order.push_back("entered"); }

bool fake_following(void *context) {
    fake_kernel *k = static_cast<fake_kernel *>(context);
    k->following++;
    return k->dropped_writes;
}

void fake_moved_within(void *context, const fan_handle &directory) {
    uint32_t number = 0;
    if (directory.size == sizeof number) memcpy(&number, directory.bytes, sizeof number);
    static_cast<fake_kernel *>(context)->moved.push_back(number);
}

bool fake_named(void *context, const char *path) {
    return static_cast<fake_kernel *>(context)->named.count(path) > 0;
}

bool fake_linked_at(void *context, const fan_handle &h, const char *, linked_stat *file) {
    fake_kernel *k = static_cast<fake_kernel *>(context);
    uint32_t number = 0;
    if (h.size == 4) memcpy(&number, h.bytes, 4);
    auto found = k->files.find(number);
    if (found == k->files.end()) return false;
    *file = linked_stat{true, 1, number, 0};
    return found->second;
}

void collect(void *context, const watch_record *record) {
    static const char *const KINDS[] = {"change", "lost", "unreadable", "unrepresentable",
                                        "unwatched", "unwatched, unrepresentable"};
    std::string line = KINDS[record->kind];
    if (record->path) line += std::string(":") + record->path;
    static_cast<fake_kernel *>(context)->records.push_back(line);
}

} // namespace

fan_ops fake_kernel::ops() {
    return fan_ops{fake_resolve,      fake_read_more, fake_ignored,   fake_report_below,
                   fake_moved_within, fake_named,     this,           fake_linked_at,
                   fake_outside,      fake_entered,   fake_following};
}

std::vector<std::string> translate(fan_translator *t, fake_kernel *kernel,
                                   std::vector<unsigned char> buffer) {
    kernel->records.clear();
    size_t length = buffer.size();
    buffer.resize(length + kernel->later.size() + 64 * 1024);
    translate_events(t, buffer.data(), &length, buffer.size(), collect, kernel);
    return kernel->records;
}
