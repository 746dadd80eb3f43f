// Run under Wine or Windows: compares utf16le_to_utf8 with the platform's
// WideCharToMultiByte on many generated names. Exit status 0 when they agree.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "change_records.h"

namespace {

const int CASES = 200000;
const int MAX_UNITS = 24;

unsigned long long state = 0x9E3779B97F4A7C15ULL;

unsigned next_random() {
    // xorshift64*: reproducible from run to run.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<unsigned>((state * 0x2545F4914F6CDD1DULL) >> 32);
}

// Draws mostly from the ranges where conversions differ: surrogates, the
// edges of each UTF-8 length, and plain ASCII.
WCHAR random_unit() {
    static const unsigned EDGES[] = {0x7F,   0x80,   0x7FF,  0x800,  0xD7FF, 0xD800,
                                     0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    switch (next_random() % 6) {
    case 0: return static_cast<WCHAR>(0x20 + next_random() % 0x5F);
    case 1: return static_cast<WCHAR>(0xD800 + next_random() % 0x400);
    case 2: return static_cast<WCHAR>(0xDC00 + next_random() % 0x400);
    case 3: return static_cast<WCHAR>(EDGES[next_random() % (sizeof EDGES / sizeof EDGES[0])]);
    default: return static_cast<WCHAR>(1 + next_random() % 0xFFFF);
    }
}

char ours[NOTIFY_NAME_BYTES];
char theirs[NOTIFY_NAME_BYTES];
unsigned char bytes[2 * MAX_UNITS];

} // namespace

int main() {
    int mismatches = 0;
    for (int c = 0; c < CASES && mismatches < 10; c++) {
        WCHAR units[MAX_UNITS];
        int count = 1 + static_cast<int>(next_random() % MAX_UNITS);
        for (int i = 0; i < count; i++) {
            units[i] = random_unit();
            bytes[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
        }
        utf8_result result =
            utf16le_to_utf8(bytes, static_cast<size_t>(count), ours, sizeof ours);
        int strict = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, count, theirs,
                                         static_cast<int>(sizeof theirs) - 1, nullptr, nullptr);
        DWORD error = strict > 0 ? 0 : GetLastError();
        bool agree;
        if (strict > 0) {
            theirs[strict] = '\0';
            agree = result == UTF8_EXACT && strcmp(ours, theirs) == 0;
        } else {
            // The platform refuses the name; ours must say it cannot be
            // handed on, and name it as the platform's lenient form does.
            int lenient = WideCharToMultiByte(CP_UTF8, 0, units, count, theirs,
                                              static_cast<int>(sizeof theirs) - 1, nullptr,
                                              nullptr);
            theirs[lenient > 0 ? lenient : 0] = '\0';
            agree = error == ERROR_NO_UNICODE_TRANSLATION && result == UTF8_REPLACED &&
                    strcmp(ours, theirs) == 0;
        }
        if (!agree) {
            mismatches++;
            printf("mismatch in case %d:", c);
            for (int i = 0; i < count; i++) printf(" %04X", units[i]);
            printf("\n");
        }
    }
    printf("%d cases, %d mismatches\n", CASES, mismatches);
    return mismatches == 0 ? 0 : 1;
}
