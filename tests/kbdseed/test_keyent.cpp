/* The collector driven by a scripted user and clock: which presses count,
 * which bytes are hashed, when the collection ends, and what it prints. */
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_console.h"
#include "keyent.h"

namespace {

/* 200 ms with a clear low byte: the sample windows below sit at bit 0. */
constexpr uint64_t kBase = 0x1E8400;
const std::string kRngFailed = "keyent_callback: keyent_rng returned -5\n";
const std::string kEqualIntervals =
    "keyent_collect: the key-press timing repeats: 10 equal intervals in a row\n";

struct Collected {
    int status;
    std::vector<uint8_t> buffer;
    std::string out;
    std::string err;
};

Collected collect(const std::vector<Press> &script, size_t length = 40)
{
    install_fake(script);
    Collected c;
    c.buffer.assign(length, 0xA5);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    c.status = keyent_callback(c.buffer.data(), static_cast<unsigned>(length));
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    remove_fake();
    return c;
}

std::vector<uint64_t> with_base(const std::vector<uint8_t> &low_bytes)
{
    std::vector<uint64_t> deltas(low_bytes.size());
    for (size_t k = 0; k < low_bytes.size(); k++) deltas[k] = kBase + low_bytes[k];
    return deltas;
}

/* Low bytes whose eight bit columns hold exactly 16 ones over the first 32,
 * and 8 over the first 16. */
std::vector<uint8_t> balanced_32()
{
    std::vector<uint8_t> v(32);
    for (int k = 0; k < 16; k++) {
        v[static_cast<size_t>(k)] = static_cast<uint8_t>(k | k << 4);
        v[static_cast<size_t>(k) + 16] = static_cast<uint8_t>(~(k | k << 4));
    }
    return v;
}

/* The bytes hashed when every window sits at bit 0: byte 0 is always 0. */
std::vector<uint8_t> hashed(std::vector<uint8_t> low_bytes)
{
    low_bytes[0] = 0;
    return low_bytes;
}

std::vector<uint8_t> from_hex(const char *hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

double binary_entropy(double d)
{
    return -(d * log(d) + (1 - d) * log(1 - d)) / log(2.0);
}

TEST(LowestVaryingBit, ComparesEarlierDeltasWithTheFirst)
{
    const uint64_t none[1] = {0};
    EXPECT_EQ(lowest_varying_bit(none, 0), 64);
    const uint64_t one[1] = {0xFFFF};
    EXPECT_EQ(lowest_varying_bit(one, 1), 0);
    const uint64_t equal[5] = {77, 77, 77, 77, 77};
    EXPECT_EQ(lowest_varying_bit(equal, 5), 64);
    const uint64_t high[3] = {5, 5, 5 | 1ull << 63};
    EXPECT_EQ(lowest_varying_bit(high, 3), 63);
    const uint64_t mid[4] = {0x100, 0x100, 0x300, 0x110};
    EXPECT_EQ(lowest_varying_bit(mid, 4), 4);
    EXPECT_EQ(lowest_varying_bit(mid, 3), 9);
    /* Only the first count deltas take part. */
    const uint64_t later[3] = {8, 8, 9};
    EXPECT_EQ(lowest_varying_bit(later, 2), 64);
    EXPECT_EQ(lowest_varying_bit(later, 3), 0);
}

TEST(EstimateEntropy, SmallestMinorityLessTheMargin)
{
    const auto balanced = with_base(balanced_32());
    const double x = estimate_entropy(balanced.data(), 32, 0);
    EXPECT_NEAR(x, binary_entropy(0.5 - 0.49 / 8), 1e-12);
    EXPECT_NEAR(x, 0.9891, 1e-4);
    EXPECT_GE(8 * x * 33, 259.0);
    EXPECT_NEAR(8 * x * 33, 261.1, 0.05);

    auto fifteen = balanced;
    fifteen[31] ^= 1; /* column 0 now holds 17 ones */
    const double x15 = estimate_entropy(fifteen.data(), 32, 0);
    EXPECT_NEAR(x15, binary_entropy(15.0 / 32 - 0.49 / 8), 1e-12);
    EXPECT_NEAR(8 * x15 * 33, 257.4, 0.05);

    /* The same windows higher up give the same estimate; bits past 63 read as 0. */
    std::vector<uint64_t> shifted(balanced.size()), top(balanced.size());
    for (size_t k = 0; k < balanced.size(); k++) {
        shifted[k] = (balanced[k] & 0xFF) << 40;
        top[k] = (balanced[k] & 0xFF) << 56;
    }
    EXPECT_DOUBLE_EQ(estimate_entropy(shifted.data(), 32, 40), x);
    EXPECT_DOUBLE_EQ(estimate_entropy(top.data(), 32, 56), x);
    EXPECT_EQ(estimate_entropy(top.data(), 32, 60), 0.0);

    /* At 16 deltas one odd bit in a column is too few, two are enough. */
    std::vector<uint64_t> sixteen(16, kBase);
    for (int k = 0; k < 2; k++) sixteen[static_cast<size_t>(k)] |= 0xFF;
    EXPECT_NEAR(estimate_entropy(sixteen.data(), 16, 0),
                binary_entropy(2.0 / 16 - 0.49 / sqrt(32.0)), 1e-12);
    sixteen[1] &= ~uint64_t{0x80};
    EXPECT_EQ(estimate_entropy(sixteen.data(), 16, 0), 0.0);
    const std::vector<uint64_t> same(16, kBase);
    EXPECT_EQ(estimate_entropy(same.data(), 16, 64), 0.0);
    /* The delta past count is not counted. */
    sixteen.push_back(kBase | 0x80);
    EXPECT_EQ(estimate_entropy(sixteen.data(), 16, 0), 0.0);
}

TEST(ChooseRandomKey, OneKeyOfTheAlphabetPerClockReading)
{
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string seen;
    for (uint64_t t = 0; t < 4000; t++) {
        install_fake({}, 0x01DC000000000000u + t * 9973);
        const int key = choose_random_key();
        ASSERT_NE(alphabet.find(static_cast<char>(key)), std::string::npos) << key;
        EXPECT_EQ(choose_random_key(), key) << "the key depends on the clock alone";
        EXPECT_EQ(key, key_for_time(fake.now));
        if (seen.find(static_cast<char>(key)) == std::string::npos) seen += static_cast<char>(key);
    }
    remove_fake();
    EXPECT_EQ(seen.size(), alphabet.size());
}

class Collection : public ::testing::Test {
protected:
    void TearDown() override { remove_fake(); }

    static void expect_failed(const Collected &c, const std::string &err)
    {
        EXPECT_EQ(c.status, -2);
        EXPECT_EQ(c.out, fake.transcript);
        EXPECT_EQ(c.err, err);
        EXPECT_EQ(c.buffer, std::vector<uint8_t>(c.buffer.size(), 0));
    }
};

TEST_F(Collection, BalancedWindowsEndAfter34PressesWith33BytesHashed)
{
    auto low = balanced_32();
    low.push_back(0x5A);
    const Collected c = collect(presses_for(with_base(low)));
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 34);
    EXPECT_EQ(c.out, fake.transcript);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.buffer, seed_of(hashed(low)));
    /* Cross-checked against an independent GOST R 34.11-2012 implementation. */
    EXPECT_EQ(c.buffer, from_hex("8d11cb787c0a8c26335f43a3999189c9b371d953"
                                 "4dc67f53b8bdf6e0c3d0ef566b653b639b311d3d"));
    EXPECT_EQ(0, memcmp(keyent_result(), c.buffer.data(), 40));
}

