// The fanotify reader's cache of where directories are: a directory's file
// handle to its absolute path, as the events read so far place it. Filled
// from the events that make or move a directory (so a path is where the
// directory was when the event happened) and from the kernel on a miss.
//
// Bounded: 512 sets of 8 slots, the set chosen by the handle's hash; a full
// set gives up its least recently used slot. A directory renamed drops every
// path cached below its old one, so nothing cached names where a folder no
// longer is; a deleted one drops its own (a folder is empty when it goes).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fanotify_records.h"
#include "handle_slots.h"

// Paths longer than this are not cached, nor handles too long to key (both
// are looked up in the kernel every time). A slot takes about half a KiB,
// the cache 2 MiB once full.
static const size_t CACHE_PATH_MAX = 464;
static const size_t CACHE_WAYS = 8;
static const size_t CACHE_SETS = 512;

struct cache_slot {
    handle_key key;
    uint32_t path_length;
    char path[CACHE_PATH_MAX];
};

struct path_cache {
    cache_slot *slots; // CACHE_SETS * CACHE_WAYS
    uint32_t clock;
};

bool cache_init(path_cache *cache);
void cache_release(path_cache *cache);

// The cached path of handle, or null. Not terminated: *length says its end.
const char *cache_find(path_cache *cache, const fan_handle &handle, size_t *length);

// Caches path for handle, replacing what was cached for it. A handle or a
// path too long to cache drops what was cached for that handle instead.
void cache_put(path_cache *cache, const fan_handle &handle, const char *path, size_t length);

// Forgets handle.
void cache_drop(path_cache *cache, const fan_handle &handle);

// Forgets path and every path below it.
void cache_drop_below(path_cache *cache, const char *path, size_t length);

// Forgets everything: after lost events, or when mounts changed.
void cache_clear(path_cache *cache);
