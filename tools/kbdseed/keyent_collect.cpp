/* One collection, and the two layers that hand its seed to the caller. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gost_r3411_2012.h"
#include "keyent_internal.h"

enum { DIGEST_SIZE = 64 };

static uint8_t result_buffer[KEYENT_SEED_SIZE];

namespace {

void *plain_allocate(size_t size)
{
    return malloc(size);
}

void plain_release(void *block, size_t)
{
    free(block);
}

const keyent_allocator plain_allocator = {plain_allocate, plain_release};
keyent_allocator allocator = plain_allocator;

/* Zeros that the compiler may not drop although the memory is freed next:
 * every store goes through a volatile pointer. */
void wipe(void *p, size_t size)
{
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    for (size_t i = 0; i < size; i++) {
        v[i] = 0;
    }
}

/* Every block goes back wiped, also one that never held a sample: then no
 * path can forget a wipe. */
void release_block(void *block, size_t size)
{
    if (block != nullptr) {
        wipe(block, size);
        allocator.release(block, size);
    }
}

struct samples {
    uint64_t *deltas;
    uint8_t *bytes;
    int capacity; /* entries, the same for both arrays */
};

/* Wiped whatever way the collection ended: timings are seed material. */
void release(samples *s)
{
    const size_t capacity = static_cast<size_t>(s->capacity);
    release_block(s->deltas, capacity * sizeof s->deltas[0]);
    release_block(s->bytes, capacity);
    s->deltas = nullptr;
    s->bytes = nullptr;
    s->capacity = 0;
}

/* Room for KEYENT_CAPACITY_STEP more entries in both arrays. The old arrays
 * are wiped before they are freed, which realloc would not do. On failure
 * nothing changes, so release() still frees and wipes them. */
int grow(samples *s)
{
    const size_t capacity = static_cast<size_t>(s->capacity);
    const size_t larger = capacity + KEYENT_CAPACITY_STEP;
    uint64_t *deltas = static_cast<uint64_t *>(allocator.allocate(larger * sizeof deltas[0]));
    uint8_t *bytes = static_cast<uint8_t *>(allocator.allocate(larger));
    if (deltas == nullptr || bytes == nullptr) {
        release_block(deltas, larger * sizeof deltas[0]);
        release_block(bytes, larger);
        return -1;
    }
    memcpy(deltas, s->deltas, capacity * sizeof deltas[0]);
    memcpy(bytes, s->bytes, capacity);
    release(s);
    s->deltas = deltas;
    s->bytes = bytes;
    s->capacity = static_cast<int>(larger);
    return 0;
}

/* Asks for newly chosen keys until the one shown is pressed. Returns 0, or -1
 * when the dialogue must stop. */
int next_accepted_press(int *prompt_counter)
{
    for (;;) {
        const int key = choose_random_key();
        ++*prompt_counter;
        const int c = prompt_key(key, *prompt_counter);
        if (c == key) {
            return 0;
        }
        if (c == 0) {
            return -1;
        }
    }
}

/* Says on standard error why the timing failed the health tests. */
void report_repeats(const keyent_health &h)
{
    const char *why = "keyent_collect: the key-press timing repeats:";
    if (h.verdict == KEYENT_EQUAL_INTERVALS) {
        fprintf(stderr, "%s %d equal intervals in a row\n", why, h.count);
    } else {
        fprintf(stderr, "%s %d of the last %d samples take %s\n", why, h.count, h.window,
                h.verdict == KEYENT_ONE_VALUE ? "one value" : "two values");
    }
}

/* The sample byte of a delta: its bits window to window + 7. */
uint8_t window_byte(uint64_t delta, int window)
{
    return static_cast<uint8_t>(window < 64 ? delta >> window : 0);
}

} // namespace

void keyent_set_allocator(const keyent_allocator *a)
{
    allocator = a != nullptr ? *a : plain_allocator;
}

