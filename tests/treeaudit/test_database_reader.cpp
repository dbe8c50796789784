/* treeaudit's database reader on databases larger than its read-ahead: lines
 * that cross from one block to the next are sealed once, the seal alone
 * agrees with the whole reading, and the entries read must be those that
 * were authenticated. */
#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "database.h"
#include "tree_walk.h"

namespace {

/* A database of count files under /r, the path of the middle one longer than
 * the reader's block, written to a temporary file left at its start. */
FILE *write_database(int count, std::vector<std::string> *paths)
{
    FILE *f = tmpfile();
    if (f == nullptr) return nullptr;
    DbHeader header;
    header.roots = {"/r"};
    DbWriter w;
    db_write_begin(&w, f, header, DbKey());
    for (int i = 0; i < count; i++) {
        Entry e;
        e.type = 'f';
        e.mode = 0644;
        e.content = CONTENT_KNOWN;
        e.digest[0] = static_cast<uint8_t>(i);
        char name[32];
        snprintf(name, sizeof name, "/r/%06d", i);
        e.path = name;
        if (i == count / 2) e.path += "-" + std::string(100000, 'x') + " \n\\";
        db_write_entry(&w, e);
        paths->push_back(e.path);
    }
    uint8_t seal[DB_SEAL_SIZE];
    if (db_write_end(&w, seal) != 0) return nullptr;
    rewind(f);
    return f;
}

TEST(TreeauditReader, LinesAcrossBlocksAreReadAndSealedOnce)
{
    std::vector<std::string> paths;
    FILE *f = write_database(3000, &paths);
    ASSERT_NE(f, nullptr);
    std::string error;
    uint8_t whole[DB_SEAL_SIZE], sealed[DB_SEAL_SIZE];
    ASSERT_EQ(db_verify(f, "db", DbKey(), "", whole, &error), DB_OK) << error;
    ASSERT_EQ(db_authenticate(f, "db", DbKey(), "", sealed, &error), DB_OK) << error;
    EXPECT_EQ(memcmp(whole, sealed, DB_SEAL_SIZE), 0);

    DbReader r;
    ASSERT_EQ(db_read_begin(&r, f, "db", DbKey(), sealed), DB_OK) << r.error;
    Entry e;
    size_t n = 0;
    int status;
    while ((status = db_read_entry(&r, &e)) == 1) {
        ASSERT_LT(n, paths.size());
        EXPECT_EQ(e.path, paths[n]);
        EXPECT_EQ(e.digest[0], static_cast<uint8_t>(n));
        n++;
    }
    EXPECT_EQ(status, 0) << r.error;
    EXPECT_EQ(n, paths.size());

    /* Entries read under another digest than the one authenticated. */
    rewind(f);
    sealed[0] ^= 1;
    ASSERT_EQ(db_read_begin(&r, f, "db", DbKey(), sealed), DB_OK);
    while ((status = db_read_entry(&r, &e)) == 1) {
    }
    EXPECT_EQ(status, DB_DAMAGED);
    EXPECT_EQ(r.error,
              std::to_string(paths.size() + 5) + ": the database changed while it was read");
    fclose(f);
}

/* "/" weighs below every other byte, and a path below its folder's
 * neighbours: /a, /a/b, /a-b. */
TEST(TreeauditReader, PathsOrderAsTheWalkLists)
{
    EXPECT_LT(tree_path_compare("/a/b", "/a-b"), 0);
    EXPECT_LT(tree_path_compare("/a", "/a/b"), 0);
    EXPECT_GT(tree_path_compare("/a-b", "/a/zzz"), 0);
    EXPECT_GT(tree_path_compare("/a\xff", "/a!"), 0);
    EXPECT_EQ(tree_path_compare("/same/path", "/same/path"), 0);
    /* The same beyond the first eight bytes. */
    EXPECT_LT(tree_path_compare("/usr/include/a/b", "/usr/include/a-b"), 0);
    EXPECT_LT(tree_path_compare("/usr/inc/lude", "/usr/inc-lude"), 0);
    EXPECT_GT(tree_path_compare("/usr/include/ab", "/usr/include/a"), 0);
}

} // namespace
