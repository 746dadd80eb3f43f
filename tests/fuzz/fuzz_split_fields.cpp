// Splitting the directory list on arbitrary bytes: fields are the non-empty
// runs between semicolons, handed over in order, and splitting stops at the
// first field refused.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "monitor.h"

namespace {

struct seen {
    const char *start; // the list as split
    size_t end;
    std::vector<std::string> fields;
    std::vector<size_t> offsets;
    size_t refuse_at;
};

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_split_fields: %s\n", why);
    abort();
}

bool take(void *context, const char *field) {
    seen *s = static_cast<seen *>(context);
    if (field < s->start || field >= s->start + s->end) fail("a field outside the list");
    size_t offset = static_cast<size_t>(field - s->start);
    size_t length = strlen(field);
    if (!length) fail("an empty field");
    if (memchr(field, ';', length)) fail("a field holding a semicolon");
    if (!s->offsets.empty() && offset <= s->offsets.back() + s->fields.back().size()) {
        fail("fields out of order or overlapping");
    }
    s->fields.emplace_back(field, length);
    s->offsets.push_back(offset);
    return s->fields.size() != s->refuse_at;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!size) return 0;
    // The first byte says which field to refuse (0: none); the rest is the
    // list, up to its first NUL as a command line would hold it.
    std::string original(reinterpret_cast<const char *>(data + 1), size - 1);
    original = original.c_str();
    std::vector<char> list(original.begin(), original.end());
    list.push_back('\0');
    seen s = {list.data(), original.size(), {}, {}, data[0]};
    bool all = split_fields(list.data(), take, &s);

    // What the fields must be: the runs between semicolons.
    std::vector<std::string> expected;
    std::string run;
    for (char c : original) {
        if (c != ';') {
            run += c;
        } else if (!run.empty()) {
            expected.push_back(run);
            run.clear();
        }
    }
    if (!run.empty()) expected.push_back(run);
    if (s.refuse_at && s.refuse_at <= expected.size()) {
        if (all) fail("a refused field did not stop the splitting");
        expected.resize(s.refuse_at);
    } else if (!all) {
        fail("splitting stopped with no field refused");
    }
    if (s.fields != expected) fail("fields differ from the runs between semicolons");
    for (size_t i = 0; i < s.fields.size(); i++) {
        if (original.compare(s.offsets[i], s.fields[i].size(), s.fields[i]) != 0) {
            fail("a field is not where it stood in the list");
        }
    }
    return 0;
}
