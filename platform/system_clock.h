/* The system clock in the unit and epoch of the toolkit's time readings. */
#ifndef PLATFORM_SYSTEM_CLOCK_H
#define PLATFORM_SYSTEM_CLOCK_H

#include <stdint.h>

/* The current system time (UTC) as a count of 100-nanosecond intervals since
 * 1601-01-01 00:00 UTC, modulo 2^64. On Windows it is read with
 * GetSystemTimePreciseAsFileTime where the system has it, else with
 * GetSystemTimeAsFileTime. */
uint64_t system_time_100ns(void);

#endif
