/* The POSIX registry store through registry.h: where it lies, how it is
 * replaced, what it refuses, and the codes it returns. */
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "file_update.h"
#include "registry.h"
#include "registry_store.h"
#include "run_process.h"
#include "safe_place.h"
#include "safe_place_posix.h"

namespace {

const char kKey[] = "SOFTWARE\\Quorvant\\Tessaly";

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_trusted_temp_dir("registry_store");
        store_ = dir_ + "/registry.reg";
        setenv("QUORVANT_REGISTRY", store_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QUORVANT_REGISTRY");
        remove_tree(dir_);
    }

    static int set(const char *name, uint32_t type, const std::vector<uint8_t> &data,
                   const char *key = kKey)
    {
        return registry_set_value(REGISTRY_LOCAL_MACHINE, key, name, type, data.data(),
                                  static_cast<uint32_t>(data.size()));
    }

    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (const struct dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string store_;
};

TEST_F(RegistryStore, WhatIsSetIsReadBack)
{
    const std::vector<uint8_t> seed = {1, 2, 3, 0, 255};
    ASSERT_EQ(set("prng_start", REGISTRY_BINARY, seed), 0);

    uint32_t type = 0, size = 0;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "prng_start", &type, nullptr, &size),
              0);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(size, 5u);
    uint8_t small[4];
    size = sizeof small;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "prng_start", nullptr, small, &size),
              REGISTRY_MORE_DATA);
    EXPECT_EQ(size, 5u);
    uint8_t got[8] = {0};
    size = sizeof got;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "PRNG_Start", &type, got, &size), 0);
    EXPECT_EQ(std::vector<uint8_t>(got, got + size), seed);

    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "other", &type, got, &size),
              REGISTRY_FILE_NOT_FOUND);
    EXPECT_EQ(
        registry_get_value(REGISTRY_LOCAL_MACHINE, "SOFTWARE", "prng_start", &type, got, &size),
        REGISTRY_FILE_NOT_FOUND);

    /* The default value, and a value of the root key itself. */
    ASSERT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, kKey, nullptr, REGISTRY_SZ, "d", 2), 0);
    ASSERT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, "", "top", REGISTRY_BINARY, nullptr, 0),
              0);
    size = sizeof got;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "", &type, got, &size), 0);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, nullptr, "top", &type, nullptr, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(read_file(store_), "Windows Registry Editor Version 5.00\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n"
                                 "\"prng_start\"=hex:01,02,03,00,ff\n"
                                 "@=\"d\"\n"
                                 "\n"
                                 "[HKEY_LOCAL_MACHINE]\n"
                                 "\"top\"=hex:\n"
                                 "\n");
}

