/*
 * Replacing a small file so that nothing is ever lost: readers see the old or
 * the new content, never a mixture, and writers that hold the lock one after
 * another each see what the one before them wrote.
 *
 * Every function returns 0 or a negative errno value.
 */
#ifndef REGISTRY_FILE_UPDATE_H
#define REGISTRY_FILE_UPDATE_H

#include <sys/types.h>

#include <string>

/* Takes the exclusive lock that guards data_path, on lock_path, and waits for
 * it as long as another holder keeps it. The lock lives on a file of its own
 * because replacing the data file gives it a new inode.
 *
 * Only a user who may write data_path can hold this lock, or delay it: the
 * lock is a write lock, which needs lock_path open for writing, and lock_path
 * is readable and writable by exactly the classes (owner, group, others) that
 * may write data_path (its owner alone while data_path does not exist), so a
 * user who may only read the data cannot open the lock at all, not even for
 * a shared lock. The lock file is created if missing, but not for a caller
 * who may not write an existing data_path; as far as allowed it is given that
 * mode, and data_path's owner and group, each time it is taken. A lock file
 * that cannot be opened for writing fails at once (-EACCES), never waits.
 * *fd receives the descriptor to pass to file_unlock. */
int file_lock(const char *lock_path, const char *data_path, int *fd);
void file_unlock(int fd);

/* Reads the whole file into *content. A missing file is no failure: *exists
 * is then false and *content empty. A folder gives -EISDIR, anything else
 * that is not a regular file -EACCES. *mode, *uid and *gid describe the file
 * when it exists. */
int file_read_all(const char *path, std::string *content, bool *exists, mode_t *mode, uid_t *uid,
                  gid_t *gid);

/* Whether the caller may write the existing file path (it is opened for
 * writing and closed again, unchanged). */
int file_check_writable(const char *path);

/* Writes content to a new file beside path, flushes it to disk, gives it
 * mode (and, as far as allowed, owner uid and group gid; pass (uid_t)-1 and
 * (gid_t)-1 to keep the caller's), renames it over path and flushes the
 * folder. On failure path is unchanged and the new file is removed. */
int file_replace(const char *path, const std::string &content, mode_t mode, uid_t uid, gid_t gid);

/* Creates the folders above path that are missing, with mode 0755 whatever
 * the umask. */
int file_make_parent_dirs(const char *path);

#endif
