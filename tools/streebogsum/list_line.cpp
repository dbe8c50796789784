/* Parsing of checksum list lines. */
#include "list_line.h"

#include <string.h>

#include "names.h"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t hex_run(const char *s, size_t n)
{
    size_t i = 0;
    while (i < n && hex_value(s[i]) >= 0) i++;
    return i;
}

void decode_hex(const char *s, size_t digits, uint8_t *out)
{
    for (size_t i = 0; i < digits / 2; i++)
        out[i] = static_cast<uint8_t>(static_cast<unsigned>(hex_value(s[2 * i])) << 4 |
                                      static_cast<unsigned>(hex_value(s[2 * i + 1])));
}

bool starts_with(const char *s, size_t n, const char *prefix)
{
    const size_t k = strlen(prefix);
    return n >= k && memcmp(s, prefix, k) == 0;
}

/* "(NAME) = DIGEST" after a BSD tag naming digest_size bytes. */
bool parse_bsd(const char *s, size_t n, int digest_size, std::string *name, uint8_t *digest)
{
    if (n == 0 || s[0] != '(') return false;
    size_t close = n;
    while (close > 1 && s[close - 1] != ')') close--;
    if (close <= 1) return false;
    close--; /* at the last ')' */
    name->assign(s + 1, close - 1);
    /* Any run of blanks and tabs on either side of "=". */
    size_t i = close + 1;
    while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
    if (i >= n || s[i] != '=') return false;
    i++;
    while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
    const size_t digits = static_cast<size_t>(digest_size) * 2;
    if (n - i != digits || hex_run(s + i, n - i) != digits) return false;
    decode_hex(s + i, digits, digest);
    return true;
}

/* "DIGEST  NAME" or "DIGEST *NAME"; or, in a list whose first such line
 * was not of that form, "DIGEST NAME" (one blank or tab, then the name). */
bool parse_gnu(const char *s, size_t n, int *style, std::string *name, uint8_t *digest,
               int *digest_size)
{
    const size_t digits = hex_run(s, n);
    if ((digits != 64 && digits != 128) || digits >= n) return false;
    const size_t i = digits + 1;
    if (*style != 1 && s[digits] == ' ' && n - i > 1 && (s[i] == ' ' || s[i] == '*')) {
        name->assign(s + i + 1, n - i - 1);
        *style = 0;
    } else if (*style != 0 && (s[digits] == ' ' || s[digits] == '\t') && i < n) {
        name->assign(s + i, n - i);
        *style = 1;
    } else {
        return false;
    }
    decode_hex(s, digits, digest);
    *digest_size = static_cast<int>(digits / 2);
    return true;
}

bool parse_hashcheck(const char *s, size_t n, std::string *name, uint8_t *digest, int *digest_size)
{
    static const char prefix[] = "GOSTHASH from file ";
    const size_t k = sizeof prefix - 1;
    for (size_t eq = n; eq >= k + 3; eq--) {
        if (memcmp(s + eq - 3, " = ", 3) != 0) continue;
        const size_t digits = n - eq;
        if ((digits != 64 && digits != 128) || hex_run(s + eq, digits) != digits) return false;
        name->assign(s + k, eq - 3 - k);
        if (name->empty()) return false;
        decode_hex(s + eq, digits, digest);
        *digest_size = static_cast<int>(digits / 2);
        return true;
    }
    return false;
}

} // namespace

ListLineKind parse_list_line(const char *line, size_t length, bool list_is_stdin, int *gnu_style,
                             ListEntry *entry)
{
    if (memchr(line, '\0', length) != nullptr) return LIST_LINE_IMPROPER;
    if (length > 0 && line[length - 1] == '\r') length--;
    size_t i = 0;
    while (i < length && (line[i] == ' ' || line[i] == '\t')) i++;
    const char *s = line + i;
    size_t n = length - i;
    if (n == 0 || s[0] == '#') return LIST_LINE_IGNORED;

    bool ok;
    std::string text;
    if (starts_with(s, n, "GOSTHASH from file ")) {
        ok = parse_hashcheck(s, n, &entry->name, entry->digest, &entry->digest_size);
    } else {
        const bool escaped = s[0] == '\\';
        if (escaped) {
            s++;
            n--;
        }
        if (starts_with(s, n, "GOST12-256") || starts_with(s, n, "GOST12-512")) {
            entry->digest_size = s[9] == '6' ? 32 : 64;
            size_t j = 10;
            if (j < n && s[j] == ' ') j++;
            ok = parse_bsd(s + j, n - j, entry->digest_size, &text, entry->digest);
        } else {
            ok = parse_gnu(s, n, gnu_style, &text, entry->digest, &entry->digest_size);
        }
        if (ok && escaped) {
            ok = unescape_name(text, &entry->name);
        } else if (ok) {
            entry->name = text;
        }
    }
    if (!ok || entry->name.empty()) return LIST_LINE_IMPROPER;
    if (list_is_stdin && entry->name == "-") return LIST_LINE_IMPROPER;
    return LIST_LINE_ENTRY;
}