TEST_F(RegistryStore, ANewStoreIsReadableByAllAndLeavesOnlyItsLockBeside)
{
    uint32_t size = 0;
    EXPECT_EQ(
        registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "prng_start", nullptr, nullptr, &size),
        REGISTRY_FILE_NOT_FOUND);
    const mode_t old_mask = umask(077);
    const int status = set("v", REGISTRY_DWORD, {1, 0, 0, 0});
    umask(old_mask);
    ASSERT_EQ(status, 0);
    struct stat st;
    ASSERT_EQ(stat(store_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    /* The lock is open to those who may write the store, and to no one else. */
    ASSERT_EQ(stat((store_ + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(listing(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));

    /* A replaced store keeps its mode; the lock's mode is given only when
     * it is made, never through a lock that is already there. */
    chmod(store_.c_str(), 0664);
    ASSERT_EQ(set("v", REGISTRY_DWORD, {2, 0, 0, 0}), 0);
    ASSERT_EQ(stat(store_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    ASSERT_EQ(stat((store_ + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    unlink((store_ + ".lock").c_str());
    ASSERT_EQ(set("v", REGISTRY_DWORD, {3, 0, 0, 0}), 0);
    ASSERT_EQ(stat((store_ + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(listing(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryStore, AStoreBehindALinkIsUpdatedWhereItLies)
{
    mkdir((dir_ + "/real").c_str(), 0755);
    write_file(dir_ + "/real/store.reg", "");
    ASSERT_EQ(symlink("real/store.reg", store_.c_str()), 0);
    ASSERT_EQ(set("v", REGISTRY_BINARY, {0xab}), 0);
    struct stat st;
    ASSERT_EQ(lstat(store_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(dir_ + "/real/store.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n"
              "\"v\"=hex:ab\n\n");
    EXPECT_TRUE(file_exists(dir_ + "/real/store.reg.lock"));
    EXPECT_FALSE(file_exists(store_ + ".lock"));
}

TEST_F(RegistryStore, AnEmptyFileIsAStoreWithoutKeys)
{
    write_file(store_, "");
    ASSERT_EQ(set("v", REGISTRY_BINARY, {0xab}), 0);
    EXPECT_EQ(read_file(store_), "Windows Registry Editor Version 5.00\n\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvant\\Tessaly]\n"
                                 "\"v\"=hex:ab\n\n");
}

TEST_F(RegistryStore, AnUnparseableStoreIsNeverTouched)
{
    const std::string texts[] = {
        "garbage\n",
        "Windows Registry Editor Version 5.00\n\n[K]\n\"v\"=hex:zz\n",
        std::string("\xFF\xFEW\0i\0n\0", 8),
        std::string("\xFF\xFEW", 3),
    };
    for (const std::string &text : texts) {
        write_file(store_, text);
        struct stat before, after;
        ASSERT_EQ(stat(store_.c_str(), &before), 0);
        EXPECT_EQ(set("prng_start", REGISTRY_BINARY, {1}), REGISTRY_BADDB);
        uint32_t size = 0;
        EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "v", nullptr, nullptr, &size),
                  REGISTRY_BADDB);
        ASSERT_EQ(stat(store_.c_str(), &after), 0);
        EXPECT_EQ(read_file(store_), text);
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(listing(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
    }
}

TEST_F(RegistryStore, LocationsThatCannotBeWritten)
{
    uint32_t size = 0;
    write_file(dir_ + "/plain", "x");
    setenv("QUORVANT_REGISTRY", (dir_ + "/plain/registry.reg").c_str(), 1);
    EXPECT_EQ(set("v", REGISTRY_BINARY, {1}), REGISTRY_PATH_NOT_FOUND);
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "v", nullptr, nullptr, &size),
              REGISTRY_PATH_NOT_FOUND);

    /* Only the default location's folder is made. */
    setenv("QUORVANT_REGISTRY", (dir_ + "/missing/registry.reg").c_str(), 1);
    EXPECT_EQ(set("v", REGISTRY_BINARY, {1}), REGISTRY_PATH_NOT_FOUND);
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "v", nullptr, nullptr, &size),
              REGISTRY_FILE_NOT_FOUND);
    EXPECT_FALSE(file_exists(dir_ + "/missing"));

    mkdir((dir_ + "/folder.reg").c_str(), 0755);
    setenv("QUORVANT_REGISTRY", (dir_ + "/folder.reg").c_str(), 1);
    EXPECT_EQ(set("v", REGISTRY_BINARY, {1}), REGISTRY_ACCESS_DENIED);

    /* Not a file: refused at once, not waited for. */
    ASSERT_EQ(mkfifo((dir_ + "/fifo.reg").c_str(), 0644), 0);
    setenv("QUORVANT_REGISTRY", (dir_ + "/fifo.reg").c_str(), 1);
    EXPECT_EQ(set("v", REGISTRY_BINARY, {1}), REGISTRY_ACCESS_DENIED);
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "v", nullptr, nullptr, &size),
              REGISTRY_ACCESS_DENIED);

    setenv("QUORVANT_REGISTRY", (dir_ + "/" + std::string(300, 'n')).c_str(), 1);
    EXPECT_EQ(set("v", REGISTRY_BINARY, {1}), REGISTRY_FILENAME_EXCED_RANGE);
}

TEST_F(RegistryStore, ArgumentsTheStoreRefuses)
{
    const uint8_t byte = 1;
    uint32_t size = 1;
    EXPECT_EQ(registry_set_value(static_cast<registry_root>(0), kKey, "v", 3, &byte, 1),
              REGISTRY_INVALID_HANDLE);
    EXPECT_EQ(registry_get_value(static_cast<registry_root>(0), kKey, "v", nullptr, nullptr, &size),
              REGISTRY_INVALID_HANDLE);
    EXPECT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, kKey, "v", 3, nullptr, 1),
              REGISTRY_INVALID_PARAMETER);
    EXPECT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, "A\\\\B", "v", 3, &byte, 1),
              REGISTRY_INVALID_PARAMETER);
    EXPECT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, "\\A", "v", 3, &byte, 1),
              REGISTRY_INVALID_PARAMETER);
    EXPECT_EQ(registry_set_value(REGISTRY_LOCAL_MACHINE, kKey, "a\nb", 3, &byte, 1),
              REGISTRY_INVALID_PARAMETER);
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "v", nullptr, nullptr, nullptr),
              REGISTRY_INVALID_PARAMETER);
    EXPECT_FALSE(file_exists(store_));
}

TEST_F(RegistryStore, AWriterWaitsForTheLock)
{
    int lock = -1;
    safe_place place;
    ASSERT_EQ(safe_place_resolve(store_.c_str(), 0, &place, nullptr, 0), 0);
    char why[64];
    ASSERT_EQ(
        file_lock(place.system->dir, place.name, place.shown, nullptr, &lock, why, sizeof why), 0);
    safe_place_release(&place);
    ProcessOptions options;
    options.set_env.push_back({"QUORVANT_REGISTRY", store_});
    RunningProcess writer = start_process({REGISTRY_WRITER_BIN, kKey, "w", "1"}, options);
    usleep(300 * 1000);
    EXPECT_FALSE(process_has_ended(writer));
    EXPECT_FALSE(file_exists(store_));
    file_unlock(lock);
    const ProcessResult r = finish_process(&writer);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    char text[8];
    uint32_t size = sizeof text;
    EXPECT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, kKey, "w_0", nullptr, text, &size), 0);
    EXPECT_EQ(std::string(text, size), std::string("w 0") + '\0');
}

