/* Test helper (Windows): prints the owner, group and access list of each file
 * or folder named on the command line in the system's text form, e.g.
 * "O:S-1-5-21-0-0-0-1000G:S-1-5-21-0-0-0-513D:(A;;GRGW;;;WD)", one line
 * each; exit status 1 when one cannot be read. */
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>
#include <sddl.h>

int main(int argc, char **argv)
{
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    int status = 0;
    for (int i = 1; i < argc; i++) {
        DWORD needed = 0;
        GetFileSecurityA(argv[i], what, nullptr, 0, &needed);
        void *descriptor = needed > 0 ? malloc(needed) : nullptr;
        char *text = nullptr;
        if (descriptor != nullptr && GetFileSecurityA(argv[i], what, descriptor, needed, &needed) &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what,
                                                                 &text, nullptr)) {
            printf("%s\n", text);
            LocalFree(text);
        } else {
            fprintf(stderr, "%s: error %lu\n", argv[i], static_cast<unsigned long>(GetLastError()));
            status = 1;
        }
        free(descriptor);
    }
    return status;
}
