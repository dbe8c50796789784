/* Builds the engine's constant tables from the standard's pi, A and iteration
 * constants: lps_table for the table path and the constants of the vector
 * path. */
#ifndef LPS_GEN_H
#define LPS_GEN_H

#include <stdint.h>

/* table[c][b] = l(pi(b) << 8c), where l(a) is the exclusive-or of the rows
 * A_i (i = 0..63, in the standard's order) for which bit 63 - i of a is set. */
void lps_generate(uint64_t table[8][256]);

/* The constants of the vector path (hash_low/lps_vector.inc).
 *
 * The vector path holds a 512-bit value in one 64-byte register, either in
 * the byte-string form (byte 8r + j = byte j of word r) or transposed (byte
 * 8j + r = byte j of word r); the 64-bit lanes of a transposed value hold
 * output byte positions. */
struct LpsVectorTables {
    /* pi, as four 64-byte tables for byte permutes. */
    uint8_t sbox[256];
    /* matrices[k][j]: the GF2P8AFFINEQB matrix for lane j of term k, mapping a
     * byte b taken from byte position c = j ^ k of a word to byte j of
     * l(b << 8c). Byte 7 - i of the matrix word is the row of output bit i;
     * its bit s is set when output bit i of the image of 1 << s is set. */
    uint64_t matrices[8][8];
    /* gather[g]: byte-permute indices that take a transposed value to the
     * register whose lane j holds word j ^ 2g in byte-string order:
     * gather[g][8j + r] = 8r + (j ^ 2g). gather[0] is the transposition. */
    uint8_t gather[4][64];
    /* The iteration constants C_1..C_12, transposed. */
    uint8_t constants[12][64];
    /* For the body that swaps lanes after the products: lane j of
     * matrices_swapped[g] is lane j ^ 1 of matrices[2g + 1], and
     * constants_swapped[n] is constants[n] with lanes j and j ^ 1 swapped. */
    uint64_t matrices_swapped[4][8];
    uint8_t constants_swapped[12][64];
};

/* Fills out from pi, A and the iteration constants below. */
void lps_vector_generate(LpsVectorTables *out);

/* The standard's iteration constants C_1..C_12, eight words each, word 0 the
 * least significant. */
extern const uint64_t lps_gen_iteration_constants[12][8];

#endif
