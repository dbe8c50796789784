/* kbdseed.exe under Wine, as a user meets it. The dialogue runs on a pseudo
 * terminal, which Wine turns into the program's console, so _getch reads the
 * keys typed there; standard output and error are pipes, since Wine's console
 * rewrites what goes to a terminal. Both are text streams: CR LF line ends.
 *
 * Not here: Ctrl+C. Wine's console takes it as a break, which ends the program,
 * and never hands it to _getch as the character 3, so that case is left to
 * the POSIX builds' tests (test_kbdseed_pty.cpp), whose console read delivers
 * it as a key. */
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "kbdseed_cli.h"
#include "run_process.h"

namespace {

constexpr int kPromptTimeoutMs = 30000;

std::string text(const std::string &lines)
{
    return crlf_lines(lines);
}

/* Runs one of Wine's own programs, or a helper of the build, in the prefix. */
ProcessResult in_wine(std::vector<std::string> args, const std::string &cwd = "")
{
    std::vector<std::string> argv = target_emulator();
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions o;
    o.cwd = cwd;
    return run_process(argv, o);
}

/* A wrong key: the same letter in the other case, or another digit. */
char other_key(char key)
{
    if (key >= 'a' && key <= 'z') return static_cast<char>(key - 'a' + 'A');
    if (key >= 'A' && key <= 'Z') return static_cast<char>(key - 'A' + 'a');
    return key == '7' ? '8' : '7';
}

struct Dialogue {
    ProcessResult result;
    std::string expected_out; /* banner, prompts and echoed keys, as typed */
    std::vector<char> keys;   /* the key of every prompt */
    int accepted = 0;
    std::string screen; /* what Wine's console put on the terminal */
};

class KbdseedWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(target_emulator().empty());
        dir_ = make_temp_dir("kbdseed_windows");
    }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), KBDSEED_BIN);
        ProcessOptions o;
        o.cwd = dir_;
        o.stdin_data = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz\n";
        return run_process(args, o);
    }

    /* Runs kbdseed on a terminal and types, at every prompt, the shown key
     * or (at the first two prompts and every ninth) a wrong one. */
    Dialogue talk(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {KBDSEED_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        Dialogue d;
        TerminalProcess p;
        ProcessOptions o;
        o.cwd = dir_;
        o.umask = 077; /* the start file is open to all all the same */
        if (!start_on_terminal(p, argv, o)) return d;
        const std::regex prompt_re("^([0-9]{2,}): Press key (.)\\.\\.\\.");
        size_t pos = text(kBanner).size();
        d.expected_out = kBanner;
        for (;;) {
            std::smatch m;
            const bool prompted = pump_until(
                p,
                [&] {
                    return p.out.size() > pos &&
                           std::regex_search(p.out.cbegin() + static_cast<long>(pos), p.out.cend(),
                                             m, prompt_re);
                },
                kPromptTimeoutMs);
            if (!prompted) break;
            const int number = std::stoi(m[1].str());
            const char key = m[2].str()[0];
            d.keys.push_back(key);
            EXPECT_EQ(number, static_cast<int>(d.keys.size()));
            pos += static_cast<size_t>(m.length(0));
            d.expected_out += m[0].str();
            /* Wine's console makes the terminal raw as it starts; a key typed
             * before that would wait for a line end. */
            if (number == 1)
                pump_until(
                    p, [&] { return terminal_is_raw(p); }, kPromptTimeoutMs);
            const bool wrong = number <= 2 || number % 9 == 0;
            const char typed = wrong ? other_key(key) : key;
            type_on_terminal(p, std::string(1, typed));
            d.expected_out += std::string(1, typed) + "\n";
            pos += 3;
            if (!wrong) d.accepted++;
        }
        d.result = finish_on_terminal(p, kPromptTimeoutMs);
        d.screen = p.screen;
        return d;
    }

    /* A full collection; a run that the estimate ends (bad luck with the
     * timing) is repeated. */
    Dialogue collect(const std::vector<std::string> &args)
    {
        Dialogue d;
        for (int attempt = 0; attempt < 3; attempt++) {
            d = talk(args);
            if (d.result.err != text(kCollectorFailed)) break;
        }
        /* A dialogue that ends early: what Wine's console showed on the
         * terminal may tell why. */
        EXPECT_GE(d.accepted, 34) << "the terminal showed " << testing::PrintToString(d.screen);
        if (d.keys.size() >= 3) {
            EXPECT_EQ(d.keys[1], d.keys[0]) << "a wrong start key is asked for again";
            EXPECT_EQ(d.keys[2], d.keys[0]);
        }
        return d;
    }

    /* Owner, group and access list of a file or folder as Windows shows
     * them: "O:<sid>G:<sid>D:<entries>". */
    std::string security(const std::string &windows_path)
    {
        const ProcessResult r = in_wine({FILE_ACL_BIN, windows_path}, dir_);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    /* The start file is open to every user. Wine keeps no access list of its
     * own for a file: it turns the list set into the file's mode (Everyone
     * read and write: rw-rw-rw-) and builds the list it reads back from that
     * mode, where Everyone ("WD") then has an entry. Without set_file_access
     * the file would keep the mode 0600 of the umask and no entry for WD. */
    void expect_open_to_everyone(const std::string &windows_path, const std::string &unix_path)
    {
        struct stat st;
        ASSERT_EQ(stat(unix_path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        const std::string shown = security(windows_path);
        EXPECT_TRUE(std::regex_search(
            shown, std::regex("^O:S-[-0-9]+G:S-[-0-9]+D:.*\\(A;;0x[0-9a-f]+;;;WD\\)\r\n$")))
            << shown;
    }

    std::vector<std::string> names_in_dir()
    {
        std::vector<std::string> names;
        DIR *folder = opendir(dir_.c_str());
        if (folder == nullptr) return names;
        while (const struct dirent *e = readdir(folder)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        closedir(folder);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
};

TEST_F(KbdseedWindows, UsageErrors)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"-n"}, {"-OUT", "x"}, {"-Default"}, {"-out", "a", "-out"}}) {
        const ProcessResult r = run(args);
        EXPECT_EQ(r.status, kUsageStatus);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, text(kUsage));
    }
    EXPECT_FALSE(file_exists(dir_ + "/a"));
}

