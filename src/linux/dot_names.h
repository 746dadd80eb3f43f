// "." and "..": a folder's names for itself and its parent, never an entry
// of its own, nor a step a walk below a folder may take.
#pragma once

#include <stddef.h>
#include <string.h>

inline bool is_dot_name(const char *name, size_t length) {
    return (length == 1 || length == 2) && name[0] == '.' && (length == 1 || name[1] == '.');
}

// The same, for a name ended by a null byte.
inline bool is_dot_name(const char *name) { return is_dot_name(name, strnlen(name, 3)); }
