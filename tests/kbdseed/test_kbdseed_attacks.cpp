/* kbdseed where another user ("nobody") has a hand in the output path: root
 * finishes the whole dialogue on a terminal, then the write is refused with a
 * line that says why, and nothing of root's is touched. */
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "kbdseed_cli.h"
#include "kbdseed_terminal.h"
#include "run_process.h"

namespace {

class KbdseedAttacks : public KbdseedTerminal {
protected:
    void SetUp() override
    {
        KbdseedTerminal::SetUp();
        chmod(dir_.c_str(), 0755); /* every user may enter */
    }

    /* A step of the attacker's. */
    static void as_nobody(const std::vector<std::string> &argv)
    {
        ProcessOptions o;
        o.drop_privileges = true;
        const ProcessResult r = run_process(argv, o);
        ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    }

    /* A full dialogue whose write is refused. */
    void expect_refused(const std::vector<std::string> &args, const ProcessOptions &o,
                        const std::string &why, const std::string &shown)
    {
        const Dialogue d = collect(args, shown_key, o);
        EXPECT_EQ(d.result.status, kWriteStatus);
        EXPECT_EQ(d.result.out, d.expected_out);
        EXPECT_EQ(d.result.err, why + "ERROR: unable to open file " + shown +
                                    "\nERROR: write_to_file returned -1\n");
    }

    std::string make_victim()
    {
        std::string victim = dir_ + "/victim";
        write_file(victim, "root's\n");
        chmod(victim.c_str(), 0644);
        return victim;
    }

    static void expect_untouched(const std::string &victim)
    {
        struct stat st;
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(read_file(victim), "root's\n");
    }
};

/* nobody's links in a sticky folder open to all, to root's file and to a
 * file that does not exist yet. */
TEST_F(KbdseedAttacks, RootIgnoresAnotherUsersLinkInASharedFolder)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const std::string open = dir_ + "/r", victim = make_victim();
    mkdir(open.c_str(), 0755);
    chmod(open.c_str(), 01777);
    as_nobody({"ln", "-s", victim, open + "/seed.bin"});
    as_nobody({"ln", "-s", dir_ + "/made", open + "/new.bin"});
    for (const char *name : {"/seed.bin", "/new.bin"}) {
        SCOPED_TRACE(name);
        const std::string path = open + name;
        expect_refused({"-out", path}, on_terminal(),
                       "ERROR: refusing " + path +
                           ": a link that another user owns in a folder every user may write\n",
                       path);
    }
    expect_untouched(victim);
    EXPECT_FALSE(file_exists(dir_ + "/made"));
    EXPECT_EQ(folder_listing(open), (std::set<std::string>{"seed.bin", "new.bin"}));
}

/* ALLUSERSPROFILE naming nobody's folder, whose "Application Data" is his link
 * to a folder of root's: every folder on the way must be root's, so root's
 * file there stays as it is, and no data folder is made there either. */
TEST_F(KbdseedAttacks, EveryFolderOnTheWayToTheDataFolderIsRoots)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const std::string profile = make_folder_of_nobody(dir_ + "/att"), vault = dir_ + "/vault";
    mkdir(vault.c_str(), 0755);
    mkdir((vault + "/Quorvant").c_str(), 0755);
    write_file(vault + "/Quorvant/prng_start.bin", "root's\n");
    chmod((vault + "/Quorvant/prng_start.bin").c_str(), 0644);
    as_nobody({"ln", "-s", vault, profile + "/Application Data"});
    const std::string why = "ERROR: refusing " + profile +
                            ": a folder owned by another user (uid " + nobody_uid() + ")\n";
    expect_refused({"-default"}, on_terminal(profile), why,
                   profile + "/Application Data/Quorvant/prng_start.bin");
    expect_untouched(vault + "/Quorvant/prng_start.bin");

    remove_tree(vault + "/Quorvant");
    EXPECT_EQ(run_process({KBDSEED_BIN}, options(profile)).status, kUsageStatus);
    EXPECT_EQ(folder_listing(vault), std::set<std::string>{});
}

/* "-n" tells an existing file by the same walk as the write: nobody's FIFO in
 * his folder is kept without being opened (nothing hangs), and his link in a
 * shared folder is no file to keep but refused, as without "-n". */
TEST_F(KbdseedAttacks, KeepingAFileLooksAtItAsWritingWould)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    const std::string att = make_folder_of_nobody(dir_ + "/att");
    as_nobody({"mkfifo", att + "/seed.bin"});
    std::vector<std::string> command = {"timeout", "20"};
    for (const std::string &word : target_command({KBDSEED_BIN, "-n", "-out", att + "/seed.bin"}))
        command.push_back(word);
    const ProcessResult kept = run_process(command, options());
    EXPECT_EQ(kept.status, 0);
    EXPECT_EQ(kept.out, kKept);
    EXPECT_EQ(kept.err, "");

    const std::string open = dir_ + "/r", victim = make_victim(), path = open + "/seed.bin";
    mkdir(open.c_str(), 0755);
    chmod(open.c_str(), 01777);
    as_nobody({"ln", "-s", victim, path});
    expect_refused({"-n", "-out", path}, on_terminal(),
                   "ERROR: refusing " + path +
                       ": a link that another user owns in a folder every user may write\n",
                   path);
    expect_untouched(victim);
}

/* The machine-wide data folder must be root's or the caller's and writable by
 * no one else; the programs make it 0755 whatever the umask. */
TEST_F(KbdseedAttacks, TheDataFolderIsMadeClosedAndMustStaySo)
{
    ProcessOptions o = options();
    o.umask = 0;
    const ProcessResult usage = run_process({KBDSEED_BIN}, o);
    EXPECT_EQ(usage.status, kUsageStatus);
    struct stat st;
    ASSERT_EQ(stat(data_dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    chmod(data_dir_.c_str(), 01777);
    expect_refused({"-default"}, on_terminal(),
                   "ERROR: refusing " + data_dir_ +
                       ": a folder that users other than its owner may write\n",
                   default_file_);
    if (geteuid() != 0) return;
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    chmod(data_dir_.c_str(), 0755);
    ASSERT_EQ(chown(data_dir_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    expect_refused({"-default"}, on_terminal(),
                   "ERROR: refusing " + data_dir_ + ": a folder owned by another user (uid " +
                       std::to_string(nobody->pw_uid) + ")\n",
                   default_file_);
    EXPECT_FALSE(file_exists(default_file_));
}

/* nobody may not replace root's read-only file, though he may write the
 * folder: the plain open failure. A folder open to all without the sticky
 * bit is no place for a start file at all. */
TEST_F(KbdseedAttacks, AUserCannotReplaceAFileHeMayNotWrite)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
    ProcessOptions o = on_terminal();
    o.drop_privileges = true;
    for (const mode_t mode : {mode_t{01777}, mode_t{0777}}) {
        SCOPED_TRACE(mode);
        const std::string folder = dir_ + "/d" + std::to_string(mode);
        mkdir(folder.c_str(), 0755);
        chmod(folder.c_str(), mode);
        const std::string ro = folder + "/ro.bin";
        write_file(ro, "root's\n");
        chmod(ro.c_str(), 0644);
        const std::string why =
            mode == 0777 ? "ERROR: refusing " + folder +
                               ": a folder every user may write, without the sticky bit\n"
                         : "";
        expect_refused({"-out", ro}, o, why, ro);
        expect_untouched(ro);
        EXPECT_EQ(folder_listing(folder), std::set<std::string>{"ro.bin"});
    }
}

} // namespace
