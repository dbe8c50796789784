#include "regfile.h"

namespace {

void put_unit(std::string *out, uint32_t unit)
{
    out->push_back(static_cast<char>(unit & 0xff));
    out->push_back(static_cast<char>(unit >> 8));
}

void put_utf8(std::string *out, uint32_t cp)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xc0 | cp >> 6));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xe0 | cp >> 12));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xf0 | cp >> 18));
        out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
}

/* The code point at s[*i], strictly: no overlong forms, no surrogates. */
bool next_utf8(const std::string &s, size_t *i, uint32_t *cp)
{
    const uint32_t b0 = static_cast<unsigned char>(s[*i]);
    int extra;
    uint32_t min;
    if (b0 < 0x80) {
        *cp = b0;
        (*i)++;
        return true;
    } else if ((b0 & 0xe0) == 0xc0) {
        extra = 1, min = 0x80, *cp = b0 & 0x1f;
    } else if ((b0 & 0xf0) == 0xe0) {
        extra = 2, min = 0x800, *cp = b0 & 0x0f;
    } else if ((b0 & 0xf8) == 0xf0) {
        extra = 3, min = 0x10000, *cp = b0 & 0x07;
    } else {
        return false;
    }
    if (*i + static_cast<size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; k++) {
        const uint32_t b = static_cast<unsigned char>(s[*i + static_cast<size_t>(k)]);
        if ((b & 0xc0) != 0x80) return false;
        *cp = *cp << 6 | (b & 0x3f);
    }
    if (*cp < min || *cp > 0x10ffff || (*cp >= 0xd800 && *cp < 0xe000)) return false;
    *i += static_cast<size_t>(extra) + 1;
    return true;
}

} // namespace

int regfile_decode(const std::string &file, std::string *text, regfile_encoding *encoding,
                   size_t *bad_line)
{
    if (file.size() < 2 || file[0] != '\xff' || file[1] != '\xfe') {
        *text = file;
        *encoding = REGFILE_BYTES;
        return 0;
    }
    if (bad_line != nullptr) *bad_line = 1;
    if (file.size() % 2 != 0) return REGFILE_SYNTAX;
    std::string out;
    out.reserve(file.size() / 2);
    for (size_t i = 2; i < file.size(); i += 2) {
        uint32_t cp = static_cast<unsigned char>(file[i]) |
                      static_cast<uint32_t>(static_cast<unsigned char>(file[i + 1])) << 8;
        if (cp >= 0xdc00 && cp < 0xe000) return REGFILE_SYNTAX;
        if (cp >= 0xd800 && cp < 0xdc00) {
            if (i + 3 >= file.size()) return REGFILE_SYNTAX;
            const uint32_t low = static_cast<unsigned char>(file[i + 2]) |
                                 static_cast<uint32_t>(static_cast<unsigned char>(file[i + 3]))
                                     << 8;
            if (low < 0xdc00 || low >= 0xe000) return REGFILE_SYNTAX;
            cp = 0x10000 + ((cp - 0xd800) << 10 | (low - 0xdc00));
            i += 2;
        }
        put_utf8(&out, cp);
    }
    text->swap(out);
    *encoding = REGFILE_UTF16LE;
    return 0;
}

int regfile_encode(const std::string &text, regfile_encoding encoding, std::string *file)
{
    if (encoding == REGFILE_BYTES) {
        *file = text;
        return 0;
    }
    std::string out = "\xff\xfe";
    out.reserve(2 + 2 * text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        if (!next_utf8(text, &i, &cp)) return REGFILE_BAD_NAME;
        if (cp >= 0x10000) {
            put_unit(&out, 0xd800 | (cp - 0x10000) >> 10);
            put_unit(&out, 0xdc00 | ((cp - 0x10000) & 0x3ff));
        } else {
            put_unit(&out, cp);
        }
    }
    file->swap(out);
    return 0;
}
