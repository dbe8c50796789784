/* kbdseed as a person at a terminal meets it: the built program runs on a
 * pseudo-terminal of its own, and the test reads each prompt and types the
 * key it shows (now and then a wrong one, and Ctrl+C) after varied delays. */
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#ifdef QV_HAVE_LIBACL
#include <sys/acl.h>
#endif

#include "kbdseed_cli.h"
#include "kbdseed_terminal.h"
#ifdef FAULT_LIB
#include "fault_env.h"
#endif
#include "run_process.h"

namespace {

/* Wrong keys at the first prompt and now and then later; the rest as shown. */
std::string mostly_right(int prompt, char key)
{
    if (prompt == 1 || prompt == 2 || prompt % 9 == 0) return std::string(1, other_key(key));
    return std::string(1, key);
}

TEST_F(KbdseedTerminal, APersonAnswersEveryPromptAndGetsTheStartFile)
{
    const std::string path = dir_ + "/seed.bin";
    write_file(path, std::string(100, 'o'));
    chmod(path.c_str(), 0600);
#ifdef QV_HAVE_LIBACL
    acl_t old = acl_from_text("u::rw-,u:nobody:r--,g::---,m::r--,o::---");
    acl_set_file(path.c_str(), ACL_TYPE_ACCESS, old);
    acl_free(old);
#endif
    const Dialogue d = collect({"-out", "seed.bin"}, mostly_right, on_terminal());
    expect_written(d, path, "seed.bin");
    ASSERT_GE(d.keys.size(), 3u);
    EXPECT_EQ(d.keys[1], d.keys[0]) << "a wrong start key is asked for again";
    EXPECT_EQ(d.keys[2], d.keys[0]);
    EXPECT_EQ(d.screen, "") << "nothing typed is echoed";
    const std::string seed = read_file(path);
    EXPECT_NE(seed, std::string(40, '\0'));

    /* A second run makes a different seed. */
    const Dialogue again = collect({"-out", "seed.bin"}, shown_key, on_terminal());
    expect_written(again, path, "seed.bin");
    EXPECT_NE(read_file(path), seed);
}

TEST_F(KbdseedTerminal, OutputOnTheTerminalItselfAndTheDefaultFile)
{
    const Dialogue d = collect({"-default"}, mostly_right, on_terminal(), true);
    expect_written(d, default_file_, default_file_);
}

TEST_F(KbdseedTerminal, DefaultFileWithoutApplicationData)
{
    const std::string bare = dir_ + "/bare";
    mkdir(bare.c_str(), 0755);
    const std::string path = bare + "/Application Data/Quorvant/prng_start.bin";
    const Dialogue d = collect({"-default"}, shown_key, on_terminal(bare));
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.out, d.expected_out);
    EXPECT_EQ(d.result.err,
              "ERROR: unable to open file " + path + "\nERROR: write_to_file returned -1\n");
}

TEST_F(KbdseedTerminal, AWriteThatNeverReachesTheDeviceFails)
{
    if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const Dialogue d = collect({"-out", "/dev/full"}, shown_key, on_terminal());
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.out, d.expected_out);
    EXPECT_EQ(d.result.err,
              "ERROR: unable to write to file /dev/full\nERROR: write_to_file returned -1\n");
}

