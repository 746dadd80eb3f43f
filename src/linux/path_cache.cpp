// The bounded handle-to-path cache of the fanotify reader.
#include "path_cache.h"

#include <stdlib.h>
#include <string.h>

namespace {

size_t set_of(const fan_handle &h) { return static_cast<size_t>(fan_handle_hash(h) % CACHE_SETS); }

bool holds(const cache_slot &s, const fan_handle &h) {
    return s.handle_size != 0 && s.handle_size == h.size && s.fsid == h.fsid &&
           s.type == h.type && memcmp(s.handle, h.bytes, h.size) == 0;
}

cache_slot *slot_of(path_cache *c, const fan_handle &h) {
    if (h.size == 0 || h.size > CACHE_HANDLE_MAX) return nullptr;
    cache_slot *set = c->slots + set_of(h) * CACHE_WAYS;
    for (size_t i = 0; i < CACHE_WAYS; i++) {
        if (holds(set[i], h)) return &set[i];
    }
    return nullptr;
}

} // namespace

bool cache_init(path_cache *c) {
    c->clock = 0;
    // Zeroed pages are taken only as slots are used.
    c->slots = static_cast<cache_slot *>(calloc(CACHE_SETS * CACHE_WAYS, sizeof(cache_slot)));
    return c->slots != nullptr;
}

void cache_release(path_cache *c) {
    free(c->slots);
    c->slots = nullptr;
}

const char *cache_find(path_cache *c, const fan_handle &h, size_t *length) {
    cache_slot *s = slot_of(c, h);
    if (!s) return nullptr;
    s->used_at = ++c->clock;
    *length = s->path_length;
    return s->path;
}

void cache_put(path_cache *c, const fan_handle &h, const char *path, size_t length) {
    cache_slot *s = slot_of(c, h);
    if (length > CACHE_PATH_MAX || h.size == 0 || h.size > CACHE_HANDLE_MAX) {
        if (s) s->handle_size = 0;
        return;
    }
    if (!s) {
        cache_slot *set = c->slots + set_of(h) * CACHE_WAYS;
        s = &set[0];
        for (size_t i = 0; i < CACHE_WAYS && s->handle_size != 0; i++) {
            // A free slot if there is one, else the one unused the longest.
            if (set[i].handle_size == 0 || c->clock - set[i].used_at > c->clock - s->used_at) {
                s = &set[i];
            }
        }
    }
    s->fsid = h.fsid;
    s->type = h.type;
    s->handle_size = h.size;
    memcpy(s->handle, h.bytes, h.size);
    memcpy(s->path, path, length);
    s->path_length = static_cast<uint32_t>(length);
    s->used_at = ++c->clock;
}

void cache_drop(path_cache *c, const fan_handle &h) {
    if (cache_slot *s = slot_of(c, h)) s->handle_size = 0;
}

void cache_drop_below(path_cache *c, const char *path, size_t length) {
    for (size_t i = 0; i < CACHE_SETS * CACHE_WAYS; i++) {
        cache_slot &s = c->slots[i];
        if (s.handle_size == 0 || s.path_length < length) continue;
        if (memcmp(s.path, path, length) != 0) continue;
        if (s.path_length == length || s.path[length] == '/') s.handle_size = 0;
    }
}

void cache_clear(path_cache *c) {
    memset(c->slots, 0, CACHE_SETS * CACHE_WAYS * sizeof(cache_slot));
}
