/*
 * The engine's ways of computing ("paths") and the block bookkeeping they
 * share. Internal to the engine, its tests, its fuzz target and the
 * benchmark; not installed.
 *
 * The table path (lpsx on lps_table) is the reference. Where each path is
 * built and runs is told in gost_r3411_2012(3), "Two paths"; the build
 * compiles gost_r3411_2012_vector.cpp where it can, and elsewhere
 * gost_r3411_2012_novector.cpp, whose path never runs.
 */
#ifndef GOST_R3411_2012_PATHS_H
#define GOST_R3411_2012_PATHS_H

#include <stdint.h>

#include "gost_r3411_2012.h"

/* One way of computing. Every function gives exactly the table path's result. */
typedef struct {
    const char *name; /* "table", "vector" or "vector-lean" */
    /* h = g_N(h, m). */
    void (*g_n)(const uint64_t N[8], uint64_t h[8], const uint64_t m[8]);
    /* Compresses nblocks (>= 1) whole 64-byte blocks at data into context,
     * whose buffer_len is 0: each block goes through g_N and gost_count_block
     * with 512 bits. The blocks are read where they lie; the buffer is left
     * as it was. */
    void (*blocks)(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t nblocks);
    /* As blocks, for count (1..GOSTR3411_2012_MULTI_MAX) distinct contexts,
     * nblocks from data[i] into contexts[i] each. */
    void (*blocks_multi)(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                         uint64_t nblocks, unsigned count);
} gost_path;

extern const gost_path gost_table_path;
/* The vector path has two bodies with the same instructions: "vector", for
 * processors whose byte permutes are cheap, and "vector-lean", which spends
 * fewer byte permutes for as many other operations, for processors that run
 * all byte permutes on one port. */
extern const gost_path gost_vector_path;
extern const gost_path gost_vector_lean_path;

/* Whether this processor and operating system run the vector path (either
 * body); 0 wherever it is not built. */
int gost_vector_available(void);

/* Whether the processor's maker is the one whose cores run every byte permute
 * on one port, where the lean body is the faster; 0 wherever the vector path is
 * not built. */
int gost_vector_prefers_lean(void);

/* Makes this process run the path named "table", "vector" or "vector-lean"
 * from now on. Returns 0, or -1 (nothing changed) for another name or for a
 * vector body where the vector path does not run. For tests and measurements:
 * not while another thread is hashing. */
int gost_use_path(const char *name);

/* The engine's one form of failure message, "<file>:<line> <function>.
 * <what>", with ": <value>" after it when value is not NULL, written on
 * hash_diag_stream when that is set. */
void gost_diag(const char *file, int line, const char *function, const char *what,
               const long long *value);

/* The block bookkeeping, the same for every path: gost_load_block gives the
 * 64 bytes at block as words in m; gost_add_bits adds bits to N and
 * gost_add_block the block's words to Sigma, both modulo 2^512;
 * gost_count_block does both after g_N. Inline, so that a path compiled for
 * other instructions keeps its registers across them. */
static inline uint64_t gost_load64_le(const uint8_t *p)
{
    return (uint64_t)p[0] | (uint64_t)p[1] << 8 | (uint64_t)p[2] << 16 | (uint64_t)p[3] << 24 |
           (uint64_t)p[4] << 32 | (uint64_t)p[5] << 40 | (uint64_t)p[6] << 48 |
           (uint64_t)p[7] << 56;
}

static inline void gost_load_block(const uint8_t *block, uint64_t m[8])
{
    for (int i = 0; i < 8; i++) {
        m[i] = gost_load64_le(block + 8 * i);
    }
}

static inline void gost_add_bits(uint64_t N[8], uint64_t bits)
{
    N[0] += bits;
    if (N[0] < bits) {
        for (int i = 1; i < 8 && ++N[i] == 0; i++) {
        }
    }
}

/* Each word is read as the addition reaches it. The vector path passes the
 * caller's data: words gathered into an array first were read as one wide
 * load and stored again, and the addition waited for those stores. */
static inline void gost_add_block(uint64_t Sigma[8], const uint8_t *block)
{
    uint64_t carry = 0;
    for (int i = 0; i < 8; i++) {
        const uint64_t m = gost_load64_le(block + 8 * i);
        const uint64_t s = Sigma[i] + m;
        const uint64_t c1 = s < m;
        const uint64_t s2 = s + carry;
        const uint64_t c2 = s2 < s;
        Sigma[i] = s2;
        carry = c1 | c2;
    }
}

static inline void gost_count_block(GOSTR3411_2012_CTX *context, uint64_t bits,
                                    const uint8_t *block)
{
    gost_add_bits(context->N, bits);
    gost_add_block(context->Sigma, block);
}

/* The vector path's constants, generated into hash_low/lps_vector.inc (their
 * layout is told in gen/lps_gen.h). Defined on every target, so that the test
 * of their derivation runs everywhere. */
extern const uint8_t lps_vector_sbox[256];
extern const uint64_t lps_vector_matrices[8][8];
extern const uint8_t lps_vector_gather[4][64];
extern const uint8_t lps_vector_constants[12][64];
extern const uint64_t lps_vector_matrices_swapped[4][8];
extern const uint8_t lps_vector_constants_swapped[12][64];

#endif
