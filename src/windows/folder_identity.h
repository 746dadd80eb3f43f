// What tells one folder from another, whatever its path: the volume and the
// file's id on it. A handle's own path is no help (it keeps the old name
// after a rename), and the 64-bit file index is not unique on every file
// system (ReFS ids take 128 bits), so the 128-bit id is taken where the
// platform gives it and the 64-bit index kept beside it for where it does not.
#pragma once

#include <stdint.h>

struct folder_identity {
    bool has_id;            // the 128-bit id below was given
    uint64_t volume;        // with the 128-bit id
    unsigned char id[16];
    uint32_t index_volume;  // the volume serial number with the index
    uint64_t index;
};

// Whether two identities name the same folder: by the 128-bit ids when both
// have one, else by the index.
bool same_folder(const folder_identity &a, const folder_identity &b);

#ifdef _WIN32
#include <windows.h>

// Reads the identity of an open handle. False when the platform gives
// neither form.
bool read_identity(HANDLE handle, folder_identity *identity);
#endif
