/*
 * treeaudit: records a tree (an installation) in a database, and later tells
 * what was added, removed, moved or changed in it, with GOST R 34.11-2012.
 *   treeaudit init    [-l 256|512] [-j N] [--exclude GLOB]... [--one-file-system]
 *                     [--key FILE] -o DB ROOT...
 *   treeaudit check   [--key FILE] [--expect HEX] [--json] [--summary] [-j N]
 *                     [--root PREFIX] [-o NEWDB] DB
 *   treeaudit compare [--key FILE] [--json] [--summary] OLD NEW
 *   treeaudit verify  [--key FILE] [--expect HEX] DB
 *   treeaudit list    DB
 */
#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "database.h"
#include "diff.h"
#include "names.h"
#include "safe_place.h"
#include "safe_read.h"
#include "scan.h"

namespace {

const char kProgram[] = "treeaudit";

/* Exit statuses when no valid audit was produced. */
enum {
    STATUS_USAGE = 64,
    STATUS_DAMAGED = 65,
    STATUS_AUTH = 66,
    STATUS_FAILURE = 70,
};

struct Args {
    std::string command;
    int digest_size = 32;
    unsigned jobs = 0;
    std::vector<std::string> excludes;
    bool one_file_system = false;
    std::string key_file, expect, root_prefix, output;
    bool json = false, summary = false;
    std::vector<std::string> operands;
};

void say(const std::string &text)
{
    fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

int usage_error(const std::string &text)
{
    say(text);
    fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return STATUS_USAGE;
}

void print_help()
{
    printf("Usage: %s init [-l 256|512] [-j N] [--exclude GLOB]... [--one-file-system]\n"
           "                      [--key FILE] -o DB ROOT...\n"
           "  or:  %s check [--key FILE] [--expect HEX] [--json] [--summary] [-j N]\n"
           "                      [--root PREFIX] [-o NEWDB] DB\n"
           "  or:  %s compare [--key FILE] [--json] [--summary] OLD NEW\n"
           "  or:  %s verify [--key FILE] [--expect HEX] DB\n"
           "  or:  %s list DB\n"
           "Record a tree in a database sealed with GOST R 34.11-2012, and later report\n"
           "what was added, removed, moved or changed in it, one line per difference.\n"
           "\n"
           "Exit status: a sum of 1 added, 2 removed, 4 content, 8 meta, type or target,\n"
           "16 moved, 32 unreadable (0: nothing differs and everything was read);\n"
           "64 usage, 65 a damaged database, 66 authentication failed, 70 other failures.\n"
           "See treeaudit(1) and treeaudit(5).\n",
           kProgram, kProgram, kProgram, kProgram, kProgram);
}

bool parse_jobs(const char *text, unsigned *jobs)
{
    char *end;
    errno = 0;
    const unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || end == text || v == 0 || v > 256 || text[0] == '-')
        return false;
    *jobs = static_cast<unsigned>(v);
    return true;
}

/* Options as each command takes them; returns 0 or an exit status. */
int parse(int argc, char **argv, Args *a)
{
    if (argc < 2) return usage_error("a command is needed: init, check, compare, verify or list");
    a->command = argv[1];
    if (a->command == "--help") {
        print_help();
        return -1;
    }
    if (a->command == "--version") {
        printf("%s %s\n", kProgram, TREEAUDIT_VERSION);
        return -1;
    }
    const std::string c = a->command;
    if (c != "init" && c != "check" && c != "compare" && c != "verify" && c != "list")
        return usage_error("unknown command '" + c + "'");
    bool options_end = false;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            a->operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        const bool in_init = c == "init", in_check = c == "check";
        const char *v = nullptr;
        if (arg == "--help") {
            print_help();
            return -1;
        } else if (arg == "-l" && in_init) {
            if ((v = value("-l")) == nullptr) return usage_error("-l needs 256 or 512");
            if (strcmp(v, "256") == 0) {
                a->digest_size = 32;
            } else if (strcmp(v, "512") == 0) {
                a->digest_size = 64;
            } else {
                return usage_error(std::string("invalid length '") + v + "' (256 or 512)");
            }
        } else if (arg == "-j" && (in_init || in_check)) {
            if ((v = value("-j")) == nullptr || !parse_jobs(v, &a->jobs))
                return usage_error("-j needs a count of threads from 1 to 256");
        } else if (arg == "--exclude" && in_init) {
            if ((v = value("--exclude")) == nullptr || v[0] != '/')
                return usage_error("--exclude needs a pattern of absolute paths");
            a->excludes.push_back(v);
        } else if (arg == "--one-file-system" && in_init) {
            a->one_file_system = true;
        } else if (arg == "--key" && c != "list") {
            if ((v = value("--key")) == nullptr) return usage_error("--key needs a file");
            a->key_file = v;
        } else if (arg == "--expect" && (in_check || c == "verify")) {
            if ((v = value("--expect")) == nullptr) return usage_error("--expect needs a digest");
            std::string hex = v;
            for (char &ch : hex)
                if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
            if (hex.size() != 2 * DB_SEAL_SIZE ||
                hex.find_first_not_of("0123456789abcdef") != std::string::npos)
                return usage_error("--expect needs the 128 hex digits of a database's digest");
            a->expect = hex;
        } else if (arg == "--json" && (in_check || c == "compare")) {
            a->json = true;
        } else if (arg == "--summary" && (in_check || c == "compare")) {
            a->summary = true;
        } else if (arg == "--root" && in_check) {
            if ((v = value("--root")) == nullptr || v[0] == '\0')
                return usage_error("--root needs a folder");
            a->root_prefix = v;
            while (a->root_prefix.size() > 1 && a->root_prefix.back() == '/')
                a->root_prefix.pop_back();
            if (a->root_prefix == "/") a->root_prefix.clear();
        } else if (arg == "-o" && (in_init || in_check)) {
            if ((v = value("-o")) == nullptr || v[0] == '\0') return usage_error("-o needs a file");
            a->output = v;
        } else {
            std::string text = "unknown option '";
            text += arg;
            text += "' for ";
            text += c;
            return usage_error(text);
        }
    }
    const size_t n = a->operands.size();
    if (c == "init" && (a->output.empty() || n == 0))
        return usage_error("init needs -o DB and at least one ROOT");
    if ((c == "check" || c == "verify" || c == "list") && n != 1)
        return usage_error(c + " needs one database");
    if (c == "compare" && n != 2) return usage_error("compare needs two databases");
    if (a->jobs == 0) {
        const unsigned hw = std::thread::hardware_concurrency();
        a->jobs = hw == 0 ? 1 : hw > 8 ? 8 : hw;
    }
    return 0;
}

