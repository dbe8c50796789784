/* File input on Windows, through the C runtime's descriptors. */
#include "file_input.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

int input_open(const char *name)
{
    const int fd = _open(name, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    return fd >= 0 ? fd : -errno;
}

long input_read(int fd, uint8_t *buffer, size_t size)
{
    for (;;) {
        const int got = _read(fd, buffer, static_cast<unsigned>(size));
        if (got >= 0) return got;
        if (errno != EINTR) return -errno;
    }
}

int64_t input_regular_size(int fd)
{
    struct _stati64 st;
    if (_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return -1;
    return static_cast<int64_t>(st.st_size);
}

int input_state(int fd, FileState *state)
{
    struct _stati64 st;
    if (_fstati64(fd, &st) != 0) return -errno;
    state->size = static_cast<int64_t>(st.st_size);
    state->mtime_ns = static_cast<int64_t>(st.st_mtime) * 1000000000;
    state->ctime_ns = static_cast<int64_t>(st.st_ctime) * 1000000000;
    return 0;
}

void input_close(int fd)
{
    _close(fd);
}

int input_stdin(void)
{
    _setmode(0, _O_BINARY);
    return 0;
}

void output_binary(void)
{
    _setmode(_fileno(stdout), _O_BINARY);
}

bool stderr_is_terminal(void)
{
    return _isatty(2) != 0;
}

bool stdin_is_closed(void)
{
    return _get_osfhandle(0) == -1;
}

bool stdout_is_closed(void)
{
    return _get_osfhandle(1) == -1;
}
