/*
 * Keyboard entropy collector. The user is asked for one randomly chosen key
 * after another; the time between accepted presses, read from the system
 * clock in 100-nanosecond units, gives one sample byte per press. Once the
 * estimated entropy of the sample bytes reaches 259 bits they are condensed
 * with the 512-bit GOST R 34.11-2012 hash, and the first 40 digest bytes are
 * the seed.
 *
 * Single-threaded and not reentrant: the seed of the latest successful
 * collection lives in one module-level buffer.
 */
#ifndef KBDSEED_KEYENT_H
#define KBDSEED_KEYENT_H

#include <stddef.h>
#include <stdint.h>

enum {
    KEYENT_SEED_SIZE = 40,      /* bytes of seed a collection yields */
    KEYENT_TARGET_BITS = 259,   /* the collection ends at this estimate */
    KEYENT_CHECKS_FROM = 16,    /* quality checks start at this many deltas */
    KEYENT_HIGHEST_WINDOW = 56, /* a window above this bit position fails */
    KEYENT_CAPACITY_STEP = 128, /* initial size and growth of the sample arrays */
    KEYENT_NOT_ALONE = 256      /* prompt_key: a key that came with more input behind it */
};

/* Where the collector reads keys and time. The defaults are the console and
 * the system clock; tests put in their own. */
typedef struct {
    int (*read_key)(void);       /* as console_read_key */
    uint64_t (*read_time)(void); /* as system_time_100ns */
    int (*input_waiting)(void);  /* as console_input_waiting */
    void (*discard_input)(void); /* as console_discard_input */
} keyent_io;

/* Makes the collector use io (copied), or the console and system clock again
 * when io is NULL. */
void keyent_set_io(const keyent_io *io);

/* Where the collector's sample arrays come from and go back to. release is
 * given the block's allocated size and only ever sees blocks that hold zeros
 * over that whole size: the collector wipes each array before releasing it,
 * whichever way the collection ends and when it moves an array to a larger
 * block. */
typedef struct {
    void *(*allocate)(size_t size); /* NULL when there is no room */
    void (*release)(void *block, size_t size);
} keyent_allocator;

/* Makes the collector use allocator (copied), or malloc and free again when
 * allocator is NULL. */
void keyent_set_allocator(const keyent_allocator *allocator);

/* Runs one collection and puts the seed into buffer. Returns 0; -1 for a null
 * buffer or zero length ("keyent_callback: bad arguments"); -2 when the
 * collection failed, after "keyent_callback: keyent_rng returned %d" on
 * standard error, with the buffer all zeros. */
int keyent_callback(uint8_t *buffer, unsigned length);

/* Clears the first length bytes of buffer, runs one collection and copies
 * min(length, 40) seed bytes into it; bytes 40 and on stay zero. Returns 0; -1
 * for a null buffer or zero length; -5 when the collection failed, with the
 * buffer cleared again. */
int keyent_rng(uint8_t *buffer, unsigned length);

/* One collection from scratch: prompts on standard output, keys from the
 * console. Returns 0 with the seed in the module's result buffer; -2 when a
 * sample array cannot be allocated or enlarged; -5 for Ctrl+C, an unreadable
 * console, a key code 0, too little entropy, timing that repeats (after
 * "keyent_collect: the key-press timing repeats: ..." on standard error, see
 * keyent_check_repeats) or a hash failure. */
int keyent_collect(void);

/* The seed of the latest successful collection (40 bytes, zeros before one). */
const uint8_t *keyent_result(void);

/* One key of "0"-"9", "A"-"Z", "a"-"z": the C library's generator is seeded
 * with the low 32 bits of a fresh time reading, and one draw modulo 62 picks
 * the key. */
int choose_random_key(void);

/* Discards what was typed before, prints "%.2d: Press key %c..." (flushed)
 * and reads one key. Returns 0 after "\nInput terminated\n" for Ctrl+C, or
 * after "\nError read character\n" when the console cannot be read (both on
 * standard error). Otherwise echoes the code as "%c\n" and returns it; a code
 * of 0 is echoed and returned as 0. A key behind which more input was already
 * waiting (a paste, not a person) is echoed and returned as KEYENT_NOT_ALONE,
 * which matches no key. */
int prompt_key(int key, int prompt_counter);

/* The lowest bit position in which deltas[0..count-1] are not all equal: 0 for
 * a count of 1, 64 when count is 0 or all are equal. */
int lowest_varying_bit(const uint64_t *deltas, int count);

/* Estimated entropy per bit, 0 to 1, of the 8-bit windows at bit position
 * window of deltas[0..count-1] (count at least 1): the binary entropy of the
 * smallest minority share over the eight columns, less 0.49 / sqrt(2 count). */
double estimate_entropy(const uint64_t *deltas, int count, int window);

/* The health tests on the samples, in the manner of the repetition count
 * and adaptive proportion tests of NIST SP 800-90B (section 4.4); the
 * cutoffs and their derivation are in keyent_health.cpp. */
enum {
    KEYENT_HEALTHY = 0,
    KEYENT_EQUAL_INTERVALS, /* the latest intervals are all the same */
    KEYENT_ONE_VALUE,       /* too many recent sample bytes share one value */
    KEYENT_TWO_VALUES       /* too many recent sample bytes take two values */
};

typedef struct {
    int verdict; /* one of the above */
    int count;   /* the equal intervals, or the bytes of the value(s) */
    int window;  /* the bytes looked at */
} keyent_health;

/* Tests the newest sample, delta and byte count - 1, against those before
 * it; count is at least 1. The byte tests leave out bytes taken while no two
 * intervals had differed yet (always 0, byte 0 among them) and look at the
 * latest 64 of the others. */
keyent_health keyent_check_repeats(const uint64_t *deltas, const uint8_t *bytes, int count);

#endif
