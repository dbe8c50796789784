/* The POSIX platform layer under the seed tool: clock, data directory paths,
 * and the start file with its access list. */
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#ifdef QV_HAVE_LIBACL
#include <acl/libacl.h>
#include <sys/acl.h>
#endif

#include "data_dir.h"
#include "run_process.h"
#include "start_file.h"
#include "system_clock.h"

namespace {

TEST(SystemClock, HundredNanosecondsSince1601)
{
    const uint64_t before = static_cast<uint64_t>(time(nullptr));
    const uint64_t t = system_time_100ns();
    const uint64_t after = static_cast<uint64_t>(time(nullptr));
    /* 11644473600 s lie between 1601-01-01 and 1970-01-01. */
    EXPECT_GE(t, (before + 11644473600u) * 10000000u);
    EXPECT_LT(t, (after + 1 + 11644473600u) * 10000000u);
    EXPECT_LE(t, system_time_100ns());
}

TEST(DataDir, ComposedFromTheProfileOrTheSystemDirectory)
{
    char dir[DATA_PATH_SIZE], file[DATA_PATH_SIZE];
    ASSERT_EQ(data_dir_compose(nullptr, dir, sizeof dir, file, sizeof file), 0);
    EXPECT_STREQ(dir, "/var/lib/quorvant");
    EXPECT_STREQ(file, "/var/lib/quorvant/prng_start.bin");
    ASSERT_EQ(data_dir_compose("/srv/all users", dir, sizeof dir, file, sizeof file), 0);
    EXPECT_STREQ(dir, "/srv/all users/Application Data/Quorvant");
    EXPECT_STREQ(file, "/srv/all users/Application Data/Quorvant/prng_start.bin");
    ASSERT_EQ(data_dir_compose("", dir, sizeof dir, file, sizeof file), 0);
    EXPECT_STREQ(file, "/Application Data/Quorvant/prng_start.bin");
}

TEST(DataDir, APathThatDoesNotFitIsNeverCut)
{
    const std::string tail = "/Application Data/Quorvant/prng_start.bin";
    char dir[DATA_PATH_SIZE], file[DATA_PATH_SIZE];
    /* The file path exactly fills its buffer, then one character more. */
    const std::string fits(DATA_PATH_SIZE - 1 - tail.size(), 'p');
    ASSERT_EQ(data_dir_compose(fits.c_str(), dir, sizeof dir, file, sizeof file), 0);
    EXPECT_EQ(std::string(file), fits + tail);
    const std::string longer = fits + "p";
    EXPECT_EQ(data_dir_compose(longer.c_str(), dir, sizeof dir, file, sizeof file), -1);
    EXPECT_STREQ(dir, "");
    EXPECT_STREQ(file, "");
    /* The directory alone too long. */
    const std::string huge(3 * DATA_PATH_SIZE, 'h');
    EXPECT_EQ(data_dir_compose(huge.c_str(), dir, sizeof dir, file, sizeof file), -1);
    EXPECT_STREQ(file, "");
    /* Small buffers of the caller's. */
    char small_dir[18], small_file[33];
    EXPECT_EQ(data_dir_compose(nullptr, small_dir, sizeof small_dir, small_file, sizeof small_file),
              0);
    EXPECT_EQ(
        data_dir_compose(nullptr, small_dir, sizeof small_dir - 1, small_file, sizeof small_file),
        -1);
    EXPECT_EQ(
        data_dir_compose(nullptr, small_dir, sizeof small_dir, small_file, sizeof small_file - 1),
        -1);
}

class StartFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir("kbdseed_file");
        old_umask_ = umask(077);
    }
    void TearDown() override
    {
        umask(old_umask_);
        remove_tree(dir_);
    }
    std::string dir_;
    mode_t old_umask_ = 0;
};

