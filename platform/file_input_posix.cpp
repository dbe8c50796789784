/* File input on POSIX systems. */
#include "file_input.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int input_open(const char *name)
{
    const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    return fd >= 0 ? fd : -errno;
}

long input_read(int fd, uint8_t *buffer, size_t size)
{
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno != EINTR) return -errno;
    }
}

int64_t input_regular_size(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int input_state(int fd, FileState *state)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return -errno;
    state->size = static_cast<int64_t>(st.st_size);
    state->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    state->ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return 0;
}

void input_close(int fd)
{
    close(fd);
}

int input_stdin(void)
{
    return 0;
}

void output_binary(void) {}

bool stderr_is_terminal(void)
{
    return isatty(2) != 0;
}

bool stdin_is_closed(void)
{
    return fcntl(0, F_GETFD) < 0 && errno == EBADF;
}

bool stdout_is_closed(void)
{
    return fcntl(1, F_GETFD) < 0 && errno == EBADF;
}
