#include "data_dir.h"

#include <stdio.h>

#include <windows.h>

int data_dir_compose(const char *profile, char *directory, size_t directory_size,
                     char *default_file, size_t default_file_size)
{
    if (directory == nullptr || default_file == nullptr || directory_size == 0 ||
        default_file_size == 0) {
        return -1;
    }
    int f = -1;
    /* Windows has no data directory of its own without the all-users profile. */
    if (profile != nullptr) {
        const int d =
            snprintf(directory, directory_size, "%s\\Application Data\\Quorvant", profile);
        if (d >= 0 && static_cast<size_t>(d) < directory_size) {
            f = snprintf(default_file, default_file_size, "%s\\prng_start.bin", directory);
        }
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
    char profile[DATA_PATH_SIZE];
    const DWORD n = GetEnvironmentVariableA("ALLUSERSPROFILE", profile, sizeof profile);
    /* A value that does not fit comes back as the size it needs, not cut. */
    if (n >= sizeof profile) {
        return -1;
    }
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return -2;
    }
    char directory[DATA_PATH_SIZE];
    if (data_dir_compose(profile, directory, sizeof directory, default_file, default_file_size) !=
        0) {
        return -1;
    }
    /* Default security; an existing directory is no error. */
    CreateDirectoryA(directory, nullptr);
    return 0;
}
