// Splitting the directory list and composing full paths.
#include <stdio.h>
#include <string.h>

#include "monitor.h"

bool split_fields(char *list, bool (*start)(void *context, const char *field),
                  void *context) {
    // Only the main thread splits, so strtok's hidden position is its alone.
    for (char *field = strtok(list, ";"); field; field = strtok(nullptr, ";")) {
        if (!start(context, field)) return false;
    }
    return true;
}

bool compose_path(char *out, size_t capacity, const char *directory,
                  char separator, const char *relative) {
    int n = snprintf(out, capacity, "%s%c%s", directory, separator, relative);
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

void describe_long_path(char *out, size_t capacity, const char *directory,
                        char separator, const char *relative) {
    const char *last = strrchr(relative, separator);
    last = last ? last + 1 : relative;
    snprintf(out, capacity, "%s%c...%c%s", directory, separator, separator, last);
}
