#include "run_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <utmp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "target_programs.h"

namespace {

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const ProcessOptions &options,
                             int in_fd, int out_fd, int err_fd)
{
    if (in_fd >= 0) dup2(in_fd, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    if (!options.stdout_file.empty()) {
        const int file = open(options.stdout_file.c_str(), O_WRONLY);
        if (file < 0 || dup2(file, 1) < 0) _exit(126);
        close(file);
    }
    if (options.close_stdout) {
        close(1);
    }
    if (options.close_stdin) {
        close(0);
    }
    if (options.new_session) {
        setsid();
    }
    if (options.umask >= 0) {
        umask(static_cast<mode_t>(options.umask));
    }
    if (options.ignore_hangup) {
        signal(SIGHUP, SIG_IGN);
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
    args.reserve(argv.size() + 1);
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

} // namespace

namespace {

/* For a run as "nobody": the build tree may lie where only root may enter (a
 * clone under /root, or in a folder made by mktemp -d), so the program of the
 * tree runs from a copy in a folder open to all. Returns that folder, to be
 * removed after the run, or "" when nothing was copied. */
std::string copy_for_any_user(const std::string &program, std::vector<std::string> &argv,
                              const ProcessOptions &options)
{
    const std::string tree = QV_TARGET_BUILD_DIR "/";
    if (!options.drop_privileges || geteuid() != 0 || program.compare(0, tree.size(), tree) != 0) {
        return std::string();
    }
    std::string dir = make_temp_dir("program");
    const std::string copy = dir + program.substr(program.rfind('/'));
    write_file(copy, read_file(program));
    if (dir.empty() || chmod(dir.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) {
        ADD_FAILURE() << "cannot copy " << program << " to " << copy;
    }
    for (auto &word : argv) {
        if (word == program) {
            word = copy;
            break;
        }
    }
    return dir;
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

RunningProcess start_process(const std::vector<std::string> &program_argv,
                             const ProcessOptions &options)
{
    std::vector<std::string> argv = target_command(program_argv);
    RunningProcess process;
    process.program = argv.empty() ? std::string() : argv[0];
    process.stdin_data = options.stdin_data;
    /* Close-on-exec: a program started later must not hold these pipes open. */
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return process;
    }
    if (!program_argv.empty()) process.copy_dir = copy_for_any_user(program_argv[0], argv, options);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        remove_tree(process.copy_dir);
        return process;
    }
    if (pid == 0) {
        exec_child(argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    process.pid = pid;
    process.in_fd = in_pipe[1];
    process.out_fd = out_pipe[0];
    process.err_fd = err_pipe[0];
    return process;
}

bool process_has_ended(const RunningProcess &process)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return true;
    }
    return info.si_pid != 0;
}

ProcessResult finish_process(RunningProcess *process)
{
    ProcessResult result;
    if (process->pid < 0) return result;

    /* A child that never reads its input must not kill us with SIGPIPE. */
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    const std::string &stdin_data = process->stdin_data;
    int in_fd = process->in_fd;
    if (stdin_data.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = process->out_fd, err_fd = process->err_fd;
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
                const ssize_t w =
                    write(in_fd, stdin_data.data() + written, stdin_data.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 || written == stdin_data.size()) {
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
    while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
    }
    process->pid = -1;
    process->in_fd = process->out_fd = process->err_fd = -1;
    remove_tree(process->copy_dir);
    process->copy_dir.clear();
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    if (result.status == 127 || result.status == 126 || result.status == 125) {
        ADD_FAILURE() << "could not start " << process->program << " (status " << result.status
                      << ")";
    }
    return result;
}

namespace {

/* In the session leader of a terminal: runs the program as a job, as a
 * shell with job control would, and ends as the job ended. */
[[noreturn]] void run_as_job(const std::vector<std::string> &argv, const ProcessOptions &options,
                             int in_fd, int out_fd, int err_fd)
{
    const pid_t job = fork();
    if (job < 0) _exit(126);
    if (job == 0) {
        setpgid(0, 0);
        /* From the background, taking the terminal would stop us. */
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(0, getpgrp());
        signal(SIGTTOU, SIG_DFL);
        exec_child(argv, options, in_fd, out_fd, err_fd);
    }
    setpgid(job, job);
    int status = 0;
    while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        _exit(128 + WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
}

void record_exit(TerminalProcess &p, int status)
{
    p.exited = true;
    if (WIFEXITED(status)) {
        p.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        p.status = 128 + WTERMSIG(status);
    }
}

} // namespace

bool start_on_terminal(TerminalProcess &p, const std::vector<std::string> &program_argv,
                       const ProcessOptions &options, bool output_on_terminal)
{
    std::vector<std::string> argv = target_command(program_argv);
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if ((!options.stdin_data.empty() && pipe(in_pipe) != 0) ||
        (!output_on_terminal && (pipe(out_pipe) != 0 || pipe(err_pipe) != 0))) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return false;
    }
    /* The settings are read before the program can change them; forkpty would
     * race with it. */
    int master = -1, terminal = -1;
    struct termios initial;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0 ||
        tcgetattr(terminal, &initial) != 0) {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        return false;
    }
    /* No other program the test starts may hold the terminal open: its end
     * tells that all output is read (finish_on_terminal). */
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    const std::string copy_dir =
        program_argv.empty() ? std::string() : copy_for_any_user(program_argv[0], argv, options);
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        remove_tree(copy_dir);
        return false;
    }
    if (pid == 0) {
        close(master);
        if (in_pipe[1] >= 0) close(in_pipe[1]);
        if (out_pipe[0] >= 0) close(out_pipe[0]);
        if (err_pipe[0] >= 0) close(err_pipe[0]);
        /* A terminal's session starts with every signal's default action and
         * none blocked, whatever the test inherited: a test run started in
         * the background by a shell ignores SIGINT and SIGQUIT, and the
         * program would take them for the user's choice. */
        for (int sig = 1; sig < NSIG; sig++) signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (login_tty(terminal) != 0) _exit(126); /* new session, this terminal its own */
        ProcessOptions child = options;
        child.new_session = false;
        if (options.as_job) run_as_job(argv, child, in_pipe[0], out_pipe[1], err_pipe[1]);
        exec_child(argv, child, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    signal(SIGPIPE, SIG_IGN);
    p = TerminalProcess();
    p.pid = pid;
    p.copy_dir = copy_dir;
    p.master = master;
    p.terminal = terminal;
    p.initial = initial;
    if (in_pipe[0] >= 0) {
        close(in_pipe[0]);
        /* Small enough for the pipe's buffer: the program never reads it. */
        if (write(in_pipe[1], options.stdin_data.data(), options.stdin_data.size()) < 0) {
            ADD_FAILURE() << "write: " << strerror(errno);
        }
        close(in_pipe[1]);
    }
    if (!output_on_terminal) {
        close(out_pipe[1]);
        close(err_pipe[1]);
        p.out_fd = out_pipe[0];
        p.err_fd = err_pipe[0];
    }
    return true;
}

bool pump_once(TerminalProcess &p, int wait_ms)
{
    struct pollfd fds[3];
    nfds_t n = 0;
    if (p.out_fd >= 0) fds[n++] = {p.out_fd, POLLIN, 0};
    if (p.err_fd >= 0) fds[n++] = {p.err_fd, POLLIN, 0};
    if (p.master >= 0) fds[n++] = {p.master, POLLIN, 0};
    bool got = false;
    if (poll(fds, n, wait_ms) > 0) {
        for (nfds_t i = 0; i < n; i++) {
            if (fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string &sink = fds[i].fd == p.out_fd   ? p.out
                                : fds[i].fd == p.err_fd ? p.err
                                                        : p.screen;
            if (r > 0) {
                sink.append(buf, static_cast<size_t>(r));
                got = true;
            } else if (fds[i].fd != p.master) {
                close(fds[i].fd);
                (fds[i].fd == p.out_fd ? p.out_fd : p.err_fd) = -1;
            }
        }
    }
    if (!p.exited && p.pid > 0) {
        int status = 0;
        if (waitpid(p.pid, &status, WNOHANG) == p.pid) {
            record_exit(p, status);
        }
    }
    /* Once the program is gone, whatever it wrote is in the pipes. */
    return got || (p.exited && (p.out_fd >= 0 || p.err_fd >= 0));
}

void type_on_terminal(TerminalProcess &p, const std::string &bytes)
{
    if (write(p.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "cannot type on the terminal: " << strerror(errno);
    }
}

bool terminal_is_raw(const TerminalProcess &p)
{
    struct termios t;
    return tcgetattr(p.terminal, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
}

ProcessResult finish_on_terminal(TerminalProcess &p, int timeout_ms)
{
    const bool ended = pump_until(
        p, [&p] { return p.exited && p.out_fd < 0 && p.err_fd < 0; }, timeout_ms);
    if (!ended) {
        ADD_FAILURE() << "the program did not end; killed";
        if (!p.exited) {
            kill(p.pid, SIGKILL);
            int status = 0;
            waitpid(p.pid, &status, 0);
            record_exit(p, status);
        }
    }
    /* What the program wrote on the terminal reaches the master side a moment
     * later, by way of the kernel's buffers. Once no one holds the terminal
     * open (the program has ended, and the test lets its own end go), the
     * master reads all of it and then fails. */
    if (p.terminal >= 0) close(p.terminal);
    p.terminal = -1;
    while (p.master >= 0) {
        struct pollfd fd = {p.master, POLLIN, 0};
        char buf[4096];
        const ssize_t r = poll(&fd, 1, timeout_ms) > 0 ? read(p.master, buf, sizeof buf) : -1;
        if (r <= 0) break;
        p.screen.append(buf, static_cast<size_t>(r));
    }
    ProcessResult r;
    r.status = p.status;
    r.out = p.out;
    r.err = p.err;
    for (int *fd : {&p.out_fd, &p.err_fd, &p.master, &p.terminal}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    remove_tree(p.copy_dir);
    p.copy_dir.clear();
    return r;
}

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options)
{
    RunningProcess process = start_process(argv, options);
    return finish_process(&process);
}

namespace {

std::string make_dir_in(const std::string &base, const char *tag)
{
    std::string templ = base + "/" + tag + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) == nullptr ? std::string() : std::string(buf.data());
}

/* Whether every folder from "/" down to base belongs to root or us and no one
 * else may write it; as root, also whether every user may pass through, so
 * that "nobody" can play the attacker below it. */
bool trusted_chain(const char *base)
{
    char real[PATH_MAX];
    if (base == nullptr || *base == '\0' || realpath(base, real) == nullptr) return false;
    std::string path = real;
    for (;;) {
        struct stat st;
        if (stat(path.empty() ? "/" : path.c_str(), &st) != 0) return false;
        if (st.st_uid != 0 && st.st_uid != geteuid()) return false;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
        if (geteuid() == 0 && (st.st_mode & S_IXOTH) == 0) return false;
        if (path.empty()) return true;
        path.erase(path.rfind('/'));
    }
}

} // namespace

std::string make_temp_dir(const char *tag)
{
    const char *base = getenv("TMPDIR");
    std::string dir = make_dir_in(base != nullptr && *base != '\0' ? base : "/tmp", tag);
    if (dir.empty()) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return dir;
}

std::string make_trusted_temp_dir(const char *tag)
{
    const char *const bases[] = {getenv("TMPDIR"), "/run", getenv("HOME"),
                                 getenv("XDG_RUNTIME_DIR")};
    for (const char *base : bases) {
        if (base == nullptr || !trusted_chain(base)) continue;
        std::string dir = make_dir_in(base, tag);
        if (!dir.empty()) return dir;
    }
    ADD_FAILURE() << "no folder for machine-wide files: none of TMPDIR, /run, HOME and "
                     "XDG_RUNTIME_DIR lies where only root or this user may change a folder";
    return std::string();
}

std::string make_folder_of_nobody(const std::string &path)
{
    const struct passwd *nobody = getpwnam("nobody");
    if (mkdir(path.c_str(), 0755) != 0 || nobody == nullptr ||
        chown(path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        ADD_FAILURE() << "cannot make " << path << " nobody's";
    }
    return path;
}

std::string nobody_uid()
{
    const struct passwd *nobody = getpwnam("nobody");
    return nobody != nullptr ? std::to_string(nobody->pw_uid) : "?";
}

void remove_tree(const std::string &path)
{
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::set<std::string> folder_listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const struct dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
    return names;
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(f.good()) << "cannot write " << path;
}

std::string crlf_lines(const std::string &lines)
{
    std::string out;
    for (char c : lines) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
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
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
