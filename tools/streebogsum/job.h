/* One line of streebogsum's output in the making: a file to hash, or a list
 * line that needs no hashing. */
#ifndef STREEBOGSUM_JOB_H
#define STREEBOGSUM_JOB_H

#include <stdint.h>

#include <string>

#include "list_line.h"

enum JobKind {
    JOB_FILE,     /* hashed by a worker */
    JOB_STDIN,    /* standard input, hashed by the main thread in its turn */
    JOB_IMPROPER, /* an improperly formatted list line */
};

struct Job {
    JobKind kind = JOB_FILE;
    std::string name;
    unsigned long line = 0;             /* its list line, counted from 1 */
    int digest_size = 32;               /* bytes */
    uint8_t expected[DIGEST_MAX] = {0}; /* when checking */
    int error = 0;                      /* errno of a failed open or read, or 0 */
    uint8_t digest[DIGEST_MAX] = {0};
};

#endif
