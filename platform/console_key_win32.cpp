#include "console_key.h"

#include <conio.h>

int console_read_key(void)
{
    /* The C runtime's console read: no echo, no Enter, Ctrl+C as 3. Anything
     * outside a byte's range means the console could not be read. */
    const int key = _getch();
    return key >= 0 && key <= 255 ? key : -1;
}
