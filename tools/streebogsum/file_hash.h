/* Hashing files: two at a time per worker thread, and one stream alone. */
#ifndef STREEBOGSUM_FILE_HASH_H
#define STREEBOGSUM_FILE_HASH_H

#include <stddef.h>
#include <stdint.h>

#include "gost_r3411_2012.h"
#include "job.h"

/* Bytes asked of the system per read. */
enum { READ_SIZE = 128 * 1024 };

/* Appends len bytes at data[i] to contexts[i], for i = 0 and 1, each exactly
 * as GOSTR3411_2012_Update would, the two computed together (the engine's
 * multi-context entry interleaves their rounds). */
void hash_pair_update(GOSTR3411_2012_CTX *const contexts[2], const uint8_t *const data[2],
                      uint32_t len);

/* Prepares a context for a digest of digest_size bytes (32 or 64). */
void hash_init(GOSTR3411_2012_CTX *context, int digest_size);

struct Pool;

/* Hashes what remains of fd into job->digest, or sets job->error. buffer
 * holds READ_SIZE bytes; the bytes read count in the pool's progress. */
void hash_stream(int fd, Job *job, uint8_t *buffer, Pool *pool);

/* A worker thread's work: takes file jobs from the pool until it closes,
 * keeping two files in hand so that both advance through one
 * hash_pair_update. memory: 2 * READ_SIZE bytes of its own. */
void hash_worker(Pool *pool, uint8_t *memory);

#endif
