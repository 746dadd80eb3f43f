// Translation of fanotify events into records. The events name a directory
// by its file handle and the changed entry by its name; the directory's path
// comes from the path cache, else from the kernel, and is checked against
// the events still to be read: if one of them moves or deletes that folder,
// its place then (parent and name) is where it was when this event happened.
// The kernel is reached only through fan_ops, so tests can feed crafted
// events against a fake one.
//
// What becomes a record, as the inotify reader reports it: a file created,
// written, closed after writing, deleted, and both names of a file renamed,
// each under the root. Folders are not reported; one moved in from outside
// the root has every file below it reported, and one renamed within it what
// changed in it lately. Changes made by the monitor's own processes are not
// reported, but still move the cache. Nor are writes to a file that has no
// name yet (O_TMPFILE): its link is a create.
//
// Hard links: a write through a name outside the root is an event of the
// filesystem's mark too, naming the file by its handle. A name under the
// root that holds a regular file with more than one link is kept with the
// file's handle (linked_files.h) when the file is reported; a write to that
// file through any other name is reported under the names kept.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "capacities.h"
#include "fanotify_records.h"
#include "linked_files.h"
#include "os.h"
#include "path_cache.h"

struct fan_ops {
    // The absolute path of a directory now, into out; 0, or an errno: ESTALE
    // when it is gone, ENAMETOOLONG when it is under the root but deeper
    // than any path, EXDEV when it is outside the root, deeper than any path.
    int (*resolve)(void *context, const fan_handle &directory, char *out, size_t capacity,
                   size_t *length);
    // Reads events queued since into at[0, room); the bytes added, 0 for none.
    size_t (*read_more)(void *context, unsigned char *at, size_t room);
    // Whether a change by pid, with pidfd the kernel's descriptor of that
    // process (negative for none), is the monitor's own or its detector's.
    bool (*ignored)(void *context, int32_t pid, int32_t pidfd);
    // Reports every file below the directory at relative (arrived in the
    // tree), known by handle when not null.
    void (*report_below)(void *context, const char *relative, const fan_handle *directory);
    // A directory renamed within the tree: what changed in it lately is to be
    // reported under its new path (records still waiting name the old one).
    void (*moved_within)(void *context, const fan_handle &directory);
    // Whether an entry is at the absolute path now (a link is not followed).
    bool (*named)(void *context, const char *path);
    void *context;
    // Whether file (a handle from an event) is a regular file with more
    // than one link now; *stat says what it is, when it can be found: by
    // its handle, else at path (when given) if the handle there is the same.
    // Null where hard links are not followed.
    bool (*linked_at)(void *context, const fan_handle &file, const char *path, linked_stat *stat);
    // A file's change of kinds mask came from a folder placed outside the
    // root: the kernel may be asked to drop such changes there. Null: never.
    void (*outside)(void *context, const fan_handle &folder, uint64_t mask);
    // A folder came inside the root from outside or from a place not known:
    // told before it is walked. Null: not told.
    void (*entered)(void *context);
    // The first name of a hard-linked file is about to be kept: true when
    // writes through names elsewhere may have been dropped until now (the
    // file is then reported again, once followed). Null: never.
    bool (*following)(void *context);
};

// Directory moves and deletions of one buffer: where each event starts. As
// many as a buffer of events can hold, near enough: the moves of the whole
// filesystem are in it.
static const size_t FAN_MOVES_MAX = 32768;

struct fan_translator {
    const char *root; // absolute, links resolved
    size_t root_length;
    fan_ops ops;
    path_cache cache;
    size_t moves[FAN_MOVES_MAX];
    size_t move_count;
    size_t indexed_to; // bytes of the buffer looked at for moves
    // Folder moves into, out of or within the root, or from or to a place
    // not known, and losses: each may change which side of the root a
    // folder too deep for a path lies on.
    unsigned long edge_moves;
    linked_files links; // names under the root of hard-linked files
    bool links_told;    // the line that not every link is followed was given
    bool links_lost;    // events were lost: the reader looks for linked files again
    bool links_stale;   // a folder left the root since names were last cleaned up
    char relative[PATH_CAPACITY];
    char path[PATH_CAPACITY]; // of the file reported last
};

// A file handle as a key of the linked files; size 0 when it does not fit.
linked_key fan_handle_key(const fan_handle &handle);

// Keeps name in folder as a name of file (null: of no file followed); when
// the table is full, says once that not every link is followed.
void translator_keep_linked(fan_translator *t, const linked_key &folder, const char *name,
                            size_t length, const linked_key *file, const linked_stat &stat,
                            record_fn on_record, void *context);

// The part of path below the root ("" for the root itself), or null.
const char *translator_below_root(const fan_translator *t, const char *path, size_t length);

// False when the cache cannot be had.
bool translator_init(fan_translator *t, const char *root, const fan_ops *ops);
void translator_release(fan_translator *t);

// Translates the events in buffer[0, *length), in order, into records.
// Events read meanwhile are appended up to capacity and translated too.
void translate_events(fan_translator *t, unsigned char *buffer, size_t *length, size_t capacity,
                      record_fn on_record, void *context);
