/* A GoogleTest program on test_main_win32 whose first case fails and whose
 * second is skipped; tests/check_test_main.cmake runs it under Wine. */
#include <gtest/gtest.h>

TEST(Reporting, AFailure)
{
    ADD_FAILURE() << "the failure's own words";
}

TEST(Reporting, ASkip)
{
    GTEST_SKIP() << "the skip's own words";
}

TEST(Reporting, ACaseAfterBoth)
{
    SUCCEED();
}
