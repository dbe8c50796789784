/* seedreg run by root where another user ("nobody") has a hand in the store's
 * path, and the store's own leftovers: the built binary, its output byte for
 * byte, and what the files look like afterwards. */
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "registry.h"
#include "run_process.h"

namespace {

std::string failure(int code)
{
    return "Can't write RNG seed to registry. Key: SOFTWARE\\Quorvant\\Tessaly, ValueName: "
           "prng_start. Error:" +
           std::to_string(code) + "\n";
}

const std::string kSeed(40, '\x5a');
const std::string kValue = "\"prng_start\"=hex:5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,"
                           "5a,5a,5a,\\\n  5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,"
                           "5a,5a\n";
const std::string kStore = "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n" +
                           kValue + "\n";

class SeedregAttacks : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_trusted_temp_dir("seedreg_attacks");
        chmod(dir_.c_str(), 0755); /* every user may enter */
        write_file(dir_ + "/seed.bin", kSeed);
    }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult seedreg(const std::string &store, std::vector<std::string> command = {},
                          const std::string &cwd = "")
    {
        ProcessOptions o;
        o.cwd = cwd.empty() ? dir_ : cwd;
        o.set_env = {{"QUORVANT_REGISTRY", store}};
        command.push_back(SEEDREG_BIN);
        if (command.size() > 1) {
            const std::vector<std::string> program = target_command({SEEDREG_BIN});
            command.pop_back();
            command.insert(command.end(), program.begin(), program.end());
        }
        return run_process(command, o);
    }

    /* A step of the attacker's, as "nobody". */
    static void as_nobody(const std::vector<std::string> &argv)
    {
        ProcessOptions o;
        o.drop_privileges = true;
        const ProcessResult r = run_process(argv, o);
        ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    }

    static void expect(const ProcessResult &r, int status, const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    std::string dir_;
};

bool is_link(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

/* nobody's store link in a sticky folder open to all, his link to a folder
 * of root's from a folder of his own, lock files that are not the store
 * owner's: nothing of root's is touched, and each refusal says why. */
TEST_F(SeedregAttacks, ALinkOrAFolderOfAnotherUserIsRefused)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string open = dir_ + "/r", att = make_folder_of_nobody(dir_ + "/att"),
                      secret = dir_ + "/secret";
    const std::string vault = dir_ + "/vault";
    mkdir(open.c_str(), 0755);
    chmod(open.c_str(), 01777);
    write_file(secret, "root's\n");
    chmod(secret.c_str(), 0600);
    mkdir(vault.c_str(), 0700);
    const std::string roots = "Windows Registry Editor Version 5.00\n\n";
    write_file(vault + "/registry.reg", roots);
    chmod((vault + "/registry.reg").c_str(), 0600);
    as_nobody({"ln", "-s", vault + "/registry.reg", open + "/q.reg"});
    as_nobody({"ln", "-s", vault, att + "/lnk"});

    expect(seedreg(open + "/q.reg"), 1,
           "ERROR: refusing " + open + ": a folder that users other than its owner may write\n" +
               failure(5));
    expect(seedreg(att + "/lnk/registry.reg"), 1,
           "ERROR: refusing " + att + ": a folder owned by another user (uid " + nobody_uid() +
               ")\n" + failure(5));
    EXPECT_EQ(folder_listing(vault), std::set<std::string>{"registry.reg"});
    EXPECT_EQ(read_file(vault + "/registry.reg"), roots);

    /* root's own folder, where a lock link stands (root made it here, as a
     * store folder of another kind might let it in). */
    const std::string own = dir_ + "/own";
    mkdir(own.c_str(), 0755);
    write_file(own + "/q.reg", "");
    ASSERT_EQ(symlink(secret.c_str(), (own + "/q.reg.lock").c_str()), 0);
    expect(seedreg(own + "/q.reg"), 1,
           "ERROR: refusing " + own +
               "/q.reg.lock: a lock that is not a regular file of the store's owner\n" +
               failure(5));
    unlink((own + "/q.reg.lock").c_str());
    write_file(own + "/q.reg.lock", "");
    ASSERT_EQ(chown((own + "/q.reg.lock").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    expect(seedreg(own + "/q.reg"), 1,
           "ERROR: refusing " + own +
               "/q.reg.lock: a lock that is not a regular file of the store's owner\n" +
               failure(5));
    EXPECT_EQ(read_file(own + "/q.reg"), "");

    struct stat st;
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(secret), "root's\n");
}

/* Run by root in nobody's folder: seed.bin as his link to a file that only
 * root may read, and as his FIFO. Neither is read, nothing waits, and nothing
 * is stored. */
TEST_F(SeedregAttacks, RootReadsNoSeedThatAnotherUserSteers)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const std::string att = make_folder_of_nobody(dir_ + "/att"), secret = dir_ + "/secret";
    write_file(secret, std::string(48, 's'));
    chmod(secret.c_str(), 0600);
    as_nobody({"ln", "-s", secret, att + "/seed.bin"});
    const std::string store = dir_ + "/registry.reg";
    expect(seedreg(store, {"timeout", "20"}, att), 1,
           "ERROR: refusing seed.bin: a link that another user owns in a folder that user may "
           "change\nfopen: " +
               std::string(strerror(EACCES)) + "\n");
    as_nobody({"rm", att + "/seed.bin"});
    as_nobody({"mkfifo", att + "/seed.bin"});
    expect(seedreg(store, {"timeout", "20"}, att), 1,
           "ERROR: refusing seed.bin: not a regular file\nfopen: " + std::string(strerror(EACCES)) +
               "\n");
    EXPECT_FALSE(file_exists(store));
}

