/* Test helper (Windows): prints the access list of each file named on the
 * command line in the system's text form, e.g. "D:(A;;GRGW;;;WD)", one line
 * each; exit status 1 when one cannot be read. */
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>
#include <sddl.h>

int main(int argc, char **argv)
{
    int status = 0;
    for (int i = 1; i < argc; i++) {
        DWORD needed = 0;
        GetFileSecurityA(argv[i], DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
        void *descriptor = needed > 0 ? malloc(needed) : nullptr;
        char *text = nullptr;
        if (descriptor != nullptr &&
            GetFileSecurityA(argv[i], DACL_SECURITY_INFORMATION, descriptor, needed, &needed) &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(
                descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
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
