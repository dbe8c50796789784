/* main() of the GoogleTest programs of a Windows build: GoogleTest's own
 * printer, except for failures and skips, which are printed here in its
 * words. GoogleTest would also hand each of those messages to
 * OutputDebugStringA, which raises an exception for a debugger to catch, and
 * its first such message starts a thread that watches the main one. 32-bit
 * Wine under qemu-i386 crashes on an exception raised while a second thread
 * lives, so the first skip or failure would end the whole program there.
 *
 * That thread also made the program crash now and then as it ended: ending
 * the process stops the threads that still live, and qemu-i386 sometimes
 * fails a 32-bit thread that is stopped. So the cases run on a thread of
 * their own, which GoogleTest's thread watches, and the program ends only
 * once that watcher has seen it end and has ended too. */
#include <stdio.h>
#include <windows.h>
#include <tlhelp32.h>

#include <memory>

#include <gtest/gtest.h>

namespace {

using testing::TestEventListener;

struct PlainPartResults : TestEventListener {
    explicit PlainPartResults(TestEventListener *printer) : printer_(printer) {}

    void OnTestPartResult(const testing::TestPartResult &result) override
    {
        if (result.type() == testing::TestPartResult::kSuccess) return;
        const char *what = result.skipped() ? "Skipped" : "Failure";
        if (result.file_name() == nullptr)
            printf("unknown file: %s\n%s\n", what, result.message());
        else if (result.line_number() < 0)
            printf("%s: %s\n%s\n", result.file_name(), what, result.message());
        else
            printf("%s:%d: %s\n%s\n", result.file_name(), result.line_number(), what,
                   result.message());
        fflush(stdout);
    }

    void OnTestProgramStart(const testing::UnitTest &u) override
    {
        printer_->OnTestProgramStart(u);
    }
    void OnTestIterationStart(const testing::UnitTest &u, int i) override
    {
        printer_->OnTestIterationStart(u, i);
    }
    void OnEnvironmentsSetUpStart(const testing::UnitTest &u) override
    {
        printer_->OnEnvironmentsSetUpStart(u);
    }
    void OnEnvironmentsSetUpEnd(const testing::UnitTest &u) override
    {
        printer_->OnEnvironmentsSetUpEnd(u);
    }
    void OnTestSuiteStart(const testing::TestSuite &s) override { printer_->OnTestSuiteStart(s); }
    void OnTestCaseStart(const testing::TestCase &s) override { printer_->OnTestCaseStart(s); }
    void OnTestStart(const testing::TestInfo &t) override { printer_->OnTestStart(t); }
    void OnTestDisabled(const testing::TestInfo &t) override { printer_->OnTestDisabled(t); }
    void OnTestEnd(const testing::TestInfo &t) override { printer_->OnTestEnd(t); }
    void OnTestSuiteEnd(const testing::TestSuite &s) override { printer_->OnTestSuiteEnd(s); }
    void OnTestCaseEnd(const testing::TestCase &s) override { printer_->OnTestCaseEnd(s); }
    void OnEnvironmentsTearDownStart(const testing::UnitTest &u) override
    {
        printer_->OnEnvironmentsTearDownStart(u);
    }
    void OnEnvironmentsTearDownEnd(const testing::UnitTest &u) override
    {
        printer_->OnEnvironmentsTearDownEnd(u);
    }
    void OnTestIterationEnd(const testing::UnitTest &u, int i) override
    {
        printer_->OnTestIterationEnd(u, i);
    }
    void OnTestProgramEnd(const testing::UnitTest &u) override { printer_->OnTestProgramEnd(u); }

private:
    std::unique_ptr<TestEventListener> printer_;
};

/* Whether this process has a thread besides the caller. */
bool others_live(void)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Thread32First(snapshot, &entry); more && !found;
         more = Thread32Next(snapshot, &entry)) {
        found = entry.th32OwnerProcessID == GetCurrentProcessId() &&
                entry.th32ThreadID != GetCurrentThreadId();
    }
    CloseHandle(snapshot);
    return found;
}

DWORD WINAPI run_cases(void *)
{
    return static_cast<DWORD>(RUN_ALL_TESTS());
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
    TestEventListener *printer = listeners.default_result_printer();
    if (printer != nullptr) {
        listeners.Release(printer);
        listeners.Append(new PlainPartResults(printer));
    }
    const HANDLE cases = CreateThread(nullptr, 0, run_cases, nullptr, 0, nullptr);
    if (cases == nullptr) return RUN_ALL_TESTS();
    DWORD status = 1;
    if (WaitForSingleObject(cases, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeThread(cases, &status))
        status = 1;
    CloseHandle(cases);
    /* The watcher ends as soon as it has seen the cases' thread end; ten
     * seconds is far more than that takes. */
    for (int waited = 0; waited < 10000 && others_live(); waited++) Sleep(1);
    return static_cast<int>(status);
}
