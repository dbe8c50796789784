/*
 * Placing a small file where another user may have a hand in the path, and
 * reading one there: one interface, one source per system.
 *
 * POSIX systems:
 * A path is resolved one component at a time from "/" (absolute) or the
 * current folder (relative), each folder opened with O_NOFOLLOW, and every
 * symbolic link met on the way (inside the path or at its end) is read and
 * followed by hand, at most 40 times, under rules stricter than the kernel's
 * own whatever the machine's settings say:
 *   - a link that belongs to neither root nor the caller (effective user) is
 *     followed only where its owner cannot change it: in a folder with the
 *     sticky bit that every user may write, never unless it belongs to the
 *     folder's owner (as fs.protected_symlinks would have it), and never in
 *     a folder of its owner's or one that users other than the folder's owner
 *     may write;
 *   - a folder on the way that every user may write without the sticky bit
 *     (the start folder too) is refused.
 * With SAFE_PLACE_TRUSTED_FOLDER, for machine-wide files, every folder on the
 * way from "/" down (a relative path is taken from the current folder's path)
 * and every folder a link is read from must belong to root or the caller and
 * be writable by no one else, not even a sticky folder open to all, and every
 * link followed must belong to root or the caller: as the secure shell checks
 * the path of a user's keys.
 * Afterwards everything happens relative to the last folder's descriptor, so
 * that nothing checked is looked up by name again. A refusal returns -EACCES
 * with one line in why (no newline) that names the offending component as far
 * as the path was resolved, for example
 *   "ERROR: refusing /tmp/r/seed.bin: a link that another user owns in a folder
 *    every user may write"
 * Every other failure leaves why empty. Functions return 0 or a negative errno.
 *
 * Windows: the path is walked a component at a time from where it starts
 * (the root, or the current folder), each component opened without
 * following a junction or symbolic link, and each folder held open without
 * FILE_SHARE_DELETE while the walk goes on below it, so that nobody can rename
 * or delete it. A link is followed by hand (at most 31 times), and only when
 * its owner is the caller, Administrators or SYSTEM: every user may make
 * junctions under the all-users profile; one that another user owns is
 * refused ("ERROR: refusing <path>: a link that another user owns"). A name
 * ending in a separator, or a folder at the end, is no file (-EISDIR). A
 * device by its own name (NUL, CON, \\.\COM1) is no path: it is written as
 * it is, anything on a disk named that way refused. With
 * SAFE_PLACE_TRUSTED_FOLDER the file's own folder must belong to the caller,
 * Administrators or SYSTEM and grant no one else the right to add, remove or
 * rename what is in it. Everything after the walk happens on handles: the
 * temporary file is made, and renamed over the name, relative to the held
 * folder, never through a name looked up again.
 */
#ifndef PLATFORM_SAFE_PLACE_H
#define PLATFORM_SAFE_PLACE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

enum { SAFE_PLACE_PATH_SIZE = 4096, SAFE_PLACE_NAME_SIZE = 256 };

enum {
    /* Every folder and link on the way must be root's or the caller's, as
     * above: a machine-wide file. */
    SAFE_PLACE_TRUSTED_FOLDER = 1,
    /* Missing folders on the way are made, mode 0755 whatever the umask
     * (POSIX systems; Windows gives -ENOSYS). */
    SAFE_PLACE_MAKE_FOLDERS = 2
};

/* What lay at a place's name when it was resolved. */
enum safe_place_kind {
    SAFE_PLACE_NOTHING,
    SAFE_PLACE_FILE,   /* a regular file */
    SAFE_PLACE_FOLDER, /* (POSIX systems; on Windows the walk refuses one) */
    SAFE_PLACE_DEVICE  /* a device, FIFO or socket */
};

/* What the system holds open for a place until it is released, defined by
 * each system's source (POSIX: safe_place_posix.h). */
struct safe_place_system;

/* Where a path leads: its last folder, held open, and the name in it. */
struct safe_place {
    struct safe_place_system *system;
    char name[SAFE_PLACE_NAME_SIZE];  /* the last component */
    char shown[SAFE_PLACE_PATH_SIZE]; /* the path as resolved, for messages */
    bool exists;                      /* something other than a link lay at name */
    enum safe_place_kind kind;        /* what, when exists */
};

