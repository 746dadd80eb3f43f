// The fixed tables the fanotify reader keeps by folder handle (its path
// cache, its deep folders, its ignore marks): a handle's hash picks a set of
// a few slots, and a full set gives up the slot unused the longest. Each
// table's slot type starts with a handle_key named key; the rest is the
// table's own.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "fanotify_records.h"

// Handles longer than this are not kept (common filesystems use 8 to 40
// bytes): the tables look them up in the kernel every time.
static const size_t HANDLE_KEY_MAX = 40;

struct handle_key {
    uint64_t fsid;
    int32_t type;
    uint32_t size;    // 0: a free slot
    uint32_t used_at; // the table's clock when the slot was last used
    unsigned char bytes[HANDLE_KEY_MAX];
};

inline bool key_fits(const fan_handle &h) { return h.size != 0 && h.size <= HANDLE_KEY_MAX; }

inline bool key_holds(const handle_key &k, const fan_handle &h) {
    return k.size != 0 && k.size == h.size && k.fsid == h.fsid && k.type == h.type &&
           memcmp(k.bytes, h.bytes, h.size) == 0;
}

// The slot keeping h among sets * ways slots, or null.
template <typename Slot> Slot *slot_keeping(Slot *slots, size_t sets, size_t ways, const fan_handle &h) {
    if (!key_fits(h)) return nullptr;
    Slot *set = slots + fan_handle_hash(h) % sets * ways;
    for (size_t i = 0; i < ways; i++) {
        if (key_holds(set[i].key, h)) return &set[i];
    }
    return nullptr;
}

// The slot of h's set to give to h (which fits): a free one if there is
// one, else the one unused the longest, whose key the caller overwrites
// (after giving up what it held).
template <typename Slot>
Slot *slot_to_take(Slot *slots, size_t sets, size_t ways, const fan_handle &h, uint32_t clock) {
    Slot *set = slots + fan_handle_hash(h) % sets * ways;
    Slot *s = &set[0];
    for (size_t i = 0; i < ways && s->key.size != 0; i++) {
        if (set[i].key.size == 0 || clock - set[i].key.used_at > clock - s->key.used_at) s = &set[i];
    }
    return s;
}

// Keys a slot to h (which fits).
inline void key_set(handle_key *k, const fan_handle &h) {
    k->fsid = h.fsid;
    k->type = h.type;
    k->size = h.size;
    memcpy(k->bytes, h.bytes, h.size);
}
