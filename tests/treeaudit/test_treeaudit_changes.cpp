/* treeaudit on an installation-like tree: nothing said of a tree left as it
 * was, and one line per change, in text and in JSON, with its exit bit. */
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_process.h"
#include "treeaudit_tree.h"

namespace {

/* Who runs the audit of a change. */
enum Who {
    ANYONE,       /* the caller */
    UNPRIVILEGED, /* run by root, "nobody", whom chmod 000 stops */
    ROOT_ONLY,    /* the caller, who must be root to make the change */
    WITH_ACLS,    /* the caller, where setfacl and the file system take access lists */
};

/* A change to the tree (a shell command run in its root) and the report. */
struct Change {
    unsigned bit;
    Who who;
    const char *what;
    const char *command;
    std::vector<std::string> text, json; /* "%" stands for the root */
};

const Change kChanges[] = {
    {4,
     ANYONE,
     "a content that keeps size and mtime",
     "printf 'SAME\\n' > etc/stealth && touch -d @1577934245.123456789 etc/stealth",
     {"content %/etc/stealth (size and mtime unchanged)"},
     {R"j({"category":"content","path":"%/etc/stealth","size_and_mtime_kept":true})j"}},
    {1,
     ANYONE,
     "a planted setuid file",
     "printf '#!/bin/sh\\n' > usr/bin/planted && chmod 4755 usr/bin/planted",
     {"added %/usr/bin/planted [setuid]"},
     {R"j({"category":"added","path":"%/usr/bin/planted","marks":["setuid"]})j"}},
    {2,
     ANYONE,
     "a removal",
     "rm etc/gone",
     {"removed %/etc/gone"},
     {R"j({"category":"removed","path":"%/etc/gone"})j"}},
    {16,
     ANYONE,
     "a rename within a folder",
     "mv etc/old etc/new",
     {"moved %/etc/old -> %/etc/new"},
     {R"j({"category":"moved","path":"%/etc/new","from":"%/etc/old"})j"}},
    {16,
     ANYONE,
     "a move across folders",
     "mv usr/lib/mover usr/share/mover",
     {"moved %/usr/lib/mover -> %/usr/share/mover"},
     {R"j({"category":"moved","path":"%/usr/share/mover","from":"%/usr/lib/mover"})j"}},
    {16,
     ANYONE,
     "one of two files of the same content moved",
     "mv usr/share/dup2 usr/lib/dup2",
     {"moved %/usr/share/dup2 -> %/usr/lib/dup2"},
     {R"j({"category":"moved","path":"%/usr/lib/dup2","from":"%/usr/share/dup2"})j"}},
    {8,
     ANYONE,
     "a setuid bit added",
     "chmod 4755 usr/bin/su",
     {"meta %/usr/bin/su (mode 0644 -> 4755) [setuid]"},
     {R"j({"category":"meta","path":"%/usr/bin/su","changed":["mode"],"old":{"mode":"0644"},)j"
      R"j("new":{"mode":"4755"},"marks":["setuid"]})j"}},
    {8,
     ROOT_ONLY,
     "an owner with no name",
     "chown 1234 usr/bin/own",
     {"meta %/usr/bin/own (uid 0 -> 1234)"},
     {R"j({"category":"meta","path":"%/usr/bin/own","changed":["uid"],"old":{"uid":0},)j"
      R"j("new":{"uid":1234}})j"}},
    {8,
     ANYONE,
     "a link retargeted",
     "ln -sfn ../lib/tool-hard usr/bin/link",
     {"target %/usr/bin/link (tool -> ../lib/tool-hard)"},
     {R"j({"category":"target","path":"%/usr/bin/link","old":{"target":"tool"},)j"
      R"j("new":{"target":"../lib/tool-hard"}})j"}},
    {8,
     WITH_ACLS,
     "an access list added",
     "setfacl -m u:65534:r etc/a.conf",
     {"meta %/etc/a.conf (xattrs)"},
     {R"j({"category":"meta","path":"%/etc/a.conf","changed":["xattrs"],"old":{"xattrs":false},)j"
      R"j("new":{"xattrs":true}})j"}},
    {8,
     ANYONE,
     "an mtime alone",
     "touch -d @978307200 usr/bin/mt",
     {"meta %/usr/bin/mt (mtime 2020-01-02T03:04:05.123456789Z -> "
      "2001-01-01T00:00:00.000000000Z)"},
     {R"j({"category":"meta","path":"%/usr/bin/mt","changed":["mtime"],)j"
      R"j("old":{"mtime":"1577934245123456789"},"new":{"mtime":"978307200000000000"}})j"}},
    {8,
     ANYONE,
     "a file turned into a FIFO",
     "rm usr/bin/fifo && mkfifo -m 0644 usr/bin/fifo",
     {"type %/usr/bin/fifo (regular file -> FIFO)"},
     {R"j({"category":"type","path":"%/usr/bin/fifo","old":{"type":"regular file"},)j"
      R"j("new":{"type":"FIFO"}})j"}},
    {32 | 8,
     UNPRIVILEGED,
     "an unreadable file",
     "chmod 000 usr/bin/secret",
     {"unreadable %/usr/bin/secret: Permission denied",
      "meta %/usr/bin/secret (mode 0644 -> 0000)"},
     {R"j({"category":"unreadable","path":"%/usr/bin/secret","reason":"Permission denied"})j",
      R"j({"category":"meta","path":"%/usr/bin/secret","changed":["mode"],"old":{"mode":"0644"},)j"
      R"j("new":{"mode":"0000"}})j"}},
    {32 | 8,
     UNPRIVILEGED,
     "an unreadable folder, whose entries are not called removed",
     "chmod 000 srv/private",
     {"unreadable %/srv/private: Permission denied", "meta %/srv/private (mode 0755 -> 0000)"},
     {R"j({"category":"unreadable","path":"%/srv/private","reason":"Permission denied"})j",
      R"j({"category":"meta","path":"%/srv/private","changed":["mode"],"old":{"mode":"0755"},)j"
      R"j("new":{"mode":"0000"}})j"}},
    {4,
     ANYONE,
     "a name with a line feed, its content changed",
     "printf 'changed\\n' > 'etc/line\nfeed'",
     {"content '%/etc/line'$'\\n''feed'"},
     {R"j({"category":"content","path":"%/etc/line\u000afeed","size_and_mtime_kept":false})j"}},
};

const char *const kCategories[] = {"added", "removed", "moved",  "content",
                                   "meta",  "type",    "target", "unreadable"};

/* The summary line of a report made of these lines. */
std::string summary_of(const std::vector<std::string> &lines)
{
    std::string s = "summary:";
    for (const char *c : kCategories) {
        const std::string word = std::string(c) + " ";
        const long n = std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.compare(0, word.size(), word) == 0;
        });
        s += std::string(s.size() > 8 ? ", " : " ") + c + " " + std::to_string(n);
    }
    return s;
}

