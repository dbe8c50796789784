/*
 * The POSIX registry store behind registry.h.
 *
 * The whole registry is one text file in the registry editor's export format
 * (regfile.h): the file named by the environment variable QUORVANT_REGISTRY,
 * or registry_default_path when that variable is unset or empty. Only for the
 * default path are missing folders created; a missing folder of a path given
 * in the variable is ERROR_PATH_NOT_FOUND. An empty file counts as a store
 * without keys.
 *
 * A write holds an exclusive lock on "<store>.lock" (created beside the store
 * and left there) while it reads the store, edits the text and replaces the
 * file (file_update.h). A store that is a symbolic link is updated, and
 * locked, where the link points. A new store is given mode 0644, so that every user's
 * programs can read it; a replaced store keeps its mode and, where the writer
 * may set them, its owner and group. A reader takes no lock: it always finds
 * a whole file.
 */
#ifndef REGISTRY_STORE_H
#define REGISTRY_STORE_H

#include <string>

extern const char registry_default_path[];

/* The store's path; *is_default tells whether the variable was unset or empty. */
std::string registry_store_path(bool *is_default);

/* The Windows code (registry.h) that stands for a failed system call's errno. */
int registry_status_from_errno(int err);

#endif
