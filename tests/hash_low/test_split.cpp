/* How a message is cut into updates must never change its digest. */
#include <random>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "vectors.h"

namespace {

class SplitInvariance : public ::testing::TestWithParam<int> {};

TEST_P(SplitInvariance, OneCallByteByByteAndWholeBlocks)
{
    const int size = GetParam();
    for (size_t length : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 129u, 200u, 1000u}) {
        const auto m = make_message("mix", length);
        const std::string whole = digest_hex(m, size);
        EXPECT_EQ(digest_in_pieces(m, std::vector<size_t>(length, 1), size), whole) << length;
        std::vector<size_t> blocks(length / 64, 64);
        if (length % 64) blocks.push_back(length % 64);
        EXPECT_EQ(digest_in_pieces(m, blocks, size), whole) << length;
    }
}

TEST_P(SplitInvariance, EveryOneAndTwoSplitPointsOfAFewBlocks)
{
    const int size = GetParam();
    const size_t length = 200; /* three full blocks and a partial one */
    const auto m = make_message("counter", length);
    const std::string whole = digest_hex(m, size);
    for (size_t i = 0; i <= length; i++) {
        ASSERT_EQ(digest_in_pieces(m, {i, length - i}, size), whole) << "split at " << i;
    }
    for (size_t i = 0; i <= length; i += 3) {
        for (size_t j = i; j <= length; j++) {
            ASSERT_EQ(digest_in_pieces(m, {i, j - i, length - j}, size), whole)
                << "splits at " << i << " and " << j;
        }
    }
}

TEST_P(SplitInvariance, RandomPiecesWithEmptyOnes)
{
    const int size = GetParam();
    std::mt19937 rng(20121 + static_cast<unsigned>(size));
    for (int round = 0; round < 300; round++) {
        const size_t length = std::uniform_int_distribution<size_t>(0, 2000)(rng);
        const auto m = make_message("mix", length);
        std::vector<size_t> pieces;
        size_t left = length;
        while (left > 0) {
            /* Empty pieces, pieces within a block and pieces across several. */
            size_t n = std::uniform_int_distribution<size_t>(0, 3)(rng) == 0
                           ? 0
                           : std::uniform_int_distribution<size_t>(1, 300)(rng);
            n = std::min(n, left);
            pieces.push_back(n);
            left -= n;
        }
        pieces.push_back(0);
        ASSERT_EQ(digest_in_pieces(m, pieces, size), digest_hex(m, size))
            << "round " << round << ", length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLengths, SplitInvariance, ::testing::Values(32, 64),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param == 32 ? std::string("Bits256") : std::string("Bits512");
                         });

} // namespace
