#include "regfile.h"
#include "registry.h"

#include <stdio.h>

const char regfile_header[] = "Windows Registry Editor Version 5.00";

namespace {

enum { MAX_KEY_PART = 255, MAX_VALUE_NAME = 16383, WRAP_COLUMN = 76 };

enum entry_kind { ENTRY_OTHER, ENTRY_SECTION, ENTRY_VALUE };

/* One line of the text, or several for a continued value. */
struct entry {
    size_t begin; /* first byte */
    size_t end;   /* one past the last newline */
    entry_kind kind;
    std::string key;  /* a section's key, or the key of a value's section */
    std::string name; /* a value's name, "" for the default value */
    regfile_value value;
};

/* Walks the text one physical line at a time. */
struct cursor {
    const std::string *text;
    size_t pos;       /* start of the current line */
    size_t next;      /* start of the following line */
    size_t line_no;   /* 1-based */
    std::string line; /* without its "\n" or "\r\n" */
};

bool next_line(cursor *c)
{
    if (c->next >= c->text->size()) {
        return false;
    }
    c->pos = c->next;
    size_t newline = c->text->find('\n', c->pos);
    if (newline == std::string::npos) {
        newline = c->text->size();
        c->next = newline;
    } else {
        c->next = newline + 1;
    }
    size_t stop = newline;
    if (stop > c->pos && (*c->text)[stop - 1] == '\r') {
        stop--;
    }
    c->line.assign(*c->text, c->pos, stop - c->pos);
    c->line_no++;
    return true;
}

bool is_blank(char ch)
{
    return ch == ' ' || ch == '\t';
}

size_t skip_blanks(const std::string &s, size_t i)
{
    while (i < s.size() && is_blank(s[i])) i++;
    return i;
}

bool only_blanks_from(const std::string &s, size_t i)
{
    return skip_blanks(s, i) == s.size();
}

int hex_digit(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

char lower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool same_name(const std::string &a, const std::string &b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

/* Reads up to max_digits hex digits at s[*i] into *number; false if none. */
bool read_hex(const std::string &s, size_t *i, int max_digits, uint32_t *number)
{
    uint32_t n = 0;
    int count = 0;
    while (count < max_digits && *i < s.size() && hex_digit(s[*i]) >= 0) {
        n = n << 4 | static_cast<uint32_t>(hex_digit(s[*i]));
        (*i)++;
        count++;
    }
    *number = n;
    return count > 0;
}

/* A quoted string starting at s[*i] == '"'; *i ends past the closing quote. */
bool read_quoted(const std::string &s, size_t *i, std::string *out)
{
    out->clear();
    size_t k = *i + 1;
    while (k < s.size() && s[k] != '"') {
        if (s[k] == '\\') {
            if (k + 1 >= s.size() || (s[k + 1] != '\\' && s[k + 1] != '"')) return false;
            k++;
        }
        out->push_back(s[k]);
        k++;
    }
    if (k >= s.size()) return false;
    *i = k + 1;
    return true;
}

/* Comma-separated hex bytes from c->line[i] on, over continuation lines. */
bool read_hex_list(cursor *c, size_t i, std::vector<uint8_t> *data)
{
    for (;;) {
        i = skip_blanks(c->line, i);
        if (i == c->line.size()) return true;
        if (c->line[i] == '\\') {
            if (!only_blanks_from(c->line, i + 1) || !next_line(c)) return false;
            i = 0;
            continue;
        }
        uint32_t byte = 0;
        if (!read_hex(c->line, &i, 2, &byte)) return false;
        data->push_back(static_cast<uint8_t>(byte));
        i = skip_blanks(c->line, i);
        if (i == c->line.size()) return true;
        if (c->line[i] != ',') return false;
        i++;
    }
}

/* A value line at c; may move c over continuation lines. */
bool read_value(cursor *c, entry *e)
{
    const std::string &s = c->line;
    size_t i = skip_blanks(s, 0);
    if (s[i] == '@') {
        e->name.clear();
        i++;
    } else if (!read_quoted(s, &i, &e->name)) {
        return false;
    }
    i = skip_blanks(s, i);
    if (i >= s.size() || s[i] != '=') return false;
    i = skip_blanks(s, i + 1);
    std::vector<uint8_t> &data = e->value.data;
    data.clear();
    if (i < s.size() && s[i] == '"') {
        std::string text;
        if (!read_quoted(s, &i, &text) || !only_blanks_from(s, i)) return false;
        e->value.type = REGISTRY_SZ;
        data.assign(text.begin(), text.end());
        data.push_back(0);
        return true;
    }
    if (s.compare(i, 6, "dword:") == 0) {
        i += 6;
        uint32_t n = 0;
        if (!read_hex(s, &i, 8, &n) || !only_blanks_from(s, i)) return false;
        e->value.type = REGISTRY_DWORD;
        for (int k = 0; k < 4; k++) data.push_back(static_cast<uint8_t>(n >> (8 * k)));
        return true;
    }
    if (s.compare(i, 4, "hex:") == 0) {
        e->value.type = REGISTRY_BINARY;
        return read_hex_list(c, i + 4, &data);
    }
    if (s.compare(i, 4, "hex(") == 0) {
        i += 4;
        uint32_t type = 0;
        if (!read_hex(s, &i, 8, &type) || s.compare(i, 2, "):") != 0) return false;
        e->value.type = type;
        return read_hex_list(c, i + 2, &data);
    }
    return false;
}

bool is_header(const std::string &line)
{
    size_t end = line.size();
    while (end > 0 && is_blank(line[end - 1])) end--;
    const std::string first = line.substr(0, end);
    return first == regfile_header || first == "REGEDIT4";
}

/* Splits the whole text into entries. */
int parse(const std::string &text, std::vector<entry> *entries, size_t *bad_line)
{
    cursor c{&text, 0, 0, 0, std::string()};
    std::string section;
    bool in_section = false;
    entries->clear();
    while (next_line(&c)) {
        entry e{c.pos, 0, ENTRY_OTHER, std::string(), std::string(), {0, {}}};
        std::string line = c.line;
        if (c.line_no == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        const size_t i = skip_blanks(line, 0);
        bool ok = false;
        if (line.find('\0') != std::string::npos) {
            /* no text file holds a NUL */
        } else if (c.line_no == 1) {
            ok = is_header(line);
        } else if (i == line.size() || line[i] == ';') {
            ok = true; /* blank line or comment */
        } else if (line[i] == '[') {
            size_t end = line.size();
            while (end > i && is_blank(line[end - 1])) end--;
            ok = end > i + 2 && line[end - 1] == ']' && line[i + 1] != '-';
            if (ok) {
                section = line.substr(i + 1, end - i - 2);
                in_section = true;
                e.kind = ENTRY_SECTION;
                e.key = section;
            }
        } else if (line[i] == '"' || line[i] == '@') {
            ok = in_section && read_value(&c, &e);
            e.kind = ENTRY_VALUE;
            e.key = section;
        }
        if (!ok) {
            if (bad_line != nullptr) *bad_line = c.line_no;
            return REGFILE_SYNTAX;
        }
        e.end = c.next;
        entries->push_back(std::move(e));
    }
    return 0;
}

bool line_is_blank(const std::string &text, size_t begin, size_t end)
{
    for (size_t k = begin; k < end; k++) {
        if (!is_blank(text[k]) && text[k] != '\r' && text[k] != '\n') return false;
    }
    return true;
}

/* Ends the last line of s, if it is not ended; a "\r" already there is the
 * start of its line end. */
void end_line(std::string *s, const char *newline)
{
    if (s->empty() || s->back() == '\n') return;
    if (s->back() == '\r') {
        s->push_back('\n');
    } else {
        *s += newline;
    }
}

} // namespace

int regfile_check_key(const std::string &key)
{
    size_t part = 0;
    for (size_t k = 0; k <= key.size(); k++) {
        if (k == key.size() || key[k] == '\\') {
            if (part == 0 || part > MAX_KEY_PART) return REGFILE_BAD_NAME;
            part = 0;
            continue;
        }
        const unsigned char ch = static_cast<unsigned char>(key[k]);
        if (ch < 0x20 || ch == 0x7f) return REGFILE_BAD_NAME;
        part++;
    }
    return 0;
}

int regfile_check_name(const std::string &name)
{
    if (name.size() > MAX_VALUE_NAME) return REGFILE_BAD_NAME;
    for (char ch : name) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) return REGFILE_BAD_NAME;
    }
    return 0;
}

int regfile_check(const std::string &text, size_t *bad_line)
{
    std::vector<entry> entries;
    return parse(text, &entries, bad_line);
}

int regfile_get(const std::string &text, const std::string &key, const std::string &name,
                regfile_value *value, size_t *bad_line)
{
    std::vector<entry> entries;
    const int status = parse(text, &entries, bad_line);
    if (status != 0) return status;
    const entry *found = nullptr;
    for (const entry &e : entries) {
        if (e.kind == ENTRY_VALUE && same_name(e.key, key) && same_name(e.name, name)) found = &e;
    }
    if (found == nullptr) return REGFILE_NOT_FOUND;
    *value = found->value;
    return 0;
}

static void append_quoted(std::string *out, const std::string &s)
{
    out->push_back('"');
    for (char ch : s) {
        if (ch == '\\' || ch == '"') out->push_back('\\');
        out->push_back(ch);
    }
    out->push_back('"');
}

std::string regfile_format_value(const std::string &name, uint32_t type, const uint8_t *data,
                                 size_t size, const char *newline)
{
    std::string out;
    if (name.empty()) {
        out = "@";
    } else {
        append_quoted(&out, name);
    }
    out += "=";
    bool plain_string = type == REGISTRY_SZ && size > 0 && data[size - 1] == 0;
    for (size_t k = 0; plain_string && k + 1 < size; k++) {
        plain_string = data[k] >= 0x20 && data[k] != 0x7f;
    }
    char buf[32];
    if (plain_string) {
        append_quoted(&out, std::string(reinterpret_cast<const char *>(data), size - 1));
    } else if (type == REGISTRY_DWORD && size == 4) {
        const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                           static_cast<uint32_t>(data[2]) << 16 |
                           static_cast<uint32_t>(data[3]) << 24;
        snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(n));
        out += buf;
    } else {
        if (type == REGISTRY_BINARY) {
            out += "hex:";
        } else {
            snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
            out += buf;
        }
        size_t column = out.size();
        static const char digits[] = "0123456789abcdef";
        for (size_t k = 0; k < size; k++) {
            out.push_back(digits[data[k] >> 4]);
            out.push_back(digits[data[k] & 15]);
            column += 2;
            if (k + 1 == size) break;
            out.push_back(',');
            column++;
            if (column >= WRAP_COLUMN) {
                out += "\\";
                out += newline;
                out += "  ";
                column = 2;
            }
        }
    }
    out += newline;
    return out;
}

