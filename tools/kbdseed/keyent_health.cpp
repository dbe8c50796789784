/* Health tests on the samples: timing that repeats ends the collection, so
 * that the estimate is never taken for entropy that is not there.
 *
 * How the cutoffs are derived (false alarms at most alpha = 2^-20 per test):
 *
 * The source they are set for is the most regular person the collector must
 * serve on the coarsest clock it meets: key-press intervals log-normal around
 * 300 ms with sigma 0.1 (about 30 ms of spread), read from a clock that ticks
 * every 15.625 ms. A delta is then a whole number k of ticks, and with the
 * clock's phase uniform P(k) = E[max(0, 1 - |I - k|)] for the interval I in
 * ticks. The likeliest k has p = 0.2041: a min-entropy H = -log2 p = 2.29 bits
 * per sample. On that clock the window sits at bit 1 or above (a tick is
 * 156250 = 2 * 5^7 units) and maps k one to one to the sample byte, so the
 * bytes have the same min-entropy. (On a 100-ns clock both have far more.)
 *
 * Repetition count: C equal deltas in a row have probability at most p^(C-1);
 * C = 1 + ceil(20 / H) = 1 + ceil(8.73) = 10.
 *
 * Adaptive proportion, over the latest w <= 64 sample bytes: no value has a
 * probability above p, so at most ceil(1/p) = 5 values can carry p each, and
 * the chance that the most frequent value reaches c of w is at most
 * 5 * P[Binomial(w, p) >= c] (the sum over values is largest when the
 * probability is piled into as few values as p allows). Likewise two values
 * carry at most 2p together, in at most C(5, 2) = 10 pairs: the two most
 * frequent values reach c of w with a chance of at most
 * 10 * P[Binomial(w, 2p) >= c]. Each cutoff is the least c for which that
 * bound is at most 2^-20; where no c <= w qualifies it is w + 1 (never).
 *
 * What this catches: deltas that alternate, or take two values at random,
 * fill two byte values: from 19 bytes on (19 of 19, 28 of 32), well before
 * the 33 bytes that are the earliest end. The repetition count ends constant
 * deltas at the tenth. */
#include "keyent.h"

namespace {

enum { EQUAL_INTERVALS_CUTOFF = 10, PROPORTION_WINDOW = 64 };

/* Indexed by the number of bytes looked at, 0 to 64. */
const unsigned char one_value_cutoff[PROPORTION_WINDOW + 1] = {
    1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 10, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16,
    16, 17, 17, 18, 18, 19, 19, 19, 20, 20, 21, 21, 21, 22, 22, 23, 23, 23, 24, 24, 25, 25,
    25, 26, 26, 26, 27, 27, 27, 28, 28, 28, 29, 29, 30, 30, 30, 31, 31, 31, 32, 32, 32};
const unsigned char two_values_cutoff[PROPORTION_WINDOW + 1] = {
    1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 19, 20, 21,
    21, 22, 23, 24, 24, 25, 26, 26, 27, 28, 28, 29, 30, 30, 31, 32, 32, 33, 33, 34, 35, 35,
    36, 36, 37, 38, 38, 39, 39, 40, 41, 41, 42, 42, 43, 44, 44, 45, 45, 46, 47, 47, 48};

} // namespace

keyent_health keyent_check_repeats(const uint64_t *deltas, const uint8_t *bytes, int count)
{
    keyent_health h = {KEYENT_HEALTHY, 0, 0};
    const int newest = count - 1;
    int run = 1;
    while (run < count && deltas[newest - run] == deltas[newest]) run++;
    if (run >= EQUAL_INTERVALS_CUTOFF) {
        h.verdict = KEYENT_EQUAL_INTERVALS;
        h.count = run;
        return h;
    }

    /* Byte k >= 2 had window 64, and is 0, while deltas 0 to k - 1 were all
     * equal, that is up to the first delta that differs from delta 0. Byte 1
     * always had window 0. */
    int first_different = 1;
    while (first_different < count && deltas[first_different] == deltas[0]) first_different++;
    int seen[256] = {0};
    int window = 0;
    for (int k = newest; k >= 1 && window < PROPORTION_WINDOW; k--) {
        if (k == 1 || k > first_different) {
            seen[bytes[k]]++;
            window++;
        }
    }
    int first = 0, second = 0;
    for (int v = 0; v < 256; v++) {
        if (seen[v] > first) {
            second = first;
            first = seen[v];
        } else if (seen[v] > second) {
            second = seen[v];
        }
    }
    h.window = window;
    if (first >= one_value_cutoff[window]) {
        h.verdict = KEYENT_ONE_VALUE;
        h.count = first;
    } else if (first + second >= two_values_cutoff[window]) {
        h.verdict = KEYENT_TWO_VALUES;
        h.count = first + second;
    }
    return h;
}
