/* Access list of a file for every user of the machine. */
#ifndef PLATFORM_FILE_ACCESS_H
#define PLATFORM_FILE_ACCESS_H

#include <stdint.h>

/* Access rights, as the toolkit's access masks name them. */
#define ACCESS_GENERIC_READ 0x80000000u
#define ACCESS_GENERIC_WRITE 0x40000000u

struct safe_place_open;

/* Replaces the whole access list of the file at path with one that grants every
 * user (owner, group and everyone else alike) the rights in access_mask, and
 * nothing else: an entry for a named user or group that was there before is
 * gone. On Windows the list is one entry for Everyone, no inheritance, and is
 * marked protected (SE_DACL_PROTECTED), so that entries handed down from the
 * folder are not merged into it, then or when the folder's inheritable entries
 * are later applied to what is in it. Returns 0, or -1 when the list cannot be
 * applied. */
int file_access_grant_everyone(const char *path, uint32_t access_mask);

/* The same, on the file that safe_place_write has open (never through a
 * name). */
int file_access_grant_everyone_open(const struct safe_place_open *file, uint32_t access_mask);

#endif
