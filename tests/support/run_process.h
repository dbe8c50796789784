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

/* argv[0] is the program's path; a program built by this project is started
 * through target_command. Fails the calling test (gtest) when the program
 * cannot be started. */
ProcessResult run_process(const std::vector<std::string> &argv,
                          const ProcessOptions &options = ProcessOptions());

/* The command that runs argv on the machine the project was built for. A
 * program of the project's build tree runs through the target's emulator when
 * the build has one (qemu-user for a cross-built Linux, Wine for Windows);
 * anything else (rhash, sh) runs as it is, on the build machine. */
std::vector<std::string> target_command(const std::vector<std::string> &argv);

/* The emulator's own words (empty for a native build). For a Windows build
 * they start Wine in the build's prefix, so that words + {"reg", "query", ...}
 * runs one of Wine's own programs there. */
std::vector<std::string> target_emulator();

/* A fresh directory under TMPDIR (or /tmp), removed by remove_tree. */
std::string make_temp_dir(const char *tag);
void remove_tree(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

/* The absolute path of a program found on PATH, or an empty string. */
std::string find_program(const char *name);

#endif
