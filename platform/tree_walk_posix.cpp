/* Walking a tree on Linux. */
#include "tree_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <set>

namespace {

/* A name in a folder, and its type as the listing gives it (DT_UNKNOWN
 * where the file system does not tell). */
struct Listed {
    std::string name;
    unsigned char type;
};

struct Level {
    int fd = -1; /* -1 once closed to keep the count of open folders down */
    uint64_t dev = 0, ino = 0;
    size_t path_length = 0; /* of its path, which the walk's path begins with */
    std::vector<Listed> names;
    size_t next = 0;
};

/* The file systems described but not entered, as /proc/self/mountinfo names
 * them, and their f_type where that file cannot be read. */
const char *const kKernelTypes[] = {"proc",     "sysfs",   "devtmpfs",   "cgroup", "cgroup2",
                                    "debugfs",  "tracefs", "securityfs", "pstore", "bpf",
                                    "configfs", "fuse",    "fuseblk",    "fusectl"};
const unsigned long kKernelMagic[] = {0x9fa0,     0x62656572, 0x27e0eb,   0x63677270,
                                      0x64626720, 0x74726163, 0x73636673, 0x6165676c,
                                      0xcafe4a11, 0x62656570, 0x65735546};

bool kernel_type(const std::string &type)
{
    if (type.compare(0, 5, "fuse.") == 0) return true;
    for (const char *k : kKernelTypes)
        if (type == k) return true;
    return false;
}

uint64_t device_number(unsigned major_number, unsigned minor_number)
{
    return makedev(major_number, minor_number);
}

/* The devices of the kernel's and FUSE's mounts, from mountinfo. */
bool kernel_devices(std::set<uint64_t> *devices)
{
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (f == nullptr) return false;
    char line[4096];
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned major_number, minor_number;
        if (sscanf(line, "%*u %*u %u:%u", &major_number, &minor_number) != 2) continue;
        const char *dash = strstr(line, " - ");
        if (dash == nullptr) continue;
        char type[256];
        if (sscanf(dash + 3, "%255s", type) != 1) continue;
        if (kernel_type(type)) devices->insert(device_number(major_number, minor_number));
    }
    fclose(f);
    return true;
}