TEST_F(KbdseedTerminal, AnOutputPathThatIsAFolderCannotBeOpened)
{
    mkdir((dir_ + "/folder").c_str(), 0755);
    const Dialogue d = collect({"-out", "folder"}, shown_key, on_terminal());
    EXPECT_EQ(d.result.status, kWriteStatus);
    EXPECT_EQ(d.result.out, d.expected_out);
    EXPECT_EQ(d.result.err,
              "ERROR: unable to open file folder\nERROR: write_to_file returned -1\n");
    struct stat st;
    EXPECT_EQ(stat((dir_ + "/folder").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

/* The terminal goes away while a key is awaited: the hang-up ends the run as
 * it ends any program on that terminal, and no start file is written. Under
 * nohup the lost terminal is a read error and the collector's chain. */
TEST_F(KbdseedTerminal, TheTerminalHangsUpWhileAKeyIsAwaited)
{
    Dialogue d = talk({"-out", "seed.bin"}, shown_key, on_terminal(), false, kHangUp);
    EXPECT_EQ(d.result.status, 128 + SIGHUP);
    EXPECT_EQ(d.keys.size(), 3u);
    EXPECT_EQ(d.result.err, "");
    EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));

    ProcessOptions nohup = on_terminal();
    nohup.ignore_hangup = true;
    d = talk({"-out", "seed.bin"}, shown_key, nohup, false, kHangUp);
    EXPECT_EQ(d.result.status, kCollectorStatus);
    EXPECT_EQ(d.result.out, d.expected_out);
    EXPECT_EQ(d.result.err, kNoTerminal);
    EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
}

#ifdef FAULT_LIB
/* The disk fills up as the new start file is written (at the write, the flush
 * or only at the close, as on a network file system): a write failure, the
 * old start file byte for byte, and nothing left beside it. Once the disk is
 * well again the file is replaced whole. */
TEST_F(KbdseedTerminal, AFullDiskKeepsTheOldStartFile)
{
    const std::string out = dir_ + "/out";
    mkdir(out.c_str(), 0755);
    const std::string path = out + "/seed.bin";
    const std::string old(40, 'o');
    write_file(path, old);
    for (const char *variable : {"FAULT_WRITE", "FAULT_FSYNC", "FAULT_CLOSE"}) {
        SCOPED_TRACE(variable);
        ProcessOptions o = on_terminal();
        add_faults(o, {{"FAULT_PATH", "seed.bin"}, {variable, "ENOSPC"}});
        const Dialogue d = collect({"-out", "out/seed.bin"}, shown_key, o);
        EXPECT_EQ(d.result.status, kWriteStatus);
        EXPECT_EQ(d.result.out, d.expected_out);
        EXPECT_EQ(d.result.err, "ERROR: unable to write to file out/seed.bin\n"
                                "ERROR: write_to_file returned -1\n");
        EXPECT_EQ(read_file(path), old);
        EXPECT_EQ(folder_listing(out), std::set<std::string>{"seed.bin"});
    }
    const Dialogue d = collect({"-out", "out/seed.bin"}, shown_key, on_terminal());
    expect_written(d, path, "out/seed.bin");
    EXPECT_EQ(folder_listing(out), std::set<std::string>{"seed.bin"});
}
#endif

TEST_F(KbdseedTerminal, TheLastSelectionIsWritten)
{
    Dialogue d = collect({"-out", "a", "-out", "b"}, shown_key, on_terminal());
    expect_written(d, dir_ + "/b", "b");
    EXPECT_FALSE(file_exists(dir_ + "/a"));

    d = collect({"-out", "a", "-default"}, shown_key, on_terminal());
    expect_written(d, default_file_, default_file_);
    EXPECT_FALSE(file_exists(dir_ + "/a"));

    d = collect({"-default", "-out", "a"}, shown_key, on_terminal());
    expect_written(d, dir_ + "/a", "a");

    d = collect({"-out", "-n"}, shown_key, on_terminal());
    expect_written(d, dir_ + "/-n", "-n");

    d = collect({"-n", "-out", "c"}, shown_key, on_terminal());
    expect_written(d, dir_ + "/c", "c");
}

TEST_F(KbdseedTerminal, CtrlCEndsTheRunAndLeavesTheTerminalAsItWas)
{
    for (int at : {1, 7}) {
        SCOPED_TRACE(at);
        const Dialogue d = talk(
            {"-out", "seed.bin"},
            [at](int prompt, char key) {
                return prompt == at ? std::string("\x03") : std::string(1, key);
            },
            on_terminal());
        EXPECT_EQ(d.result.status, kCollectorStatus) << "Ctrl+C is a key, not a signal";
        EXPECT_EQ(d.result.out, d.expected_out);
        EXPECT_EQ(d.result.err, kInterrupted);
        EXPECT_EQ(d.keys.size(), static_cast<size_t>(at));
        EXPECT_TRUE(d.settings_kept);
        EXPECT_TRUE(d.always_raw);
        EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
    }
}

TEST_F(KbdseedTerminal, SignalsWhileWaitingRestoreTheTerminal)
{
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        const Dialogue d = talk({"-out", "seed.bin"}, shown_key, on_terminal(), false, sig);
        EXPECT_EQ(d.result.status, 128 + sig);
        EXPECT_EQ(d.keys.size(), 3u);
        EXPECT_TRUE(d.always_raw);
        EXPECT_TRUE(d.settings_kept);
        EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
    }
}

