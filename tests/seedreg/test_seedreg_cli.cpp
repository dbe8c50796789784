/* seedreg as a user meets it: the built binary run in a folder of its own,
 * with QUORVANT_REGISTRY naming a store there; its standard output, standard
 * error, exit status and what the store holds afterwards, byte for byte. */
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "regfile.h"
#include "run_process.h"
#include "utf16_text.h"

namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n";
const std::string kFullKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly";

std::string failure(int code)
{
    return "Can't write RNG seed to registry. Key: SOFTWARE\\Quorvant\\Tessaly, ValueName: "
           "prng_start. Error:" +
           std::to_string(code) + "\n";
}

std::string seed_bytes(size_t n, unsigned first)
{
    std::string s;
    for (size_t i = 0; i < n; i++) s.push_back(static_cast<char>((first + 7 * i) & 0xff));
    return s;
}

/* The value's lines as the store holds them: 20 bytes, a break, 20 bytes. */
std::string value_lines(const std::string &seed, const std::string &newline = "\n")
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"prng_start\"=hex:";
    for (size_t i = 0; i < 40; i++) {
        const unsigned char b = static_cast<unsigned char>(seed[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        out += i == 19 ? ",\\" + newline + "  " : i == 39 ? newline : ",";
    }
    return out;
}

class SeedregCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_trusted_temp_dir("seedreg_cli");
        store_ = dir_ + "/registry.reg";
    }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult run(std::vector<std::string> args = {}, ProcessOptions options = ProcessOptions(),
                      const std::string &store = std::string())
    {
        args.insert(args.begin(), SEEDREG_BIN);
        if (options.cwd.empty()) options.cwd = dir_;
        options.set_env.push_back({"QUORVANT_REGISTRY", store.empty() ? store_ : store});
        return run_process(args, options);
    }

    void put_seed(const std::string &content) { write_file(dir_ + "/seed.bin", content); }

    static void expect(const ProcessResult &r, int status, const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    std::string dir_;
    std::string store_;
};

TEST_F(SeedregCli, WithoutSeedBinNothingIsTouched)
{
    expect(run(), 1, "fopen: " + std::string(strerror(ENOENT)) + "\n");
    EXPECT_FALSE(file_exists(store_));
    EXPECT_FALSE(file_exists(store_ + ".lock"));
    /* "seed.bin" is looked up in the current folder only. */
    mkdir((dir_ + "/sub").c_str(), 0755);
    put_seed(seed_bytes(40, 1));
    ProcessOptions elsewhere;
    elsewhere.cwd = dir_ + "/sub";
    expect(run({}, elsewhere), 1, "fopen: " + std::string(strerror(ENOENT)) + "\n");
    EXPECT_FALSE(file_exists(store_));
}

TEST_F(SeedregCli, FortyBytesAreStoredInFileOrder)
{
    const std::string seed = seed_bytes(40, 0xf0);
    put_seed(seed);
    expect(run(), 0, "");
    EXPECT_EQ(read_file(store_), kHeader + kSection + value_lines(seed) + "\n");
    EXPECT_EQ(read_file(dir_ + "/seed.bin"), seed);
}

TEST_F(SeedregCli, ALongerFileGivesItsFirstFortyBytes)
{
    const std::string seed = seed_bytes(4096, 3);
    put_seed(seed);
    expect(run(), 0, "");
    EXPECT_EQ(read_file(store_), kHeader + kSection + value_lines(seed.substr(0, 40)) + "\n");
    put_seed(seed_bytes(41, 9));
    expect(run(), 0, "");
    EXPECT_EQ(read_file(store_), kHeader + kSection + value_lines(seed_bytes(40, 9)) + "\n");
}

TEST_F(SeedregCli, AShortFileIsRefusedAndNothingWritten)
{
    for (size_t n : {size_t{0}, size_t{1}, size_t{39}}) {
        put_seed(seed_bytes(n, 5));
        expect(run(), 1,
               "seed.bin is too short: it holds " + std::to_string(n) +
                   " of the 40 bytes a seed needs\n");
        EXPECT_FALSE(file_exists(store_));
    }
    const std::string kept = kHeader + kSection + value_lines(seed_bytes(40, 77)) + "\n";
    write_file(store_, kept);
    put_seed(seed_bytes(39, 5));
    expect(run(), 1, "seed.bin is too short: it holds 39 of the 40 bytes a seed needs\n");
    EXPECT_EQ(read_file(store_), kept);
}

TEST_F(SeedregCli, ASeedBinThatCannotBeRead)
{
    mkdir((dir_ + "/seed.bin").c_str(), 0755);
    expect(run(), 1, "fopen: " + std::string(strerror(EISDIR)) + "\n");
    EXPECT_FALSE(file_exists(store_));
}

TEST_F(SeedregCli, ArgumentsAreIgnored)
{
    const std::string seed = seed_bytes(40, 11);
    put_seed(seed);
    expect(run({"-file", "other.bin", "--help", ""}), 0, "");
    EXPECT_EQ(read_file(store_), kHeader + kSection + value_lines(seed) + "\n");
    ProcessOptions with_input;
    with_input.stdin_data = "ignored too";
    expect(run({"x"}, with_input), 0, "");
    EXPECT_EQ(read_file(store_), kHeader + kSection + value_lines(seed) + "\n");
}

