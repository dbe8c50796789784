/* The dialogue: which key to ask for, the prompt, and the key read. */
#include <stdio.h>
#include <stdlib.h>

#include "console_key.h"
#include "keyent_internal.h"
#include "system_clock.h"

static const keyent_io console_io = {console_read_key, system_time_100ns, console_input_waiting,
                                     console_discard_input};
static keyent_io current_io = console_io;

void keyent_set_io(const keyent_io *io)
{
    current_io = io != nullptr ? *io : console_io;
}

const keyent_io *keyent_current_io(void)
{
    return &current_io;
}

int choose_random_key(void)
{
    const uint64_t now = current_io.read_time();
    /* Reseeded before every draw, the key depends only on the clock. */
    srand(static_cast<unsigned>(now & 0xFFFFFFFFu));
    const int r = rand() % 62;
    if (r < 10) {
        return '0' + r;
    }
    if (r < 36) {
        return 'A' + (r - 10);
    }
    return 'a' + (r - 36);
}

int prompt_key(int key, int prompt_counter)
{
    /* Only a key typed after the prompt can answer it. */
    current_io.discard_input();
    printf("%.2d: Press key %c...", prompt_counter, key);
    fflush(stdout);
    const int c = current_io.read_key();
    if (c == 3) {
        fprintf(stderr, "\nInput terminated\n");
        return 0;
    }
    if (c == -1) {
        fprintf(stderr, "\nError read character\n");
        return 0;
    }
    printf("%c\n", c);
    fflush(stdout);
    /* A person answers a prompt with one key and waits for the next; keys
     * that arrive together (a paste, or typing ahead of the prompts) answer
     * none. Code 0 stops the dialogue all the same. */
    if (c != 0 && current_io.input_waiting() != 0) {
        return KEYENT_NOT_ALONE;
    }
    return c;
}
