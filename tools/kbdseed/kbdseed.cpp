/*
 * kbdseed [-n]{-out <file_name> | [-default]}: makes the 40-byte start file of
 * the toolkit's random generator from the timing of the user's key presses.
 * Exit status 0 (written, or kept with -n), -1 (usage, or no default path),
 * -2 (the collector failed), -3 (the file could not be written).
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "data_dir.h"
#include "keyent.h"
#include "start_file.h"

static bool keep_existing = false;

static void print_usage(void)
{
    fprintf(stderr, "Usage: kbdseed [-n]{-out <file_name> | [-default]}\n");
    fprintf(stderr, "  -n - Don't rewrite existing output file\n");
    fprintf(stderr, "  -out <file_name> - Output file name\n");
    fprintf(stderr, "  -default - Utility uses default file name:\n");
    fprintf(stderr, "    %%ALLUSERSPROFILE%%\\Application Data\\Quorvant\\prng_start.bin\n");
    fprintf(stderr, "\n");
}

int main(int argc, char **argv)
{
    char default_file[DATA_PATH_SIZE];
    uint8_t seed[KEYENT_SEED_SIZE];
    const char *output = nullptr;
    bool output_is_default = false;

#ifdef SIGXFSZ
    /* A file size limit then fails the write, reported, instead of ending
     * the run without a word. */
    signal(SIGXFSZ, SIG_IGN);
#endif
    /* The data directory is made on every run, whatever the options. */
    int default_status = data_dir_prepare(default_file, sizeof default_file);

    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-out") == 0) {
            if (i + 1 == argc) {
                print_usage();
                return -1;
            }
            output = argv[++i];
            output_is_default = false;
        } else if (strcmp(argv[i], "-default") == 0) {
            default_status = data_dir_prepare(default_file, sizeof default_file);
            output = default_file;
            output_is_default = true;
        } else if (strcmp(argv[i], "-n") == 0) {
            keep_existing = true;
        }
    }
    if (output == nullptr) {
        print_usage();
        return -1;
    }
    if (output_is_default && default_status == -2) {
        fprintf(stderr, "ERROR: ALLUSERSPROFILE is not set, so there is no default file\n");
        return -1;
    }
    if (output_is_default && default_status != 0) {
        fprintf(stderr, "ERROR: default file path does not fit in %d characters\n",
                DATA_PATH_SIZE - 1);
        return -1;
    }
    /* The machine-wide file only in a folder no other user controls. */
    const unsigned flags =
        output_is_default ? static_cast<unsigned>(START_FILE_TRUSTED_FOLDER) : 0u;
    if (keep_existing && start_file_exists(output, flags)) {
        printf("Existing initial value for cryptographic random generator is not re-created\n");
        return 0;
    }
    printf("Make initial value for cryptographic random generator\n");
    printf("=====================================================\n");
    fflush(stdout);

    const int collected = keyent_callback(seed, sizeof seed);
    if (collected != 0) {
        fprintf(stderr, "keyent_callback returned %d\n", collected);
        return -2;
    }
    const int written = write_start_file(output, seed, sizeof seed, flags);
    if (written != 0) {
        fprintf(stderr, "ERROR: write_to_file returned %d\n", written);
        return -3;
    }
    printf("40 random bytes generated to %s OK\n", output);
    fflush(stdout);
    return 0;
}
