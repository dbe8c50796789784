/* HMAC against the vectors of tests/data/hmac_gost2012.txt, the message in one
 * call and in pieces; the argument checks and the wipe at the end. */
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "gost_r3411_2012.h"
#include "vectors.h"

namespace {

std::vector<uint8_t> bytes_or_empty(const std::string &hex)
{
    return hex == "-" ? std::vector<uint8_t>() : from_hex(hex);
}

/* The MAC of data fed in pieces that end at the given cuts (past its end
 * they are empty), as hex. */
std::string mac_in_pieces(int bits, const std::vector<uint8_t> &key,
                          const std::vector<uint8_t> &data, std::vector<size_t> cuts)
{
    GOSTR3411_2012_HMAC_CTX context;
    if (GOSTR3411_2012_HMAC_Init(&context, key.data(), key.size(), bits / 8) != 0) return "init";
    cuts.push_back(data.size());
    size_t at = 0;
    for (size_t cut : cuts) {
        const size_t end = std::max(at, std::min(cut, data.size()));
        const uint8_t *p = end == at ? nullptr : data.data() + at;
        if (GOSTR3411_2012_HMAC_Update(&context, p, static_cast<uint32_t>(end - at)) != 0)
            return "update";
        at = end;
    }
    uint8_t mac[64];
    if (GOSTR3411_2012_HMAC_Final(&context, mac) != 0) return "final";
    return to_hex(mac, static_cast<size_t>(bits / 8));
}

TEST(Hmac, EveryVectorInOneCallAndInPieces)
{
    std::ifstream f(TEST_DATA_DIR "/hmac_gost2012.txt");
    ASSERT_TRUE(f.good());
    std::string line;
    int number = 0, rows = 0;
    while (std::getline(f, line)) {
        number++;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        int bits = 0;
        std::string key, data, mac;
        s >> bits >> key >> data >> mac;
        ASSERT_TRUE(s && (bits == 256 || bits == 512) && mac.size() == size_t(bits / 4))
            << "hmac_gost2012.txt:" << number << ": malformed";
        SCOPED_TRACE("hmac_gost2012.txt:" + std::to_string(number));
        const auto k = bytes_or_empty(key), m = bytes_or_empty(data);
        EXPECT_EQ(mac_in_pieces(bits, k, m, {}), mac);
        EXPECT_EQ(mac_in_pieces(bits, k, m, {m.size() / 2 | 1}), mac);
        EXPECT_EQ(mac_in_pieces(bits, k, m, {3, 3 + (m.size() * 2 / 3 | 1)}), mac);
        rows++;
    }
    EXPECT_EQ(rows, 24);
}

TEST(Hmac, ArgumentFailuresChangeNothingAndFinalWipes)
{
    const uint8_t key[3] = {1, 2, 3}, data[1] = {4};
    uint8_t mac[64] = {0};
    GOSTR3411_2012_HMAC_CTX context;
    ASSERT_EQ(GOSTR3411_2012_HMAC_Init(&context, key, 3, 32), 0);
    const GOSTR3411_2012_HMAC_CTX before = context;
    const auto unchanged = [&] { return memcmp(&context, &before, sizeof context) == 0; };

    EXPECT_EQ(GOSTR3411_2012_HMAC_Init(nullptr, key, 3, 32), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Init(&context, nullptr, 3, 32), -2);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Init(&context, key, 3, 48), -3);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Update(nullptr, data, 1), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Update(&context, nullptr, 1), -2);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Update(&context, nullptr, 0), 0);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Final(nullptr, mac), -1);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Final(&context, nullptr), -2);
    EXPECT_TRUE(unchanged());

    ASSERT_EQ(GOSTR3411_2012_HMAC_Final(&context, mac), 0);
    const GOSTR3411_2012_HMAC_CTX zero = {};
    EXPECT_EQ(memcmp(&context, &zero, sizeof context), 0);
    EXPECT_EQ(GOSTR3411_2012_HMAC_Final(&context, mac), -3);

    GOSTR3411_2012_HMAC_CTX empty;
    EXPECT_EQ(GOSTR3411_2012_HMAC_Init(&empty, nullptr, 0, 64), 0);
}

} // namespace