void fill(tree_node *node, const struct stat &st)
{
    const mode_t m = st.st_mode;
    node->type = S_ISREG(m)    ? 'f'
                 : S_ISDIR(m)  ? 'd'
                 : S_ISLNK(m)  ? 'l'
                 : S_ISFIFO(m) ? 'p'
                 : S_ISSOCK(m) ? 's'
                 : S_ISCHR(m)  ? 'c'
                 : S_ISBLK(m)  ? 'b'
                               : '?';
    node->mode = static_cast<uint32_t>(m & 07777);
    node->uid = st.st_uid;
    node->gid = st.st_gid;
    node->size = static_cast<uint64_t>(st.st_size);
    node->nlink = static_cast<uint64_t>(st.st_nlink);
    node->rdev = S_ISCHR(m) || S_ISBLK(m) ? static_cast<uint64_t>(st.st_rdev) : 0;
    node->dev = static_cast<uint64_t>(st.st_dev);
    node->ino = static_cast<uint64_t>(st.st_ino);
    node->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    node->ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

void clear(tree_node *node)
{
    node->path.clear();
    node->depth = 0;
    node->type = '?';
    node->mode = 0;
    node->uid = node->gid = node->size = node->nlink = node->rdev = node->dev = node->ino = 0;
    node->mtime_ns = node->ctime_ns = 0;
    node->error = node->list_error = 0;
    node->entered = false;
    node->fd = -1;
    node->target.clear();
    node->xattrs.clear();
    node->xattr_error = 0;
    node->xattrs_later = false;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* Opens name in dir for reading, without changing its access time where the
 * caller may ask so (the file's owner, or root). */
int open_quietly(int dir, const char *name, int flags)
{
    flags |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dir, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(dir, name, flags);
    return fd >= 0 ? fd : -errno;
}

/* Extended attributes through an open descriptor (fd >= 0) or, without
 * following a link, through a path. */
int read_xattrs(int fd, const char *path, std::vector<std::pair<std::string, std::string>> *out)
{
    /* Most entries have no attributes or a short list: the first look needs
     * no allocation. */
    char first[1024];
    std::vector<char> larger;
    char *list = first;
    size_t size = sizeof first;
    for (;;) {
        const ssize_t got = fd >= 0 ? flistxattr(fd, list, size) : llistxattr(path, list, size);
        if (got >= 0) {
            size = static_cast<size_t>(got);
            break;
        }
        if (errno == ENOTSUP) return 0;
        if (errno != ERANGE) return errno;
        size *= 4;
        if (size > (1u << 24)) return E2BIG;
        larger.resize(size);
        list = larger.data();
    }
    for (size_t i = 0; i < size;) {
        const char *name = list + i;
        const size_t length = strnlen(name, size - i);
        i += length + 1;
        if (length == 0) continue;
        std::string value(256, '\0');
        bool gone = false;
        for (;;) {
            const ssize_t got = fd >= 0 ? fgetxattr(fd, name, &value[0], value.size())
                                        : lgetxattr(path, name, &value[0], value.size());
            if (got >= 0) {
                value.resize(static_cast<size_t>(got));
                break;
            }
            if (errno == ENODATA) { /* removed since it was listed */
                gone = true;
                break;
            }
            if (errno != ERANGE) return errno;
            value.resize(value.size() * 4);
            if (value.size() > (1u << 24)) return E2BIG;
        }
        if (gone) continue;
        out->emplace_back(std::string(name, length), std::move(value));
    }
    std::sort(out->begin(), out->end());
    return 0;
}

/* The entries of a folder just opened, sorted: read straight from its
 * descriptor. */
int list_folder(int fd, std::vector<Listed> *names)
{
    alignas(8) char buffer[32768];
    for (;;) {
        const ssize_t got = getdents64(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) break;
        for (ssize_t at = 0; at < got;) {
            const dirent64 *e = reinterpret_cast<const dirent64 *>(buffer + at);
            at += e->d_reclen;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            names->push_back(Listed{name, e->d_type});
        }
    }
    std::sort(names->begin(), names->end(),
              [](const Listed &a, const Listed &b) { return a.name < b.name; });
    return 0;
}

} // namespace

struct tree_walk {
    std::string open_path, shown_path;
    tree_walk_options options{};
    std::vector<Level> levels;
    /* The deepest level's path: only each level's own length is kept, so
     * that a deep tree costs memory in its depth, not its square. */
    std::string path;
    std::set<uint64_t> kernel; /* devices of kernel and FUSE mounts */
    bool kernel_known = false;
    bool started = false;
    uint64_t root_dev = 0;
    unsigned open_folders = 0;
};

namespace {

bool on_kernel_fs(const tree_walk *w, int fd, const struct stat &st)
{
    if (w->kernel_known) return w->kernel.count(static_cast<uint64_t>(st.st_dev)) != 0;
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return false;
    /* f_type is an int on some 32-bit systems: compared as 32 bits. */
    const unsigned long type = static_cast<unsigned long>(fs.f_type) & 0xffffffffUL;
    for (unsigned long magic : kKernelMagic)
        if (type == magic) return true;
    return false;
}

/* Holds at most TREE_WALK_FOLDERS_OPEN folders open: the oldest still open,
 * below the newest, is closed. */
void bound_open_folders(tree_walk *w)
{
    if (w->open_folders <= TREE_WALK_FOLDERS_OPEN) return;
    for (Level &l : w->levels) {
        if (l.fd >= 0) {
            close(l.fd);
            l.fd = -1;
            w->open_folders--;
            return;
        }
    }
}

/* Describes an opened folder and, unless it is not to be entered, lists it
 * and makes it the deepest level. */
void enter_folder(tree_walk *w, int fd, const struct stat &st, bool is_start, tree_node *node)
{
    node->xattr_error = read_xattrs(fd, nullptr, &node->xattrs);
    /* A start on such a file system is entered, and so is the rest of it. */
    const bool elsewhere = !is_start && static_cast<uint64_t>(st.st_dev) != w->root_dev;
    if (elsewhere && (w->options.one_file_system || on_kernel_fs(w, fd, st))) {
        close(fd);
        return;
    }
    Level level;
    level.fd = fd;
    level.dev = static_cast<uint64_t>(st.st_dev);
    level.ino = static_cast<uint64_t>(st.st_ino);
    level.path_length = node->path.size();
    w->path = node->path;
    const int error = list_folder(fd, &level.names);
    if (error != 0) {
        node->list_error = error;
        close(fd);
        return;
    }
    node->entered = true;
    w->levels.push_back(std::move(level));
    w->open_folders++;
    bound_open_folders(w);
}

/* Describes an entry of the deepest level's folder. A regular file or a
 * folder, as the listing says, is opened at once (without following a link)
 * and described as what was opened; anything else is looked at without being
 * opened. */
void describe(tree_walk *w, const Listed &entry, tree_node *node)
{
    Level &level = w->levels.back();
    const char *name = entry.name.c_str();
    struct stat st;
    bool looked = false;
    mode_t kind = entry.type == DT_REG ? S_IFREG : entry.type == DT_DIR ? S_IFDIR : 0;
    if (kind == 0) {
        if (fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            node->error = errno;
            return;
        }
        looked = true;
        fill(node, st);
        kind = st.st_mode & S_IFMT;
    }
    if (kind == S_IFREG || kind == S_IFDIR) {
        const int fd = open_quietly(level.fd, name, kind == S_IFDIR ? O_DIRECTORY : 0);
        if (fd < 0) {
            if (!looked) {
                if (fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    node->error = errno;
                    return;
                }
                fill(node, st);
            }
            if ((st.st_mode & S_IFMT) != kind) {
                /* No longer what was listed: described as it is now. */
                if (S_ISDIR(st.st_mode)) node->list_error = TREE_CHANGED;
                if (S_ISREG(st.st_mode)) node->error = TREE_CHANGED;
            } else if (kind == S_IFDIR) {
                node->list_error = -fd;
            } else {
                node->error = -fd;
            }
        } else {
            struct stat opened;
            if (fstat(fd, &opened) != 0) {
                node->error = errno;
                close(fd);
                return;
            }
            fill(node, opened);
            if ((opened.st_mode & S_IFMT) != kind || (looked && !same_file(st, opened))) {
                /* Swapped between the listing and the open: described as
                 * what was opened, and never read. */
                node->xattr_error = read_xattrs(fd, nullptr, &node->xattrs);
                if (S_ISDIR(opened.st_mode)) node->list_error = TREE_CHANGED;
                if (S_ISREG(opened.st_mode)) node->error = TREE_CHANGED;
                close(fd);
                return;
            }
            if (S_ISDIR(opened.st_mode)) {
                enter_folder(w, fd, opened, false, node);
                return;
            }
            if (w->options.file_xattrs_later) {
                node->xattrs_later = true;
            } else {
                node->xattr_error = read_xattrs(fd, nullptr, &node->xattrs);
            }
            node->fd = fd;
            return;
        }
        if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            char through[64 + 4096];
            const int n = snprintf(through, sizeof through, "/proc/self/fd/%d/%s", level.fd, name);
            if (n > 0 && static_cast<size_t>(n) < sizeof through)
                node->xattr_error = read_xattrs(-1, through, &node->xattrs);
            return;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(256);
        for (;;) {
            const ssize_t got = readlinkat(level.fd, name, target.data(), target.size());
            if (got < 0) {
                node->error = errno;
                break;
            }
            if (static_cast<size_t>(got) < target.size()) {
                node->target.assign(target.data(), static_cast<size_t>(got));
                break;
            }
            target.resize(target.size() * 2);
        }
    }
    /* Links and special files are never opened: their attributes are read
     * through the folder's descriptor. */
    char through[64 + 4096];
    const int n = snprintf(through, sizeof through, "/proc/self/fd/%d/%s", level.fd, name);
    if (n > 0 && static_cast<size_t>(n) < sizeof through) {
        node->xattr_error = read_xattrs(-1, through, &node->xattrs);
    } else {
        node->xattr_error = ENAMETOOLONG;
    }
}

/* Makes the deepest level's folder open again, from the level below it,
 * which was just left. Returns 0 or -errno. */
int reopen_from(tree_walk *w, int child_fd)
{
    Level &level = w->levels.back();
    if (level.fd >= 0) return 0;
    const int fd = openat(child_fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_dev) != level.dev ||
        static_cast<uint64_t>(st.st_ino) != level.ino) {
        close(fd);
        return -ESTALE;
    }
    level.fd = fd;
    w->open_folders++;
    return 0;
}

int start(tree_walk *w, tree_node *node)
{
    node->path = w->shown_path;
    struct stat st;
    if (stat(w->open_path.c_str(), &st) != 0) {
        /* A link to nothing is described as the link. */
        if (lstat(w->open_path.c_str(), &st) != 0) {
            /* A start that is gone has no entries at all. */
            if (errno == ENOENT) return 0;
            node->error = errno;
            return 1;
        }
    }
    fill(node, st);
    w->root_dev = static_cast<uint64_t>(st.st_dev);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(4096);
        const ssize_t got = readlink(w->open_path.c_str(), target.data(), target.size());
        if (got >= 0) node->target.assign(target.data(), static_cast<size_t>(got));
        node->xattr_error = read_xattrs(-1, w->open_path.c_str(), &node->xattrs);
        return 1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        node->xattr_error = read_xattrs(-1, w->open_path.c_str(), &node->xattrs);
        return 1;
    }
    /* The start alone may be a link, followed once. */
    const int flags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0);
    int fd = open(w->open_path.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = open(w->open_path.c_str(), flags);
    if (fd < 0) {
        if (S_ISDIR(st.st_mode)) {
            node->list_error = errno;
        } else {
            node->error = errno;
        }
        node->xattr_error = read_xattrs(-1, w->open_path.c_str(), &node->xattrs);
        return 1;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !same_file(st, opened)) {
        close(fd);
        node->error = TREE_CHANGED;
        return 1;
    }
    fill(node, opened);
    if (S_ISDIR(opened.st_mode)) {
        enter_folder(w, fd, opened, true, node);
        return 1;
    }
    node->xattr_error = read_xattrs(fd, nullptr, &node->xattrs);
    node->fd = fd;
    return 1;
}

} // namespace

