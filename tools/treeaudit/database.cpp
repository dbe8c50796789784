/* Writing and reading treeaudit's database. */
#include "database.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "file_hash.h"
#include "tree_walk.h"

namespace {

/* Entry lines are bounded, though a path has no bound of its own (a tree may
 * be deeper than PATH_MAX): 64 MiB holds a path of thousands of levels. */
const size_t kLineMax = size_t{64} << 20;

const char kHex[] = "0123456789abcdef";

void seal_bytes(GOSTR3411_2012_CTX *seal, GOSTR3411_2012_HMAC_CTX *mac, bool keyed,
                const char *text, size_t size)
{
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(text);
    GOSTR3411_2012_Update(seal, bytes, static_cast<uint32_t>(size));
    if (keyed) GOSTR3411_2012_HMAC_Update(mac, bytes, static_cast<uint32_t>(size));
}

void put_line(DbWriter *w)
{
    w->line.push_back('\n');
    if (w->out != nullptr) fwrite(w->line.data(), 1, w->line.size(), w->out);
    seal_bytes(&w->seal, &w->mac, w->keyed, w->line.data(), w->line.size());
    w->line.clear();
}

void append_number(std::string *out, uint64_t value)
{
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    out->append(text);
}

/* A table, as digests make most of a database's bytes: 0-15 for the lowercase
 * hex digits, 0xff for every other byte. */
struct HexTable {
    uint8_t value[256];
    HexTable()
    {
        memset(value, 0xff, sizeof value);
        for (int i = 0; i < 16; i++)
            value[static_cast<unsigned char>(kHex[i])] = static_cast<uint8_t>(i);
    }
};
const HexTable kHexValue;

int hex_value(char c)
{
    const uint8_t v = kHexValue.value[static_cast<unsigned char>(c)];
    return v == 0xff ? -1 : v;
}

/* A field of a line: its bytes, not copied. */
struct Field {
    const char *p;
    size_t n;
    bool is(const char *text) const { return n == strlen(text) && memcmp(p, text, n) == 0; }
};

bool parse_hex(Field f, uint8_t *out, size_t size)
{
    if (f.n != 2 * size) return false;
    unsigned bad = 0;
    for (size_t i = 0; i < size; i++) {
        const unsigned hi = kHexValue.value[static_cast<unsigned char>(f.p[2 * i])];
        const unsigned lo = kHexValue.value[static_cast<unsigned char>(f.p[2 * i + 1])];
        bad |= hi | lo;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return bad < 16;
}

/* A decimal number without sign, leading zeros or overflow. */
bool parse_unsigned(Field f, uint64_t *value)
{
    if (f.n == 0 || f.n > 20 || (f.n > 1 && f.p[0] == '0')) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < f.n; i++) {
        const char c = f.p[i];
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool parse_signed(Field f, int64_t *value)
{
    const bool negative = f.n > 0 && f.p[0] == '-';
    uint64_t magnitude;
    if (!parse_unsigned(negative ? Field{f.p + 1, f.n - 1} : f, &magnitude)) return false;
    if (negative && (magnitude == 0 || magnitude > uint64_t{1} << 63)) return false;
    if (!negative && magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

/* The line's blank-separated fields, at most max of them; the count, or
 * max + 1 when there are more. */
size_t split(const std::string &line, Field *fields, size_t max)
{
    size_t count = 0;
    const char *p = line.data();
    const char *end = p + line.size();
    for (;;) {
        const char *blank = static_cast<const char *>(memchr(p, ' ', static_cast<size_t>(end - p)));
        if (count == max) return max + 1;
        fields[count++] = Field{p, static_cast<size_t>((blank != nullptr ? blank : end) - p)};
        if (blank == nullptr) return count;
        p = blank + 1;
    }
}

int fail(DbReader *r, const char *reason)
{
    r->error = std::to_string(r->line_number) + ": " + reason;
    return DB_DAMAGED;
}

/* Seals the buffer's bytes from where sealing stopped up to at: whole lines,
 * sealed in runs of many rather than one by one. */
void seal_upto(DbReader *r, size_t at)
{
    if (at > r->sealed)
        seal_bytes(&r->seal, &r->mac, r->keyed, r->buffer.data() + r->sealed, at - r->sealed);
    r->sealed = at;
}

/* The next line, without its line feed, sealed unless it is the last. */
int next_line(DbReader *r)
{
    if (r->buffer.empty()) r->buffer.resize(size_t{1} << 16);
    r->line.clear();
    const size_t line_start = r->start;
    bool split = false; /* the line goes on from one fill of the buffer to the next */
    for (;;) {
        const char *at = r->buffer.data() + r->start;
        const size_t left = r->have - r->start;
        const char *feed = static_cast<const char *>(memchr(at, '\n', left));
        const size_t take = feed != nullptr ? static_cast<size_t>(feed - at) : left;
        if (r->line.size() + take > kLineMax) {
            r->line_number++;
            return fail(r, "line too long");
        }
        r->line.append(at, take);
        if (feed != nullptr) {
            r->start += take + 1;
            break;
        }
        if (!split) seal_upto(r, line_start);
        split = true;
        r->start = r->sealed = r->have = 0;
        r->have = fread(r->buffer.data(), 1, r->buffer.size(), r->in);
        if (r->have == 0) {
            if (ferror(r->in)) {
                r->error = std::to_string(r->line_number + 1) + ": " + strerror(errno);
                return DB_READ_FAILED;
            }
            r->line_number++;
            return fail(r, r->line.empty() ? "cut short: no last line" : "cut short");
        }
    }
    r->line_number++;
    const bool last = r->line.compare(0, 4, "end ") == 0;
    if (split) {
        if (!last) {
            r->line.push_back('\n');
            seal_bytes(&r->seal, &r->mac, r->keyed, r->line.data(), r->line.size());
            r->line.pop_back();
        }
        r->sealed = r->start;
    } else if (last) {
        seal_upto(r, line_start);
        r->sealed = r->start;
    }
    return DB_OK;
}

bool parse_type(Field f, char *type)
{
    if (f.n != 1 || f.p[0] == '\0' || strchr("fdlpscb?", f.p[0]) == nullptr) return false;
    *type = f.p[0];
    return true;
}

bool parse_mode(Field f, uint32_t *mode)
{
    if (f.n != 4) return false;
    uint32_t m = 0;
    for (size_t i = 0; i < 4; i++) {
        const char c = f.p[i];
        if (c < '0' || c > '7') return false;
        m = m << 3 | static_cast<uint32_t>(c - '0');
    }
    *mode = m;
    return true;
}

/* The fields of a last line, "end COUNT DIGEST [hmac MAC]": what is wrong
 * with them, or nullptr. */
const char *parse_last_line(const Field *f, size_t fields, uint64_t *count,
                            uint8_t digest[DB_SEAL_SIZE], bool *has_mac, uint8_t mac[DB_SEAL_SIZE])
{
    if (fields != 3 && !(fields == 5 && f[3].is("hmac"))) return "a bad last line";
    if (!parse_unsigned(f[1], count)) return "a bad count on the last line";
    if (!parse_hex(f[2], digest, DB_SEAL_SIZE)) return "a bad digest on the last line";
    *has_mac = fields == 5;
    if (*has_mac && !parse_hex(f[4], mac, DB_SEAL_SIZE)) return "a bad MAC on the last line";
    return nullptr;
}

int check_end(DbReader *r, const Field *f, size_t fields)
{
    uint64_t count;
    const char *bad = parse_last_line(f, fields, &count, r->digest, &r->has_mac, r->mac_value);
    if (bad != nullptr) return fail(r, bad);
    if (r->start < r->have || getc(r->in) != EOF) return fail(r, "text after the last line");
    if (count != r->count) return fail(r, "the count of entries is wrong");
    uint8_t digest[DB_SEAL_SIZE];
    GOSTR3411_2012_Final(&r->seal, digest);
    if (memcmp(digest, r->digest, DB_SEAL_SIZE) != 0)
        return fail(r, "the digest does not match: the database is damaged");
    if (r->authenticated && memcmp(digest, r->authentic, DB_SEAL_SIZE) != 0)
        return fail(r, "the database changed while it was read");
    r->ended = true;
    return 0;
}

} // namespace

std::string db_hex(const uint8_t *bytes, size_t size)
{
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; i++) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 15]);
    }
    return out;
}

