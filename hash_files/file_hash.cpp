/* Reading and hashing files. */
#include "file_hash.h"

#include <string.h>

#include "file_input.h"
#include "pool.h"

void hash_init(GOSTR3411_2012_CTX *context, int digest_size)
{
    if (digest_size == 32) {
        GOSTR3411_2012_256_Init(context);
    } else {
        GOSTR3411_2012_512_Init(context);
    }
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
    GOSTR3411_2012_CTX context;
    Job *job = nullptr;
    uint8_t *buffer = nullptr;
    size_t have = 0, pos = 0;
    int64_t left = 0; /* the size at open less the bytes read so far */
    int fd = -1;
    bool sized = false; /* a regular file whose size at open was not 0 */
    bool at_end = false;
};

void finish(Pool *pool, Slot *s, int error)
{
    if (s->job->fd >= 0 && error == 0) {
        const int status = input_state(s->fd, &s->job->after);
        if (status < 0) error = -status;
    }
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
    s->fd = job->fd >= 0 ? job->fd : input_open(job->name.c_str());
    if (s->fd < 0) {
        finish(pool, s, -s->fd);
        return;
    }
    if (job->fd >= 0 && job->before_read != nullptr) job->before_read(s->fd, job->context);
    s->left = job->fd >= 0 && job->size >= 0 ? job->size : input_regular_size(s->fd);
    s->sized = s->left > 0;
    hash_init(&s->context, job->digest_size);
}

/* Reads the slot's next buffer, or finishes its file. */
void refill(Pool *pool, Slot *s)
{
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

/* Brings the slot bytes to hash: those of its file, or once that is done of
 * the next file it can take. Waits for a job only when wait. */
void feed(Pool *pool, Slot *s, bool wait)
{
    for (;;) {
        if (s->job != nullptr) {
            if (s->pos < s->have) return;
            refill(pool, s);
            continue;
        }
        Job *job = pool_take(pool, wait);
        if (job == nullptr) return;
        begin(pool, s, job);
    }
}

} // namespace

void hash_alone(Pool *pool, Job *job, uint8_t *buffer)
{
    Slot s;
    s.buffer = buffer;
    begin(pool, &s, job);
    while (s.job != nullptr) {
        if (s.pos < s.have) {
            GOSTR3411_2012_Update(&s.context, s.buffer + s.pos,
                                  static_cast<uint32_t>(s.have - s.pos));
            s.pos = s.have;
        } else {
            refill(pool, &s);
        }
    }
}

void hash_worker(Pool *pool, uint8_t *memory, unsigned files)
{
    Slot slots[GOSTR3411_2012_MULTI_MAX];
    for (unsigned i = 0; i < files; i++) slots[i].buffer = memory + size_t{i} * READ_SIZE;
    for (;;) {
        /* Every slot is fed before the files advance together, so that a file
         * that ends is replaced at once and the rest never go on alone while
         * jobs wait. */
        GOSTR3411_2012_CTX *contexts[GOSTR3411_2012_MULTI_MAX];
        const uint8_t *data[GOSTR3411_2012_MULTI_MAX];
        Slot *ready[GOSTR3411_2012_MULTI_MAX];
        unsigned count = 0;
        size_t n = READ_SIZE;
        for (unsigned i = 0; i < files; i++) {
            bool others_busy = false;
            for (unsigned k = 0; k < files; k++)
                if (k != i && slots[k].job != nullptr) others_busy = true;
            Slot &s = slots[i];
            feed(pool, &s, !others_busy);
            if (s.job == nullptr) continue;
            contexts[count] = &s.context;
            data[count] = s.buffer + s.pos;
            ready[count] = &s;
            count++;
            if (s.have - s.pos < n) n = s.have - s.pos;
        }
        if (count == 0) break;
        if (count == 1) {
            GOSTR3411_2012_Update(contexts[0], data[0], static_cast<uint32_t>(n));
        } else {
            GOSTR3411_2012_UpdateMulti(contexts, data, static_cast<uint32_t>(n), count);
        }
        for (unsigned i = 0; i < count; i++) ready[i]->pos += n;
    }
}
