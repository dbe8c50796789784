#include "file_access.h"

#include <windows.h>
#include <aclapi.h>

#include "safe_place_system.h"

namespace {

/* The list of one entry: Everyone is granted access_mask, with no
 * inheritance. Returns it (LocalFree it), or nullptr. */
PACL everyone_list(uint32_t access_mask)
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) ==
        0) {
        return nullptr;
    }
    EXPLICIT_ACCESS_A entry;
    ZeroMemory(&entry, sizeof entry);
    entry.grfAccessPermissions = access_mask;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL acl = nullptr;
    /* No old list is merged: the new list is this one entry. */
    if (SetEntriesInAclA(1, &entry, nullptr, &acl) != ERROR_SUCCESS) acl = nullptr;
    FreeSid(everyone);
    return acl;
}

/* A descriptor that holds the list as its one discretionary list, marked
 * protected so that nothing handed down from the folder joins it. */
bool describe(SECURITY_DESCRIPTOR *descriptor, PACL acl)
{
    return acl != nullptr &&
           InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) != 0 &&
           SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE) != 0 &&
           SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
}

/* Which parts of the file's security are set: the list, and its protection. */
const SECURITY_INFORMATION WHAT = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;

} // namespace

int file_access_grant_everyone(const char *path, uint32_t access_mask)
{
    if (path == nullptr) {
        return -1;
    }
    SECURITY_DESCRIPTOR descriptor;
    PACL acl = everyone_list(access_mask);
    const bool ok = describe(&descriptor, acl) && SetFileSecurityA(path, WHAT, &descriptor) != 0;
    if (acl != nullptr) {
        LocalFree(acl);
    }
    return ok ? 0 : -1;
}

int file_access_grant_everyone_open(const struct safe_place_open *file, uint32_t access_mask)
{
    if (file == nullptr || file->handle == nullptr || file->handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    SECURITY_DESCRIPTOR descriptor;
    PACL acl = everyone_list(access_mask);
    /* The handle's counterpart of SetFileSecurityA: the list is stored as
     * given. */
    const bool ok =
        describe(&descriptor, acl) &&
        SetKernelObjectSecurity(static_cast<HANDLE>(file->handle), WHAT, &descriptor) != 0;
    if (acl != nullptr) {
        LocalFree(acl);
    }
    return ok ? 0 : -1;
}
