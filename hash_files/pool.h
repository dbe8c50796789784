/* The worker threads and the window of jobs between the main thread, which
 * makes jobs in order and prints their results in the same order, and the
 * workers, which hash files in any order. */
#ifndef HASH_FILES_POOL_H
#define HASH_FILES_POOL_H

#include <stdint.h>

#include "job.h"

struct Pool;

/* Starts workers threads, each keeping files_per_worker files in hand (see
 * hash_worker), with a window of capacity jobs; as many as memory and the
 * system let start, and with none the main thread hashes the files itself
 * when it asks for the oldest job. Returns nullptr when not even one
 * worker's memory can be had. */
Pool *pool_start(unsigned workers, unsigned files_per_worker, unsigned capacity);

/* Ends the workers (the window must be empty) and frees the pool. */
void pool_stop(Pool *pool);

/* Main thread: whether the window is full. */
bool pool_full(Pool *pool);
/* Main thread: whether the window holds any job. */
bool pool_empty(Pool *pool);

/* Main thread: adds a job at the window's end (it must not be full). A
 * JOB_FILE job goes to the workers; any other is finished already. Idle
 * workers are woken when a few file jobs wait, and by pool_head for any. */
void pool_push(Pool *pool, Job job);

/* Main thread: the oldest job, once it is finished, or nullptr when it is not
 * finished within wait_ms milliseconds. When it is not finished yet and batch
 * is set, the wait also lasts until the workers have few jobs left to take
 * (or wait_ms passes), so that the finished lines come in a batch. */
Job *pool_head(Pool *pool, int wait_ms, bool batch);

/* Main thread: drops the oldest job after pool_head returned it. */
void pool_pop(Pool *pool);

/* Bytes read so far by all workers (and by hash_stream's callers). */
uint64_t pool_bytes(Pool *pool);

/* Workers: the next file job, or nullptr. With wait, waits for one and
 * returns nullptr only when the pool stops. */
Job *pool_take(Pool *pool, bool wait);
/* Workers: the job is hashed (or failed). */
void pool_finish(Pool *pool, Job *job);
void pool_count_bytes(Pool *pool, uint64_t bytes);

#endif