int regfile_set(const std::string &text, const std::string &key, const std::string &name,
                uint32_t type, const uint8_t *data, size_t size, std::string *out, size_t *bad_line)
{
    if (regfile_check_key(key) != 0 || regfile_check_name(name) != 0) return REGFILE_BAD_NAME;
    std::vector<entry> entries;
    if (text.empty()) {
        const char *nl = "\n";
        std::string section = "[" + key + "]" + nl;
        *out = std::string(regfile_header) + nl + nl + section +
               regfile_format_value(name, type, data, size, nl) + nl;
        return 0;
    }
    const int status = parse(text, &entries, bad_line);
    if (status != 0) return status;
    /* New lines end as the first line does; a first line that is all there is
     * and ends in "\r" gets its "\n" below. */
    const size_t first_end = text.find('\n');
    const bool crlf = first_end == std::string::npos ? text.back() == '\r'
                                                     : first_end > 0 && text[first_end - 1] == '\r';
    const char *nl = crlf ? "\r\n" : "\n";
    const std::string line = regfile_format_value(name, type, data, size, nl);

    /* The lines to replace, and where a new value goes: after the last value
     * of the key's first section, or after its section line. */
    std::vector<const entry *> old_values;
    const entry *insert_after = nullptr;
    for (size_t k = 0; k < entries.size(); k++) {
        const entry &e = entries[k];
        if (e.kind == ENTRY_VALUE && same_name(e.key, key) && same_name(e.name, name)) {
            old_values.push_back(&e);
        }
        if (e.kind == ENTRY_SECTION && insert_after == nullptr && same_name(e.key, key)) {
            insert_after = &e;
            for (size_t j = k + 1; j < entries.size() && entries[j].kind != ENTRY_SECTION; j++) {
                if (entries[j].kind == ENTRY_VALUE) insert_after = &entries[j];
            }
        }
    }

    std::string result;
    result.reserve(text.size() + line.size() + key.size() + 8);
    if (!old_values.empty()) {
        size_t from = 0;
        for (size_t k = 0; k < old_values.size(); k++) {
            result.append(text, from, old_values[k]->begin - from);
            if (k == 0) result += line;
            from = old_values[k]->end;
        }
        result.append(text, from, std::string::npos);
    } else if (insert_after != nullptr) {
        result.assign(text, 0, insert_after->end);
        end_line(&result, nl);
        result += line;
        result.append(text, insert_after->end, std::string::npos);
    } else {
        result = text;
        end_line(&result, nl);
        const entry &last = entries.back();
        if (!line_is_blank(text, last.begin, last.end)) result += nl;
        result += "[" + key + "]" + nl + line + nl;
    }
    out->swap(result);
    return 0;
}
