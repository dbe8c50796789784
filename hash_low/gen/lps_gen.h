/* Builds the engine's lps_table from the standard's pi and A. */
#ifndef LPS_GEN_H
#define LPS_GEN_H

#include <stdint.h>

/* table[c][b] = l(pi(b) << 8c), where l(a) is the exclusive-or of the rows
 * A_i (i = 0..63, in the standard's order) for which bit 63 - i of a is set. */
void lps_generate(uint64_t table[8][256]);

#endif