/* A root as recorded: absolute, without empty or "." components (".." is
 * kept: only the walk may follow what it leads through). */
std::string absolute(const std::string &path)
{
    std::string p = path;
    if (p[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return std::string();
        p = std::string(cwd) + "/" + p;
    }
    std::string out;
    size_t start = 0;
    while (start <= p.size()) {
        size_t slash = p.find('/', start);
        if (slash == std::string::npos) slash = p.size();
        const std::string part = p.substr(start, slash - start);
        if (!part.empty() && part != ".") out += "/" + part;
        start = slash + 1;
    }
    return out.empty() ? "/" : out;
}

/* Opens a file to read as root reads where other users have a hand in the
 * path (safe_read.h): a regular file only, so that a FIFO or device given in
 * its place neither hangs nor feeds the reader. */
FILE *open_regular(const std::string &path, std::string *error, struct stat *st)
{
    char why[SAFE_PLACE_PATH_SIZE + 128];
    FILE *f = safe_read_open(path.c_str(), why, sizeof why);
    if (f == nullptr) {
        *error = why[0] != '\0' ? std::string(why) : std::string(strerror(errno));
        return nullptr;
    }
    if (fstat(fileno(f), st) != 0) {
        *error = strerror(errno);
        fclose(f);
        return nullptr;
    }
    return f;
}

/* Reads the key; refuses one that users other than its owner may read. */
int read_key(const std::string &path, DbKey *key)
{
    if (path.empty()) return 0;
    std::string error;
    struct stat st;
    FILE *f = open_regular(path, &error, &st);
    if (f == nullptr) {
        say(quote_name(path) + ": " + error);
        return STATUS_FAILURE;
    }
    if ((st.st_mode & 077) != 0) {
        fclose(f);
        say(quote_name(path) + ": a key that other users may read or change is refused "
                               "(chmod 600 it)");
        return STATUS_FAILURE;
    }
    std::string bytes;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0 && bytes.size() <= (1u << 20))
        bytes.append(buffer, got);
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed || bytes.empty() || bytes.size() > (1u << 20)) {
        say(quote_name(path) + ": " +
            (failed ? std::string(strerror(EIO)) : "a key must hold 1 byte to 1 MiB"));
        return STATUS_FAILURE;
    }
    key->present = true;
    key->bytes = bytes;
    return 0;
}

