// GoogleTest entry point that also prints a plain "N passed, N failed" line,
// which CI reads as the suite's summary.
#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    const auto* unit = ::testing::UnitTest::GetInstance();
    std::printf("cpp: %d passed, %d failed, %d skipped\n", unit->successful_test_count(),
                unit->failed_test_count(), unit->skipped_test_count());
    return rc;
}