void db_escape(const std::string &name, std::string *out)
{
    if (name == "-") {
        out->append("\\x2d");
        return;
    }
    for (char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7f || c == '\\') {
            out->append("\\x");
            out->push_back(kHex[c >> 4]);
            out->push_back(kHex[c & 15]);
        } else {
            out->push_back(ch);
        }
    }
}

bool db_unescape(const char *text, size_t size, std::string *name)
{
    name->clear();
    /* "-" stands for no name; the name "-" is spelled "\x2d". */
    if (size == 0 || (size == 1 && text[0] == '-')) return false;
    for (size_t i = 0; i < size; i++) {
        /* The run up to the next escape, in one piece. */
        size_t run = i;
        while (run < size && text[run] != '\\') {
            const unsigned char c = static_cast<unsigned char>(text[run]);
            if (c <= 0x20 || c == 0x7f) return false;
            run++;
        }
        name->append(text + i, run - i);
        if ((i = run) == size) break;
        if (size - i < 4 || text[i + 1] != 'x') return false;
        const int hi = hex_value(text[i + 2]), lo = hex_value(text[i + 3]);
        if (hi < 0 || lo < 0) return false;
        const unsigned char decoded = static_cast<unsigned char>(hi << 4 | lo);
        /* Only what must be escaped may be: one spelling per name. */
        if (!(decoded <= 0x20 || decoded == 0x7f || decoded == '\\' ||
              (decoded == '-' && size == 4)))
            return false;
        name->push_back(static_cast<char>(decoded));
        i += 3;
    }
    return true;
}

