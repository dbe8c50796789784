/* The start file: exactly 40 seed bytes, no header, readable and writable by
 * every user of the machine. */
#ifndef KBDSEED_START_FILE_H
#define KBDSEED_START_FILE_H

#include <stddef.h>
#include <stdint.h>

/* Creates or truncates path in binary mode and writes count bytes of data,
 * then gives the file the access list of set_file_access. Returns 0 once
 * the bytes have been written, flushed and the file closed; otherwise -1
 * after "ERROR: unable to open file %s\n" or "ERROR: unable to write to file
 * %s\n" on standard error. After a failed write a regular file at path is
 * removed, so no short start file remains; anything else (a device) stays. */
int write_to_file(const char *path, const uint8_t *data, size_t count);

/* Replaces the access list of path with one that grants every user the rights
 * in access_mask (ACCESS_GENERIC_READ, ACCESS_GENERIC_WRITE) and nothing else.
 * When that fails, prints one warning line naming the path on standard error;
 * the failure is not passed on, since the data is written by then. */
void set_file_access(const char *path, uint32_t access_mask);

#endif
