/* The machine-wide data directory and the default start file within it. */
#ifndef PLATFORM_DATA_DIR_H
#define PLATFORM_DATA_DIR_H

#include <stddef.h>

/* Room for a composed path, terminating NUL included (on Windows MAX_PATH,
 * as far as the system's ANSI file calls reach). */
#ifdef _WIN32
enum { DATA_PATH_SIZE = 260 };
#else
enum { DATA_PATH_SIZE = 4096 };
#endif

/* Composes the data directory and the default start file path that kbdseed(1)
 * names under FILES from the value of ALLUSERSPROFILE (profile, NULL when the
 * variable is unset). Returns 0, or -1 when either path does not fit its
 * buffer (or, on Windows, profile is NULL); then both buffers hold empty
 * strings. Nothing is ever truncated. */
int data_dir_compose(const char *profile, char *directory, size_t directory_size,
                     char *default_file, size_t default_file_size);

/* Reads ALLUSERSPROFILE, composes both paths as data_dir_compose does and, when
 * they fit, creates the directory's last level as kbdseed(1) tells (an
 * existing directory or a failure is not reported). Returns 0 with the default
 * file path in default_file, or -1 when a path (or the variable's value) does
 * not fit, or -2 on Windows when ALLUSERSPROFILE is unset: then nothing is
 * created and default_file is an empty string. */
int data_dir_prepare(char *default_file, size_t default_file_size);

#endif
