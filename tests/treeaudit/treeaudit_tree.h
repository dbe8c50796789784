/* An installation-like tree for treeaudit's tests, and the built program run
 * on it as a user would run it. */
#ifndef TESTS_TREEAUDIT_TREE_H
#define TESTS_TREEAUDIT_TREE_H

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_process.h"

/* One entry: d folder, f file (text: its content), l link (text: its
 * target), h hard link (text: the file it is another name of). In the walk's
 * order: bytes compared, "/" first. */
struct TreeNode {
    const char *path;
    char type;
    const char *text;
};

const TreeNode kTree[] = {
    {"/etc", 'd', ""},
    {"/etc/a.conf", 'f', "conf\n"},
    {"/etc/back\\slash", 'f', "backslash\n"},
    {"/etc/gone", 'f', "remove me\n"},
    {"/etc/line\nfeed", 'f', "line feed\n"},
    {"/etc/old", 'f', "rename me\n"},
    {"/etc/stealth", 'f', "same\n"},
    {"/etc/\xff\xfe", 'f', "not UTF-8\n"},
    {"/srv", 'd', ""},
    {"/srv/private", 'd', ""},
    {"/srv/private/data", 'f', "private\n"},
    {"/usr", 'd', ""},
    {"/usr/bin", 'd', ""},
    {"/usr/bin/fifo", 'f', "fifo\n"},
    {"/usr/bin/link", 'l', "tool"},
    {"/usr/bin/mt", 'f', "mtime\n"},
    {"/usr/bin/own", 'f', "owner\n"},
    {"/usr/bin/secret", 'f', "secret\n"},
    {"/usr/bin/su", 'f', "su\n"},
    {"/usr/bin/tool", 'f', "tool\n"},
    {"/usr/lib", 'd', ""},
    {"/usr/lib/mover", 'f', "mover\n"},
    {"/usr/lib/tool-hard", 'h', "/usr/bin/tool"},
    {"/usr/share", 'd', ""},
    {"/usr/share/dup1", 'f', "twin\n"},
    {"/usr/share/dup2", 'f', "twin\n"},
};
const unsigned kTreeEntries = 1 + sizeof kTree / sizeof kTree[0]; /* with the root */

/* Every file's mtime: 2020-01-02T03:04:05.123456789Z. */
const time_t kMtime = 1577934245;
const long kMtimeNs = 123456789;

inline void set_mtime(const std::string &path, time_t sec, long nsec)
{
    const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

/* A file with its content, mode and the fixed mtime, whatever the umask. */
inline void put_file(const std::string &path, const std::string &content, mode_t mode = 0644)
{
    write_file(path, content);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
    set_mtime(path, kMtime, kMtimeNs);
}

inline void build_tree(const std::string &root)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0) << root;
    ASSERT_EQ(chmod(root.c_str(), 0755), 0) << root;
    for (const TreeNode &n : kTree) {
        const std::string path = root + n.path;
        if (n.type == 'd') {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
            ASSERT_EQ(chmod(path.c_str(), 0755), 0) << path;
        } else if (n.type == 'f') {
            put_file(path, n.text);
        } else if (n.type == 'l') {
            ASSERT_EQ(symlink(n.text, path.c_str()), 0) << path;
        } else {
            ASSERT_EQ(link((root + n.text).c_str(), path.c_str()), 0) << path;
        }
    }
}

/* Each "%" of a line replaced by the root. */
inline std::string at_root(const std::string &line, const std::string &root)
{
    std::string s;
    for (char c : line) s += c == '%' ? root : std::string(1, c);
    return s;
}

inline std::string joined(const std::vector<std::string> &lines, const std::string &root = "")
{
    std::string s;
    for (const std::string &l : lines) s += at_root(l, root) + "\n";
    return s;
}

/* The words of the database's last line: "end", the count, the digest... */
inline std::vector<std::string> last_line_words(const std::string &db)
{
    std::vector<std::string> lines = split_lines(read_file(db));
    std::vector<std::string> words;
    if (lines.empty()) return words;
    std::string line = lines.back() + " ";
    for (size_t at; (at = line.find(' ')) != std::string::npos; line.erase(0, at + 1))
        words.push_back(line.substr(0, at));
    return words;
}

inline bool running_as_root()
{
    return geteuid() == 0;
}

/* treeaudit in the C locale; with as_nobody, and run by root, as "nobody". */
inline ProcessResult treeaudit(const std::vector<std::string> &args, bool as_nobody = false)
{
    std::vector<std::string> argv{TREEAUDIT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions o;
    o.set_env = {{"LC_ALL", "C"}};
    o.drop_privileges = as_nobody;
    return run_process(argv, o);
}

/* What init tells on standard error: the count and the digest on the last
 * line of the database it wrote. */
inline std::string init_message(const std::string &db)
{
    const std::vector<std::string> end = last_line_words(db);
    if (end.size() < 3 || end[0] != "end") return "(no last line in " + db + ")";
    return "treeaudit: " + db + ": " + end[1] +
           " entries; the digest on its last line, to keep elsewhere: " + end[2] + "\n";
}

/* A fresh folder every user may enter, with the tree at root_ and the
 * databases under db_dir(). */
class TreeauditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_trusted_temp_dir("treeaudit");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        /* The report shows paths unquoted only when they need no quotes. */
        ASSERT_EQ(dir_.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789/._-"),
                  std::string::npos)
            << dir_ << " would be quoted in the report";
        root_ = dir_ + "/root";
        ASSERT_EQ(mkdir((dir_ + "/db").c_str(), 0755), 0);
        if (running_as_root()) make_folder_of_nobody(dir_ + "/nobody");
    }
    void TearDown() override
    {
        /* Folders made unreadable can be emptied again. */
        run_process({"chmod", "-R", "u+rwX", dir_});
        remove_tree(dir_);
    }

    /* Where a database lies: in a folder of the one who writes it. */
    std::string db_path(const std::string &name, bool as_nobody = false) const
    {
        return dir_ + (as_nobody && running_as_root() ? "/nobody/" : "/db/") + name;
    }

    /* Records the tree at root_; db must not exist yet. */
    void init(const std::string &db, std::vector<std::string> options = {}, bool as_nobody = false)
    {
        options.insert(options.begin(), "init");
        options.insert(options.end(), {"-o", db, root_});
        const ProcessResult r = treeaudit(options, as_nobody);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, init_message(db));
    }

    std::string dir_, root_;
};

#endif
