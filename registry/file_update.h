/*
 * The store's file beside its lock, all relative to the store's folder (an
 * open descriptor from safe_place_resolve), so that no name is looked up
 * twice. The store itself is replaced with safe_place_write: readers see the
 * old or the new content, never a mixture, and writers that hold the lock
 * one after another each see what the one before them wrote.
 *
 * Every function returns 0 or a negative errno value.
 */
#ifndef REGISTRY_FILE_UPDATE_H
#define REGISTRY_FILE_UPDATE_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

/* Takes the exclusive lock that guards the store name in the folder dir, on
 * "<name>.lock" beside it, and waits for it as long as another holder keeps
 * it. The lock lives on a file of its own because replacing the store gives
 * it a new inode. store describes the existing store (NULL: none yet).
 *
 * The lock is opened without following a link and must be a regular file
 * owned by the store's owner (the caller's while there is no store);
 * otherwise -EACCES with a line in why. Only a user who may write the store
 * can hold this lock, or delay it: it is a write lock, which needs the lock
 * open for writing, and the lock file is readable and writable by exactly
 * the classes (owner, group, others) that may write the store (its owner
 * alone while there is none). It is created if missing, but not for a caller
 * who may not write an existing store; only then, by this run, are its mode
 * and the store's owner and group given to it. A lock file that cannot be
 * opened for writing fails at once (-EACCES), never waits.
 * *fd receives the descriptor to pass to file_unlock. */
int file_lock(int dir, const char *name, const char *shown, const struct stat *store, int *fd,
              char *why, size_t why_size);
void file_unlock(int fd);

/* Removes what earlier writers that died left of their temporary copies of
 * the store name: regular files in dir named "." name ".tmp-" and six
 * characters, owned by owner or by the caller. Nothing else is touched. */
void file_remove_leftovers(int dir, const char *name, uid_t owner);

/* Reads the whole file name in dir into *content, without following a link.
 * A missing file is no failure: *exists is then false and *content empty. A
 * folder gives -EISDIR, anything else that is not a regular file -EACCES.
 * *st describes the file when it exists. Never throws: no memory is -ENOMEM. */
int file_read_all(int dir, const char *name, std::string *content, bool *exists, struct stat *st);

/* Whether the caller may write the existing file name in dir (it is opened
 * for writing and closed again, unchanged). */
int file_check_writable(int dir, const char *name);

#endif
