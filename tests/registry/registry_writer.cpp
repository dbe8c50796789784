/* Test helper: registry_writer <key path> <name prefix> <count> sets the
 * values <prefix>_0 .. <prefix>_<count-1> under the key, one call each, value
 * <prefix>_<j> holding the REG_SZ text "<prefix> <j>". Stops at the first
 * failure with its code on standard error and exit status 1. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "registry.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: registry_writer <key path> <name prefix> <count>\n");
        return 2;
    }
    const int count = atoi(argv[3]);
    for (int j = 0; j < count; j++) {
        char name[256], text[256];
        snprintf(name, sizeof name, "%s_%d", argv[2], j);
        snprintf(text, sizeof text, "%s %d", argv[2], j);
        const int status = registry_set_value(REGISTRY_LOCAL_MACHINE, argv[1], name, REGISTRY_SZ,
                                              text, static_cast<uint32_t>(strlen(text) + 1));
        if (status != 0) {
            fprintf(stderr, "registry_set_value %s returned %d\n", name, status);
            return 1;
        }
    }
    return 0;
}
