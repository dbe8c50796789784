/* HMAC over the engine's hash (RFC 2104, block 64 bytes), through the public
 * stream interface: MAC = H((K ^ opad) || H((K ^ ipad) || message)), with K
 * the key padded with zeros to a block, or the digest of a longer key. */
#include "gost_r3411_2012.h"

#include <string.h>

#include "gost_r3411_2012_paths.h"

enum { BLOCK = 64 };

/* Zeroes n bytes at p through volatile stores, which the compiler may not
 * drop as dead even when p is not read again. */
static void wipe(void *p, size_t n)
{
    volatile uint8_t *v = static_cast<volatile uint8_t *>(p);
    for (size_t i = 0; i < n; i++) {
        v[i] = 0;
    }
}

/* Prepares context for a digest of digest_size (32 or 64) bytes. */
static void hash_init(GOSTR3411_2012_CTX *context, int32_t digest_size)
{
    if (digest_size == 32) {
        (void)GOSTR3411_2012_256_Init(context);
    } else {
        (void)GOSTR3411_2012_512_Init(context);
    }
}

/* Appends n bytes, n of any size, in pieces that GOSTR3411_2012_Update takes. */
static void hash_update(GOSTR3411_2012_CTX *context, const uint8_t *data, size_t n)
{
    const size_t most = (size_t)1 << 30;
    while (n > 0) {
        const size_t piece = n < most ? n : most;
        (void)GOSTR3411_2012_Update(context, data, (uint32_t)piece);
        data += piece;
        n -= piece;
    }
}

int GOSTR3411_2012_HMAC_Init(GOSTR3411_2012_HMAC_CTX *context, const uint8_t *key, size_t key_len,
                             int digest_size)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Init", "NULL context pointer", NULL);
        return -1;
    }
    if (key == NULL && key_len > 0) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Init",
                  "NULL key pointer for key_len > 0", NULL);
        return -2;
    }
    if (digest_size != 32 && digest_size != 64) {
        const long long given = digest_size;
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Init", "Illegal digest size", &given);
        return -3;
    }

    /* The key is copied before the context is written: it may lie in it. */
    uint8_t block[BLOCK] = {0};
    if (key_len > BLOCK) {
        GOSTR3411_2012_CTX key_hash;
        hash_init(&key_hash, digest_size);
        hash_update(&key_hash, key, key_len);
        (void)GOSTR3411_2012_Final(&key_hash, block);
        wipe(&key_hash, sizeof key_hash);
    } else if (key_len > 0) {
        memcpy(block, key, key_len);
    }
    uint8_t inner_block[BLOCK];
    for (int i = 0; i < BLOCK; i++) {
        inner_block[i] = (uint8_t)(block[i] ^ 0x36);
        context->outer_key[i] = (uint8_t)(block[i] ^ 0x5c);
    }
    hash_init(&context->inner, digest_size);
    (void)GOSTR3411_2012_Update(&context->inner, inner_block, BLOCK);
    wipe(block, sizeof block);
    wipe(inner_block, sizeof inner_block);
    return 0;
}

int GOSTR3411_2012_HMAC_Update(GOSTR3411_2012_HMAC_CTX *context, const uint8_t *data,
                               uint32_t data_len)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Update", "NULL context pointer", NULL);
        return -1;
    }
    if (data_len == 0) {
        return 0;
    }
    if (data == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Update",
                  "NULL data pointer for data_len > 0", NULL);
        return -2;
    }
    return GOSTR3411_2012_Update(&context->inner, data, data_len);
}

int GOSTR3411_2012_HMAC_Final(GOSTR3411_2012_HMAC_CTX *context, uint8_t *mac)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Final", "NULL context pointer", NULL);
        return -1;
    }
    if (mac == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Final", "NULL mac pointer", NULL);
        return -2;
    }
    const int32_t size = context->inner.digest_size;
    if (size != 32 && size != 64) {
        const long long given = size;
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_HMAC_Final", "Illegal digest size in context",
                  &given);
        return -3;
    }

    /* The MAC reaches mac only after the wipe, so mac may lie in the context. */
    uint8_t inner_digest[BLOCK];
    (void)GOSTR3411_2012_Final(&context->inner, inner_digest);
    GOSTR3411_2012_CTX outer;
    hash_init(&outer, size);
    (void)GOSTR3411_2012_Update(&outer, context->outer_key, BLOCK);
    (void)GOSTR3411_2012_Update(&outer, inner_digest, (uint32_t)size);
    uint8_t result[BLOCK];
    (void)GOSTR3411_2012_Final(&outer, result);
    wipe(context, sizeof *context);
    wipe(&outer, sizeof outer);
    wipe(inner_digest, sizeof inner_digest);
    memcpy(mac, result, (size_t)size);
    wipe(result, sizeof result);
    return 0;
}