TEST_F(Collection, OneMinorityShortNeedsOneMorePress)
{
    auto low = balanced_32();
    low[31] ^= 1;
    low.push_back(0xFE); /* rebalances the columns over 33 deltas */
    low.push_back(0x33);
    const auto deltas = with_base(low);

    const Collected early = collect(presses_for({deltas.begin(), deltas.end() - 1}));
    EXPECT_TRUE(fake.overrun) << "33 bytes must not be enough";
    expect_failed(early, "\nInput terminated\n" + kRngFailed);

    const Collected c = collect(presses_for(deltas));
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 35);
    EXPECT_EQ(c.buffer, seed_of(hashed(low)));
}

TEST_F(Collection, WindowAbove56FailsOnceSixteenDeltasAreKept)
{
    /* Deltas that differ only from bit 57 up put the window there. */
    std::vector<uint64_t> high(17);
    for (size_t k = 0; k < high.size(); k++) high[k] = kBase | uint64_t{k * 37 % 128} << 57;
    const Collected c = collect(presses_for(high));
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 18);
    expect_failed(c, kRngFailed);

    /* Fifteen kept deltas are not yet checked: the dialogue goes on. */
    const Collected before = collect(presses_for({high.begin(), high.end() - 1}));
    EXPECT_TRUE(fake.overrun);
    expect_failed(before, "\nInput terminated\n" + kRngFailed);
}

