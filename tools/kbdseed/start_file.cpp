#include "start_file.h"

#include <stdio.h>

#include "file_access.h"

namespace {

void warn_access(const char *path)
{
    fprintf(stderr, "WARNING: unable to set access list of file %s\n", path);
}

} // namespace

void set_file_access(const char *path, uint32_t access_mask)
{
    if (file_access_grant_everyone(path, access_mask) != 0) {
        warn_access(path);
    }
}

int write_start_file(const char *path, const uint8_t *data, size_t count, unsigned flags)
{
    bool access_set = false;
    char why[512];
    why[0] = '\0';
    const enum start_file_status status =
        start_file_replace(path, data, count, flags, &access_set, why, sizeof why);
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
