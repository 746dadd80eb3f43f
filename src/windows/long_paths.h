// Extended-length paths: the form (\\?\C:\..., \\?\UNC\server\share\...) in
// which the platform takes a path of any length up to 32767 characters,
// without the 260-character limit of the plain form.
#pragma once

#include <stddef.h>

// The longest path the platform takes, in UTF-16 code units, terminator
// included.
static const size_t LONG_PATH_UNITS = 32768;

// Writes the extended-length form of a full path: \\?\ before a drive path,
// \\?\UNC\ in place of the two backslashes of a share path, and a path that
// already names a device or an extended-length path (\\?\, \\.\) unchanged.
// False when out cannot hold it.
bool extended_length_form(const wchar_t *full, wchar_t *out, size_t capacity);

#ifdef _WIN32
// The extended-length form of path as the platform resolves it now: against
// the current directory, with . and .. and trailing dots and spaces of a name
// taken away, which the extended form no longer does by itself.
bool extended_path(const wchar_t *path, wchar_t *out, size_t capacity);
#endif
