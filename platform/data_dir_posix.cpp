#include "data_dir_system.h"

#include <stdlib.h>

#include "safe_place.h"

const char DATA_DIR_SEPARATOR = '/';
const char *const DATA_DIR_SYSTEM_DIRECTORY = "/var/lib/quorvant";

int data_dir_read_profile(char *buffer, size_t size, const char **profile)
{
    /* The value is used where it lies; a value too long for a path fails when
     * the path is composed. */
    (void)buffer;
    (void)size;
    *profile = getenv("ALLUSERSPROFILE");
    return 0;
}

void data_dir_make_folder(const char *directory)
{
    /* Only the last level is made, 0755 whatever the umask, and only where
     * no other user has a hand in a folder or link on the way. */
    (void)safe_place_make_folder(directory);
}
