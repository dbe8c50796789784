/* streebogsum beyond what sha256sum shows: lists shared with rhash and
 * hashcheck, 512-bit digests, the order of lines whatever the threads do, and
 * the progress line. */
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gost_r3411_2012.h"
#include "run_process.h"
#include "vectors.h"

namespace {

std::string digest_hex(const std::string &content, int bits)
{
    GOSTR3411_2012_CTX context;
    uint8_t digest[64];
    if (bits == 512) {
        GOSTR3411_2012_Transform(reinterpret_cast<const uint8_t *>(content.data()),
                                 static_cast<uint32_t>(content.size()), digest);
        return to_hex(digest, 64);
    }
    GOSTR3411_2012_256_Init(&context);
    GOSTR3411_2012_Update(&context, reinterpret_cast<const uint8_t *>(content.data()),
                          static_cast<uint32_t>(content.size()));
    GOSTR3411_2012_256_Final(&context, digest);
    return to_hex(digest, 32);
}

class Streebogsum : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("streebogsum"); }
    void TearDown() override { remove_tree(dir_); }

    ProcessResult run(const std::string &program, std::vector<std::string> args,
                      const std::string &stdin_data = "", const char *files_per_worker = nullptr)
    {
        args.insert(args.begin(), program);
        ProcessOptions options;
        options.cwd = dir_;
        options.stdin_data = stdin_data;
        options.set_env = {{"LC_ALL", "C.UTF-8"}};
        if (files_per_worker != nullptr)
            options.set_env.push_back({"STREEBOGSUM_FILES_PER_WORKER", files_per_worker});
        return run_process(args, options);
    }
    ProcessResult sum(std::vector<std::string> args, const std::string &stdin_data = "")
    {
        return run(STREEBOGSUM_BIN, std::move(args), stdin_data);
    }

    void put(const std::string &name, const std::string &content)
    {
        write_file(dir_ + "/" + name, content);
    }

    std::string dir_;
};

/* Names with blanks, quotes and non-ASCII both ways; a line feed (escaped)
 * only from streebogsum to rhash, which cannot list it. (rhash reads a
 * backslash in a listed name as a folder separator, so a name holding one
 * does not check there.) */
TEST_F(Streebogsum, ListsCheckWithRhashBothWays)
{
    const std::string rhash = find_program("rhash");
    if (rhash.empty()) GTEST_SKIP() << "rhash is not installed";
    const std::vector<std::string> names = {"plain", "a b", "it's \"q\"", "\xc3\xa9t\xc3\xa9"};
    for (size_t i = 0; i < names.size(); i++) put(names[i], std::string(i * 100, 'x'));
    for (const int bits : {256, 512}) {
        std::vector<std::string> args = {"--gost12-" + std::to_string(bits)};
        args.insert(args.end(), names.begin(), names.end());
        const ProcessResult listed = run(rhash, args);
        ASSERT_EQ(listed.status, 0) << listed.err;
        const ProcessResult checked = sum({"-c"}, listed.out);
        EXPECT_EQ(checked.out, "plain: OK\na b: OK\nit's \"q\": OK\n\xc3\xa9t\xc3\xa9: OK\n");
        EXPECT_EQ(checked.err, "");
        EXPECT_EQ(checked.status, 0);
    }

    std::vector<std::string> ours = names;
    ours.insert(ours.end(), {"line\nfeed"});
    put("line\nfeed", "l");
    for (const int bits : {256, 512}) {
        std::vector<std::string> args = {"-l", std::to_string(bits)};
        args.insert(args.end(), ours.begin(), ours.end());
        const ProcessResult listed = sum(args);
        ASSERT_EQ(listed.status, 0) << listed.err;
        put("list", listed.out);
        const ProcessResult checked =
            run(rhash, {"--gost12-" + std::to_string(bits), "-c", "list"});
        EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
        EXPECT_NE(checked.out.find("Everything OK"), std::string::npos) << checked.out;
    }
}

