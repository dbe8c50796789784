/* Shared by the tests that run the built kbdseed. */
#ifndef TESTS_KBDSEED_KBDSEED_CLI_H
#define TESTS_KBDSEED_KBDSEED_CLI_H

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "run_process.h"

const std::string kUsage = "Usage: kbdseed [-n]{-out <file_name> | [-default]}\n"
                           "  -n - Don't rewrite existing output file\n"
                           "  -out <file_name> - Output file name\n"
                           "  -default - Utility uses default file name:\n"
                           "    %ALLUSERSPROFILE%\\Application Data\\Quorvant\\prng_start.bin\n"
                           "\n";
const std::string kBanner = "Make initial value for cryptographic random generator\n"
                            "=====================================================\n";
const std::string kKept =
    "Existing initial value for cryptographic random generator is not re-created\n";
const std::string kCollectorFailed =
    "keyent_callback: keyent_rng returned -5\nkeyent_callback returned -2\n";
const std::string kNoTerminal = "\nError read character\n" + kCollectorFailed;
const std::string kInterrupted = "\nInput terminated\n" + kCollectorFailed;

/* Exit statuses -1, -2 and -3 as the shell sees them. */
constexpr int kUsageStatus = 255;
constexpr int kCollectorStatus = 254;
constexpr int kWriteStatus = 253;

#ifdef QV_UNDER_VALGRIND
constexpr int kSlow = 20; /* the program runs under memcheck */
#else
constexpr int kSlow = 1;
#endif

/* A temporary folder with an all-users profile in it that holds
 * "Application Data"; runs start there with ALLUSERSPROFILE pointing at it. */
class KbdseedRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_trusted_temp_dir("kbdseed");
        profile_ = dir_ + "/profile";
        mkdir(profile_.c_str(), 0755);
        mkdir((profile_ + "/Application Data").c_str(), 0755);
        data_dir_ = profile_ + "/Application Data/Quorvant";
        default_file_ = data_dir_ + "/prng_start.bin";
    }
    void TearDown() override { remove_tree(dir_); }

    /* Standard input holds keys, which must never be read. */
    ProcessOptions options(const std::string &profile = "") const
    {
        ProcessOptions o;
        o.cwd = dir_;
        o.set_env = {{"ALLUSERSPROFILE", profile.empty() ? profile_ : profile}};
        o.stdin_data = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz\n";
        return o;
    }

    std::string dir_, profile_, data_dir_, default_file_;
};

#endif