/* Resolves path as above. On success place holds the folder and the name
 * (which may not exist yet; a link to nothing yet gives the name it points
 * to), and must be given to safe_place_release. A path that ends in "/",
 * "." or ".." gives -EISDIR. On failure nothing needs releasing. */
int safe_place_resolve(const char *path, unsigned flags, struct safe_place *place, char *why,
                       size_t why_size);
void safe_place_release(struct safe_place *place);

/* Makes the machine-wide folder at path (its last level only) with mode 0755
 * whatever the umask, set through the new folder's descriptor, only where
 * the path passes SAFE_PLACE_TRUSTED_FOLDER. An existing folder is left as it
 * is. (POSIX systems: Windows makes its data folder with a list of its own,
 * in data_dir_win32.cpp.) */
int safe_place_make_folder(const char *path);

/* The written file, still open, as the system holds it: what finish is given,
 * for file_access_grant_everyone_open. */
struct safe_place_open;

/* What a regular file written by safe_place_write is given. */
struct safe_place_file {
    unsigned mode; /* POSIX mode bits of a new file (a file rewritten in place
                      keeps its own); on Windows a new file has the list that
                      finish sets, or what its folder hands down */
    /* The new file takes the owner and group of the file it replaces, as far
     * as the caller may give them. POSIX systems: only of the very file that
     * the rename replaced, as it stood at that moment: another user who
     * removes or swaps his file in between gets nothing of the caller's;
     * where the system cannot swap two names in one step, the new file stays
     * the caller's. Windows: of the file that the walk found and opened for
     * writing; its audit list too, for a holder of the security privilege. */
    bool keep_owner;
    /* Writes the content itself to out in place of data and size, returning
     * 0 or a negative errno: for a content too large to hold in memory. out is
     * flushed and closed by safe_place_write. May be NULL. */
    int (*produce)(FILE *out, void *context);
    /* Called with the written regular file before it is flushed (an access
     * list, say); never for a device or FIFO. May be NULL. */
    int (*finish)(const struct safe_place_open *file, void *context);
    void *context;
};

struct safe_place_result {
    bool open_failed; /* nothing was opened or created for writing */
    bool finished;    /* finish ran and returned 0 (true when it had nothing to do) */
    int sync_error;   /* the folder's flush after the rename failed (errno); the
                         new file is in place all the same */
};

/* Leaves place's name holding the size bytes of data.
 *   - A folder: -EISDIR. A regular file owned by neither the caller nor the
 *     folder's owner in a sticky folder every user may write: refused.
 *   - A FIFO or device is written in place (its mode and access list never
 *     touched), only when root, the caller or the folder's owner owns it (in
 *     a sticky folder every user may write, only the caller or the folder's
 *     owner); otherwise refused. (Windows: a device by its own name.)
 *   - An existing regular file is replaced only when the caller may open it
 *     for writing. One with more than one hard link is refused in a folder
 *     another user may write, and elsewhere rewritten in place (written,
 *     flushed, then cut to size), so that every name sees the new bytes.
 *   - Otherwise the bytes go to a new file "." name ".tmp-" and six random
 *     characters in the same folder, which is flushed and renamed over name,
 *     and the folder is flushed: after a failure name is as it was and no new
 *     file remains. Where no file may be made in the folder (or renamed over
 *     name) but name may be written, it is rewritten in place.
 * result tells what failed, or what happened beside success. */
int safe_place_write(struct safe_place *place, const void *data, size_t size,
                     const struct safe_place_file *file, struct safe_place_result *result,
                     char *why, size_t why_size);

/* Whether safe_place_write would take what lay at place's name when it was
 * resolved: 0 (nothing there, or something it may write), -EISDIR, or -EACCES
 * with the line of the write's own refusal in why. Opens nothing. */
int safe_place_check(const struct safe_place *place, char *why, size_t why_size);

/* Opens what lies at place's name for reading in binary mode: only the
 * regular file that was resolved (a FIFO or device is refused, never opened,
 * so nothing can hang the caller), and, as safe_place_write, not one with more
 * than one hard link in a folder that another user may write. *file receives
 * the stream. A missing name gives -ENOENT, a folder -EISDIR, a name changed
 * since it was resolved -EAGAIN. */
int safe_place_open_read(const struct safe_place *place, FILE **file, char *why, size_t why_size);

/* Whether name in place's folder has the form of safe_place_write's
 * temporary files for target: "." target ".tmp-" and six characters. */
bool safe_place_is_temp_name(const char *name, const char *target);

#endif
