/* write_to_file where the path holds what another user may have put there:
 * hard links, another user's FIFO, a folder open to all. */
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "run_process.h"
#include "start_file.h"

namespace {

const uint8_t kSeed[40] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const std::string kSeedText(reinterpret_cast<const char *>(kSeed), sizeof kSeed);

class StartFilePaths : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("start_file_paths"); }
    void TearDown() override { remove_tree(dir_); }

    /* write_to_file's status and what it printed. */
    static int write(const std::string &path, std::string *err)
    {
        testing::internal::CaptureStderr();
        const int status = write_to_file(path.c_str(), kSeed, sizeof kSeed);
        *err = testing::internal::GetCapturedStderr();
        return status;
    }

    std::string dir_;
};

/* A rename would leave the other name with the old seed: in a folder no one
 * else may write both names get the new one; where others may write, a file
 * with a second name is refused (someone may have linked it there). */
TEST_F(StartFilePaths, AFileWithTwoNames)
{
    const std::string path = dir_ + "/seed.bin", other = dir_ + "/other.bin";
    write_file(path, std::string(100, 'o'));
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    std::string err;
    EXPECT_EQ(write(path, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file(other), kSeedText);
    EXPECT_EQ(folder_listing(dir_), (std::set<std::string>{"seed.bin", "other.bin"}));

    const std::string open = dir_ + "/open";
    mkdir(open.c_str(), 0755);
    chmod(open.c_str(), 01777);
    ASSERT_EQ(link(path.c_str(), (open + "/seed.bin").c_str()), 0);
    write_file(path, "old");
    EXPECT_EQ(write(open + "/seed.bin", &err), -1);
    EXPECT_EQ(err, "ERROR: refusing " + open +
                       "/seed.bin: a file with 3 hard links in a folder other users may write\n"
                       "ERROR: unable to open file " +
                       open + "/seed.bin\n");
    EXPECT_EQ(read_file(path), "old");
}

/* A FIFO of another user's would hand him the seed; one's own is written. */
TEST_F(StartFilePaths, AnotherUsersFifoIsRefused)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a FIFO to another user";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chmod(fifo.c_str(), 0666);
    ASSERT_EQ(chown(fifo.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    std::string err;
    EXPECT_EQ(write(fifo, &err), -1);
    EXPECT_EQ(err, "ERROR: refusing " + fifo +
                       ": a device or FIFO that another user owns\n"
                       "ERROR: unable to open file " +
                       fifo + "\n");
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

/* A folder on the way that every user may write without the sticky bit:
 * anyone could have swapped what lies below it. */
TEST_F(StartFilePaths, AFolderOpenToAllWithoutTheStickyBit)
{
    const std::string open = dir_ + "/open";
    mkdir(open.c_str(), 0755);
    mkdir((open + "/sub").c_str(), 0755);
    chmod(open.c_str(), 0777);
    std::string err;
    EXPECT_EQ(write(open + "/sub/seed.bin", &err), -1);
    EXPECT_EQ(err, "ERROR: refusing " + open +
                       ": a folder every user may write, without the sticky bit\n"
                       "ERROR: unable to open file " +
                       open + "/sub/seed.bin\n");
    EXPECT_FALSE(file_exists(open + "/sub/seed.bin"));
}

} // namespace