/* hashcheck's own lines make a list, split at the last " = ". */
TEST_F(Streebogsum, ChecksHashcheckLines)
{
    put("x = y", "one");
    put("a b", "");
    std::string list;
    for (const char *name : {"x = y", "a b"}) list += run(HASHCHECK_BIN, {"-file", name}).out;
    list += "GOSTHASH from file a b = " + std::string(64, '0') + "\n";
    list += "GOSTHASH from file  = " + std::string(64, '0') + "\n";
    put("list", list);
    const ProcessResult r = sum({"-c", "list"});
    EXPECT_EQ(r.out, "x = y: OK\na b: OK\na b: FAILED\n");
    EXPECT_EQ(r.err, "streebogsum: WARNING: 1 line is improperly formatted\n"
                     "streebogsum: WARNING: 1 computed checksum did NOT match\n");
    EXPECT_EQ(r.status, 1);
}

/* -l 512 writes the 512-bit digest in both forms; a list mixing both lengths
 * checks each line at its own length. */
/* Under an address-space limit: a list line too long for the memory at hand
 * ends the list, as in sha256sum, and threads that cannot start leave the
 * hashing to those that did, down to the main thread alone; never an abort. */
TEST_F(Streebogsum, LittleMemoryIsNoAbort)
{
#if defined(QV_UNDER_VALGRIND) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the checker's own memory needs no address-space limit";
#else
    if (!target_emulator().empty()) GTEST_SKIP() << "an emulator needs more address space";
    write_file(dir_ + "/f", "abc");
    auto limited = [&](const char *kib, std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"sh", "-c", std::string("ulimit -v ") + kib + "; exec \"$0\" \"$@\"",
                     STREEBOGSUM_BIN});
        ProcessOptions options;
        options.cwd = dir_;
        options.set_env = {{"LC_ALL", "C.UTF-8"}};
        return run_process(args, options);
    };
    const ProcessResult zero = limited("60000", {"-c", "/dev/zero"});
    EXPECT_EQ(zero.err, "streebogsum: /dev/zero: no properly formatted checksum lines found\n");
    EXPECT_EQ(zero.status, 1);
    const std::string line = digest_hex("abc", 256) + "  f\n";
    const ProcessResult r = limited("400000", {"-j", "200", "f", "f"});
    EXPECT_EQ(r.out, line + line);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
#endif
}

/* --help tells what sha256sum's tells of the options they share, the output
 * line and the check mode; --version has the GNU layout with our licence. */
TEST_F(Streebogsum, HelpAndVersionAsSha256sumHasThem)
{
    const std::string sha = find_program("sha256sum");
    if (sha.empty()) GTEST_SKIP() << "sha256sum is not installed";
    const ProcessResult ours = sum({"--help"}), theirs = run(sha, {"--help"});
    EXPECT_EQ(ours.status, 0);
    EXPECT_NE(ours.out.find("GOST R 34.11-2012"), std::string::npos);
    size_t at = 0;
    for (const char *shared :
         {"With no FILE, or when FILE is -, read standard input.\n", "  -b, --binary ",
          "  -c, --check ", "      --tag ", "  -t, --text ", "  -z, --zero ",
          "The following five options are useful only when verifying checksums:\n",
          "      --ignore-missing ", "  -w, --warn ", "      --help ", "      --version ",
          "When checking, the input should be a former output of this program",
          "The default mode is to print a line with: checksum, a space,\n"}) {
        ASSERT_NE(theirs.out.find(shared), std::string::npos) << shared;
        const size_t found = ours.out.find(shared, at);
        EXPECT_NE(found, std::string::npos) << shared;
        if (found != std::string::npos) at = found;
    }
    const std::vector<std::string> version = split_lines(sum({"--version"}).out);
    const std::vector<std::string> gnu = split_lines(run(sha, {"--version"}).out);
    ASSERT_EQ(version.size(), 5u);
    EXPECT_EQ(version[1].rfind("Copyright (c) ", 0), 0u);
    EXPECT_EQ(version[2].rfind("License BSD-2-Clause", 0), 0u);
    EXPECT_EQ(version[3], gnu.at(3));
    EXPECT_EQ(version[4], gnu.at(4));
}

