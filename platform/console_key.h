/* Console key read: one key from the user's terminal, as the seed tool's
 * dialogue needs it. */
#ifndef PLATFORM_CONSOLE_KEY_H
#define PLATFORM_CONSOLE_KEY_H

/* Waits for one key on the terminal itself (never standard input) and returns
 * its code, 0 to 255: no echo, no Enter needed, Ctrl+C arrives as 3 and raises
 * no signal. Returns -1 when there is no terminal or it cannot be read.
 * On POSIX systems the terminal's settings are as before once the call
 * returns, and also when the process is ended by SIGTERM, SIGHUP or SIGINT,
 * or stopped by SIGTSTP, SIGTTIN or SIGTTOU (job control), while it waits;
 * continued in the foreground, it takes raw mode again and goes on waiting.
 * On Windows this is the C runtime's _getch. */
int console_read_key(void);

#endif
