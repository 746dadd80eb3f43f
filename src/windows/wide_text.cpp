// UTF-8 to UTF-16 and back with the platform's own conversion, strict both
// ways: a name that does not convert exactly is refused, never altered.
#include "wide_text.h"

#include <windows.h>

#include <limits.h>

namespace {

int clamp(size_t capacity) {
    return capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
}

} // namespace

bool utf8_to_wide(const char *text, wchar_t *out, size_t capacity) {
    // -1: the terminator is converted too, so a result that fits ends in one.
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out,
                               clamp(capacity)) > 0;
}

bool wide_to_utf8(const wchar_t *text, char *out, size_t capacity) {
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, clamp(capacity),
                               nullptr, nullptr) > 0;
}
