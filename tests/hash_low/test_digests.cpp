/* Digests against independently computed vectors and the standard's own
 * examples; the committed table against its generator; counter arithmetic. */
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "gost_r3411_2012.h"
#include "lps_gen.h"
#include "vectors.h"

namespace {

std::string reversed_hex(const std::string &hex)
{
    std::string out;
    for (size_t i = hex.size(); i >= 2; i -= 2) out += hex.substr(i - 2, 2);
    return out;
}

TEST(Digests, EveryVectorInTheDataFile)
{
    const auto vectors = load_vectors(TEST_DATA_DIR "/gost2012.txt");
    ASSERT_GT(vectors.size(), 150u);
    for (const auto &v : vectors) {
        SCOPED_TRACE("gost2012.txt:" + std::to_string(v.line) + " " + v.pattern.substr(0, 12) +
                     " " + std::to_string(v.length));
        const auto m = make_message(v.pattern, v.length);
        EXPECT_EQ(digest_hex(m, 32), v.digest256);

        uint8_t digest[64];
        ASSERT_EQ(GOSTR3411_2012_Transform(m.data(), static_cast<uint32_t>(m.size()), digest), 0);
        EXPECT_EQ(to_hex(digest, 64), v.digest512);
    }
}

/* RFC 6986 prints messages and digests most significant byte first; the engine
 * takes and gives bytes least significant first. */
TEST(Digests, Rfc6986ExamplesReadFromTheirLastByte)
{
    struct Example {
        const char *message, *d512, *d256;
    } examples[] = {
        {"323130393837363534333231303938373635343332313039383736353433323130393837363534333231"
         "303938373635343332313039383736353433323130",
         "486f64c1917879417fef082b3381a4e211c324f074654c38823a7b76f830ad00fa1fbae42b1285c0352f227"
         "524bc9ab16254288dd6863dccd5b9f54a1ad0541b",
         "00557be5e584fd52a449b16b0251d05d27f94ab76cbaa6da890b59d8ef1e159d"},
        {"fbe2e5f0eee3c820fbeafaebef20fffbf0e1e0f0f520e0ed20e8ece0ebe5f0f2f120fff0eeec20f120faf2fe"
         "e5e2202ce8f6f3ede220e8e6eee1e8f0f2d1202ce8f0f2e5e220e5d1",
         "28fbc9bada033b1460642bdcddb90c3fb3e56c497ccd0f62b8a2ad4935e85f037613966de4ee00531ae60f3"
         "b5a47f8dae06915d5f2f194996fcabf2622e6881e",
         "508f7e553c06501d749a66fc28c6cac0b005746d97537fa85d9e40904efed29d"},
    };
    for (const auto &e : examples) {
        const auto m = from_hex(reversed_hex(e.message));
        EXPECT_EQ(digest_hex(m, 64), reversed_hex(e.d512));
        EXPECT_EQ(digest_hex(m, 32), reversed_hex(e.d256));
    }
}

TEST(Digests, EmptyMessageWithAndWithoutAnEmptyUpdate)
{
    const char *empty256 = "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb";
    EXPECT_EQ(digest_in_pieces({}, {}, 32), empty256);
    EXPECT_EQ(digest_in_pieces({}, {0, 0}, 32), empty256);

    uint8_t a[64], b[64];
    ASSERT_EQ(GOSTR3411_2012_Transform(nullptr, 0, a), 0);
    GOSTR3411_2012_CTX context;
    init_512(&context);
    ASSERT_EQ(GOSTR3411_2012_Final(&context, b), 0);
    EXPECT_EQ(to_hex(a, 64), to_hex(b, 64));
}

TEST(Digests, CountersAfterBoundaryLengths)
{
    struct Case {
        size_t length;
        uint32_t buffer_len_after_update;
        uint64_t n_after_update, n_after_final;
    } cases[] = {{63, 63, 0, 504}, {64, 0, 512, 512}, {65, 1, 512, 520}, {128, 0, 1024, 1024}};
    for (const auto &c : cases) {
        const auto m = make_message("counter", c.length);
        GOSTR3411_2012_CTX context;
        GOSTR3411_2012_256_Init(&context);
        GOSTR3411_2012_Update(&context, m.data(), static_cast<uint32_t>(m.size()));
        EXPECT_EQ(context.buffer_len, c.buffer_len_after_update) << c.length;
        EXPECT_EQ(context.N[0], c.n_after_update) << c.length;
        for (uint32_t i = context.buffer_len; i < 64; i++) {
            ASSERT_EQ(context.buffer[i], 0) << "byte " << i << " after " << c.length;
        }
        uint8_t digest[32];
        GOSTR3411_2012_256_Final(&context, digest);
        EXPECT_EQ(context.N[0], c.n_after_final) << c.length;
    }
}

/* Sigma is an exact 512-bit sum and N a 512-bit counter: a carry must run
 * through every word, also through words that are all ones. Each engine path
 * keeps its own counters. */
class Carries : public OnPath {};

TEST_P(Carries, RunThroughAllOnesWords)
{
    const uint64_t ones = ~0ULL;
    std::vector<uint8_t> one(64, 0);
    one[0] = 1;

    struct Case {
        uint64_t sigma_before[8], sigma_after[8];
    } cases[] = {
        {{ones, ones, ones, ones, ones, ones, ones, ones}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {{ones, ones, ones, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0, 0}},
        {{ones, ones, ones, ones, ones, ones, ones, 5}, {0, 0, 0, 0, 0, 0, 0, 6}},
        {{ones, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        GOSTR3411_2012_CTX context;
        GOSTR3411_2012_256_Init(&context);
        memcpy(context.Sigma, c.sigma_before, sizeof context.Sigma);
        GOSTR3411_2012_Update(&context, one.data(), 64);
        for (int i = 0; i < 8; i++) EXPECT_EQ(context.Sigma[i], c.sigma_after[i]) << "word " << i;
    }

    /* A block whose words are all ones, added to a Sigma of all ones words. */
    std::vector<uint8_t> block(64, 0xff);
    GOSTR3411_2012_CTX context;
    GOSTR3411_2012_256_Init(&context);
    std::fill(std::begin(context.Sigma), std::end(context.Sigma), ones);
    GOSTR3411_2012_Update(&context, block.data(), 64);
    EXPECT_EQ(context.Sigma[0], ones - 1);
    for (int i = 1; i < 8; i++) EXPECT_EQ(context.Sigma[i], ones) << "word " << i;

    struct NCase {
        uint64_t before[8], after[8];
    } ncases[] = {
        {{ones - 511, ones, ones, ones, ones, ones, ones, ones}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {{ones - 100, ones, ones, 7, 0, 0, 0, 0}, {411, 0, 0, 8, 0, 0, 0, 0}},
        {{ones - 511, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &c : ncases) {
        GOSTR3411_2012_256_Init(&context);
        memcpy(context.N, c.before, sizeof context.N);
        GOSTR3411_2012_Update(&context, block.data(), 64);
        for (int i = 0; i < 8; i++) EXPECT_EQ(context.N[i], c.after[i]) << "word " << i;
    }

    /* The carry at the second of three blocks given in one call: a path may
     * keep N elsewhere than in the context within a call. */
    std::vector<uint8_t> three(3 * 64, 0x5a);
    GOSTR3411_2012_256_Init(&context);
    context.N[0] = ones - 1023;
    GOSTR3411_2012_Update(&context, three.data(), 3 * 64);
    EXPECT_EQ(context.N[0], 512u);
    EXPECT_EQ(context.N[1], 1u);
}

INSTANTIATE_TEST_SUITE_P(Paths, Carries, kAllPaths, path_name);

TEST(Tables, CommittedTableEqualsWhatTheGeneratorBuilds)
{
    static uint64_t built[8][256];
    lps_generate(built);
    for (int c = 0; c < 8; c++) {
        for (int b = 0; b < 256; b++) {
            ASSERT_EQ(lps_table[c][b], built[c][b]) << "lps_table[" << c << "][" << b << "]";
        }
    }
}

TEST(Tables, GeneratorFollowsTheRowOrderOfA)
{
    static uint64_t built[8][256];
    lps_generate(built);
    /* pi(0) = 0xfc: in byte position 7 its top bit is bit 63, whose row is the
     * first of A (0x8e20faa72ba0b470); l is linear over the set bits. */
    const uint64_t rows_for_fc_top[] = {0x8e20faa72ba0b470ULL, 0x47107ddd9b505a38ULL,
                                        0xad08b0e0c3282d1cULL, 0xd8045870ef14980eULL,
                                        0x6c022c38f90a4c07ULL, 0x3601161cf205268dULL};
    uint64_t expect = 0;
    for (uint64_t r : rows_for_fc_top) expect ^= r;
    EXPECT_EQ(built[7][0], expect);
}

} // namespace
