// Whether the field still names the watched folder, and what happens when
// it does not. The handle follows the folder, not the path the user gave, so
// the field is opened again and compared by identity: the same folder back
// is caught up on, another folder is watched from the start, a field that
// names nothing is waited for, a network fault tried again with back-off.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include "watch_retry.h"
#include "watch_state.h"

namespace {

// Opens the field by its path, as the watch did, for its identity. 0, or
// why it cannot be. When the identity is not the watched one, a file under
// the field's name is no folder to watch either: ERROR_DIRECTORY.
DWORD look_at_field(const os_watch *watch, folder_identity *identity) {
    HANDLE field = CreateFileW(watch->path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (field == INVALID_HANDLE_VALUE) return GetLastError();
    FILE_BASIC_INFO basic;
    DWORD error = 0;
    if (!read_identity(field, identity) ||
        !GetFileInformationByHandleEx(field, FileBasicInfo, &basic, sizeof basic)) {
        error = GetLastError();
    } else if (!(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !same_folder(*identity, watch->identity)) {
        error = ERROR_DIRECTORY;
    }
    CloseHandle(field);
    return error;
}

void went_away(os_watch *watch, DWORD error);

// The field names the folder again (since: what changed from then is
// reported), or another folder (since 0: all of it).
void watch_again(os_watch *watch, uint64_t since) {
    DWORD error = start_watching(watch);
    if (error) {
        went_away(watch, error);
        return;
    }
    // Once the first wait is issued, so that nothing falls between.
    watch->catch_up = true;
    watch->catch_up_since = since;
}

// The field cannot be watched now, for error: one line, then tries again.
void went_away(os_watch *watch, DWORD error) {
    watch->away_since = watch->drained_since;
    watch->attempts = 0;
    if (is_transient_network_error(error)) {
        char why[48];
        snprintf(why, sizeof why, "Windows error %lu", error);
        hand_line(watch, RECORD_FIELD_UNREACHABLE, why);
        watch->state = FIELD_UNREACHABLE;
        watch->next_try = GetTickCount64() + retry_delay_ms(0);
    } else {
        hand_line(watch, RECORD_FIELD_GONE, "");
        watch->state = FIELD_GONE;
        watch->next_try = GetTickCount64() + CHECK_INTERVAL_MS;
    }
}

// The field no longer names the watched folder: the waits end, and what
// they gathered before is handed on, then the field's state.
void field_changed(os_watch *watch, DWORD error) {
    DWORD length;
    reader_close(&watch->reader, &length);
    if (length) hand_records(watch, length);
    if (error) {
        went_away(watch, error);
    } else {
        hand_line(watch, RECORD_FIELD_REPLACED, "");
        watch_again(watch, 0);
    }
}

} // namespace

DWORD start_watching(os_watch *watch) {
    DWORD error = reader_open(&watch->reader, watch->path);
    if (!error && !read_identity(reader_handle(&watch->reader), &watch->identity)) {
        error = GetLastError();
        DWORD none;
        reader_close(&watch->reader, &none);
    }
    watch->state = FIELD_WATCHED;
    watch->last_issue = 0;
    watch->next_check = GetTickCount64() + CHECK_INTERVAL_MS;
    return error;
}

bool check_field(os_watch *watch) {
    watch->next_check = GetTickCount64() + CHECK_INTERVAL_MS;
    folder_identity identity;
    DWORD error = look_at_field(watch, &identity);
    if (!error && same_folder(identity, watch->identity)) return true;
    field_changed(watch, error);
    return false;
}

bool wait_failed(os_watch *watch, DWORD error) {
    if (!is_transient_network_error(error)) return !check_field(watch);
    DWORD none;
    reader_close(&watch->reader, &none);
    went_away(watch, error);
    return true;
}

void try_again(os_watch *watch) {
    ULONGLONG tick = GetTickCount64();
    if (tick < watch->next_try) Sleep(static_cast<DWORD>(watch->next_try - tick));
    folder_identity identity;
    DWORD error = look_at_field(watch, &identity);
    if (!error) {
        bool same = same_folder(identity, watch->identity);
        hand_line(watch, same ? RECORD_FIELD_BACK : RECORD_FIELD_REPLACED, "");
        watch_again(watch, same ? watch->away_since : 0);
        return;
    }
    if (is_transient_network_error(error)) {
        // The outage goes on: no new line.
        watch->state = FIELD_UNREACHABLE;
        watch->next_try = GetTickCount64() + retry_delay_ms(++watch->attempts);
        return;
    }
    if (watch->state == FIELD_UNREACHABLE) hand_line(watch, RECORD_FIELD_GONE, "");
    watch->state = FIELD_GONE;
    watch->next_try = GetTickCount64() + CHECK_INTERVAL_MS;
}
