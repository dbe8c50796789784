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

/* Takes an exclusive lock on lock_path, creating it (mode 0644) if missing,
 * and waits for it as long as another holder keeps it. The lock lives on a
 * file of its own because replacing the data file gives it a new inode.
 * *fd receives the descriptor to pass to file_unlock. */
int file_lock(const char *lock_path, int *fd);
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
