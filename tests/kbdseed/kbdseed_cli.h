/* Shared by the tests that run the built kbdseed. */
#ifndef TESTS_KBDSEED_KBDSEED_CLI_H
#define TESTS_KBDSEED_KBDSEED_CLI_H

#include <string>

const std::string kUsage =
    "Usage: kbdseed [-n]{-out <file_name> | [-default]}\n"
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

#endif
