#include "registry.h"

#include <errno.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "data_dir_system.h"
#include "file_update.h"
#include "regfile.h"
#include "registry_store.h"
#include "safe_place.h"
#include "safe_place_posix.h"

FILE *registry_diag_stream = nullptr;

namespace {

const mode_t NEW_STORE_MODE = 0644;

/* The section name of a key: the root's name, then the path. */
std::string full_key(const char *key_path)
{
    std::string key = "HKEY_LOCAL_MACHINE";
    if (key_path != nullptr && *key_path != '\0') {
        key += '\\';
        key += key_path;
    }
    return key;
}

void diag(const char *line)
{
    if (registry_diag_stream != nullptr && line[0] != '\0') {
        fprintf(registry_diag_stream, "%s\n", line);
    }
}

/* Under the lock: reads, edits and replaces the store. */
int set_locked(safe_place *place, const std::string &key, const std::string &name, uint32_t type,
               const uint8_t *data, size_t size)
{
    std::string text;
    bool exists = false;
    struct stat old;
    int status = file_read_all(place->system->dir, place->name, &text, &exists, &old);
    if (status == 0 && exists) status = file_check_writable(place->system->dir, place->name);
    if (status != 0) return registry_status_from_errno(-status);

    std::string decoded, updated;
    regfile_encoding encoding = REGFILE_BYTES;
    size_t bad_line = 0;
    status = regfile_decode(text, &decoded, &encoding, &bad_line);
    if (status == 0) {
        status = regfile_set(decoded, key, name, type, data, size, &updated, &bad_line);
    }
    if (status == 0) status = regfile_encode(updated, encoding, &text);
    if (status == REGFILE_SYNTAX) return REGISTRY_BADDB;
    if (status != 0) return REGISTRY_INVALID_PARAMETER;

    /* A replaced store keeps its mode and, where the writer may set them,
     * its owner and group. */
    safe_place_file file;
    file.mode = exists ? old.st_mode & 07777 : NEW_STORE_MODE;
    file.keep_owner = true;
    file.produce = nullptr;
    file.finish = nullptr;
    file.context = nullptr;
    safe_place_result result;
    char why[SAFE_PLACE_PATH_SIZE + 128];
    status = safe_place_write(place, text.data(), text.size(), &file, &result, why, sizeof why);
    diag(why);
    if (status != 0) return registry_status_from_errno(-status);
    if (result.sync_error != 0 && registry_diag_stream != nullptr) {
        /* The new store is in place and will be read; only its survival of
         * a crash of the machine is in doubt. */
        fprintf(registry_diag_stream,
                "WARNING: %s holds the new value, but flushing its folder to disk failed: %s\n",
                place->shown, strerror(result.sync_error));
    }
    return REGISTRY_OK;
}

} // namespace

std::string registry_store_path(bool *is_default)
{
    const char *env = getenv("QUORVANT_REGISTRY");
    *is_default = env == nullptr || *env == '\0';
    if (!*is_default) return std::string(env);
    return std::string(DATA_DIR_SYSTEM_DIRECTORY) + DATA_DIR_SEPARATOR + "registry.reg";
}

int registry_status_from_errno(int err)
{
    switch (err) {
    case 0:
        return REGISTRY_OK;
    case ENOENT:
    case ENOTDIR:
        return REGISTRY_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return REGISTRY_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return REGISTRY_ACCESS_DENIED;
    case ENOMEM:
        return REGISTRY_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return REGISTRY_DISK_FULL;
    case EBUSY:
    case ETXTBSY:
        return REGISTRY_BUSY;
    case ENAMETOOLONG:
        return REGISTRY_FILENAME_EXCED_RANGE;
    case EFBIG:
        return REGISTRY_FILE_TOO_LARGE;
    case ELOOP:
        return REGISTRY_CANT_RESOLVE_FILENAME;
    default:
        return REGISTRY_IO_FAILED;
    }
}

