/* The start file's write path with a hook at the rename (this test's own
 * build of the walk; the programs have none): a replaced file hands its owner
 * to the new start file only when it is the very file that the rename
 * replaces. */
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "run_process.h"
#include "safe_place_posix.h"
#include "start_file.h"

namespace {

const uint8_t kSeed[40] = {7};

std::string g_path; /* what the attacker removes at the rename */

void remove_as_nobody(int, const char *)
{
    ProcessOptions o;
    o.drop_privileges = true;
    EXPECT_EQ(run_process({"rm", g_path}, o).status, 0);
}

/* nobody's file in his sticky folder: replaced, it stays his; removed by him
 * at the moment of the rename, root's new file is root's. */
TEST(StartFileRace, OnlyTheFileTheRenameReplacesGivesItsOwner)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string dir = make_temp_dir("start_file_race"), shared = dir + "/shared";
    chmod(dir.c_str(), 0755);
    mkdir(shared.c_str(), 0755);
    ASSERT_EQ(chown(shared.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    chmod(shared.c_str(), 01777);
    g_path = shared + "/seed.bin";
    ProcessOptions o;
    o.drop_privileges = true;
    struct stat st;
    for (const bool race : {false, true}) {
        SCOPED_TRACE(race);
        ASSERT_EQ(run_process({"touch", g_path}, o).status, 0);
        safe_place_before_rename = race ? remove_as_nobody : nullptr;
        testing::internal::CaptureStderr();
        EXPECT_EQ(write_to_file(g_path.c_str(), kSeed, sizeof kSeed), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        safe_place_before_rename = nullptr;
        ASSERT_EQ(lstat(g_path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, race ? 0u : nobody->pw_uid);
        EXPECT_EQ(st.st_gid, race ? 0u : nobody->pw_gid);
        EXPECT_EQ(st.st_size, 40);
        EXPECT_EQ(folder_listing(shared), std::set<std::string>{"seed.bin"});
        ASSERT_EQ(unlink(g_path.c_str()), 0);
    }
    remove_tree(dir);
}

} // namespace
