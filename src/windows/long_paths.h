// Exact paths: the extended-length form (\\?\C:\..., \\?\UNC\server\share\...)
// in which the platform takes a path of any length up to 32767 characters and
// opens exactly the names given. The plain form would strip a trailing dot or
// space from every name and take con or nul.txt for a device, so a file
// named that way would never be the one opened; the plain form is therefore
// never handed to the platform, and a path is composed here instead.
#pragma once

#include <stddef.h>

// The longest path the platform takes, in UTF-16 code units, terminator
// included.
static const size_t LONG_PATH_UNITS = 32768;

enum path_form {
    PATH_ABSOLUTE,       // C:\..., \\server\share\..., \\?\..., \\.\...
    PATH_DRIVE_RELATIVE, // C: or C:dir: against that drive's current folder
    PATH_ROOT_RELATIVE,  // \dir: against the current folder's drive or share
    PATH_RELATIVE,       // dir: against the current folder
};

path_form path_form_of(const wchar_t *path);

// Writes the extended-length form of path; a relative form is taken against
// base, an absolute path (the folder it is relative to). Only what cannot be
// a name is resolved: . and .. components (never above the drive or share),
// repeated separators, and / for \. Every name is kept as it is, trailing
// dots and spaces and device names included. A path already in the
// extended-length or device form (\\?\, \\.\) is taken unchanged. False when
// out cannot hold the result.
bool exact_path(const wchar_t *path, const wchar_t *base, wchar_t *out, size_t capacity);

// The part of path below folder (both exact paths), counted by separators,
// not compared: path may name the folder's own components differently (their
// long forms where folder has short ones). Null when path has no part below.
const wchar_t *name_below(const wchar_t *folder, const wchar_t *path);

#ifdef _WIN32
// exact_path against the process's current folder, or, for C:dir, the
// current folder of that drive.
bool exact_path_now(const wchar_t *path, wchar_t *out, size_t capacity);
#endif
