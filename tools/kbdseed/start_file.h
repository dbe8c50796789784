/* The start file: exactly 40 seed bytes, no header, readable and writable by
 * every user of the machine. */
#ifndef KBDSEED_START_FILE_H
#define KBDSEED_START_FILE_H

#include <stddef.h>
#include <stdint.h>

/* Leaves path holding exactly the count bytes of data, with the access list of
 * set_file_access. Returns 0 once the bytes are on the disk; otherwise -1
 * after "ERROR: unable to open file %s\n" or "ERROR: unable to write to file
 * %s\n" on standard error. An access list that cannot be applied is one
 * warning line, and still 0.
 *
 * A file that exists is never lost: the new bytes go to a new file in the
 * same folder, which is flushed to disk and then renamed over the old one, so
 * after any failure the old file is there byte for byte and no new file
 * remains. A path that is a symbolic link replaces the file the link points
 * to, as far as links are followed at all: one that another user owns in a
 * folder every user may write is not (nor is another user's file there, a
 * device or FIFO of another user, a folder on the way that every user may
 * write without the sticky bit, or a file with several hard links in a folder
 * others may write); then one line that says why comes before the open
 * failure. Where no new file may be made in the folder but the existing file
 * may be written (the default folder belongs to the administrator, the file is
 * open to all), the file is overwritten in place, and so is a file with
 * several hard links; a device such as /dev/full is written in place too, its
 * mode and access list untouched. An existing file the caller may not write
 * is an open failure. Same as write_start_file(path, data, count, 0). */
int write_to_file(const char *path, const uint8_t *data, size_t count);

/* The file's own folder must belong to root/Administrators/SYSTEM or the
 * caller and be writable by no one else (used for the machine-wide default
 * file). */
enum { START_FILE_TRUSTED_FOLDER = 1 };

/* write_to_file with flags (START_FILE_TRUSTED_FOLDER). */
int write_start_file(const char *path, const uint8_t *data, size_t count, unsigned flags);

/* Replaces the access list of path with one that grants every user the rights
 * in access_mask (ACCESS_GENERIC_READ, ACCESS_GENERIC_WRITE) and nothing else.
 * When that fails, prints one warning line naming the path on standard error;
 * the failure is not passed on, since the data is written by then. */
void set_file_access(const char *path, uint32_t access_mask);

/* Whether path is a start file that "-n" keeps: it opens for reading in binary
 * mode and is not a folder. Its content is not looked at. The path is resolved
 * as write_start_file with flags resolves it, and a path that the write would
 * refuse is no file to keep; a FIFO or device that the write would take counts
 * as kept without being opened, so nothing can hang the check. */
bool start_file_exists(const char *path, unsigned flags);

#endif
