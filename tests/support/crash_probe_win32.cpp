/* Prints a line, then writes through a null pointer; tests/check_crash.cmake
 * runs it under Wine. */
#include <stdio.h>

int main()
{
    puts("before the fault");
    fflush(stdout);
    volatile int *volatile nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
