/* Runs a built program as a user would and captures what it prints. */
#ifndef TEST_SUPPORT_RUN_PROCESS_H
#define TEST_SUPPORT_RUN_PROCESS_H

#include <termios.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
    std::string cwd; /* empty: the test's own */
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    std::string stdin_data; /* fed to standard input */
    /* As root: run as the unprivileged "nobody". A program of the build tree
     * then runs from a copy in a folder every user may enter, wherever the
     * tree lies. */
    bool drop_privileges = false;
    bool new_session = true;    /* no controlling terminal for the child */
    int umask = -1;             /* the child's umask; -1: inherited */
    bool ignore_hangup = false; /* SIGHUP ignored, as under nohup */
    /* Standard output sent to this file (such as /dev/full) instead of the
     * pipe; with close_stdout the program starts with it closed. */
    std::string stdout_file;
    bool close_stdout = false;
    bool close_stdin = false; /* the program starts with standard input closed */
    /* On a terminal: run as a shell runs a job, in a process group of its own
     * in the terminal's foreground, below a session leader that waits for it
     * (so that job control can stop it; the leader passes its status on). */
    bool as_job = false;
};

struct ProcessResult {
    int status = -1; /* exit status as the shell sees it (0..255), or 128 + signal */
    std::string out; /* everything written to standard output */
    std::string err; /* everything written to standard error */
};

/* argv[0] is the program's path; a program built by this project is started
 * through target_command. Fails the calling test (gtest) when the program
 * cannot be started. */
ProcessResult run_process(const std::vector<std::string> &argv,
                          const ProcessOptions &options = ProcessOptions());

/* A program running on a pseudo-terminal of its own, the terminal being its
 * controlling terminal (its /dev/tty) and standard input. Standard output and
 * standard error are pipes, or with output_on_terminal the terminal itself. */
struct TerminalProcess {
    int pid = -1;
    int master = -1;        /* what is written here is typed on the terminal */
    int terminal = -1;      /* the terminal, kept open by the test to read its settings */
    struct termios initial; /* its settings before the program started */
    int out_fd = -1;
    int err_fd = -1;
    std::string out;    /* standard output so far (pipe) */
    std::string err;    /* standard error so far (pipe) */
    std::string screen; /* everything the terminal showed: echo, and output on it */
    bool exited = false;
    int status = -1;      /* as in ProcessResult, once exited */
    std::string copy_dir; /* the program's copy for "nobody", removed at the end */
};

/* Fails the calling test when the program cannot be started. Standard input
 * stays the terminal unless options.stdin_data is set, which then comes from
 * a pipe. */
bool start_on_terminal(TerminalProcess &p, const std::vector<std::string> &argv,
                       const ProcessOptions &options = ProcessOptions(),
                       bool output_on_terminal = false);

/* Collects output for up to wait_ms; true when something arrived or the
 * program has exited with output still to drain. */
bool pump_once(TerminalProcess &p, int wait_ms);

/* Types the bytes on the terminal. */
void type_on_terminal(TerminalProcess &p, const std::string &bytes);

/* True while the terminal is in a raw mode: no canonical input, no echo. */
bool terminal_is_raw(const TerminalProcess &p);

/* Waits (up to timeout_ms) for the program to end and its output to drain,
 * kills it if it does not, and closes everything. */
ProcessResult finish_on_terminal(TerminalProcess &p, int timeout_ms);

/* Collects output until done() holds, the program has exited and its output is
 * drained, or timeout_ms passes. Returns done(). */
template <typename Done> bool pump_until(TerminalProcess &p, Done done, int timeout_ms)
{
    const int step = 5;
    for (int waited = 0; !done(); waited += step) {
        if (waited >= timeout_ms) return false;
        if (!pump_once(p, step) && p.exited) return done();
    }
    return true;
}

/* The same in two steps, so that several programs can run at once. */
struct RunningProcess {
    int pid = -1;
    int in_fd = -1, out_fd = -1, err_fd = -1;
    std::string stdin_data;
    std::string program;
    std::string copy_dir; /* as in TerminalProcess */
};
RunningProcess start_process(const std::vector<std::string> &argv,
                             const ProcessOptions &options = ProcessOptions());
/* Whether the program has ended (it is not reaped). */
bool process_has_ended(const RunningProcess &process);
/* Feeds standard input, collects the output and waits for the end. */
ProcessResult finish_process(RunningProcess *process);
/* The command that runs argv on the machine the project was built for. A
 * program of the project's build tree runs through the target's emulator when
 * the build has one (qemu-user for a cross-built Linux, Wine for Windows);
 * anything else (rhash, sh) runs as it is, on the build machine. */
std::vector<std::string> target_command(const std::vector<std::string> &argv);

/* The emulator's own words (empty for a native build). For a Windows build
 * they start Wine in the build's prefix, so that words + {"reg", "query", ...}
 * runs one of Wine's own programs there. */
std::vector<std::string> target_emulator();

/* The lines as a Windows program's text stream writes them: every "\n"
 * becomes "\r\n". */
std::string crlf_lines(const std::string &lines);

/* A fresh directory under TMPDIR (or /tmp), removed by remove_tree. */
std::string make_temp_dir(const char *tag);
/* The same where machine-wide files may lie: every folder above it belongs to
 * root or the caller and no one else may write it (TMPDIR, /run, HOME or
 * XDG_RUNTIME_DIR, the first that qualifies); run as root, every user may
 * pass through. */
std::string make_trusted_temp_dir(const char *tag);
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
/* The lines of a text, each without its line feed (a last line without one
 * is left out). */
std::vector<std::string> split_lines(const std::string &text);
/* The names in a directory, "." and ".." left out. */
std::set<std::string> folder_listing(const std::string &dir);

/* Run as root: makes the folder path (mode 0755) and gives it to "nobody", for
 * the attacker's steps; returns path. */
std::string make_folder_of_nobody(const std::string &path);
/* The uid of "nobody", as text. */
std::string nobody_uid();

/* The absolute path of a program found on PATH, or an empty string. */
std::string find_program(const char *name);

#endif
