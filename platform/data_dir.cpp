#include "data_dir.h"

#include <stdio.h>

#include "data_dir_system.h"

int data_dir_compose(const char *profile, char *directory, size_t directory_size,
                     char *default_file, size_t default_file_size)
{
    if (directory == nullptr || default_file == nullptr || directory_size == 0 ||
        default_file_size == 0) {
        return -1;
    }
    const char s = DATA_DIR_SEPARATOR;
    int d = -1;
    if (profile != nullptr) {
        d = snprintf(directory, directory_size, "%s%cApplication Data%cQuorvant", profile, s, s);
    } else if (DATA_DIR_SYSTEM_DIRECTORY != nullptr) {
        d = snprintf(directory, directory_size, "%s", DATA_DIR_SYSTEM_DIRECTORY);
    }
    int f = -1;
    if (d >= 0 && static_cast<size_t>(d) < directory_size) {
        f = snprintf(default_file, default_file_size, "%s%cprng_start.bin", directory, s);
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
    if (default_file == nullptr || default_file_size == 0) {
        return -1;
    }
    default_file[0] = '\0';
    char buffer[DATA_PATH_SIZE];
    const char *profile = nullptr;
    const int read = data_dir_read_profile(buffer, sizeof buffer, &profile);
    if (read != 0) {
        return read;
    }
    char directory[DATA_PATH_SIZE];
    if (data_dir_compose(profile, directory, sizeof directory, default_file, default_file_size) !=
        0) {
        return -1;
    }
    data_dir_make_folder(directory);
    return 0;
}
