// How the Linux layer's parts hand a record on toward the watcher.
#pragma once

#include "os.h"

// Hands a record on; false when it could not be queued (it was dropped, and
// its caller owes it: a dirty folder, a walk's mark kept).
typedef bool (*hand_record_fn)(void *context, const watch_record *record);
