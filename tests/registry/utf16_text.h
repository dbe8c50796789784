/* Test texts as the registry editor saves them. */
#ifndef TESTS_SEEDREG_UTF16_TEXT_H
#define TESTS_SEEDREG_UTF16_TEXT_H

#include <string>

/* UTF-16LE after the mark FF FE, for a text of ASCII and two-byte UTF-8. */
inline std::string utf16(const std::string &s)
{
    std::string out = "\xff\xfe";
    for (size_t i = 0; i < s.size(); i++) {
        unsigned cp = static_cast<unsigned char>(s[i]);
        if (cp >= 0xc0) cp = (cp & 0x1f) << 6 | (static_cast<unsigned char>(s[++i]) & 0x3f);
        out.push_back(static_cast<char>(cp & 0xff));
        out.push_back(static_cast<char>(cp >> 8));
    }
    return out;
}

#endif
