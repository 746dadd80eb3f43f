// The hard-linked files a reader follows. A regular file in the watched tree
// that has more than one name may have names outside it: a write through
// those reaches no folder the reader watches, only the file itself. So for
// each name the tree has for such a file, the table keeps the file's key and
// the key of the folder that holds the name; a write through any name of the
// file reaches the reader under the file's key (an inotify watch on the
// file, or the file's handle in a fanotify event) and is reported under
// each name kept for it.
//
// Keys are bytes: a watch descriptor for inotify; the filesystem id, handle
// type and handle bytes for fanotify. Bounded: LINKED_NAMES_MAX names per
// field, in storage reserved when the first is kept (only the pages used
// take memory). Two open-addressing indexes, with twice as many slots as
// names, find a file's names and a name's entry in a few probes.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include "wall_clock.h"

static const int LINKED_NAMES_MAX = 8192;
// Folders a reader lists for linked files already there between two looks
// for events: a fraction of a millisecond.
static const int LINK_FOLDERS_PER_TURN = 16;
// A filesystem id, a handle type and the largest handle the kernel makes.
static const size_t LINKED_KEY_MAX = 8 + 4 + 128;

struct linked_key {
    uint32_t size;
    unsigned char bytes[LINKED_KEY_MAX];
};

// What a file is, when a reader looks at a name for a linked file.
struct linked_stat {
    bool present;       // something stands at the name
    uint64_t device;
    uint64_t inode;
    int64_t changed_at; // status-change time, nanoseconds since the epoch
};

// What a look at a file found.
inline linked_stat linked_stat_of(const struct stat &st) {
    return linked_stat{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), changed_ns(st)};
}

struct linked_name {
    linked_key file;
    linked_key folder;
    uint64_t device; // the file's identity when the name was kept
    uint64_t inode;
    uint32_t file_hash;
    uint32_t place_hash; // of the folder's key and the name
    bool used;
    uint16_t length;
    char name[NAME_MAX + 1];
};

struct linked_files {
    linked_name *names; // LINKED_NAMES_MAX entries, null until the first is kept
    int32_t *by_file;   // slots: an entry's number plus one, 0 when free
    int32_t *by_place;
    int32_t *spare;     // entries freed, to be used again
    int32_t *found;     // what linked_names_of found
    int spare_count;
    int high;           // entries ever used
    int count;          // names kept
    uint32_t seed;
};

// An empty table, with nothing reserved.
void linked_init(linked_files *table);
void linked_release(linked_files *table);
// Forgets every name.
void linked_clear(linked_files *table);

// The entry for name in folder, or -1.
int linked_find(const linked_files *table, const linked_key &folder, const char *name,
                size_t length);

// Keeps a name of file: its entry, or -1 when the table is full (or its
// storage cannot be had).
int linked_add(linked_files *table, const linked_key &file, const linked_key &folder,
               const char *name, size_t length, uint64_t device, uint64_t inode);

void linked_remove(linked_files *table, int entry);

// Makes the table say that name in folder is a name of file, or, with file
// null, of no file followed. *dropped gets the key of a file that lost its
// last name by that (size 0 for none): it is no longer followed. False when
// the name could not be kept: the table is full.
bool linked_set(linked_files *table, const linked_key &folder, const char *name, size_t length,
                const linked_key *file, uint64_t device, uint64_t inode, linked_key *dropped);

// Whether a name of file is kept.
bool linked_follows(const linked_files *table, const linked_key &file);

// The entries of file's names, into table->found: their count. The next
// call reuses found.
int linked_names_of(linked_files *table, const linked_key &file);

// A key of bytes; false when they do not fit.
bool linked_key_of(linked_key *key, const void *bytes, size_t size);
