/* The pseudo-terminal dialogue with the built kbdseed: the test reads each
 * prompt and types the key it shows (or another answer) after varied delays,
 * as a person at a terminal would. */
#ifndef TESTS_KBDSEED_KBDSEED_TERMINAL_H
#define TESTS_KBDSEED_KBDSEED_TERMINAL_H

#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifdef QV_HAVE_LIBACL
#include <sys/acl.h>
#endif

#include "kbdseed_cli.h"
#include "run_process.h"

constexpr int kHangUp = -1; /* for talk(): the terminal goes away */
constexpr int kPromptTimeoutMs = 10000 * kSlow;

/* What the test types at prompt number `prompt` showing `key`; "" ends the
 * dialogue without typing. */
using Answer = std::function<std::string(int prompt, char key)>;

inline std::string shown_key(int, char key)
{
    return std::string(1, key);
}

/* A wrong key: the same letter in the other case, or another digit. */
inline char other_key(char key)
{
    if (key >= 'a' && key <= 'z') return static_cast<char>(key - 'a' + 'A');
    if (key >= 'A' && key <= 'Z') return static_cast<char>(key - 'A' + 'a');
    return key == '7' ? '8' : '7';
}

struct Dialogue {
    ProcessResult result;     /* with output on the terminal: out is what it showed */
    std::string expected_out; /* banner and prompts, as the answers make them */
    std::vector<char> keys;   /* the key of every prompt */
    int accepted = 0;
    std::string screen; /* what appeared on the terminal itself */
    bool settings_kept = false;
    bool always_raw = true; /* raw at every prompt */
};

inline bool same_settings(const struct termios &a, const struct termios &b)
{
    if (a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
        a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0) {
        return true;
    }
    fprintf(stderr, "settings: iflag %x/%x oflag %x/%x cflag %x/%x lflag %x/%x\n", a.c_iflag,
            b.c_iflag, a.c_oflag, b.c_oflag, a.c_cflag, b.c_cflag, a.c_lflag, b.c_lflag);
    for (size_t i = 0; i < sizeof a.c_cc; i++) {
        if (a.c_cc[i] != b.c_cc[i]) fprintf(stderr, "  c_cc[%zu] %d/%d\n", i, a.c_cc[i], b.c_cc[i]);
    }
    return false;
}

class KbdseedTerminal : public KbdseedRun {
protected:
    ProcessOptions on_terminal(const std::string &profile = "") const
    {
        ProcessOptions o = options(profile);
        o.umask = 077; /* the start file is open to all all the same */
        return o;
    }

    /* Runs kbdseed on a terminal and answers its prompts. */
    Dialogue talk(const std::vector<std::string> &args, const Answer &answer,
                  const ProcessOptions &opts, bool output_on_terminal = false, int stop_signal = 0)
    {
        std::vector<std::string> argv = {KBDSEED_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        Dialogue d;
        TerminalProcess p;
        if (!start_on_terminal(p, argv, opts, output_on_terminal)) return d;
        /* On the terminal every line end shows as "\r\n". */
        const std::string &out = output_on_terminal ? p.screen : p.out;
        const size_t line_end = output_on_terminal ? 2 : 1;
        const std::regex prompt_re("^([0-9]{2,}): Press key (.)\\.\\.\\.");
        size_t pos = kBanner.size() + (line_end - 1) * 2;
        d.expected_out = kBanner;
        for (;;) {
            std::smatch m;
            const bool prompted = pump_until(
                p,
                [&] {
                    return out.size() > pos &&
                           std::regex_search(out.cbegin() + static_cast<long>(pos), out.cend(), m,
                                             prompt_re);
                },
                kPromptTimeoutMs);
            if (!prompted) break;
            const int number = std::stoi(m[1].str());
            const char key = m[2].str()[0];
            d.keys.push_back(key);
            EXPECT_EQ(number, static_cast<int>(d.keys.size()));
            pos += static_cast<size_t>(m.length(0));
            char prompt[40];
            snprintf(prompt, sizeof prompt, "%.2d: Press key %c...", number, key);
            d.expected_out += prompt;
            /* The key is typed once the program waits for it, as a person's is. */
            if (!pump_until(
                    p, [&] { return terminal_is_raw(p); }, kPromptTimeoutMs)) {
                d.always_raw = false;
                break;
            }
            if (stop_signal != 0 && number == 3) {
                if (stop_signal == kHangUp) {
                    close(p.master); /* the terminal's window is closed */
                    p.master = -1;
                } else {
                    kill(p.pid, stop_signal);
                }
                break;
            }
            std::uniform_int_distribution<int> delay_us(1000, 6000);
            usleep(static_cast<useconds_t>(delay_us(rng_)));
            const std::string typed = answer(number, key);
            if (typed.empty()) break;
            type_on_terminal(p, typed);
            if (typed != "\x03") {
                d.expected_out += typed + "\n";
                pos += typed.size() + line_end;
            }
            if (typed == std::string(1, key)) d.accepted++;
        }
        pump_until(
            p, [&] { return p.exited && p.out_fd < 0 && p.err_fd < 0; }, kPromptTimeoutMs);
        struct termios after;
        d.settings_kept = tcgetattr(p.terminal, &after) == 0 && same_settings(p.initial, after);
        if (stop_signal == kHangUp) d.settings_kept = true; /* nothing left to keep */
        d.result = finish_on_terminal(p, kPromptTimeoutMs);
        d.screen = p.screen;
        if (output_on_terminal) {
            d.result.out = std::regex_replace(d.screen, std::regex("\r\n"), "\n");
        }
        return d;
    }

    /* A full collection; a run that the estimate ends (bad luck with the
     * timing, about one in two hundred) is repeated. With the output on the
     * terminal the estimate's words are on the screen after the dialogue. */
    Dialogue collect(const std::vector<std::string> &args, const Answer &answer,
                     const ProcessOptions &opts, bool output_on_terminal = false)
    {
        Dialogue d;
        for (int attempt = 0; attempt < 3; attempt++) {
            d = talk(args, answer, opts, output_on_terminal);
            const bool estimate_ended =
                d.result.status == kCollectorStatus &&
                (output_on_terminal ? d.result.out == d.expected_out + kCollectorFailed
                                    : d.result.err == kCollectorFailed);
            if (!estimate_ended) break;
        }
        EXPECT_TRUE(d.settings_kept);
        EXPECT_TRUE(d.always_raw);
        EXPECT_GE(d.accepted, 34);
        return d;
    }

    static void expect_written(const Dialogue &d, const std::string &path, const std::string &shown)
    {
        EXPECT_EQ(d.result.status, 0);
        EXPECT_EQ(d.result.out, d.expected_out + "40 random bytes generated to " + shown + " OK\n");
        EXPECT_EQ(d.result.err, "");
        EXPECT_EQ(read_file(path).size(), 40u);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u);
#ifdef QV_HAVE_LIBACL
        acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
        ASSERT_NE(acl, nullptr);
        char *text = acl_to_text(acl, nullptr);
        EXPECT_STREQ(text, "user::rw-\ngroup::rw-\nother::rw-\n");
        acl_free(text);
        acl_free(acl);
#endif
    }

    std::mt19937 rng_{20121};
};

#endif
