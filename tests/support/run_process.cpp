#include "run_process.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "target_programs.h"

namespace {

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const ProcessOptions &options,
                             int in_fd, int out_fd, int err_fd)
{
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (options.new_session) {
        setsid();
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        _exit(126);
    }
    for (const auto &name : options.unset_env) {
        unsetenv(name.c_str());
    }
    for (const auto &kv : options.set_env) {
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    if (options.drop_privileges && geteuid() == 0) {
        const struct passwd *pw = getpwnam("nobody");
        if (pw == nullptr || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0) {
            _exit(125);
        }
    }
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

} // namespace

std::vector<std::string> target_emulator()
{
    static const char *const words[] = {QV_TARGET_EMULATOR nullptr};
    std::vector<std::string> emulator;
    for (const char *const *word = words; *word != nullptr; word++) emulator.push_back(*word);
    return emulator;
}

std::vector<std::string> target_command(const std::vector<std::string> &argv)
{
    const std::string tree = QV_TARGET_BUILD_DIR "/";
    std::vector<std::string> command = target_emulator();
    if (command.empty() || argv.empty() || argv[0].compare(0, tree.size(), tree) != 0) {
        return argv;
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

ProcessResult run_process(const std::vector<std::string> &program_argv,
                          const ProcessOptions &options)
{
    const std::vector<std::string> argv = target_command(program_argv);
    ProcessResult result;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return result;
    }
    if (pid == 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_child(argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    /* A child that never reads its input must not kill us with SIGPIPE. */
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (options.stdin_data.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    while (out_fd >= 0 || err_fd >= 0) {
        struct pollfd fds[3];
        nfds_t n = 0;
        if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t i = 0; i < n; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                const ssize_t w = write(in_fd, options.stdin_data.data() + written,
                                        options.stdin_data.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == options.stdin_data.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[4096];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string &sink = fds[i].fd == out_fd ? result.out : result.err;
            if (r > 0) {
                sink.append(buf, static_cast<size_t>(r));
            } else {
                close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    if (result.status == 127 || result.status == 126 || result.status == 125) {
        ADD_FAILURE() << "could not start " << argv[0] << " (status " << result.status << ")";
    }
    return result;
}

std::string make_temp_dir(const char *tag)
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                        tag + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return std::string();
    }
    return std::string(buf.data());
}

void remove_tree(const std::string &path)
{
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(f.good()) << "cannot write " << path;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string find_program(const char *name)
{
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}
