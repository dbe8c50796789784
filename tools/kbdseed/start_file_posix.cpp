#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_access.h"
#include "start_file.h"

namespace {

const uint32_t START_FILE_ACCESS = ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE;
const int MAX_LINK_HOPS = 40;     /* as the kernel's own limit */
const size_t MAX_TEMP_BASE = 200; /* of the name, so that ".XXXXXX" fits in NAME_MAX */

/* Follows path, as long as it is a symbolic link, to the file that a write
 * through it reaches, which need not exist yet. Only the last part of the
 * path matters: the new file is renamed within that file's folder. */
bool follow_links(const char *path, char *target, size_t size)
{
    if (static_cast<size_t>(snprintf(target, size, "%s", path)) >= size) return false;
    for (int hop = 0; hop < MAX_LINK_HOPS; hop++) {
        struct stat st;
        if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char link[PATH_MAX];
        const ssize_t n = readlink(target, link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = '\0';
        /* A relative link is read from the link's own folder. */
        const char *slash = strrchr(target, '/');
        const size_t folder =
            link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
        if (folder + static_cast<size_t>(n) + 1 > size) return false;
        memcpy(target + folder, link, static_cast<size_t>(n) + 1);
    }
    return false;
}

/* Length of the folder part of path, its last slash included (0: the current
 * folder). */
size_t folder_length(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

bool write_all(int fd, const uint8_t *data, size_t count)
{
    while (count > 0) {
        const ssize_t w = write(fd, data, count);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        count -= static_cast<size_t>(w);
    }
    return true;
}

/* Makes a rename in the folder of path durable. Some file systems cannot
 * flush a folder; the file is whole either way, so nothing is reported. */
void sync_folder(const char *path)
{
    char folder[PATH_MAX];
    const size_t length = folder_length(path);
    if (length == 0) {
        snprintf(folder, sizeof folder, ".");
    } else {
        snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), path);
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
}

/* Writes over the existing target. A regular file is not truncated before the
 * new bytes are on the disk: a full disk then fails the write while the file
 * still holds a whole seed. */
enum start_file_status write_in_place(const char *target, const uint8_t *data, size_t count,
                                      bool regular, bool *access_set)
{
    const int fd = open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return START_FILE_OPEN_FAILED;
    bool ok = write_all(fd, data, count);
    if (regular) {
        ok = ok && fsync(fd) == 0 && ftruncate(fd, static_cast<off_t>(count)) == 0;
    }
    ok = close(fd) == 0 && ok;
    if (!ok) return START_FILE_WRITE_FAILED;
    *access_set = file_access_grant_everyone(target, START_FILE_ACCESS) == 0;
    return START_FILE_WRITTEN;
}

} // namespace

bool start_file_exists(const char *path)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    struct stat st;
    const bool folder = fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
    fclose(file);
    return !folder;
}

enum start_file_status start_file_replace(const char *path, const uint8_t *data, size_t count,
                                          unsigned flags, bool *access_set, char *why,
                                          size_t why_size)
{
    (void)flags;
    if (why_size > 0) why[0] = '\0';
    *access_set = false;
    char target[PATH_MAX];
    if (!follow_links(path, target, sizeof target)) return START_FILE_OPEN_FAILED;
    struct stat old;
    const bool exists = stat(target, &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) return START_FILE_OPEN_FAILED;
    /* Never rename a file over a device or a pipe. */
    if (exists && !S_ISREG(old.st_mode)) {
        return write_in_place(target, data, count, false, access_set);
    }

    const size_t folder = folder_length(target);
    char temp[PATH_MAX];
    const int wanted = snprintf(temp, sizeof temp, "%.*s%.*s.XXXXXX", static_cast<int>(folder),
                                target, static_cast<int>(MAX_TEMP_BASE), target + folder);
    const int fd =
        wanted > 0 && static_cast<size_t>(wanted) < sizeof temp ? mkostemp(temp, O_CLOEXEC) : -1;
    if (fd < 0) {
        /* The folder is closed to us, but the file may be open to all. */
        return exists ? write_in_place(target, data, count, true, access_set)
                      : START_FILE_OPEN_FAILED;
    }
    bool ok = write_all(fd, data, count);
    if (ok && exists) {
        /* The replacement keeps the owner and group as far as we may give
         * them (the superuser may; anyone else keeps a file of their own). */
        (void)!fchown(fd, old.st_uid, static_cast<gid_t>(-1));
        (void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    *access_set = ok && file_access_grant_everyone(temp, START_FILE_ACCESS) == 0;
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(temp);
        *access_set = false;
        return START_FILE_WRITE_FAILED;
    }
    if (rename(temp, target) != 0) {
        const int rename_errno = errno;
        unlink(temp);
        *access_set = false;
        /* A folder with the sticky bit lets only the owner replace the file. */
        if (exists && (rename_errno == EACCES || rename_errno == EPERM)) {
            return write_in_place(target, data, count, true, access_set);
        }
        return START_FILE_WRITE_FAILED;
    }
    sync_folder(target);
    return START_FILE_WRITTEN;
}