void db_write_begin(DbWriter *w, FILE *out, const DbHeader &header, const DbKey &key)
{
    w->out = out;
    w->count = 0;
    w->digest_size = header.digest_size;
    hash_init(&w->seal, 64);
    w->keyed = key.present;
    if (w->keyed)
        GOSTR3411_2012_HMAC_Init(&w->mac, reinterpret_cast<const uint8_t *>(key.bytes.data()),
                                 key.bytes.size(), 64);
    w->line = "treeaudit-db " + std::to_string(DB_VERSION);
    put_line(w);
    w->line = header.digest_size == 64 ? "digest 512" : "digest 256";
    put_line(w);
    if (header.one_file_system) {
        w->line = "option one-file-system";
        put_line(w);
    }
    for (const std::string &root : header.roots) {
        w->line = "root ";
        db_escape(root, &w->line);
        put_line(w);
    }
    for (const std::string &glob : header.excludes) {
        w->line = "exclude ";
        db_escape(glob, &w->line);
        put_line(w);
    }
    w->line = "entries";
    put_line(w);
}

void db_write_entry(DbWriter *w, const Entry &e)
{
    std::string &l = w->line;
    append_number(&l, e.root);
    l.push_back(' ');
    l.push_back(e.type);
    char mode[8];
    snprintf(mode, sizeof mode, " %04o ", static_cast<unsigned>(e.mode & 07777));
    l.append(mode);
    for (uint64_t v : {e.uid, e.gid, e.size}) {
        append_number(&l, v);
        l.push_back(' ');
    }
    l.append(std::to_string(e.mtime_ns));
    for (uint64_t v : {e.nlink, e.rdev}) {
        l.push_back(' ');
        append_number(&l, v);
    }
    l.push_back(' ');
    if (e.has_xattrs) {
        l.append(e.capabilities ? "c:" : "x:");
        l.append(db_hex(e.xattrs, XATTR_DIGEST_SIZE));
    } else {
        l.push_back('-');
    }
    l.push_back(' ');
    if (e.content == CONTENT_KNOWN) {
        l.append(db_hex(e.digest, static_cast<size_t>(w->digest_size)));
    } else {
        l.push_back(e.content == CONTENT_UNKNOWN ? '?' : e.content == CONTENT_OUTSIDE ? '!' : '-');
    }
    l.push_back(' ');
    db_escape(e.path, &l);
    l.push_back(' ');
    if (e.type == 'l') {
        db_escape(e.target, &l);
    } else {
        l.push_back('-');
    }
    put_line(w);
    w->count++;
}

