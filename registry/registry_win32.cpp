#include "registry.h"

#include <windows.h>
#include <shlwapi.h>

/* The shell's calls have no lines of their own to say. */
FILE *registry_diag_stream = nullptr;

int registry_set_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t type, const void *data, uint32_t size)
{
    if (root != REGISTRY_LOCAL_MACHINE) return REGISTRY_INVALID_HANDLE;
    if (data == nullptr && size > 0) return REGISTRY_INVALID_PARAMETER;
    /* The shell call opens or creates the key, sets the value and closes it. */
    return static_cast<int>(
        SHSetValueA(HKEY_LOCAL_MACHINE, key_path, value_name, type, data, size));
}

int registry_get_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t *type, void *data, uint32_t *size)
{
    if (root != REGISTRY_LOCAL_MACHINE) return REGISTRY_INVALID_HANDLE;
    if (size == nullptr) return REGISTRY_INVALID_PARAMETER;
    DWORD value_type = 0;
    DWORD value_size = *size;
    const LSTATUS status =
        SHGetValueA(HKEY_LOCAL_MACHINE, key_path, value_name, &value_type, data, &value_size);
    if (type != nullptr) *type = value_type;
    *size = value_size;
    return static_cast<int>(status);
}
