/* Opening a file that root reads where another user may have a hand in the
 * path. */
#ifndef PLATFORM_SAFE_READ_H
#define PLATFORM_SAFE_READ_H

#include <stddef.h>
#include <stdio.h>

/* Opens path for reading in binary mode. On POSIX systems the path is
 * resolved as safe_place.h tells (the links of other users that they may
 * change are not followed), and only a regular file is opened: a FIFO or
 * device fails at once, never blocks. On Windows fopen(path, "rb").
 * Returns the stream, or NULL with errno set; a refused path sets EACCES and
 * leaves one line (no newline) in why that says why, which is otherwise
 * empty. */
FILE *safe_read_open(const char *path, char *why, size_t why_size);

#endif
