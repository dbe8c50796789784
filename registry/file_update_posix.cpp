#include "file_update.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "safe_place.h"

int file_lock(int dir, const char *name, const char *shown, const struct stat *store, int *fd,
              char *why, size_t why_size)
{
    if (why_size > 0) why[0] = '\0';
    char lock_name[SAFE_PLACE_NAME_SIZE];
    if (snprintf(lock_name, sizeof lock_name, "%s.lock", name) >=
        static_cast<int>(sizeof lock_name)) {
        return -ENAMETOOLONG;
    }
    const uid_t owner = store != nullptr ? store->st_uid : geteuid();
    const int flags = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    bool created = false;
    int lock = openat(dir, lock_name, flags);
    if (lock < 0 && errno == ENOENT) {
        if (store != nullptr && file_check_writable(dir, name) != 0) return -EACCES;
        lock = openat(dir, lock_name, flags | O_CREAT | O_EXCL, 0600);
        created = lock >= 0;
        if (lock < 0 && errno == EEXIST) lock = openat(dir, lock_name, flags);
    }
    struct stat st;
    const bool refused = lock < 0 ? errno == ELOOP
                                  : fstat(lock, &st) != 0 || !S_ISREG(st.st_mode) ||
                                        (!created && st.st_uid != owner);
    if (refused) {
        snprintf(why, why_size,
                 "ERROR: refusing %s.lock: a lock that is not a regular file of the store's owner",
                 shown);
        if (lock >= 0) close(lock);
        return -EACCES;
    }
    if (lock < 0) return -errno;
    if (created) {
        /* Read access goes with write access, class by class, whatever the umask. */
        const mode_t writers = store != nullptr ? store->st_mode & 0222 : 0200;
        if (store != nullptr) (void)!fchown(lock, store->st_uid, store->st_gid);
        (void)fchmod(lock, (writers | writers << 1) & 0666);
    }

    struct flock region;
    memset(&region, 0, sizeof region);
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
#ifdef F_OFD_SETLKW
    /* Owned by the open file, not the process: it conflicts with every other
     * descriptor, also in this process. */
    int command = F_OFD_SETLKW;
#else
    int command = F_SETLKW;
#endif
    while (fcntl(lock, command, &region) != 0) {
        const int err = errno;
        if (err == EINTR) continue;
#ifdef F_OFD_SETLKW
        if (err == EINVAL && command == F_OFD_SETLKW) {
            command = F_SETLKW; /* a kernel before 3.15 */
            continue;
        }
#endif
        close(lock);
        return -err;
    }
    *fd = lock;
    return 0;
}

void file_unlock(int fd)
{
    if (fd >= 0) close(fd);
}

void file_remove_leftovers(int dir, const char *name, uid_t owner)
{
    const int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR *d = fdopendir(listing);
    if (d == nullptr) {
        close(listing);
        return;
    }
    while (const struct dirent *e = readdir(d)) {
        if (!safe_place_is_temp_name(e->d_name, name)) continue;
        struct stat st;
        if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            (st.st_uid == owner || st.st_uid == geteuid())) {
            (void)unlinkat(dir, e->d_name, 0);
        }
    }
    closedir(d);
}

int file_read_all(int dir, const char *name, std::string *content, bool *exists, struct stat *st)
{
    content->clear();
    *exists = false;
    /* Non-blocking, so that a FIFO in the store's place cannot hang us. */
    const int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : errno == ELOOP ? -EACCES : -errno;
    int status = 0;
    if (fstat(fd, st) != 0) {
        status = -errno;
    } else if (S_ISDIR(st->st_mode)) {
        status = -EISDIR;
    } else if (!S_ISREG(st->st_mode)) {
        status = -EACCES;
    } else {
        char buf[8192];
        for (;;) {
            const ssize_t r = read(fd, buf, sizeof buf);
            if (r < 0) {
                if (errno == EINTR) continue;
                status = -errno;
                break;
            }
            if (r == 0) break;
            try {
                content->append(buf, static_cast<size_t>(r));
            } catch (const std::bad_alloc &) {
                status = -ENOMEM;
                break;
            }
        }
    }
    close(fd);
    if (status == 0) *exists = true;
    return status;
}

int file_check_writable(int dir, const char *name)
{
    const int fd = openat(dir, name, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? -EACCES : -errno;
    close(fd);
    return 0;
}