class TreeauditChanges : public TreeauditTest {
protected:
    void change(const std::string &root, const char *command)
    {
        ProcessOptions o;
        o.cwd = root;
        const ProcessResult r = run_process({"sh", "-c", command}, o);
        ASSERT_EQ(r.status, 0) << command << ": " << r.err;
    }
};

/* Hard links, a link and names with a line feed, a backslash and bytes that
 * are not UTF-8 are recorded and read back without a word. */
TEST_F(TreeauditChanges, AnUnchangedTreeReportsNothing)
{
    build_tree(root_);
    const std::string db = db_path("base.db");
    init(db);
    EXPECT_EQ(last_line_words(db).at(1), std::to_string(kTreeEntries));
    const ProcessResult quiet = treeaudit({"check", db});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
    const ProcessResult text = treeaudit({"check", "--summary", db});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "summary: added 0, removed 0, moved 0, content 0, meta 0, type 0, "
                        "target 0, unreadable 0\n");
    EXPECT_EQ(text.err, "");
    const ProcessResult json = treeaudit({"check", "--json", "--summary", db});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "{\"category\":\"summary\",\"added\":0,\"removed\":0,\"moved\":0,"
                        "\"content\":0,\"meta\":0,\"type\":0,\"target\":0,\"unreadable\":0}\n");
    EXPECT_EQ(json.err, "");
}

