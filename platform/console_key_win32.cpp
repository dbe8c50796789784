#include "console_key.h"

#include <conio.h>
#include <windows.h>

/* Whether more input was queued behind the latest key read. */
static int more_input = 0;

int console_read_key(void)
{
    /* The C runtime's console read: no echo, no Enter, Ctrl+C as 3. Anything
     * outside a byte's range means the console could not be read. */
    const int key = _getch();
    if (key < 0 || key > 255) {
        more_input = 0;
        return -1;
    }
    more_input = _kbhit() ? 1 : 0;
    return key;
}

int console_input_waiting(void)
{
    return more_input;
}

void console_discard_input(void)
{
    /* The console itself, as _getch reads it, whatever standard input is. */
    const HANDLE in =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return;
    }
    FlushConsoleInputBuffer(in);
    CloseHandle(in);
    /* The runtime keeps the second code of a two-code key (arrows, function
     * keys) for the next _getch; that one is dropped too. */
    while (_kbhit()) {
        (void)_getch();
    }
}
