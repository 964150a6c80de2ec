// A test program that fails, crashes or passes, one case a CTest test: the
// rule of gtest-run.sh must fail the first two.
#include <gtest/gtest.h>

#include <cstdint>

TEST(Rule, Fails) { EXPECT_EQ(1 + 1, 3); }
TEST(Rule, Crashes)
{
    // Where .back() of an empty list of ints reads.
    int *volatile wild = reinterpret_cast<int *>(~uintptr_t{0} - 3);
    EXPECT_EQ(*wild, 0);
}
TEST(Rule, Passes) { EXPECT_EQ(1 + 1, 2); }
