#include "gost_r3411_2012.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "gost_r3411_2012_paths.h"

FILE *hash_diag_stream = NULL;

#include "lps_table.inc"

const uint64_t iteration_constants[12][8] = {
    {0xdd806559f2a64507ULL, 0x05767436cc744d23ULL, 0xa2422a08a460d315ULL, 0x4b7ce09192676901ULL,
     0x714eb88d7585c4fcULL, 0x2f6a76432e45d016ULL, 0xebcb2f81c0657c1fULL, 0xb1085bda1ecadae9ULL},
    {0xe679047021b19bb7ULL, 0x55dda21bd7cbcd56ULL, 0x5cb561c2db0aa7caULL, 0x9ab5176b12d69958ULL,
     0x61d55e0f16b50131ULL, 0xf3feea720a232b98ULL, 0x4fe39d460f70b5d7ULL, 0x6fa3b58aa99d2f1aULL},
    {0x991e96f50aba0ab2ULL, 0xc2b6f443867adb31ULL, 0xc1c93a376062db09ULL, 0xd3e20fe490359eb1ULL,
     0xf2ea7514b1297b7bULL, 0x06f15e5f529c1f8bULL, 0x0a39fc286a3d8435ULL, 0xf574dcac2bce2fc7ULL},
    {0x220cbebc84e3d12eULL, 0x3453eaa193e837f1ULL, 0xd8b71333935203beULL, 0xa9d72c82ed03d675ULL,
     0x9d721cad685e353fULL, 0x488e857e335c3c7dULL, 0xf948e1a05d71e4ddULL, 0xef1fdfb3e81566d2ULL},
    {0x601758fd7c6cfe57ULL, 0x7a56a27ea9ea63f5ULL, 0xdfff00b723271a16ULL, 0xbfcd1747253af5a3ULL,
     0x359e35d7800fffbdULL, 0x7f151c1f1686104aULL, 0x9a3f410c6ca92363ULL, 0x4bea6bacad474799ULL},
    {0xfa68407a46647d6eULL, 0xbf71c57236904f35ULL, 0x0af21f66c2bec6b6ULL, 0xcffaa6b71c9ab7b4ULL,
     0x187f9ab49af08ec6ULL, 0x2d66c4f95142a46cULL, 0x6fa4c33b7a3039c0ULL, 0xae4faeae1d3ad3d9ULL},
    {0x8886564d3a14d493ULL, 0x3517454ca23c4af3ULL, 0x06476983284a0504ULL, 0x0992abc52d822c37ULL,
     0xd3473e33197a93c9ULL, 0x399ec6c7e6bf87c9ULL, 0x51ac86febf240954ULL, 0xf4c70e16eeaac5ecULL},
    {0xa47f0dd4bf02e71eULL, 0x36acc2355951a8d9ULL, 0x69d18d2bd1a5c42fULL, 0xf4892bcb929b0690ULL,
     0x89b4443b4ddbc49aULL, 0x4eb7f8719c36de1eULL, 0x03e7aa020c6e4141ULL, 0x9b1f5b424d93c9a7ULL},
    {0x7261445183235adbULL, 0x0e38dc92cb1f2a60ULL, 0x7b2b8a9aa6079c54ULL, 0x800a440bdbb2ceb1ULL,
     0x3cd955b7e00d0984ULL, 0x3a7d3a1b25894224ULL, 0x944c9ad8ec165fdeULL, 0x378f5a541631229bULL},
    {0x74b4c7fb98459cedULL, 0x3698fad1153bb6c3ULL, 0x7a1e6c303b7652f4ULL, 0x9fe76702af69334bULL,
     0x1fffe18a1b336103ULL, 0x8941e71cff8a78dbULL, 0x382ae548b2e4f3f3ULL, 0xabbedea680056f52ULL},
    {0x6bcaa4cd81f32d1bULL, 0xdea2594ac06fd85dULL, 0xefbacd1d7d476e98ULL, 0x8a1d71efea48b9caULL,
     0x2001802114846679ULL, 0xd8fa6bbbebab0761ULL, 0x3002c6cd635afe94ULL, 0x7bcd9ed0efc889fbULL},
    {0x48bc924af11bd720ULL, 0xfaf417d5d9b21b99ULL, 0xe71da4aa88e12852ULL, 0x5d80ef9d1891cc86ULL,
     0xf82012d430219f9bULL, 0xcda43c32bcdf1d77ULL, 0xd21380b00449b17aULL, 0x378ee767f11631baULL},
};

