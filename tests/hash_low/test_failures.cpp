/* Every argument check of the engine: its code, its one diagnostic line when
 * a stream is set, silence when none is, and nothing changed by a failed call. */
#include <string.h>
#ifdef __unix__
#include <sys/mman.h>
#endif
#include <stdint.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "gost_r3411_2012.h"

namespace {

struct Call {
    int code;
    std::string diag;
};

/* Runs f with hash_diag_stream set to a fresh file, returns what it wrote. */
Call with_diag_stream(const std::function<int()> &f)
{
    FILE *stream = tmpfile();
    EXPECT_NE(stream, nullptr);
    hash_diag_stream = stream;
    Call call{f(), std::string()};
    hash_diag_stream = nullptr;
    fflush(stream);
    rewind(stream);
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stream)) > 0) call.diag.append(buf, n);
    fclose(stream);
    return call;
}

/* Runs f with no stream set; nothing may reach standard output or error. */
int without_diag_stream(const std::function<int()> &f)
{
    EXPECT_EQ(hash_diag_stream, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int code = f();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    return code;
}

std::string source_line(int number)
{
    std::ifstream f(ENGINE_SOURCE);
    std::string line;
    for (int i = 0; i < number && std::getline(f, line); i++) {
    }
    return line;
}

/* "hash_low/gost_r3411_2012.cpp:<line> <function>. <what>\n", where <line>
 * is the line of the engine source that reports the check. */
void expect_located_message(const std::string &diag, const std::string &function,
                            const std::string &what)
{
    const std::string prefix = "hash_low/gost_r3411_2012.cpp:";
    ASSERT_EQ(diag.rfind(prefix, 0), 0u) << diag;
    size_t end = 0;
    const int line = std::stoi(diag.substr(prefix.size()), &end);
    EXPECT_EQ(diag.substr(prefix.size() + end), " " + function + ". " + what + "\n");
    EXPECT_NE(source_line(line).find("__LINE__"), std::string::npos)
        << "line " << line << " of the engine does not report a check";
}

std::vector<uint8_t> bytes_of(const GOSTR3411_2012_CTX &context)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&context);
    return std::vector<uint8_t>(p, p + sizeof context);
}

/* A context in the middle of a message, so that a change would show. */
GOSTR3411_2012_CTX absorbing_context(int digest_size)
{
    GOSTR3411_2012_CTX context;
    if (digest_size == 32) {
        GOSTR3411_2012_256_Init(&context);
    } else {
        init_512(&context);
    }
    const auto m = make_message("mix", 100);
    GOSTR3411_2012_Update(&context, m.data(), 100);
    return context;
}

TEST(Failures, InitWithNullContext)
{
    expect_located_message(with_diag_stream([] { return GOSTR3411_2012_256_Init(nullptr); }).diag,
                           "GOSTR3411_2012_Init", "NULL context pointer");
    EXPECT_EQ(without_diag_stream([] { return GOSTR3411_2012_256_Init(nullptr); }), -1);
    EXPECT_EQ(without_diag_stream([] { return GOSTR3411_2012_512_Init(nullptr); }), -1);
}

TEST(Failures, UpdateChecks)
{
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    auto null_context = with_diag_stream([&] { return GOSTR3411_2012_Update(nullptr, data, 5); });
    EXPECT_EQ(null_context.code, -1);
    expect_located_message(null_context.diag, "GOSTR3411_2012_Update", "NULL context pointer");

    GOSTR3411_2012_CTX context = absorbing_context(32);
    const auto before = bytes_of(context);

    auto empty = with_diag_stream([&] { return GOSTR3411_2012_Update(&context, nullptr, 0); });
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.diag, "");
    EXPECT_EQ(bytes_of(context), before);

    auto null_data = with_diag_stream([&] { return GOSTR3411_2012_Update(&context, nullptr, 5); });
    EXPECT_EQ(null_data.code, -2);
    expect_located_message(null_data.diag, "GOSTR3411_2012_Update",
                           "NULL data pointer for data_len > 0");
    EXPECT_EQ(bytes_of(context), before);

    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Update(&context, nullptr, 5); }), -2);
    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Update(nullptr, data, 5); }), -1);
    EXPECT_EQ(bytes_of(context), before);

    /* The failed calls left the message intact: it goes on as if they never were. */
    const auto m = make_message("mix", 100);
    std::vector<uint8_t> full(m);
    full.insert(full.end(), data, data + 5);
    ASSERT_EQ(GOSTR3411_2012_Update(&context, data, 5), 0);
    EXPECT_EQ(finish_hex(&context), digest_hex(full, 32));
}

