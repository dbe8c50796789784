/*
 * The POSIX registry store behind registry.h.
 *
 * The whole registry is one text file: where it lies, how a write locks and
 * replaces it and what a reader finds are told in quorvant-registry(5)
 * ("Where it lies", "Writing"). regfile.h reads and edits the text,
 * file_update.h locks and replaces the file.
 */
#ifndef REGISTRY_STORE_H
#define REGISTRY_STORE_H

#include <string>

/* The store's path: QUORVANT_REGISTRY, or registry.reg in the machine's data
 * folder (data_dir_system.h); *is_default tells whether the variable was unset
 * or empty. */
std::string registry_store_path(bool *is_default);

/* The Windows code (registry.h) that stands for a failed system call's errno. */
int registry_status_from_errno(int err);

#endif
