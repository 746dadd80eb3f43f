// Composing exact paths: a root (drive, share, or what follows \\?\), then
// the names one by one, . and .. resolved against what is already there.
#include "long_paths.h"

#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_drive(const wchar_t *p) {
    return ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':';
}

bool starts_with(const wchar_t *text, const wchar_t *prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// The path being written: its text, and how much of it is the root, which
// .. never takes away.
struct builder {
    wchar_t *out;
    size_t capacity;
    size_t used;
    size_t root;
};

bool put(builder &b, const wchar_t *text, size_t length) {
    if (b.used + length >= b.capacity) return false;
    wmemcpy(b.out + b.used, text, length);
    b.used += length;
    b.out[b.used] = L'\0';
    return true;
}

// Adds the components of text, up to its end.
bool put_names(builder &b, const wchar_t *text) {
    while (*text) {
        while (is_separator(*text)) text++;
        const wchar_t *end = text;
        while (*end && !is_separator(*end)) end++;
        size_t length = static_cast<size_t>(end - text);
        if (length == 2 && text[0] == L'.' && text[1] == L'.') {
            while (b.used > b.root && b.out[b.used - 1] != L'\\') b.used--;
            if (b.used > b.root) b.used--;
            b.out[b.used] = L'\0';
        } else if (length > 0 && !(length == 1 && text[0] == L'.')) {
            if (!put(b, L"\\", 1) || !put(b, text, length)) return false;
        }
        text = end;
    }
    return true;
}

// The next component of text (which starts at one) and the separator after
// it, for a share's server and share names.
const wchar_t *component_end(const wchar_t *text) {
    while (*text && !is_separator(*text)) text++;
    return text;
}

// Writes the root of an absolute path and returns what follows it.
const wchar_t *put_root(builder &b, const wchar_t *path, bool *fits) {
    const wchar_t *rest = path;
    if (starts_with(path, L"\\\\?\\")) {
        // Already exact: a drive, UNC\server\share, or a volume name.
        rest = path + 4;
        size_t components = starts_with(rest, L"UNC\\") ? 3 : 1;
        for (size_t i = 0; i < components; i++) {
            rest = component_end(rest);
            if (i + 1 < components && *rest) rest++;
        }
        *fits = put(b, path, static_cast<size_t>(rest - path));
    } else if (is_drive(path)) {
        rest = path + 2;
        *fits = put(b, L"\\\\?\\", 4) && put(b, path, 2);
    } else {
        // \\server\share
        const wchar_t *server = path + 2;
        const wchar_t *server_end = component_end(server);
        rest = *server_end ? component_end(server_end + 1) : server_end;
        *fits = put(b, L"\\\\?\\UNC\\", 8) &&
                put(b, server, static_cast<size_t>(server_end - server));
        if (*fits && *server_end) {
            *fits = put(b, L"\\", 1) &&
                    put(b, server_end + 1, static_cast<size_t>(rest - server_end - 1));
        }
    }
    b.root = b.used;
    return rest;
}

} // namespace

path_form path_form_of(const wchar_t *path) {
    if (is_drive(path)) return is_separator(path[2]) ? PATH_ABSOLUTE : PATH_DRIVE_RELATIVE;
    if (is_separator(path[0])) return is_separator(path[1]) ? PATH_ABSOLUTE : PATH_ROOT_RELATIVE;
    return PATH_RELATIVE;
}

bool exact_path(const wchar_t *path, const wchar_t *base, wchar_t *out, size_t capacity) {
    builder b = {out, capacity, 0, 0};
    if (capacity == 0) return false;
    out[0] = L'\0';
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\")) {
        return put(b, path, wcslen(path));
    }
    path_form form = path_form_of(path);
    bool fits = true;
    const wchar_t *rest;
    if (form == PATH_ABSOLUTE) {
        rest = put_root(b, path, &fits);
    } else {
        // The base's root, and for a relative form its names too.
        const wchar_t *base_rest = put_root(b, base, &fits);
        if (form != PATH_ROOT_RELATIVE) fits = fits && put_names(b, base_rest);
        rest = form == PATH_DRIVE_RELATIVE ? path + 2 : path;
    }
    fits = fits && put_names(b, rest);
    // The root of a drive or share is a folder only with its separator.
    if (fits && b.used == b.root) fits = put(b, L"\\", 1);
    return fits;
}

const wchar_t *name_below(const wchar_t *folder, const wchar_t *path) {
    // The folder's separators, less one it ends in (a drive's or share's
    // root), and the one after it.
    size_t count = 1, length = wcslen(folder);
    for (size_t i = 0; i < length; i++) count += folder[i] == L'\\';
    if (length > 0 && folder[length - 1] == L'\\') count--;
    for (; *path && count > 0; path++) count -= *path == L'\\';
    return count == 0 && *path ? path : nullptr;
}

#ifdef _WIN32
bool exact_path_now(const wchar_t *path, wchar_t *out, size_t capacity) {
    wchar_t base[LONG_PATH_UNITS];
    DWORD length = 0;
    path_form form = path_form_of(path);
    if (form == PATH_DRIVE_RELATIVE) {
        // The drive's own current folder, which only the platform knows;
        // the drive alone holds no name it could rewrite.
        wchar_t drive[3] = {path[0], L':', L'\0'};
        length = GetFullPathNameW(drive, LONG_PATH_UNITS, base, nullptr);
    } else if (form != PATH_ABSOLUTE) {
        length = GetCurrentDirectoryW(LONG_PATH_UNITS, base);
    } else {
        base[0] = L'\0';
        length = 1;
    }
    return length != 0 && length < LONG_PATH_UNITS && exact_path(path, base, out, capacity);
}
#endif
