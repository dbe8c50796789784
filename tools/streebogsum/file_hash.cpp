/* Reading and hashing files. */
#include "file_hash.h"

#include <string.h>

#include "file_input.h"
#include "pool.h"

void hash_pair_update(GOSTR3411_2012_CTX *const contexts[2], const uint8_t *const data[2],
                      uint32_t len)
{
    GOSTR3411_2012_UpdateMulti(contexts, data, len, 2);
}

void hash_init(GOSTR3411_2012_CTX *context, int digest_size)
{
    if (digest_size == 32) {
        GOSTR3411_2012_256_Init(context);
        return;
    }
    /* The 512-bit hash starts from the zero IV. */
    memset(context, 0, sizeof *context);
    context->digest_size = 64;
}

void hash_stream(int fd, Job *job, uint8_t *buffer, Pool *pool)
{
    GOSTR3411_2012_CTX context;
    hash_init(&context, job->digest_size);
    for (;;) {
        const long got = input_read(fd, buffer, READ_SIZE);
        if (got < 0) {
            job->error = static_cast<int>(-got);
            return;
        }
        if (got == 0) break;
        GOSTR3411_2012_Update(&context, buffer, static_cast<uint32_t>(got));
        pool_count_bytes(pool, static_cast<uint64_t>(got));
    }
    GOSTR3411_2012_Final(&context, job->digest);
}

namespace {

struct Slot {
    Job *job = nullptr;
    int fd = -1;
    GOSTR3411_2012_CTX context;
    uint8_t *buffer = nullptr;
    size_t have = 0, pos = 0;
    bool sized = false; /* a regular file whose size at open was not 0 */
    int64_t left = 0;   /* that size less the bytes read so far */
    bool at_end = false;
};

void finish(Pool *pool, Slot *s, int error)
{
    if (s->fd >= 0) input_close(s->fd);
    s->fd = -1;
    if (error != 0) {
        s->job->error = error;
    } else {
        GOSTR3411_2012_Final(&s->context, s->job->digest);
    }
    pool_finish(pool, s->job);
    s->job = nullptr;
}

void begin(Pool *pool, Slot *s, Job *job)
{
    s->job = job;
    s->have = s->pos = 0;
    s->at_end = false;
    s->fd = input_open(job->name.c_str());
    if (s->fd < 0) {
        finish(pool, s, -s->fd);
        return;
    }
    s->left = input_regular_size(s->fd);
    s->sized = s->left > 0;
    hash_init(&s->context, job->digest_size);
}

/* Brings the slot's buffer data, or finishes its file. */
void refill(Pool *pool, Slot *s)
{
    if (s->pos < s->have) return;
    if (s->at_end) {
        finish(pool, s, 0);
        return;
    }
    const long got = input_read(s->fd, s->buffer, READ_SIZE);
    if (got < 0) {
        finish(pool, s, static_cast<int>(-got));
        return;
    }
    if (got == 0) {
        finish(pool, s, 0);
        return;
    }
    s->have = static_cast<size_t>(got);
    s->pos = 0;
    pool_count_bytes(pool, static_cast<uint64_t>(got));
    /* A read that comes back short once the size found at open is reached
     * ends a regular file without another read that finds nothing: most files
     * take one read. A full read may have more behind it (bytes appended
     * since), and a file of size 0 (those of /proc) is read until a read
     * finds nothing. A file changed meanwhile gets the digest of what was
     * read. */
    if (s->sized) {
        s->left -= got;
        if (s->left <= 0 && got < READ_SIZE) s->at_end = true;
    }
}

} // namespace

void hash_worker(Pool *pool, uint8_t *memory)
{
    Slot slots[2];
    slots[0].buffer = memory;
    slots[1].buffer = memory + READ_SIZE;
    for (;;) {
        for (Slot &s : slots) {
            while (s.job == nullptr) {
                const bool idle = slots[0].job == nullptr && slots[1].job == nullptr;
                Job *job = pool_take(pool, idle);
                if (job == nullptr) break;
                begin(pool, &s, job);
            }
        }
        if (slots[0].job == nullptr && slots[1].job == nullptr) break;
        for (Slot &s : slots)
            if (s.job != nullptr) refill(pool, &s);
        Slot &a = slots[0], &b = slots[1];
        const bool has_a = a.job != nullptr && a.pos < a.have;
        const bool has_b = b.job != nullptr && b.pos < b.have;
        if (has_a && has_b) {
            const size_t n = a.have - a.pos < b.have - b.pos ? a.have - a.pos : b.have - b.pos;
            GOSTR3411_2012_CTX *const contexts[2] = {&a.context, &b.context};
            const uint8_t *const data[2] = {a.buffer + a.pos, b.buffer + b.pos};
            hash_pair_update(contexts, data, static_cast<uint32_t>(n));
            a.pos += n;
            b.pos += n;
        } else if (has_a || has_b) {
            Slot &s = has_a ? a : b;
            GOSTR3411_2012_Update(&s.context, s.buffer + s.pos,
                                  static_cast<uint32_t>(s.have - s.pos));
            s.pos = s.have;
        }
    }
}
