#include "file_access.h"

#include <windows.h>
#include <aclapi.h>

int file_access_grant_everyone(const char *path, uint32_t access_mask)
{
    if (path == nullptr) {
        return -1;
    }
    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    PACL acl = nullptr;
    bool ok = descriptor != nullptr && AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0,
                                                                0, 0, 0, 0, 0, &everyone) != 0;
    if (ok) {
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
        /* No old list is merged: the new list is this one entry. */
        ok = SetEntriesInAclA(1, &entry, nullptr, &acl) == ERROR_SUCCESS;
    }
    ok = ok && InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) != 0 &&
         SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE) != 0 &&
         SetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor) != 0;
    if (everyone != nullptr) {
        FreeSid(everyone);
    }
    if (acl != nullptr) {
        LocalFree(acl);
    }
    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    return ok ? 0 : -1;
}
