/*
 * treeaudit's database: a line-oriented text file, every line ending in a
 * line feed, fields separated by one blank.
 *
 *   treeaudit-db 1
 *   digest 256|512
 *   option one-file-system            (only when given; options to come add lines)
 *   root PATH                         (one per root, in the order walked)
 *   exclude GLOB                      (one per --exclude, none or more)
 *   entries
 *   ROOT TYPE MODE UID GID SIZE MTIME LINKS RDEV XATTRS CONTENT PATH TARGET
 *   ...
 *   end COUNT DIGEST [hmac MAC]
 *
 * An entry: ROOT the index of its root (from 0); TYPE one of f d l p s c b ?;
 * MODE four octal digits; UID, GID, SIZE, LINKS, RDEV decimal; MTIME
 * nanoseconds since the epoch, decimal, signed; XATTRS "-" (none) or "x:" or,
 * when file capabilities are among them, "c:", then the hex digest of the
 * attributes; CONTENT "-", "?" (not read: a file that could not be read, a
 * folder that could not be listed), "!" (a folder not entered: a kernel or
 * FUSE file system, or with one-file-system another file system) or the hex
 * digest of a regular file; TARGET a link's target, else "-". Entries come in the walk's order:
 * by root, then by path (tree_path_compare), each path once.
 *
 * Every name field (PATH, TARGET, roots, excludes) is escaped on its own:
 * bytes 0x00-0x20, 0x7f and "\" are written "\xHH", and a field that would
 * read "-" is written "\x2d"; no name can make a blank or a line feed.
 *
 * The last line holds the count of entries and the 512-bit GOST R 34.11-2012
 * digest of every byte before it, in hex; with a key, also HMAC-GOST R
 * 34.11-2012-512 of the same bytes.
 */
#ifndef TREEAUDIT_DATABASE_H
#define TREEAUDIT_DATABASE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "entry.h"
#include "gost_r3411_2012.h"

enum { DB_VERSION = 1, DB_SEAL_SIZE = 64 };

/* What the header holds. */
struct DbHeader {
    int digest_size = 32; /* bytes: 32 or 64 */
    bool one_file_system = false;
    std::vector<std::string> roots;
    std::vector<std::string> excludes;
};

/* A key for the HMAC, or none. */
struct DbKey {
    bool present = false;
    std::string bytes;
};

/* Writing: lines go to out (unless it is NULL) and into the seal. */
struct DbWriter {
    FILE *out = nullptr;
    GOSTR3411_2012_CTX seal;
    GOSTR3411_2012_HMAC_CTX mac;
    bool keyed = false;
    uint64_t count = 0;
    int digest_size = 32;
    std::string line;
};

void db_write_begin(DbWriter *w, FILE *out, const DbHeader &header, const DbKey &key);
void db_write_entry(DbWriter *w, const Entry &e);
/* Writes the last line; seal receives the digest on it. Returns 0, or -errno
 * when out could not be written. */
int db_write_end(DbWriter *w, uint8_t seal[DB_SEAL_SIZE]);

/* Reading, one entry at a time, from a file read whole once before (see
 * db_verify) so that what is compared has been authenticated. */
struct DbReader {
    FILE *in = nullptr;
    std::string name; /* as messages show it */
    unsigned long line_number = 0;
    DbHeader header;
    GOSTR3411_2012_CTX seal;
    GOSTR3411_2012_HMAC_CTX mac;
    bool keyed = false;
    uint64_t count = 0;
    bool ended = false;
    std::string line;
    std::vector<char> buffer; /* read ahead: lines are found here */
    size_t start = 0;         /* where the next line begins in buffer */
    size_t have = 0;          /* the bytes buffer holds */
    size_t sealed = 0;        /* where the bytes of buffer not yet sealed begin */
    std::string previous;     /* the last entry's path */
    unsigned previous_root = 0;
    std::string error; /* "LINE: reason" after a failure */
    uint8_t digest[DB_SEAL_SIZE] = {0};
    bool has_mac = false;
    uint8_t mac_value[DB_SEAL_SIZE] = {0};
    bool authenticated = false;
    uint8_t authentic[DB_SEAL_SIZE] = {0};
};

/* Statuses of reading. */
enum {
    DB_OK = 0,
    DB_DAMAGED = -1,     /* not a database, cut short, damaged, unknown version */
    DB_AUTH_FAILED = -2, /* the seal is right but the MAC or the expected digest is not */
    DB_READ_FAILED = -3, /* the system could not read it */
};

/* Reads the header. With authentic (the digest db_verify or db_authenticate
 * gave), the last line must hold that digest again, so that the entries read
 * are those that were authenticated even if the file changed since. */
int db_read_begin(DbReader *r, FILE *in, const std::string &name, const DbKey &key,
                  const uint8_t *authentic = nullptr);
/* The next entry: 1 and *e, 0 after the last line (which was checked), or a
 * negative status. */
int db_read_entry(DbReader *r, Entry *e);

/* Reads a whole database from in and checks it: its form, order, count,
 * digest, and with key its MAC, and the digest against expect (lowercase
 * hex) when expect is not empty. Leaves in at its start again. On success
 * seal receives the digest on its last line. */
int db_verify(FILE *in, const std::string &name, const DbKey &key, const std::string &expect,
              uint8_t seal[DB_SEAL_SIZE], std::string *error);

/* As db_verify, for a database about to be read through db_read_entry, which
 * checks its form again: when its last line holds the digest (and with key
 * the MAC) of every byte before it, and the digest is expect when that is
 * given, only those bytes are hashed. Otherwise db_verify reads it whole and
 * names the line at fault. So what only db_read_entry then refuses is a
 * database sealed by someone other than treeaudit. */
int db_authenticate(FILE *in, const std::string &name, const DbKey &key, const std::string &expect,
                    uint8_t seal[DB_SEAL_SIZE], std::string *error);

/* The hex text of bytes. */
std::string db_hex(const uint8_t *bytes, size_t size);

/* The escaping of a name field, and its reverse (false: not a valid field). */
void db_escape(const std::string &name, std::string *out);
bool db_unescape(const char *text, size_t size, std::string *name);

#endif
