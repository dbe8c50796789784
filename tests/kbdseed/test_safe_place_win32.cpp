/* The safe place on Windows, after the walk (run under Wine): the temporary
 * file takes a name from the system's random source, the file is made and
 * renamed in the folder that the walk holds, not wherever its name leads
 * from the current folder, and its access list is protected. */
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <aclapi.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "file_access.h"
#include "safe_place.h"

namespace {

const char kSeed[40] = {1, 2, 3};

std::set<std::string> listing(const std::string &folder)
{
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
            names.insert(found.cFileName);
        }
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

/* What the write does while its content is written: the folder's names then,
 * the temporary file among them. */
struct Seen {
    std::string folder;
    std::set<std::string> names;
};

int produce(FILE *out, void *context)
{
    Seen *seen = static_cast<Seen *>(context);
    seen->names = listing(seen->folder);
    return fwrite(kSeed, 1, sizeof kSeed, out) == sizeof kSeed ? 0 : -EIO;
}

int grant(const safe_place_open *file, void *)
{
    return file_access_grant_everyone_open(file, ACCESS_GENERIC_READ | ACCESS_GENERIC_WRITE);
}

int write_seed(const char *path, Seen *seen)
{
    safe_place place;
    int status = safe_place_resolve(path, 0, &place, nullptr, 0);
    if (status != 0) return status;
    const safe_place_file file = {0600, true, produce, grant, seen};
    safe_place_result result;
    status = safe_place_write(&place, nullptr, 0, &file, &result, nullptr, 0);
    safe_place_release(&place);
    return status == 0 && !result.finished ? -EPERM : status;
}

class SafePlaceWin32 : public testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        dir_ = std::string(temp) + "safe_place_" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((dir_ + "\\sub").c_str(), nullptr));
        ASSERT_TRUE(GetCurrentDirectoryA(sizeof cwd_, cwd_));
        ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(cwd_);
        for (const std::string &folder : {dir_ + "\\sub", dir_}) {
            for (const std::string &name : listing(folder))
                DeleteFileA((folder + "\\" + name).c_str());
        }
        RemoveDirectoryA((dir_ + "\\sub").c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    std::string dir_;
    char cwd_[MAX_PATH];
};

/* Two writes in one process, in the same instant: the temporary names differ,
 * and a file planted at the name that this process and time would once have
 * given (kbdseed-<pid * 2654435761 ^ ticks>.tmp) is never touched. The file
 * lands in the folder walked, relative to the current one. */
TEST_F(SafePlaceWin32, TemporaryNamesAreDrawnAtRandom)
{
    const std::string sub = dir_ + "\\sub";
    char planted[64];
    snprintf(planted, sizeof planted, "kbdseed-%08lx.tmp",
             static_cast<unsigned long>(GetCurrentProcessId() * 2654435761u ^ GetTickCount()));
    HANDLE h = CreateFileA((sub + "\\" + planted).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    std::set<std::string> temps;
    for (int run = 0; run < 2; run++) {
        Seen seen;
        seen.folder = sub;
        ASSERT_EQ(write_seed("sub\\seed.bin", &seen), 0);
        for (const std::string &name : seen.names) {
            if (name == planted || name == "seed.bin") continue;
            EXPECT_TRUE(safe_place_is_temp_name(name.c_str(), "seed.bin")) << name;
            temps.insert(name);
        }
    }
    EXPECT_EQ(temps.size(), 2u);
    EXPECT_EQ(listing(sub), (std::set<std::string>{planted, "seed.bin"}));
    EXPECT_EQ(listing(dir_), std::set<std::string>{"sub"});
}

/* The list is marked protected: nothing that the folder hands down joins it. */
TEST_F(SafePlaceWin32, TheWrittenListIsProtected)
{
    Seen seen;
    seen.folder = dir_;
    ASSERT_EQ(write_seed("seed.bin", &seen), 0);
    HANDLE file = CreateFileA("seed.bin", READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(file);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    EXPECT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    LocalFree(sd);
    /* Wine keeps no list of a file's own: it turns the list set into the
     * file's mode and rebuilds one from that mode, never protected, so there
     * only the write's success (finish returned 0) shows that the system
     * took the protected list. */
    if ((control & SE_DACL_PROTECTED) == 0 &&
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine reads back no protected flag (control " << control << ")";
    }
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "control " << control;
}

} // namespace
