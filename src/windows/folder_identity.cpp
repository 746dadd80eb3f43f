// Reading and comparing folder identities.
#include "folder_identity.h"

#include <string.h>

bool same_folder(const folder_identity &a, const folder_identity &b) {
    if (a.has_id && b.has_id) {
        return a.volume == b.volume && memcmp(a.id, b.id, sizeof a.id) == 0;
    }
    return a.index_volume == b.index_volume && a.index == b.index;
}

#ifdef _WIN32
bool read_identity(HANDLE handle, folder_identity *identity) {
    memset(identity, 0, sizeof *identity);
    FILE_ID_INFO id;
    identity->has_id = GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id);
    if (identity->has_id) {
        identity->volume = id.VolumeSerialNumber;
        memcpy(identity->id, id.FileId.Identifier, sizeof identity->id);
    }
    // Kept in any case: the next look may be refused the 128-bit form.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return identity->has_id;
    identity->index_volume = info.dwVolumeSerialNumber;
    identity->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}
#endif