int tree_walk_start(const char *open_path, const char *shown_path,
                    const struct tree_walk_options *options, struct tree_walk **walk)
{
    *walk = nullptr;
    tree_walk *w = new (std::nothrow) tree_walk;
    if (w == nullptr) return -ENOMEM;
    try {
        w->open_path = open_path;
        w->shown_path = shown_path;
        if (options != nullptr) w->options = *options;
        w->kernel_known = kernel_devices(&w->kernel);
    } catch (const std::bad_alloc &) {
        delete w;
        return -ENOMEM;
    }
    *walk = w;
    return 0;
}

int tree_walk_next(struct tree_walk *w, struct tree_node *node)
{
    try {
        clear(node);
        if (!w->started) {
            w->started = true;
            return start(w, node);
        }
        while (!w->levels.empty()) {
            Level &level = w->levels.back();
            if (level.next == level.names.size()) {
                const int fd = level.fd;
                w->levels.pop_back();
                int status = 0;
                if (!w->levels.empty()) {
                    status = reopen_from(w, fd);
                    w->path.resize(w->levels.back().path_length);
                }
                if (fd >= 0) {
                    close(fd);
                    w->open_folders--;
                }
                if (status != 0) return status;
                continue;
            }
            const Listed &entry = level.names[level.next++];
            node->path = w->path;
            if (node->path.empty() || node->path.back() != '/') node->path += '/';
            node->path += entry.name;
            if (w->options.excluded != nullptr &&
                w->options.excluded(node->path, w->options.context)) {
                node->path.clear();
                continue;
            }
            node->depth = static_cast<unsigned>(w->levels.size());
            describe(w, entry, node);
            if (node->error == ENOENT) { /* gone since the listing */
                clear(node);
                continue;
            }
            return 1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    }
}

void tree_walk_end(struct tree_walk *w)
{
    if (w == nullptr) return;
    for (Level &l : w->levels)
        if (l.fd >= 0) close(l.fd);
    delete w;
}

int tree_walk_xattrs(int fd, std::vector<std::pair<std::string, std::string>> *xattrs)
{
    try {
        xattrs->clear();
        return read_xattrs(fd, nullptr, xattrs);
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

void tree_walk_close(int fd)
{
    close(fd);
}

unsigned tree_walk_files_open_max(void)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 4096;
    const rlim_t reserved = TREE_WALK_FOLDERS_OPEN + 32;
    return limit.rlim_cur > reserved + 8 ? static_cast<unsigned>(limit.rlim_cur - reserved) : 8;
}

const char *tree_error_text(int error)
{
    return error == TREE_CHANGED ? "changed while read" : strerror(error);
}

int tree_path_compare(const std::string &a, const std::string &b)
{
    /* Paths share long beginnings: only the first byte that differs is
     * weighed, with "/" below every other byte. */
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    while (i + 8 <= n && memcmp(a.data() + i, b.data() + i, 8) == 0) i += 8;
    while (i < n && a[i] == b[i]) i++;
    if (i == n) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    const unsigned x = a[i] == '/' ? 0u : static_cast<unsigned char>(a[i]) + 1u;
    const unsigned y = b[i] == '/' ? 0u : static_cast<unsigned char>(b[i]) + 1u;
    return x < y ? -1 : 1;
}

bool tree_path_inside(const std::string &path, const std::string &folder)
{
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
    return folder.back() == '/' || path[folder.size()] == '/';
}
