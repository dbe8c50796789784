#include "gost_r3411_2012.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "gost_r3411_2012_paths.h"

FILE *hash_diag_stream = NULL;

#include "lps_vector.inc"

const uint64_t iteration_constants[12][8] = {
#include "iteration_constants.inc"
};

static void store64_le(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++) {
        p[i] = (uint8_t)(v >> (8 * i));
    }
}

void gost_diag(const char *file, int line, const char *function, const char *what,
               const long long *value)
{
    if (hash_diag_stream == NULL) {
        return;
    }
    char value_text[32] = "";
    if (value != NULL) {
        snprintf(value_text, sizeof value_text, ": %lld", *value);
    }
    /* One call, so that lines from several threads do not mix. */
    fprintf(hash_diag_stream, "%s:%d %s. %s%s\n", file, line, function, what, value_text);
}

/* The path this process runs, chosen at its first use. Threads that meet it
 * unchosen all choose the same, so a relaxed atomic is enough and the choice
 * costs one load a call afterwards. */
static std::atomic<const gost_path *> chosen_path(nullptr);

/* The only place that knows which paths exist. */
static const gost_path *path_named(const char *name)
{
    if (strcmp(name, "table") == 0) {
        return &gost_table_path;
    }
    if (strcmp(name, "vector") == 0 && gost_vector_available()) {
        return &gost_vector_path;
    }
    if (strcmp(name, "vector-lean") == 0 && gost_vector_available()) {
        return &gost_vector_lean_path;
    }
    return NULL;
}

static const gost_path *path_in_use(void)
{
    const gost_path *path = chosen_path.load(std::memory_order_relaxed);
    if (path == NULL) {
        const char *wanted = getenv("GOST_R3411_2012_IMPL");
        path = wanted != NULL ? path_named(wanted) : NULL;
        if (path == NULL) {
            path = path_named(gost_vector_prefers_lean() ? "vector-lean" : "vector");
        }
        if (path == NULL) {
            path = &gost_table_path;
        }
        chosen_path.store(path, std::memory_order_relaxed);
    }
    return path;
}

int gost_use_path(const char *name)
{
    const gost_path *path = path_named(name);
    if (path == NULL) {
        return -1;
    }
    chosen_path.store(path, std::memory_order_relaxed);
    return 0;
}

const char *GOSTR3411_2012_Implementation(void)
{
    return path_in_use()->name;
}

/* Compresses the block in the context's buffer, counted as bits. */
static void process_block(GOSTR3411_2012_CTX *context, uint64_t bits, const gost_path *path)
{
    uint64_t m[8];
    gost_load_block(context->buffer, m);
    path->g_n(context->N, context->h, m);
    gost_count_block(context, bits, context->buffer);
}

/* The first step of an Update whose bytes complete a block: when a partial
 * block is held, it is completed from data and compressed. Advances *data
 * past what it took; returns the count of bytes left. */
static uint64_t complete_partial_block(GOSTR3411_2012_CTX *context, const uint8_t **data,
                                       uint64_t data_len, const gost_path *path)
{
    if (context->buffer_len == 0) {
        return data_len;
    }
    const uint32_t take = 64 - context->buffer_len;
    memcpy(context->buffer + context->buffer_len, *data, take);
    *data += take;
    process_block(context, 512, path);
    context->buffer_len = 0;
    return data_len - take;
}

/* The rest of an Update, once buffer_len is 0 (the buffer may still hold a
 * compressed block): whole blocks through the path, the remainder into the
 * buffer, and the bytes after it zero. */
static void absorb_rest(GOSTR3411_2012_CTX *context, const uint8_t *data, uint64_t left,
                        const gost_path *path)
{
    if (left >= 64) {
        path->blocks(context, data, left / 64);
        data += left - left % 64;
    }
    context->buffer_len = (uint32_t)(left % 64);
    memcpy(context->buffer, data, context->buffer_len);
    memset(context->buffer + context->buffer_len, 0, 64 - context->buffer_len);
}

static void prepare(GOSTR3411_2012_CTX *context, int32_t digest_size)
{
    memset(context, 0, sizeof *context);
    context->digest_size = digest_size;
    if (digest_size == 32) {
        for (int i = 0; i < 8; i++) {
            context->h[i] = 0x0101010101010101ULL;
        }
    }
}

static int init(GOSTR3411_2012_CTX *context, int32_t digest_size, int line, const char *function)
{
    if (context == NULL) {
        gost_diag(__FILE__, line, function, "NULL context pointer", NULL);
        return -1;
    }
    prepare(context, digest_size);
    return 0;
}

int GOSTR3411_2012_256_Init(GOSTR3411_2012_CTX *context)
{
    return init(context, 32, __LINE__, "GOSTR3411_2012_Init");
}

int GOSTR3411_2012_512_Init(GOSTR3411_2012_CTX *context)
{
    return init(context, 64, __LINE__, "GOSTR3411_2012_512_Init");
}

int GOSTR3411_2012_Update(GOSTR3411_2012_CTX *context, const uint8_t *data, uint32_t data_len)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Update", "NULL context pointer", NULL);
        return -1;
    }
    if (data_len == 0) {
        return 0;
    }
    if (data == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Update", "NULL data pointer for data_len > 0",
                  NULL);
        return -2;
    }

    /* Formed in 64 bits: a data_len near 2^32 must not wrap the sum. */
    const uint64_t total = (uint64_t)context->buffer_len + data_len;
    if (total < 64) {
        memcpy(context->buffer + context->buffer_len, data, data_len);
        context->buffer_len = (uint32_t)total;
        return 0;
    }
    const gost_path *path = path_in_use();
    const uint64_t left = complete_partial_block(context, &data, data_len, path);
    absorb_rest(context, data, left, path);
    return 0;
}

