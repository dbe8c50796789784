/* treeaudit's database reader over any file: it never fails without a one-line
 * "LINE: reason" whose line is one the file has (or the one after its last);
 * a key changes nothing but the MAC's verdict; reading entry by entry stops
 * exactly where db_verify does, with the same message; and what it accepts,
 * written again, gives the very lines it read (one spelling per value, but
 * for the bare "-" that same_line lets through).
 * A database db_verify accepts passes again against its own digest and fails
 * against any other, and leaves the file at its start. db_authenticate gives
 * db_verify's verdict and message, but may accept a database sealed right
 * whose entries db_read_entry then refuses.
 *
 * Input: the database file, whole. A valid one needs the right digest on its
 * last line, so mostly the header and entry lines are explored; the committed
 * seeds are databases treeaudit wrote (their key, where keyed, is kKey). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "database.h"

static void check(bool ok)
{
    if (!ok) abort();
}

static const char kKey[] = "treeaudit-fuzz-key";

/* The file as a stream with a descriptor, as treeaudit opens one; nullptr
 * only when the system refuses. */
static FILE *open_input(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("db", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *in = fdopen(fd, "r");
    if (in == nullptr) close(fd);
    return in;
}

/* "N: reason" on one line, N from 1 to one past the file's line count. */
static void check_message(const std::string &error, unsigned long lines)
{
    size_t digits = 0;
    while (digits < error.size() && error[digits] >= '0' && error[digits] <= '9') digits++;
    check(digits > 0 && digits <= 20 && error[0] != '0');
    check(error.compare(digits, 2, ": ") == 0 && error.size() > digits + 2);
    check(error.find('\n') == std::string::npos);
    const unsigned long long line = strtoull(error.substr(0, digits).c_str(), nullptr, 10);
    check(line >= 1 && line <= lines + 1);
}

/* What the writer gives for these values equals what was read, but for the
 * one spelling the reader also takes: a bare "-" as a whole name field where
 * a "-" is meant (a glob or a link's target), which the writer spells \x2d. */
static bool same_line(const std::string &written, const uint8_t *read, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(read), size);
    if (written == text) return true;
    static const std::string escaped = " \\x2d\n";
    return written.size() >= escaped.size() &&
           written.compare(written.size() - escaped.size(), escaped.size(), escaped) == 0 &&
           text == written.substr(0, written.size() - escaped.size()) + " -\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Where each line ends: the reader reads ahead, so its place in the file
     * is found from its line number. */
    std::vector<size_t> ends;
    for (size_t i = 0; i < size; i++)
        if (data[i] == '\n') ends.push_back(i + 1);
    const unsigned long lines = ends.size();

    DbKey none;
    DbKey key;
    key.present = true;
    key.bytes = kKey;

    /* The whole file, without a key and with one. */
    FILE *in = open_input(data, size);
    if (in == nullptr) return 0;
    uint8_t seal[DB_SEAL_SIZE];
    std::string error;
    const int plain = db_verify(in, "db", none, "", seal, &error);
    check(plain == DB_OK || plain == DB_DAMAGED);
    if (plain != DB_OK) check_message(error, lines);
    if (plain == DB_OK) check(ftell(in) == 0);
    const std::string plain_error = error;

    rewind(in);
    uint8_t keyed_seal[DB_SEAL_SIZE];
    std::string keyed_error;
    const int keyed = db_verify(in, "db", key, "", keyed_seal, &keyed_error);
    if (plain == DB_DAMAGED) {
        check(keyed == DB_DAMAGED && keyed_error == plain_error);
    } else {
        check(keyed == DB_OK || keyed == DB_AUTH_FAILED);
        if (keyed == DB_OK)
            check(memcmp(seal, keyed_seal, DB_SEAL_SIZE) == 0);
        else
            check_message(keyed_error, lines);
    }

    if (plain == DB_OK) {
        /* Its own digest is the one expected; any other is not. */
        const std::string own = db_hex(seal, DB_SEAL_SIZE);
        rewind(in);
        error.clear();
        check(db_verify(in, "db", none, own, keyed_seal, &error) == DB_OK);
        std::string other = own;
        other[size % other.size()] = other[size % other.size()] == '0' ? '1' : '0';
        rewind(in);
        check(db_verify(in, "db", none, other, keyed_seal, &error) == DB_AUTH_FAILED);
        check_message(error, lines);
    }

    /* The seal alone: db_verify's verdict, or a database sealed right that
     * reading its entries will refuse. */
    for (const DbKey *k : {&none, &key}) {
        rewind(in);
        uint8_t auth_seal[DB_SEAL_SIZE];
        std::string auth_error;
        const int auth = db_authenticate(in, "db", *k, "", auth_seal, &auth_error);
        const int verdict = k == &none ? plain : keyed;
        if (auth == DB_OK) {
            check(verdict == DB_OK || plain == DB_DAMAGED);
            if (verdict == DB_OK) check(memcmp(auth_seal, seal, DB_SEAL_SIZE) == 0);
        } else {
            check(auth == verdict && auth_error == (k == &none ? plain_error : keyed_error));
        }
    }

    /* Entry by entry, each line read written again beside it. */
    rewind(in);
    DbReader r;
    int status = db_read_begin(&r, in, "db", none);
    check(status == DB_OK || status == DB_DAMAGED);
    char *written = nullptr;
    size_t written_size = 0;
    FILE *out = open_memstream(&written, &written_size);
    check(out != nullptr);
    DbWriter w;
    if (status == DB_OK) {
        check(r.line_number >= 1 && r.line_number <= lines);
        const long header_end = static_cast<long>(ends[r.line_number - 1]);
        db_write_begin(&w, out, r.header, none);
        check(fflush(out) == 0);
        /* Header lines one by one, a bare "-" glob allowed for its \x2d. */
        size_t at = 0, from = 0;
        while (at < written_size) {
            const size_t end = static_cast<size_t>(
                static_cast<const char *>(memchr(written + at, '\n', written_size - at)) - written +
                1);
            const uint8_t *line = data + from;
            const size_t left = static_cast<size_t>(header_end) - from;
            const uint8_t *feed = static_cast<const uint8_t *>(memchr(line, '\n', left));
            check(feed != nullptr);
            const size_t length = static_cast<size_t>(feed - line) + 1;
            check(same_line(std::string(written + at, end - at), line, length));
            at = end;
            from += length;
        }
        check(from == static_cast<size_t>(header_end));

        Entry e;
        long before = header_end;
        while ((status = db_read_entry(&r, &e)) == 1) {
            check(r.line_number <= lines);
            const long after = static_cast<long>(ends[r.line_number - 1]);
            check(after > before);
            const size_t mark = written_size;
            db_write_entry(&w, e);
            check(fflush(out) == 0);
            check(same_line(std::string(written + mark, written_size - mark), data + before,
                            static_cast<size_t>(after - before)));
            before = after;
        }
        check(status == 0 || status == DB_DAMAGED);
        if (status == 0) {
            check(r.ended && r.count == w.count);
            check(db_read_entry(&r, &e) == 0);
        }
    }
    fclose(out);
    free(written);
    /* Reading by entries ends as db_verify's reading does. */
    check((status == 0) == (plain == DB_OK));
    if (status != 0) check(r.error == plain_error);
    fclose(in);
    return 0;
}