/* Varied low bits, so that only the top bit of the window is short of ones:
 * bit 7 is set where ones[k] is. */
std::vector<uint8_t> top_bit_at(const std::vector<bool> &ones)
{
    std::vector<uint8_t> low(ones.size());
    for (size_t k = 0; k < low.size(); k++) {
        low[k] = static_cast<uint8_t>((k * 89 + 17) % 128 | (ones[k] ? 0x80 : 0));
    }
    return low;
}

TEST_F(Collection, LessThanOneBitFailsOnceSixteenDeltasAreKept)
{
    std::vector<bool> ones(17, false);
    ones[1] = true; /* column 7 holds a single one */
    const Collected c = collect(presses_for(with_base(top_bit_at(ones))));
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 18);
    expect_failed(c, kRngFailed);

    ones[4] = true; /* two ones in every column pass */
    const Collected passing = collect(presses_for(with_base(top_bit_at(ones))));
    EXPECT_TRUE(fake.overrun);
    EXPECT_EQ(fake.accepted, 18);
    expect_failed(passing, "\nInput terminated\n" + kRngFailed);
}

/* 299 bytes whose bit 7 is rarely set keep the estimate low: the arrays move
 * to larger blocks twice. */
std::vector<uint8_t> long_low_bytes()
{
    std::vector<bool> ones(299, false);
    ones[1] = ones[3] = true;
    for (size_t k = 16; k < ones.size(); k++) ones[k] = k % 33 == 0;
    return top_bit_at(ones);
}

TEST_F(Collection, SampleArraysGrowPast128And256)
{
    const auto low = long_low_bytes();
    const Collected c = collect(presses_for(with_base(low)));
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 300);
    EXPECT_EQ(c.out, fake.transcript);
    EXPECT_NE(c.out.find("\n300: Press key "), std::string::npos);
    EXPECT_EQ(c.buffer, seed_of(hashed(low)));
}