TEST_F(SeedregCli, OtherKeysValuesAndCommentsAreKept)
{
    const std::string before = "Windows Registry Editor Version 5.00\r\n"
                               "\r\n"
                               "; the toolkit's settings\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant]\r\n"
                               "@=\"vendor\"\r\n"
                               "\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\r\n"
                               "\"Install\"=\"C:\\\\Tessaly\\\\\"\r\n"
                               "\"Blob\"=hex(0):00,01,\\\r\n"
                               "  02\r\n"
                               "; kept where it is\r\n"
                               "\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly\\Sub]\r\n"
                               "\"Level\"=dword:00000003\r\n";
    write_file(store_, before);
    const std::string seed = seed_bytes(40, 200);
    put_seed(seed);
    expect(run(), 0, "");
    const std::string lines = value_lines(seed, "\r\n");
    const size_t at = before.find("; kept where");
    EXPECT_EQ(read_file(store_), before.substr(0, at) + lines + before.substr(at));
}

TEST_F(SeedregCli, AStoreSavedByTheEditorStaysUTF16)
{
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\r\n"
                             "\"Owner\"=\"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd\"\r\n";
    const std::string tail = "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
                             "\"prng_start\"=hex:00\r\n\r\n";
    write_file(store_, utf16(head + tail));
    const std::string seed = seed_bytes(40, 99);
    put_seed(seed);
    expect(run(), 0, "");
    const std::string lines = value_lines(seed, "\r\n");
    EXPECT_EQ(read_file(store_), utf16(head + lines + tail));
}

TEST_F(SeedregCli, AnExistingSeedIsReplacedNotAdded)
{
    const std::string tail = "\"After\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n"
                             "\"prng_start\"=hex:00\n";
    write_file(store_, kHeader + kSection + "\"Before\"=\"b\"\n" +
                           "\"prng_start\"=hex:01,02,\\\n"
                           "  03\n" +
                           tail);
    const std::string seed = seed_bytes(40, 1);
    put_seed(seed);
    expect(run(), 0, "");
    EXPECT_EQ(read_file(store_),
              kHeader + kSection + "\"Before\"=\"b\"\n" + value_lines(seed) + tail);

    /* And again: still one value under the key, now the newest seed. */
    const std::string seed2 = seed_bytes(40, 2);
    put_seed(seed2);
    expect(run(), 0, "");
    EXPECT_EQ(read_file(store_),
              kHeader + kSection + "\"Before\"=\"b\"\n" + value_lines(seed2) + tail);
}

TEST_F(SeedregCli, AnUnparseableStoreIsLeftAsItWas)
{
    const std::string broken = kHeader + kSection + "\"prng_start\"=hex:01,0g\n";
    write_file(store_, broken);
    put_seed(seed_bytes(40, 1));
    expect(run(), 1, failure(1009));
    EXPECT_EQ(read_file(store_), broken);
}

TEST_F(SeedregCli, LocationsThatCannotBeWritten)
{
    put_seed(seed_bytes(40, 1));
    write_file(dir_ + "/plain", "");
    expect(run({}, ProcessOptions(), dir_ + "/plain/registry.reg"), 1, failure(3));
    expect(run({}, ProcessOptions(), dir_ + "/missing/registry.reg"), 1, failure(3));
    EXPECT_FALSE(file_exists(dir_ + "/missing"));
    mkdir((dir_ + "/folder.reg").c_str(), 0755);
    expect(run({}, ProcessOptions(), dir_ + "/folder.reg"), 1, failure(5));
}

TEST_F(SeedregCli, AUserWithoutWriteAccessIsRefused)
{
    /* As root, run as "nobody"; as anyone else, take the write bits away. */
    ProcessOptions user;
    user.drop_privileges = geteuid() == 0;
    chmod(dir_.c_str(), 0755);
    put_seed(seed_bytes(40, 1));
    chmod((dir_ + "/seed.bin").c_str(), 0644);

    mkdir((dir_ + "/locked").c_str(), user.drop_privileges ? 0755 : 0555);
    expect(run({}, user, dir_ + "/locked/registry.reg"), 1, failure(5));
    EXPECT_FALSE(file_exists(dir_ + "/locked/registry.reg"));

    /* A folder open to all, but a store only its owner may write. */
    mkdir((dir_ + "/open").c_str(), 0777);
    chmod((dir_ + "/open").c_str(), 01777);
    const std::string kept = kHeader + kSection + "\"a\"=dword:00000001\n\n";
    write_file(dir_ + "/open/registry.reg", kept);
    chmod((dir_ + "/open/registry.reg").c_str(), 0444);
    if (!user.drop_privileges) chmod((dir_ + "/open").c_str(), 0555);
    /* Such a folder is no place for a store at all. */
    const std::string why = user.drop_privileges
                                ? "ERROR: refusing " + dir_ +
                                      "/open: a folder that users other than its owner may write\n"
                                : "";
    expect(run({}, user, dir_ + "/open/registry.reg"), 1, why + failure(5));
    EXPECT_EQ(read_file(dir_ + "/open/registry.reg"), kept);
    chmod((dir_ + "/locked").c_str(), 0755);
    chmod((dir_ + "/open").c_str(), 0755);
}