int status_of_read(int status)
{
    return status == DB_AUTH_FAILED   ? STATUS_AUTH
           : status == DB_READ_FAILED ? STATUS_FAILURE
                                      : STATUS_DAMAGED;
}

/* Opens and checks a database, whole or (streamed, for reading entries
 * through the checks of db_read_entry) by its seal alone; returns it open at
 * its start. */
FILE *open_database(const std::string &path, const DbKey &key, const std::string &expect,
                    bool streamed, uint8_t seal[DB_SEAL_SIZE], int *status)
{
    std::string error;
    struct stat st;
    FILE *f = open_regular(path, &error, &st);
    if (f == nullptr) {
        say(quote_name(path) + ": " + error);
        *status = STATUS_FAILURE;
        return nullptr;
    }
    const int got = streamed ? db_authenticate(f, path, key, expect, seal, &error)
                             : db_verify(f, path, key, expect, seal, &error);
    if (got != DB_OK) {
        say(quote_name(path) + ":" + error);
        fclose(f);
        *status = status_of_read(got);
        return nullptr;
    }
    *status = 0;
    return f;
}

/* Writing a database through the safe place ------------------------------ */

struct Output {
    DbHeader header;
    DbKey key;
    uint8_t seal[DB_SEAL_SIZE] = {0};
    uint64_t count = 0;
    int (*run)(DbWriter *writer, void *context); /* writes the entries */
    void *context;
    ScanOptions *scan = nullptr; /* the walk that run makes, told of the file written */
    int run_status = 0;
};

int produce(FILE *f, void *context)
{
    Output *o = static_cast<Output *>(context);
    /* The database in the making may lie in the tree: the walk leaves it out. */
    struct stat st;
    if (o->scan != nullptr && fstat(fileno(f), &st) == 0)
        o->scan->own.emplace_back(static_cast<uint64_t>(st.st_dev),
                                  static_cast<uint64_t>(st.st_ino));
    DbWriter w;
    db_write_begin(&w, f, o->header, o->key);
    o->run_status = o->run(&w, o->context);
    int status = o->run_status < 0 ? o->run_status : db_write_end(&w, o->seal);
    o->count = w.count;
    if (o->run_status > 0 && status == 0) status = -ECANCELED;
    return status;
}

/* Writes the database at path; without a place (it could not be resolved)
 * the entries still run through run. Returns 0 or -errno. */
int write_database(const std::string &path, Output *o, safe_place *place)
{
    if (place == nullptr) {
        /* Nothing written: the audit runs all the same. */
        DbWriter w;
        db_write_begin(&w, nullptr, o->header, o->key);
        o->run_status = o->run(&w, o->context);
        return -EACCES;
    }
    safe_place_file file{};
    file.mode = 0600;
    file.keep_owner = false;
    file.produce = produce;
    file.context = o;
    safe_place_result result;
    char why[SAFE_PLACE_PATH_SIZE + 128];
    const int status = safe_place_write(place, nullptr, 0, &file, &result, why, sizeof why);
    if (why[0] != '\0') say(why);
    (void)path;
    return status;
}

int resolve_output(const std::string &path, safe_place *place)
{
    char why[SAFE_PLACE_PATH_SIZE + 128];
    const int status = safe_place_resolve(path.c_str(), 0, place, why, sizeof why);
    if (status != 0) {
        if (why[0] != '\0') say(why);
        say(quote_name(path) + ": " + strerror(-status));
    }
    return status;
}

void tell_seal(const std::string &path, const Output &o)
{
    say(quote_name(path) + ": " + std::to_string(o.count) + (o.count == 1 ? " entry" : " entries") +
        "; the digest on its last line, to keep elsewhere: " + db_hex(o.seal, DB_SEAL_SIZE));
}

/* init ----------------------------------------------------------------- */

struct InitRun {
    ScanOptions scan;
    DbWriter *writer = nullptr;
    Diff report; /* for the lines of what could not be read */
    std::string error;
};

int init_sink(const Entry &e, void *context)
{
    InitRun *r = static_cast<InitRun *>(context);
    db_write_entry(r->writer, e);
    if (e.error != 0) report_unreadable(&r->report, e);
    return 0;
}

int init_entries(DbWriter *w, void *context)
{
    InitRun *r = static_cast<InitRun *>(context);
    r->writer = w;
    return scan(r->scan, init_sink, r, &r->error);
}

