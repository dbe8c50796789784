/* A scripted user and clock for the collector: keys are answered from a
 * script, and time moves only while the "user" takes to press a key. */
#ifndef TESTS_KBDSEED_FAKE_CONSOLE_H
#define TESTS_KBDSEED_FAKE_CONSOLE_H

#include <stdint.h>

#include <string>
#include <vector>

/* PRESS_PASTED: the key shown, with more input already behind it.
 * PRESS_AHEAD: the key about to be shown, typed before its prompt appears
 * (its time is not counted: it was typed during the press before). */
enum { PRESS_SHOWN = -100, PRESS_WRONG = -101, PRESS_PASTED = -102, PRESS_AHEAD = -103 };

struct Press {
    uint64_t after; /* 100-ns units the user takes for this press */
    int code;       /* one of the above (PRESS_WRONG: another key of the alphabet), or a code */
};

struct FakeConsole {
    std::vector<Press> script;
    size_t next = 0;
    uint64_t now = 0;
    int accepted = 0; /* presses of the key shown that answered it */
    int start_key = 0;
    std::vector<int> shown; /* the key of every prompt */
    std::string transcript; /* what standard output must show */
    bool overrun = false;   /* asked for more keys than scripted (answered with Ctrl+C) */
    bool waiting = false;   /* more input was behind the latest key */
    int discarded = 0;      /* keys typed ahead that a prompt threw away */
    uint64_t tick = 1;      /* the clock reads time rounded down to a multiple of this */
};

extern FakeConsole fake;

/* Starts a fresh script and makes the collector read keys and time from it. */
void install_fake(std::vector<Press> script, uint64_t start_time = 0x01DC0000'00000000u);
void remove_fake();

/* The key a collector shows when it chooses at time t. */
int key_for_time(uint64_t t);

/* The start press, then one press per delta, each of the key shown. */
std::vector<Press> presses_for(const std::vector<uint64_t> &deltas);

/* The seed of a collection that hashed these sample bytes. */
std::vector<uint8_t> seed_of(const std::vector<uint8_t> &sample_bytes);

#endif
