/* streebogsum against sha256sum: each case runs through both programs in a
 * fresh folder holding the same files, and what they print (standard output,
 * standard error, exit status) must be the same once sha256sum's name, its
 * algorithm's name and its digests are replaced by streebogsum's. Lists in
 * the cases name digests by placeholders, filled in for each program. */
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gost_r3411_2012.h"
#include "run_process.h"
#include "vectors.h"

using namespace std::string_literals;

namespace {

/* The files of every case's folder, by placeholder. */
struct Fixture {
    const char *key;
    const char *name;
    const char *content;
};
const Fixture kFiles[] = {
    {"a", "a", "abc"},    {"e", "e", ""},          {"ab", "a b", "q"},
    {"its", "it's", "r"}, {"bc", "b\\c", "x"},     {"nl", "n\nl", "y"},
    {"cr", "c\rr", "z"},  {"ea", "\xc3\xa9", "u"}, {"crlf", "a\r\nb", "w"},
};

/* The standard streams a case starts with: pipes, or standard output on
 * /dev/full or closed, or standard input closed. */
enum Output { OUT_PIPE, OUT_FULL, OUT_CLOSED, IN_CLOSED };

struct Case {
    const char *title;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> lists; /* name, lines with placeholders */
    std::string stdin_data;
    Output output;
    const char *locale;
};

const std::string Z = std::string(64, '0');

/* {key}: the digest of that file; {KEY}: the same in capitals; {Z}: a digest
 * that matches nothing; {T}: the BSD tag. */
const Case kCases[] = {
    // Making lists.
    {"names", {"a", "e", "b\\c", "n\nl", "c\rr", "\xc3\xa9"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"tag", {"--tag", "a", "b\\c", "n\nl"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"zero", {"-z", "a", "n\nl"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"binary", {"-b", "a", "--", "-"}, {}, "abc", OUT_PIPE, "C.UTF-8"},
    {"binary tag", {"-b", "--tag", "a"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"text", {"a", "-t"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"stdin", {}, {}, "abc", OUT_PIPE, "C.UTF-8"},
    {"stdin twice", {"-", "a", "-"}, {}, "abc", OUT_PIPE, "C.UTF-8"},
    {"unreadable", {"d", "missing", "a", "-a"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"quoted names",
     {"a b", "it's", "x\ty", "\xc3\xa9x", "#1", "a:b", "it's $x", "\xff", "a\n'"},
     {},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"quoted names, C locale", {"\xc3\xa9x", "~a", "a~", ""}, {}, "", OUT_PIPE, "C"},
    {"full output", {"a"}, {}, "", OUT_FULL, "C.UTF-8"},
    {"closed output", {"a"}, {}, "", OUT_CLOSED, "C.UTF-8"},
    {"closed input", {"-"}, {}, "", IN_CLOSED, "C.UTF-8"},
    {"closed input, check", {"-c"}, {}, "", IN_CLOSED, "C.UTF-8"},
    // The command line.
    {"invalid short", {"-x", "a"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"unrecognized long", {"--bogus=1"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"ambiguous", {"--s"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"argument refused", {"--tag=1"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"tag check", {"--tag", "-c"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"binary check", {"-c", "-b"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"text check", {"-t", "--check"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"zero check", {"-zc"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"zero binary tag check", {"-z", "-b", "--tag", "-c"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"binary tag check", {"-b", "--tag", "-c"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"quiet", {"--quiet"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"status", {"--status", "a"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"strict", {"--strict"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"warn", {"-w"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"ignore missing", {"--ignore-missing"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"status and strict", {"--strict", "--status"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"quiet then warn", {"--quiet", "-w"}, {}, "", OUT_PIPE, "C.UTF-8"},
    {"prefix", {"--che", "L"}, {{"L", "{a}  a\n"}}, "", OUT_PIPE, "C.UTF-8"},
    // Checking.
    {"check",
     {"-c", "L"},
     {{"L", "{a}  a\n{Z}  a\n{a}  missing\n{a}  d\ngarbage\n{a}  missing 2\n{ab}  a b\n"
            "{its}  it's\n{Z}  it's\n{a}  x\ty\n\\{bc}  b\\\\c\n\\{nl}  n\\nl\n{cr}  c\rr\n"
            "\\{crlf}  a\\r\\nb\n{ea}  \xc3\xa9\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check tagged blanks",
     {"-c", "L"},
     {{"L", "{T} (a) \t=\t{a}\n{T} (e)  =  {e}\n{T} (ab)={ab}\n{T} (its) =\t{its}\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check quiet",
     {"-c", "--quiet", "L"},
     {{"L", "{a}  a\n{Z}  a\n{a}  missing\nxx\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check status",
     {"-c", "--status", "L"},
     {{"L", "{a}  a\n{Z}  a\n{a}  missing\nxx\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check status ok", {"-c", "--status", "L"}, {{"L", "{a}  a\nxx\n"}}, "", OUT_PIPE, "C.UTF-8"},
    {"check warn strict",
     {"-c", "-w", "--strict", "L"},
     {{"L", "{a}  a\n\nxx\n# comment\n{a}\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check strict ok", {"-c", "--strict", "L"}, {{"L", "{a}  a\n#\n\n"}}, "", OUT_PIPE, "C.UTF-8"},
    {"check ignore missing",
     {"-c", "--ignore-missing", "L"},
     {{"L", "{a}  missing\n{a}  a\n{a}  d\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check ignore missing, none verified",
     {"-c", "--ignore-missing", "L"},
     {{"L", "{a}  missing\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check ignore missing, none verified, status",
     {"-c", "--ignore-missing", "--status", "L"},
     {{"L", "{a}  missing\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"forms",
     {"-c", "-w", "L"},
     {{"L", "{A}  a\n  {a}  a\n{a} a\n{a} *a\n{a}\ta\n{a}  \n{a}  a\r\n{T} (a) = {a}\n{T}(a)= {a}\n"
            "{T}(a)={a}\n{T} (a) =  {A}\n{T} (a) = {a}\r\n{a}  *\n{a}  a\r\r\n{T} ( a) = {a}\n"
            "{T} (a) ) = {a}\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"improper forms",
     {"-c", "-w", "L"},
     {{"L", "{a}  a\n{T}  (a) = {a}\n{a}0  a\n"
            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde  a\n"
            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg  a\n"
            "0123456789abcdef0123456789abcdef0123456789abcd\0f0123456789abcdef  a\n"
            "\\{a}  a\\x\n\\{a}  a\\\n{a} \n{a}\n"s}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"one blank first",
     {"-c", "L"},
     {{"L", "{a} a\n{a}  a\n{a} *a\n{a}\ta\n{a}  \n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"one blank later",
     {"-c", "L"},
     {{"L", "xx\n{T} (a) = {a}\n{a}\ta\n{a}  a\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"stdin list", {"-c"}, {}, "{a}  a\n{a}  -\n", OUT_PIPE, "C.UTF-8"},
    {"stdin list, warn", {"-c", "-w", "-"}, {}, "{a}  -\nxx\n", OUT_PIPE, "C.UTF-8"},
    {"stdin from a list file",
     {"-c", "L"},
     {{"L", "{a}  -\n{a}  a\n"}},
     "abc",
     OUT_PIPE,
     "C.UTF-8"},
    {"lists",
     {"-c", "L", "missing", "d", "M", "N"},
     {{"L", "{Z}  a\nxx\n"}, {"M", "junk\n"}, {"N", "{a}  a\n"}},
     "",
     OUT_PIPE,
     "C.UTF-8"},
    {"check full output", {"-c", "L"}, {{"L", "{a}  a\n"}}, "", OUT_FULL, "C.UTF-8"},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.title;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string gost256(const std::string &content)
{
    GOSTR3411_2012_CTX context;
    uint8_t digest[32];
    GOSTR3411_2012_256_Init(&context);
    GOSTR3411_2012_Update(&context, reinterpret_cast<const uint8_t *>(content.data()),
                          static_cast<uint32_t>(content.size()));
    GOSTR3411_2012_256_Final(&context, digest);
    return to_hex(digest, sizeof digest);
}

struct Tool {
    std::string program;
    std::string tag;
    std::map<std::string, std::string> digests; /* placeholder key to digest */
};

class VersusSha256sum : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        sha256sum_ = find_program("sha256sum");
        if (sha256sum_.empty()) return;
        /* One run for all (a run costs seconds under valgrind). */
        const std::string dir = make_temp_dir("streebogsum_digests");
        std::vector<std::string> argv = {sha256sum_};
        for (const Fixture &f : kFiles) {
            argv.push_back(dir + "/" + f.key);
            write_file(argv.back(), f.content);
            gost_[f.key] = gost256(f.content);
        }
        const ProcessResult r = run_process(argv);
        remove_tree(dir);
        size_t at = 0;
        for (const Fixture &f : kFiles) {
            sha_[f.key] = r.out.substr(at, 64);
            at = r.out.find('\n', at) + 1;
        }
    }

    static std::string fill(std::string text, const Tool &tool)
    {
        for (const auto &d : tool.digests) {
            text = replace_all(text, "{" + d.first + "}", d.second);
            text = replace_all(text, "{" + upper(d.first) + "}", upper(d.second));
        }
        text = replace_all(text, "{Z}", Z);
        return replace_all(text, "{T}", tool.tag);
    }

    static ProcessResult run(const Case &c, const Tool &tool)
    {
        const std::string dir = make_temp_dir("streebogsum_vs");
        for (const Fixture &f : kFiles) write_file(dir + "/" + f.name, f.content);
        mkdir((dir + "/d").c_str(), 0755);
        for (const auto &list : c.lists)
            write_file(dir + "/" + list.first, fill(list.second, tool));
        ProcessOptions options;
        options.cwd = dir;
        options.set_env = {{"LC_ALL", c.locale}};
        options.unset_env = {"POSIXLY_CORRECT"};
        options.stdin_data = fill(c.stdin_data, tool);
        if (c.output == OUT_FULL) options.stdout_file = "/dev/full";
        options.close_stdout = c.output == OUT_CLOSED;
        options.close_stdin = c.output == IN_CLOSED;
        std::vector<std::string> argv = {tool.program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcessResult r = run_process(argv, options);
        remove_tree(dir);
        return r;
    }

    static std::string sha256sum_;
    static std::map<std::string, std::string> sha_, gost_;
};
std::string VersusSha256sum::sha256sum_;
std::map<std::string, std::string> VersusSha256sum::sha_, VersusSha256sum::gost_;

TEST_P(VersusSha256sum, SameOutput)
{
    if (sha256sum_.empty()) GTEST_SKIP() << "sha256sum is not installed";
    const Case &c = GetParam();
    const ProcessResult theirs = run(c, Tool{sha256sum_, "SHA256", sha_});
    const ProcessResult ours = run(c, Tool{STREEBOGSUM_BIN, "GOST12-256", gost_});

    std::string out = theirs.out, err = theirs.err;
    for (const auto &d : sha_) {
        out = replace_all(replace_all(out, d.second, gost_[d.first]), upper(d.second),
                          upper(gost_[d.first]));
        err = replace_all(err, d.second, gost_[d.first]);
    }
    out = replace_all(out, "SHA256", "GOST12-256");
    err = replace_all(replace_all(err, sha256sum_, "sha256sum"), "sha256sum", "streebogsum");
    err = replace_all(err, "SHA256", "GOST12-256");
    EXPECT_EQ(ours.out, out);
    EXPECT_EQ(ours.err, err);
    EXPECT_EQ(ours.status, theirs.status);
}

std::string case_name(const ::testing::TestParamInfo<Case> &info)
{
    std::string name;
    for (const char *p = info.param.title; *p != '\0'; p++)
        name += (isalnum(static_cast<unsigned char>(*p)) != 0) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, VersusSha256sum, ::testing::ValuesIn(kCases), case_name);

} // namespace
