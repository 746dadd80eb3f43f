// Text at the platform boundary: the wide calls take UTF-16, and everything
// inside the monitor is UTF-8, whatever code page the process runs in.
#pragma once

#include <stddef.h>

// Converts UTF-8 text into a terminated wide string. False when the text is
// not UTF-8 or out cannot hold it. capacity, in both, must be at least 1.
bool utf8_to_wide(const char *text, wchar_t *out, size_t capacity);

// Converts a terminated wide string into UTF-8. False when it is not valid
// UTF-16 (an unpaired surrogate) or out cannot hold it.
bool wide_to_utf8(const wchar_t *text, char *out, size_t capacity);
