#include "file_access.h"

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

} // namespace

int file_access_grant_everyone(const char *path, uint32_t access_mask)
{
    if (path == nullptr) {
        return -1;
    }
    const mode_t mode = everyone_mode(access_mask);
#ifdef QV_HAVE_LIBACL
    /* A list built from a mode alone has exactly the owner, group and other
     * entries, so setting it drops every named entry and the mask. */
    acl_t acl = acl_from_mode(mode);
    if (acl == nullptr) {
        return -1;
    }
    const int set = acl_set_file(path, ACL_TYPE_ACCESS, acl);
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
    return chmod(path, mode) == 0 ? 0 : -1;
}

int file_access_grant_everyone_fd(int fd, uint32_t access_mask)
{
    if (fd < 0) {
        return -1;
    }
    const mode_t mode = everyone_mode(access_mask);
#ifdef QV_HAVE_LIBACL
    acl_t acl = acl_from_mode(mode);
    if (acl == nullptr) {
        return -1;
    }
    const int set = acl_set_fd(fd, acl);
    const int set_errno = errno;
    acl_free(acl);
    if (set == 0) {
        return 0;
    }
    if (set_errno != ENOTSUP && set_errno != EOPNOTSUPP) {
        return -1;
    }
#endif
    return fchmod(fd, mode) == 0 ? 0 : -1;
}