int GOSTR3411_2012_UpdateMulti(GOSTR3411_2012_CTX *const contexts[], const uint8_t *const data[],
                               uint32_t data_len, unsigned count)
{
    if (contexts == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti", "NULL context array pointer",
                  NULL);
        return -1;
    }
    if (count < 1 || count > GOSTR3411_2012_MULTI_MAX) {
        const long long given = count;
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti", "Context count out of range",
                  &given);
        return -3;
    }
    for (unsigned i = 0; i < count; i++) {
        if (contexts[i] == NULL) {
            gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti", "NULL context pointer",
                      NULL);
            return -1;
        }
    }
    if (data_len > 0) {
        if (data == NULL) {
            gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti",
                      "NULL data array pointer for data_len > 0", NULL);
            return -2;
        }
        for (unsigned i = 0; i < count; i++) {
            if (data[i] == NULL) {
                gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti",
                          "NULL data pointer for data_len > 0", NULL);
                return -2;
            }
        }
    }
    for (unsigned i = 0; i < count; i++) {
        for (unsigned j = i + 1; j < count; j++) {
            if (contexts[i] == contexts[j]) {
                gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_UpdateMulti", "Context given twice",
                          NULL);
                return -3;
            }
        }
    }
    if (data_len == 0) {
        return 0;
    }

    /* Each context completes its partial block alone; then the whole blocks
     * that all of them have go through the path together, and each takes
     * care of its own remainder (at most one more block). */
    const gost_path *path = path_in_use();
    const uint8_t *at[GOSTR3411_2012_MULTI_MAX];
    uint64_t left[GOSTR3411_2012_MULTI_MAX];
    uint64_t together = UINT64_MAX;
    for (unsigned i = 0; i < count; i++) {
        at[i] = data[i];
        const uint64_t total = (uint64_t)contexts[i]->buffer_len + data_len;
        if (total < 64) {
            left[i] = data_len;
        } else {
            left[i] = complete_partial_block(contexts[i], &at[i], data_len, path);
        }
        together = left[i] / 64 < together ? left[i] / 64 : together;
    }
    if (together > 0) {
        path->blocks_multi(contexts, at, together, count);
    }
    for (unsigned i = 0; i < count; i++) {
        at[i] += 64 * together;
        left[i] -= 64 * together;
        if (contexts[i]->buffer_len == 0) {
            absorb_rest(contexts[i], at[i], left[i], path);
        } else { /* still short of a block */
            memcpy(contexts[i]->buffer + contexts[i]->buffer_len, at[i], (size_t)left[i]);
            contexts[i]->buffer_len += (uint32_t)left[i];
        }
    }
    return 0;
}

static void finish(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    static const uint64_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const gost_path *path = path_in_use();

    memset(context->buffer + context->buffer_len, 0, 64 - context->buffer_len);
    context->buffer[context->buffer_len] = 0x01;
    process_block(context, 8u * (uint64_t)context->buffer_len, path);
    path->g_n(zero, context->h, context->N);
    path->g_n(zero, context->h, context->Sigma);

    if (context->digest_size == 64) {
        for (int i = 0; i < 8; i++) {
            store64_le(digest + 8 * i, context->h[i]);
        }
    } else {
        for (int i = 0; i < 4; i++) {
            store64_le(digest + 8 * i, context->h[4 + i]);
        }
    }
}

int GOSTR3411_2012_Final(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Final", "NULL context pointer", NULL);
        return -1;
    }
    if (digest == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Final", "NULL digest pointer", NULL);
        return -2;
    }
    finish(context, digest);
    return 0;
}

int GOSTR3411_2012_256_Final(GOSTR3411_2012_CTX *context, uint8_t *digest)
{
    if (context == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_256_Final", "NULL context pointer", NULL);
        return -1;
    }
    if (context->digest_size != 32) {
        const long long size = context->digest_size;
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_256_Final", "Illegal digest size in context",
                  &size);
        return -2;
    }
    return GOSTR3411_2012_Final(context, digest);
}

int GOSTR3411_2012_Transform(const uint8_t *data, uint32_t data_len, uint8_t *digest)
{
    if (data_len > 0 && data == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Transform",
                  "NULL data pointer for data_len > 0", NULL);
        return -2;
    }
    if (digest == NULL) {
        gost_diag(__FILE__, __LINE__, "GOSTR3411_2012_Transform", "NULL digest pointer", NULL);
        return -3;
    }

    GOSTR3411_2012_CTX context;
    prepare(&context, 64);
    int rc = GOSTR3411_2012_Update(&context, data, data_len);
    if (rc != 0) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "GOSTR3411_2012_Update failed: 0x%x\n", (unsigned)rc);
        }
        return rc;
    }
    rc = GOSTR3411_2012_Final(&context, digest);
    if (rc != 0) {
        if (hash_diag_stream != NULL) {
            fprintf(hash_diag_stream, "GOSTR3411_2012_Final failed: 0x%x\n", (unsigned)rc);
        }
        return rc;
    }
    return 0;
}
