/* treeaudit's database: damage and keys are caught before any report, deep
 * trees go in and come back, and its list is streebogsum's. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_process.h"
#include "treeaudit_tree.h"

namespace {

class TreeauditDatabase : public TreeauditTest {
protected:
    void SetUp() override
    {
        TreeauditTest::SetUp();
        build_tree(root_);
    }

    void expect_refused(const ProcessResult &r, int status, const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    /* A key file of the caller's. */
    std::string key(const std::string &name, const std::string &bytes, mode_t mode = 0600)
    {
        std::string path = dir_ + "/" + name;
        write_file(path, bytes);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
};

/* The database of the tree: header lines 1 to 4, the root's entry on line 5,
 * /etc/a.conf on line 7, the last line after every entry. */
const unsigned kLastLine = 4 + kTreeEntries + 1;

struct Damage {
    const char *what;
    std::function<std::string(const std::string &)> damage;
    std::string err; /* after "treeaudit: DB:" */
};

/* Where field k (from 0) of the line starting at line begins. */
size_t field(const std::string &text, size_t line, int k)
{
    for (; k > 0; k--) line = text.find(' ', line) + 1;
    return line;
}

/* The lines before a database's last line, sealed again as anyone can (the
 * key being secret, a MAC can only be kept), with tail added to the last line. */
static std::string sealed_again(const std::string &text, const std::string &tail = "")
{
    const std::string body = text.substr(0, text.rfind("end "));
    ProcessOptions o;
    o.stdin_data = body;
    const ProcessResult sum = run_process(target_command({STREEBOGSUM_BIN, "-l", "512"}), o);
    EXPECT_EQ(sum.status, 0) << sum.err;
    const size_t count = text.rfind("end ") + 4;
    return body + "end " + text.substr(count, text.find(' ', count) - count) + " " +
           sum.out.substr(0, 128) + tail + "\n";
}

/* Damage is found wherever it lies, the line it is on is named, and nothing
 * is reported from a database that is not whole; nor from one sealed again
 * over a line treeaudit does not write. */
TEST_F(TreeauditDatabase, DamageIsRefusedWithItsLine)
{
    const std::string db = db_path("base.db");
    init(db);
    const std::string good = read_file(db);
    const size_t a_conf = good.rfind('\n', good.find(root_ + "/etc/a.conf ")) + 1;
    const size_t type = field(good, a_conf, 1), digit = field(good, a_conf, 11) - 2;
    const Damage kDamage[] = {
        {"a type flipped to another byte", [&](std::string s) { return s[type] ^= 1, s; },
         "7: a bad type"},
        {"a digest digit flipped to another digit",
         [&](std::string s) { return s[digit] = s[digit] == '0' ? '1' : '0', s; },
         std::to_string(kLastLine) + ": the digest does not match: the database is damaged"},
        {"cut short inside an entry", [&](const std::string &s) { return s.substr(0, type); },
         "7: cut short"},
        {"its last line lost", [&](const std::string &s) { return s.substr(0, s.rfind("end ")); },
         std::to_string(kLastLine) + ": cut short: no last line"},
        {"a type flipped, sealed again",
         [&](std::string s) { return s[type] ^= 1, sealed_again(s); }, "7: a bad type"},
    };
    for (const Damage &d : kDamage) {
        SCOPED_TRACE(d.what);
        const std::string bad = db_path("bad.db");
        write_file(bad, d.damage(good));
        ASSERT_NE(read_file(bad), good);
        expect_refused(treeaudit({"check", bad}), 65, "treeaudit: " + bad + ":" + d.err + "\n");
        remove(bad.c_str());
    }
    /* compare names the one at fault, the second as well as the first. */
    const std::string later = db_path("later.db");
    write_file(later, sealed_again("treeaudit-db 2" + good.substr(14)));
    expect_refused(treeaudit({"compare", db, later}), 65,
                   "treeaudit: " + later + ":1: a database of an unknown version\n");
}

/* A key: the database sealed with another, one rewritten and its digest
 * recomputed, and a key file others may read; and the digest that init tells,
 * to be kept elsewhere, against --expect. */
