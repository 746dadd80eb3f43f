// The fanotify record parser and the translation behind it on arbitrary
// bytes. Beyond the sanitizers' checks: a parsed event lies inside the
// buffer with every handle and name in it, each name terminated there; a
// malformed one moves nothing; and every record the translation makes is a
// relative path (or a name) of a change under the root, or the field's line
// that not every hard link is followed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fanotify.h>

#include <string>
#include <vector>

#include "fake_fanotify.h"

namespace {

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_fanotify_records: %s\n", why);
    abort();
}

bool inside(const unsigned char *at, size_t length, const unsigned char *buffer, size_t size) {
    return at >= buffer && length <= size && static_cast<size_t>(at - buffer) <= size - length;
}

void check_place(const fan_place &p, const unsigned char *buffer, size_t size) {
    if (!p.present) return;
    if (!inside(p.directory.bytes, p.directory.size, buffer, size)) fail("handle outside the buffer");
    const unsigned char *name = reinterpret_cast<const unsigned char *>(p.name);
    if (!inside(name, p.name_length + 1, buffer, size)) fail("name outside the buffer");
    if (p.name[p.name_length] != '\0' || strlen(p.name) != p.name_length) fail("name not terminated");
}

void parse_all(const unsigned char *data, size_t size) {
    size_t offset = 0;
    for (;;) {
        size_t before = offset;
        fan_event e;
        fan_parse result = fan_parse_next(data, size, &offset, &e);
        if (result == FAN_END) {
            if (offset < size) fail("ended early");
            return;
        }
        if (result == FAN_BAD) {
            if (offset != before) fail("a malformed event moved the offset");
            return;
        }
        if (offset <= before || offset > size) fail("offset did not move forward inside");
        check_place(e.place, data + before, offset - before);
        check_place(e.old_place, data + before, offset - before);
        check_place(e.new_place, data + before, offset - before);
        if (e.has_target && !inside(e.target.bytes, e.target.size, data + before, offset - before)) {
            fail("target outside its event");
        }
        if (e.pidfd_at) {
            int32_t pidfd;
            if (e.pidfd_at < before || e.pidfd_at + sizeof pidfd > offset) fail("pidfd outside its event");
            memcpy(&pidfd, data + e.pidfd_at, sizeof pidfd);
            if (pidfd != e.pidfd) fail("pidfd not where it was said to lie");
        }
    }
}

void translate_all(const unsigned char *data, size_t size) {
    // One translator for every input, as a reader keeps its cache.
    static fake_kernel kernel;
    static fan_translator t;
    static bool ready = false;
    if (!ready) {
        kernel.folders = {{1, "/r"}, {2, "/r/a"}, {3, "/o"}, {4, "/r2"}};
        kernel.too_deep = {5};
        kernel.own = {{7, 7}};
        // Files with other names, and one without.
        kernel.files = {{60, true}, {61, true}, {62, false}};
        fan_ops ops = kernel.ops();
        if (!translator_init(&t, "/r", &ops)) fail("no cache");
        ready = true;
    }
    kernel.arrived.clear();
    kernel.resolved.clear();
    // Half the bytes are read at once, the rest as events queued since.
    size_t half = size / 2;
    kernel.later.assign(data + half, data + size);
    std::vector<std::string> records = translate(&t, &kernel, std::vector<unsigned char>(data, data + half));
    for (const std::string &r : records) {
        if (r.rfind("change:", 0) == 0) {
            std::string path = r.substr(7);
            if (path.empty() || path[0] == '/') fail("a change that is not a relative path");
            if (path.size() >= PATH_CAPACITY) fail("a change longer than a path");
        } else if (r != "lost" && r != "unreadable" && r != "unwatched:" &&
                   r.rfind("unrepresentable:", 0) != 0) {
            fail("a record of a kind the translation never makes");
        }
    }
    for (const std::string &a : kernel.arrived) {
        if (a.empty() || a[0] == '/') fail("a folder arrived outside the root");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    parse_all(data, size);
    translate_all(data, size);
    return 0;
}