int db_write_end(DbWriter *w, uint8_t seal[DB_SEAL_SIZE])
{
    GOSTR3411_2012_Final(&w->seal, seal);
    w->line = "end " + std::to_string(w->count) + " " + db_hex(seal, DB_SEAL_SIZE);
    if (w->keyed) {
        uint8_t mac[DB_SEAL_SIZE];
        GOSTR3411_2012_HMAC_Final(&w->mac, mac);
        w->line += " hmac " + db_hex(mac, DB_SEAL_SIZE);
    }
    w->line.push_back('\n');
    fwrite(w->line.data(), 1, w->line.size(), w->out);
    if (fflush(w->out) != 0 || ferror(w->out)) return errno != 0 ? -errno : -EIO;
    return 0;
}

int db_read_begin(DbReader *r, FILE *in, const std::string &name, const DbKey &key,
                  const uint8_t *authentic)
{
    r->in = in;
    r->name = name;
    r->line_number = 0;
    r->header = DbHeader();
    r->count = 0;
    r->ended = false;
    r->previous.clear();
    r->previous_root = 0;
    r->has_mac = false;
    r->authenticated = authentic != nullptr;
    if (authentic != nullptr) memcpy(r->authentic, authentic, DB_SEAL_SIZE);
    r->start = r->sealed = r->have = 0;
    hash_init(&r->seal, 64);
    r->keyed = key.present;
    if (r->keyed)
        GOSTR3411_2012_HMAC_Init(&r->mac, reinterpret_cast<const uint8_t *>(key.bytes.data()),
                                 key.bytes.size(), 64);
    int status = next_line(r);
    if (status != 0) {
        if (r->line_number == 1 && status == DB_DAMAGED) return fail(r, "not a treeaudit database");
        return status;
    }
    if (r->line.compare(0, 13, "treeaudit-db ") != 0) return fail(r, "not a treeaudit database");
    if (r->line != "treeaudit-db " + std::to_string(DB_VERSION))
        return fail(r, "a database of an unknown version");
    if ((status = next_line(r)) != 0) return status;
    if (r->line == "digest 256") {
        r->header.digest_size = 32;
    } else if (r->line == "digest 512") {
        r->header.digest_size = 64;
    } else {
        return fail(r, "a bad digest length");
    }
    for (;;) {
        if ((status = next_line(r)) != 0) return status;
        if (r->line == "entries") break;
        std::string value;
        if (r->line == "option one-file-system" && r->header.roots.empty() &&
            !r->header.one_file_system) {
            r->header.one_file_system = true;
        } else if (r->line.compare(0, 5, "root ") == 0 && r->header.excludes.empty() &&
                   db_unescape(r->line.data() + 5, r->line.size() - 5, &value) && value[0] == '/') {
            r->header.roots.push_back(value);
        } else if (r->line.compare(0, 8, "exclude ") == 0 && !r->header.roots.empty() &&
                   db_unescape(r->line.data() + 8, r->line.size() - 8, &value)) {
            r->header.excludes.push_back(value);
        } else {
            return fail(r, "a bad header line");
        }
    }
    if (r->header.roots.empty()) return fail(r, "no root");
    return DB_OK;
}

