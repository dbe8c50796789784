/*
 * The engine's two ways of computing g_N. Internal to the engine, its tests,
 * its fuzz target and the benchmark; not installed.
 *
 * The table path (lpsx on lps_table) runs everywhere and is the reference.
 * The vector path computes the same g_N with GFNI and AVX-512 (F, BW, VBMI)
 * instructions. It is built on x86-64 by compilers that accept those
 * instructions in functions of their own (GCC, Clang), except for Windows, and
 * runs where the processor has them and the operating system saves their
 * registers. A process takes the vector path where it runs, unless the
 * environment variable GOST_R3411_2012_IMPL is "table"; it decides once, at
 * its first hash.
 */
#ifndef GOST_R3411_2012_PATHS_H
#define GOST_R3411_2012_PATHS_H

#include <stdint.h>

#include "gost_r3411_2012.h"

#if defined(GOST_R3411_2012_VECTOR_BUILD) && defined(__x86_64__) && !defined(_WIN32)
#define GOST_VECTOR_PATH 1
#else
#define GOST_VECTOR_PATH 0
#endif

/* Whether this processor and operating system run the vector path; 0 wherever
 * it is not built. */
int gost_vector_available(void);

/* Makes this process run the path named "table" or "vector" from now on.
 * Returns 0, or -1 (nothing changed) for another name or for the vector path
 * where it does not run. For tests and measurements: not while another thread
 * is hashing. */
int gost_use_path(const char *name);

#if GOST_VECTOR_PATH
/* h = g_N(h, m) on the vector path, exactly as the table path computes it.
 * Only where gost_vector_available() is 1. */
void gost_vector_g_n(const uint64_t N[8], uint64_t h[8], const uint64_t m[8]);

/* The Update loop over whole blocks on the vector path: each of the blocks
 * 64-byte blocks at data is copied into the context's buffer, compressed with
 * 512 bits, added to N and Sigma, and the buffer cleared, exactly as
 * GOSTR3411_2012_Update does it. buffer_len must be 0. */
void gost_vector_blocks(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t blocks);
#endif

/* The vector path's constants, generated into hash_low/lps_vector.inc (their
 * layout is told in gen/lps_gen.h). Defined on every target, so that the test
 * of their derivation runs everywhere. */
extern const uint8_t lps_vector_sbox[256];
extern const uint64_t lps_vector_matrices[8][8];
extern const uint8_t lps_vector_gather[4][64];
extern const uint8_t lps_vector_constants[12][64];

#endif
