// The C runtime's parse of the one argument after a quoted program name: how
// the detection executable reads the command line the monitor builds.
#pragma once

#include <string>

inline std::string crt_parse_argument(const std::string &line) {
    size_t i = line.find("\" ") + 2;
    std::string out;
    bool quoted = false;
    while (i < line.size()) {
        size_t backslashes = 0;
        while (i < line.size() && line[i] == '\\') backslashes++, i++;
        if (i < line.size() && line[i] == '"') {
            out.append(backslashes / 2, '\\');
            if (backslashes % 2) {
                out += '"';
            } else {
                quoted = !quoted;
            }
            i++;
            continue;
        }
        out.append(backslashes, '\\');
        if (i == line.size() || (line[i] == ' ' && !quoted)) break;
        out += line[i++];
    }
    return out;
}
