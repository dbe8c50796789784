/*
 * hashcheck -file <path>: prints the 256-bit GOST R 34.11-2012 hash of a file
 * as "GOSTHASH from file <path> = <64 hex digits>". Every failure ends with
 * exit status -1, a chain of messages on standard error (innermost first) and
 * nothing on standard output. When the line cannot be written to standard
 * output, one line on standard error says why and the exit status is -1 too.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "arguments.h"
#include "gost_r3411_2012.h"

enum { READ_BLOCK_SIZE = 8192, STREAM_BUFFER_SIZE = 65536, HASH_TEXT_SIZE = 65 };

[[noreturn]] static void print_usage(void)
{
    fprintf(stderr, "usage:\n");
    fprintf(stderr, "-file              path to file\n");
    exit(-1);
}

/* Hashes everything from the stream's position to its end into 64 lower-case
 * hex digits and a NUL. The read block doubles as the digest's home. */
static int make_gosthash_from_file(FILE *file, char *hash_text)
{
    GOSTR3411_2012_CTX context;
    unsigned char block[READ_BLOCK_SIZE];

    if (hash_text == NULL) {
        return -1;
    }
    if (GOSTR3411_2012_256_Init(&context) != 0) {
        fprintf(stderr, "GOSTR3411_2012_256_Init() failed\n");
        return -1;
    }
    for (;;) {
        const size_t got = fread(block, 1, sizeof block, file);
        if (got > 0) {
            GOSTR3411_2012_Update(&context, block, (uint32_t)got);
        }
        if (feof(file)) {
            break;
        }
        if (ferror(file)) {
            fprintf(stderr, "Read error\n");
            return -1;
        }
    }
    if (GOSTR3411_2012_256_Final(&context, block) != 0) {
        fprintf(stderr, "GOSTR3411_2012_256_Final() failed\n");
        return -1;
    }
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 32; i++) {
        hash_text[2 * i] = hex[block[i] >> 4];
        hash_text[2 * i + 1] = hex[block[i] & 0x0f];
    }
    hash_text[64] = '\0';
    return 0;
}

static int check_hash(const char *path, char *hash_text)
{
    FILE *file = NULL;
    /* The stream's buffer, larger than the read block: the file then comes in
     * with one system call per 64 KiB instead of one per 8192 bytes, while
     * make_gosthash_from_file still reads 8192-byte blocks. It lives in this
     * frame, which outlasts the stream: the file is closed before returning. */
    static_assert(STREAM_BUFFER_SIZE > READ_BLOCK_SIZE, "the buffer must cover several blocks");
    char stream_buffer[STREAM_BUFFER_SIZE];

    if (path != NULL && hash_text != NULL) {
        file = fopen(path, "rb");
        if (file != NULL) {
            /* On failure the stream keeps its own buffering, which is only slower. */
            setvbuf(file, stream_buffer, _IOFBF, sizeof stream_buffer);
        }
        if (file == NULL) {
            const int open_errno = errno;
            fprintf(stderr, "Failed to open file '%s': ", path);
            /* perror may bypass the stream (the Windows C runtime writes to
             * the handle directly): the start of the line must be out first. */
            fflush(stderr);
            errno = open_errno;
            perror("Error: ");
        } else if (make_gosthash_from_file(file, hash_text) != 0) {
            fprintf(stderr, "Error make_gosthash_from_file failed.\n");
        } else {
            fclose(file);
            return 0;
        }
    }
    fprintf(stderr, "Error.\n");
    if (file != NULL) {
        fclose(file);
    }
    return -1;
}

int main(int argc, char **argv)
{
    const char *path = NULL;
    char hash_text[HASH_TEXT_SIZE];

    const int unknown = scan_arguments(argc, argv, &path);
    if (unknown != 0) {
        fprintf(stderr, "unknown option '%s'\n", argv[unknown]);
        print_usage();
    }
    if (path == NULL) {
        print_usage();
    }
    if (check_hash(path, hash_text) != 0) {
        fprintf(stderr, "ERROR: check_hash failed.\n");
        return -1;
    }
    hash_text[64] = '\0';
    /* Exit status 0 promises that the line arrived: a full disk or a closed
     * standard output shows only at the flush, or in the stream's state. */
    errno = 0;
    const int printed = printf("GOSTHASH from file %s = %s\n", path, hash_text);
    if (printed < 0 || fflush(stdout) != 0 || ferror(stdout)) {
        const int write_errno = errno != 0 ? errno : EIO;
        fprintf(stderr, "ERROR: unable to write to standard output: %s\n", strerror(write_errno));
        return -1;
    }
    return 0;
}
