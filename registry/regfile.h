/*
 * The registry store's text: the export format of the Windows registry editor.
 *
 *     Windows Registry Editor Version 5.00
 *
 *     [HKEY_LOCAL_MACHINE\SOFTWARE\Quorvant\Tessaly]
 *     "prng_start"=hex:00,11,22,...
 *
 * What is read and what is written, byte for byte, is told in
 * quorvant-registry(5), "Format".
 */
#ifndef REGISTRY_REGFILE_H
#define REGISTRY_REGFILE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

enum {
    REGFILE_SYNTAX = -1,    /* the text cannot be parsed */
    REGFILE_NOT_FOUND = -2, /* no such value */
    REGFILE_BAD_NAME = -3   /* a key path or value name the format cannot hold */
};

enum regfile_encoding {
    REGFILE_BYTES,  /* the text is the file, byte for byte */
    REGFILE_UTF16LE /* the file is UTF-16LE after the mark FF FE; the text is UTF-8 */
};

/* The text of a store file's content, and how the file was encoded. Returns
 * 0, or REGFILE_SYNTAX for UTF-16 that is broken (an odd byte count, a lone
 * surrogate); *bad_line is then 1. */
int regfile_decode(const std::string &file, std::string *text, regfile_encoding *encoding,
                   size_t *bad_line);

/* The file content for text in encoding; a text made by regfile_decode comes
 * back as the same bytes. Returns 0, or REGFILE_BAD_NAME when the text is
 * not UTF-8 and so has no UTF-16 form. */
int regfile_encode(const std::string &text, regfile_encoding encoding, std::string *file);

/* The first line of every text this module makes. */
extern const char regfile_header[];

struct regfile_value {
    uint32_t type;
    std::vector<uint8_t> data;
};

/* Checks a key path as it stands between the brackets of a section (root
 * included): non-empty parts of at most 255 characters separated by single
 * backslashes, no control characters. Returns 0 or REGFILE_BAD_NAME. */
int regfile_check_key(const std::string &key);

/* Checks a value name ("" is the default value): at most 16383 characters,
 * no control characters. Returns 0 or REGFILE_BAD_NAME. */
int regfile_check_name(const std::string &name);

/* Checks a whole text. Returns 0, or REGFILE_SYNTAX with the number of the
 * first bad line (1-based) in *bad_line. */
int regfile_check(const std::string &text, size_t *bad_line);

/* Finds the value name (case-insensitive, as are keys) under key; when it is
 * defined more than once, the last definition counts, as on import.
 * Returns 0, REGFILE_NOT_FOUND or REGFILE_SYNTAX (*bad_line as above). */
int regfile_get(const std::string &text, const std::string &key, const std::string &name,
                regfile_value *value, size_t *bad_line);

/* Makes *out: text with the value name under key set to type and data. An
 * existing definition is replaced where it stands (later duplicates of it are
 * dropped); a new value goes after the last value of the key's first section;
 * a new key's section is appended at the end, after a blank line. An empty
 * text is a new store: header, blank line, section, value, blank line.
 * Returns 0, REGFILE_SYNTAX (*bad_line set, *out untouched) or
 * REGFILE_BAD_NAME. */
int regfile_set(const std::string &text, const std::string &key, const std::string &name,
                uint32_t type, const uint8_t *data, size_t size, std::string *out,
                size_t *bad_line);

/* The line(s) of one value as regfile_set writes them, each ending in
 * newline. */
std::string regfile_format_value(const std::string &name, uint32_t type, const uint8_t *data,
                                 size_t size, const char *newline);

#endif
