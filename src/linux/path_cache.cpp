// The bounded handle-to-path cache of the fanotify reader.
#include "path_cache.h"

#include <stdlib.h>
#include <string.h>

namespace {

cache_slot *slot_of(path_cache *c, const fan_handle &h) {
    return slot_keeping(c->slots, CACHE_SETS, CACHE_WAYS, h);
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
    s->key.used_at = ++c->clock;
    *length = s->path_length;
    return s->path;
}

void cache_put(path_cache *c, const fan_handle &h, const char *path, size_t length) {
    cache_slot *s = slot_of(c, h);
    if (length > CACHE_PATH_MAX || !key_fits(h)) {
        if (s) s->key.size = 0;
        return;
    }
    if (!s) {
        s = slot_to_take(c->slots, CACHE_SETS, CACHE_WAYS, h, c->clock);
        key_set(&s->key, h);
    }
    memcpy(s->path, path, length);
    s->path_length = static_cast<uint32_t>(length);
    s->key.used_at = ++c->clock;
}

void cache_drop(path_cache *c, const fan_handle &h) {
    if (cache_slot *s = slot_of(c, h)) s->key.size = 0;
}

void cache_drop_below(path_cache *c, const char *path, size_t length) {
    for (size_t i = 0; i < CACHE_SETS * CACHE_WAYS; i++) {
        cache_slot &s = c->slots[i];
        if (s.key.size == 0 || s.path_length < length) continue;
        if (memcmp(s.path, path, length) != 0) continue;
        if (s.path_length == length || s.path[length] == '/') s.key.size = 0;
    }
}

void cache_clear(path_cache *c) {
    memset(c->slots, 0, CACHE_SETS * CACHE_WAYS * sizeof(cache_slot));
}
