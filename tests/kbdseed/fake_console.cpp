#include "fake_console.h"

#include <stdio.h>
#include <stdlib.h>

#include "gost_r3411_2012.h"
#include "keyent.h"

FakeConsole fake;

namespace {

uint64_t fake_time()
{
    return fake.now - fake.now % fake.tick;
}

int fake_waiting()
{
    return fake.waiting ? 1 : 0;
}

/* Keys typed before the prompt are gone. They were typed while the
 * previous press took its time, so the clock stays. */
void fake_discard()
{
    while (fake.next < fake.script.size() && fake.script[fake.next].code == PRESS_AHEAD) {
        fake.next++;
        fake.discarded++;
    }
}

int another_key(int key)
{
    if (key >= 'a' && key <= 'z') return key - 'a' + 'A'; /* case matters */
    if (key >= 'A' && key <= 'Z') return key - 'A' + 'a';
    return key == '0' ? '1' : '0';
}

int fake_key()
{
    /* The start key stays until it is pressed; later keys are chosen right
     * before their prompt, and time has not moved since. */
    const int shown =
        fake.accepted == 0 && !fake.shown.empty() ? fake.start_key : key_for_time(fake_time());
    if (fake.shown.empty()) fake.start_key = shown;
    fake.shown.push_back(shown);
    char prompt[64];
    snprintf(prompt, sizeof prompt, "%.2d: Press key %c...", static_cast<int>(fake.shown.size()),
             shown);
    fake.transcript += prompt;
    if (fake.next == fake.script.size()) {
        fake.overrun = true;
        return 3;
    }
    const Press press = fake.script[fake.next++];
    fake.now += press.after;
    fake.waiting = press.code == PRESS_PASTED;
    const int c = press.code == PRESS_WRONG   ? another_key(shown)
                  : press.code <= PRESS_SHOWN ? shown
                                              : press.code;
    if (c != 3 && c != -1) {
        fake.transcript += static_cast<char>(c);
        fake.transcript += '\n';
    }
    if (c == shown && !fake.waiting) fake.accepted++;
    return c;
}

} // namespace

void install_fake(std::vector<Press> script, uint64_t start_time)
{
    fake = FakeConsole();
    fake.script = std::move(script);
    fake.now = start_time;
    const keyent_io io = {fake_key, fake_time, fake_waiting, fake_discard};
    keyent_set_io(&io);
}

void remove_fake()
{
    keyent_set_io(nullptr);
}

int key_for_time(uint64_t t)
{
    srand(static_cast<unsigned>(t & 0xFFFFFFFFu));
    const int r = rand() % 62;
    return r < 10 ? '0' + r : r < 36 ? 'A' + r - 10 : 'a' + r - 36;
}

std::vector<Press> presses_for(const std::vector<uint64_t> &deltas)
{
    std::vector<Press> presses{{12345, PRESS_SHOWN}};
    for (uint64_t d : deltas) presses.push_back({d, PRESS_SHOWN});
    return presses;
}

std::vector<uint8_t> seed_of(const std::vector<uint8_t> &sample_bytes)
{
    uint8_t digest[64];
    if (GOSTR3411_2012_Transform(sample_bytes.data(), static_cast<uint32_t>(sample_bytes.size()),
                                 digest) != 0) {
        return {};
    }
    return std::vector<uint8_t>(digest, digest + 40);
}
