/* One entry of a tree as treeaudit records it. */
#ifndef TREEAUDIT_ENTRY_H
#define TREEAUDIT_ENTRY_H

#include <stdint.h>

#include <string>

enum { TREE_DIGEST_MAX = 64, XATTR_DIGEST_SIZE = 32 };

/* For a regular file its digest; for a folder its contents. */
enum Content {
    CONTENT_NONE,    /* no digest: not a regular file, or a folder listed */
    CONTENT_KNOWN,   /* a regular file's digest */
    CONTENT_UNKNOWN, /* a file that could not be read, a folder that could not be listed */
    CONTENT_OUTSIDE, /* a folder not entered: a kernel or FUSE file system, or another
                        one with --one-file-system */
};

struct Entry {
    unsigned root = 0; /* which of the recorded roots it lies under */
    std::string path;
    char type = '?'; /* f d l p s c b, or ? when it could not be looked at */
    uint32_t mode = 0;
    uint64_t uid = 0, gid = 0, size = 0, nlink = 0, rdev = 0;
    int64_t mtime_ns = 0;
    std::string target; /* a link's */
    bool has_xattrs = false;
    bool capabilities = false; /* among them, file capabilities */
    uint8_t xattrs[XATTR_DIGEST_SIZE] = {0};
    Content content = CONTENT_NONE;
    uint8_t digest[TREE_DIGEST_MAX] = {0};
    /* Only in a walk: why it could not be read (errno, or TREE_CHANGED). */
    int error = 0;
};

#endif
