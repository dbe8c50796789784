#include "system_clock.h"

#include <time.h>

/* Seconds from 1601-01-01 to 1970-01-01 UTC. */
static const uint64_t EPOCH_1601_TO_1970 = 11644473600u;

uint64_t system_time_100ns(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return 0;
    }
    /* Unsigned arithmetic wraps modulo 2^64, so times before 1970 come out
     * right as well. */
    const uint64_t seconds =
        static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec)) + EPOCH_1601_TO_1970;
    return seconds * 10000000u + static_cast<uint64_t>(now.tv_nsec) / 100u;
}
