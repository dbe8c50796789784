/*
 * GOST R 34.11-2012 hash engine (RFC 6986), 256- and 512-bit digests.
 *
 * Every function returns 0 on success or a negative code; a function that
 * fails its argument checks changes neither the context nor the digest buffer.
 * The engine never allocates. The byte convention (the caller's bytes are one
 * little-endian number), the diagnostics line and the rules for threads are
 * told in gost_r3411_2012(3).
 *
 * The engine computes by one of two paths, "table" or the vector path (in one
 * of its two bodies, "vector" and "vector-lean"), with the same digests;
 * which one runs, and GOST_R3411_2012_IMPL, are told in gost_r3411_2012(3),
 * "Two paths" and ENVIRONMENT.
 */
#ifndef GOST_R3411_2012_H
#define GOST_R3411_2012_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* State of one computation. A plain record owned by the caller; the engine
 * neither allocates, frees nor wipes it. 512-bit values are eight 64-bit
 * words, word 0 the least significant. */
typedef struct {
    int32_t digest_size; /* 32 for the 256-bit hash, 64 for the 512-bit hash */
    uint8_t buffer[64];  /* partial block; bytes from buffer_len on are zero */
    uint32_t buffer_len; /* 0..63 between calls */
    uint64_t h[8];       /* chaining value */
    uint64_t N[8];       /* message bits processed, mod 2^512 */
    uint64_t Sigma[8];   /* sum of processed blocks, mod 2^512 */
} GOSTR3411_2012_CTX;

/* lps_table[c][b] = l(pi(b) << 8c): the S, P and L steps folded together. */
extern const uint64_t lps_table[8][256];

/* The iteration constants C_1..C_12, each as eight words, word 0 least significant. */
extern const uint64_t iteration_constants[12][8];

/* Where failure messages go; unset (NULL) at start, and nothing is written
 * while it is unset. */
extern FILE *hash_diag_stream;

/* Prepares context for a 256-bit digest: all fields zero, digest_size 32,
 * h = 64 bytes of 0x01. Returns 0, or -1 for a null context. */
int GOSTR3411_2012_256_Init(GOSTR3411_2012_CTX *context);

/* Prepares context for a 512-bit digest: all fields zero (h too), digest_size
 * 64. Returns 0, or -1 for a null context. */
int GOSTR3411_2012_512_Init(GOSTR3411_2012_CTX *context);

/* Appends data_len bytes at data to the message. data_len 0 returns 0 and
 * changes nothing, whatever data is. Returns -1 for a null context, -2 for a
 * null data with data_len > 0. Any data_len is safe. */
int GOSTR3411_2012_Update(GOSTR3411_2012_CTX *context, const uint8_t *data, uint32_t data_len);

/* The most contexts GOSTR3411_2012_UpdateMulti takes in one call. */
enum { GOSTR3411_2012_MULTI_MAX = 4 };

/* Appends data_len bytes at data[i] to contexts[i] for i = 0 .. count-1, each
 * exactly as GOSTR3411_2012_Update(contexts[i], data[i], data_len) would;
 * whole blocks of different contexts are compressed together, their rounds
 * interleaved (on the vector path; the table path runs them one after
 * another). count 1..GOSTR3411_2012_MULTI_MAX, contexts distinct. A data_len
 * of 0 changes nothing, whatever data is.
 * Returns 0; -1 for a null array or context; -2 for null data (the array or
 * an entry) with data_len > 0; -3 for a count out of range or a context given
 * twice. The checks run in this order: the array of contexts, the count, each
 * context, the data, distinctness. A failing call changes nothing. */
int GOSTR3411_2012_UpdateMulti(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                               uint32_t data_len, unsigned count);

/* Finishes the computation and writes 64 digest bytes when digest_size is 64,
 * otherwise 32 (the most significant half of h). digest_size is not checked.
 * Afterwards the context is spent and must be prepared again.
 * Returns -1 for a null context, -2 for a null digest. */
int GOSTR3411_2012_Final(GOSTR3411_2012_CTX *context, uint8_t *digest);

/* As GOSTR3411_2012_Final, but accepts only a context whose digest_size is 32
 * (otherwise -2, nothing written). Writes 32 bytes. */
int GOSTR3411_2012_256_Final(GOSTR3411_2012_CTX *context, uint8_t *digest);

/* The 512-bit digest (64 bytes) of data_len bytes at data, in one call.
 * Returns -2 for null data with data_len > 0, -3 for a null digest, or the
 * code of the update or finish that failed. */
int GOSTR3411_2012_Transform(const uint8_t *data, uint32_t data_len, uint8_t *digest);

/* State of one HMAC (RFC 2104 over this hash, block 64 bytes: RFC 7836's
 * HMAC_GOSTR3411_2012_256 and _512). A plain record owned by the caller, like
 * GOSTR3411_2012_CTX; it holds key material until
 * GOSTR3411_2012_HMAC_Final wipes it. */
typedef struct {
    GOSTR3411_2012_CTX inner; /* hash of (key ^ ipad) || message; its digest_size is the MAC's */
    uint8_t outer_key[64];    /* key ^ opad, the outer hash's first block */
} GOSTR3411_2012_HMAC_CTX;

/* Prepares context for the MAC of digest_size (32 or 64) bytes under the
 * key_len bytes at key. A key longer than 64 bytes is first hashed with the
 * same digest length; an empty key is allowed, whatever key is. Returns 0, -1
 * for a null context, -2 for a null key with key_len > 0, -3 for another
 * digest_size, checked in this order. */
int GOSTR3411_2012_HMAC_Init(GOSTR3411_2012_HMAC_CTX *context, const uint8_t *key, size_t key_len,
                             int digest_size);

/* Appends data_len bytes at data to the message, with the rules and codes of
 * GOSTR3411_2012_Update. */
int GOSTR3411_2012_HMAC_Update(GOSTR3411_2012_HMAC_CTX *context, const uint8_t *data,
                               uint32_t data_len);

/* Writes the MAC, inner.digest_size bytes, to mac, and wipes the context
 * (all its bytes zero): it is spent and must be prepared again. Returns -1 for
 * a null context, -2 for a null mac, -3 when inner.digest_size is neither 32
 * nor 64, as in a spent context. */
int GOSTR3411_2012_HMAC_Final(GOSTR3411_2012_HMAC_CTX *context, uint8_t *mac);

/* The way this process computes: "table", "vector" or "vector-lean" (see
 * above). Makes the choice if no hash has made it yet. */
const char *GOSTR3411_2012_Implementation(void);

#ifdef __cplusplus
}
#endif

#endif
