#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_access.h"
#include "safe_place.h"
#include "start_file.h"

namespace {

const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;

int grant_everyone(int fd, void *)
{
    return file_access_grant_everyone_fd(fd, START_FILE_ACCESS);
}

unsigned place_flags(unsigned flags)
{
    return (flags & START_FILE_TRUSTED_FOLDER) != 0
               ? static_cast<unsigned>(SAFE_PLACE_TRUSTED_FOLDER)
               : 0u;
}

} // namespace

bool start_file_exists(const char *path, unsigned flags)
{
    struct safe_place place;
    if (safe_place_resolve(path, place_flags(flags), &place, nullptr, 0) != 0) return false;
    bool kept = place.exists && safe_place_check(&place, nullptr, 0) == 0;
    if (kept && S_ISREG(place.stat.st_mode)) {
        int fd = -1;
        kept = safe_place_open_read(&place, &fd, nullptr, 0) == 0;
        if (fd >= 0) close(fd);
    }
    safe_place_release(&place);
    return kept;
}

enum start_file_status start_file_replace(const char *path, const uint8_t *data, size_t count,
                                          unsigned flags, bool *access_set, char *why,
                                          size_t why_size)
{
    if (why_size > 0) why[0] = '\0';
    *access_set = false;
    struct safe_place place;
    if (safe_place_resolve(path, place_flags(flags), &place, why, why_size) != 0) {
        return START_FILE_OPEN_FAILED;
    }
    /* The new file is the caller's until the access list opens it to all; it
     * keeps the replaced file's owner and group as far as we may give them. */
    safe_place_file file;
    file.mode = 0600;
    file.keep_owner = true;
    file.produce = nullptr;
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
