#include "arguments.h"

#include <stddef.h>
#include <string.h>

int scan_arguments(int argc, char *const argv[], const char **path)
{
    *path = NULL;
    for (int arg = 1; arg < argc; arg += 2) {
        if (strcmp(argv[arg], "-file") != 0) {
            return arg;
        }
        if (arg + 1 >= argc) {
            break;
        }
        *path = argv[arg + 1];
    }
    return 0;
}
