/* The digest vectors in tests/data/gost2012.txt and the messages they name. */
#ifndef TEST_SUPPORT_VECTORS_H
#define TEST_SUPPORT_VECTORS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct Vector {
    std::string pattern; /* zeros, ones, counter, digits, mix, or hex:<bytes> */
    size_t length;
    std::string digest256; /* lower-case hex, byte 0 first */
    std::string digest512;
    int line;
};

/* Byte i of a message of the given pattern and length. */
std::vector<uint8_t> make_message(const std::string &pattern, size_t length);

/* Every vector of the file; fails the calling test on a malformed line. */
std::vector<Vector> load_vectors(const std::string &path);

std::string to_hex(const uint8_t *bytes, size_t n);
std::vector<uint8_t> from_hex(const std::string &hex);

#endif
