/*
 * seedreg: stores the first 40 bytes of "seed.bin" in the current folder as
 * the binary registry value "prng_start" under the toolkit's key of the
 * machine-wide registry. Arguments are ignored. Prints nothing and ends with
 * status 0 on success; every failure prints one line on standard error and
 * ends with status 1.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>

#include "registry.h"
#include "safe_read.h"

enum { SEED_SIZE = 40 };

static const char seed_file[] = "seed.bin";
static const char seed_key[] = "SOFTWARE\\Quorvant\\Tessaly";
static const char seed_value[] = "prng_start";

int main(void)
{
    unsigned char seed[SEED_SIZE];

#ifdef SIGXFSZ
    /* A file size limit then fails the store's write with EFBIG (Error:223),
     * instead of ending the run without a word. */
    signal(SIGXFSZ, SIG_IGN);
#endif
    /* The store's own lines: why it refused a path, a warning. */
    registry_diag_stream = stderr;

    /* Run by root in a folder of another user's, the name may be his link to
     * a file that only root may read, or a FIFO. */
    char why[4200];
    FILE *file = safe_read_open(seed_file, why, sizeof why);
    if (file == NULL) {
        const int open_errno = errno;
        if (why[0] != '\0') fprintf(stderr, "%s\n", why);
        errno = open_errno;
        perror("fopen");
        return 1;
    }
    const size_t got = fread(seed, 1, SEED_SIZE, file);
    const int read_failed = ferror(file);
    const int read_errno = errno;
    fclose(file);
    if (read_failed) {
        errno = read_errno;
        perror("fread");
        return 1;
    }
    /* A shorter file is no start file: storing it would make seed of
     * whatever the buffer held before. */
    if (got < SEED_SIZE) {
        fprintf(stderr, "%s is too short: it holds %zu of the %d bytes a seed needs\n", seed_file,
                got, SEED_SIZE);
        return 1;
    }
    const int status = registry_set_value(REGISTRY_LOCAL_MACHINE, seed_key, seed_value,
                                          REGISTRY_BINARY, seed, SEED_SIZE);
    if (status != 0) {
        fprintf(stderr, "Can't write RNG seed to registry. Key: %s, ValueName: %s. Error:%d\n",
                seed_key, seed_value, status);
        return 1;
    }
    return 0;
}
