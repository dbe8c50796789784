/* hashcheck and seedreg when the disk fails under them: each run ends in the
 * program's chain of messages and a status that agrees with what it left, and
 * a file the program keeps is either untouched or whole. */
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <set>

#include <gtest/gtest.h>

#include "fault_env.h"
#include "run_process.h"

namespace {

class Faults : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_trusted_temp_dir("faults"); }
    void TearDown() override { remove_tree(dir_); }

    std::string dir_;
};

/* A file of 1 MiB whose reads fail after the first 100000 bytes: stdio has
 * read ahead to 131072 bytes by then, so the failure comes from the system. */
TEST_F(Faults, HashcheckReadErrorMidwayIsAnError)
{
    const std::string path = dir_ + "/big.bin";
    write_file(path, std::string(1 << 20, 'q'));
    const ProcessResult clean = run_process({HASHCHECK_BIN, "-file", path});
    ASSERT_EQ(clean.status, 0) << clean.err;

    for (const char *after : {"0", "100000", "1000000"}) {
        SCOPED_TRACE(after);
        ProcessOptions o;
        add_faults(o, {{"FAULT_PATH", "big.bin"}, {"FAULT_READ_AFTER", after}});
        const ProcessResult r = run_process({HASHCHECK_BIN, "-file", path}, o);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Read error\nError make_gosthash_from_file failed.\nError.\n"
                         "ERROR: check_hash failed.\n");
    }
}

/* The injector is inert without FAULT_PATH, and only touches the file named. */
TEST_F(Faults, HashcheckUnaffectedFileHashesAsBefore)
{
    const std::string path = dir_ + "/big.bin";
    write_file(path, std::string(300000, 'q'));
    const ProcessResult clean = run_process({HASHCHECK_BIN, "-file", path});
    ProcessOptions o;
    add_faults(o, {{"FAULT_PATH", "other.bin"}, {"FAULT_READ_AFTER", "0"}});
    const ProcessResult r = run_process({HASHCHECK_BIN, "-file", path}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, clean.out);
    EXPECT_EQ(r.err, "");
}

const std::string kOldStore = "Windows Registry Editor Version 5.00\r\n\r\n"
                              "; kept byte for byte\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"x\"=dword:00000001\r\n";

std::string registry_failure(int code)
{
    return "Can't write RNG seed to registry. Key: SOFTWARE\\Quorvant\\Tessaly, ValueName: "
           "prng_start. Error:" +
           std::to_string(code) + "\n";
}

/* A full disk at every step of replacing the store, and a read-only one:
 * the store keeps its old bytes and no temporary file stays beside it. */
TEST_F(Faults, RegistryStoreOnAFullOrReadOnlyDisk)
{
    const std::string store_dir = dir_ + "/store";
    mkdir(store_dir.c_str(), 0755);
    const std::string store = store_dir + "/registry.reg";
    write_file(dir_ + "/seed.bin", std::string(40, '\x5a'));
    const struct {
        const char *variable;
        const char *error;
        int code;
    } cases[] = {
        {"FAULT_WRITE", "ENOSPC", 112}, {"FAULT_WRITE", "EDQUOT", 112},
        {"FAULT_FSYNC", "ENOSPC", 112}, {"FAULT_CLOSE", "ENOSPC", 112},
        {"FAULT_OPEN", "EROFS", 5},     {"FAULT_WRITE", "EROFS", 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.error);
        write_file(store, kOldStore);
        ProcessOptions o;
        o.cwd = dir_;
        o.set_env = {{"QUORVANT_REGISTRY", store}};
        add_faults(o, {{"FAULT_PATH", "registry.reg"}, {c.variable, c.error}});
        const ProcessResult r = run_process({SEEDREG_BIN}, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, registry_failure(c.code));
        EXPECT_EQ(read_file(store), kOldStore);
        std::set<std::string> left = folder_listing(store_dir);
        left.erase("registry.reg.lock");
        EXPECT_EQ(left, std::set<std::string>{"registry.reg"});
    }

    /* The same store takes the value once the disk is well again. */
    ProcessOptions o;
    o.cwd = dir_;
    o.set_env = {{"QUORVANT_REGISTRY", store}};
    const ProcessResult r = run_process({SEEDREG_BIN}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(store).compare(0, kOldStore.size(), kOldStore), 0);
}

/* The folder cannot be flushed once the new store is renamed into place: the
 * store holds the new value, so the run succeeds and says so as a warning. */
TEST_F(Faults, AFolderThatCannotBeFlushedIsAWarningNotAFailure)
{
    const std::string store_dir = dir_ + "/store";
    mkdir(store_dir.c_str(), 0755);
    const std::string store = store_dir + "/registry.reg";
    write_file(store, kOldStore);
    write_file(dir_ + "/seed.bin", std::string(40, '\x5a'));
    ProcessOptions o;
    o.cwd = dir_;
    o.set_env = {{"QUORVANT_REGISTRY", store}};
    add_faults(o, {{"FAULT_PATH", store_dir + "$"}, {"FAULT_FSYNC", "EIO"}});
    const ProcessResult r = run_process({SEEDREG_BIN}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "WARNING: " + store +
                         " holds the new value, but flushing its folder to disk failed: " +
                         strerror(EIO) + "\n");
    EXPECT_NE(read_file(store).find("\"prng_start\"=hex:5a,5a"), std::string::npos);
    EXPECT_EQ(folder_listing(store_dir),
              (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

} // namespace
