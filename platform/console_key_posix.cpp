#include "console_key.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

/* While a read waits, the terminal is raw; these let a signal handler put it
 * back before the process ends or stops, and take raw mode again when it
 * continues. raw_applied says whether the raw settings are in force. */
volatile sig_atomic_t raw_fd = -1;
volatile sig_atomic_t raw_applied = 0;
struct termios saved_settings;
struct termios raw_settings;

/* Whether more input was queued behind the latest key read. */
int more_input = 0;

/* Every catchable signal whose default action ends the process; the
 * real-time signals are added when the list is made. SIGIO and SIGPWR only
 * on Linux: elsewhere SIGIO's default may be to ignore it. */
// clang-format off
const int ending_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGSYS, SIGVTALRM, SIGPROF,
#ifdef __linux__
    SIGIO, SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};
// clang-format on

/* Job control: the terminal is given back while the program is stopped. */
const int stopping_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

/* The signals whose handlers a read puts in place, and what was there. */
int handled_signals[NSIG];
int handled_count = 0;
struct sigaction previous[NSIG];
bool replaced[NSIG];

bool is_stopping(int sig)
{
    for (int s : stopping_signals) {
        if (s == sig) return true;
    }
    return false;
}

void list_handled_signals(void)
{
    if (handled_count != 0) return;
    for (int sig : ending_signals) handled_signals[handled_count++] = sig;
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX && handled_count < NSIG - 4; sig++) {
        handled_signals[handled_count++] = sig;
    }
#endif
    for (int sig : stopping_signals) handled_signals[handled_count++] = sig;
    handled_signals[handled_count++] = SIGCONT;
}

void restore_settings(void)
{
    const int fd = raw_fd;
    if (fd >= 0 && raw_applied) {
        tcsetattr(fd, TCSANOW, &saved_settings);
        raw_applied = 0;
    }
}

extern "C" void restore_and_end(int sig)
{
    restore_settings();
    /* Re-raised with the default action, the signal ends the process as it
     * would have without us, once this handler returns and unblocks it; a
     * fault signal that the kernel raised comes again from the same
     * instruction. */
    signal(sig, SIG_DFL);
    raise(sig);
}

/* Raw mode again, but only in the foreground: a job continued in the
 * background must leave the terminal to the one in front. */
extern "C" void resume_raw(int)
{
    const int fd = raw_fd;
    if (fd >= 0 && !raw_applied && tcgetpgrp(fd) == getpgrp() &&
        tcsetattr(fd, TCSANOW, &raw_settings) == 0) {
        raw_applied = 1;
    }
}

extern "C" void restore_and_stop(int sig)
{
    restore_settings();
    /* Stopped by the default action, as without us: the shell reports the
     * job as stopped by this signal. The kernel discards it in an orphaned
     * process group, which nothing could continue; the read then simply goes
     * on. The signal is blocked in this handler, so it is delivered when
     * unblocked, and execution resumes here after SIGCONT. */
    struct sigaction action, ours;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, &ours);
    raise(sig);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    sigprocmask(SIG_BLOCK, &just, nullptr);
    sigaction(sig, &ours, nullptr);
    resume_raw(SIGCONT);
}

} // namespace

int console_input_waiting(void)
{
    return more_input;
}

void console_discard_input(void)
{
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
}

int console_read_key(void)
{
    more_input = 0;
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct termios raw;
    if (tcgetattr(fd, &saved_settings) != 0) {
        close(fd);
        return -1;
    }
    raw = saved_settings;
    /* One byte at a time, unechoed, Ctrl+C and Ctrl+S as plain bytes, Enter as 13. */
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    raw.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL | INLCR | IGNCR | ISTRIP));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    list_handled_signals();
    sigset_t handled, before;
    sigemptyset(&handled);
    for (int i = 0; i < handled_count; i++) {
        sigaddset(&handled, handled_signals[i]);
    }
    /* No handled signal may slip in between changing the settings and
     * installing the handlers that undo the change. */
    sigprocmask(SIG_BLOCK, &handled, &before);
    for (int i = 0; i < handled_count; i++) {
        const int sig = handled_signals[i];
        replaced[i] = false;
        if (sigaction(sig, nullptr, &previous[i]) != 0 || previous[i].sa_handler != SIG_DFL ||
            (previous[i].sa_flags & SA_SIGINFO) != 0) {
            continue; /* ignored (nohup) or the program's own: left alone */
        }
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = sig == SIGCONT     ? resume_raw
                            : is_stopping(sig) ? restore_and_stop
                                               : restore_and_end;
        /* Each handler runs alone: none interrupts another half-way. */
        action.sa_mask = handled;
        replaced[i] = sigaction(sig, &action, nullptr) == 0;
    }
    int key = -1;
    raw_settings = raw;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
        raw_fd = fd;
        raw_applied = 1;
        sigprocmask(SIG_SETMASK, &before, nullptr);
        unsigned char c = 0;
        ssize_t got;
        do {
            got = read(fd, &c, 1);
        } while (got < 0 && errno == EINTR);
        if (got == 1) {
            key = c;
            /* Counted while the terminal is still raw: in canonical mode only
             * whole lines would count. */
            int queued = 0;
            more_input = ioctl(fd, FIONREAD, &queued) == 0 && queued > 0 ? 1 : 0;
        }
        sigprocmask(SIG_BLOCK, &handled, nullptr);
        restore_settings();
        raw_fd = -1;
    }
    for (int i = 0; i < handled_count; i++) {
        if (replaced[i]) {
            sigaction(handled_signals[i], &previous[i], nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(fd);
    return key;
}
