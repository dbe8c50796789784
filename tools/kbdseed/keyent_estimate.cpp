/* Where the sample window sits, and how much entropy the windows carry. */
#include <math.h>

#include "keyent.h"

/* Bit i of a delta; positions 64 and above read as 0. */
static unsigned bit_at(uint64_t value, int i)
{
    return i < 64 ? static_cast<unsigned>((value >> i) & 1u) : 0u;
}

int lowest_varying_bit(const uint64_t *deltas, int count)
{
    if (count == 1) {
        return 0;
    }
    uint64_t differing = 0;
    for (int k = 1; k < count; k++) {
        differing |= deltas[k] ^ deltas[0];
    }
    for (int i = 0; i < 64; i++) {
        if (bit_at(differing, i) != 0) {
            return i;
        }
    }
    return 64;
}

double estimate_entropy(const uint64_t *deltas, int count, int window)
{
    if (count < 1) {
        return 0.0;
    }
    int minority = count;
    for (int k = 0; k < 8; k++) {
        int ones = 0;
        for (int j = 0; j < count; j++) {
            ones += static_cast<int>(bit_at(deltas[j], window + k));
        }
        if (ones < minority) {
            minority = ones;
        }
        if (count - ones < minority) {
            minority = count - ones;
        }
    }
    const double n = count;
    const double d = minority / n - 0.49 / sqrt(2.0 * n);
    if (d < 0.0) {
        return 0.0;
    }
    if (d == 0.0) {
        return 0.0; /* the limit of -d ln d as d goes to 0 */
    }
    return -(d * log(d) + (1.0 - d) * log(1.0 - d)) / log(2.0);
}
