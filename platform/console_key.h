/* Console key read: one key from the user's terminal, as the seed tool's
 * dialogue needs it. */
#ifndef PLATFORM_CONSOLE_KEY_H
#define PLATFORM_CONSOLE_KEY_H

/* Waits for one key on the terminal itself (never standard input) and returns
 * its code, 0 to 255: no echo, no Enter needed, Ctrl+C arrives as 3 and raises
 * no signal. Returns -1 when there is no terminal or it cannot be read.
 * On POSIX systems the terminal's settings are as before once the call
 * returns, and also when the process is ended, while it waits, by any signal
 * whose default action ends it (SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1,
 * SIGALRM, SIGABRT, the real-time signals and the rest), or stopped by
 * SIGTSTP, SIGTTIN or SIGTTOU (job control); continued in the foreground, it
 * takes raw mode again and goes on waiting. Signals that are ignored, or that
 * have a handler of the program's own, are left as they are.
 * On Windows this is the C runtime's _getch. */
int console_read_key(void);

/* Whether more input had already arrived when the latest console_read_key
 * took its key: 1 (keys pasted or typed ahead, never one key of a person
 * answering a prompt), else 0. */
int console_input_waiting(void);

/* Discards what was typed on the terminal and not read yet, so that only a
 * key typed after the next prompt answers it. Does nothing without a
 * terminal. */
void console_discard_input(void);

#endif
