/* kbdseed's command line without a terminal: usage, path selection, the keep
 * flag and the data directory. Without a terminal every collection fails at
 * its first prompt, which shows that a run got that far, and how. */
#include <regex>

#include <gtest/gtest.h>

#include "data_dir.h"
#include "kbdseed_cli.h"
#include "run_process.h"

namespace {

class KbdseedCli : public KbdseedRun {
protected:
    ProcessResult run(std::vector<std::string> args, const std::string &profile = "")
    {
        args.insert(args.begin(), KBDSEED_BIN);
        return run_process(args, options(profile));
    }

    static void expect_usage(const ProcessResult &r)
    {
        EXPECT_EQ(r.status, kUsageStatus);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
    }
    /* The run reached the collector, which found no terminal. */
    static void expect_collection_tried(const ProcessResult &r)
    {
        EXPECT_EQ(r.status, kCollectorStatus);
        EXPECT_TRUE(
            std::regex_match(r.out, std::regex(kBanner + "01: Press key [0-9A-Za-z]\\.\\.\\.")))
            << r.out;
        EXPECT_EQ(r.err, kNoTerminal);
    }
    static void expect_kept(const ProcessResult &r)
    {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kKept);
        EXPECT_EQ(r.err, "");
    }
    bool is_dir(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
};

TEST_F(KbdseedCli, UsageWhenNoPathIsSelected)
{
    expect_usage(run({}));
    expect_usage(run({"-n"}));
    expect_usage(run({"-OUT", "a", "-Default", "-N", "x"}));
    expect_usage(run({"--out", "a", "default"}));
    expect_usage(run({"-out"}));
    expect_usage(run({"-out", "a", "-out"}));
    expect_usage(run({"-default", "-out"}));
    EXPECT_FALSE(file_exists(dir_ + "/a"));
}

TEST_F(KbdseedCli, TheDataDirectoryIsMadeOnEveryRun)
{
    expect_usage(run({}));
    EXPECT_TRUE(is_dir(data_dir_));
    remove_tree(data_dir_);
    expect_collection_tried(run({"-out", "a"}));
    EXPECT_TRUE(is_dir(data_dir_));

    /* Only the last level is made. */
    const std::string bare = dir_ + "/bare";
    mkdir(bare.c_str(), 0755);
    expect_usage(run({}, bare));
    EXPECT_FALSE(file_exists(bare + "/Application Data"));
}

TEST_F(KbdseedCli, WithoutATerminalNothingIsReadFromStandardInput)
{
    expect_collection_tried(run({"-out", "a"}));
    EXPECT_FALSE(file_exists(dir_ + "/a"));
    write_file(dir_ + "/a", "old");
    expect_collection_tried(run({"-out", "a"}));
    EXPECT_EQ(read_file(dir_ + "/a"), "old");
    expect_collection_tried(run({"-default"}));
    EXPECT_FALSE(file_exists(default_file_));
}

TEST_F(KbdseedCli, KeepFlagLeavesAnyExistingFileAlone)
{
    write_file(dir_ + "/a", "");
    expect_kept(run({"-n", "-out", "a"}));
    expect_kept(run({"-out", "a", "-n"}));
    EXPECT_EQ(read_file(dir_ + "/a"), "");
    expect_collection_tried(run({"-n", "-out", "missing"}));
    expect_collection_tried(run({"-out", "missing", "-n"}));

    /* The name after "-out" is a name, even "-n". */
    write_file(dir_ + "/-n", "old");
    expect_collection_tried(run({"-out", "-n"}));
    expect_kept(run({"-n", "-out", "-n"}));
    write_file(dir_ + "/-default", "old");
    expect_kept(run({"-n", "-out", "-default"}));

    /* A folder opens for reading here, but it is no start file. */
    mkdir((dir_ + "/folder").c_str(), 0755);
    expect_collection_tried(run({"-n", "-out", "folder"}));
}

TEST_F(KbdseedCli, TheLastSelectionWins)
{
    /* With -n, an existing file shows which path was selected. */
    write_file(dir_ + "/b", "b");
    expect_kept(run({"-n", "-out", "a", "-out", "b"}));
    expect_collection_tried(run({"-n", "-out", "b", "-out", "a"}));

    mkdir(data_dir_.c_str(), 0755);
    write_file(default_file_, "d");
    expect_kept(run({"-n", "-out", "a", "-default"}));
    expect_collection_tried(run({"-n", "-default", "-out", "a"}));
    expect_kept(run({"-default", "-n"}));
}

TEST_F(KbdseedCli, ADefaultPathTooLongEndsBeforeAnyKey)
{
    const std::string long_profile(DATA_PATH_SIZE, 'p');
    const std::string too_long = "ERROR: default file path does not fit in " +
                                 std::to_string(DATA_PATH_SIZE - 1) + " characters\n";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-default"}, {"-out", "a", "-default"}, {"-n", "-default"}}) {
        const ProcessResult r = run(args, long_profile);
        EXPECT_EQ(r.status, kUsageStatus);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, too_long);
    }
    /* Runs that write elsewhere are not concerned. */
    expect_collection_tried(run({"-out", "a"}, long_profile));
    expect_collection_tried(run({"-default", "-out", "a"}, long_profile));
    expect_usage(run({}, long_profile));
}

} // namespace
