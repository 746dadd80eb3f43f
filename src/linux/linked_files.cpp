// The table of hard-linked files a reader follows, and its two indexes.
#include "linked_files.h"

#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

namespace {

// Twice as many slots as entries: a probe always ends at a free slot.
const size_t SLOTS = 2 * LINKED_NAMES_MAX;
const size_t SLOT_MASK = SLOTS - 1;
static_assert((SLOTS & SLOT_MASK) == 0, "slots must be a power of two");

// FNV-1a from hash, then mixed so that the low bits, which choose the slot,
// depend on every byte.
uint32_t mix(uint32_t hash, const void *data, size_t length) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; i++) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

uint32_t finish(uint32_t hash) {
    hash ^= hash >> 16;
    hash *= 0x45d9f3bu;
    return hash ^ (hash >> 16);
}

uint32_t key_hash(const linked_files *l, const linked_key &key) {
    return finish(mix(l->seed, key.bytes, key.size));
}

// The folder's key, a separator no key byte run can fake (its length), and
// the name.
uint32_t place_hash(const linked_files *l, const linked_key &folder, const char *name,
                    size_t length) {
    uint32_t hash = mix(l->seed, &folder.size, sizeof folder.size);
    hash = mix(hash, folder.bytes, folder.size);
    return finish(mix(hash, name, length));
}

bool same_key(const linked_key &a, const linked_key &b) {
    return a.size == b.size && memcmp(a.bytes, b.bytes, a.size) == 0;
}

uint32_t hash_in(const linked_files *l, bool by_file, int entry) {
    return by_file ? l->names[entry].file_hash : l->names[entry].place_hash;
}

void index_insert(linked_files *l, bool by_file, int entry) {
    int32_t *slots = by_file ? l->by_file : l->by_place;
    size_t i = hash_in(l, by_file, entry) & SLOT_MASK;
    while (slots[i]) i = (i + 1) & SLOT_MASK;
    slots[i] = entry + 1;
}

// Takes entry out, moving back the slots after it that would no longer be
// found past the hole.
void index_remove(linked_files *l, bool by_file, int entry) {
    int32_t *slots = by_file ? l->by_file : l->by_place;
    size_t i = hash_in(l, by_file, entry) & SLOT_MASK;
    while (slots[i] != entry + 1) i = (i + 1) & SLOT_MASK;
    for (size_t j = (i + 1) & SLOT_MASK; slots[j]; j = (j + 1) & SLOT_MASK) {
        size_t home = hash_in(l, by_file, slots[j] - 1) & SLOT_MASK;
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays) continue;
        slots[i] = slots[j];
        i = j;
    }
    slots[i] = 0;
}

// Reserves the storage at the first name kept.
bool reserve(linked_files *l) {
    if (l->names) return true;
    // Zeroed by the kernel as each page is first touched.
    l->names = static_cast<linked_name *>(calloc(LINKED_NAMES_MAX, sizeof(linked_name)));
    l->by_file = static_cast<int32_t *>(calloc(SLOTS, sizeof(int32_t)));
    l->by_place = static_cast<int32_t *>(calloc(SLOTS, sizeof(int32_t)));
    l->spare = static_cast<int32_t *>(calloc(LINKED_NAMES_MAX, sizeof(int32_t)));
    l->found = static_cast<int32_t *>(calloc(LINKED_NAMES_MAX, sizeof(int32_t)));
    if (!l->names || !l->by_file || !l->by_place || !l->spare || !l->found) {
        linked_release(l);
        return false;
    }
    // Names are chosen by whoever makes the files: a hash they could work
    // out would let them make every look-up probe a long run of slots.
    if (getrandom(&l->seed, sizeof l->seed, GRND_NONBLOCK) != sizeof l->seed) {
        l->seed = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(l) ^
                                        static_cast<uintptr_t>(time(nullptr)));
    }
    l->seed ^= 2166136261u;
    return true;
}

} // namespace