/* A user who may only read the store tries to hold its lock the ways a
 * read-only descriptor allows (flock, a shared record lock); seedreg run by
 * root must still finish. */
TEST_F(SeedregCli, AReaderOfTheStoreCannotHoldItsLock)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    const struct passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    chmod(dir_.c_str(), 0755);
    put_seed(seed_bytes(40, 1));
    expect(run(), 0, ""); /* the store and its lock exist, as root made them */
    put_seed(seed_bytes(40, 2));

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(ready[0]);
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0) {
            _exit(1);
        }
        const int fd = open((store_ + ".lock").c_str(), O_RDONLY);
        if (fd >= 0) {
            (void)flock(fd, LOCK_SH);
            struct flock shared;
            memset(&shared, 0, sizeof shared);
            shared.l_type = F_RDLCK;
            shared.l_whence = SEEK_SET;
            (void)fcntl(fd, F_OFD_SETLK, &shared);
        }
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    ProcessOptions options;
    options.cwd = dir_;
    options.set_env.push_back({"QUORVANT_REGISTRY", store_});
    RunningProcess writer = start_process({SEEDREG_BIN}, options);
    /* Far longer than a run takes, even under valgrind; a held lock never ends. */
    for (int waited = 0; waited < 60000 && !process_has_ended(writer); waited += 10) {
        usleep(10 * 1000);
    }
    const bool ended = process_has_ended(writer);
    if (!ended) kill(writer.pid, SIGKILL);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    const ProcessResult r = finish_process(&writer);
    EXPECT_TRUE(ended) << "seedreg waited for a lock held by a user who may not write the store";
    expect(r, 0, "");
    EXPECT_NE(read_file(store_).find(value_lines(seed_bytes(40, 2))), std::string::npos);
}

TEST_F(SeedregCli, ManyRunsAtOnceLoseNothing)
{
#ifdef QV_UNDER_VALGRIND
    const int runs = 6, writers = 2, values = 4;
#else
    const int runs = 16, writers = 4, values = 12;
#endif
    ProcessOptions options;
    options.set_env.push_back({"QUORVANT_REGISTRY", store_});
    std::set<std::string> seeds;
    std::vector<RunningProcess> running;
    for (int i = 0; i < std::max(runs, writers); i++) {
        if (i < runs) {
            const std::string cwd = dir_ + "/run" + std::to_string(i);
            mkdir(cwd.c_str(), 0755);
            const std::string seed = seed_bytes(40, static_cast<unsigned>(i * 41));
            write_file(cwd + "/seed.bin", seed + "trailing");
            seeds.insert(seed);
            ProcessOptions in_folder = options;
            in_folder.cwd = cwd;
            running.push_back(start_process({SEEDREG_BIN}, in_folder));
        }
        if (i < writers) {
            const std::string key = i % 2 == 0 ? "SOFTWARE\\Quorvant\\Tessaly" : "SOFTWARE\\W";
            running.push_back(start_process(
                {REGISTRY_WRITER_BIN, key, "w" + std::to_string(i), std::to_string(values)},
                options));
        }
    }

    /* Whenever the store is looked at, it is a whole, parseable file. */
    int looks = 0;
    for (;;) {
        bool all_ended = true;
        for (const RunningProcess &p : running) all_ended = all_ended && process_has_ended(p);
        const std::string text = read_file(store_);
        size_t bad_line = 0;
        EXPECT_EQ(regfile_check(text, &bad_line), 0) << "line " << bad_line << "\n" << text;
        looks++;
        if (all_ended) break;
        usleep(2000);
    }
    for (RunningProcess &p : running) {
        const ProcessResult r = finish_process(&p);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }

    const std::string text = read_file(store_);
    regfile_value v{0, {}};
    ASSERT_EQ(regfile_get(text, kFullKey, "prng_start", &v, nullptr), 0);
    EXPECT_EQ(v.type, 3u);
    EXPECT_EQ(seeds.count(std::string(v.data.begin(), v.data.end())), 1u);
    size_t count = 0;
    for (size_t at = text.find("\"prng_start\""); at != std::string::npos;
         at = text.find("\"prng_start\"", at + 1)) {
        count++;
    }
    EXPECT_EQ(count, 1u);
    for (int w = 0; w < writers; w++) {
        const std::string key =
            w % 2 == 0 ? kFullKey : std::string("HKEY_LOCAL_MACHINE\\SOFTWARE\\W");
        for (int j = 0; j < values; j++) {
            const std::string want = "w" + std::to_string(w) + " " + std::to_string(j);
            ASSERT_EQ(regfile_get(text, key, "w" + std::to_string(w) + "_" + std::to_string(j), &v,
                                  nullptr),
                      0)
                << want;
            EXPECT_EQ(std::string(v.data.begin(), v.data.end()), want + std::string(1, '\0'));
        }
    }
    RecordProperty("store_looks", looks);
}

} // namespace
