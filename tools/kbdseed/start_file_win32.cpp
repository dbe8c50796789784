#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "file_access.h"
#include "start_file.h"

namespace {

const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;

bool write_all(HANDLE file, const uint8_t *data, size_t count)
{
    while (count > 0) {
        const DWORD chunk = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        count -= written;
    }
    return true;
}

/* Writes over the existing file. A disk file is cut to the new length only
 * once the new bytes are on the disk: a full disk then fails the write while
 * the file still holds a whole seed. */
enum start_file_status write_in_place(const char *path, const uint8_t *data, size_t count,
                                      bool disk_file, bool *access_set)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return START_FILE_OPEN_FAILED;
    bool ok = write_all(file, data, count);
    if (disk_file) {
        ok = ok && FlushFileBuffers(file) != 0 && SetEndOfFile(file) != 0;
    }
    ok = CloseHandle(file) != 0 && ok;
    if (!ok) return START_FILE_WRITE_FAILED;
    *access_set = file_access_grant_everyone(path, START_FILE_ACCESS) == 0;
    return START_FILE_WRITTEN;
}

/* What is at path: nothing, a folder, a device, a link or a file. */
enum existing_kind { NOTHING, FOLDER, DEVICE, LINK, DISK_FILE };

existing_kind existing_at(const char *path)
{
    /* Opened for no access at all, only to ask; folders need the backup flag. */
    HANDLE probe = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return NOTHING;
    const DWORD type = GetFileType(probe);
    CloseHandle(probe);
    if (type != FILE_TYPE_DISK) return DEVICE;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return NOTHING;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FOLDER;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return LINK;
    return DISK_FILE;
}

} // namespace

bool start_file_exists(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

enum start_file_status start_file_replace(const char *path, const uint8_t *data, size_t count,
                                          unsigned, bool *access_set, char *why, size_t why_size)
{
    *access_set = false;
    if (why_size > 0) why[0] = '\0';
    const existing_kind existing = existing_at(path);
    if (existing == FOLDER) return START_FILE_OPEN_FAILED;
    /* A device is written as it is; through a link, the file it points to is
     * written where it lies, and the link stays. */
    if (existing == DEVICE || existing == LINK) {
        return write_in_place(path, data, count, existing == LINK, access_set);
    }

    /* The new file goes into the same folder, so that moving it over the old
     * one replaces the file in one step. */
    char folder[MAX_PATH];
    const char *slash = strrchr(path, '\\');
    const char *other = strrchr(path, '/');
    if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
    if (slash == nullptr && path[0] != '\0' && path[1] == ':') slash = path + 1;
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    if (length >= sizeof folder) return START_FILE_OPEN_FAILED;
    if (length == 0) {
        strcpy(folder, ".");
    } else {
        memcpy(folder, path, length);
        folder[length] = '\0';
    }
    char temp[MAX_PATH];
    if (GetTempFileNameA(folder, "kbd", 0, temp) == 0) {
        /* The folder is closed to us, but the file may be open to all. */
        return existing == DISK_FILE ? write_in_place(path, data, count, true, access_set)
                                     : START_FILE_OPEN_FAILED;
    }
    HANDLE file =
        CreateFileA(temp, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok =
        file != INVALID_HANDLE_VALUE && write_all(file, data, count) && FlushFileBuffers(file) != 0;
    if (file != INVALID_HANDLE_VALUE) ok = CloseHandle(file) != 0 && ok;
    const bool access = ok && file_access_grant_everyone(temp, START_FILE_ACCESS) == 0;
    if (!ok) {
        DeleteFileA(temp);
        return START_FILE_WRITE_FAILED;
    }
    if (MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        const DWORD move_error = GetLastError();
        DeleteFileA(temp);
        if (existing == DISK_FILE && move_error == ERROR_ACCESS_DENIED) {
            return write_in_place(path, data, count, true, access_set);
        }
        return START_FILE_WRITE_FAILED;
    }
    *access_set = access;
    return START_FILE_WRITTEN;
}