void linked_init(linked_files *l) { memset(l, 0, sizeof *l); }

void linked_release(linked_files *l) {
    free(l->names);
    free(l->by_file);
    free(l->by_place);
    free(l->spare);
    free(l->found);
    linked_init(l);
}

void linked_clear(linked_files *l) {
    if (!l->names) return;
    for (int entry = 0; entry < l->high; entry++) {
        if (l->names[entry].used) linked_remove(l, entry);
    }
}

int linked_find(const linked_files *l, const linked_key &folder, const char *name, size_t length) {
    if (!l->count) return -1;
    uint32_t hash = place_hash(l, folder, name, length);
    for (size_t i = hash & SLOT_MASK; l->by_place[i]; i = (i + 1) & SLOT_MASK) {
        const linked_name &n = l->names[l->by_place[i] - 1];
        if (n.place_hash == hash && n.length == length && memcmp(n.name, name, length) == 0 &&
            same_key(n.folder, folder)) {
            return l->by_place[i] - 1;
        }
    }
    return -1;
}

int linked_add(linked_files *l, const linked_key &file, const linked_key &folder, const char *name,
               size_t length, uint64_t device, uint64_t inode) {
    if (length > NAME_MAX || l->count == LINKED_NAMES_MAX || !reserve(l)) return -1;
    int entry = l->spare_count ? l->spare[--l->spare_count] : l->high++;
    linked_name &n = l->names[entry];
    n.file = file;
    n.folder = folder;
    n.device = device;
    n.inode = inode;
    n.file_hash = key_hash(l, file);
    n.place_hash = place_hash(l, folder, name, length);
    n.used = true;
    n.length = static_cast<uint16_t>(length);
    memcpy(n.name, name, length);
    n.name[length] = '\0';
    index_insert(l, true, entry);
    index_insert(l, false, entry);
    l->count++;
    return entry;
}

void linked_remove(linked_files *l, int entry) {
    index_remove(l, true, entry);
    index_remove(l, false, entry);
    l->names[entry].used = false;
    l->spare[l->spare_count++] = entry;
    l->count--;
}

bool linked_set(linked_files *l, const linked_key &folder, const char *name, size_t length,
                const linked_key *file, uint64_t device, uint64_t inode, linked_key *dropped) {
    dropped->size = 0;
    int entry = linked_find(l, folder, name, length);
    if (entry >= 0) {
        const linked_name &n = l->names[entry];
        if (file && same_key(n.file, *file) && n.device == device && n.inode == inode) return true;
        linked_key was = n.file;
        linked_remove(l, entry);
        if (!file || !same_key(was, *file)) {
            if (!linked_follows(l, was)) *dropped = was;
        }
    }
    return !file || linked_add(l, *file, folder, name, length, device, inode) >= 0;
}

bool linked_follows(const linked_files *l, const linked_key &file) {
    if (!l->count) return false;
    uint32_t hash = key_hash(l, file);
    for (size_t i = hash & SLOT_MASK; l->by_file[i]; i = (i + 1) & SLOT_MASK) {
        const linked_name &n = l->names[l->by_file[i] - 1];
        if (n.file_hash == hash && same_key(n.file, file)) return true;
    }
    return false;
}

int linked_names_of(linked_files *l, const linked_key &file) {
    if (!l->count) return 0;
    uint32_t hash = key_hash(l, file);
    int count = 0;
    for (size_t i = hash & SLOT_MASK; l->by_file[i]; i = (i + 1) & SLOT_MASK) {
        const linked_name &n = l->names[l->by_file[i] - 1];
        if (n.file_hash == hash && same_key(n.file, file)) l->found[count++] = l->by_file[i] - 1;
    }
    return count;
}

bool linked_key_of(linked_key *key, const void *bytes, size_t size) {
    if (size > LINKED_KEY_MAX) return false;
    key->size = static_cast<uint32_t>(size);
    memcpy(key->bytes, bytes, size);
    return true;
}
