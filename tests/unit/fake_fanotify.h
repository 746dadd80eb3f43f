// Crafted fanotify events and a fake kernel behind fan_ops, so the
// fanotify translation can be driven without the kernel. A folder's handle
// is 4 bytes, its number; the fake kernel knows where each folder is now.
// Shared by the unit tests and the fuzz target.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fanotify_events.h"

static const uint64_t FAKE_FSID = 0x1234;

// Appends events to a buffer as the kernel lays them out.
struct event_writer {
    std::vector<unsigned char> bytes;

    // An event: where names (directory, name) the changed entry; target, when
    // not 0, the entry's own handle; pidfd, when not FAN_NOPIDFD, the maker's
    // descriptor in a record of its own.
    void change(uint64_t mask, uint32_t directory, const std::string &name, uint32_t target = 0,
                int32_t pid = 100, int32_t pidfd = -1);
    void rename(uint64_t mask, uint32_t from, const std::string &old_name, uint32_t to,
                const std::string &new_name, uint32_t target = 0, int32_t pid = 100,
                int32_t pidfd = -1);
    void overflow();

private:
    size_t begin(uint64_t mask, int32_t pid);
    void place(uint8_t type, uint32_t directory, const std::string *name);
    void process(int32_t pidfd);
    void end(size_t start);
};

struct fake_kernel {
    std::map<uint32_t, std::string> folders; // handle number -> path now
    // Answers given in turn before folders': a folder moving meanwhile.
    std::map<uint32_t, std::vector<std::string>> moving;
    std::vector<unsigned char> later;        // events the next read_more hands over
    std::set<uint32_t> too_deep;             // under the root, deeper than any path
    std::set<uint32_t> deep_outside;         // outside the root, deeper than any path
    std::set<std::pair<int32_t, int32_t>> own; // (pid, pidfd) of the monitor's processes
    std::vector<uint32_t> resolved;          // handles asked about, in order
    std::vector<std::string> arrived;        // report_below calls
    std::vector<uint32_t> moved;             // moved_within calls, by handle number
    std::set<std::string> named;             // entries there now, by path
    std::map<uint32_t, bool> files;          // handle of a file there -> whether it has other names
    std::vector<std::string> records;        // "kind:path", as translated
    std::vector<uint32_t> outside;           // outside calls, by folder number
    std::vector<std::string> order;          // "entered" and "arrived:PATH", in turn
    bool dropped_writes = false;             // what following answers
    int following = 0;                       // following calls

    fan_ops ops();
};

// Translates buffer (with kernel behind) and returns the records.
std::vector<std::string> translate(fan_translator *t, fake_kernel *kernel,
                                   std::vector<unsigned char> buffer);
