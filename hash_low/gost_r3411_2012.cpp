#include "gost_r3411_2012.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "gost_r3411_2012_paths.h"

FILE *hash_diag_stream = NULL;

#include "lps_table.inc"
#include "lps_vector.inc"

const uint64_t iteration_constants[12][8] = {
#include "iteration_constants.inc"
};

static void store64_le(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++) {
        p[i] = (uint8_t)(v >> (8 * i));
    }
}

/* "<file>:<line> <function>. <what>" on the diagnostic stream, if set. */
static void diag(int line, const char *function, const char *what)
{
    if (hash_diag_stream != NULL) {
        fprintf(hash_diag_stream, "%s:%d %s. %s\n", __FILE__, line, function, what);
    }
}

/* VALUE_BARRIER(x) makes x opaque to the optimiser without emitting any
 * instruction. lpsx uses it on x86-64 after shifting a word down by two bytes:
 * the compiler then takes the next two bytes from the low and the second-lowest
 * byte register (one byte move each) instead of deriving every byte afresh from
 * the unshifted word (a copy, a shift and a move each).
 *
 * On x86-64, lpsx also keeps output words 4 to 7 in SSE2 registers (part of
 * every x86-64 processor): each of their 32 lookups is one load straight into
 * a vector register and one vector exclusive-or. Byte extraction and the other
 * 32 exclusive-ors keep the integer units busy, so sharing the exclusive-ors
 * out between the two kinds of unit shortens the whole by about a tenth.
 * VECTOR_BARRIER pins each vector accumulator after its update; without it
 * the compiler regroups the vector exclusive-ors after all the integer work
 * and spills the shifted words it still needs. */
#if defined(__GNUC__) && defined(__x86_64__)
#include <emmintrin.h>
#define VALUE_BARRIER(x) __asm__("" : "+r"(x))
#define VECTOR_BARRIER(v) __asm__("" : "+x"(v))
typedef __m128i high_word;
#define HIGH_SET(acc, entry)                                                                       \
    acc = _mm_cvtsi64_si128((long long)(entry));                                                   \
    VECTOR_BARRIER(acc)
#define HIGH_XOR(acc, entry)                                                                       \
    acc = _mm_xor_si128(acc, _mm_cvtsi64_si128((long long)(entry)));                               \
    VECTOR_BARRIER(acc)
#define HIGH_WORD(acc) ((uint64_t)_mm_cvtsi128_si64(acc))
#else
#define VALUE_BARRIER(x) (void)0
typedef uint64_t high_word;
#define HIGH_SET(acc, entry) acc = (entry)
#define HIGH_XOR(acc, entry) acc ^= (entry)
#define HIGH_WORD(acc) (acc)
#endif
#define LOW_SET(acc, entry) acc = (entry)
#define LOW_XOR(acc, entry) acc ^= (entry)

#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

/* out = LPS(a ^ b). a and b are read completely before out is written, so out
 * may alias either input.
 *
 * Column by column: word c of a ^ b is formed once and walked down two bytes
 * at a time; byte r selects an entry of lps_table[c] for output word r, so the
 * eight output words build up in eight accumulators, which column 0 starts.
 * The same 64 lookups as row by row, in fewer instructions. Inlined into g_n,
 * where it runs 25 times a block. */