const uint8_t *keyent_result(void)
{
    return result_buffer;
}

int keyent_collect(void)
{
    uint8_t digest[DIGEST_SIZE];
    memset(digest, 0, sizeof digest);
    samples s = {nullptr, nullptr, KEYENT_CAPACITY_STEP};
    s.deltas =
        static_cast<uint64_t *>(allocator.allocate(KEYENT_CAPACITY_STEP * sizeof s.deltas[0]));
    s.bytes = static_cast<uint8_t *>(allocator.allocate(KEYENT_CAPACITY_STEP));
    if (s.deltas == nullptr || s.bytes == nullptr) {
        release(&s);
        return -2;
    }
    const keyent_io *io = keyent_current_io();
    int prompt_counter = 0;

    /* The start key is asked for until it is pressed; it only starts the clock. */
    const int start_key = choose_random_key();
    for (;;) {
        ++prompt_counter;
        const int c = prompt_key(start_key, prompt_counter);
        if (c == start_key) {
            break;
        }
        if (c == 0) {
            release(&s);
            return -5;
        }
    }
    uint64_t previous = io->read_time();

    if (next_accepted_press(&prompt_counter) != 0) {
        release(&s);
        return -5;
    }
    uint64_t now = io->read_time();
    s.deltas[0] = now - previous;
    previous = now;
    s.bytes[0] = window_byte(s.deltas[0], lowest_varying_bit(s.deltas, 0));
    int n = 1;
    double x = 0.0;

    while (8.0 * x * n < static_cast<double>(KEYENT_TARGET_BITS)) {
        if (next_accepted_press(&prompt_counter) != 0) {
            release(&s);
            return -5;
        }
        now = io->read_time();
        if (n == s.capacity && grow(&s) != 0) {
            release(&s);
            return -2;
        }
        s.deltas[n] = now - previous;
        previous = now;
        const int window = lowest_varying_bit(s.deltas, n);
        if (n >= KEYENT_CHECKS_FROM && window > KEYENT_HIGHEST_WINDOW) {
            release(&s);
            return -5;
        }
        x = estimate_entropy(s.deltas, n, window);
        if (n >= KEYENT_CHECKS_FROM && 8.0 * x * n < 1.0) {
            release(&s);
            return -5;
        }
        s.bytes[n] = window_byte(s.deltas[n], window);
        n++;
        /* Before the estimate may end the collection, which takes bits that
         * flip together for independent ones. */
        const keyent_health health = keyent_check_repeats(s.deltas, s.bytes, n);
        if (health.verdict != KEYENT_HEALTHY) {
            report_repeats(health);
            release(&s);
            return -5;
        }
    }

    if (GOSTR3411_2012_Transform(s.bytes, static_cast<uint32_t>(n), digest) != 0) {
        release(&s);
        return -5;
    }
    memcpy(result_buffer, digest, KEYENT_SEED_SIZE);
    release(&s);
    return 0;
}

int keyent_rng(uint8_t *buffer, unsigned length)
{
    if (buffer == nullptr || length == 0) {
        return -1;
    }
    memset(buffer, 0, length);
    if (keyent_collect() != 0) {
        memset(buffer, 0, length);
        return -5;
    }
    /* A shorter buffer gets the first length seed bytes and nothing beyond. */
    const unsigned copied = length < KEYENT_SEED_SIZE ? length : unsigned{KEYENT_SEED_SIZE};
    memcpy(buffer, result_buffer, copied);
    return 0;
}

int keyent_callback(uint8_t *buffer, unsigned length)
{
    if (buffer == nullptr || length == 0) {
        fprintf(stderr, "keyent_callback: bad arguments\n");
        return -1;
    }
    const int r = keyent_rng(buffer, length);
    if (r != 0) {
        fprintf(stderr, "keyent_callback: keyent_rng returned %d\n", r);
        return -2;
    }
    return 0;
}
