#include "registry.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "file_update.h"
#include "regfile.h"
#include "registry_store.h"

const char registry_default_path[] = "/var/lib/quorvant/registry.reg";

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

/* A store reached through a symbolic link is replaced where it lies, so the
 * link survives, and every path to it shares one lock. */
std::string resolve_links(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string resolved = real;
    free(real);
    return resolved;
}

int set_locked(const std::string &path, const std::string &key, const std::string &name,
               uint32_t type, const uint8_t *data, size_t size)
{
    std::string text;
    bool exists = false;
    mode_t mode = NEW_STORE_MODE;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    int status = file_read_all(path.c_str(), &text, &exists, &mode, &uid, &gid);
    if (status == 0 && exists) status = file_check_writable(path.c_str());
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

    status = file_replace(path.c_str(), text, mode, uid, gid);
    return status != 0 ? registry_status_from_errno(-status) : REGISTRY_OK;
}

} // namespace

std::string registry_store_path(bool *is_default)
{
    const char *env = getenv("QUORVANT_REGISTRY");
    *is_default = env == nullptr || *env == '\0';
    return *is_default ? std::string(registry_default_path) : std::string(env);
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
    try {
        const std::string key = full_key(key_path);
        const std::string name = value_name != nullptr ? value_name : "";
        if (regfile_check_key(key) != 0 || regfile_check_name(name) != 0) {
            return REGISTRY_INVALID_PARAMETER;
        }
        bool is_default = false;
        std::string path = registry_store_path(&is_default);
        if (is_default) status = -file_make_parent_dirs(path.c_str());
        path = resolve_links(path);
        if (status == 0) status = -file_lock((path + ".lock").c_str(), path.c_str(), &lock);
        if (status != 0) return registry_status_from_errno(status);
        status = set_locked(path, key, name, type, static_cast<const uint8_t *>(data), size);
    } catch (const std::bad_alloc &) {
        status = REGISTRY_NOT_ENOUGH_MEMORY;
    }
    file_unlock(lock);
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
        mode_t mode;
        uid_t uid;
        gid_t gid;
        const int status = file_read_all(path.c_str(), &text, &exists, &mode, &uid, &gid);
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