/* The default start file is open to every user in a folder only the
 * administrator may write: a user can still replace the seed, written over
 * the old one in place, but cannot change its access list. */
bool is_stopped(int pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end, 3, ") T") == 0;
}

/* Stopped from outside while a key is awaited (kill -TSTP, as job control
 * stops a job), the program gives the terminal back; continued (as by fg),
 * it takes raw mode again: the next key needs no Enter and is not echoed,
 * and Ctrl+C is a key that ends the run. */
TEST_F(KbdseedTerminal, AStoppedRunGivesTheTerminalBackUntilItContinues)
{
#ifdef QV_UNDER_VALGRIND
    GTEST_SKIP() << "valgrind ignores a stop signal's default action: its programs never stop";
#endif
    ProcessOptions o = on_terminal();
    o.as_job = true;
    TerminalProcess p;
    ASSERT_TRUE(start_on_terminal(p, {KBDSEED_BIN, "-out", "seed.bin"}, o));
    const std::regex prompt_re("([0-9]{2,}): Press key (.)\\.\\.\\.$");
    std::smatch m;
    ASSERT_TRUE(pump_until(
        p, [&] { return std::regex_search(p.out, m, prompt_re) && terminal_is_raw(p); },
        kPromptTimeoutMs));
    const std::string first = m[0].str();
    const char key = m[2].str()[0];
    const int job = tcgetpgrp(p.master);
    ASSERT_GT(job, 0);

    kill(-job, SIGTSTP);
    struct termios now;
    EXPECT_TRUE(pump_until(
        p,
        [&] {
            return is_stopped(job) && tcgetattr(p.terminal, &now) == 0 &&
                   same_settings(p.initial, now);
        },
        kPromptTimeoutMs));
    /* The shell takes the terminal back in its own settings meanwhile. */
    tcsetattr(p.terminal, TCSANOW, &p.initial);
    kill(-job, SIGCONT);
    EXPECT_TRUE(pump_until(
        p, [&] { return terminal_is_raw(p); }, kPromptTimeoutMs));

    type_on_terminal(p, std::string(1, key));
    const std::string after = kBanner + first + key + "\n";
    EXPECT_TRUE(pump_until(
        p,
        [&] {
            return p.out.size() > after.size() &&
                   std::regex_search(p.out.substr(after.size()), prompt_re);
        },
        kPromptTimeoutMs));
    ASSERT_TRUE(pump_until(
        p, [&] { return terminal_is_raw(p); }, kPromptTimeoutMs));
    type_on_terminal(p, "\x03");
    const ProcessResult r = finish_on_terminal(p, kPromptTimeoutMs);
    EXPECT_EQ(r.status, kCollectorStatus);
    EXPECT_EQ(r.out.compare(0, after.size(), after), 0) << r.out;
    EXPECT_EQ(r.err, kInterrupted);
    EXPECT_EQ(p.screen, "") << "nothing typed is echoed";
    EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
}

TEST_F(KbdseedTerminal, AnAccessListThatCannotBeSetIsAWarning)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a file to another user";
    chmod(dir_.c_str(), 0755);
    const std::string path = dir_ + "/shared.bin";
    write_file(path, std::string(100, 'o'));
    chmod(path.c_str(), 0646);
    ProcessOptions o = on_terminal();
    o.drop_privileges = true;
    const Dialogue d = collect({"-out", path}, shown_key, o);
    EXPECT_EQ(d.result.status, 0);
    EXPECT_EQ(d.result.out, d.expected_out + "40 random bytes generated to " + path + " OK\n");
    EXPECT_EQ(d.result.err, "WARNING: unable to set access list of file " + path + "\n");
    EXPECT_EQ(read_file(path).size(), 40u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the same file, written in place";
}

} // namespace

