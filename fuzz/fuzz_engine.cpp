/* Any sequence of updates of any sizes gives the one-shot digest of the same
 * bytes, for both lengths; calls with null pointers give their codes and leave
 * the context untouched. All of it on the table path and, where the processor
 * has it, on the vector path, and both paths give the same digest.
 *
 * Input: byte 0 picks the digest length (bit 0) and how pieces are sized;
 * then alternating: one byte of piece size, that many message bytes. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "gost_r3411_2012.h"
#include "gost_r3411_2012_paths.h"

static void check(bool ok)
{
    if (!ok) abort();
}

static void init(GOSTR3411_2012_CTX *context, bool is512)
{
    if (is512) {
        memset(context, 0, sizeof *context);
        context->digest_size = 64;
    } else {
        check(GOSTR3411_2012_256_Init(context) == 0);
    }
}

static bool unchanged(const GOSTR3411_2012_CTX *a, const GOSTR3411_2012_CTX *b)
{
    return memcmp(a, b, sizeof *a) == 0;
}

/* Runs the input on the path in use; digest receives the message's digest
 * (32 or 64 bytes, the rest zero). */
static void run_input(const uint8_t *data, size_t size, uint8_t digest[64])
{
    const bool is512 = data[0] & 1;
    const unsigned scale = (data[0] >> 1) & 7; /* pieces up to 255 << scale bytes */
    data++;
    size--;

    uint8_t message[1 << 16];
    size_t length = 0;
    GOSTR3411_2012_CTX context, saved;
    init(&context, is512);

    size_t at = 0;
    while (at < size) {
        size_t piece = (size_t)data[at++] << scale;
        if (piece > size - at) piece = size - at;
        if (length + piece > sizeof message) break;

        /* Null pointers in between must change nothing. */
        saved = context;
        if (piece > 0) check(GOSTR3411_2012_Update(&context, NULL, (uint32_t)piece) == -2);
        check(GOSTR3411_2012_Update(&context, NULL, 0) == 0);
        check(GOSTR3411_2012_Update(NULL, data + at, (uint32_t)piece) == -1);
        check(GOSTR3411_2012_Final(&context, NULL) == -2);
        check(GOSTR3411_2012_256_Final(&context, NULL) == -2);
        check(unchanged(&context, &saved));

        check(GOSTR3411_2012_Update(&context, data + at, (uint32_t)piece) == 0);
        check(context.buffer_len < 64);
        memcpy(message + length, data + at, piece);
        length += piece;
        at += piece;
    }

    uint8_t streamed[64], whole[64];
    memset(streamed, 0, sizeof streamed);
    memset(whole, 0, sizeof whole);
    memset(digest, 0, 64);
    if (is512) {
        saved = context;
        check(GOSTR3411_2012_256_Final(&context, streamed) == -2);
        check(unchanged(&context, &saved));
        check(GOSTR3411_2012_Final(&context, streamed) == 0);
        check(GOSTR3411_2012_Transform(message, (uint32_t)length, whole) == 0);
        check(memcmp(streamed, whole, 64) == 0);
    } else {
        check(GOSTR3411_2012_256_Final(&context, streamed) == 0);
        init(&context, false);
        check(GOSTR3411_2012_Update(&context, message, (uint32_t)length) == 0);
        check(GOSTR3411_2012_256_Final(&context, whole) == 0);
        check(memcmp(streamed, whole, 32) == 0);
    }
    memcpy(digest, whole, 64);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    uint8_t on_table[64], on_vector[64];
    check(gost_use_path("table") == 0);
    run_input(data, size, on_table);
    if (gost_use_path("vector") == 0) {
        run_input(data, size, on_vector);
        check(memcmp(on_table, on_vector, 64) == 0);
    }
    return 0;
}