/* Each refusal: its code, its message, and every context as it was. */
TEST(Failures, UpdateMultiChecks)
{
    GOSTR3411_2012_CTX a = absorbing_context(32), b = absorbing_context(64);
    const auto before_a = bytes_of(a), before_b = bytes_of(b);
    const uint8_t bytes[100] = {7};
    GOSTR3411_2012_CTX *both[2] = {&a, &b};
    GOSTR3411_2012_CTX *with_null[2] = {&a, nullptr};
    GOSTR3411_2012_CTX *twice[3] = {&a, &b, &a};
    const uint8_t *data[3] = {bytes, bytes, bytes};
    const uint8_t *null_entry[2] = {bytes, nullptr};
    const std::string function = "GOSTR3411_2012_UpdateMulti";
    struct Case {
        std::function<int()> call;
        int code;
        std::string what; /* "" when nothing is written */
    } cases[] = {
        {[&] { return GOSTR3411_2012_UpdateMulti(nullptr, data, 100, 2); }, -1,
         "NULL context array pointer"},
        {[&] { return GOSTR3411_2012_UpdateMulti(both, data, 100, 0); }, -3,
         "Context count out of range: 0"},
        {[&] { return GOSTR3411_2012_UpdateMulti(twice, data, 100, 5); }, -3,
         "Context count out of range: 5"},
        {[&] { return GOSTR3411_2012_UpdateMulti(with_null, data, 100, 2); }, -1,
         "NULL context pointer"},
        {[&] { return GOSTR3411_2012_UpdateMulti(both, nullptr, 100, 2); }, -2,
         "NULL data array pointer for data_len > 0"},
        {[&] { return GOSTR3411_2012_UpdateMulti(both, null_entry, 100, 2); }, -2,
         "NULL data pointer for data_len > 0"},
        {[&] { return GOSTR3411_2012_UpdateMulti(twice, data, 100, 3); }, -3,
         "Context given twice"},
        {[&] { return GOSTR3411_2012_UpdateMulti(both, nullptr, 0, 2); }, 0, ""},
        {[&] { return GOSTR3411_2012_UpdateMulti(both, null_entry, 0, 2); }, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Call call = with_diag_stream(c.call);
        EXPECT_EQ(call.code, c.code);
        if (c.what.empty()) {
            EXPECT_EQ(call.diag, "");
        } else {
            expect_located_message(call.diag, function, c.what);
        }
        EXPECT_EQ(without_diag_stream(c.call), c.code);
        EXPECT_EQ(bytes_of(a), before_a);
        EXPECT_EQ(bytes_of(b), before_b);
    }
}

TEST(Failures, FinalChecks)
{
    uint8_t digest[64];
    auto null_context = with_diag_stream([&] { return GOSTR3411_2012_Final(nullptr, digest); });
    EXPECT_EQ(null_context.code, -1);
    expect_located_message(null_context.diag, "GOSTR3411_2012_Final", "NULL context pointer");

    GOSTR3411_2012_CTX context = absorbing_context(64);
    const auto before = bytes_of(context);
    auto null_digest = with_diag_stream([&] { return GOSTR3411_2012_Final(&context, nullptr); });
    EXPECT_EQ(null_digest.code, -2);
    expect_located_message(null_digest.diag, "GOSTR3411_2012_Final", "NULL digest pointer");
    EXPECT_EQ(bytes_of(context), before);

    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Final(&context, nullptr); }), -2);
    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Final(nullptr, digest); }), -1);
    EXPECT_EQ(bytes_of(context), before);
    EXPECT_EQ(finish_hex(&context), digest_hex(make_message("mix", 100), 64));
}

TEST(Failures, Final256Checks)
{
    uint8_t digest[64];
    memset(digest, 0xa5, sizeof digest);
    const std::vector<uint8_t> untouched(digest, digest + 64);

    auto null_context = with_diag_stream([&] { return GOSTR3411_2012_256_Final(nullptr, digest); });
    EXPECT_EQ(null_context.code, -1);
    expect_located_message(null_context.diag, "GOSTR3411_2012_256_Final", "NULL context pointer");

    /* A 512-bit context is refused and stays fit for the general finish. */
    GOSTR3411_2012_CTX context = absorbing_context(64);
    const auto before = bytes_of(context);
    auto wrong_size = with_diag_stream([&] { return GOSTR3411_2012_256_Final(&context, digest); });
    EXPECT_EQ(wrong_size.code, -2);
    expect_located_message(wrong_size.diag, "GOSTR3411_2012_256_Final",
                           "Illegal digest size in context: 64");
    EXPECT_EQ(bytes_of(context), before);
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 64), untouched);
    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_256_Final(&context, digest); }), -2);
    EXPECT_EQ(finish_hex(&context), digest_hex(make_message("mix", 100), 64));

    /* With the right size, the general finish's checks follow under its own name. */
    GOSTR3411_2012_CTX context256 = absorbing_context(32);
    auto null_digest =
        with_diag_stream([&] { return GOSTR3411_2012_256_Final(&context256, nullptr); });
    EXPECT_EQ(null_digest.code, -2);
    expect_located_message(null_digest.diag, "GOSTR3411_2012_Final", "NULL digest pointer");
    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_256_Final(nullptr, digest); }), -1);
}

