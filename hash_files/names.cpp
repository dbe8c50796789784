/* File names in output lines and in messages. */
#include "names.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool utf8_locale = false;

/* Bytes a shell would read as syntax anywhere in a word, and ':' which would
 * blur the "NAME: message" form. */
bool needs_quotes(unsigned char c)
{
    return strchr(" !\"$&'()*;<=>?[\\^`|:", c) != nullptr && c != '\0';
}

bool special_in_double_quotes(unsigned char c)
{
    return c == '$' || c == '`' || c == '\\' || c == '"' || c == '!';
}

/* The length of a printable UTF-8 sequence at s (at most left bytes), or 0
 * when the bytes there are not one: ASCII, invalid, or a C1 control
 * (U+0080..U+009F). */
size_t printable_utf8(const unsigned char *s, size_t left)
{
    unsigned int cp;
    const size_t len = s[0] < 0x80 ? 0 : utf8_char(s, left, &cp);
    return len != 0 && cp >= 0xa0 ? len : 0;
}

void append_escape(std::string *out, unsigned char c)
{
    static const char named[] = "\a\b\t\n\v\f\r";
    static const char letters[] = "abtnvfr";
    const char *hit = c != 0 ? strchr(named, c) : nullptr;
    out->push_back('\\');
    if (hit != nullptr) {
        out->push_back(letters[hit - named]);
        return;
    }
    out->push_back(static_cast<char>('0' + ((c >> 6) & 7)));
    out->push_back(static_cast<char>('0' + ((c >> 3) & 7)));
    out->push_back(static_cast<char>('0' + (c & 7)));
}

} // namespace

size_t utf8_char(const unsigned char *s, size_t left, unsigned int *code_point)
{
    unsigned int cp;
    size_t len;
    if (s[0] < 0x80) {
        len = 1;
        cp = s[0];
    } else if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        len = 2;
        cp = s[0] & 0x1fu;
    } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
        len = 3;
        cp = s[0] & 0x0fu;
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        len = 4;
        cp = s[0] & 0x07u;
    } else {
        return 0;
    }
    if (left < len) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) return 0;
    if (cp >= 0xd800 && cp <= 0xdfff) return 0;
    *code_point = cp;
    return len;
}

void names_init_locale(bool locale_loaded)
{
    const char *name = setlocale(LC_CTYPE, nullptr);
    if (!locale_loaded) {
        name = nullptr;
        for (const char *variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char *value = getenv(variable);
            if (value != nullptr && *value != '\0') {
                name = value;
                break;
            }
        }
    }
    utf8_locale = false;
    if (name == nullptr) return;
    for (const char *p = name; *p != '\0'; p++) {
        if ((strncmp(p, "UTF-8", 5) == 0) || (strncmp(p, "utf8", 4) == 0) ||
            (strncmp(p, "utf-8", 5) == 0) || (strncmp(p, "UTF8", 4) == 0)) {
            utf8_locale = true;
            return;
        }
    }
}

std::string quote_name(const std::string &name)
{
    const auto *s = reinterpret_cast<const unsigned char *>(name.data());
    const size_t n = name.size();
    /* Each byte: printable as it is (1), part of a printable UTF-8
     * character (1), or to be escaped (0). */
    std::string printable(n, '\1');
    bool quote = n == 0 || s[0] == '#' || s[0] == '~';
    bool escapes = false, single = false, double_special = false;
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c >= 0x80) {
            const size_t len = utf8_locale ? printable_utf8(s + i, n - i) : 0;
            if (len == 0) {
                printable[i] = '\0';
                escapes = quote = true;
                i++;
            } else {
                i += len;
            }
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            printable[i] = '\0';
            escapes = quote = true;
        } else if (needs_quotes(c)) {
            quote = true;
        }
        if (c == '\'') single = true;
        if (special_in_double_quotes(c)) double_special = true;
        i++;
    }
    if (!quote) return name;
    if (single && !escapes && !double_special) return "\"" + name + "\"";

    /* Single quotes, a quote as '\'', and runs of bytes to escape as $'...'
     * between them; a quoted run that would be empty is left out. */
    enum { IN_QUOTES, IN_ESCAPES, OUTSIDE } state = IN_QUOTES;
    std::string out = "'";
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = s[i];
        if (printable[i] == '\0') {
            if (state == IN_QUOTES) out += "'";
            if (state != IN_ESCAPES) out += "$'";
            append_escape(&out, c);
            state = IN_ESCAPES;
            continue;
        }
        if (state == IN_ESCAPES) {
            out += "'";
            state = OUTSIDE;
        }
        if (c == '\'') {
            out += state == IN_QUOTES ? "'\\''" : "\\''";
        } else {
            if (state == OUTSIDE) out += "'";
            out.push_back(static_cast<char>(c));
        }
        state = IN_QUOTES;
    }
    if (state != OUTSIDE) out += "'";
    return out;
}

bool escape_name(const std::string &name, bool for_checksum_line, std::string *escaped)
{
#ifdef _WIN32
    const bool backslash_escaped = false;
#else
    const bool backslash_escaped = true;
#endif
    bool needed = false;
    for (const char c : name) {
        if (c == '\n' || (for_checksum_line && (c == '\r' || (backslash_escaped && c == '\\'))))
            needed = true;
    }
    if (!needed) {
        *escaped = name;
        return false;
    }
    escaped->clear();
    for (const char c : name) {
        if (c == '\n') {
            *escaped += "\\n";
        } else if (c == '\r') {
            *escaped += "\\r";
        } else if (c == '\\' && backslash_escaped) {
            *escaped += "\\\\";
        } else {
            escaped->push_back(c);
        }
    }
    return true;
}

bool unescape_name(const std::string &text, std::string *name)
{
    name->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            name->push_back(text[i]);
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
        case '\\':
            name->push_back('\\');
            break;
        case 'n':
            name->push_back('\n');
            break;
        case 'r':
            name->push_back('\r');
            break;
        default:
            return false;
        }
    }
    return true;
}
