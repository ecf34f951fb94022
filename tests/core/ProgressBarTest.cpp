#include <gtest/gtest.h>

#include "preprocess/ProgressBar.h"

namespace Velmora {
namespace {

TEST(ProgressBar, PercentRoundsHalfToEven)
{
    EXPECT_EQ(TProgressBarModel::PercentOf(1, 200), 0);   // 0.5 -> 0
    EXPECT_EQ(TProgressBarModel::PercentOf(3, 200), 2);   // 1.5 -> 2
    EXPECT_EQ(TProgressBarModel::PercentOf(5, 200), 2);   // 2.5 -> 2
    EXPECT_EQ(TProgressBarModel::PercentOf(7, 200), 4);   // 3.5 -> 4
    EXPECT_EQ(TProgressBarModel::PercentOf(1, 3), 33);
    EXPECT_EQ(TProgressBarModel::PercentOf(2, 3), 67);
    EXPECT_EQ(TProgressBarModel::PercentOf(1025, 1025), 100);
}

TEST(ProgressBar, SixtyFourBitSizesRunFromZeroToHundred)
{
    const std::int64_t size = 5LL * 1024 * 1024 * 1024;  // 5 GiB
    EXPECT_EQ(TProgressBarModel::PercentOf(size / 2, size), 50);
    EXPECT_EQ(TProgressBarModel::PercentOf(size, size), 100);
    const std::int64_t huge = INT64_MAX - 7;
    EXPECT_EQ(TProgressBarModel::PercentOf(huge, huge), 100);
    EXPECT_EQ(TProgressBarModel::PercentOf(huge / 4, huge), 25);
}

TEST(ProgressBar, RulesForTotalCompleteAndDirectPercent)
{
    TProgressBarModel bar;
    int repaints = 0;
    bar.OnPercentChange = [&] { ++repaints; };

    bar.SetPartsComplete(10);  // total 0: nothing moves
    EXPECT_EQ(bar.Percent(), 0);
    EXPECT_EQ(bar.PartsComplete(), 0);

    bar.SetTotalParts(200);
    bar.SetPartsComplete(90);
    EXPECT_EQ(bar.Percent(), 45);
    bar.SetPartsComplete(500);  // cut to total
    EXPECT_EQ(bar.PartsComplete(), 200);
    EXPECT_EQ(bar.Percent(), 100);

    bar.SetTotalParts(200);  // same total: no reset
    EXPECT_EQ(bar.Percent(), 100);
    bar.SetTotalParts(400);  // new total resets
    EXPECT_EQ(bar.PartsComplete(), 0);
    EXPECT_EQ(bar.Percent(), 0);

    bar.SetPartsComplete(4);
    bar.SetPercent(100);
    EXPECT_EQ(bar.Percent(), 100);
    EXPECT_EQ(bar.PartsComplete(), 4);
    EXPECT_EQ(repaints, 5);  // 45, 100, 0, 1, 100: one repaint per change, none when unchanged
}

}  // namespace
}  // namespace Velmora
