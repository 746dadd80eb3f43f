// Turning a path into its extended-length form, so that files deep in a tree
// are opened and not taken for gone.
#include "long_paths.h"

#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

bool starts_with(const wchar_t *text, const wchar_t *prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

bool join(wchar_t *out, size_t capacity, const wchar_t *prefix, const wchar_t *rest) {
    size_t a = wcslen(prefix), b = wcslen(rest);
    if (a + b >= capacity) return false;
    wmemcpy(out, prefix, a);
    wmemcpy(out + a, rest, b + 1);
    return true;
}

} // namespace

bool extended_length_form(const wchar_t *full, wchar_t *out, size_t capacity) {
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
        return join(out, capacity, L"", full);
    }
    if (starts_with(full, L"\\\\")) return join(out, capacity, L"\\\\?\\UNC\\", full + 2);
    return join(out, capacity, L"\\\\?\\", full);
}

#ifdef _WIN32
bool extended_path(const wchar_t *path, wchar_t *out, size_t capacity) {
    wchar_t full[LONG_PATH_UNITS];
    DWORD length = GetFullPathNameW(path, LONG_PATH_UNITS, full, nullptr);
    return length != 0 && length < LONG_PATH_UNITS &&
           extended_length_form(full, out, capacity);
}
#endif
