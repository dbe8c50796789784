/* The part of the safe place that both systems' sources share (safe_place.cpp),
 * and the written file as they hand it to finish. */
#ifndef PLATFORM_SAFE_PLACE_SYSTEM_H
#define PLATFORM_SAFE_PLACE_SYSTEM_H

#include <stddef.h>
#include <stdint.h>

#include "safe_place.h"

/* The written file: a descriptor on POSIX systems, a HANDLE opened with
 * READ_CONTROL and WRITE_DAC on Windows; the other member is unused. */
struct safe_place_open {
    int fd;
    void *handle;
};

/* How many random names a write tries before it gives up. */
enum { SAFE_PLACE_TEMP_TRIES = 100 };

/* Composes in temp the temporary name for target from random bits: "."
 * target ".tmp-" and six letters or digits. Returns its length, or -1 when
 * it does not fit size bytes. */
int safe_place_temp_name(char *temp, size_t size, const char *target, uint64_t bits);

#endif