TEST_F(TreeauditDatabase, KeysAndTheExpectedDigest)
{
    const std::string mine = key("mine.key", "the key of this host\n"),
                      theirs = key("theirs.key", "another key\n"),
                      open = key("open.key", "a key all may read\n", 0644);
    const std::string db = db_path("base.db"), other = db_path("other.db");
    init(db, {"--key", mine});
    init(other, {"--key", theirs});
    const std::string digest = last_line_words(db).at(2);
    const std::string last = ":" + std::to_string(kLastLine) + ": ";

    const ProcessResult sound = treeaudit({"verify", "--key", mine, "--expect", digest, db});
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.err,
              "treeaudit: " + db + ": sound; the digest on its last line: " + digest + "\n");
    const ProcessResult clean = treeaudit({"check", "--key", mine, "--expect", digest, db});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out + clean.err, "");

    expect_refused(treeaudit({"check", "--key", mine, other}), 66,
                   "treeaudit: " + other + last +
                       "the MAC does not match: a wrong key, or the database was rewritten\n");
    std::string wrong = digest;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    expect_refused(treeaudit({"check", "--expect", wrong, db}), 66,
                   "treeaudit: " + db + last + "the digest is not the one expected\n");
    expect_refused(treeaudit({"check", "--key", open, db}), 70,
                   "treeaudit: " + open +
                       ": a key that other users may read or change is refused (chmod 600 it)\n");

    /* su made setuid in the database, and its digest made again; the MAC or
     * the digest kept elsewhere tells. */
    std::string text = read_file(db);
    const size_t su = text.rfind('\n', text.find(root_ + "/usr/bin/su ")) + 1;
    text.replace(text.find(" 0644 ", su), 6, " 4755 ");
    const std::string forged = db_path("forged.db");
    write_file(forged, sealed_again(text, " hmac " + last_line_words(db).at(4)));
    const ProcessResult fooled = treeaudit({"check", forged});
    EXPECT_EQ(fooled.out, "meta " + root_ + "/usr/bin/su (mode 4755 -> 0644)\n");
    EXPECT_EQ(fooled.err, "");
    EXPECT_EQ(fooled.status, 8);
    expect_refused(treeaudit({"check", "--key", mine, forged}), 66,
                   "treeaudit: " + forged + last +
                       "the MAC does not match: a wrong key, or the database was rewritten\n");
    expect_refused(treeaudit({"verify", "--expect", digest, forged}), 66,
                   "treeaudit: " + forged + last + "the digest is not the one expected\n");
}

/* A file depth folders below top, reached through the folders' descriptors
 * whatever the length of its path; with make, the folders are made first.
 * Returns the file's path. */
std::string write_deep(const std::string &top, int depth, const std::string &name,
                       const std::string &content, bool make)
{
    std::string path = top;
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && fd >= 0; i++) {
        path += "/" + name;
        const int next = !make || mkdirat(fd, name.c_str(), 0755) == 0
                             ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY)
                             : -1;
        close(fd);
        fd = next;
    }
    EXPECT_GE(fd, 0) << "cannot reach the bottom of " << top;
    const int file = openat(fd, "bottom", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(file);
    close(fd);
    return path + "/bottom";
}

/* treeaudit under a limit of 1024 open files. */
ProcessResult under_ulimit(const std::vector<std::string> &args)
{
    /* The soft limit: under valgrind the hard one is already lower, and a
     * soft limit that cannot be set to 1024 is below it. */
    std::vector<std::string> argv{"sh", "-c", "ulimit -Sn 1024 2>/dev/null; exec \"$0\" \"$@\""};
    std::vector<std::string> program{TREEAUDIT_BIN};
    program.insert(program.end(), args.begin(), args.end());
    for (const std::string &word : target_command(program)) argv.push_back(word);
    ProcessOptions o;
    o.set_env = {{"LC_ALL", "C"}};
    return run_process(argv, o);
}

