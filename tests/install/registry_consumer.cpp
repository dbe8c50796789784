/* A program outside the project that reads the seed seedreg stored, through
 * the installed registry library. */
#include <stdio.h>

#include <quorvant/registry.h>

int main(void)
{
    uint8_t seed[40];
    uint32_t size = sizeof seed;
    uint32_t type = 0;
    const int status = registry_get_value(REGISTRY_LOCAL_MACHINE, "SOFTWARE\\Quorvant\\Tessaly",
                                          "prng_start", &type, seed, &size);
    if (status != 0 || type != REGISTRY_BINARY || size != sizeof seed) {
        fprintf(stderr, "no 40-byte prng_start in the registry (status %d)\n", status);
        return 1;
    }
    for (uint32_t i = 0; i < size; i++) printf("%02x", seed[i]);
    printf("\n");
    return 0;
}
