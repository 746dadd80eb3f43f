// The fanotify reader's ignore marks: folders outside the field whose
// children's creations, deletions and writes the kernel drops before they
// are queued, so a busy writer elsewhere on a marked filesystem costs the
// reader an event or two per folder rather than one per change. A mark asks
// nothing about renames (a folder moved from an ignored place into the field
// still makes its event), and it is evictable: the kernel may drop it with the folder's inode, after which the
// folder's events come again and it is placed again.
//
// What keeps a mark from hiding a change to report is the reader's (see
// fanotify_reader.cpp): a mark goes only on a folder the kernel places
// outside the field and not above its root at that moment; every mark goes
// at once, before anything is walked, whenever a folder may have come inside.
// Writes are ignored only while no hard-linked file is followed: a write
// through a name outside the field reaches the reader only by the event of
// the folder holding that name, and the kernel applies that folder's ignore
// mask even to a file that has a mark of its own.
//
// Bounded: IGNORE_SETS sets of IGNORE_WAYS folders, the set chosen by the
// folder's handle; a full set gives up its least recently used folder, whose
// mark is removed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fanotify_records.h"
#include "handle_slots.h"

static const size_t IGNORE_SETS = 256;
static const size_t IGNORE_WAYS = 16;
// After this many events of kinds a folder's mark ignores, the mark is taken
// as dropped by the kernel and placed again (until then they are events
// queued before it was placed).
static const uint32_t IGNORE_REPLACE_AFTER = 64;

struct ignored_folder {
    handle_key key;
    uint32_t hits; // events of ignored kinds read since it was placed
    uint64_t mask; // what its mark ignores
};

// Opens (O_PATH) the folder a handle names; 0, or an errno.
typedef int (*ignore_open_fn)(void *context, const fan_handle &folder, int *fd);

struct ignore_marks {
    int fan_fd;
    ignore_open_fn open;
    void *context;
    bool refused;          // the kernel takes no such mark: none is placed
    bool stray;            // a mark may be held that no slot names
    bool writes;           // a mark that ignores writes may be held
    int held;              // slots in use
    uint32_t clock;
    unsigned long placed;  // marks placed, for the benchmark's count
    ignored_folder *slots; // IGNORE_SETS * IGNORE_WAYS, pages taken as used
};

// The kinds of change ignored: of every child, or (while hard-linked files
// are followed) only the names made and removed.
uint64_t ignore_mask(bool writes);

bool ignores_init(ignore_marks *marks, int fan_fd, ignore_open_fn open, void *context);
void ignores_release(ignore_marks *marks);

// An event of event_mask from folder, which lies outside the field: the
// mask its mark is to have now (the folder is not marked, its mark lacks
// the kinds now wanted, or the kernel dropped it), or 0 when none is to be
// placed. Counts the event.
uint64_t ignores_wanted(ignore_marks *marks, const fan_handle &folder, uint64_t event_mask,
                        bool writes);

// Marks the folder open at fd (checked by the caller) with mask and keeps
// it, giving up the set's least recently used one when full. When the
// kernel refuses the kind of mark, none is asked for again.
void ignores_place(ignore_marks *marks, const fan_handle &folder, int fd, uint64_t mask);

// Removes every mark, known or not: a folder may have come inside.
void ignores_flush(ignore_marks *marks);

// Whether a mark that ignores writes may be held.
bool ignores_hide_writes(const ignore_marks *marks);
