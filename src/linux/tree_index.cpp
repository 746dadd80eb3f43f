// The tree's indexes: node numbers found by the hash of a key.
#include "tree_index.h"

#include <stdlib.h>

namespace {

const size_t FIRST_SLOTS = 64;

bool grow(node_index *index) {
    size_t count = index->slot_count ? index->slot_count * 2 : FIRST_SLOTS;
    int *slots = static_cast<int *>(malloc(count * sizeof *slots));
    if (!slots) return false;
    for (size_t i = 0; i < count; i++) slots[i] = -1;
    for (size_t i = 0; i < index->slot_count; i++) {
        int node = index->slots[i];
        if (node < 0) continue;
        size_t j = index->hash_of(index->context, node) & (count - 1);
        while (slots[j] >= 0) j = (j + 1) & (count - 1);
        slots[j] = node;
    }
    free(index->slots);
    index->slots = slots;
    index->slot_count = count;
    return true;
}

} // namespace

void index_init(node_index *index, node_hash_fn hash_of, const void *context) {
    *index = node_index{nullptr, 0, 0, hash_of, context};
}

bool index_insert(node_index *index, int node) {
    if ((index->used + 1) * 2 > index->slot_count && !grow(index)) return false;
    size_t mask = index->slot_count - 1;
    size_t j = index->hash_of(index->context, node) & mask;
    while (index->slots[j] >= 0) j = (j + 1) & mask;
    index->slots[j] = node;
    index->used++;
    return true;
}

void index_remove(node_index *index, int node) {
    if (!index->slot_count) return;
    size_t mask = index->slot_count - 1;
    size_t i = index->hash_of(index->context, node) & mask;
    while (index->slots[i] >= 0 && index->slots[i] != node) i = (i + 1) & mask;
    if (index->slots[i] < 0) return;
    for (size_t j = (i + 1) & mask; index->slots[j] >= 0; j = (j + 1) & mask) {
        size_t k = index->hash_of(index->context, index->slots[j]) & mask;
        // Move j back into the hole at i unless its home lies cyclically in (i, j].
        bool stays = (i <= j) ? (i < k && k <= j) : (i < k || k <= j);
        if (!stays) {
            index->slots[i] = index->slots[j];
            i = j;
        }
    }
    index->slots[i] = -1;
    index->used--;
}

void index_release(node_index *index) {
    free(index->slots);
    index->slots = nullptr;
    index->slot_count = index->used = 0;
}

int index_first(const node_index *index, size_t hash, size_t *slot) {
    if (!index->slot_count) return -1;
    *slot = hash & (index->slot_count - 1);
    return index->slots[*slot];
}

int index_next(const node_index *index, size_t *slot) {
    *slot = (*slot + 1) & (index->slot_count - 1);
    return index->slots[*slot];
}
