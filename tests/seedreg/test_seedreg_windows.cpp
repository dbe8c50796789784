/* seedreg.exe under Wine, as a user meets it: run in a folder of its own with
 * a seed.bin there; its standard streams (text streams: CR LF line ends) and
 * exit status byte for byte, and the value read back with Wine's own
 * "reg query" in the same prefix. */
#include <string.h>
#include <sys/stat.h>

#include <regex>

#include <gtest/gtest.h>

#include "run_process.h"

namespace {

const char kKey[] = "HKLM\\SOFTWARE\\Quorvant\\Tessaly";

std::string seed_bytes(size_t n, unsigned first)
{
    std::string s;
    for (size_t i = 0; i < n; i++) s.push_back(static_cast<char>((first + 7 * i) & 0xff));
    return s;
}

std::string hex_upper(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

/* Runs one of Wine's own programs in the build's prefix. */
ProcessResult wine_tool(std::vector<std::string> args)
{
    std::vector<std::string> argv = target_emulator();
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

class SeedregWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir("seedreg_windows");
        ASSERT_FALSE(target_emulator().empty());
        /* Each case starts without the key; a missing key is no error here. */
        wine_tool({"reg", "delete", kKey, "/f"});
    }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult run(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), SEEDREG_BIN);
        ProcessOptions options;
        options.cwd = dir_;
        return run_process(args, options);
    }

    void put_seed(const std::string &content) { write_file(dir_ + "/seed.bin", content); }

    /* The value as "reg query" shows it: its type and its data in hex, or
     * empty strings when reg finds no value. */
    static std::pair<std::string, std::string> query()
    {
        const ProcessResult r = wine_tool({"reg", "query", kKey, "/v", "prng_start"});
        std::smatch m;
        static const std::regex line("\r\n    prng_start    (REG_[A-Z]+)    ([0-9A-F]*)\r\n");
        if (r.status != 0 || !std::regex_search(r.out, m, line)) return {"", ""};
        return {m[1].str(), m[2].str()};
    }

    static void expect(const ProcessResult &r, int status, const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    std::string dir_;
};

TEST_F(SeedregWindows, FortyBytesAreStoredAsTheBinaryValue)
{
    const std::string seed = seed_bytes(40, 0xf0);
    put_seed(seed);
    expect(run(), 0, "");
    EXPECT_EQ(query(), std::make_pair(std::string("REG_BINARY"), hex_upper(seed)));

    /* A second seed replaces the first; arguments change nothing. */
    const std::string again = seed_bytes(40, 0x11);
    put_seed(again);
    expect(run({"-out", "x", "/?"}), 0, "");
    EXPECT_EQ(query(), std::make_pair(std::string("REG_BINARY"), hex_upper(again)));
}

TEST_F(SeedregWindows, ALongerFileGivesItsFirstFortyBytes)
{
    const std::string seed = seed_bytes(4096, 3);
    put_seed(seed);
    expect(run(), 0, "");
    EXPECT_EQ(query(), std::make_pair(std::string("REG_BINARY"), hex_upper(seed.substr(0, 40))));
}

TEST_F(SeedregWindows, AShortFileIsRefusedAndNothingStored)
{
    for (size_t n : {0, 1, 39}) {
        SCOPED_TRACE(n);
        put_seed(seed_bytes(n, 5));
        expect(run(), 1,
               "seed.bin is too short: it holds " + std::to_string(n) +
                   " of the 40 bytes a seed needs\r\n");
        EXPECT_EQ(query(), std::make_pair(std::string(), std::string()));
    }
}

TEST_F(SeedregWindows, WithoutSeedBinTheRegistryIsNotTouched)
{
    expect(run(), 1, "fopen: No such file or directory\r\n");
    EXPECT_EQ(query(), std::make_pair(std::string(), std::string()));
    /* seed.bin is looked up in the current folder only. */
    mkdir((dir_ + "/sub").c_str(), 0755);
    write_file(dir_ + "/sub/seed.bin", seed_bytes(40, 1));
    expect(run(), 1, "fopen: No such file or directory\r\n");
    EXPECT_EQ(query(), std::make_pair(std::string(), std::string()));
}

} // namespace
