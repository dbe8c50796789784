/* Access list of a file for every user of the machine. */
#ifndef PLATFORM_FILE_ACCESS_H
#define PLATFORM_FILE_ACCESS_H

#include <stdint.h>

/* Access rights, as the toolkit's access masks name them. */
#define ACCESS_GENERIC_READ 0x80000000u
#define ACCESS_GENERIC_WRITE 0x40000000u

/* Replaces the whole access list of the file at path with one that grants every
 * user (owner, group and everyone else alike) the rights in access_mask, and
 * nothing else: an entry for a named user or group that was there before is
 * gone. Returns 0, or -1 when the list cannot be applied. */
int file_access_grant_everyone(const char *path, uint32_t access_mask);

#ifndef _WIN32
/* The same, on the open file fd (never through a name). */
int file_access_grant_everyone_fd(int fd, uint32_t access_mask);
#else
/* As file_access_grant_everyone, on the file that handle (a HANDLE opened with
 * WRITE_DAC) has open, so that no name is looked up again. The list is
 * protected: nothing is inherited from the folder. Returns 0 or -1. */
int file_access_grant_everyone_handle(void *handle, uint32_t access_mask);
#endif

#endif
