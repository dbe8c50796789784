#include "console_key.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

/* While a read waits, the terminal is raw; these let a signal handler put it
 * back before the process ends. */
volatile sig_atomic_t raw_fd = -1;
struct termios saved_settings;

const int ending_signals[] = {SIGTERM, SIGHUP, SIGINT};
enum { ENDING_SIGNAL_COUNT = sizeof ending_signals / sizeof ending_signals[0] };

extern "C" void restore_and_end(int sig)
{
    const int fd = raw_fd;
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &saved_settings);
    }
    /* Re-raised with the default action, the signal ends the process as it
     * would have without us. */
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int console_read_key(void)
{
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

    struct sigaction previous[ENDING_SIGNAL_COUNT];
    bool replaced[ENDING_SIGNAL_COUNT] = {};
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int sig : ending_signals) {
        sigaddset(&ending, sig);
    }
    /* No ending signal may slip in between changing the settings and
     * installing the handlers that undo the change. */
    sigprocmask(SIG_BLOCK, &ending, &before);
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        sigaction(ending_signals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler == SIG_IGN) {
            continue; /* ignored signals (nohup) stay ignored */
        }
        action.sa_handler = restore_and_end;
        sigemptyset(&action.sa_mask);
        for (int sig : ending_signals) {
            sigaddset(&action.sa_mask, sig);
        }
        replaced[i] = sigaction(ending_signals[i], &action, nullptr) == 0;
    }
    int key = -1;
    if (tcsetattr(fd, TCSANOW, &raw) == 0) {
        raw_fd = fd;
        sigprocmask(SIG_SETMASK, &before, nullptr);
        unsigned char c = 0;
        ssize_t got;
        do {
            got = read(fd, &c, 1);
        } while (got < 0 && errno == EINTR);
        if (got == 1) {
            key = c;
        }
        sigprocmask(SIG_BLOCK, &ending, nullptr);
        tcsetattr(fd, TCSANOW, &saved_settings);
        raw_fd = -1;
    }
    for (int i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        if (replaced[i]) {
            sigaction(ending_signals[i], &previous[i], nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(fd);
    return key;
}
