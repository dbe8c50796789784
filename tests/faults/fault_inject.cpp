/*
 * Test-only fault injector, loaded into a program with LD_PRELOAD. It makes
 * the system calls behind one file fail as a sick disk or a full one would,
 * so that the programs' own error paths run unchanged. Nothing happens unless
 * FAULT_PATH is set; then only descriptors and streams whose path contains
 * FAULT_PATH are touched (a temporary file named after the file is too);
 * a FAULT_PATH that ends in "$" matches only paths that end in the rest of it
 * (a folder, say, and not the files in it):
 *
 *   FAULT_READ_AFTER=n   once a stream has handed n bytes to fread, its
 *                        descriptor is swapped for one whose reads fail with
 *                        EIO (a pseudo-terminal master after its other end
 *                        has gone), so the C library meets a real read error
 *   FAULT_OPEN=e         open, openat and mkostemp for writing fail with e
 *   FAULT_WRITE=e        write fails with e
 *   FAULT_FSYNC=e        fsync fails with e
 *   FAULT_CLOSE=e        close closes the descriptor, then fails with e
 *
 * e is an errno name: EIO, ENOSPC, EROFS, EDQUOT or EACCES.
 */
/* Both the plain and the 64-bit names are defined here, so neither may be an
 * alias of the other. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int errno_named(const char *name)
{
    static const struct {
        const char *name;
        int value;
    } known[] = {
        {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EROFS", EROFS}, {"EDQUOT", EDQUOT}, {"EACCES", EACCES}};
    if (name == nullptr) return 0;
    for (const auto &k : known) {
        if (strcmp(name, k.name) == 0) return k.value;
    }
    return 0;
}

/* The errno a fault variable asks for, or 0 when it is not in force. */
int wanted(const char *variable)
{
    if (getenv("FAULT_PATH") == nullptr) return 0;
    return errno_named(getenv(variable));
}

bool path_matches(const char *path)
{
    const char *pattern = getenv("FAULT_PATH");
    if (pattern == nullptr || path == nullptr) return false;
    const size_t length = strlen(pattern);
    if (length > 0 && pattern[length - 1] == '$') {
        const size_t have = strlen(path);
        return have >= length - 1 && strncmp(path + have - (length - 1), pattern, length - 1) == 0;
    }
    return strstr(path, pattern) != nullptr;
}

bool fd_matches(int fd)
{
    if (getenv("FAULT_PATH") == nullptr || fd < 0) return false;
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int saved = errno;
    const ssize_t n = readlink(link, target, sizeof target - 1);
    errno = saved;
    if (n <= 0) return false;
    target[n] = '\0';
    return path_matches(target);
}

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

/* A descriptor whose reads fail with EIO. */
int failing_reader(void)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave >= 0) next<int (*)(int)>("close")(slave);
    return master;
}

bool writes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0;
}

int open_fault(const char *path, int flags)
{
    const int e = wanted("FAULT_OPEN");
    if (e != 0 && writes(flags) && path_matches(path)) {
        errno = e;
        return -1;
    }
    return 0;
}

unsigned long long delivered = 0;
bool reads_broken = false;

} // namespace

extern "C" {

size_t fread(void *buffer, size_t size, size_t count, FILE *stream)
{
    static auto real = next<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    const char *after = getenv("FAULT_READ_AFTER");
    if (after == nullptr || !fd_matches(fileno(stream))) return real(buffer, size, count, stream);
    if (!reads_broken && delivered >= strtoull(after, nullptr, 10)) {
        const int broken = failing_reader();
        if (broken >= 0) {
            dup2(broken, fileno(stream));
            next<int (*)(int)>("close")(broken);
            reads_broken = true;
        }
    }
    const size_t got = real(buffer, size, count, stream);
    delivered += got * size;
    return got;
}

/* Every open goes to the C library's openat64, which takes the same mode. */
static int open_checked(int dir, const char *path, int flags, va_list ap)
{
    static auto real = next<int (*)(int, const char *, int, ...)>("openat64");
    /* The mode is there only when the call may create a file. */
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = creates ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
    if (open_fault(path, flags) != 0) return -1;
    return real(dir, path, flags, mode);
}

#define OPEN_WITH_MODE(dir, path, flags)                                                           \
    va_list ap;                                                                                    \
    va_start(ap, flags);                                                                           \
    const int fd = open_checked(dir, path, flags, ap);                                             \
    va_end(ap);                                                                                    \
    return fd

int open(const char *path, int flags, ...)
{
    OPEN_WITH_MODE(AT_FDCWD, path, flags);
}
int open64(const char *path, int flags, ...)
{
    OPEN_WITH_MODE(AT_FDCWD, path, flags);
}
int openat(int dir, const char *path, int flags, ...)
{
    OPEN_WITH_MODE(dir, path, flags);
}
int openat64(int dir, const char *path, int flags, ...)
{
    OPEN_WITH_MODE(dir, path, flags);
}
int mkostemp(char *templ, int flags)
{
    static auto real = next<int (*)(char *, int)>("mkostemp");
    if (open_fault(templ, O_CREAT) != 0) return -1;
    return real(templ, flags);
}
int mkostemp64(char *templ, int flags)
{
    return mkostemp(templ, flags);
}

ssize_t write(int fd, const void *data, size_t size)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    const int e = wanted("FAULT_WRITE");
    if (e != 0 && fd_matches(fd)) {
        errno = e;
        return -1;
    }
    return real(fd, data, size);
}

int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    const int e = wanted("FAULT_FSYNC");
    if (e != 0 && fd_matches(fd)) {
        errno = e;
        return -1;
    }
    return real(fd);
}

int close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    const int e = wanted("FAULT_CLOSE");
    const bool fail = e != 0 && fd_matches(fd);
    const int r = real(fd);
    if (fail) {
        errno = e;
        return -1;
    }
    return r;
}

} // extern "C"