/* Whether the caller can make a change of this kind here. */
bool can_make(Who who)
{
    if (who == ROOT_ONLY) return running_as_root();
    if (who != WITH_ACLS) return true;
    const std::string dir = make_temp_dir("acl");
    write_file(dir + "/probe", "");
    const bool ok =
        run_process({"sh", "-c", "setfacl -m u:65534:r \"$0\" 2>/dev/null", dir + "/probe"})
            .status == 0;
    remove_tree(dir);
    return ok;
}

/* Each change on a tree of its own: its lines alone, and its bit alone. */
TEST_F(TreeauditChanges, EachChangeHasItsLinesAndItsBit)
{
    int row = 0;
    for (const Change &c : kChanges) {
        SCOPED_TRACE(c.what);
        row++;
        /* chown to another user needs root; the other rows run anyway. */
        if (!can_make(c.who)) continue;
        const bool as_nobody = c.who == UNPRIVILEGED;
        root_ = dir_ + "/tree" + std::to_string(row);
        build_tree(root_);
        const std::string db = db_path("tree" + std::to_string(row) + ".db", as_nobody);
        init(db, {}, as_nobody);
        change(root_, c.command);
        const ProcessResult text = treeaudit({"check", db}, as_nobody);
        EXPECT_EQ(text.out, joined(c.text, root_));
        EXPECT_EQ(text.err, "");
        EXPECT_EQ(text.status, static_cast<int>(c.bit));
        const ProcessResult json = treeaudit({"check", "--json", db}, as_nobody);
        EXPECT_EQ(json.out, joined(c.json, root_));
        EXPECT_EQ(json.err, "");
        EXPECT_EQ(json.status, static_cast<int>(c.bit));
    }
}

/* Every change that the caller can read back, made at once: the same lines
 * and the sum of the bits, one summary line; check -o takes a new baseline
 * against which the tree is clean, and comparing the two databases reports
 * what check did. */
TEST_F(TreeauditChanges, AllAtOnceThenANewBaselineAndACompare)
{
    build_tree(root_);
    const std::string old_db = db_path("old.db"), new_db = db_path("new.db");
    init(old_db);
    std::vector<std::string> expected;
    unsigned bits = 0;
    for (const Change &c : kChanges) {
        if (c.who == UNPRIVILEGED || !can_make(c.who)) continue;
        change(root_, c.command);
        for (const std::string &l : c.text) expected.push_back(at_root(l, root_));
        bits |= c.bit;
    }
    ASSERT_EQ(bits, 31u);
    const ProcessResult check = treeaudit({"check", "--summary", old_db});
    EXPECT_EQ(check.status, static_cast<int>(bits));
    EXPECT_EQ(check.err, "");
    std::vector<std::string> got = split_lines(check.out);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), summary_of(expected));
    got.pop_back();
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(joined(got), joined(expected));

    const ProcessResult rebase = treeaudit({"check", "--summary", "-o", new_db, old_db});
    EXPECT_EQ(rebase.status, check.status);
    EXPECT_EQ(rebase.out, check.out);
    EXPECT_EQ(rebase.err, init_message(new_db));
    const ProcessResult clean = treeaudit({"check", new_db});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, "");
    EXPECT_EQ(clean.err, "");
    const ProcessResult compare = treeaudit({"compare", "--summary", old_db, new_db});
    EXPECT_EQ(compare.status, check.status);
    EXPECT_EQ(compare.out, check.out);
    EXPECT_EQ(compare.err, "");
}

} // namespace