const uint8_t kSeed[40] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0x0D, 0x0A, 0x1A, 0xFF};

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(StartFile, WrittenInBinaryAndOpenToEveryone)
{
    const std::string path = dir_ + "/seed.bin";
    write_file(path, std::string(100, 'x'));
    chmod(path.c_str(), 0600);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_to_file(path.c_str(), kSeed, sizeof kSeed), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(path), std::string(reinterpret_cast<const char *>(kSeed), 40));
    EXPECT_EQ(mode_of(path), 0666u);
}

/* Through a chain of links the file at its end is replaced, and the links
 * stay; a link to nothing yet makes the file it names. */
TEST_F(StartFile, ALinkIsFollowedNotReplaced)
{
    const std::string seed(reinterpret_cast<const char *>(kSeed), 40);
    mkdir((dir_ + "/real").c_str(), 0755);
    write_file(dir_ + "/real/seed.bin", "old");
    ASSERT_EQ(symlink("real/seed.bin", (dir_ + "/hop").c_str()), 0);
    ASSERT_EQ(symlink(dir_.c_str(), (dir_ + "/here").c_str()), 0);
    const std::string link = dir_ + "/here/link.bin";
    ASSERT_EQ(symlink("hop", link.c_str()), 0);
    EXPECT_EQ(write_to_file(link.c_str(), kSeed, sizeof kSeed), 0);
    EXPECT_EQ(read_file(dir_ + "/real/seed.bin"), seed);
    EXPECT_EQ(mode_of(dir_ + "/real/seed.bin"), 0666u);
    struct stat st;
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(lstat((dir_ + "/hop").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    ASSERT_EQ(symlink("real/new.bin", (dir_ + "/dangling").c_str()), 0);
    EXPECT_EQ(write_to_file((dir_ + "/dangling").c_str(), kSeed, sizeof kSeed), 0);
    EXPECT_EQ(read_file(dir_ + "/real/new.bin"), seed);
    EXPECT_EQ(lstat((dir_ + "/dangling").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(StartFile, FailuresToOpenAndToWrite)
{
    const std::string missing = dir_ + "/no such dir/seed.bin";
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_to_file(missing.c_str(), kSeed, sizeof kSeed), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: unable to open file " + missing + "\n");

    /* The 40 bytes fit the stream's buffer; the device refuses them only when
     * they are flushed. */
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const mode_t before = mode_of("/dev/full");
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_to_file("/dev/full", kSeed, sizeof kSeed), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: unable to write to file /dev/full\n");
    EXPECT_EQ(mode_of("/dev/full"), before) << "no access list after a failed write";
}

TEST_F(StartFile, AnAccessListThatCannotBeSetIsAWarning)
{
    const std::string missing = dir_ + "/missing.bin";
    testing::internal::CaptureStderr();
    set_file_access(missing.c_str(), 0xC0000000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: unable to set access list of file " + missing + "\n");
}

#ifdef QV_HAVE_LIBACL
/* The access list as text, one entry per line. */
std::string acl_text(const std::string &path)
{
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (acl == nullptr) return "(none)";
    char *text = acl_to_text(acl, nullptr);
    std::string s = text != nullptr ? text : "(none)";
    acl_free(text);
    acl_free(acl);
    return s;
}

TEST_F(StartFile, NamedEntriesOfAnEarlierListAreGone)
{
    const std::string path = dir_ + "/seed.bin";
    write_file(path, "old");
    acl_t acl = acl_from_text("u::rw-,u:nobody:r--,g::r--,g:root:rw-,m::rw-,o::---");
    ASSERT_NE(acl, nullptr);
    const int set = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
    acl_free(acl);
    if (set != 0) GTEST_SKIP() << "no access lists on this file system";
    ASSERT_NE(acl_text(path).find("user:nobody:r--"), std::string::npos);

    EXPECT_EQ(write_to_file(path.c_str(), kSeed, sizeof kSeed), 0);
    EXPECT_EQ(acl_text(path), "user::rw-\ngroup::rw-\nother::rw-\n");
    EXPECT_EQ(mode_of(path), 0666u);
}
#endif

} // namespace
