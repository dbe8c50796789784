/* One file to hash, or one result in the making that needs no hashing, in
 * the order the main thread prints its results. */
#ifndef HASH_FILES_JOB_H
#define HASH_FILES_JOB_H

#include <stdint.h>

#include <string>

#include "file_input.h"

enum { DIGEST_MAX = 64 };

enum JobKind {
    JOB_FILE,     /* hashed by a worker */
    JOB_STDIN,    /* standard input, hashed by the main thread in its turn */
    JOB_IMPROPER, /* an improperly formatted list line */
    JOB_DONE,     /* nothing to hash: the main thread has its result already */
};

struct Job {
    JobKind kind = JOB_FILE;
    std::string name;
    /* A file the caller opened already (then name only names it), which the
     * worker reads from where it stands and closes; -1: the worker opens
     * name. */
    int fd = -1;
    /* With fd: its size when the caller knows it is a regular file, or -1. */
    int64_t size = -1;
    /* With fd, once read whole: the file as it stood when the reading ended,
     * for the caller to see whether it changed while it was read. */
    FileState after = {0, 0, 0};
    /* With fd: called by the worker with the file before it reads it, for a
     * further look the caller wants done off its own thread; context is the
     * caller's. May be NULL. */
    void (*before_read)(int fd, void *context) = nullptr;
    void *context = nullptr;
    unsigned long line = 0;             /* its list line, counted from 1 */
    int digest_size = 32;               /* bytes */
    uint8_t expected[DIGEST_MAX] = {0}; /* when checking */
    int error = 0;                      /* errno of a failed open or read, or 0 */
    uint8_t digest[DIGEST_MAX] = {0};
};

#endif