int run_init(const Args &a, const DbKey &key)
{
    InitRun r;
    r.scan.digest_size = a.digest_size;
    r.scan.jobs = a.jobs;
    r.scan.one_file_system = a.one_file_system;
    r.scan.excludes = a.excludes;
    for (const std::string &root : a.operands) {
        const std::string p = absolute(root);
        struct stat st;
        /* A mistyped root would record nothing, and later miss nothing. */
        if (p.empty() || lstat(p.c_str(), &st) != 0) {
            say(quote_name(root) + ": " + strerror(errno));
            return STATUS_FAILURE;
        }
        r.scan.roots.push_back(p);
    }
    Output o;
    o.header.digest_size = a.digest_size;
    o.header.one_file_system = a.one_file_system;
    o.header.roots = r.scan.roots;
    o.header.excludes = a.excludes;
    o.key = key;
    o.run = init_entries;
    o.context = &r;
    o.scan = &r.scan;
    safe_place place;
    if (resolve_output(a.output, &place) != 0) return STATUS_FAILURE;
    const int status = write_database(a.output, &o, &place);
    safe_place_release(&place);
    fflush(stdout);
    if (!r.error.empty()) say(r.error);
    if (status != 0 || o.run_status != 0) {
        if (status != 0 && status != -ECANCELED)
            say(quote_name(a.output) + ": " + strerror(-status));
        return STATUS_FAILURE;
    }
    tell_seal(a.output, o);
    return static_cast<int>(r.report.status);
}

/* check and compare ---------------------------------------------------- */

struct CheckRun {
    ScanOptions scan;
    Diff diff;
    DbWriter *writer = nullptr;
    std::string error;
};

int check_sink(const Entry &e, void *context)
{
    CheckRun *r = static_cast<CheckRun *>(context);
    if (r->writer != nullptr) db_write_entry(r->writer, e);
    return diff_new(&r->diff, e) != 0 ? 1 : 0;
}

int check_entries(DbWriter *w, void *context)
{
    CheckRun *r = static_cast<CheckRun *>(context);
    r->writer = w;
    const int status = scan(r->scan, check_sink, r, &r->error);
    return status;
}

int finish_report(Diff *d, DbReader *old)
{
    if (diff_end(d) != 0 || d->read_status != 0) {
        say(quote_name(old->name) + ":" + old->error);
        return status_of_read(d->read_status);
    }
    fflush(stdout);
    if (ferror(stdout)) {
        say(std::string("write error: ") + strerror(errno));
        return STATUS_FAILURE;
    }
    return static_cast<int>(d->status);
}