TEST_F(Collection, WrongKeysRepeatTheStartKeyThenChooseAnew)
{
    auto low = balanced_32();
    low.push_back(0x5A);
    std::vector<Press> script = {{100, PRESS_WRONG}, {200, 'Z' + 1}, {300, PRESS_SHOWN}};
    /* Time spent on wrong presses belongs to the next delta. */
    const auto deltas = with_base(low);
    for (size_t k = 0; k < deltas.size(); k++) {
        if (k % 5 == 2) {
            script.push_back({7, PRESS_WRONG});
            script.push_back({13, 13}); /* Enter */
            script.push_back({deltas[k] - 20, PRESS_SHOWN});
        } else {
            script.push_back({deltas[k], PRESS_SHOWN});
        }
    }
    const Collected c = collect(script);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.accepted, 34);
    EXPECT_EQ(fake.shown.size(), script.size());
    EXPECT_EQ(fake.shown[1], fake.shown[0]);
    EXPECT_EQ(fake.shown[2], fake.shown[0]);
    EXPECT_EQ(c.out, fake.transcript);
    const char k = static_cast<char>(fake.shown[0]);
    const char wrong = static_cast<char>(fake.transcript[18]);
    EXPECT_NE(wrong, k);
    EXPECT_EQ(c.out.substr(0, 60), std::string("01: Press key ") + k + "..." + wrong +
                                       "\n02: Press key " + k + "...[\n03: Press key " + k + "..." +
                                       k + "\n");
    EXPECT_EQ(c.buffer, seed_of(hashed(low)));
}

TEST_F(Collection, CtrlCAndUnreadableConsoleStopAtAnyPrompt)
{
    Collected c = collect({{5, 3}});
    expect_failed(c, "\nInput terminated\n" + kRngFailed);
    EXPECT_EQ(c.out, "01: Press key " + std::string(1, char(fake.shown[0])) + "...");

    std::vector<Press> later = presses_for(with_base(balanced_32()));
    later.resize(10);
    later.push_back({5, PRESS_WRONG});
    later.push_back({5, 3});
    c = collect(later);
    EXPECT_EQ(fake.shown.size(), 12u);
    expect_failed(c, "\nInput terminated\n" + kRngFailed);

    c = collect({{5, -1}});
    expect_failed(c, "\nError read character\n" + kRngFailed);
    later.back().code = -1;
    c = collect(later);
    expect_failed(c, "\nError read character\n" + kRngFailed);
}

TEST_F(Collection, ACodeOfZeroIsEchoedAndStopsSilently)
{
    Collected c = collect({{5, 0}});
    expect_failed(c, kRngFailed);
    EXPECT_EQ(c.out, "01: Press key " + std::string(1, char(fake.shown[0])) + "..." +
                         std::string(1, '\0') + "\n");
    c = collect({{5, PRESS_SHOWN}, {5, PRESS_SHOWN}, {5, 0}});
    expect_failed(c, kRngFailed);
}

TEST_F(Collection, BuffersLongerAndShorterThanTheSeed)
{
    auto low = balanced_32();
    low.push_back(0x5A);
    const auto seed = seed_of(hashed(low));

    Collected c = collect(presses_for(with_base(low)), 64);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(std::vector<uint8_t>(c.buffer.begin(), c.buffer.begin() + 40), seed);
    EXPECT_EQ(std::vector<uint8_t>(c.buffer.begin() + 40, c.buffer.end()),
              std::vector<uint8_t>(24, 0));

    /* Exactly as long as asked: a write past the end shows under the sanitizers. */
    c = collect(presses_for(with_base(low)), 16);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.buffer, std::vector<uint8_t>(seed.begin(), seed.begin() + 16));
    c = collect(presses_for(with_base(low)), 1);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.buffer, std::vector<uint8_t>(1, seed[0]));

    /* A failed collection leaves the buffer clear and the last seed in place. */
    c = collect({{5, 3}}, 64);
    expect_failed(c, "\nInput terminated\n" + kRngFailed);
    EXPECT_EQ(0, memcmp(keyent_result(), seed.data(), 40));
}

