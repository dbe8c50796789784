/* Random messages of random lengths against rhash, an independent
 * implementation run as a black box. Skipped where rhash is not installed. */
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "run_process.h"
#include "vectors.h"

namespace {

TEST(Differential, RandomMessagesAgreeWithRhash)
{
    const std::string rhash = find_program("rhash");
    if (rhash.empty()) GTEST_SKIP() << "rhash is not installed";

    const std::string dir = make_temp_dir("hash_low_rhash");
    std::mt19937 rng(6986);
    std::vector<std::string> argv = {rhash, "--gost12-256", "--gost12-512"};
    std::vector<std::vector<uint8_t>> messages;
    for (int i = 0; i < 60; i++) {
        /* Mostly short, some across many blocks. */
        const size_t length = i < 45 ? std::uniform_int_distribution<size_t>(0, 300)(rng)
                                     : std::uniform_int_distribution<size_t>(0, 70000)(rng);
        std::vector<uint8_t> m(length);
        for (auto &b : m) b = static_cast<uint8_t>(rng());
        const std::string path = dir + "/m" + std::to_string(i);
        write_file(path, std::string(m.begin(), m.end()));
        argv.push_back(path);
        messages.push_back(m);
    }
    const ProcessResult r = run_process(argv);
    ASSERT_EQ(r.status, 0) << r.err;

    std::istringstream lines(r.out);
    std::string line;
    size_t i = 0;
    while (std::getline(lines, line) && i < messages.size()) {
        std::istringstream fields(line);
        std::string path, d256, d512;
        fields >> path >> d256 >> d512;
        ASSERT_EQ(path, argv[3 + i]);
        EXPECT_EQ(digest_hex(messages[i], 32), d256)
            << "message " << i << ", " << messages[i].size() << " bytes";
        EXPECT_EQ(digest_hex(messages[i], 64), d512) << "message " << i;
        uint8_t digest[64];
        ASSERT_EQ(GOSTR3411_2012_Transform(messages[i].data(),
                                           static_cast<uint32_t>(messages[i].size()), digest),
                  0);
        EXPECT_EQ(to_hex(digest, 64), d512) << "message " << i;
        i++;
    }
    EXPECT_EQ(i, messages.size());
    remove_tree(dir);
}

} // namespace
