/* GOSTR3411_2012_UpdateMulti: every context comes out exactly as
 * GOSTR3411_2012_Update on its own would leave it, on either path, from any
 * state and for any cut of the data. */
#include <string.h>

#include <random>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "gost_r3411_2012.h"

namespace {

class Multi : public OnPath {};

/* Any state, also one no message leads to: h, N and Sigma random or all ones
 * (so that carries run through every word), a partial block of any length. */
GOSTR3411_2012_CTX random_state(std::mt19937_64 &rng)
{
    GOSTR3411_2012_CTX c;
    GOSTR3411_2012_256_Init(&c);
    c.digest_size = rng() % 2 ? 64 : 32;
    const unsigned ones = static_cast<unsigned>(rng() % 4);
    for (int i = 0; i < 8; i++) {
        c.h[i] = rng();
        c.N[i] = ones == 1 ? ~0ULL : rng();
        c.Sigma[i] = ones == 2 ? ~0ULL : rng();
    }
    c.buffer_len = rng() % 3 ? static_cast<uint32_t>(rng() % 64) : 0;
    for (uint32_t i = 0; i < c.buffer_len; i++) c.buffer[i] = static_cast<uint8_t>(rng());
    return c;
}

TEST_P(Multi, EachContextAsUpdateAloneLeavesIt)
{
    std::mt19937_64 rng(19);
    const std::string path = GetParam();
    for (int round = 0; round < 150; round++) {
        const unsigned count = 1 + static_cast<unsigned>(rng() % GOSTR3411_2012_MULTI_MAX);
        GOSTR3411_2012_CTX multi[GOSTR3411_2012_MULTI_MAX], alone[GOSTR3411_2012_MULTI_MAX];
        GOSTR3411_2012_CTX *contexts[GOSTR3411_2012_MULTI_MAX];
        for (unsigned i = 0; i < count; i++) {
            multi[i] = alone[i] = random_state(rng);
            contexts[i] = &multi[i];
        }
        /* A few calls: lengths around block sizes, sometimes long, sometimes 0. */
        for (int call = 0; call < 3; call++) {
            const uint32_t length = static_cast<uint32_t>(
                round % 10 == 9 ? rng() % 9000 : (call == 2 && round % 7 == 0 ? 0 : rng() % 400));
            std::vector<std::vector<uint8_t>> data(count, std::vector<uint8_t>(length + 1));
            const uint8_t *pointers[GOSTR3411_2012_MULTI_MAX];
            for (unsigned i = 0; i < count; i++) {
                for (auto &b : data[i]) b = static_cast<uint8_t>(rng());
                pointers[i] = data[i].data();
            }
            ASSERT_EQ(GOSTR3411_2012_UpdateMulti(contexts, pointers, length, count), 0);
            gost_use_path("table");
            for (unsigned i = 0; i < count; i++)
                GOSTR3411_2012_Update(&alone[i], pointers[i], length);
            gost_use_path(path.c_str());
            for (unsigned i = 0; i < count; i++) {
                for (uint32_t b = alone[i].buffer_len; b < 64; b++)
                    ASSERT_EQ(alone[i].buffer[b], 0) << "byte " << b << " after the partial block";
                ASSERT_EQ(memcmp(&multi[i], &alone[i], sizeof alone[i]), 0)
                    << "round " << round << ", call " << call << ", context " << i << " of "
                    << count << ", " << length << " bytes";
            }
        }
        for (unsigned i = 0; i < count; i++)
            ASSERT_EQ(finish_hex(&multi[i]), finish_hex(&alone[i]));
    }
}

/* The contexts need not lie in order or side by side, and the same data may
 * go to several of them. */
TEST_P(Multi, ContextsAnywhereAndSharedData)
{
    const auto m = make_message("mix", 1000);
    GOSTR3411_2012_CTX a, b, c;
    GOSTR3411_2012_256_Init(&a);
    init_512(&b);
    GOSTR3411_2012_256_Init(&c);
    GOSTR3411_2012_CTX *contexts[3] = {&c, &a, &b};
    const uint8_t *data[3] = {m.data(), m.data(), m.data()};
    ASSERT_EQ(GOSTR3411_2012_UpdateMulti(contexts, data, 1000, 3), 0);
    EXPECT_EQ(finish_hex(&a), digest_hex(m, 32));
    EXPECT_EQ(finish_hex(&b), digest_hex(m, 64));
    EXPECT_EQ(finish_hex(&c), digest_hex(m, 32));
}

INSTANTIATE_TEST_SUITE_P(Paths, Multi, kAllPaths, path_name);

} // namespace
