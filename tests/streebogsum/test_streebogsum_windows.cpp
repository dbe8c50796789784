/* streebogsum.exe under Wine: a list made, checked, and a mismatch found. The
 * lines end in a line feed alone (standard output is binary); messages on
 * standard error are a text stream's, with CR LF. */
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "run_process.h"

namespace {

class StreebogsumWindows : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("streebogsum_windows"); }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), STREEBOGSUM_BIN);
        ProcessOptions options;
        options.cwd = dir_;
        return run_process(args, options);
    }

    std::string dir_;
};

TEST_F(StreebogsumWindows, MakesAndChecksAList)
{
    write_file(dir_ + "/a", "abc");
    write_file(dir_ + "/e", "");
    const ProcessResult made = run({"a", "e", "missing"});
    EXPECT_EQ(made.out, "4e2919cf137ed41ec4fb6270c61826cc4fffb660341e0af3688cd0626d23b481  a\n"
                        "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb  e\n");
    EXPECT_EQ(made.err, crlf_lines("streebogsum: missing: No such file or directory\n"));
    EXPECT_EQ(made.status, 1);

    write_file(dir_ + "/list", made.out);
    const ProcessResult checked = run({"-c", "list"});
    EXPECT_EQ(checked.out, "a: OK\ne: OK\n");
    EXPECT_EQ(checked.err, "");
    EXPECT_EQ(checked.status, 0);

    write_file(dir_ + "/a", "abd");
    const ProcessResult changed = run({"-c", "list"});
    EXPECT_EQ(changed.out, "a: FAILED\ne: OK\n");
    EXPECT_EQ(changed.err, crlf_lines("streebogsum: WARNING: 1 computed checksum did NOT match\n"));
    EXPECT_EQ(changed.status, 1);
}

/* Names are written as given: a backslash is a folder separator there and is
 * not escaped, so the list checks where it was made. */
TEST_F(StreebogsumWindows, BackslashIsASeparator)
{
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
    write_file(dir_ + "/sub/f", "abc");
    const ProcessResult made = run({"--tag", "sub\\f"});
    EXPECT_EQ(made.out, "GOST12-256 (sub\\f) = "
                        "4e2919cf137ed41ec4fb6270c61826cc4fffb660341e0af3688cd0626d23b481\n");
    write_file(dir_ + "/list", made.out);
    const ProcessResult checked = run({"-c", "list"});
    EXPECT_EQ(checked.out, "sub\\f: OK\n");
    EXPECT_EQ(checked.status, 0);
}

} // namespace
