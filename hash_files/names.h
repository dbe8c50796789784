/* How the programs write file names: in their output lines and in messages. */
#ifndef HASH_FILES_NAMES_H
#define HASH_FILES_NAMES_H

#include <stddef.h>

#include <string>

/* Decides once, from the process's locale, whether bytes above 0x7f that form
 * valid UTF-8 are printable text in messages (a UTF-8 locale) or are escaped
 * (any other locale). Call after setlocale(LC_ALL, ""), telling whether it
 * worked: when it did not (no locale data for this system, as under an
 * emulator), the locale that the environment names decides. */
void names_init_locale(bool locale_loaded);

/* The name as messages show it: unchanged when no shell would need it quoted,
 * otherwise in shell quotes ('a b', "it's", 'x'$'\t''y'), so that it can be
 * pasted into a shell as one word and no control character reaches the
 * terminal raw. */
std::string quote_name(const std::string &name);

/* The length of one UTF-8 character at s (at most left bytes, left >= 1;
 * ASCII is one byte) with its code point in *code_point, or 0 when the bytes
 * there are not one: invalid, overlong, cut short or a surrogate. */
size_t utf8_char(const unsigned char *s, size_t left, unsigned int *code_point);

/* The escaping of a name in a list line. When the name holds a byte that would
 * break the line (a line feed; in checksum lines also a backslash or a
 * carriage return, since those lines are read back), *escaped receives it with
 * "\\", "\n" and "\r" written as two characters each and the function returns
 * true: the line is then to start with a backslash. Otherwise *escaped is the
 * name and the result false. for_checksum_line: a line "DIGEST  NAME" or a
 * BSD line; otherwise a line of check results ("NAME: OK"). On Windows a
 * backslash is a folder separator and is never escaped. */
bool escape_name(const std::string &name, bool for_checksum_line, std::string *escaped);

/* The reverse, for a list line that started with a backslash: false when the
 * text holds a backslash that is not one of the three escapes. */
bool unescape_name(const std::string &text, std::string *name);

#endif
