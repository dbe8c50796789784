/*
 * The machine-wide registry: set and read one value.
 *
 * registry_set_value has the contract of the shell utility call SHSetValueA
 * and registry_get_value that of SHGetValueA: a root, a key path below it
 * ("SOFTWARE\Quorvant\Tessaly", single backslashes), a value name, a type and
 * the data as bytes. Both return 0 on success or the Windows error code the
 * shell call would return, a positive number: the REGISTRY_* codes below,
 * each told in quorvant-registry(5), RETURN VALUE.
 *
 * On POSIX systems the registry is one text file in the export format of the
 * Windows registry editor (quorvant-registry(5) tells where it lies, what is
 * kept and how it is written); on Windows these calls are the shell's own.
 * Installed as <quorvant/registry.h> with the library quorvant_registry.
 */
#ifndef QUORVANT_REGISTRY_H
#define QUORVANT_REGISTRY_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where the POSIX store writes the lines that say why it refused a path (an
 * "ERROR: refusing ..." line before the call returns 5) and warnings about a
 * write that succeeded (a folder that could not be flushed to disk). Unset
 * (NULL) at start: nothing is written. Windows never writes to it. */
extern FILE *registry_diag_stream;

/* The one root the toolkit uses. */
enum registry_root { REGISTRY_LOCAL_MACHINE = 1 };

/* Value types, numbered as the Windows registry numbers them. */
enum {
    REGISTRY_NONE = 0,
    REGISTRY_SZ = 1,
    REGISTRY_EXPAND_SZ = 2,
    REGISTRY_BINARY = 3,
    REGISTRY_DWORD = 4,
    REGISTRY_MULTI_SZ = 7,
    REGISTRY_QWORD = 11
};

/* Windows error codes these calls return. */
enum {
    REGISTRY_OK = 0,
    REGISTRY_FILE_NOT_FOUND = 2,
    REGISTRY_PATH_NOT_FOUND = 3,
    REGISTRY_TOO_MANY_OPEN_FILES = 4,
    REGISTRY_ACCESS_DENIED = 5,
    REGISTRY_INVALID_HANDLE = 6,
    REGISTRY_NOT_ENOUGH_MEMORY = 8,
    REGISTRY_INVALID_PARAMETER = 87,
    REGISTRY_DISK_FULL = 112,
    REGISTRY_BUSY = 170,
    REGISTRY_FILENAME_EXCED_RANGE = 206,
    REGISTRY_FILE_TOO_LARGE = 223,
    REGISTRY_MORE_DATA = 234,
    REGISTRY_BADDB = 1009,
    REGISTRY_IO_FAILED = 1016,
    REGISTRY_CANT_RESOLVE_FILENAME = 1921
};

/* Leaves value_name (NULL or "" names the key's default value) under key_path
 * of root holding type and the size bytes at data, creating the key when it is
 * missing and replacing the value when it exists; nothing else in the registry
 * changes. data may be NULL only when size is 0. Returns 0 or a code above. */
int registry_set_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t type, const void *data, uint32_t size);

/* Reads a value. *size holds the capacity of data on entry and the value's
 * byte count on return (also with 234, when data is too small, and when data
 * is NULL, which asks only for the size). type may be NULL. Returns 0, 2 for
 * a missing key or value, or another code above. */
int registry_get_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t *type, void *data, uint32_t *size);

#ifdef __cplusplus
}
#endif

#endif
