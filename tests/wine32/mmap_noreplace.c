/* Preloaded into 32-bit Wine's processes (cmake/wine.cmake). qemu-i386 7.2
 * takes mmap's MAP_FIXED_NOREPLACE for a hint: where the requested range is
 * taken it maps elsewhere instead of failing with EEXIST, and Wine then stops
 * with "failed to map the shared user data". mmap and mmap64 here keep the
 * kernel's contract; where the kernel runs the program itself they change
 * nothing. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static void *map_pages(void *addr, size_t length, int prot, int flags, int fd, int64_t offset)
{
    /* mmap2 counts the offset in units of 4096 bytes, whatever the page size. */
    if (offset < 0 || offset % 4096 != 0 || offset / 4096 > (int64_t)UINT32_MAX) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void *p =
        (void *)syscall(SYS_mmap2, addr, length, prot, flags, fd, (unsigned long)(offset / 4096));
    if (p != MAP_FAILED && (flags & MAP_FIXED_NOREPLACE) != 0 && p != addr) {
        syscall(SYS_munmap, p, length);
        errno = EEXIST;
        return MAP_FAILED;
    }
    return p;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return map_pages(addr, length, prot, flags, fd, offset);
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset)
{
    return map_pages(addr, length, prot, flags, fd, offset);
}