TEST_F(TreeauditDatabase, AFiveThousandFoldersDeepTreeUnderALowFileLimit)
{
    const std::string deep = dir_ + "/deep", db = db_path("deep.db");
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    const std::string bottom = write_deep(deep, 5000, "d", "first\n", true);
    const ProcessResult init = under_ulimit({"init", "-o", db, deep});
    EXPECT_EQ(init.status, 0) << init.err;
    EXPECT_EQ(init.err, init_message(db));
    EXPECT_EQ(last_line_words(db).at(1), "5002");
    const ProcessResult clean = under_ulimit({"check", db});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out + clean.err, "");
    /* The file at the bottom is read again: a new content there is seen. */
    write_deep(deep, 5000, "d", "second\n", false);
    const ProcessResult changed = under_ulimit({"check", db});
    EXPECT_EQ(changed.status, 4);
    EXPECT_EQ(changed.out, "content " + bottom + "\n");
    EXPECT_EQ(changed.err, "");
    run_process({"rm", "-rf", deep});
}

/* Paths far longer than PATH_MAX: what init writes, check reads back. */
TEST_F(TreeauditDatabase, PathsBeyondPathMaxAreReadBack)
{
    root_ = dir_ + "/long";
    const std::string db = db_path("long.db");
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    write_deep(root_, 400, std::string(100, 'n'), "x\n", true);
    init(db);
    EXPECT_EQ(last_line_words(db).at(1), "402");
    const ProcessResult clean = treeaudit({"check", db});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out + clean.err, "");
    run_process({"rm", "-rf", root_});
}

/* A root that is gone is refused at init and, at check, is all removed; a
 * new baseline without the first root's entries is read back. */
TEST_F(TreeauditDatabase, ARootThatIsGone)
{
    const std::string other = dir_ + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    const ProcessResult missing = treeaudit({"init", "-o", db_path("m.db"), dir_ + "/none", other});
    EXPECT_EQ(missing.status, 70);
    EXPECT_EQ(missing.err, "treeaudit: " + dir_ + "/none: No such file or directory\n");
    const std::string db = db_path("two.db"), next = db_path("next.db");
    ASSERT_EQ(treeaudit({"init", "-o", db, other, root_}).status, 0);
    ASSERT_EQ(rmdir(other.c_str()), 0);
    const ProcessResult gone = treeaudit({"check", "-o", next, db});
    EXPECT_EQ(gone.status, 2);
    EXPECT_EQ(gone.out, "removed " + other + "\n");
    EXPECT_EQ(treeaudit({"verify", next}).status, 0);
}

/* list prints what streebogsum prints for the tree's files, in the walk's
 * order (with -l 512 in the tagged form), and streebogsum -c takes it. */
TEST_F(TreeauditDatabase, ListIsStreebogsumsOwn)
{
    std::vector<std::string> files, checked;
    for (const TreeNode &n : kTree) {
        if (n.type != 'f' && n.type != 'h') continue;
        files.push_back(root_ + n.path);
        /* A name with a line feed is shown escaped, after a backslash. */
        std::string shown = root_ + n.path;
        const size_t feed = shown.find('\n');
        if (feed != std::string::npos) shown = "\\" + shown.replace(feed, 1, "\\n");
        checked.push_back(shown + ": OK");
    }
    for (const char *bits : {"256", "512"}) {
        SCOPED_TRACE(bits);
        const std::string db = db_path(std::string("list") + bits + ".db"),
                          list = dir_ + "/list" + bits;
        init(db, {"-l", bits});
        const ProcessResult listed = treeaudit({"list", db});
        EXPECT_EQ(listed.status, 0);
        EXPECT_EQ(listed.err, "");
        std::vector<std::string> sum{STREEBOGSUM_BIN, "-l", bits};
        if (std::string(bits) == "512") sum.push_back("--tag");
        sum.insert(sum.end(), files.begin(), files.end());
        const ProcessResult expected = run_process(target_command(sum));
        ASSERT_EQ(expected.status, 0) << expected.err;
        EXPECT_EQ(listed.out, expected.out);
        write_file(list, listed.out);
        ProcessOptions o;
        o.set_env = {{"LC_ALL", "C"}};
        const ProcessResult check = run_process(target_command({STREEBOGSUM_BIN, "-c", list}), o);
        EXPECT_EQ(check.status, 0);
        EXPECT_EQ(check.out, joined(checked));
        EXPECT_EQ(check.err, "");
    }
}

} // namespace
