#include "file_access.h"
#include "safe_place_system.h"

#include <sys/stat.h>
#include <sys/types.h>

#ifdef QV_HAVE_LIBACL
#include <errno.h>
#include <acl/libacl.h> /* acl_from_mode */
#include <sys/acl.h>
#endif

namespace {

mode_t everyone_mode(uint32_t access_mask)
{
    mode_t rights = 0;
    if ((access_mask & ACCESS_GENERIC_READ) != 0) {
        rights |= S_IROTH;
    }
    if ((access_mask & ACCESS_GENERIC_WRITE) != 0) {
        rights |= S_IWOTH;
    }
    return static_cast<mode_t>(rights | rights << 3 | rights << 6);
}

/* Sets the access list of the file at path, or of fd when path is null, to
 * exactly the owner, group and other entries of mode: a list built from a
 * mode alone has no named entries and no mask, so every other entry goes. */
int set_everyone_list(const char *path, int fd, mode_t mode)
{
#ifdef QV_HAVE_LIBACL
    acl_t acl = acl_from_mode(mode);
    if (acl == nullptr) {
        return -1;
    }
    const int set =
        path != nullptr ? acl_set_file(path, ACL_TYPE_ACCESS, acl) : acl_set_fd(fd, acl);
    const int set_errno = errno;
    acl_free(acl);
    if (set == 0) {
        return 0;
    }
    if (set_errno != ENOTSUP && set_errno != EOPNOTSUPP) {
        return -1;
    }
#endif
    /* Without access lists on this file system the mode is the whole list. */
    const int changed = path != nullptr ? chmod(path, mode) : fchmod(fd, mode);
    return changed == 0 ? 0 : -1;
}

} // namespace

int file_access_grant_everyone(const char *path, uint32_t access_mask)
{
    if (path == nullptr) {
        return -1;
    }
    return set_everyone_list(path, -1, everyone_mode(access_mask));
}

int file_access_grant_everyone_open(const struct safe_place_open *file, uint32_t access_mask)
{
    if (file == nullptr || file->fd < 0) {
        return -1;
    }
    return set_everyone_list(nullptr, file->fd, everyone_mode(access_mask));
}