static uint64_t load64_le(const uint8_t *p)
{
    return (uint64_t)p[0] | (uint64_t)p[1] << 8 | (uint64_t)p[2] << 16 | (uint64_t)p[3] << 24 |
           (uint64_t)p[4] << 32 | (uint64_t)p[5] << 40 | (uint64_t)p[6] << 48 |
           (uint64_t)p[7] << 56;
}

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

enum { PATH_UNCHOSEN = 0, PATH_TABLE = 1, PATH_VECTOR = 2 };

/* The path this process runs, chosen at its first use. Threads that meet it
 * unchosen all choose the same, so a relaxed atomic is enough and the choice
 * costs one load a call afterwards. */
static std::atomic<int> chosen_path(PATH_UNCHOSEN);

static int path_in_use(void)
{
    int path = chosen_path.load(std::memory_order_relaxed);
    if (path == PATH_UNCHOSEN) {
        const char *wanted = getenv("GOST_R3411_2012_IMPL");
        const bool table_wanted = wanted != NULL && strcmp(wanted, "table") == 0;
        path = !table_wanted && gost_vector_available() ? PATH_VECTOR : PATH_TABLE;
        chosen_path.store(path, std::memory_order_relaxed);
    }
    return path;
}

int gost_use_path(const char *name)
{
    if (strcmp(name, "table") == 0) {
        chosen_path.store(PATH_TABLE, std::memory_order_relaxed);
        return 0;
    }
    if (strcmp(name, "vector") == 0 && gost_vector_available()) {
        chosen_path.store(PATH_VECTOR, std::memory_order_relaxed);
        return 0;
    }
    return -1;
}

const char *GOSTR3411_2012_Implementation(void)
{
    return path_in_use() == PATH_VECTOR ? "vector" : "table";
}

static void compress(int path, const uint64_t N[8], uint64_t h[8], const uint64_t m[8])
{
#if GOST_VECTOR_PATH
    if (path == PATH_VECTOR) {
        gost_vector_g_n(N, h, m);
        return;
    }
#else
    (void)path;
#endif
    g_n(N, h, m);
}

static void process_block(GOSTR3411_2012_CTX *context, uint64_t bits, int path)
{
    uint64_t m[8];
    for (int i = 0; i < 8; i++) {
        m[i] = load64_le(context->buffer + 8 * i);
    }
    compress(path, context->N, context->h, m);

    uint64_t *N = context->N;
    N[0] += bits;
    if (N[0] < bits) {
        for (int i = 1; i < 8 && ++N[i] == 0; i++) {
        }
    }

    uint64_t carry = 0;
    for (int i = 0; i < 8; i++) {
        const uint64_t s = context->Sigma[i] + m[i];
        const uint64_t c1 = s < m[i];
        const uint64_t s2 = s + carry;
        const uint64_t c2 = s2 < s;
        context->Sigma[i] = s2;
        carry = c1 | c2;
    }
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
    const int path = path_in_use();
    for (uint64_t blocks = total / 64; blocks > 0; blocks--) {
#if GOST_VECTOR_PATH
        if (path == PATH_VECTOR && context->buffer_len == 0) {
            gost_vector_blocks(context, data, blocks);
            data += 64 * blocks;
            break;
        }
#endif
        const uint32_t take = 64 - context->buffer_len;
        memcpy(context->buffer + context->buffer_len, data, take);
        data += take;
        process_block(context, 512, path);
        memset(context->buffer, 0, sizeof context->buffer);
        context->buffer_len = 0;
    }
    const uint32_t rest = (uint32_t)(total % 64);
    memcpy(context->buffer, data, rest);
    context->buffer_len = rest;
    return 0;
}

static void finish(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    static const uint64_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const int path = path_in_use();

    memset(context->buffer + context->buffer_len, 0, 64 - context->buffer_len);
    context->buffer[context->buffer_len] = 0x01;
    process_block(context, 8u * (uint64_t)context->buffer_len, path);
    compress(path, zero, context->h, context->N);
    compress(path, zero, context->h, context->Sigma);

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