TEST_F(KbdseedWindows, AnExistingFileIsKeptWithN)
{
    write_file(dir_ + "/kept.bin", "");
    for (const auto &args : std::vector<std::vector<std::string>>{{"-n", "-out", "kept.bin"},
                                                                  {"-out", "kept.bin", "-n"}}) {
        const ProcessResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, text(kKept));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(dir_ + "/kept.bin"), "");
    }
}

TEST_F(KbdseedWindows, WithoutAConsoleTheFirstPromptFails)
{
    /* Standard input a pipe and no terminal: _getch has no console to read. */
    const ProcessResult r = run({"-out", "seed.bin"});
    EXPECT_EQ(r.status, kCollectorStatus);
    EXPECT_EQ(r.out.substr(0, text(kBanner).size() + 4), text(kBanner) + "01: ");
    EXPECT_EQ(r.err, text(kNoTerminal));
    EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
}

/* The new file replaces the old one, which keeps its owner and group and gets
 * the access list. Wine keeps no owner of its own either (it shows the Unix
 * owner's SID), so here the owner and group show only that the run ends with
 * the file's own and without a warning that they, or the list, could not be
 * set on the new file's handle. */
TEST_F(KbdseedWindows, AWholeCollectionWritesTheStartFile)
{
    write_file(dir_ + "/seed.bin", std::string(100, 'o'));
    const std::string before = security("seed.bin");
    const Dialogue d = collect({"-out", "seed.bin"});
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.out, text(d.expected_out + "40 random bytes generated to seed.bin OK\n"));
    EXPECT_EQ(d.result.err, "");
    const std::string seed = read_file(dir_ + "/seed.bin");
    EXPECT_EQ(seed.size(), 40u);
    EXPECT_NE(seed, std::string(40, '\0'));
    expect_open_to_everyone("seed.bin", dir_ + "/seed.bin");
    const std::string after = security("seed.bin");
    EXPECT_EQ(after.substr(0, after.find("D:")), before.substr(0, before.find("D:")));
    /* The new file was moved over the old one: nothing else is left. */
    EXPECT_EQ(names_in_dir(), std::vector<std::string>{"seed.bin"});
}

/* A file with a second name: a new file would leave the old seed under that
 * name, so it is refused where other users may write the folder (they could
 * have made the name), and elsewhere written where it is. */
TEST_F(KbdseedWindows, AHardLinkedFile)
{
    const std::string old(100, 'o');
    write_file(dir_ + "/seed.bin", old);
    ASSERT_EQ(link((dir_ + "/seed.bin").c_str(), (dir_ + "/other.bin").c_str()), 0);

    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    Dialogue d = collect({"-out", "seed.bin"});
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.out, text(d.expected_out));
    EXPECT_EQ(d.result.err, text("ERROR: refusing seed.bin: a file with 2 hard links in a folder "
                                 "other users may write\n"
                                 "ERROR: unable to open file seed.bin\n"
                                 "ERROR: write_to_file returned -1\n"));
    EXPECT_EQ(read_file(dir_ + "/seed.bin"), old);

    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    d = collect({"-out", "seed.bin"});
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.err, "");
    const std::string seed = read_file(dir_ + "/seed.bin");
    EXPECT_EQ(seed.size(), 40u);
    EXPECT_EQ(read_file(dir_ + "/other.bin"), seed);
    expect_open_to_everyone("seed.bin", dir_ + "/seed.bin");
    EXPECT_EQ(names_in_dir(), (std::vector<std::string>{"other.bin", "seed.bin"}));
}

/* The path is walked a folder at a time, with either separator and ".."
 * taken by the names as the system takes them; a folder that is missing is a
 * plain open failure, with no line of why. */
