/* The system's half of the data directory (data_dir.cpp composes the paths
 * from it): one source per system, data_dir_posix.cpp and data_dir_win32.cpp. */
#ifndef PLATFORM_DATA_DIR_SYSTEM_H
#define PLATFORM_DATA_DIR_SYSTEM_H

#include <stddef.h>

/* The character between the levels of a path. */
extern const char DATA_DIR_SEPARATOR;

/* The system's own data directory, used when ALLUSERSPROFILE is unset; NULL
 * where the system has none. */
extern const char *const DATA_DIR_SYSTEM_DIRECTORY;

/* Reads ALLUSERSPROFILE: *profile points at its value (in buffer, of size
 * bytes, or in the environment), or is NULL when it is unset. Returns 0, -1
 * when the value does not fit buffer, or -2 when it is unset and the system
 * has no data directory of its own. */
int data_dir_read_profile(char *buffer, size_t size, const char **profile);

/* Creates the last level of directory for the machine's data; an existing
 * directory or a failure is not reported. */
void data_dir_make_folder(const char *directory);

#endif
