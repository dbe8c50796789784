#include "start_file.h"

#include <stdio.h>

#include "file_access.h"
#include "safe_place.h"

namespace {

/* Every user reads and writes the start file. */
const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;

void warn_access(const char *path)
{
    fprintf(stderr, "WARNING: unable to set access list of file %s\n", path);
}

int grant_everyone(const safe_place_open *file, void *)
{
    return file_access_grant_everyone_open(file, START_FILE_ACCESS);
}

unsigned place_flags(unsigned flags)
{
    return (flags & START_FILE_TRUSTED_FOLDER) != 0
               ? static_cast<unsigned>(SAFE_PLACE_TRUSTED_FOLDER)
               : 0u;
}

enum start_file_status { START_FILE_WRITTEN, START_FILE_OPEN_FAILED, START_FILE_WRITE_FAILED };

/* Writes and replaces as write_to_file tells, without any message.
 * *access_set tells whether the access list was applied; why receives the
 * line that says why the path was refused, which goes with
 * START_FILE_OPEN_FAILED. */
start_file_status replace(const char *path, const uint8_t *data, size_t count, unsigned flags,
                          bool *access_set, char *why, size_t why_size)
{
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

} // namespace

void set_file_access(const char *path, uint32_t access_mask)
{
    if (file_access_grant_everyone(path, access_mask) != 0) {
        warn_access(path);
    }
}

bool start_file_exists(const char *path, unsigned flags)
{
    struct safe_place place;
    if (safe_place_resolve(path, place_flags(flags), &place, nullptr, 0) != 0) return false;
    bool kept = place.exists && safe_place_check(&place, nullptr, 0) == 0;
    if (kept && place.kind == SAFE_PLACE_FILE) {
        FILE *file = nullptr;
        kept = safe_place_open_read(&place, &file, nullptr, 0) == 0;
        if (file != nullptr) fclose(file);
    }
    safe_place_release(&place);
    return kept;
}

int write_start_file(const char *path, const uint8_t *data, size_t count, unsigned flags)
{
    bool access_set = false;
    char why[SAFE_PLACE_PATH_SIZE + 128];
    why[0] = '\0';
    const start_file_status status =
        replace(path, data, count, flags, &access_set, why, sizeof why);
    if (status == START_FILE_OPEN_FAILED) {
        if (why[0] != '\0') fprintf(stderr, "%s\n", why);
        fprintf(stderr, "ERROR: unable to open file %s\n", path);
        return -1;
    }
    if (status != START_FILE_WRITTEN) {
        fprintf(stderr, "ERROR: unable to write to file %s\n", path);
        return -1;
    }
    if (!access_set) {
        warn_access(path);
    }
    return 0;
}

int write_to_file(const char *path, const uint8_t *data, size_t count)
{
    return write_start_file(path, data, count, 0);
}
