#include "system_clock.h"

#include <windows.h>

namespace {

typedef VOID(WINAPI *read_clock)(LPFILETIME);

/* The precise clock where the system has one (Windows 8 and later); the
 * other one moves only with the scheduler's tick, every 15.625 ms by
 * default, which leaves the low bits of a key-press interval without any
 * entropy. */
read_clock choose_clock(void)
{
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FARPROC precise =
        kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    if (precise == nullptr) {
        return GetSystemTimeAsFileTime;
    }
    /* Through the generic function type, which converts to any other. */
    return reinterpret_cast<read_clock>(reinterpret_cast<void (*)(void)>(precise));
}

} // namespace

uint64_t system_time_100ns(void)
{
    static const read_clock clock = choose_clock();
    FILETIME now;
    clock(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
