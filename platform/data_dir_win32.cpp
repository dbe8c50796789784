#include "data_dir_system.h"

#include <stdio.h>

#include <windows.h>
#include <sddl.h>

/* Windows has no data directory of its own without the all-users profile. */
const char DATA_DIR_SEPARATOR = '\\';
const char *const DATA_DIR_SYSTEM_DIRECTORY = nullptr;

/* The last level of directory gets a list of its own, inherited by
 * everything made in it: full control for Administrators, SYSTEM and the
 * caller, read and execute for Users, and nothing from the folder above
 * (which, under the all-users profile, lets every user add files and folders,
 * and so junctions). Without the caller's identity nothing is created. */
void data_dir_make_folder(const char *directory)
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return;
    union {
        TOKEN_USER user;
        unsigned char bytes[256];
    } info;
    DWORD needed = 0;
    char *caller = nullptr;
    const bool known = GetTokenInformation(token, TokenUser, &info, sizeof info, &needed) != 0 &&
                       ConvertSidToStringSidA(info.user.User.Sid, &caller) != 0;
    CloseHandle(token);
    if (!known) return;
    char text[320];
    const int n = snprintf(text, sizeof text,
                           "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;%s)"
                           "(A;OICI;0x1200a9;;;BU)",
                           caller);
    LocalFree(caller);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (n < 0 || static_cast<size_t>(n) >= sizeof text ||
        ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor,
                                                             nullptr) == 0) {
        return;
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    /* An existing directory is no error, and keeps its own list. */
    CreateDirectoryA(directory, &attributes);
    LocalFree(descriptor);
}

int data_dir_read_profile(char *buffer, size_t size, const char **profile)
{
    buffer[0] = '\0';
    const DWORD n = GetEnvironmentVariableA("ALLUSERSPROFILE", buffer, static_cast<DWORD>(size));
    /* A value that does not fit comes back as the size it needs, not cut. */
    if (n >= size) {
        return -1;
    }
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return -2;
    }
    *profile = buffer;
    return 0;
}
