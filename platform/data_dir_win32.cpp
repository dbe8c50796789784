#include "data_dir.h"

#include <stdio.h>

#include <windows.h>
#include <sddl.h>

namespace {

/* Creates the last level of directory with a list of its own, inherited by
 * everything made in it: full control for Administrators, SYSTEM and the
 * caller, read and execute for Users, and nothing from the folder above
 * (which, under the all-users profile, lets every user add files and folders,
 * and so junctions). Without the caller's identity nothing is created. */
void create_private_directory(const char *directory)
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

} // namespace

int data_dir_compose(const char *profile, char *directory, size_t directory_size,
                     char *default_file, size_t default_file_size)
{
    if (directory == nullptr || default_file == nullptr || directory_size == 0 ||
        default_file_size == 0) {
        return -1;
    }
    int f = -1;
    /* Windows has no data directory of its own without the all-users profile. */
    if (profile != nullptr) {
        const int d =
            snprintf(directory, directory_size, "%s\\Application Data\\Quorvant", profile);
        if (d >= 0 && static_cast<size_t>(d) < directory_size) {
            f = snprintf(default_file, default_file_size, "%s\\prng_start.bin", directory);
        }
    }
    if (f < 0 || static_cast<size_t>(f) >= default_file_size) {
        directory[0] = '\0';
        default_file[0] = '\0';
        return -1;
    }
    return 0;
}

int data_dir_prepare(char *default_file, size_t default_file_size)
{
    if (default_file == nullptr || default_file_size == 0) {
        return -1;
    }
    default_file[0] = '\0';
    char profile[DATA_PATH_SIZE];
    const DWORD n = GetEnvironmentVariableA("ALLUSERSPROFILE", profile, sizeof profile);
    /* A value that does not fit comes back as the size it needs, not cut. */
    if (n >= sizeof profile) {
        return -1;
    }
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return -2;
    }
    char directory[DATA_PATH_SIZE];
    if (data_dir_compose(profile, directory, sizeof directory, default_file, default_file_size) !=
        0) {
        return -1;
    }
    create_private_directory(directory);
    return 0;
}
