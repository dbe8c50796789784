/* Hashing files: several at a time per worker thread, and one stream alone. */
#ifndef HASH_FILES_FILE_HASH_H
#define HASH_FILES_FILE_HASH_H

#include <stddef.h>
#include <stdint.h>

#include "gost_r3411_2012.h"
#include "job.h"

/* Bytes asked of the system per read. */
enum { READ_SIZE = 128 * 1024 };

/* Prepares a context for a digest of digest_size bytes (32 or 64). */
void hash_init(GOSTR3411_2012_CTX *context, int digest_size);

struct Pool;

/* Hashes what remains of fd into job->digest, or sets job->error. buffer
 * holds READ_SIZE bytes; the bytes read count in the pool's progress. */
void hash_stream(int fd, Job *job, uint8_t *buffer, Pool *pool);

/* Files a worker keeps in hand by default, and the most it can. */
enum { FILES_PER_WORKER = 2, FILES_PER_WORKER_MAX = GOSTR3411_2012_MULTI_MAX };

/* A worker thread's work: takes file jobs from the pool until it closes,
 * keeping `files` files (1 to FILES_PER_WORKER_MAX) in hand, which advance
 * together through the engine's multi-context entry (its rounds interleaved).
 * memory: files * READ_SIZE bytes of its own. */
void hash_worker(Pool *pool, uint8_t *memory, unsigned files);

/* Hashes one file job taken from the pool, on the caller's thread, with
 * buffer's READ_SIZE bytes, and finishes it. */
void hash_alone(Pool *pool, Job *job, uint8_t *buffer);

#endif
