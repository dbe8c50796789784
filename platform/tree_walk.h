/*
 * Walking a tree that other users may write, as root may: every entry is
 * looked at relative to its folder's open descriptor and no link below the
 * start is ever followed, so that nothing a user swaps in while the walk runs
 * leads it outside the tree.
 *
 * The walk goes depth first in a fixed order: a folder, then its entries
 * sorted by their bytes (strcmp on unsigned bytes), each folder's contents
 * right after it. Path order below (tree_path_compare) is that order. It
 * needs no recursion and holds at most TREE_WALK_FOLDERS_OPEN folders open
 * however deep the tree: a deeper folder is opened again from its child
 * through "..", and must then be the very folder it was.
 *
 * A regular file is opened with O_NOFOLLOW, O_NONBLOCK and O_NOCTTY (and
 * O_NOATIME where the caller may), and handed over open only when the opened
 * file is still the regular file that was listed; anything else (a FIFO
 * swapped in, say) is described as what was opened and closed at once,
 * before any read. Nothing but folders and regular files is ever opened.
 */
#ifndef PLATFORM_TREE_WALK_H
#define PLATFORM_TREE_WALK_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

enum { TREE_WALK_FOLDERS_OPEN = 64 };

/* What an entry is, as one letter: f regular file, d folder, l symbolic link,
 * p FIFO, s socket, c character device, b block device, ? anything else. */
typedef char tree_type;

/* One entry as the walk found it. */
struct tree_node {
    std::string path; /* the start as given, then "/" and each name */
    unsigned depth;   /* 0 for the start */
    tree_type type;
    uint32_t mode; /* permission bits with setuid, setgid and sticky (07777) */
    uint64_t uid, gid, size, nlink, rdev, dev, ino;
    int64_t mtime_ns, ctime_ns;
    /* The entry could not be looked at (error) or, for a folder, its
     * contents could not be listed (list_error): errno values, or
     * TREE_CHANGED when it changed between its listing and its opening. */
    int error, list_error;
    bool entered;       /* a folder whose contents follow */
    int fd;             /* a regular file open for reading, which the caller closes; or -1 */
    std::string target; /* a link's target */
    /* Extended attributes, sorted by name (access lists, file capabilities,
     * security labels); xattr_error when they could not be read. */
    std::vector<std::pair<std::string, std::string>> xattrs;
    int xattr_error;
    bool xattrs_later; /* see tree_walk_options */
};

/* An error number of the walk's own: "changed while read". */
enum { TREE_CHANGED = 100000 };

struct tree_walk_options {
    bool one_file_system; /* no folder on another file system is entered */
    /* Whether an entry is left out (neither described nor entered), by its
     * shown path; may be NULL. */
    bool (*excluded)(const std::string &path, void *context);
    void *context;
    /* A regular file handed over open comes without its extended attributes
     * (xattrs_later set): the caller reads them through tree_walk_xattrs,
     * on whatever thread suits it. */
    bool file_xattrs_later;
};

struct tree_walk;

/* Starts a walk of the tree at open_path, showing its paths from shown_path
 * (the same path, or the one it has when the tree is mounted elsewhere). The
 * start is followed if it is a link, once, as find -H does. Kernel and FUSE
 * file systems (proc, sysfs, devtmpfs, cgroup, cgroup2, debugfs, tracefs,
 * securityfs, pstore, bpf, configfs, fuse, fuse.*, fuseblk, fusectl) are
 * described but not entered,
 * unless the start lies on one. A start that does not exist gives no entry.
 * Returns 0 or -errno (no memory). */
int tree_walk_start(const char *open_path, const char *shown_path,
                    const struct tree_walk_options *options, struct tree_walk **walk);

/* The next entry: 1 and node filled, 0 at the end, or -errno when the walk
 * cannot go on (a folder it had to open again is not the one it left). */
int tree_walk_next(struct tree_walk *walk, struct tree_node *node);

void tree_walk_end(struct tree_walk *walk);

/* The extended attributes of a file the walk handed over, sorted by name.
 * Returns 0 or an errno. */
int tree_walk_xattrs(int fd, std::vector<std::pair<std::string, std::string>> *xattrs);

/* Closes a file the walk handed over. */
void tree_walk_close(int fd);

/* How many files the process may hold open beside the walk's folders and the
 * standard streams. */
unsigned tree_walk_files_open_max(void);

/* The text of an error number, TREE_CHANGED included. */
const char *tree_error_text(int error);

/* Path order: <0, 0 or >0 as a comes before, is, or comes after b in the
 * walk's order (bytes compared unsigned, with "/" before every other byte). */
int tree_path_compare(const std::string &a, const std::string &b);

/* Whether path lies inside folder (below it, not equal to it). */
bool tree_path_inside(const std::string &path, const std::string &folder);

#endif
