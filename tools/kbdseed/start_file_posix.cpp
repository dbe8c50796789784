#include <stdio.h>
#include <sys/stat.h>

#include "file_access.h"
#include "safe_place.h"
#include "start_file.h"

namespace {

const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;

int grant_everyone(int fd, void *)
{
    return file_access_grant_everyone_fd(fd, START_FILE_ACCESS);
}

} // namespace

bool start_file_exists(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    struct stat st;
    const bool folder = fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
    fclose(file);
    return !folder;
}

enum start_file_status start_file_replace(const char *path, const uint8_t *data, size_t count,
                                          unsigned flags, bool *access_set, char *why,
                                          size_t why_size)
{
    (void)flags;
    if (why_size > 0) why[0] = '\0';
    *access_set = false;
    struct safe_place place;
    const unsigned place_flags = (flags & START_FILE_TRUSTED_FOLDER) != 0
                                     ? static_cast<unsigned>(SAFE_PLACE_TRUSTED_FOLDER)
                                     : 0u;
    if (safe_place_resolve(path, place_flags, &place, why, why_size) != 0) {
        return START_FILE_OPEN_FAILED;
    }
    /* The new file is the caller's until the access list opens it to all; it
     * keeps the old file's owner and group as far as we may give them (the
     * superuser may; anyone else keeps a file of their own). */
    const bool replaces = place.exists && S_ISREG(place.stat.st_mode);
    safe_place_file file;
    file.mode = 0600;
    file.uid = replaces ? place.stat.st_uid : static_cast<uid_t>(-1);
    file.gid = replaces ? place.stat.st_gid : static_cast<gid_t>(-1);
    file.finish = grant_everyone;
    file.context = nullptr;
    safe_place_result result;
    const int status = safe_place_write(&place, data, count, &file, &result, why, why_size);
    safe_place_release(&place);
    if (status != 0) {
        return result.open_failed ? START_FILE_OPEN_FAILED : START_FILE_WRITE_FAILED;
    }
    *access_set = result.finished;
    return START_FILE_WRITTEN;
}
