/* The table path: LPS as 64 lookups in lps_table per 64-byte word set, on
 * any processor. The reference the other path is held to. */
#include <stdint.h>

#include "gost_r3411_2012.h"
#include "gost_r3411_2012_paths.h"

#include "lps_table.inc"

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
 * out between the two kinds of unit shortens the whole (docs/benchmark.md).
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

/* One context after another: interleaving two contexts' g_N gains nothing,
 * as an lpsx is bound by its instructions (64 loads and their exclusive-ors)
 * rather than by latency (docs/benchmark.md). */
static void table_blocks_multi(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                               uint64_t nblocks, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        table_blocks(contexts[i], data[i], nblocks);
    }
}

const gost_path gost_table_path = {"table", g_n, table_blocks, table_blocks_multi};
