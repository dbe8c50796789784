/* A fixed ring of jobs shared by the main thread and the workers. Jobs are
 * numbered in the order they were pushed; the ring holds those from the
 * oldest not yet printed to the newest. */
#include "pool.h"

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "file_hash.h"

struct Pool {
    std::mutex lock;
    std::condition_variable work;     /* a job to take, or stopping */
    std::condition_variable finished; /* a job was finished */
    std::vector<Job> ring;
    std::vector<unsigned char> done; /* per ring slot */
    uint64_t oldest = 0;             /* number of the oldest job in the ring */
    uint64_t next = 0;               /* number the next pushed job gets */
    uint64_t dispatch = 0;           /* the next job a worker looks at */
    uint64_t waiting_files = 0;      /* file jobs pushed and not yet taken */
    uint64_t wake_batch = 1;         /* see pool_push */
    unsigned idle = 0;               /* workers waiting on work */
    uint64_t low = 0;                /* see head_ready */
    bool batch = false;              /* the main thread's wait, as in pool_head */
    bool head_waiting = false;       /* the main thread waits on finished */
    bool stopping = false;
    std::atomic<uint64_t> bytes{0};
    std::vector<std::thread> threads;
    uint8_t *memory = nullptr;
};

namespace {

size_t slot_of(const Pool *pool, uint64_t number)
{
    return static_cast<size_t>(number % pool->ring.size());
}

/* Whether the main thread, waiting, is to wake: the oldest job is finished
 * and, in a batch wait, the workers are down to low file jobs not yet taken.
 * Waking then, rather than at every finished file, lets it print and refill
 * half the window in one go: a few wake-ups instead of one per file. */
bool head_ready(const Pool *pool)
{
    if (pool->next == pool->oldest || pool->done[slot_of(pool, pool->oldest)] == 0) return false;
    return !pool->batch || pool->waiting_files <= pool->low;
}

/* Called with the lock held after a change a waiting main thread may be
 * waiting for: whether to notify it (once). */
bool wake_head(Pool *pool)
{
    if (!pool->head_waiting || !head_ready(pool)) return false;
    pool->head_waiting = false;
    return true;
}

} // namespace

Pool *pool_start(unsigned workers, unsigned files_per_worker, unsigned capacity)
{
    auto *pool = new (std::nothrow) Pool;
    if (pool == nullptr) return nullptr;
    try {
        pool->ring.resize(capacity);
        pool->done.assign(capacity, 0);
    } catch (const std::bad_alloc &) {
        delete pool;
        return nullptr;
    }
    pool->low = capacity / 2;
    pool->wake_batch = 4 * uint64_t{files_per_worker};
    const size_t per_worker = size_t{files_per_worker} * READ_SIZE;
    /* Fewer workers where memory is short, down to one's worth. */
    if (workers == 0) workers = 1;
    while ((pool->memory = static_cast<uint8_t *>(malloc(workers * per_worker))) == nullptr &&
           workers > 1)
        workers /= 2;
    if (pool->memory == nullptr) {
        delete pool;
        return nullptr;
    }
    /* The workers the system lets start; with none, the main thread hashes
     * (pool_head). */
    for (unsigned i = 0; i < workers; i++) {
        try {
            pool->threads.emplace_back(hash_worker, pool, pool->memory + i * per_worker,
                                       files_per_worker);
        } catch (const std::exception &) {
            break;
        }
    }
    return pool;
}

void pool_stop(Pool *pool)
{
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping = true;
    }
    pool->work.notify_all();
    for (std::thread &t : pool->threads) t.join();
    free(pool->memory);
    delete pool;
}

bool pool_full(Pool *pool)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    return pool->next - pool->oldest >= pool->ring.size();
}

bool pool_empty(Pool *pool)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    return pool->next == pool->oldest;
}

void pool_push(Pool *pool, Job job)
{
    bool wake;
    const bool file = job.kind == JOB_FILE;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        const size_t slot = slot_of(pool, pool->next);
        pool->ring[slot] = std::move(job);
        pool->done[slot] = !file;
        pool->next++;
        if (file) pool->waiting_files++;
        /* An idle worker is woken for a few files at once, not for each: when
         * the main thread makes jobs more slowly than the workers take them,
         * a wake-up per file costs more than the file. pool_head wakes them
         * for fewer before it waits. */
        wake = file && pool->idle > 0 && pool->waiting_files >= pool->wake_batch;
    }
    if (wake) pool->work.notify_one();
}

Job *pool_head(Pool *pool, int wait_ms, bool batch)
{
    if (pool->threads.empty()) {
        /* No worker started: the jobs are hashed here, one at a time. */
        Job *job;
        while ((job = pool_take(pool, false)) != nullptr) hash_alone(pool, job, pool->memory);
    }
    std::unique_lock<std::mutex> hold(pool->lock);
    if (pool->next == pool->oldest) return nullptr;
    const size_t slot = slot_of(pool, pool->oldest);
    if (pool->done[slot] == 0) {
        if (pool->waiting_files > 0 && pool->idle > 0) pool->work.notify_all();
        pool->batch = batch;
        pool->head_waiting = true;
        pool->finished.wait_for(hold, std::chrono::milliseconds(wait_ms),
                                [&] { return head_ready(pool); });
        pool->head_waiting = false;
    }
    return pool->done[slot] != 0 ? &pool->ring[slot] : nullptr;
}

void pool_pop(Pool *pool)
{
    std::lock_guard<std::mutex> hold(pool->lock);
    /* The slot stays as it is: the push that reuses it writes it whole. */
    pool->oldest++;
    /* Jobs that needed no worker may be printed before any worker looked at
     * them: the workers' next look must not fall behind the window, or it
     * would find a later job in the reused slot and take it a second time. */
    if (pool->dispatch < pool->oldest) pool->dispatch = pool->oldest;
}

uint64_t pool_bytes(Pool *pool)
{
    return pool->bytes.load(std::memory_order_relaxed);
}

Job *pool_take(Pool *pool, bool wait)
{
    std::unique_lock<std::mutex> hold(pool->lock);
    for (;;) {
        while (pool->dispatch < pool->next) {
            Job *job = &pool->ring[slot_of(pool, pool->dispatch)];
            pool->dispatch++;
            if (job->kind != JOB_FILE) continue;
            pool->waiting_files--;
            const bool wake = wake_head(pool);
            hold.unlock();
            if (wake) pool->finished.notify_one();
            return job;
        }
        if (!wait || pool->stopping) return nullptr;
        pool->idle++;
        pool->work.wait(hold);
        pool->idle--;
    }
}

void pool_finish(Pool *pool, Job *job)
{
    bool wake;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->done[static_cast<size_t>(job - pool->ring.data())] = 1;
        wake = wake_head(pool);
    }
    if (wake) pool->finished.notify_one();
}

void pool_count_bytes(Pool *pool, uint64_t bytes)
{
    pool->bytes.fetch_add(bytes, std::memory_order_relaxed);
}