TEST_F(KbdseedWindows, APathThroughFolders)
{
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
    Dialogue d = collect({"-out", "sub/..\\sub\\seed.bin"});
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.out,
              text(d.expected_out + "40 random bytes generated to sub/..\\sub\\seed.bin OK\n"));
    EXPECT_EQ(d.result.err, "");
    EXPECT_EQ(read_file(dir_ + "/sub/seed.bin").size(), 40u);

    d = collect({"-out", "missing\\seed.bin"});
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.err, text("ERROR: unable to open file missing\\seed.bin\n"
                                 "ERROR: write_to_file returned -1\n"));
    EXPECT_EQ(names_in_dir(), std::vector<std::string>{"sub"});
}

/* A device is written as it is, and its access list is left alone. */
TEST_F(KbdseedWindows, ADeviceIsWrittenAsItIs)
{
    const Dialogue d = collect({"-out", "NUL"});
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.out, text(d.expected_out + "40 random bytes generated to NUL OK\n"));
    EXPECT_EQ(d.result.err, "");
    EXPECT_EQ(names_in_dir(), std::vector<std::string>{});
}

/* The default file lies under the all-users profile that Wine gives every
 * program (an ALLUSERSPROFILE of the caller's does not reach it). */
TEST_F(KbdseedWindows, TheDefaultFileUnderTheAllUsersProfile)
{
    const ProcessResult echo = in_wine({"cmd", "/c", "echo", "%ALLUSERSPROFILE%"});
    ASSERT_EQ(echo.status, 0);
    const std::string profile = echo.out.substr(0, echo.out.find('\r'));
    ASSERT_EQ(profile.compare(0, 3, "C:\\"), 0) << profile;
    std::string unix_profile = std::string(WINE_PREFIX) + "/drive_c/" + profile.substr(3);
    for (char &c : unix_profile) {
        if (c == '\\') c = '/';
    }
    const std::string app_data = unix_profile + "/Application Data";
    const std::string shown = profile + "\\Application Data\\Quorvant\\prng_start.bin";
    remove_tree(app_data);

    /* Only the last level is made: without "Application Data" the write fails
     * after the whole collection. */
    Dialogue d = collect({"-default"});
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.out, text(d.expected_out));
    EXPECT_EQ(d.result.err,
              text("ERROR: unable to open file " + shown + "\nERROR: write_to_file returned -1\n"));
    EXPECT_FALSE(file_exists(app_data));

    ASSERT_EQ(mkdir(app_data.c_str(), 0755), 0);
    d = collect({"-out", "elsewhere.bin", "-default"});
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.out,
              text(d.expected_out + "40 random bytes generated to " + shown + " OK\n"));
    EXPECT_EQ(d.result.err, "");
    EXPECT_EQ(read_file(app_data + "/Quorvant/prng_start.bin").size(), 40u);
    EXPECT_FALSE(file_exists(dir_ + "/elsewhere.bin"));
    expect_open_to_everyone(shown, app_data + "/Quorvant/prng_start.bin");

    /* The folder was made with a list of its own: full control for SYSTEM,
     * Administrators and the caller, read for Users. Wine keeps of it only
     * what a Unix mode holds, rwxr-x---: nothing for Everyone, where the
     * default list (the umask's 0755) gives Everyone an entry. */
    const std::string folder = profile + "\\Application Data\\Quorvant";
    const std::string folder_security = security(folder);
    EXPECT_TRUE(std::regex_search(
        folder_security,
        std::regex("^O:(S-[-0-9]+)G:S-[-0-9]+D:\\(A;OICI;FA;;;SY\\)\\(A;OICI;FA;;;\\1\\)\r\n$")))
        << folder_security;

    /* A default folder that another user may write is refused. */
    ASSERT_EQ(chmod((app_data + "/Quorvant").c_str(), 0777), 0);
    d = collect({"-default"});
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.err, text("ERROR: refusing " + folder +
                                 ": a folder that users other than its owner may write\n"
                                 "ERROR: unable to open file " +
                                 shown + "\nERROR: write_to_file returned -1\n"));

    /* So is one that another user owns: Wine shows a folder of another Unix
     * user as ANONYMOUS LOGON's. Only root can give it away, and not in a
     * user namespace that maps no other user (as win32 tests run). */
    ASSERT_EQ(chmod((app_data + "/Quorvant").c_str(), 0755), 0);
    if (chown((app_data + "/Quorvant").c_str(), 65534, 65534) == 0) {
        d = collect({"-default"});
        EXPECT_EQ(d.result.status, kWriteStatus);
        EXPECT_EQ(d.result.err, text("ERROR: refusing " + folder +
                                     ": a folder owned by another user (S-1-5-7)\n"
                                     "ERROR: unable to open file " +
                                     shown + "\nERROR: write_to_file returned -1\n"));
    }

    /* The directory is made on every run, whatever the options. */
    remove_tree(app_data + "/Quorvant");
    const ProcessResult r = run({});
    EXPECT_EQ(r.status, kUsageStatus);
    struct stat st;
    EXPECT_EQ(stat((app_data + "/Quorvant").c_str(), &st), 0);
    remove_tree(app_data);
}

} // namespace
