#include "start_file.h"

#include <stdio.h>
#include <sys/stat.h>

#include "file_access.h"

void set_file_access(const char *path, uint32_t access_mask)
{
    if (file_access_grant_everyone(path, access_mask) != 0) {
        fprintf(stderr, "WARNING: unable to set access list of file %s\n", path);
    }
}

int write_to_file(const char *path, const uint8_t *data, size_t count)
{
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        fprintf(stderr, "ERROR: unable to open file %s\n", path);
        return -1;
    }
    const size_t written = fwrite(data, 1, count, file);
    /* A buffered write fails only when it reaches the disk: at the flush or
     * the close. Both are part of writing the file. */
    const bool flushed = fflush(file) == 0;
    const bool closed = fclose(file) == 0;
    if (written != count || !flushed || !closed) {
        fprintf(stderr, "ERROR: unable to write to file %s\n", path);
        /* A short start file must not stay behind: a later run with "-n"
         * would keep it as if it were a whole seed. Only a regular file is
         * removed; a device such as /dev/full stays. */
        struct stat st;
        if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
            remove(path);
        }
        return -1;
    }
    set_file_access(path, ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE);
    return 0;
}
