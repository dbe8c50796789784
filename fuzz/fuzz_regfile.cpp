/* The registry store's text over any input: decoding and encoding give the
 * file back byte for byte; a text is refused for a write exactly when it is
 * refused for a check; a value written is read back, writing it again changes
 * nothing, and adding a new value only inserts, leaving every other byte.
 *
 * Input: one byte choosing the key, name and type, then the file. */
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "regfile.h"

static void check(bool ok)
{
    if (!ok) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    static const char *const keys[] = {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly", "K",
                                       "k\\S", "HKEY_LOCAL_MACHINE"};
    static const char *const names[] = {"prng_start", "", "v", "A\"b\\"};
    static const uint32_t types[] = {3, 1, 4, 11};
    const std::string key = keys[data[0] & 3];
    const std::string name = names[data[0] >> 2 & 3];
    const uint32_t type = types[data[0] >> 4 & 3];
    const std::string file(reinterpret_cast<const char *>(data + 1), size - 1);

    std::string text;
    regfile_encoding encoding = REGFILE_BYTES;
    if (regfile_decode(file, &text, &encoding, nullptr) != 0) return 0;
    std::string back;
    check(regfile_encode(text, encoding, &back) == 0 && back == file);

    std::vector<uint8_t> value(data[0] & 0x40 ? 4 : 40);
    for (size_t i = 0; i < value.size(); i++) value[i] = static_cast<uint8_t>(i * 37 + size);
    if (type == 1) value.back() = 0;

    regfile_value before{0, {}};
    const int checked = regfile_check(text, nullptr);
    const int found = regfile_get(text, key, name, &before, nullptr);
    std::string out;
    const int set = regfile_set(text, key, name, type, value.data(), value.size(), &out, nullptr);
    check((checked == 0) == (set == 0));
    if (set != 0) {
        check(set == REGFILE_SYNTAX && found == REGFILE_SYNTAX);
        return 0;
    }
    check(regfile_check(out, nullptr) == 0);
    regfile_value after{0, {}};
    check(regfile_get(out, key, name, &after, nullptr) == 0);
    check(after.type == type && after.data == value);

    std::string again;
    check(regfile_set(out, key, name, type, value.data(), value.size(), &again, nullptr) == 0);
    check(again == out);

    if (found == REGFILE_NOT_FOUND) {
        size_t prefix = 0;
        while (prefix < text.size() && text[prefix] == out[prefix]) prefix++;
        size_t suffix = 0;
        while (suffix < text.size() - prefix &&
               text[text.size() - 1 - suffix] == out[out.size() - 1 - suffix]) {
            suffix++;
        }
        check(prefix + suffix == text.size());
    }
    return 0;
}
