#include "vectors.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

std::vector<uint8_t> make_message(const std::string &pattern, size_t length)
{
    std::vector<uint8_t> m(length);
    if (pattern.rfind("hex:", 0) == 0) {
        m = from_hex(pattern.substr(4));
        EXPECT_EQ(m.size(), length) << pattern;
        return m;
    }
    for (size_t i = 0; i < length; i++) {
        if (pattern == "zeros") {
            m[i] = 0x00;
        } else if (pattern == "ones") {
            m[i] = 0xff;
        } else if (pattern == "counter") {
            m[i] = static_cast<uint8_t>(i);
        } else if (pattern == "digits") {
            m[i] = static_cast<uint8_t>('0' + i % 10);
        } else if (pattern == "mix") {
            const uint32_t v = static_cast<uint32_t>(i) * 2654435761u;
            m[i] = static_cast<uint8_t>(v >> 13);
        } else {
            ADD_FAILURE() << "unknown pattern " << pattern;
            return m;
        }
    }
    return m;
}

std::vector<Vector> load_vectors(const std::string &path)
{
    std::vector<Vector> out;
    std::ifstream f(path);
    EXPECT_TRUE(f.good()) << "cannot open " << path;
    std::string line;
    int number = 0;
    while (std::getline(f, line)) {
        number++;
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        Vector v;
        v.line = number;
        s >> v.pattern >> v.length >> v.digest256 >> v.digest512;
        if (!s || v.digest256.size() != 64 || v.digest512.size() != 128) {
            ADD_FAILURE() << path << ":" << number << ": malformed vector";
            continue;
        }
        out.push_back(v);
    }
    return out;
}

std::string to_hex(const uint8_t *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::vector<uint8_t> from_hex(const std::string &hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}
