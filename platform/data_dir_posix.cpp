#include "data_dir.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "safe_place.h"

static const char SYSTEM_DATA_DIRECTORY[] = "/var/lib/quorvant";

int data_dir_compose(const char *profile, char *directory, size_t directory_size,
                     char *default_file, size_t default_file_size)
{
    if (directory == nullptr || default_file == nullptr || directory_size == 0 ||
        default_file_size == 0) {
        return -1;
    }
    int d;
    if (profile != nullptr) {
        d = snprintf(directory, directory_size, "%s/Application Data/Quorvant", profile);
    } else {
        d = snprintf(directory, directory_size, "%s", SYSTEM_DATA_DIRECTORY);
    }
    int f = -1;
    if (d >= 0 && static_cast<size_t>(d) < directory_size) {
        f = snprintf(default_file, default_file_size, "%s/prng_start.bin", directory);
    }
    if (f < 0 || static_cast<size_t>(f) >= default_file_size) {
        directory[0] = '\0';
        default_file[0] = '\0';
        return -1;
    }
    return 0;
}

int data_dir_prepare(char *default_file, size_t default_file_size)
{
    char directory[DATA_PATH_SIZE];
    if (data_dir_compose(getenv("ALLUSERSPROFILE"), directory, sizeof directory, default_file,
                         default_file_size) != 0) {
        return -1;
    }
    /* Only the last level is made, 0755 whatever the umask, and only through
     * folders and links that no other user controls. */
    (void)safe_place_make_folder(directory);
    return 0;
}
