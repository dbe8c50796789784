/* Any sequence of updates of any sizes gives the one-shot digest of the same
 * bytes, for both lengths; calls with null pointers give their codes and leave
 * the context untouched. All of it on the table path and, where the processor
 * has it, on each body of the vector path, and all give the same digest. The same
 * pieces through GOSTR3411_2012_UpdateMulti leave every context exactly as
 * GOSTR3411_2012_Update alone leaves it.
 *
 * Input: byte 0 picks the digest length (bit 0), how pieces are sized (bits
 * 1-3) and how many contexts the multi-context entry takes (bits 4-5); then
 * alternating: one byte of piece size, that many message bytes. */
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
        check(GOSTR3411_2012_512_Init(context) == 0);
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

/* count contexts, context i started with the first 21 * i bytes of the
 * input so that their partial blocks differ, then given every piece through
 * the multi-context entry; each is compared with its copy given the same
 * bytes through GOSTR3411_2012_Update after every call. */
static void run_multi(const uint8_t *data, size_t size)
{
    const unsigned count = 1 + ((data[0] >> 4) & 3);
    const unsigned scale = (data[0] >> 1) & 7;
    GOSTR3411_2012_CTX multi[GOSTR3411_2012_MULTI_MAX], alone[GOSTR3411_2012_MULTI_MAX];
    GOSTR3411_2012_CTX *contexts[GOSTR3411_2012_MULTI_MAX];
    for (unsigned i = 0; i < count; i++) {
        init(&multi[i], (i + data[0]) & 1);
        const uint32_t prefix = (uint32_t)(21 * i < size ? 21 * i : size);
        check(GOSTR3411_2012_Update(&multi[i], data, prefix) == 0);
        alone[i] = multi[i];
        contexts[i] = &multi[i];
    }
    size_t at = 1;
    while (at < size) {
        size_t piece = (size_t)data[at++] << scale;
        if (piece > size - at) piece = size - at;
        const uint8_t *pieces[GOSTR3411_2012_MULTI_MAX];
        for (unsigned i = 0; i < count; i++) pieces[i] = data + at;
        if (piece > 0) {
            const uint8_t *none[GOSTR3411_2012_MULTI_MAX] = {NULL, NULL, NULL, NULL};
            check(GOSTR3411_2012_UpdateMulti(contexts, none, (uint32_t)piece, count) == -2);
        }
        check(GOSTR3411_2012_UpdateMulti(contexts, pieces, (uint32_t)piece, count) == 0);
        for (unsigned i = 0; i < count; i++) {
            check(GOSTR3411_2012_Update(&alone[i], data + at, (uint32_t)piece) == 0);
            check(unchanged(&multi[i], &alone[i]));
        }
        at += piece;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    uint8_t on_table[64], on_vector[64];
    check(gost_use_path("table") == 0);
    run_input(data, size, on_table);
    run_multi(data, size);
    static const char *const bodies[] = {"vector", "vector-lean"};
    for (const char *body : bodies) {
        if (gost_use_path(body) == 0) {
            run_input(data, size, on_vector);
            check(memcmp(on_table, on_vector, 64) == 0);
            run_multi(data, size);
        }
    }
    return 0;
}
