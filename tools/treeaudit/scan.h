/* Walking the roots and hashing their files with the worker threads, the
 * entries coming out in the walk's order. */
#ifndef TREEAUDIT_SCAN_H
#define TREEAUDIT_SCAN_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "entry.h"

struct ScanOptions {
    int digest_size = 32; /* bytes */
    unsigned jobs = 1;    /* worker threads */
    bool one_file_system = false;
    std::vector<std::string> roots; /* absolute, as recorded */
    std::vector<std::string> excludes;
    std::string prefix; /* where the roots lie now (--root), or empty */
    /* Files left out wherever they lie, as device and inode: the database
     * being read and the one being written. */
    std::vector<std::pair<uint64_t, uint64_t>> own;
};

/* Receives each entry in order; a nonzero return ends the scan with it. */
typedef int (*ScanSink)(const Entry &entry, void *context);

/* Returns 0, the sink's nonzero status, or -errno when the walk or the
 * threads failed (error tells which). */
int scan(const ScanOptions &options, ScanSink sink, void *context, std::string *error);

/* The digest of a set of extended attributes (sorted by name), and whether
 * file capabilities are among them. */
void xattr_digest(const std::vector<std::pair<std::string, std::string>> &xattrs, Entry *entry);

#endif