int db_read_entry(DbReader *r, Entry *e)
{
    if (r->ended) return 0;
    int status = next_line(r);
    if (status != 0) return status;
    Field f[13];
    const size_t count = split(r->line, f, 13);
    if (f[0].is("end")) return check_end(r, f, count);
    if (count != 13) return fail(r, "an entry without its 13 fields");
    uint64_t root;
    if (!parse_unsigned(f[0], &root) || root >= r->header.roots.size())
        return fail(r, "a bad root index");
    e->root = static_cast<unsigned>(root);
    if (!parse_type(f[1], &e->type)) return fail(r, "a bad type");
    if (!parse_mode(f[2], &e->mode)) return fail(r, "a bad mode");
    if (!parse_unsigned(f[3], &e->uid) || !parse_unsigned(f[4], &e->gid) ||
        !parse_unsigned(f[5], &e->size) || !parse_signed(f[6], &e->mtime_ns) ||
        !parse_unsigned(f[7], &e->nlink) || !parse_unsigned(f[8], &e->rdev))
        return fail(r, "a bad number");
    e->has_xattrs = e->capabilities = false;
    memset(e->xattrs, 0, sizeof e->xattrs);
    if (!f[9].is("-")) {
        if (f[9].n < 2 || (memcmp(f[9].p, "x:", 2) != 0 && memcmp(f[9].p, "c:", 2) != 0) ||
            !parse_hex(Field{f[9].p + 2, f[9].n - 2}, e->xattrs, XATTR_DIGEST_SIZE))
            return fail(r, "a bad attribute digest");
        e->has_xattrs = true;
        e->capabilities = f[9].p[0] == 'c';
    }
    e->content = CONTENT_NONE;
    memset(e->digest, 0, sizeof e->digest);
    e->error = 0;
    if (f[10].is("?")) {
        e->content = CONTENT_UNKNOWN;
    } else if (f[10].is("!")) {
        if (e->type != 'd') return fail(r, "a bad content digest");
        e->content = CONTENT_OUTSIDE;
    } else if (!f[10].is("-")) {
        if (e->type != 'f' ||
            !parse_hex(f[10], e->digest, static_cast<size_t>(r->header.digest_size)))
            return fail(r, "a bad content digest");
        e->content = CONTENT_KNOWN;
    }
    if (!db_unescape(f[11].p, f[11].n, &e->path) || e->path[0] != '/') return fail(r, "a bad path");
    e->target.clear();
    if (e->type == 'l') {
        if (!db_unescape(f[12].p, f[12].n, &e->target)) return fail(r, "a bad target");
    } else if (!f[12].is("-")) {
        return fail(r, "a target on an entry that is no link");
    }
    /* Each root's entries lie at or below it, in the walk's order. */
    const std::string &base = r->header.roots[e->root];
    if (e->path != base && !tree_path_inside(e->path, base))
        return fail(r, "an entry outside its root");
    if (r->count > 0 &&
        (e->root < r->previous_root ||
         (e->root == r->previous_root && tree_path_compare(r->previous, e->path) >= 0)))
        return fail(r, "an entry out of order");
    r->previous = e->path;
    r->previous_root = e->root;
    r->count++;
    return 1;
}