static ALWAYS_INLINE void lpsx(uint64_t out[8], const uint64_t a[8], const uint64_t b[8])
{
    uint64_t x;
    uint64_t r0, r1, r2, r3;
    high_word r4, r5, r6, r7;
#define LPS_COLUMN(c, LOW, HIGH)                                                                   \
    x = a[c] ^ b[c];                                                                               \
    LOW(r0, lps_table[c][x & 0xff]);                                                               \
    LOW(r1, lps_table[c][(x >> 8) & 0xff]);                                                        \
    x >>= 16;                                                                                      \
    VALUE_BARRIER(x);                                                                              \
    LOW(r2, lps_table[c][x & 0xff]);                                                               \
    LOW(r3, lps_table[c][(x >> 8) & 0xff]);                                                        \
    x >>= 16;                                                                                      \
    VALUE_BARRIER(x);                                                                              \
    HIGH(r4, lps_table[c][x & 0xff]);                                                              \
    HIGH(r5, lps_table[c][(x >> 8) & 0xff]);                                                       \
    x >>= 16;                                                                                      \
    VALUE_BARRIER(x);                                                                              \
    HIGH(r6, lps_table[c][x & 0xff]);                                                              \
    HIGH(r7, lps_table[c][(x >> 8) & 0xff])
    LPS_COLUMN(0, LOW_SET, HIGH_SET);
    LPS_COLUMN(1, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(2, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(3, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(4, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(5, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(6, LOW_XOR, HIGH_XOR);
    LPS_COLUMN(7, LOW_XOR, HIGH_XOR);
#undef LPS_COLUMN
    out[0] = r0;
    out[1] = r1;
    out[2] = r2;
    out[3] = r3;
    out[4] = HIGH_WORD(r4);
    out[5] = HIGH_WORD(r5);
    out[6] = HIGH_WORD(r6);
    out[7] = HIGH_WORD(r7);
}

/* h = E(LPS(h ^ N), m) ^ h ^ m: the compression function g_N.
 *
 * With K_1 = LPS(h ^ N), K_(i+1) = LPS(K_i ^ C_i) and t_i = LPS(t_(i-1) ^ K_i)
 * (t_0 = m), each step below pairs t_i with K_(i+1): both read only K_i, so
 * the processor can overlap the two. */
static void g_n(const uint64_t N[8], uint64_t h[8], const uint64_t m[8])
{
    uint64_t K[8];
    uint64_t t[8];
    lpsx(K, h, N);
    lpsx(t, K, m);
    lpsx(K, K, iteration_constants[0]);
    for (int i = 1; i < 12; i++) {
        lpsx(t, t, K);
        lpsx(K, K, iteration_constants[i]);
    }
    for (int i = 0; i < 8; i++) {
        h[i] ^= m[i] ^ t[i] ^ K[i];
    }
}

static void table_blocks(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t nblocks)
{
    uint64_t m[8];
    for (; nblocks > 0; nblocks--, data += 64) {
        gost_load_block(data, m);
        g_n(context->N, context->h, m);
        gost_count_block(context, 512, data);
    }
}

/* One context after another: two contexts' g_N interleaved measured no
 * faster (within a few per cent either way), as an lpsx is bound by its
 * instructions (64 loads and their exclusive-ors) rather than by latency. */
static void table_blocks_multi(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                               uint64_t nblocks, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        table_blocks(contexts[i], data[i], nblocks);
    }
}

const gost_path gost_table_path = {"table", g_n, table_blocks, table_blocks_multi};

#ifndef GOST_R3411_2012_VECTOR_BUILD
int gost_vector_available(void)
{
    return 0;
}
#endif

/* The path this process runs, chosen at its first use. Threads that meet it
 * unchosen all choose the same, so a relaxed atomic is enough and the choice
 * costs one load a call afterwards. */
static std::atomic<const gost_path *> chosen_path(nullptr);

/* The only place that knows which paths exist. */
static const gost_path *path_named(const char *name)
{
    if (strcmp(name, "table") == 0) {
        return &gost_table_path;
    }
#ifdef GOST_R3411_2012_VECTOR_BUILD
    if (strcmp(name, "vector") == 0 && gost_vector_available()) {
        return &gost_vector_path;
    }
#endif
    return NULL;
}

static const gost_path *path_in_use(void)
{
    const gost_path *path = chosen_path.load(std::memory_order_relaxed);
    if (path == NULL) {
        const char *wanted = getenv("GOST_R3411_2012_IMPL");
        const bool table_wanted = wanted != NULL && strcmp(wanted, "table") == 0;
        path = table_wanted ? NULL : path_named("vector");
        if (path == NULL) {
            path = &gost_table_path;
        }
        chosen_path.store(path, std::memory_order_relaxed);
    }
    return path;
}

int gost_use_path(const char *name)
{
    const gost_path *path = path_named(name);
    if (path == NULL) {
        return -1;
    }
    chosen_path.store(path, std::memory_order_relaxed);
    return 0;
}

const char *GOSTR3411_2012_Implementation(void)
{
    return path_in_use()->name;
}

/* Compresses the block in the context's buffer, counted as bits. */
static void process_block(GOSTR3411_2012_CTX *context, uint64_t bits, const gost_path *path)
{
    uint64_t m[8];
    gost_load_block(context->buffer, m);
    path->g_n(context->N, context->h, m);
    gost_count_block(context, bits, context->buffer);
}

/* The first step of an Update whose bytes complete a block: when a partial
 * block is held, it is completed from data and compressed. Advances *data
 * past what it took; returns the count of bytes left. */
static uint64_t complete_partial_block(GOSTR3411_2012_CTX *context, const uint8_t **data,
                                       uint64_t data_len, const gost_path *path)
{
    if (context->buffer_len == 0) {
        return data_len;
    }
    const uint32_t take = 64 - context->buffer_len;
    memcpy(context->buffer + context->buffer_len, *data, take);
    *data += take;
    process_block(context, 512, path);
    context->buffer_len = 0;
    return data_len - take;
}

/* The rest of an Update, once buffer_len is 0 (the buffer may still hold a
 * compressed block): whole blocks through the path, the remainder into the
 * buffer, and the bytes after it zero. */
static void absorb_rest(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t left,
                        const gost_path *path)
{
    if (left >= 64) {
        path->blocks(context, data, left / 64);
        data += left - left % 64;
    }
    context->buffer_len = (uint32_t)(left % 64);
    memcpy(context->buffer, data, context->buffer_len);
    memset(context->buffer + context->buffer_len, 0, 64 - context->buffer_len);
}

static void prepare(GOSTR3411_2012_CTX *context, int32_t digest_size)
{
    memset(context, 0, sizeof *context);
    context->digest_size = digest_size;
    if (digest_size == 32) {
        for (int i = 0; i < 8; i++) {
            context->h[i] = 0x0101010101010101ULL;
        }
    }
}

int GOSTR3411_2012_256_Init(GOSTR3411_2012_CTX *context)
{
    if (context == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Init", "NULL context pointer");
        return -1;
    }
    prepare(context, 32);
    return 0;
}

int GOSTR3411_2012_512_Init(GOSTR3411_2012_CTX *context)
{
    if (context == NULL) {
        diag(__LINE__, "GOSTR3411_2012_512_Init", "NULL context pointer");
        return -1;
    }
    prepare(context, 64);
    return 0;
}

int GOSTR3411_2012_Update(GOSTR3411_2012_CTX *context, const uint8_t *data, uint32_t data_len)
{
    if (context == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Update", "NULL context pointer");
        return -1;
    }
    if (data_len == 0) {
        return 0;
    }
    if (data == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Update", "NULL data pointer for data_len > 0");
        return -2;
    }

    /* Formed in 64 bits: a data_len near 2^32 must not wrap the sum. */
    const uint64_t total = (uint64_t)context->buffer_len + data_len;
    if (total < 64) {
        memcpy(context->buffer + context->buffer_len, data, data_len);
        context->buffer_len = (uint32_t)total;
        return 0;
    }
    const gost_path *path = path_in_use();
    const uint64_t left = complete_partial_block(context, &data, data_len, path);
    absorb_rest(context, data, left, path);
    return 0;
}

int GOSTR3411_2012_UpdateMulti(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                               uint32_t data_len, unsigned count)
{
    if (contexts == NULL) {
        diag(__LINE__, "GOSTR3411_2012_UpdateMulti", "NULL context array pointer");
        return -1;
    }
    if (count < 1 || count > GOSTR3411_2012_MULTI_MAX) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "%s:%d %s. Context count out of range: %u\n", __FILE__,
                    __LINE__, "GOSTR3411_2012_UpdateMulti", count);
        }
        return -3;
    }
    for (unsigned i = 0; i < count; i++) {
        if (contexts[i] == NULL) {
            diag(__LINE__, "GOSTR3411_2012_UpdateMulti", "NULL context pointer");
            return -1;
        }
    }
    if (data_len > 0) {
        if (data == NULL) {
            diag(__LINE__, "GOSTR3411_2012_UpdateMulti",
                 "NULL data array pointer for data_len > 0");
            return -2;
        }
        for (unsigned i = 0; i < count; i++) {
            if (data[i] == NULL) {
                diag(__LINE__, "GOSTR3411_2012_UpdateMulti", "NULL data pointer for data_len > 0");
                return -2;
            }
        }
    }
    for (unsigned i = 0; i < count; i++) {
        for (unsigned j = i + 1; j < count; j++) {
            if (contexts[i] == contexts[j]) {
                diag(__LINE__, "GOSTR3411_2012_UpdateMulti", "Context given twice");
                return -3;
            }
        }
    }
    if (data_len == 0) {
        return 0;
    }

    /* Each context completes its partial block alone; then the whole blocks
     * that all of them have go through the path together, and each takes
     * care of its own remainder (at most one more block). */
    const gost_path *path = path_in_use();
    const uint8_t *at[GOSTR3411_2012_MULTI_MAX];
    uint64_t left[GOSTR3411_2012_MULTI_MAX];
    uint64_t together = UINT64_MAX;
    for (unsigned i = 0; i < count; i++) {
        at[i] = data[i];
        const uint64_t total = (uint64_t)contexts[i]->buffer_len + data_len;
        if (total < 64) {
            left[i] = data_len;
        } else {
            left[i] = complete_partial_block(contexts[i], &at[i], data_len, path);
        }
        together = left[i] / 64 < together ? left[i] / 64 : together;
    }
    if (together > 0) {
        path->blocks_multi(contexts, at, together, count);
    }
    for (unsigned i = 0; i < count; i++) {
        at[i] += 64 * together;
        left[i] -= 64 * together;
        if (contexts[i]->buffer_len == 0) {
            absorb_rest(contexts[i], at[i], left[i], path);
        } else { /* still short of a block */
            memcpy(contexts[i]->buffer + contexts[i]->buffer_len, at[i], (size_t)left[i]);
            contexts[i]->buffer_len += (uint32_t)left[i];
        }
    }
    return 0;
}

static void finish(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    static const uint64_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const gost_path *path = path_in_use();

    memset(context->buffer + context->buffer_len, 0, 64 - context->buffer_len);
    context->buffer[context->buffer_len] = 0x01;
    process_block(context, 8u * (uint64_t)context->buffer_len, path);
    path->g_n(zero, context->h, context->N);
    path->g_n(zero, context->h, context->Sigma);

    if (context->digest_size == 64) {
        for (int i = 0; i < 8; i++) {
            store64_le(digest + 8 * i, context->h[i]);
        }
    } else {
        for (int i = 0; i < 4; i++) {
            store64_le(digest + 8 * i, context->h[4 + i]);
        }
    }
}

int GOSTR3411_2012_Final(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    if (context == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Final", "NULL context pointer");
        return -1;
    }
    if (digest == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Final", "NULL digest pointer");
        return -2;
    }
    finish(context, digest);
    return 0;
}

int GOSTR3411_2012_256_Final(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    if (context == NULL) {
        diag(__LINE__, "GOSTR3411_2012_256_Final", "NULL context pointer");
        return -1;
    }
    if (context->digest_size != 32) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "%s:%d %s. Illegal digest size in context: %d\n", __FILE__,
                    __LINE__, "GOSTR3411_2012_256_Final", (int)context->digest_size);
        }
        return -2;
    }
    return GOSTR3411_2012_Final(context, digest);
}

int GOSTR3411_2012_Transform(const uint8_t *data, uint32_t data_len, uint8_t *digest)
{
    if (data_len > 0 && data == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Transform", "NULL data pointer for data_len > 0");
        return -2;
    }
    if (digest == NULL) {
        diag(__LINE__, "GOSTR3411_2012_Transform", "NULL digest pointer");
        return -3;
    }

    GOSTR3411_2012_CTX context;
    prepare(&context, 64);
    int rc = GOSTR3411_2012_Update(&context, data, data_len);
    if (rc != 0) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "GOSTR3411_2012_Update failed: 0x%x\n", (unsigned)rc);
        }
        return rc;
    }
    rc = GOSTR3411_2012_Final(&context, digest);
    if (rc != 0) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "GOSTR3411_2012_Final failed: 0x%x\n", (unsigned)rc);
        }
        return rc;
    }
    return 0;
}