TEST(Failures, TransformChecksDataBeforeDigest)
{
    uint8_t digest[64];
    memset(digest, 0x5a, sizeof digest);
    const std::vector<uint8_t> untouched(digest, digest + 64);
    const uint8_t data[3] = {1, 2, 3};

    auto null_data = with_diag_stream([&] { return GOSTR3411_2012_Transform(nullptr, 3, digest); });
    EXPECT_EQ(null_data.code, -2);
    expect_located_message(null_data.diag, "GOSTR3411_2012_Transform",
                           "NULL data pointer for data_len > 0");
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 64), untouched);

    auto both_null =
        with_diag_stream([&] { return GOSTR3411_2012_Transform(nullptr, 3, nullptr); });
    EXPECT_EQ(both_null.code, -2);

    auto null_digest = with_diag_stream([&] { return GOSTR3411_2012_Transform(data, 3, nullptr); });
    EXPECT_EQ(null_digest.code, -3);
    expect_located_message(null_digest.diag, "GOSTR3411_2012_Transform", "NULL digest pointer");

    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Transform(nullptr, 3, digest); }),
              -2);
    EXPECT_EQ(without_diag_stream([&] { return GOSTR3411_2012_Transform(data, 3, nullptr); }), -3);
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 64), untouched);
}

TEST(Failures, FinalWithAnUnusualDigestSizeWritesTheHighHalf)
{
    GOSTR3411_2012_CTX context = absorbing_context(64);
    context.digest_size = 48;
    uint8_t digest[64];
    memset(digest, 0x77, sizeof digest);
    ASSERT_EQ(GOSTR3411_2012_Final(&context, digest), 0);
    const std::string full = digest_hex(make_message("mix", 100), 64);
    EXPECT_EQ(to_hex(digest, 32), full.substr(64));
    for (int i = 32; i < 64; i++) EXPECT_EQ(digest[i], 0x77) << i;
}

/* buffer_len + data_len must not wrap at 2^32: a call that does must still
 * absorb every byte and never write past buffer. The 4 GiB of input are a
 * read-only mapping of zero pages, so they cost address space, not memory. */
TEST(Failures, UpdateNear4GiBDoesNotWrapTheLength)
{
#if UINTPTR_MAX <= 0xFFFFFFFFu
    GTEST_SKIP() << "needs a 64-bit address space";
#elif !defined(__unix__)
    GTEST_SKIP() << "maps its 4 GiB of input with POSIX mmap";
#elif !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__) || defined(QV_UNDER_VALGRIND)
    GTEST_SKIP() << "hashing 4 GiB wants an optimised build without sanitizers or valgrind";
#else
    const uint32_t length = 0xFFFFFFF8u;
    void *map =
        mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
#ifdef MADV_HUGEPAGE
    madvise(map, length, MADV_HUGEPAGE); /* fewer page faults over the zero pages */
#endif

    struct {
        GOSTR3411_2012_CTX context;
        uint8_t guard[64];
    } s;
    memset(s.guard, 0xee, sizeof s.guard);
    GOSTR3411_2012_256_Init(&s.context);
    const uint8_t ten[10] = {0};
    GOSTR3411_2012_Update(&s.context, ten, 10);
    ASSERT_EQ(GOSTR3411_2012_Update(&s.context, static_cast<const uint8_t *>(map), length), 0);
    munmap(map, length);

    /* 10 + (2^32 - 8) bytes: 2^26 whole blocks and 2 bytes left over. */
    EXPECT_EQ(s.context.buffer_len, 2u);
    EXPECT_EQ(s.context.N[0], (1ULL << 26) * 512);
    for (int i = 1; i < 8; i++) EXPECT_EQ(s.context.N[i], 0u);
    for (uint8_t g : s.guard) ASSERT_EQ(g, 0xee);
#endif
}

} // namespace
