/* hashcheck as a user meets it: the built binary, its standard output,
 * standard error and exit status, byte for byte. */
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include "run_process.h"
#include "vectors.h"

/* Built with the project's flags, as hashcheck is: on a 32-bit host its
 * stdio must still open and read files beyond 2 GiB. */
static_assert(sizeof(off_t) == 8, "64-bit file offsets");

namespace {

const std::string kUsage = "usage:\n-file              path to file\n";
const std::string kFailEnd = "Error.\nERROR: check_hash failed.\n";
constexpr int kMinusOne = 255; /* exit status -1 as the shell sees it */

#ifdef QV_TARGET_WINDOWS
/* hashcheck.exe under Wine: its standard streams are text streams, whose line
 * ends the Windows C runtime writes as CR LF. */
std::string text(const std::string &lines)
{
    return crlf_lines(lines);
}
#else
std::string text(const std::string &lines)
{
    return lines;
}
#endif

class HashcheckCli : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_temp_dir("hashcheck_cli"); }
    void TearDown() override
    {
        chmod(dir_.c_str(), 0755);
        remove_tree(dir_);
    }

    ProcessResult run(std::vector<std::string> args, ProcessOptions options = ProcessOptions())
    {
        args.insert(args.begin(), HASHCHECK_BIN);
        if (options.cwd.empty()) options.cwd = dir_;
        return run_process(args, options);
    }

    std::string put(const std::string &name, const std::vector<uint8_t> &content)
    {
        std::string path = dir_ + "/" + name;
        write_file(path, std::string(content.begin(), content.end()));
        return path;
    }

    static std::string line(const std::string &path, const std::string &digest)
    {
        return "GOSTHASH from file " + path + " = " + digest + "\n";
    }

    static void expect(const ProcessResult &r, int status, const std::string &out,
                       const std::string &err)
    {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, text(out));
        EXPECT_EQ(r.err, text(err));
    }

    std::string dir_;
};

TEST_F(HashcheckCli, UsageWithoutAPath)
{
    expect(run({}), kMinusOne, "", kUsage);
    expect(run({"-file"}), kMinusOne, "", kUsage);
}

TEST_F(HashcheckCli, UnknownOptionsAreRefusedBeforeAnyFileIsOpened)
{
    expect(run({"-File", "x"}), kMinusOne, "", "unknown option '-File'\n" + kUsage);
    expect(run({"-FILE", "x"}), kMinusOne, "", "unknown option '-FILE'\n" + kUsage);
    expect(run({"--file", "x"}), kMinusOne, "", "unknown option '--file'\n" + kUsage);
    expect(run({"x"}), kMinusOne, "", "unknown option 'x'\n" + kUsage);
    expect(run({""}), kMinusOne, "", "unknown option ''\n" + kUsage);
    /* "missing" does not exist: had it been opened, its failure would show. */
    expect(run({"-file", "missing", "extra"}), kMinusOne, "", "unknown option 'extra'\n" + kUsage);
    expect(run({"-file", "missing", "-file", "b", "-x"}), kMinusOne, "",
           "unknown option '-x'\n" + kUsage);
}

TEST_F(HashcheckCli, DigestsOfBoundaryFiles)
{
    const auto vectors = load_vectors(TEST_DATA_DIR "/gost2012.txt");
    struct Want {
        const char *pattern;
        size_t length;
    } wanted[] = {{"zeros", 0},  {"digits", 63}, {"zeros", 8192},   {"zeros", 8193},
                  {"mix", 8191}, {"mix", 16384}, {"ones", 1048579}, {"counter", 64}};
    for (const auto &w : wanted) {
        const Vector *v = nullptr;
        for (const auto &candidate : vectors) {
            if (candidate.pattern == w.pattern && candidate.length == w.length) v = &candidate;
        }
        ASSERT_NE(v, nullptr) << w.pattern << " " << w.length << " is not in the data file";
        const std::string name = std::string(w.pattern) + std::to_string(w.length);
        put(name, make_message(w.pattern, w.length));
        SCOPED_TRACE(name);
        expect(run({"-file", name}), 0, line(name, v->digest256), "");
    }
    expect(run({"-file", "zeros0"}), 0,
           line("zeros0", "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb"), "");
    expect(run({"-file", "digits63"}), 0,
           line("digits63", "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"),
           "");
}

TEST_F(HashcheckCli, TheLastPairWinsAndATrailingFileIsIgnored)
{
    const std::string empty = "3f539a213e97c802cc229d474c6aa32a825a360b2a933a949fd925208d9ce1bb";
    put("b", {});
    expect(run({"-file", "missing", "-file", "b"}), 0, line("b", empty), "");
    expect(run({"-file", "b", "-file"}), 0, line("b", empty), "");

    /* The argument after "-file" is the path, whatever it looks like. */
    put("-file", {});
    expect(run({"-file", "-file"}), 0, line("-file", empty), "");
    put("-x", {});
    expect(run({"-file", "-x"}), 0, line("-x", empty), "");
}

