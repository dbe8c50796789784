/* The system calls files are read with, and the standard streams looked at:
 * one source per system. */
#ifndef PLATFORM_FILE_INPUT_H
#define PLATFORM_FILE_INPUT_H

#include <stddef.h>
#include <stdint.h>

/* Opens name for reading, in binary mode. Returns a descriptor (>= 0), or
 * -errno. */
int input_open(const char *name);

/* Reads up to size bytes (size at most 1 MiB). Returns the count, 0 at the
 * end, or -errno. Interrupted reads are retried. */
long input_read(int fd, uint8_t *buffer, size_t size);

/* The size of a regular file, or -1 for anything else (a pipe, a terminal,
 * a folder) or on failure. */
int64_t input_regular_size(int fd);

void input_close(int fd);

/* What tells whether a file changed: its size and its times of change (of
 * content, and on POSIX of the inode), in nanoseconds. */
struct FileState {
    int64_t size, mtime_ns, ctime_ns;
};
/* The state of an open file. Returns 0 or -errno. */
int input_state(int fd, FileState *state);

/* Standard input, switched to binary mode where the system has text modes. */
int input_stdin(void);

/* Standard output in binary mode, so that lines end in a line feed alone on
 * every system. */
void output_binary(void);

/* Whether standard error is a terminal. */
bool stderr_is_terminal(void);

/* Whether standard input is no open file at all (it was closed). */
bool stdin_is_closed(void);

/* Whether standard output is no open file at all (it was closed). */
bool stdout_is_closed(void);

#endif