/* A reader applies the writer's rule: nobody's store in a folder of his is no
 * machine-wide store, whatever seed it holds. */
TEST_F(SeedregAttacks, AReaderRefusesAStoreAnotherUserMayChange)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const std::string att = make_folder_of_nobody(dir_ + "/att");
    write_file(dir_ + "/planted.reg", kStore);
    as_nobody({"cp", dir_ + "/planted.reg", att + "/registry.reg"});
    setenv("QUORVANT_REGISTRY", (att + "/registry.reg").c_str(), 1);
    registry_diag_stream = tmpfile();
    ASSERT_NE(registry_diag_stream, nullptr);
    uint8_t seed[40];
    uint32_t size = sizeof seed;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, "SOFTWARE\\Quorvant\\Tessaly",
                                 "prng_start", nullptr, seed, &size),
              REGISTRY_ACCESS_DENIED);
    rewind(registry_diag_stream);
    char line[512] = "";
    EXPECT_NE(fgets(line, sizeof line, registry_diag_stream), nullptr);
    EXPECT_EQ(std::string(line), "ERROR: refusing " + att +
                                     ": a folder owned by another user (uid " + nobody_uid() +
                                     ")\n");
    fclose(registry_diag_stream);
    registry_diag_stream = nullptr;
    unsetenv("QUORVANT_REGISTRY");
}

/* A link to a store that does not exist yet makes the store where it points,
 * with its lock there; the link stays. */
TEST_F(SeedregAttacks, ALinkToAMissingStoreMakesItsTarget)
{
    mkdir((dir_ + "/real").c_str(), 0755);
    ASSERT_EQ(symlink("real/new.reg", (dir_ + "/link.reg").c_str()), 0);
    expect(seedreg(dir_ + "/link.reg"), 0, "");
    EXPECT_TRUE(is_link(dir_ + "/link.reg"));
    EXPECT_EQ(read_file(dir_ + "/real/new.reg"), kStore);
    EXPECT_EQ(folder_listing(dir_ + "/real"), (std::set<std::string>{"new.reg", "new.reg.lock"}));
}

/* A store link in a folder that others may write: they may point it at
 * another folder of root's. A relative store path is checked from "/" too,
 * through the folders above the current one. */
TEST_F(SeedregAttacks, AStoreLinkInAFolderOthersMayWriteIsRefused)
{
    const std::string shared = dir_ + "/shared";
    mkdir(shared.c_str(), 0755);
    chmod(shared.c_str(), 0775);
    mkdir((dir_ + "/real").c_str(), 0755);
    ASSERT_EQ(symlink("../real/q.reg", (shared + "/q.reg").c_str()), 0);
    const std::string why =
        "ERROR: refusing " + shared + ": a folder that users other than its owner may write\n";
    expect(seedreg(shared + "/q.reg"), 1, why + failure(5));
    mkdir((shared + "/sub").c_str(), 0755);
    write_file(shared + "/sub/seed.bin", kSeed);
    expect(seedreg("q.reg", {}, shared + "/sub"), 1, why + failure(5));
    EXPECT_EQ(folder_listing(dir_ + "/real"), std::set<std::string>{});
    EXPECT_EQ(folder_listing(shared + "/sub"), std::set<std::string>{"seed.bin"});
}

/* A store with a second name in a folder no other user may write is
 * rewritten in place: both names hold the new value. */
TEST_F(SeedregAttacks, AHardLinkedStoreIsRewrittenInPlace)
{
    const std::string store = dir_ + "/registry.reg", other = dir_ + "/other.reg";
    write_file(store, "Windows Registry Editor Version 5.00\n\n");
    ASSERT_EQ(link(store.c_str(), other.c_str()), 0);
    expect(seedreg(store), 0, "");
    EXPECT_EQ(read_file(other), read_file(store));
    EXPECT_NE(read_file(store).find(kValue), std::string::npos);
}

/* Past a file size limit the write fails with EFBIG (Error:223) instead of
 * killing the run; what earlier runs left of their temporary copies goes at
 * the next write, and nothing else beside the store. */
TEST_F(SeedregAttacks, AFileSizeLimitFailsTheWriteAndLeftoversGo)
{
    const std::string store_dir = dir_ + "/store", store = store_dir + "/registry.reg";
    mkdir(store_dir.c_str(), 0755);
    const std::string big =
        "Windows Registry Editor Version 5.00\n\n; " + std::string(4600, 'c') + "\n";
    write_file(store, big);
    for (const char *name : {".registry.reg.tmp-a8Zk3Q", ".registry.reg.tmp-abc",
                             "registry.reg.backup", ".other.reg.tmp-a8Zk3Q"}) {
        write_file(store_dir + "/" + name, "left");
    }
    expect(seedreg(store, {"sh", "-c", "ulimit -f 4 && exec \"$@\"", "sh"}), 1, failure(223));
    EXPECT_EQ(read_file(store), big);
    EXPECT_EQ(folder_listing(store_dir),
              (std::set<std::string>{"registry.reg", "registry.reg.lock", ".registry.reg.tmp-abc",
                                     "registry.reg.backup", ".other.reg.tmp-a8Zk3Q"}));

    expect(seedreg(store), 0, "");
    EXPECT_EQ(read_file(store),
              big + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n" + kValue + "\n");
}

} // namespace