TEST_F(HashcheckCli, PathsArePrintedAsTyped)
{
    const auto m = make_message("digits", 63);
    const std::string d = "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500";
    put("a file with  blanks", m);
    expect(run({"-file", "a file with  blanks"}), 0, line("a file with  blanks", d), "");
    expect(run({"-file", "./a file with  blanks"}), 0, line("./a file with  blanks", d), "");
    const std::string absolute = dir_ + "/a file with  blanks";
    expect(run({"-file", absolute}), 0, line(absolute, d), "");
}

TEST_F(HashcheckCli, FilesThatCannotBeOpened)
{
    expect(run({"-file", "missing"}), kMinusOne, "",
           "Failed to open file 'missing': Error: : " + std::string(strerror(ENOENT)) + "\n" +
               kFailEnd);
    expect(run({"-file", ""}), kMinusOne, "",
           "Failed to open file '': Error: : " + std::string(strerror(ENOENT)) + "\n" + kFailEnd);
}

TEST_F(HashcheckCli, AFileWithoutReadAccess)
{
#ifdef QV_TARGET_WINDOWS
    GTEST_SKIP() << "Windows grants access by access lists, not by the mode bits this test "
                    "takes away; and Wine runs only as the owner of its prefix";
#endif
    put("secret", {1, 2, 3});
    chmod((dir_ + "/secret").c_str(), 0);
    chmod(dir_.c_str(), 0755);
    ProcessOptions as_user;
    as_user.drop_privileges = true;
    const ProcessResult r = run({"-file", dir_ + "/secret"}, as_user);
    if (r.status == 0 && geteuid() == 0) {
        GTEST_SKIP() << "cannot take away read access here";
    }
    expect(r, kMinusOne, "",
           "Failed to open file '" + dir_ + "/secret': Error: : " + strerror(EACCES) + "\n" +
               kFailEnd);
}

TEST_F(HashcheckCli, ADirectoryIsRefused)
{
    mkdir((dir_ + "/sub").c_str(), 0755);
#ifdef QV_TARGET_WINDOWS
    /* Windows does not open a directory as a file at all. */
    expect(run({"-file", "sub"}), kMinusOne, "",
           "Failed to open file 'sub': Error: : " + std::string(strerror(EACCES)) + "\n" +
               kFailEnd);
#else
    /* POSIX opens it, and the first read fails. */
    expect(run({"-file", "sub"}), kMinusOne, "",
           "Read error\nError make_gosthash_from_file failed.\n" + kFailEnd);
#endif
}

/* Status 0 means the line arrived: a full or closed standard output is an
 * error of its own, after the digest was computed. */
TEST_F(HashcheckCli, AnOutputLineThatCannotBeWrittenIsAnError)
{
    put("a", {1, 2, 3});
    if (file_exists("/dev/full")) {
        ProcessOptions full;
        full.stdout_file = "/dev/full";
        expect(run({"-file", "a"}, full), kMinusOne, "",
               "ERROR: unable to write to standard output: " + std::string(strerror(ENOSPC)) +
                   "\n");
    }
    ProcessOptions closed;
    closed.close_stdout = true;
    expect(run({"-file", "a"}, closed), kMinusOne, "",
           "ERROR: unable to write to standard output: " + std::string(strerror(EBADF)) + "\n");
}

TEST_F(HashcheckCli, StandardInputIsNeverRead)
{
    ProcessOptions options;
    options.stdin_data = "not this";
    expect(run({}, options), kMinusOne, "", kUsage);
}

TEST_F(HashcheckCli, RandomFilesAgreeWithRhashOnEitherEnginePath)
{
    const std::string rhash = find_program("rhash");
    if (rhash.empty()) GTEST_SKIP() << "rhash is not installed";
    std::mt19937 rng(3411);
    for (int i = 0; i < 12; i++) {
        const size_t length = std::uniform_int_distribution<size_t>(0, 40000)(rng);
        std::vector<uint8_t> m(length);
        for (auto &b : m) b = static_cast<uint8_t>(rng());
        const std::string path = put("r" + std::to_string(i), m);
        const ProcessResult theirs = run_process({rhash, "--gost12-256", path});
        ASSERT_EQ(theirs.status, 0);
        const std::string digest = theirs.out.substr(0, 64); /* "<digest>  <path>" */
        expect(run({"-file", path}), 0, line(path, digest), "");
        /* The engine's table path, and the vector path where it runs. */
        for (const char *impl : {"table", "vector"}) {
            ProcessOptions options;
            options.set_env.emplace_back("GOST_R3411_2012_IMPL", impl);
            SCOPED_TRACE(impl);
            expect(run({"-file", path}, options), 0, line(path, digest), "");
        }
    }
}

} // namespace
