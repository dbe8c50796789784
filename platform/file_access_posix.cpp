#include "file_access.h"

#include <sys/stat.h>
#include <sys/types.h>

#ifdef QV_HAVE_LIBACL
#include <errno.h>
#include <acl/libacl.h> /* acl_from_mode */
#include <sys/acl.h>
#endif

int file_access_grant_everyone(const char *path, uint32_t access_mask)
{
    if (path == nullptr) {
        return -1;
    }
    mode_t rights = 0;
    if ((access_mask & ACCESS_GENERIC_READ) != 0) {
        rights |= S_IROTH;
    }
    if ((access_mask & ACCESS_GENERIC_WRITE) != 0) {
        rights |= S_IWOTH;
    }
    const mode_t mode = static_cast<mode_t>(rights | rights << 3 | rights << 6);
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
