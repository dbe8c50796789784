/* The store's text format: what is read, what is written, and that nothing
 * but the value being set ever changes. */
#include <gtest/gtest.h>

#include "regfile.h"
#include "utf16_text.h"

namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly";

std::vector<uint8_t> counting(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

regfile_value get(const std::string &text, const std::string &key, const std::string &name)
{
    regfile_value v{0, {}};
    size_t bad_line = 0;
    EXPECT_EQ(regfile_get(text, key, name, &v, &bad_line), 0) << name << " line " << bad_line;
    return v;
}

std::string set(const std::string &text, const std::string &key, const std::string &name,
                uint32_t type, const std::vector<uint8_t> &data)
{
    std::string out = "untouched";
    size_t bad_line = 0;
    EXPECT_EQ(regfile_set(text, key, name, type, data.data(), data.size(), &out, &bad_line), 0)
        << "line " << bad_line;
    return out;
}

TEST(RegfileWrite, ANewStoreHoldsHeaderSectionAndValue)
{
    EXPECT_EQ(set("", kKey, "prng_start", 3, counting(40, 0xd8)),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n"
              "\"prng_start\"=hex:d8,d9,da,db,dc,dd,de,df,e0,e1,e2,e3,e4,e5,e6,e7,e8,e9,ea,eb,\\\n"
              "  ec,ed,ee,ef,f0,f1,f2,f3,f4,f5,f6,f7,f8,f9,fa,fb,fc,fd,fe,ff\n"
              "\n");
}

TEST(RegfileWrite, HexLinesBreakAtSeventySixColumns)
{
    /* The first line holds 20 bytes after "prng_start", every further one 25. */
    const std::string text = regfile_format_value("prng_start", 3, counting(95).data(), 95, "\n");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].size(), 17u + 20 * 3 + 1);
    EXPECT_EQ(lines[1].size(), 2u + 25 * 3 + 1);
    EXPECT_EQ(lines[2].size(), 2u + 25 * 3 + 1);
    EXPECT_EQ(lines[3],
              "  46,47,48,49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e");
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(lines[i].substr(lines[i].size() - 2), ",\\");

    /* A list that ends exactly where a line would break gets no backslash. */
    EXPECT_EQ(regfile_format_value("prng_start", 3, counting(20).data(), 20, "\n"),
              "\"prng_start\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13\n");
    EXPECT_EQ(regfile_format_value("x", 3, nullptr, 0, "\n"), "\"x\"=hex:\n");
}

TEST(RegfileWrite, EachKindIsWrittenAsTheEditorWritesIt)
{
    const uint8_t sz[] = {'a', '\\', 'b', '"', 'c', 0};
    EXPECT_EQ(regfile_format_value("s", 1, sz, sizeof sz, "\n"), "\"s\"=\"a\\\\b\\\"c\"\n");
    const uint8_t dw[] = {0x2a, 0x01, 0x00, 0xff};
    EXPECT_EQ(regfile_format_value("d", 4, dw, 4, "\n"), "\"d\"=dword:ff00012a\n");
    /* Forms a quoted string or a dword cannot hold go out as hex(type). */
    const uint8_t line_break[] = {'a', '\n', 0};
    EXPECT_EQ(regfile_format_value("s", 1, line_break, 3, "\n"), "\"s\"=hex(1):61,0a,00\n");
    EXPECT_EQ(regfile_format_value("s", 1, dw, 2, "\n"), "\"s\"=hex(1):2a,01\n");
    EXPECT_EQ(regfile_format_value("d", 4, dw, 3, "\n"), "\"d\"=hex(4):2a,01,00\n");
    EXPECT_EQ(regfile_format_value("q", 11, dw, 4, "\r\n"), "\"q\"=hex(b):2a,01,00,ff\r\n");
    EXPECT_EQ(regfile_format_value("", 4, dw, 4, "\n"), "@=dword:ff00012a\n");
    EXPECT_EQ(regfile_format_value("a\"b\\", 3, dw, 1, "\n"), "\"a\\\"b\\\\\"=hex:2a\n");
}

const std::string kSample = "Windows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "; made by hand\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
                            "@=\"default text\"\r\n"
                            "\"Path\"=\"C:\\\\Program Files\\\\\"\r\n"
                            "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
                            "\"Count\"=dword:0000002A\r\n"
                            "\"Short\"=dword:7\r\n"
                            "\"Blob\"=hex:01,02,\\\r\n"
                            "  03,04,\\\r\n"
                            "\t05\r\n"
                            "\"Empty\"=hex:\r\n"
                            "\"Expand\"=hex(2):25,00,41,00,00,00\r\n"
                            "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
                            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                            "\"Spaced\" = hex: 0a , 0B ,c\r\n"
                            "   ; an indented comment\r\n"
                            "\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\r\n"
                            "\"Version\"=\"1.0\"\r\n"
                            "\r\n";

