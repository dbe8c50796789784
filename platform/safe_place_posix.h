/* What a safe place holds on POSIX systems, for the callers that go on
 * working in its folder (the registry's store and its lock). */
#ifndef PLATFORM_SAFE_PLACE_POSIX_H
#define PLATFORM_SAFE_PLACE_POSIX_H

#include <stdbool.h>
#include <sys/stat.h>

#include "safe_place.h"

struct safe_place_system {
    int dir;              /* the folder's descriptor */
    bool dir_syncable;    /* opened for reading, so fsync works */
    struct stat dir_stat; /* the folder, as opened */
    struct stat stat;     /* what lay at the name, when the place's exists */
};

#ifdef SAFE_PLACE_TEST_HOOKS
/* Test builds only: called by safe_place_write just before the new file is
 * renamed over the name, so that a test can change the folder at that moment. */
extern void (*safe_place_before_rename)(int dir, const char *name);
#endif

#endif