TEST(RegistryStoreLocation, TheVariableOrTheMachineWideDefault)
{
    bool is_default = false;
    unsetenv("QUORVANT_REGISTRY");
    EXPECT_EQ(registry_store_path(&is_default), "/var/lib/quorvant/registry.reg");
    EXPECT_TRUE(is_default);
    setenv("QUORVANT_REGISTRY", "", 1);
    EXPECT_EQ(registry_store_path(&is_default), "/var/lib/quorvant/registry.reg");
    EXPECT_TRUE(is_default);
    setenv("QUORVANT_REGISTRY", "here.reg", 1);
    EXPECT_EQ(registry_store_path(&is_default), "here.reg");
    EXPECT_FALSE(is_default);
    unsetenv("QUORVANT_REGISTRY");

    /* Missing folders of the default path are made 0755 whatever the umask. */
    const std::string dir = make_temp_dir("registry_dirs");
    const mode_t old_mask = umask(0);
    safe_place place;
    const std::string store = dir + "/a/b/c/registry.reg";
    EXPECT_EQ(safe_place_resolve(store.c_str(), SAFE_PLACE_MAKE_FOLDERS, &place, nullptr, 0), 0);
    umask(old_mask);
    safe_place_release(&place);
    struct stat st;
    for (const char *level : {"/a", "/a/b", "/a/b/c"}) {
        ASSERT_EQ(stat((dir + level).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << level;
    }
    EXPECT_FALSE(file_exists(store));
    write_file(dir + "/f", "");
    EXPECT_EQ(safe_place_resolve((dir + "/f/d/registry.reg").c_str(), SAFE_PLACE_MAKE_FOLDERS,
                                 &place, nullptr, 0),
              -ENOTDIR);
    remove_tree(dir);
}

TEST(RegistryStatus, SystemErrorsReadAsWindowsCodes)
{
    const struct {
        int err;
        int code;
    } cases[] = {
        {0, 0},        {ENOENT, 3},   {ENOTDIR, 3}, {EMFILE, 4},    {ENFILE, 4},
        {EACCES, 5},   {EPERM, 5},    {EROFS, 5},   {EISDIR, 5},    {ENOMEM, 8},
        {ENOSPC, 112}, {EDQUOT, 112}, {EBUSY, 170}, {ETXTBSY, 170}, {ENAMETOOLONG, 206},
        {EFBIG, 223},  {ELOOP, 1921}, {EIO, 1016},  {EXDEV, 1016},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(registry_status_from_errno(c.err), c.code) << "errno " << c.err;
    }
}

} // namespace
