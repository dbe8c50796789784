/* One-call digests through the stream interface, as hex. */
#ifndef TEST_ENGINE_HELPERS_H
#define TEST_ENGINE_HELPERS_H

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gost_r3411_2012.h"
#include "gost_r3411_2012_paths.h"
#include "vectors.h"

inline void init_512(GOSTR3411_2012_CTX *context)
{
    ASSERT_EQ(GOSTR3411_2012_512_Init(context), 0);
}

inline std::string finish_hex(GOSTR3411_2012_CTX *context)
{
    uint8_t digest[64];
    const size_t n = context->digest_size == 64 ? 64 : 32;
    if (GOSTR3411_2012_Final(context, digest) != 0) return "final failed";
    return to_hex(digest, n);
}

/* The digest of message fed as the pieces whose sizes are given (summing to
 * its length), for 32 or 64 digest bytes. */
inline std::string digest_in_pieces(const std::vector<uint8_t> &message,
                                    const std::vector<size_t> &pieces, int digest_size)
{
    GOSTR3411_2012_CTX context;
    if (digest_size == 32) {
        GOSTR3411_2012_256_Init(&context);
    } else {
        init_512(&context);
    }
    size_t at = 0;
    for (size_t n : pieces) {
        const uint8_t *p = n == 0 ? nullptr : message.data() + at;
        if (GOSTR3411_2012_Update(&context, p, static_cast<uint32_t>(n)) != 0)
            return "update failed";
        at += n;
    }
    return finish_hex(&context);
}

inline std::string digest_hex(const std::vector<uint8_t> &message, int digest_size)
{
    return digest_in_pieces(message, {message.size()}, digest_size);
}

/* What a test of the vector path says where the processor cannot run it. */
const char kLacksVector[] = "skipped: this processor lacks GFNI/AVX-512";

/* Runs a test on the engine path it is given ("table" or either vector body),
 * skipped where the processor lacks it, and gives the process back its own
 * path afterwards. Instantiate with kAllPaths (or kVectorBodies) and
 * path_name. */
class OnPath : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        own_ = GOSTR3411_2012_Implementation();
        if (gost_use_path(GetParam()) != 0) GTEST_SKIP() << kLacksVector;
        ASSERT_STREQ(GOSTR3411_2012_Implementation(), GetParam());
    }
    void TearDown() override { gost_use_path(own_.c_str()); }

    std::string own_;
};

const auto kAllPaths = ::testing::Values("table", "vector", "vector-lean");
const auto kVectorBodies = ::testing::Values("vector", "vector-lean");

inline std::string path_name(const ::testing::TestParamInfo<const char *> &p)
{
    return strcmp(p.param, "table") == 0    ? "Table"
           : strcmp(p.param, "vector") == 0 ? "Vector"
                                            : "VectorLean";
}

#endif