TEST_F(Streebogsum, Length512)
{
    put("m", "message");
    const std::string d512 = digest_hex("message", 512), d256 = digest_hex("message", 256);
    EXPECT_EQ(sum({"-l", "512", "m"}).out, d512 + "  m\n");
    EXPECT_EQ(sum({"--length=512", "--tag", "m"}).out, "GOST12-512 (m) = " + d512 + "\n");
    EXPECT_EQ(sum({"m"}).out, d256 + "  m\n");
    put("list", d512 + "  m\nGOST12-512 (m) = " + d512 + "\n" + d256 + "  m\n" +
                    "GOST12-256 (m) = " + d512 + "\n");
    const ProcessResult r = sum({"-c", "-w", "list"});
    EXPECT_EQ(r.out, "m: OK\nm: OK\nm: OK\n");
    EXPECT_EQ(r.err, "streebogsum: list: 4: improperly formatted GOST12-256 checksum line\n"
                     "streebogsum: WARNING: 1 line is improperly formatted\n");
    EXPECT_EQ(r.status, 0);
    const ProcessResult bad = sum({"-l", "384", "m"});
    EXPECT_EQ(bad.err, "streebogsum: invalid length: '384' (256 or 512)\n"
                       "Try 'streebogsum --help' for more information.\n");
    EXPECT_EQ(bad.status, 1);
}

/* Many files of mixed sizes (several reads for some), missing files and
 * folders among them: the lines come out in the order given, the same with one
 * thread or several, each hashing one file at a time or several together. */
TEST_F(Streebogsum, ManyFilesKeepTheirOrder)
{
    std::vector<std::string> args;
    std::string expected_out, expected_err, list, expected_check;
    for (int i = 0; i < 150; i++) {
        const std::string name = "f" + std::to_string(i);
        args.push_back(name);
        if (i % 17 == 5) {
            mkdir((dir_ + "/" + name).c_str(), 0755);
            expected_err += "streebogsum: " + name + ": Is a directory\n";
            list += digest_hex("", 256) + "  " + name + "\n";
            expected_check += name + ": FAILED open or read\n";
            continue;
        }
        if (i % 13 == 7) {
            expected_err += "streebogsum: " + name + ": No such file or directory\n";
            list += digest_hex("", 256) + "  " + name + "\n";
            expected_check += name + ": FAILED open or read\n";
            continue;
        }
        /* Mostly small; every 25th larger than two reads. */
        size_t size = static_cast<size_t>(i * 37 % 3000);
        if (i % 25 == 1) size = 300 * 1024 + static_cast<size_t>(i);
        std::string content(size, '\0');
        for (size_t k = 0; k < size; k++)
            content[k] = static_cast<char>((k * 7 + static_cast<size_t>(i)) & 0xff);
        put(name, content);
        const std::string digest = digest_hex(content, 256);
        const std::string line = digest + "  " + name.c_str() + "\n";
        expected_out += line;
        list += line;
        expected_check += name + ": OK\n";
    }
    put("list", list);
    const std::pair<const char *, const char *> ways[] = {
        {"1", nullptr}, {"4", nullptr}, {"1", "1"}, {"2", "4"}};
    for (const auto &way : ways) {
        SCOPED_TRACE(std::string("-j ") + way.first + ", files per worker " +
                     (way.second != nullptr ? way.second : "by default"));
        std::vector<std::string> with_jobs = {"-j", way.first};
        with_jobs.insert(with_jobs.end(), args.begin(), args.end());
        const ProcessResult r = run(STREEBOGSUM_BIN, with_jobs, "", way.second);
        EXPECT_EQ(r.out, expected_out);
        EXPECT_EQ(r.err, expected_err);
        EXPECT_EQ(r.status, 1);
        const ProcessResult c =
            run(STREEBOGSUM_BIN, {"-c", "--jobs", way.first, "list"}, "", way.second);
        EXPECT_EQ(c.out, expected_check);
        EXPECT_EQ(c.status, 1);
    }
}

/* A file that changes while it is read gets the digest of what was read, with
 * no error, as sha256sum gives it: bytes appended before the read that finds
 * the end count, even when the file was a whole number of reads long at open,
 * and a file cut short below what was read ends there. The first file named
 * is a pipe the test holds open. One worker hashes both together, byte for
 * byte as the pipe brings them; the test feeds the pipe a byte at a time
 * until the worker has read the file's first 128 KiB (seen through inotify;
 * it takes the file only once the main thread has handed it over). The
 * worker then waits on the pipe before it can read the file again, so that
 * the change lands between two of its reads. */
