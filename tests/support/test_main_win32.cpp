/* main() of the GoogleTest programs of a Windows build: GoogleTest's own
 * printer, except for failures and skips, which are printed here in its
 * words. GoogleTest would also hand each of those messages to
 * OutputDebugStringA, which raises an exception for a debugger to catch, and
 * its first such message starts a thread that watches the main one. 32-bit
 * Wine under qemu-i386 crashes on an exception raised while a second thread
 * lives, so the first skip or failure would end the whole program there. */
#include <stdio.h>

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
    return RUN_ALL_TESTS();
}
