/* Runs a built program as a user would and captures what it prints. */
#ifndef TEST_SUPPORT_RUN_PROCESS_H
#define TEST_SUPPORT_RUN_PROCESS_H

#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
    std::string cwd;                                      /* empty: the test's own */
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    std::string stdin_data;                               /* fed to standard input */
    bool drop_privileges = false; /* as root: run as the unprivileged "nobody" */
    bool new_session = true;      /* no controlling terminal for the child */
};

struct ProcessResult {
    int status = -1;   /* exit status as the shell sees it (0..255), or 128 + signal */
    std::string out;   /* everything written to standard output */
    std::string err;   /* everything written to standard error */
};

/* argv[0] is the program's path. Fails the calling test (gtest) when the
 * program cannot be started. */
ProcessResult run_process(const std::vector<std::string> &argv,
                          const ProcessOptions &options = ProcessOptions());

/* The same in two steps, so that several programs can run at once. */
struct RunningProcess {
    int pid = -1;
    int in_fd = -1, out_fd = -1, err_fd = -1;
    std::string stdin_data;
    std::string program;
};
RunningProcess start_process(const std::vector<std::string> &argv,
                             const ProcessOptions &options = ProcessOptions());
/* Whether the program has ended (it is not reaped). */
bool process_has_ended(const RunningProcess &process);
/* Feeds standard input, collects the output and waits for the end. */
ProcessResult finish_process(RunningProcess *process);

/* A fresh directory under TMPDIR (or /tmp), removed by remove_tree. */
std::string make_temp_dir(const char *tag);
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

/* The absolute path of a program found on PATH, or an empty string. */
std::string find_program(const char *name);

#endif