int run_check(const Args &a, const DbKey &key)
{
    uint8_t seal[DB_SEAL_SIZE];
    int status;
    FILE *in = open_database(a.operands[0], key, a.expect, true, seal, &status);
    if (in == nullptr) return status;
    DbReader old;
    status = db_read_begin(&old, in, a.operands[0], key, seal);
    CheckRun r;
    if (status != DB_OK) {
        say(quote_name(a.operands[0]) + ":" + old.error);
        fclose(in);
        return status_of_read(status);
    }
    r.scan.digest_size = old.header.digest_size;
    r.scan.jobs = a.jobs;
    r.scan.one_file_system = old.header.one_file_system;
    r.scan.roots = old.header.roots;
    r.scan.excludes = old.header.excludes;
    r.scan.prefix = a.root_prefix;
    struct stat st;
    if (fstat(fileno(in), &st) == 0)
        r.scan.own.emplace_back(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
    r.diff.json = a.json;
    r.diff.summary = a.summary;
    diff_begin(&r.diff, &old);
    int result;
    if (a.output.empty()) {
        const int got = scan(r.scan, check_sink, &r, &r.error);
        if (!r.error.empty()) say(r.error);
        /* A walk cut short would make the rest look removed. */
        result = got < 0 ? STATUS_FAILURE : finish_report(&r.diff, &old);
    } else {
        Output o;
        o.header = old.header;
        o.key = key;
        o.run = check_entries;
        o.context = &r;
        o.scan = &r.scan;
        safe_place place;
        const bool placed = resolve_output(a.output, &place) == 0;
        status = write_database(a.output, &o, placed ? &place : nullptr);
        if (placed) safe_place_release(&place);
        if (!r.error.empty()) say(r.error);
        result = o.run_status < 0 ? STATUS_FAILURE : finish_report(&r.diff, &old);
        if (result < STATUS_USAGE && (status != 0 || o.run_status != 0)) {
            if (placed && status != -ECANCELED)
                say(quote_name(a.output) + ": " + strerror(-status));
            result = STATUS_FAILURE;
        } else if (result < STATUS_USAGE) {
            tell_seal(a.output, o);
        }
    }
    fclose(in);
    return result;
}

int run_compare(const Args &a, const DbKey &key)
{
    uint8_t seal[DB_SEAL_SIZE];
    int status;
    FILE *old_in = open_database(a.operands[0], key, std::string(), true, seal, &status);
    if (old_in == nullptr) return status;
    uint8_t new_seal[DB_SEAL_SIZE];
    FILE *new_in = open_database(a.operands[1], key, std::string(), true, new_seal, &status);
    if (new_in == nullptr) {
        fclose(old_in);
        return status;
    }
    DbReader old_r, new_r;
    int result = 0;
    const bool old_read =
        (status = db_read_begin(&old_r, old_in, a.operands[0], key, seal)) == DB_OK;
    if (!old_read ||
        (status = db_read_begin(&new_r, new_in, a.operands[1], key, new_seal)) != DB_OK) {
        say(old_read ? quote_name(a.operands[1]) + ":" + new_r.error
                     : quote_name(a.operands[0]) + ":" + old_r.error);
        result = status_of_read(status);
    } else if (old_r.header.digest_size != new_r.header.digest_size) {
        say("the two databases hold digests of different lengths");
        result = STATUS_FAILURE;
    } else if (old_r.header.roots != new_r.header.roots) {
        say("the two databases record different roots");
        result = STATUS_FAILURE;
    } else {
        Diff d;
        d.json = a.json;
        d.summary = a.summary;
        diff_begin(&d, &old_r);
        Entry e;
        while ((status = db_read_entry(&new_r, &e)) == 1)
            if (diff_new(&d, e) != 0) break;
        if (status < 0) {
            say(quote_name(a.operands[1]) + ":" + new_r.error);
            diff_end(&d);
            result = status_of_read(status);
        } else {
            result = finish_report(&d, &old_r);
        }
    }
    fclose(old_in);
    fclose(new_in);
    return result;
}

int run_verify(const Args &a, const DbKey &key)
{
    uint8_t seal[DB_SEAL_SIZE];
    int status;
    FILE *in = open_database(a.operands[0], key, a.expect, false, seal, &status);
    if (in == nullptr) return status;
    fclose(in);
    say(quote_name(a.operands[0]) +
        ": sound; the digest on its last line: " + db_hex(seal, DB_SEAL_SIZE));
    return 0;
}

int run_list(const Args &a)
{
    uint8_t seal[DB_SEAL_SIZE];
    int status;
    const DbKey none;
    FILE *in = open_database(a.operands[0], none, std::string(), false, seal, &status);
    if (in == nullptr) return status;
    DbReader r;
    status = db_read_begin(&r, in, a.operands[0], none);
    Entry e;
    while (status >= DB_OK && (status = db_read_entry(&r, &e)) == 1) {
        if (e.type != 'f' || e.content != CONTENT_KNOWN) continue;
        const std::string hex = db_hex(e.digest, static_cast<size_t>(r.header.digest_size));
        std::string name;
        const bool escaped = escape_name(e.path, true, &name);
        if (r.header.digest_size == 64) {
            /* The tagged form names the length, so "streebogsum -c" needs no -l. */
            printf("%sGOST12-512 (%s) = %s\n", escaped ? "\\" : "", name.c_str(), hex.c_str());
        } else {
            printf("%s%s  %s\n", escaped ? "\\" : "", hex.c_str(), name.c_str());
        }
    }
    fclose(in);
    if (status < 0) {
        say(quote_name(a.operands[0]) + ":" + r.error);
        return status_of_read(status);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        say(std::string("write error: ") + strerror(errno));
        return STATUS_FAILURE;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    names_init_locale(setlocale(LC_ALL, "") != nullptr);
    Args a;
    const int parsed = parse(argc, argv, &a);
    if (parsed < 0) return fflush(stdout) == 0 && !ferror(stdout) ? 0 : STATUS_FAILURE;
    if (parsed > 0) return parsed;
    DbKey key;
    const int key_status = read_key(a.key_file, &key);
    if (key_status != 0) return key_status;
    try {
        if (a.command == "init") return run_init(a, key);
        if (a.command == "check") return run_check(a, key);
        if (a.command == "compare") return run_compare(a, key);
        if (a.command == "verify") return run_verify(a, key);
        return run_list(a);
    } catch (const std::bad_alloc &) {
        say("out of memory");
        return STATUS_FAILURE;
    }
}