int registry_set_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t type, const void *data, uint32_t size)
{
    if (root != REGISTRY_LOCAL_MACHINE) return REGISTRY_INVALID_HANDLE;
    if (data == nullptr && size > 0) return REGISTRY_INVALID_PARAMETER;
    int lock = -1;
    int status = REGISTRY_OK;
    safe_place place;
    bool resolved = false;
    try {
        const std::string key = full_key(key_path);
        const std::string name = value_name != nullptr ? value_name : "";
        if (regfile_check_key(key) != 0 || regfile_check_name(name) != 0) {
            return REGISTRY_INVALID_PARAMETER;
        }
        bool is_default = false;
        const std::string path = registry_store_path(&is_default);
        const unsigned flags = static_cast<unsigned>(SAFE_PLACE_TRUSTED_FOLDER) |
                               (is_default ? static_cast<unsigned>(SAFE_PLACE_MAKE_FOLDERS) : 0u);
        char why[SAFE_PLACE_PATH_SIZE + 128];
        status = -safe_place_resolve(path.c_str(), flags, &place, why, sizeof why);
        diag(why);
        if (status != 0) return registry_status_from_errno(status);
        resolved = true;
        if (place.exists && place.kind != SAFE_PLACE_FILE) {
            status = place.kind == SAFE_PLACE_FOLDER ? EISDIR : EACCES;
        } else {
            status =
                -file_lock(place.system->dir, place.name, place.shown,
                           place.exists ? &place.system->stat : nullptr, &lock, why, sizeof why);
            diag(why);
        }
        if (status == 0) {
            file_remove_leftovers(place.system->dir, place.name,
                                  place.exists ? place.system->stat.st_uid : geteuid());
            status = set_locked(&place, key, name, type, static_cast<const uint8_t *>(data), size);
        } else {
            status = registry_status_from_errno(status);
        }
    } catch (const std::bad_alloc &) {
        status = REGISTRY_NOT_ENOUGH_MEMORY;
    }
    file_unlock(lock);
    if (resolved) safe_place_release(&place);
    return status;
}

int registry_get_value(enum registry_root root, const char *key_path, const char *value_name,
                       uint32_t *type, void *data, uint32_t *size)
{
    if (root != REGISTRY_LOCAL_MACHINE) return REGISTRY_INVALID_HANDLE;
    if (size == nullptr) return REGISTRY_INVALID_PARAMETER;
    try {
        bool is_default = false;
        const std::string path = registry_store_path(&is_default);
        std::string text;
        bool exists = false;
        safe_place place;
        char why[SAFE_PLACE_PATH_SIZE + 128];
        /* The writer's rule: a store that another user may change is no
         * machine-wide store. */
        int status =
            safe_place_resolve(path.c_str(), SAFE_PLACE_TRUSTED_FOLDER, &place, why, sizeof why);
        if (status == -ENOENT) return REGISTRY_FILE_NOT_FOUND;
        diag(why);
        if (status != 0) return registry_status_from_errno(-status);
        struct stat st;
        if (place.exists)
            status = file_read_all(place.system->dir, place.name, &text, &exists, &st);
        safe_place_release(&place);
        if (status != 0) return registry_status_from_errno(-status);
        if (!exists) return REGISTRY_FILE_NOT_FOUND;
        std::string decoded;
        regfile_encoding encoding = REGFILE_BYTES;
        regfile_value value;
        int found = regfile_decode(text, &decoded, &encoding, nullptr);
        if (found == 0) {
            found = regfile_get(decoded, full_key(key_path),
                                value_name != nullptr ? value_name : "", &value, nullptr);
        }
        if (found == REGFILE_SYNTAX) return REGISTRY_BADDB;
        if (found != 0) return REGISTRY_FILE_NOT_FOUND;
        if (value.data.size() > UINT32_MAX) return REGISTRY_FILE_TOO_LARGE;
        const uint32_t needed = static_cast<uint32_t>(value.data.size());
        if (type != nullptr) *type = value.type;
        if (data != nullptr && *size < needed) {
            *size = needed;
            return REGISTRY_MORE_DATA;
        }
        if (data != nullptr && needed > 0) memcpy(data, value.data.data(), needed);
        *size = needed;
        return REGISTRY_OK;
    } catch (const std::bad_alloc &) {
        return REGISTRY_NOT_ENOUGH_MEMORY;
    }
}
