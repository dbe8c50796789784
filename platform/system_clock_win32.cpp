#include "system_clock.h"

#include <windows.h>

uint64_t system_time_100ns(void)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