int db_verify(FILE *in, const std::string &name, const DbKey &key, const std::string &expect,
              uint8_t seal[DB_SEAL_SIZE], std::string *error)
{
    DbReader r;
    int status = db_read_begin(&r, in, name, key);
    Entry e;
    if (status == DB_OK)
        while ((status = db_read_entry(&r, &e)) == 1) {
        }
    if (status != 0) {
        *error = r.error;
        return status;
    }
    memcpy(seal, r.digest, DB_SEAL_SIZE);
    if (key.present) {
        uint8_t mac[DB_SEAL_SIZE];
        GOSTR3411_2012_HMAC_Final(&r.mac, mac);
        if (!r.has_mac) {
            *error = std::to_string(r.line_number) + ": sealed without a key";
            return DB_AUTH_FAILED;
        }
        if (memcmp(mac, r.mac_value, DB_SEAL_SIZE) != 0) {
            *error = std::to_string(r.line_number) + ": the MAC does not match: a wrong key, or "
                                                     "the database was rewritten";
            return DB_AUTH_FAILED;
        }
    }
    if (!expect.empty() && expect != db_hex(r.digest, DB_SEAL_SIZE)) {
        *error = std::to_string(r.line_number) + ": the digest is not the one expected";
        return DB_AUTH_FAILED;
    }
    if (fseek(in, 0, SEEK_SET) != 0) {
        *error = strerror(errno);
        return DB_READ_FAILED;
    }
    return DB_OK;
}

namespace {

/* Whether the database's last line holds the digest (and with key the MAC)
 * of every byte before it, and the digest is expect when that is given:
 * found by hashing its bytes, without reading its entries. */
bool sealed_as_said(FILE *in, const DbKey &key, const std::string &expect,
                    uint8_t seal[DB_SEAL_SIZE])
{
    const int fd = fileno(in);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 2) return false;
    const off_t size = st.st_size;
    /* The last line is short: a count, a digest and a MAC. */
    char tail[512];
    const size_t n = static_cast<size_t>(std::min<off_t>(size, sizeof tail));
    if (pread(fd, tail, n, size - static_cast<off_t>(n)) != static_cast<ssize_t>(n) ||
        tail[n - 1] != '\n')
        return false;
    size_t at = n - 1;
    while (at > 0 && tail[at - 1] != '\n') at--;
    if (at == 0) return false;
    const off_t end_start = size - static_cast<off_t>(n - at);
    const std::string last(tail + at, n - 1 - at);
    Field f[6];
    const size_t fields = split(last, f, 5);
    uint64_t count;
    bool has_mac;
    uint8_t digest[DB_SEAL_SIZE], mac_value[DB_SEAL_SIZE];
    if (!f[0].is("end") ||
        parse_last_line(f, fields, &count, digest, &has_mac, mac_value) != nullptr ||
        (key.present && !has_mac) || (!expect.empty() && expect != db_hex(digest, DB_SEAL_SIZE)))
        return false;

    GOSTR3411_2012_CTX context;
    GOSTR3411_2012_HMAC_CTX mac;
    hash_init(&context, 64);
    if (key.present)
        GOSTR3411_2012_HMAC_Init(&mac, reinterpret_cast<const uint8_t *>(key.bytes.data()),
                                 key.bytes.size(), 64);
    std::vector<char> buffer(size_t{1} << 16);
    for (off_t done = 0; done < end_start;) {
        const size_t want = static_cast<size_t>(
            std::min<off_t>(end_start - done, static_cast<off_t>(buffer.size())));
        const ssize_t got = pread(fd, buffer.data(), want, done);
        if (got <= 0) return false;
        seal_bytes(&context, &mac, key.present, buffer.data(), static_cast<size_t>(got));
        done += got;
    }
    uint8_t computed[DB_SEAL_SIZE];
    GOSTR3411_2012_Final(&context, computed);
    if (memcmp(computed, digest, DB_SEAL_SIZE) != 0) return false;
    if (key.present) {
        GOSTR3411_2012_HMAC_Final(&mac, computed);
        if (memcmp(computed, mac_value, DB_SEAL_SIZE) != 0) return false;
    }
    memcpy(seal, digest, DB_SEAL_SIZE);
    return true;
}

} // namespace

int db_authenticate(FILE *in, const std::string &name, const DbKey &key, const std::string &expect,
                    uint8_t seal[DB_SEAL_SIZE], std::string *error)
{
    if (sealed_as_said(in, key, expect, seal)) return DB_OK;
    /* Read whole, to name the line at fault. */
    return db_verify(in, name, key, expect, seal, error);
}
