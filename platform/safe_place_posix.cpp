#include "safe_place.h"
#include "safe_place_posix.h"
#include "safe_place_system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <new>

#if defined(__linux__)
#include <sys/random.h>
#endif

#ifdef SAFE_PLACE_TEST_HOOKS
void (*safe_place_before_rename)(int dir, const char *name) = nullptr;
#endif

namespace {

const int MAX_LINK_HOPS = 40; /* as the kernel's own limit */

/* Looks at a name without following it or opening what it names. */
const int LOOK_FLAGS = O_PATH | O_NOFOLLOW | O_CLOEXEC;

void clear(char *why, size_t why_size)
{
    if (why != nullptr && why_size > 0) why[0] = '\0';
}

/* The line that says why shown was refused. */
int refuse(char *why, size_t why_size, const char *shown, const char *what)
{
    if (why != nullptr && why_size > 0) {
        snprintf(why, why_size, "ERROR: refusing %s: %s", shown, what);
    }
    return -EACCES;
}

bool world_writable(const struct stat &st)
{
    return (st.st_mode & S_IWOTH) != 0;
}

bool sticky_and_open(const struct stat &dir)
{
    return (dir.st_mode & S_ISVTX) != 0 && world_writable(dir);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* The general rule for every folder on the way. */
int check_folder(const struct stat &st, const char *shown, char *why, size_t why_size)
{
    if (world_writable(st) && (st.st_mode & S_ISVTX) == 0) {
        return refuse(why, why_size, shown,
                      "a folder every user may write, without the sticky bit");
    }
    return 0;
}

/* A folder on the way to a machine-wide file. */
int check_trusted(const struct stat &st, const char *shown, char *why, size_t why_size)
{
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        char what[64];
        snprintf(what, sizeof what, "a folder owned by another user (uid %lu)",
                 static_cast<unsigned long>(st.st_uid));
        return refuse(why, why_size, shown, what);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(why, why_size, shown, "a folder that users other than its owner may write");
    }
    return 0;
}

/* Opens a folder below dir; one that may be searched but not read is opened
 * for the search alone. */
int open_folder(int dir, const char *name, bool *readable)
{
    int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    *readable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

/* The rule for a folder on the way: the general one, or the trusted one. */
int check_on_way(const struct stat &st, unsigned flags, const char *shown, char *why,
                 size_t why_size)
{
    if ((flags & SAFE_PLACE_TRUSTED_FOLDER) != 0) return check_trusted(st, shown, why, why_size);
    return check_folder(st, shown, why, why_size);
}

/* Whether a link may be followed: one of anyone but root and the caller only
 * where its owner cannot change it. */
int check_link(const struct stat &link, const struct stat &dir, unsigned flags, const char *shown,
               char *why, size_t why_size)
{
    const uid_t me = geteuid();
    if (link.st_uid == me) return 0;
    if (sticky_and_open(dir) && link.st_uid != dir.st_uid) {
        return refuse(why, why_size, shown,
                      "a link that another user owns in a folder every user may write");
    }
    if (link.st_uid == 0) return 0;
    if ((flags & SAFE_PLACE_TRUSTED_FOLDER) != 0) {
        char what[64];
        snprintf(what, sizeof what, "a link owned by another user (uid %lu)",
                 static_cast<unsigned long>(link.st_uid));
        return refuse(why, why_size, shown, what);
    }
    if (link.st_uid == dir.st_uid || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(why, why_size, shown,
                      "a link that another user owns in a folder that user may change");
    }
    return 0;
}

/* The root that absolute paths start from, reached by climbing from the
 * current folder until ".." is the folder itself: the process's own root,
 * by descriptors alone. (A user-mode emulator with a prefix of its own for
 * the target's libraries would take the name "/" for that prefix.) Where the
 * climb is barred, "/" by name. */
int open_root(bool *readable)
{
    int fd = open_folder(AT_FDCWD, ".", readable);
    struct stat here, up;
    for (int level = 0; fd >= 0 && fstat(fd, &here) == 0 && level < 4096; level++) {
        bool up_readable = false;
        const int parent = open_folder(fd, "..", &up_readable);
        if (parent < 0) break;
        if (fstat(parent, &up) != 0) {
            close(parent);
            break;
        }
        if (same_file(here, up)) {
            close(parent);
            return fd;
        }
        close(fd);
        fd = parent;
        *readable = up_readable;
    }
    if (fd >= 0) close(fd);
    return open_folder(AT_FDCWD, "/", readable);
}

/* The walk: the current folder, the path shown so far and what is left. */
struct walk {
    int dir = -1;
    bool readable = false;
    struct stat st;
    char shown[SAFE_PLACE_PATH_SIZE] = "";
    char rest[SAFE_PLACE_PATH_SIZE] = "";
};

void close_dir(walk &w)
{
    if (w.dir >= 0) close(w.dir);
    w.dir = -1;
}

/* Starts (again) at "/" or the current folder. */
int start_at(walk &w, bool absolute, unsigned flags, char *why, size_t why_size)
{
    close_dir(w);
    w.dir = absolute ? open_root(&w.readable) : open_folder(AT_FDCWD, ".", &w.readable);
    if (w.dir < 0) return -errno;
    if (fstat(w.dir, &w.st) != 0) return -errno;
    snprintf(w.shown, sizeof w.shown, "%s", absolute ? "/" : "");
    return check_on_way(w.st, flags, absolute ? "/" : ".", why, why_size);
}

/* The path to walk: a relative one of a machine-wide file from "/" through
 * the current folder's path, so that every folder above it is checked too.
 * (Had someone moved the current folder, the name would only lead where the
 * same rules hold.) */
int path_to_walk(const char *path, unsigned flags, char *out, size_t size)
{
    if (path[0] == '/' || (flags & SAFE_PLACE_TRUSTED_FOLDER) == 0) {
        const int n = snprintf(out, size, "%s", path);
        return n >= 0 && static_cast<size_t>(n) < size ? 0 : -ENAMETOOLONG;
    }
    char here[SAFE_PLACE_PATH_SIZE];
    if (getcwd(here, sizeof here) == nullptr) return errno == ERANGE ? -ENAMETOOLONG : -errno;
    if (here[0] != '/') return -ENOENT; /* the current folder lies outside our root */
    const int n = snprintf(out, size, "%s/%s", here, path);
    return n >= 0 && static_cast<size_t>(n) < size ? 0 : -ENAMETOOLONG;
}

/* Appends a component to the shown path; returns the length before it. */
size_t show_component(walk &w, const char *name)
{
    const size_t before = strlen(w.shown);
    const bool slash = before > 0 && w.shown[before - 1] != '/';
    snprintf(w.shown + before, sizeof w.shown - before, "%s%s", slash ? "/" : "", name);
    return before;
}

/* Takes the next component off w.rest into name; false when none is left. */
bool next_component(walk &w, char *name, size_t size, bool *last, int *error)
{
    const char *p = w.rest;
    while (*p == '/') p++;
    if (*p == '\0') return false;
    const char *end = strchr(p, '/');
    const size_t length = end == nullptr ? strlen(p) : static_cast<size_t>(end - p);
    if (length >= size) {
        *error = -ENAMETOOLONG;
        return true;
    }
    memcpy(name, p, length);
    name[length] = '\0';
    const char *after = p + length;
    while (*after == '/') after++;
    *last = *after == '\0';
    /* A trailing slash asks for a folder. */
    if (*last && end != nullptr) *last = false;
    memmove(w.rest, after, strlen(after) + 1);
    if (!*last && *w.rest == '\0') snprintf(w.rest, sizeof w.rest, ".");
    return true;
}

/* Puts a link's target in front of what is left of the path. */
int splice_link(walk &w, const char *target)
{
    char joined[SAFE_PLACE_PATH_SIZE];
    const int n = *w.rest != '\0' ? snprintf(joined, sizeof joined, "%s/%s", target, w.rest)
                                  : snprintf(joined, sizeof joined, "%s", target);
    if (n < 0 || static_cast<size_t>(n) >= sizeof joined) return -ENAMETOOLONG;
    memcpy(w.rest, joined, static_cast<size_t>(n) + 1);
    return 0;
}

/* Reads the link that was looked at, not whatever now has its name. */
int read_link(int look, char *target, size_t size)
{
    const ssize_t n = readlinkat(look, "", target, size - 1);
    if (n < 0) return -errno;
    if (n == 0) return -ENOENT;
    if (static_cast<size_t>(n) >= size - 1) return -ENAMETOOLONG;
    target[n] = '\0';
    return 0;
}

/* Makes a missing folder below dir, 0755 whatever the umask. */
int make_folder(int dir, const char *name)
{
    if (mkdirat(dir, name, 0700) != 0) return errno == EEXIST ? 0 : -errno;
    bool readable = false;
    const int fd = open_folder(dir, name, &readable);
    if (fd < 0) return -errno;
    struct stat st;
    int status = fstat(fd, &st) == 0 ? 0 : -errno;
    if (status == 0 && st.st_uid == geteuid() && fchmod(fd, 0755) != 0) status = -errno;
    close(fd);
    return status;
}

int write_all(int fd, const uint8_t *data, size_t size)
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

uint64_t random_bits(void)
{
    uint64_t bits = 0;
#if defined(__linux__)
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
        return bits;
    }
#endif
    /* Only the name depends on it; O_EXCL keeps the file our own. */
    static uint64_t counter = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 30 ^
           static_cast<uint64_t>(getpid()) << 16 ^ ++counter * 0x9E3779B97F4A7C15u;
    return bits;
}

/* Makes the temporary file beside target; its name goes to temp. */
int make_temp(int dir, const char *target, char *temp, size_t size)
{
    for (int attempt = 0; attempt < SAFE_PLACE_TEMP_TRIES; attempt++) {
        const int n = safe_place_temp_name(temp, size, target, random_bits());
        if (n < 0 || n > NAME_MAX) {
            return -ENAMETOOLONG;
        }
        const int fd =
            openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -errno;
    }
    return -EEXIST;
}

/* Whether someone other than root and the caller may change the folder's
 * entries (and so link a file there under a name of their choosing). */
bool others_may_write(const struct stat &dir)
{
    return (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (dir.st_uid != 0 && dir.st_uid != geteuid());
}

/* The content: the caller's bytes, or what its producer writes. */
int write_content(int fd, const uint8_t *data, size_t size, const safe_place_file *file)
{
    if (file->produce == nullptr) return write_all(fd, data, size);
    /* The producer's stream writes through a descriptor of its own, which
     * its close releases; fd stays open for the flush and the rename. */
    const int copy = dup(fd);
    if (copy < 0) return -errno;
    FILE *out = fdopen(copy, "wb");
    if (out == nullptr) {
        const int error = errno;
        close(copy);
        return -error;
    }
    int status = file->produce(out, file->context);
    if (fclose(out) != 0 && status == 0) status = -errno;
    return status;
}

int run_finish(const safe_place_file *file, int fd)
{
    const safe_place_open open = {fd, nullptr};
    return file->finish == nullptr ? 0 : file->finish(&open, file->context);
}

/* Rewrites an open regular file: the old bytes stay until the new ones are on
 * the disk, so a full disk fails the write while the file still holds a whole
 * old content. */
int rewrite_in_place(int fd, const uint8_t *data, size_t size, const safe_place_file *file,
                     safe_place_result *result)
{
    if (lseek(fd, 0, SEEK_SET) != 0) return -errno;
    int status = write_content(fd, data, size, file);
    const off_t end = status == 0 ? lseek(fd, 0, SEEK_CUR) : -1;
    if (status == 0 && end < 0) status = -errno;
    if (status == 0 && fsync(fd) != 0) status = -errno;
    if (status == 0 && ftruncate(fd, end) != 0) status = -errno;
    if (status == 0) result->finished = run_finish(file, fd) == 0;
    return status;
}

void sync_folder(const safe_place *place, safe_place_result *result)
{
    if (!place->system->dir_syncable) return;
    /* Some file systems cannot flush a folder at all. */
    if (fsync(place->system->dir) != 0 && errno != EINVAL && errno != EROFS)
        result->sync_error = errno;
}

/* Another name of a file may have been linked there by whoever may write the
 * folder, to a file of ours that they may not read or write. */
int check_hard_links(const struct stat &dir, const struct stat &st, const char *shown, char *why,
                     size_t why_size)
{
    if (st.st_nlink <= 1 || !others_may_write(dir)) return 0;
    char what[96];
    snprintf(what, sizeof what, "a file with %lu hard links in a folder other users may write",
             static_cast<unsigned long>(st.st_nlink));
    return refuse(why, why_size, shown, what);
}

/* Whether what lies in dir (st, not a link) may be written: the rules of
 * safe_place_write, which safe_place_check and safe_place_open_read share. */
int check_target(const struct stat &dir, const struct stat &st, const char *shown, char *why,
                 size_t why_size)
{
    if (S_ISDIR(st.st_mode)) return -EISDIR;
    const uid_t me = geteuid();
    const bool owner_near = st.st_uid == me || st.st_uid == dir.st_uid;
    if (!S_ISREG(st.st_mode)) {
        /* Writing to another user's FIFO would hand them the seed. */
        if (owner_near || (st.st_uid == 0 && !sticky_and_open(dir))) return 0;
        return refuse(why, why_size, shown, "a device or FIFO that another user owns");
    }
    if (sticky_and_open(dir) && !owner_near) {
        return refuse(why, why_size, shown,
                      "a file that another user owns in a folder every user may write");
    }
    return check_hard_links(dir, st, shown, why, why_size);
}

/* Owner and group each as far as they may be given: only the superuser may
 * give a file away; anyone else keeps a file of their own, as any editor
 * would. */
void give_owner(int fd, const struct stat &from)
{
    bool changed = false;
    if (from.st_uid != geteuid()) changed |= fchown(fd, from.st_uid, static_cast<gid_t>(-1)) == 0;
    if (from.st_gid != getegid()) changed |= fchown(fd, static_cast<uid_t>(-1), from.st_gid) == 0;
    if (changed) (void)fsync(fd);
}

/* Renames temp (open as fd when old is given) over place's name. The owner of
 * old, the file looked at before, goes to fd only when old is what the rename
 * replaced: the two names are swapped in one step, and what comes out under
 * temp tells. */
int rename_over(const safe_place *place, const char *temp, int fd, const struct stat *old)
{
#if defined(RENAME_EXCHANGE)
    if (old != nullptr && (old->st_uid != geteuid() || old->st_gid != getegid())) {
        if (renameat2(place->system->dir, temp, place->system->dir, place->name, RENAME_EXCHANGE) ==
            0) {
            struct stat was;
            if (fstatat(place->system->dir, temp, &was, AT_SYMLINK_NOFOLLOW) == 0 &&
                same_file(was, *old)) {
                give_owner(fd, *old);
            }
            if (unlinkat(place->system->dir, temp, 0) != 0 && errno == EISDIR) {
                (void)unlinkat(place->system->dir, temp, AT_REMOVEDIR);
            }
            return 0;
        }
        /* Nothing left at the name, or no way to swap: a plain rename, and
         * the new file stays ours. */
        if (errno != ENOENT && errno != EINVAL && errno != ENOSYS) return -errno;
    }
#else
    (void)fd;
    (void)old;
#endif
    return renameat(place->system->dir, temp, place->system->dir, place->name) == 0 ? 0 : -errno;
}

enum safe_place_kind kind_of(const struct stat &st)
{
    if (S_ISREG(st.st_mode)) return SAFE_PLACE_FILE;
    return S_ISDIR(st.st_mode) ? SAFE_PLACE_FOLDER : SAFE_PLACE_DEVICE;
}

} // namespace

int safe_place_resolve(const char *path, unsigned flags, struct safe_place *place, char *why,
                       size_t why_size)
{
    clear(why, why_size);
    place->system = nullptr;
    place->exists = false;
    place->kind = SAFE_PLACE_NOTHING;
    if (path == nullptr || *path == '\0') return -ENOENT;
    walk w;
    int status = path_to_walk(path, flags, w.rest, sizeof w.rest);
    if (status != 0) return status;
    status = start_at(w, w.rest[0] == '/', flags, why, why_size);
    int hops = 0;
    char name[SAFE_PLACE_NAME_SIZE];
    struct stat found;
    while (status == 0) {
        bool last = false;
        if (!next_component(w, name, sizeof name, &last, &status)) {
            status = -EISDIR; /* the path names a folder */
            break;
        }
        if (status != 0) break;
        const size_t folder_length = show_component(w, name);
        if (last && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) {
            status = -EISDIR;
            break;
        }
        int look = openat(w.dir, name, LOOK_FLAGS);
        if (look < 0 && errno == ENOENT && !last && (flags & SAFE_PLACE_MAKE_FOLDERS) != 0) {
            status = make_folder(w.dir, name);
            if (status != 0) break;
            look = openat(w.dir, name, LOOK_FLAGS);
        }
        if (look < 0 && errno == ENOENT && last) {
            place->exists = false;
            break;
        }
        if (look < 0) {
            status = -errno;
            break;
        }
        struct stat st;
        if (fstat(look, &st) != 0) {
            status = -errno;
            close(look);
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[SAFE_PLACE_PATH_SIZE];
            status = check_link(st, w.st, flags, w.shown, why, why_size);
            if (status == 0 && ++hops > MAX_LINK_HOPS) status = -ELOOP;
            if (status == 0) status = read_link(look, target, sizeof target);
            if (status == 0) status = splice_link(w, target);
            if (status == 0 && target[0] == '/') {
                status = start_at(w, true, flags, why, why_size);
            } else if (status == 0) {
                w.shown[folder_length] = '\0';
            }
            close(look);
            continue;
        }
        close(look);
        if (last) {
            place->exists = true;
            place->kind = kind_of(st);
            found = st;
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            status = -ENOTDIR;
            break;
        }
        bool readable = false;
        const int next = open_folder(w.dir, name, &readable);
        if (next < 0) {
            status = -errno;
            break;
        }
        struct stat next_st;
        if (fstat(next, &next_st) != 0 || !same_file(st, next_st)) {
            status = -EAGAIN; /* changed under us */
            close(next);
            break;
        }
        close_dir(w);
        w.dir = next;
        w.readable = readable;
        w.st = next_st;
        status = check_on_way(w.st, flags, w.shown, why, why_size);
    }
    if (status != 0) {
        close_dir(w);
        return status;
    }
    place->system = new (std::nothrow) safe_place_system;
    if (place->system == nullptr) {
        close_dir(w);
        return -ENOMEM;
    }
    place->system->dir = w.dir;
    place->system->dir_syncable = w.readable;
    place->system->dir_stat = w.st;
    if (place->exists) place->system->stat = found;
    snprintf(place->name, sizeof place->name, "%s", name);
    snprintf(place->shown, sizeof place->shown, "%s", w.shown);
    return 0;
}

void safe_place_release(struct safe_place *place)
{
    if (place->system == nullptr) return;
    if (place->system->dir >= 0) close(place->system->dir);
    delete place->system;
    place->system = nullptr;
}

int safe_place_make_folder(const char *path)
{
    struct safe_place place;
    int status = safe_place_resolve(path, SAFE_PLACE_TRUSTED_FOLDER, &place, nullptr, 0);
    if (status != 0) return status;
    if (!place.exists) {
        status = make_folder(place.system->dir, place.name);
    } else if (!S_ISDIR(place.system->stat.st_mode)) {
        status = -EEXIST;
    }
    safe_place_release(&place);
    return status;
}

int safe_place_check(const struct safe_place *place, char *why, size_t why_size)
{
    clear(why, why_size);
    if (!place->exists) return 0;
    return check_target(place->system->dir_stat, place->system->stat, place->shown, why, why_size);
}

int safe_place_open_read(const struct safe_place *place, FILE **file, char *why, size_t why_size)
{
    clear(why, why_size);
    *file = nullptr;
    if (!place->exists) return -ENOENT;
    if (S_ISDIR(place->system->stat.st_mode)) return -EISDIR;
    if (!S_ISREG(place->system->stat.st_mode)) {
        return refuse(why, why_size, place->shown, "not a regular file");
    }
    /* Non-blocking: a FIFO swapped in since cannot hold us up. */
    const int opened = openat(place->system->dir, place->name,
                              O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (opened < 0) return errno == ELOOP ? -EAGAIN : -errno;
    struct stat st;
    int status = fstat(opened, &st) != 0 ? -errno : 0;
    if (status == 0 && !same_file(st, place->system->stat)) status = -EAGAIN;
    if (status == 0)
        status = check_hard_links(place->system->dir_stat, st, place->shown, why, why_size);
    if (status != 0) {
        close(opened);
        return status;
    }
    *file = fdopen(opened, "rb");
    if (*file == nullptr) {
        status = -errno;
        close(opened);
    }
    return status;
}

int safe_place_write(struct safe_place *place, const void *data, size_t size,
                     const struct safe_place_file *file, struct safe_place_result *result,
                     char *why, size_t why_size)
{
    clear(why, why_size);
    result->open_failed = true;
    result->finished = false;
    result->sync_error = 0;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    const struct stat &dir = place->system->dir_stat;

    /* What lies at the name now, looked at without following it. */
    struct stat st;
    bool exists = false;
    const int look = openat(place->system->dir, place->name, LOOK_FLAGS);
    if (look >= 0) {
        const int got = fstat(look, &st);
        close(look);
        if (got != 0) return -errno;
        exists = true;
    } else if (errno != ENOENT) {
        return -errno;
    }
    if (exists && S_ISLNK(st.st_mode)) return -ELOOP; /* put there since it was resolved */
    if (exists) {
        const int refused = check_target(dir, st, place->shown, why, why_size);
        if (refused != 0) return refused;
    }

    if (exists && !S_ISREG(st.st_mode)) {
        const int fd =
            openat(place->system->dir, place->name, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return -errno;
        struct stat opened;
        if (fstat(fd, &opened) != 0 || !same_file(st, opened)) {
            close(fd);
            return -EAGAIN;
        }
        result->open_failed = false;
        int status = write_content(fd, bytes, size, file);
        if (close(fd) != 0 && status == 0) status = -errno;
        result->finished = status == 0;
        return status;
    }

    int existing = -1; /* the old file, open for writing */
    if (exists) {
        existing = openat(place->system->dir, place->name,
                          O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (existing < 0) return -errno;
        struct stat opened;
        if (fstat(existing, &opened) != 0 || !same_file(st, opened)) {
            close(existing);
            return -EAGAIN;
        }
        st = opened;
        /* Its links may have grown since it was looked at. */
        const int refused = check_target(dir, st, place->shown, why, why_size);
        if (refused != 0) {
            close(existing);
            return refused;
        }
        if (st.st_nlink > 1) {
            /* A rename would leave the other names with the old content. */
            result->open_failed = false;
            int status = rewrite_in_place(existing, bytes, size, file, result);
            if (close(existing) != 0 && status == 0) status = -errno;
            return status;
        }
    }

    char temp[SAFE_PLACE_NAME_SIZE + 16];
    const int fd = make_temp(place->system->dir, place->name, temp, sizeof temp);
    if (fd < 0) {
        if (existing < 0) return fd;
        /* The folder is closed to us, but the file may be open to all. */
        result->open_failed = false;
        int status = rewrite_in_place(existing, bytes, size, file, result);
        if (close(existing) != 0 && status == 0) status = -errno;
        return status;
    }
    result->open_failed = false;
    int status = write_content(fd, bytes, size, file);
    if (status == 0 && fchmod(fd, file->mode) != 0) status = -errno;
    if (status == 0) result->finished = run_finish(file, fd) == 0;
    if (status == 0 && fsync(fd) != 0) status = -errno;
    /* The owner can be given only once the rename has shown what it replaced;
     * a second descriptor keeps the file at hand past the close, whose
     * failure still fails the write. */
    const struct stat *old = existing >= 0 && file->keep_owner ? &st : nullptr;
    const int held = status == 0 && old != nullptr ? dup(fd) : -1;
    if (old != nullptr && held < 0 && status == 0) status = -errno;
    if (close(fd) != 0 && status == 0) status = -errno;
    bool rename_refused = false;
    if (status == 0) {
#ifdef SAFE_PLACE_TEST_HOOKS
        if (safe_place_before_rename != nullptr)
            safe_place_before_rename(place->system->dir, place->name);
#endif
        status = rename_over(place, temp, held, old);
        rename_refused = status == -EACCES || status == -EPERM;
    }
    if (held >= 0) close(held);
    if (status != 0) {
        unlinkat(place->system->dir, temp, 0);
        result->finished = false;
    }
    /* A sticky folder lets only a file's owner replace it. */
    if (existing >= 0 && rename_refused) {
        status = rewrite_in_place(existing, bytes, size, file, result);
        if (close(existing) != 0 && status == 0) status = -errno;
        return status;
    }
    if (existing >= 0) close(existing);
    if (status == 0) sync_folder(place, result);
    return status;
}
