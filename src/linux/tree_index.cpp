// The tree's indexes by watch descriptor and by parent and name.
#include "tree_index.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "inotify_tree.h"

namespace {

const size_t FIRST_SLOTS = 64;

size_t hash_wd(int wd) { return static_cast<uint32_t>(wd) * 2654435761u; }

size_t hash_name(int parent, const char *name, size_t length) {
    uint64_t h = 14695981039346656037ull ^ static_cast<uint32_t>(parent);
    for (size_t i = 0; i < length; i++) {
        h ^= static_cast<unsigned char>(name[i]);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h ^ (h >> 29));
}

node_index &index_of(watch_tree *t, index_kind kind) { return kind == BY_WD ? t->by_wd : t->by_name; }

size_t hash_of(const watch_tree *t, index_kind kind, int node) {
    const tree_node &n = t->nodes[node];
    return kind == BY_WD ? hash_wd(n.wd) : hash_name(n.parent, n.name, n.name_length);
}

bool grow(watch_tree *t, index_kind kind) {
    node_index &index = index_of(t, kind);
    size_t count = index.slot_count ? index.slot_count * 2 : FIRST_SLOTS;
    int *slots = static_cast<int *>(malloc(count * sizeof *slots));
    if (!slots) return false;
    for (size_t i = 0; i < count; i++) slots[i] = -1;
    for (size_t i = 0; i < index.slot_count; i++) {
        int node = index.slots[i];
        if (node < 0) continue;
        size_t j = hash_of(t, kind, node) & (count - 1);
        while (slots[j] >= 0) j = (j + 1) & (count - 1);
        slots[j] = node;
    }
    free(index.slots);
    index.slots = slots;
    index.slot_count = count;
    return true;
}

} // namespace

bool index_insert(watch_tree *t, index_kind kind, int node) {
    node_index &index = index_of(t, kind);
    if ((index.used + 1) * 2 > index.slot_count && !grow(t, kind)) return false;
    size_t mask = index.slot_count - 1;
    size_t j = hash_of(t, kind, node) & mask;
    while (index.slots[j] >= 0) j = (j + 1) & mask;
    index.slots[j] = node;
    index.used++;
    return true;
}

void index_remove(watch_tree *t, index_kind kind, int node) {
    node_index &index = index_of(t, kind);
    if (!index.slot_count) return;
    size_t mask = index.slot_count - 1;
    size_t i = hash_of(t, kind, node) & mask;
    while (index.slots[i] >= 0 && index.slots[i] != node) i = (i + 1) & mask;
    if (index.slots[i] < 0) return;
    for (size_t j = (i + 1) & mask; index.slots[j] >= 0; j = (j + 1) & mask) {
        size_t k = hash_of(t, kind, index.slots[j]) & mask;
        // Move j back into the hole at i unless its home lies cyclically in (i, j].
        bool stays = (i <= j) ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            index.slots[i] = index.slots[j];
            i = j;
        }
    }
    index.slots[i] = -1;
    index.used--;
}

void index_release(node_index *index) {
    free(index->slots);
    index->slots = nullptr;
    index->slot_count = index->used = 0;
}

int index_find_wd(const watch_tree *t, int wd) {
    const node_index &index = t->by_wd;
    if (!index.slot_count) return -1;
    size_t mask = index.slot_count - 1;
    for (size_t i = hash_wd(wd) & mask;; i = (i + 1) & mask) {
        int node = index.slots[i];
        if (node < 0) return -1;
        if (t->nodes[node].wd == wd) return node;
    }
}

int index_next_named(const watch_tree *t, int parent, const char *name, size_t length,
                     size_t *slot, bool first) {
    const node_index &index = t->by_name;
    if (!index.slot_count) return -1;
    size_t mask = index.slot_count - 1;
    size_t i = first ? hash_name(parent, name, length) & mask : (*slot + 1) & mask;
    for (;; i = (i + 1) & mask) {
        int node = index.slots[i];
        if (node < 0) return -1;
        const tree_node &n = t->nodes[node];
        if (n.parent == parent && n.name_length == length && memcmp(n.name, name, length) == 0) {
            *slot = i;
            return node;
        }
    }
}