TEST_F(Streebogsum, FileChangedWhileRead)
{
    const size_t read_size = 128 * 1024;
    for (const bool append : {true, false}) {
        SCOPED_TRACE(append ? "appended" : "cut short");
        std::string content(append ? 2 * read_size : 2 * read_size + 100, '\0');
        for (size_t k = 0; k < content.size(); k++) content[k] = static_cast<char>((k * 131) >> 8);
        const std::string file = dir_ + "/file", pipe = dir_ + "/pipe";
        put("file", content);
        unlink(pipe.c_str());
        ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
        /* Read and write: opening it blocks neither side. */
        const int pipe_fd = open(pipe.c_str(), O_RDWR | O_CLOEXEC);
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(pipe_fd, 0);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, file.c_str(), IN_ACCESS), 0);

        ProcessOptions options;
        options.cwd = dir_;
        RunningProcess p = start_process({STREEBOGSUM_BIN, "-j", "1", "pipe", "file"}, options);
        std::string fed;
        bool file_read = false;
        while (!file_read && fed.size() < 2000 && write(pipe_fd, "x", 1) == 1) {
            fed += "x";
            struct pollfd event = {watch, POLLIN, 0};
            file_read = poll(&event, 1, 50) == 1;
        }
        if (file_read && append) {
            const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            EXPECT_EQ(write(fd, "tail", 4), 4);
            close(fd);
        } else if (file_read) {
            EXPECT_EQ(truncate(file.c_str(), 1000), 0);
        }
        close(pipe_fd);
        close(watch);
        const ProcessResult r = finish_process(&p);
        ASSERT_TRUE(file_read) << "the file was not read while the pipe was open";
        const std::string hashed = append ? content + "tail" : content.substr(0, read_size);
        EXPECT_EQ(r.out, digest_hex(fed, 256) + "  pipe\n" + digest_hex(hashed, 256) + "  file\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

/* Files of /proc say their size is 0 and give their text in short reads: the
 * whole text is hashed. The file is the memory map of a child that made two
 * hundred mappings and waits, so that it spans several reads and stays put. */
TEST_F(Streebogsum, SizeZeroFileHashedWhole)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < 200; i++)
            if (mmap(nullptr, 4096, i % 2 ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                     0) == MAP_FAILED)
                _exit(1);
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    const std::string maps = "/proc/" + std::to_string(child) + "/maps";
    std::string text;
    std::vector<long> reads;
    const int fd = open(maps.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[128 * 1024];
    for (long got = 1; fd >= 0 && got > 0;) {
        got = read(fd, buffer, sizeof buffer);
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
        reads.push_back(got);
    }
    if (fd >= 0) close(fd);
    const ProcessResult r = sum({maps});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    ASSERT_GT(reads.size(), 2u) << "the map came in one read";
    EXPECT_EQ(r.out, digest_hex(text, 256) + "  " + maps + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

/* A named pipe that stays empty for a second and a half keeps the run going
 * long enough for the progress line. */
class Progress : public Streebogsum {
protected:
    void SetUp() override
    {
        Streebogsum::SetUp();
        ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
        writer_ = std::thread([this] {
            const int fd = open((dir_ + "/fifo").c_str(), O_WRONLY);
            if (fd < 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            (void)!write(fd, "abc", 3);
            close(fd);
        });
    }
    void TearDown() override
    {
        writer_.join();
        Streebogsum::TearDown();
    }
    std::thread writer_;
};

TEST_F(Progress, NeverWhenStandardErrorIsNoTerminal)
{
    const ProcessResult r = sum({"fifo"});
    EXPECT_EQ(r.out, digest_hex("abc", 256) + "  fifo\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Progress, ShownAndClearedOnATerminal)
{
    TerminalProcess p;
    ProcessOptions options;
    options.cwd = dir_;
    ASSERT_TRUE(start_on_terminal(p, {STREEBOGSUM_BIN, "fifo"}, options, true));
    const ProcessResult r = finish_on_terminal(p, 60000);
    EXPECT_EQ(r.status, 0);
    const std::string line = "\rstreebogsum: 0/1 files, 0 MB, 0 MB/s";
    const size_t shown = p.screen.find(line);
    ASSERT_NE(shown, std::string::npos) << p.screen;
    const std::string clear = "\r" + std::string(line.size() - 1, ' ') + "\r";
    EXPECT_EQ(p.screen.substr(p.screen.size() - clear.size() - 64 - 8),
              clear + digest_hex("abc", 256) + "  fifo\r\n");
}

} // namespace