TEST_F(Collection, BadArguments)
{
    uint8_t buffer[40];
    install_fake({});
    testing::internal::CaptureStderr();
    EXPECT_EQ(keyent_callback(nullptr, 40), -1);
    EXPECT_EQ(keyent_callback(buffer, 0), -1);
    EXPECT_EQ(keyent_rng(nullptr, 40), -1);
    EXPECT_EQ(keyent_rng(buffer, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "keyent_callback: bad arguments\nkeyent_callback: bad arguments\n");
    EXPECT_TRUE(fake.shown.empty()) << "no prompt for bad arguments";
}

/* Keys typed before their prompt are thrown away, and a key with more input
 * behind it (a paste) answers nothing: at the start key the same key comes
 * again, later a new one; their time belongs to the next delta. */
TEST_F(Collection, KeysTypedAheadOrPastedAnswerNoPrompt)
{
    auto low = balanced_32();
    low.push_back(0x5A);
    const auto deltas = with_base(low);
    std::vector<Press> script = {{0, PRESS_AHEAD}, {200, PRESS_PASTED}, {300, PRESS_SHOWN}};
    for (size_t k = 0; k < deltas.size(); k++) {
        if (k == 3) {
            script.push_back({0, PRESS_AHEAD});
            script.push_back({50, PRESS_PASTED});
            script.push_back({deltas[k] - 50, PRESS_SHOWN});
        } else {
            script.push_back({deltas[k], PRESS_SHOWN});
        }
    }
    const Collected c = collect(script);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_FALSE(fake.overrun);
    EXPECT_EQ(fake.discarded, 2);
    EXPECT_EQ(fake.accepted, 34);
    EXPECT_EQ(fake.shown.size(), script.size() - 2);
    EXPECT_EQ(fake.shown[1], fake.shown[0]);
    EXPECT_EQ(c.out, fake.transcript);
    const char k = static_cast<char>(fake.shown[0]);
    EXPECT_EQ(c.out.substr(0, 40), std::string("01: Press key ") + k + "..." + k +
                                       "\n02: Press key " + k + "..." + k + "\n");
    EXPECT_EQ(c.buffer, seed_of(hashed(low)));
}

class Repeats : public Collection {
protected:
    static std::string repeats(const std::string &why)
    {
        return "keyent_collect: the key-press timing repeats: " + why + "\n" + kRngFailed;
    }
    static std::vector<uint64_t> alternating(uint64_t a, uint64_t b, size_t count)
    {
        std::vector<uint64_t> d(count);
        for (size_t k = 0; k < count; k++) d[k] = k % 2 == 0 ? a : b;
        return d;
    }
};

/* Windows 0x7F and 0x80 balance every bit column, and the estimate alone
 * would end after 34 presses; 0x80 and 0x81 the estimate refuses itself. */
TEST_F(Repeats, AlternatingAndConstantDeltasGiveNoSeed)
{
    Collected c = collect(presses_for(alternating(1199999, 1200000, 60)));
    EXPECT_EQ(fake.accepted, 21);
    expect_failed(c, repeats("19 of the last 19 samples take two values"));

    c = collect(presses_for(alternating(1200000, 1200001, 60)));
    EXPECT_EQ(fake.accepted, 18);
    expect_failed(c, kRngFailed);

    c = collect(presses_for(std::vector<uint64_t>(60, 1200000)));
    EXPECT_EQ(fake.accepted, 11);
    expect_failed(c, kEqualIntervals + kRngFailed);
}

/* Two intervals chosen at random, each press taking one of them at random:
 * about one bit a press. Half the pairs have complementary windows, which
 * the estimate alone lets through. */
TEST_F(Repeats, TwoRandomIntervalsGiveNoSeed)
{
#ifdef QV_UNDER_VALGRIND
    const int runs = 20;
#else
    const int runs = 400;
#endif
    std::mt19937_64 rng(34);
    for (int run = 0; run < runs; run++) {
        const uint64_t a = 1000000 + rng() % 5000000;
        const uint64_t b =
            run % 2 == 0 ? a ^ uint64_t { 0xFF } << (rng() % 8) : 1000000 + rng() % 5000000;
        std::vector<uint64_t> deltas(300);
        for (auto &d : deltas) d = rng() % 2 == 0 ? a : b;
        const Collected c = collect(presses_for(deltas));
        ASSERT_EQ(c.status, -2) << "run " << run << ": " << a << ", " << b;
        ASSERT_FALSE(fake.overrun);
    }
}

/* The first cutoffs, just met and just missed. */
TEST_F(Repeats, TheFirstCutoffs)
{
    /* Ten equal bytes of ten, from distinct intervals; nine pass. */
    std::vector<uint64_t> d(11);
    for (size_t k = 0; k < d.size(); k++) d[k] = 3000000 + 7 * k;
    std::vector<uint8_t> b(11, 0x42);
    keyent_health h = keyent_check_repeats(d.data(), b.data(), 11);
    EXPECT_EQ(h.verdict, KEYENT_ONE_VALUE);
    EXPECT_EQ(h.count, 10);
    EXPECT_EQ(h.window, 10);
    b[5] = 0x43;
    EXPECT_EQ(keyent_check_repeats(d.data(), b.data(), 11).verdict, KEYENT_HEALTHY);
    /* Nine equal intervals in a row pass, ten do not. */
    for (size_t k = 2; k < d.size(); k++) d[k] = d[1];
    for (size_t k = 0; k < b.size(); k++) b[k] = static_cast<uint8_t>(k);
    EXPECT_EQ(keyent_check_repeats(d.data(), b.data(), 10).verdict, KEYENT_HEALTHY);
    EXPECT_EQ(keyent_check_repeats(d.data(), b.data(), 11).verdict, KEYENT_EQUAL_INTERVALS);
}

/* A person: log-normal intervals around 300 ms, on a 100-ns clock and on
 * one that ticks every 15.625 ms. The health tests end none of these runs;
 * the estimate ends a few, most often for the most regular typing on the
 * coarse clock (about 1.2% of runs there, by the estimate alone). */
TEST(PersonTiming, TheHealthTestsEndNoRun)
{
#ifdef QV_UNDER_VALGRIND
    const int runs = 10;
#else
    const int runs = 1000;
#endif
    const std::string repeats = "timing repeats";
    for (const double sigma : {0.1, 0.3, 0.5}) {
        for (const uint64_t tick : {uint64_t{1}, uint64_t{156250}}) {
            SCOPED_TRACE(testing::Message() << "sigma " << sigma << ", tick " << tick);
            std::mt19937_64 rng(static_cast<uint64_t>(sigma * 10) * 1000 + tick);
            const auto normal = [&rng] {
                /* Box-Muller: the same numbers with every standard library. */
                const double u = (static_cast<double>(rng() >> 11) + 0.5) / 9007199254740992.0;
                const double v = static_cast<double>(rng() >> 11) / 9007199254740992.0;
                return sqrt(-2 * log(u)) * cos(2 * M_PI * v);
            };
            int succeeded = 0, vetoed = 0, longest = 0;
            for (int run = 0; run < runs; run++) {
                std::vector<Press> script;
                for (int k = 0; k < 200; k++) {
                    const double interval = 3e6 * exp(sigma * normal());
                    script.push_back({static_cast<uint64_t>(interval), PRESS_SHOWN});
                }
                install_fake(script, 0x01DC000000000000u + rng() % 100000000);
                fake.tick = tick;
                uint8_t seed[40];
                testing::internal::CaptureStdout();
                testing::internal::CaptureStderr();
                const int status = keyent_callback(seed, sizeof seed);
                testing::internal::GetCapturedStdout();
                const std::string err = testing::internal::GetCapturedStderr();
                ASSERT_FALSE(fake.overrun);
                if (status == 0) succeeded++;
                if (err.find(repeats) != std::string::npos) vetoed++;
                longest = std::max(longest, fake.accepted);
            }
            remove_fake();
            EXPECT_EQ(vetoed, 0);
            EXPECT_GE(succeeded, runs * (sigma == 0.1 && tick > 1 ? 975 : 990) / 1000);
            printf("sigma %.1f, clock tick %7.4f ms: %d of %d runs give a seed, %d stopped by "
                   "the health tests; at most %d presses\n",
                   sigma, static_cast<double>(tick) / 1e4, succeeded, runs, vetoed, longest);
        }
    }
}

/* A test allocator: it remembers every block it hands out, checks that each
 * comes back with zeros over its whole size, and can refuse the nth request. */
struct Ledger {
    std::vector<std::pair<void *, size_t>> live;
    int allocations = 0;
    int released = 0;
    int dirty = 0;     /* blocks that came back with a byte other than zero */
    int refuse_at = 0; /* 1-based request to refuse; 0: none */
};
Ledger ledger;

void *ledger_allocate(size_t size)
{
    if (++ledger.allocations == ledger.refuse_at) return nullptr;
    void *block = malloc(size);
    memset(block, 0xA5, size); /* what a reused block might still hold */
    ledger.live.push_back({block, size});
    return block;
}

void ledger_release(void *block, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(block);
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] != 0) {
            ledger.dirty++;
            break;
        }
    }
    bool known = false;
    for (auto it = ledger.live.begin(); it != ledger.live.end(); ++it) {
        if (it->first == block) {
            EXPECT_EQ(it->second, size) << "released with another size";
            ledger.live.erase(it);
            known = true;
            break;
        }
    }
    EXPECT_TRUE(known) << "a block the allocator never gave";
    ledger.released++;
    free(block);
}