#include <sys/ioctl.h>
#include <sys/resource.h>

namespace {

/* Every signal whose default action ends the program gives the terminal back
 * first; the program still ends by that signal. */
TEST_F(KbdseedTerminal, EveryEndingSignalRestoresTheTerminal)
{
    /* No core file from the signals that would leave one. */
    struct rlimit core, none = {0, 0};
    getrlimit(RLIMIT_CORE, &core);
    none.rlim_max = core.rlim_max;
    setrlimit(RLIMIT_CORE, &none);
    for (int sig : {SIGQUIT, SIGUSR1, SIGALRM, SIGABRT}) {
        SCOPED_TRACE(sig);
        const Dialogue d = talk({"-out", "seed.bin"}, shown_key, on_terminal(), false, sig);
        EXPECT_EQ(d.result.status, 128 + sig);
        EXPECT_EQ(d.keys.size(), 3u);
        EXPECT_TRUE(d.always_raw);
        EXPECT_TRUE(d.settings_kept);
        EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
    }
    setrlimit(RLIMIT_CORE, &core);
}

/* A paste of 2000 letters and digits at the first prompt, every key among
 * them many times, answers no prompt: the start key is asked for again and
 * again until Ctrl+C ends the run. */
TEST_F(KbdseedTerminal, APasteAnswersNoPrompt)
{
    TerminalProcess p;
    ASSERT_TRUE(start_on_terminal(p, {KBDSEED_BIN, "-out", "seed.bin"}, on_terminal()));
    const std::regex prompt_re("([0-9]{2,}): Press key (.)\\.\\.\\.");
    const auto prompts = [&p, &prompt_re] {
        return std::distance(std::sregex_iterator(p.out.begin(), p.out.end(), prompt_re),
                             std::sregex_iterator());
    };
    /* Waiting at a prompt with nothing left to read. */
    const auto idle = [&p] {
        int queued = -1;
        return p.out.size() > 3 && p.out.compare(p.out.size() - 3, 3, "...") == 0 &&
               terminal_is_raw(p) && ioctl(p.terminal, FIONREAD, &queued) == 0 && queued == 0;
    };
    ASSERT_TRUE(pump_until(
        p, [&] { return prompts() == 1 && terminal_is_raw(p); }, kPromptTimeoutMs));
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string paste;
    while (paste.size() < 2000) paste += alphabet;
    paste.resize(2000);
    type_on_terminal(p, paste);

    /* The paste may still arrive after a prompt threw its start away, and
     * take a Ctrl+C with it: then the next prompt gets another one. The
     * first Ctrl+C waits for the prompt after the first: before the paste
     * arrives, the first prompt looks idle too. */
    long typed_at = 1;
    for (int tries = 0; tries < 20 && !p.exited; tries++) {
        ASSERT_TRUE(pump_until(
            p, [&] { return p.exited || (prompts() > typed_at && idle()); }, kPromptTimeoutMs));
        if (p.exited) break;
        typed_at = prompts();
        type_on_terminal(p, "\x03");
    }
    struct termios after;
    EXPECT_TRUE(tcgetattr(p.terminal, &after) == 0 && same_settings(p.initial, after));
    const ProcessResult r = finish_on_terminal(p, kPromptTimeoutMs);
    /* The terminal hands a paste to the program in pieces, later than the
     * write that typed it. A Ctrl+C typed behind it can thus reach the
     * terminal while the collector is between two keys, the terminal no
     * longer raw: then it is the interrupt signal, which ends the run as any
     * ending signal does. */
    if (r.status == 128 + SIGINT) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.status, kCollectorStatus);
        EXPECT_EQ(r.err, kInterrupted);
    }
    EXPECT_FALSE(file_exists(dir_ + "/seed.bin"));
    std::set<std::string> keys;
    int shown = 0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), prompt_re);
         it != std::sregex_iterator(); ++it, ++shown) {
        keys.insert((*it)[2].str());
    }
    EXPECT_EQ(keys.size(), 1u) << "a press was accepted:\n" << r.out;
    EXPECT_GE(shown, 2) << "the dialogue goes on asking:\n" << r.out;
}

} // namespace
