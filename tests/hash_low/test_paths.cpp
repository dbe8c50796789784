/* The two ways of computing g_N: the table path everywhere, and the vector
 * path (GFNI and AVX-512) where the processor has it. Both must give every
 * digest; the vector path's constants must be what the generator derives. */
#include <string.h>

#include <random>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "gost_r3411_2012.h"
#include "gost_r3411_2012_paths.h"
#include "lps_gen.h"
#include "vectors.h"
#ifndef _WIN32
#include "run_process.h"
#endif

namespace {

TEST_P(OnPath, EveryVectorOfTheDataFileInBothLengths)
{
    const auto vectors = load_vectors(TEST_DATA_DIR "/gost2012.txt");
    ASSERT_GT(vectors.size(), 150u);
    for (const auto &v : vectors) {
        SCOPED_TRACE("gost2012.txt:" + std::to_string(v.line));
        const auto m = make_message(v.pattern, v.length);
        EXPECT_EQ(digest_hex(m, 32), v.digest256);
        EXPECT_EQ(digest_hex(m, 64), v.digest512);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, OnPath, kAllPaths, path_name);

/* Each vector body against the table path. */
class VectorPath : public OnPath {};

TEST_P(VectorPath, AgreesWithTheTablePathOnRandomMessagesInRandomPieces)
{
    std::mt19937 rng(34112012);
    for (int round = 0; round < 200; round++) {
        const size_t length = round % 10 == 9 ? std::uniform_int_distribution<size_t>(0, 70000)(rng)
                                              : std::uniform_int_distribution<size_t>(0, 700)(rng);
        std::vector<uint8_t> m(length);
        for (auto &b : m) b = static_cast<uint8_t>(rng());
        std::vector<size_t> pieces;
        for (size_t left = length; left > 0;) {
            const size_t n = std::min(left, std::uniform_int_distribution<size_t>(0, 200)(rng));
            pieces.push_back(n);
            left -= n;
        }
        for (int size : {32, 64}) {
            gost_use_path("table");
            const std::string want = digest_hex(m, size);
            gost_use_path(GetParam());
            ASSERT_EQ(digest_in_pieces(m, pieces, size), want)
                << "round " << round << ", " << length << " bytes, " << size << "-byte digest";
        }
    }
}

/* Any state, also one no message leads to: h, N, Sigma and a partial block
 * all random, then more data (often whole blocks, which the vector path runs
 * in one call) and the finish. */
TEST_P(VectorPath, AgreesWithTheTablePathFromRandomStates)
{
    std::mt19937_64 rng(6986);
    for (int round = 0; round < 300; round++) {
        GOSTR3411_2012_CTX start;
        GOSTR3411_2012_256_Init(&start);
        start.digest_size = round % 2 ? 64 : 32;
        for (int i = 0; i < 8; i++) {
            start.h[i] = rng();
            /* Sometimes all ones, so that carries run through every word. */
            start.N[i] = round % 3 ? rng() : ~0ULL;
            start.Sigma[i] = round % 5 ? rng() : ~0ULL;
        }
        start.buffer_len = round % 4 ? static_cast<uint32_t>(rng() % 64) : 0;
        for (uint32_t i = 0; i < start.buffer_len; i++)
            start.buffer[i] = static_cast<uint8_t>(rng());
        std::vector<uint8_t> more(static_cast<size_t>(rng() % 300));
        for (auto &b : more) b = static_cast<uint8_t>(rng());

        std::string digests[2];
        const char *paths[2] = {"table", GetParam()};
        for (int p = 0; p < 2; p++) {
            gost_use_path(paths[p]);
            GOSTR3411_2012_CTX context = start;
            if (!more.empty())
                GOSTR3411_2012_Update(&context, more.data(), static_cast<uint32_t>(more.size()));
            digests[p] = finish_hex(&context);
        }
        ASSERT_EQ(digests[1], digests[0]) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, VectorPath, kVectorBodies, path_name);

TEST(VectorConstants, CommittedConstantsEqualWhatTheGeneratorBuilds)
{
    static LpsVectorTables built;
    lps_vector_generate(&built);
    EXPECT_EQ(memcmp(lps_vector_sbox, built.sbox, sizeof built.sbox), 0);
    EXPECT_EQ(memcmp(lps_vector_matrices, built.matrices, sizeof built.matrices), 0);
    EXPECT_EQ(memcmp(lps_vector_gather, built.gather, sizeof built.gather), 0);
    EXPECT_EQ(memcmp(lps_vector_constants, built.constants, sizeof built.constants), 0);
    EXPECT_EQ(
        memcmp(lps_vector_matrices_swapped, built.matrices_swapped, sizeof built.matrices_swapped),
        0);
    EXPECT_EQ(memcmp(lps_vector_constants_swapped, built.constants_swapped,
                     sizeof built.constants_swapped),
              0);
}

/* GF2P8AFFINEQB as the processor manuals define it: bit i of the result is
 * the parity of (byte 7 - i of the matrix) AND x. */
uint8_t affine_byte(uint64_t matrix, uint8_t x)
{
    uint8_t out = 0;
    for (int i = 0; i < 8; i++) {
        unsigned row = static_cast<unsigned>(matrix >> (8 * (7 - i))) & x & 0xffu;
        row ^= row >> 4;
        row ^= row >> 2;
        row ^= row >> 1;
        out = static_cast<uint8_t>(out | (row & 1u) << i);
    }
    return out;
}

/* On any host: the matrices and the substitution, applied the way the vector
 * path applies them, give the table path's lps_table byte for byte. */
TEST(VectorConstants, MatricesAfterTheSubstitutionGiveLpsTable)
{
    for (int k = 0; k < 8; k++) {
        for (int j = 0; j < 8; j++) {
            const int c = j ^ k; /* the word that lane j of term k holds */
            for (int b = 0; b < 256; b++) {
                const uint8_t got = affine_byte(lps_vector_matrices[k][j], lps_vector_sbox[b]);
                ASSERT_EQ(got, static_cast<uint8_t>(lps_table[c][b] >> (8 * j)))
                    << "term " << k << ", lane " << j << ", byte " << b;
            }
        }
    }
}

#ifndef _WIN32
/* A process chooses at its first hash, from the processor and the
 * environment: a path's name forces that path where it runs; anything else
 * takes the fastest, the vector body for the processor's maker. */
TEST(PathChoice, TheEnvironmentVariableAtTheFirstHash)
{
    const bool vector = gost_vector_available() != 0;
    const std::string fastest = !vector                      ? "table"
                                : gost_vector_prefers_lean() ? "vector-lean"
                                                             : "vector";
    struct Case {
        const char *value; /* nullptr: unset */
        std::string path;
    } cases[] = {{nullptr, fastest},
                 {"table", "table"},
                 {"vector", vector ? "vector" : "table"},
                 {"vector-lean", vector ? "vector-lean" : "table"},
                 {"", fastest},
                 {"TABLE", fastest},
                 {"table ", fastest},
                 {"vector-", fastest}};
    for (const auto &c : cases) {
        ProcessOptions options;
        if (c.value == nullptr) {
            options.unset_env.push_back("GOST_R3411_2012_IMPL");
        } else {
            options.set_env.emplace_back("GOST_R3411_2012_IMPL", c.value);
        }
        const ProcessResult r = run_process({ENGINE_PATH_BIN}, options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.path + "\n") << (c.value ? c.value : "(unset)");
    }
}
#endif

} // namespace