class WipedArrays : public Collection {
protected:
    void SetUp() override
    {
        ledger = Ledger();
        const keyent_allocator a = {ledger_allocate, ledger_release};
        keyent_set_allocator(&a);
    }
    void TearDown() override
    {
        keyent_set_allocator(nullptr);
        Collection::TearDown();
    }
    /* Every block handed out came back, all zeros. */
    static void expect_all_returned_clean(int allocations)
    {
        EXPECT_EQ(ledger.allocations, allocations);
        EXPECT_TRUE(ledger.live.empty());
        EXPECT_EQ(ledger.dirty, 0);
    }
    static std::vector<Press> long_script() { return presses_for(with_base(long_low_bytes())); }
};

TEST_F(WipedArrays, AfterASuccessAndAfterGrowth)
{
    auto low = balanced_32();
    low.push_back(0x5A);
    Collected c = collect(presses_for(with_base(low)));
    ASSERT_EQ(c.status, 0) << c.err;
    expect_all_returned_clean(2);

    ledger = Ledger();
    c = collect(long_script());
    ASSERT_EQ(c.status, 0) << c.err;
    expect_all_returned_clean(6); /* 128, 256 and 384 entries, two arrays each */
}

TEST_F(WipedArrays, AfterEveryKindOfFailure)
{
    /* Ctrl+C after some samples, and a failed quality check. */
    Collected c = collect({{5, PRESS_SHOWN}, {70000, PRESS_SHOWN}, {90000, PRESS_SHOWN}, {5, 3}});
    expect_failed(c, "\nInput terminated\n" + kRngFailed);
    expect_all_returned_clean(2);

    ledger = Ledger();
    c = collect(presses_for(std::vector<uint64_t>(17, kBase)));
    expect_failed(c, kEqualIntervals + kRngFailed);
    expect_all_returned_clean(2);
}

TEST_F(WipedArrays, WhenAnArrayCannotBeAllocatedOrEnlarged)
{
    /* Requests 1 and 2 start the collection, 3 and 4 enlarge it at 128 entries. */
    for (int refused = 1; refused <= 4; refused++) {
        SCOPED_TRACE(refused);
        ledger = Ledger();
        ledger.refuse_at = refused;
        const Collected c = collect(long_script());
        expect_failed(c, kRngFailed);
        /* Growth is asked for at the start press plus the 129th delta. */
        EXPECT_EQ(fake.accepted, refused <= 2 ? 0 : 130);
        expect_all_returned_clean(refused <= 2 ? 2 : 4);
    }
}

} // namespace