TEST(RegfileRead, EveryKindTheEditorWrites)
{
    const std::string other = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Other";
    size_t bad_line = 0;
    ASSERT_EQ(regfile_check(kSample, &bad_line), 0) << "line " << bad_line;
    struct {
        const char *name;
        uint32_t type;
        std::vector<uint8_t> data;
    } cases[] = {
        {"", 1, {'d', 'e', 'f', 'a', 'u', 'l', 't', ' ', 't', 'e', 'x', 't', 0}},
        {"Path",
         1,
         {'C', ':', '\\', 'P', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'F', 'i', 'l', 'e', 's', '\\',
          0}},
        {"Quote", 1, {'s', 'a', 'y', ' ', '"', 'h', 'i', '"', 0}},
        {"Count", 4, {0x2a, 0, 0, 0}},
        {"Short", 4, {7, 0, 0, 0}},
        {"Blob", 3, {1, 2, 3, 4, 5}},
        {"Empty", 3, {}},
        {"Expand", 2, {0x25, 0, 0x41, 0, 0, 0}},
        {"Multi", 7, {0x61, 0, 0, 0, 0, 0}},
        {"Big", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"Spaced", 3, {0x0a, 0x0b, 0x0c}},
    };
    for (const auto &c : cases) {
        const regfile_value v = get(kSample, other, c.name);
        EXPECT_EQ(v.type, c.type) << c.name;
        EXPECT_EQ(v.data, c.data) << c.name;
    }
    /* Keys and names are found whatever their capitals. */
    EXPECT_EQ(get(kSample, "hkey_local_machine\\software\\OTHER", "blob").data,
              (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    regfile_value v{0, {}};
    EXPECT_EQ(regfile_get(kSample, other, "Version", &v, nullptr), REGFILE_NOT_FOUND);
    EXPECT_EQ(regfile_get(kSample, kKey + "\\Sub", "Version", &v, nullptr), REGFILE_NOT_FOUND);
    EXPECT_EQ(regfile_get("", kKey, "Version", &v, nullptr), REGFILE_NOT_FOUND);
}

TEST(RegfileRead, OtherHeadersAndAByteOrderMark)
{
    const std::string body = "\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n";
    EXPECT_EQ(get("REGEDIT4\n" + body, "HKEY_LOCAL_MACHINE\\K", "v").data,
              (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(get("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n" + body,
                  "HKEY_LOCAL_MACHINE\\K", "v")
                  .type,
              4u);
    /* The last definition counts, as when the file is imported. */
    EXPECT_EQ(get("REGEDIT4\n" + body + "\"V\"=dword:2\n", "HKEY_LOCAL_MACHINE\\K", "v").data,
              (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST(RegfileRead, UnparseableTextsNameTheirFirstBadLine)
{
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    struct {
        std::string text;
        size_t line;
    } cases[] = {
        {"garbage\n", 1},
        {"\n" + head, 1},
        {"Windows Registry Editor Version 4.00\n", 1},
        {head + "\"v\"=dword:1\n", 3},              /* a value before any key */
        {head + "[K]\n\"v\"=dword:123456789\n", 4}, /* nine digits */
        {head + "[K]\n\"v\"=dword:\n", 4},
        {head + "[K]\n\"v\"=hex:01,02,\\\n", 4}, /* continued into nothing */
        {head + "[K]\n\"v\"=hex:01 02\n", 4},
        {head + "[K]\n\"v\"=hex:1ff\n", 4},
        {head + "[K]\n\"v\"=hex(g):00\n", 4},
        {head + "[K]\n\"v\"=\"open\n", 4},
        {head + "[K]\n\"v\"=\"a\\n\"\n", 4}, /* an unknown escape */
        {head + "[K]\n\"v\"=\"a\" ; note\n", 4},
        {head + "[K]\n\"v\"=-\n", 4}, /* deleting forms */
        {head + "[-K]\n", 3},
        {head + "[K\n", 3},
        {head + "[]\n", 3},
        {head + "[K]\n\"v\" dword:1\n", 4},
        {head + "[K]\nv=dword:1\n", 4},
        {head + "[K]\n\"v\"=word:1\n", 4},
        {head + std::string("[K]\n\"v\"=dword:1\0\n", 17), 4},
        {head + std::string("[K]\n\"v\"=dword:1\n\0\n", 18), 5},
        {std::string("\xFF\xFEW\0i\0n\0", 8), 1}, /* UTF-16 that was not decoded */
    };
    for (const auto &c : cases) {
        size_t bad_line = 0;
        EXPECT_EQ(regfile_check(c.text, &bad_line), REGFILE_SYNTAX) << c.text;
        EXPECT_EQ(bad_line, c.line) << c.text;
        std::string out = "untouched";
        const uint8_t byte = 1;
        EXPECT_EQ(regfile_set(c.text, kKey, "prng_start", 3, &byte, 1, &out, &bad_line),
                  REGFILE_SYNTAX);
        EXPECT_EQ(out, "untouched");
    }
}

TEST(RegfileEncoding, UTF16FilesRoundTripExactly)
{
    std::string text;
    regfile_encoding encoding = REGFILE_BYTES;
    const std::string body = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87]\r\n"
                             "\"\xc3\xa9t\xc3\xa9\"=\"\xd0\xb4\xd0\xb0\"\r\n";
    const std::string file = utf16(body);
    ASSERT_EQ(regfile_decode(file, &text, &encoding, nullptr), 0);
    EXPECT_EQ(encoding, REGFILE_UTF16LE);
    EXPECT_EQ(text, body);
    std::string back;
    ASSERT_EQ(regfile_encode(text, encoding, &back), 0);
    EXPECT_EQ(back, file);
    EXPECT_EQ(get(text, "HKEY_LOCAL_MACHINE\\SOFTWARE\\\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87",
                  "\xc3\xa9t\xc3\xa9")
                  .data,
              (std::vector<uint8_t>{0xd0, 0xb4, 0xd0, 0xb0, 0}));

    /* A pair of surrogates is one code point, and comes back as the pair. */
    const std::string pair("\xff\xfe\x3d\xd8\x00\xde", 6);
    ASSERT_EQ(regfile_decode(pair, &text, &encoding, nullptr), 0);
    EXPECT_EQ(text, "\xf0\x9f\x98\x80");
    ASSERT_EQ(regfile_encode(text, encoding, &back), 0);
    EXPECT_EQ(back, pair);

    /* Anything without the mark is taken as it is. */
    ASSERT_EQ(regfile_decode("\xfe\xff", &text, &encoding, nullptr), 0);
    EXPECT_EQ(encoding, REGFILE_BYTES);
    EXPECT_EQ(text, "\xfe\xff");
    ASSERT_EQ(regfile_encode("\x80\xff", REGFILE_BYTES, &back), 0);
    EXPECT_EQ(back, "\x80\xff");
}

TEST(RegfileEncoding, BrokenUTF16AndTextWithoutAUTF16Form)
{
    const std::string broken[] = {
        std::string("\xff\xfeW", 3),                /* odd byte count */
        std::string("\xff\xfe\x00\xdc", 4),         /* a low surrogate alone */
        std::string("\xff\xfe\x3d\xd8", 4),         /* a high surrogate at the end */
        std::string("\xff\xfe\x3d\xd8\x41\x00", 6), /* ... followed by no low one */
    };
    for (const std::string &file : broken) {
        std::string text = "untouched";
        regfile_encoding encoding = REGFILE_BYTES;
        size_t bad_line = 0;
        EXPECT_EQ(regfile_decode(file, &text, &encoding, &bad_line), REGFILE_SYNTAX);
        EXPECT_EQ(bad_line, 1u);
        EXPECT_EQ(text, "untouched");
    }
    const std::string not_utf8[] = {"\x80",  "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                    "a\xffz"};
    for (const std::string &text : not_utf8) {
        std::string file = "untouched";
        EXPECT_EQ(regfile_encode(text, REGFILE_UTF16LE, &file), REGFILE_BAD_NAME) << text;
        EXPECT_EQ(file, "untouched");
    }
}

TEST(RegfileSet, ReplacesInPlaceAndKeepsEveryOtherByte)
{
    const std::string other = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Other";
    const std::vector<uint8_t> seed = counting(40, 0x10);
    const std::string value = regfile_format_value("prng_start", 3, seed.data(), 40, "\r\n");

    /* A new value goes after the key's last value; CRLF like the rest. */
    const std::string added = set(kSample, kKey, "prng_start", 3, seed);
    const size_t at = kSample.find("\"Version\"=\"1.0\"\r\n") + 17;
    EXPECT_EQ(added, kSample.substr(0, at) + value + kSample.substr(at));

    /* Setting it again replaces those lines and nothing else. */
    const std::vector<uint8_t> seed2 = counting(40, 0x80);
    const std::string replaced = set(added, kKey, "PRNG_START", 3, seed2);
    EXPECT_EQ(replaced, kSample.substr(0, at) +
                            regfile_format_value("PRNG_START", 3, seed2.data(), 40, "\r\n") +
                            kSample.substr(at));

    /* A continued value in the middle of a section is replaced as a whole. */
    const std::string blob = "\"Blob\"=hex:01,02,\\\r\n  03,04,\\\r\n\t05\r\n";
    const size_t blob_at = kSample.find(blob);
    ASSERT_NE(blob_at, std::string::npos);
    EXPECT_EQ(set(kSample, other, "blob", 4, {9, 0, 0, 0}),
              kSample.substr(0, blob_at) + "\"blob\"=dword:00000009\r\n" +
                  kSample.substr(blob_at + blob.size()));
}

TEST(RegfileSet, DuplicatesCollapseIntoOneValue)
{
    const std::string text = "REGEDIT4\n\n[K]\n\"v\"=dword:1\n; keep\n\"a\"=dword:2\n\n"
                             "[k]\n\"V\"=hex:01\n\"b\"=dword:3\n";
    EXPECT_EQ(set(text, "K", "v", 4, {5, 0, 0, 0}),
              "REGEDIT4\n\n[K]\n\"v\"=dword:00000005\n; keep\n\"a\"=dword:2\n\n"
              "[k]\n\"b\"=dword:3\n");
}

TEST(RegfileSet, NewValuesAndNewKeys)
{
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    /* After the last value of the key's first section, past comments. */
    EXPECT_EQ(
        set(head + "[K]\n\"a\"=dword:1\n; note\n\n[L]\n\"b\"=dword:2\n", "K", "c", 4, {3, 0, 0, 0}),
        head + "[K]\n\"a\"=dword:1\n\"c\"=dword:00000003\n; note\n\n[L]\n\"b\"=dword:2\n");
    /* A section without values takes it right below its line. */
    EXPECT_EQ(set(head + "[K]\n; note\n", "K", "c", 4, {3, 0, 0, 0}),
              head + "[K]\n\"c\"=dword:00000003\n; note\n");
    /* A new key is appended after a blank line, ending in one. */
    EXPECT_EQ(set(head + "[L]\n\"b\"=dword:2\n", "K", "c", 4, {3, 0, 0, 0}),
              head + "[L]\n\"b\"=dword:2\n\n[K]\n\"c\"=dword:00000003\n\n");
    EXPECT_EQ(set(head + "[L]\n\"b\"=dword:2\n\n", "K", "c", 4, {3, 0, 0, 0}),
              head + "[L]\n\"b\"=dword:2\n\n[K]\n\"c\"=dword:00000003\n\n");
    /* A last line without its newline gets one before anything is added. */
    EXPECT_EQ(set(head + "[L]\n\"b\"=dword:2", "K", "c", 4, {3, 0, 0, 0}),
              head + "[L]\n\"b\"=dword:2\n\n[K]\n\"c\"=dword:00000003\n\n");
    EXPECT_EQ(set(head + "[K]", "K", "c", 4, {3, 0, 0, 0}), head + "[K]\n\"c\"=dword:00000003\n");
    EXPECT_EQ(set(head + "[K]\r", "K", "c", 4, {3, 0, 0, 0}),
              head + "[K]\r\n\"c\"=dword:00000003\n");
    EXPECT_EQ(set("REGEDIT4\r", "K", "c", 4, {3, 0, 0, 0}),
              "REGEDIT4\r\n\r\n[K]\r\n\"c\"=dword:00000003\r\n\r\n");
    /* A subkey is a key of its own. */
    EXPECT_EQ(set(head + "[K]\n", "K\\S", "@x", 3, {}), head + "[K]\n\n[K\\S]\n\"@x\"=hex:\n\n");
    /* What a write makes, a read finds. */
    const std::string made = set(head, "K", "", 1, {'t', 0});
    EXPECT_EQ(made, head + "[K]\n@=\"t\"\n\n");
    EXPECT_EQ(get(made, "K", "").data, (std::vector<uint8_t>{'t', 0}));
}

TEST(RegfileSet, NamesTheFormatCannotHold)
{
    EXPECT_EQ(regfile_check_key(kKey), 0);
    EXPECT_EQ(regfile_check_key("HKEY_LOCAL_MACHINE"), 0);
    EXPECT_EQ(regfile_check_key(""), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_key("HKEY_LOCAL_MACHINE\\"), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_key("HKEY_LOCAL_MACHINE\\\\A"), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_key("HKEY_LOCAL_MACHINE\\A\nB"), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_key("H\\" + std::string(255, 'a')), 0);
    EXPECT_EQ(regfile_check_key("H\\" + std::string(256, 'a')), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_name(""), 0);
    EXPECT_EQ(regfile_check_name(std::string(16383, 'a')), 0);
    EXPECT_EQ(regfile_check_name(std::string(16384, 'a')), REGFILE_BAD_NAME);
    EXPECT_EQ(regfile_check_name("a\rb"), REGFILE_BAD_NAME);
    std::string out = "untouched";
    EXPECT_EQ(regfile_set("", kKey, "a\tb", 3, nullptr, 0, &out, nullptr), REGFILE_BAD_NAME);
    EXPECT_EQ(out, "untouched");
}

} // namespace
