#include "file_update.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

std::string parent_dir(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t w = write(fd, data, size);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        data += w;
        size -= static_cast<size_t>(w);
    }
    return 0;
}

int sync_dir(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    int status = 0;
    /* Some file systems cannot sync a folder; that loses nothing already renamed. */
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) status = -errno;
    close(fd);
    return status;
}

} // namespace

int file_lock(const char *lock_path, const char *data_path, int *fd)
{
    struct stat data;
    const bool data_exists = stat(data_path, &data) == 0;
    /* Read access goes with write access, class by class. */
    const mode_t writers = data_exists ? data.st_mode & 0222 : 0200;
    const mode_t lock_mode = (writers | writers << 1) & 0666;

    int lock = open(lock_path, O_RDWR | O_CLOEXEC);
    if (lock < 0 && errno == ENOENT) {
        if (data_exists && faccessat(AT_FDCWD, data_path, W_OK, AT_EACCESS) != 0) return -EACCES;
        lock = open(lock_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (lock < 0 && errno == EEXIST) lock = open(lock_path, O_RDWR | O_CLOEXEC);
    }
    if (lock < 0) return -errno;
    /* Whatever the umask, and also for a lock file that an earlier version
     * left readable by all. Only the owner, or the superuser, may. */
    if (data_exists) (void)!fchown(lock, data.st_uid, data.st_gid);
    (void)fchmod(lock, lock_mode);

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

int file_read_all(const char *path, std::string *content, bool *exists, mode_t *mode, uid_t *uid,
                  gid_t *gid)
{
    content->clear();
    *exists = false;
    /* Non-blocking, so that a FIFO in the store's place cannot hang us. */
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    struct stat st;
    int status = 0;
    if (fstat(fd, &st) != 0) {
        status = -errno;
    } else if (S_ISDIR(st.st_mode)) {
        status = -EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        status = -EACCES;
    } else {
        *mode = st.st_mode & 07777;
        *uid = st.st_uid;
        *gid = st.st_gid;
        char buf[8192];
        for (;;) {
            const ssize_t r = read(fd, buf, sizeof buf);
            if (r < 0) {
                if (errno == EINTR) continue;
                status = -errno;
                break;
            }
            if (r == 0) break;
            content->append(buf, static_cast<size_t>(r));
        }
    }
    close(fd);
    if (status == 0) *exists = true;
    return status;
}

int file_check_writable(const char *path)
{
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    close(fd);
    return 0;
}

int file_replace(const char *path, const std::string &content, mode_t mode, uid_t uid, gid_t gid)
{
    std::string templ = std::string(path) + ".XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -errno;
    int status = write_all(fd, content.data(), content.size());
    if (status == 0 && fchmod(fd, mode) != 0) status = -errno;
    if (status == 0 && (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1))) {
        /* Only the superuser may hand a file to another owner; anyone else
         * writes a file of their own, as any editor would. */
        (void)!fchown(fd, uid, gid);
    }
    if (status == 0 && fsync(fd) != 0) status = -errno;
    if (close(fd) != 0 && status == 0) status = -errno;
    if (status == 0 && rename(name.data(), path) != 0) status = -errno;
    if (status != 0) {
        unlink(name.data());
        return status;
    }
    return sync_dir(parent_dir(path));
}

int file_make_parent_dirs(const char *path)
{
    const std::string dir = parent_dir(path);
    for (size_t k = 1; k <= dir.size(); k++) {
        if (k < dir.size() && dir[k] != '/') continue;
        const std::string part = dir.substr(0, k);
        if (mkdir(part.c_str(), 0755) == 0) {
            /* Readable by every user whatever the umask, like the store. */
            if (chmod(part.c_str(), 0755) != 0) return -errno;
        } else if (errno != EEXIST) {
            return -errno;
        }
    }
    return 0;
}
