#include <gtest/gtest.h>

#include <vector>

#include "CSubProgress.h"
#include "TestSupport.h"

using testsupport::ProgressRecorder;

// A share of 625 for a range of 100: each step is scaled by 6.25 and never passes the share.
TEST(SubProgress, MapsAndClampsIntoTheShare)
{
    ProgressRecorder parent;
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(sub.progress(30));
    EXPECT_TRUE(sub.finish());
    EXPECT_EQ(parent.steps, (std::vector<double>{187.5, 187.5, 187.5, 62.5, 0.0}));
}

TEST(SubProgress, FinishSendsWhatIsLeftAndReuseCoversAnotherShare)
{
    ProgressRecorder parent;
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    sub.progress(25);
    sub.finish();
    EXPECT_EQ(parent.steps, (std::vector<double>{156.25, 468.75}));
    sub.initRange(0); // a zero range becomes 1, never a division by zero
    EXPECT_EQ(sub.range(), 1);
    sub.finish();
    sub.progress(5); // after finish nothing more reaches the parent
    EXPECT_DOUBLE_EQ(parent.total, 1250.0);
}

TEST(SubProgress, NullParentAlwaysGoesOnAndCancellationPropagates)
{
    CSubProgress alone(nullptr, 10);
    alone.initRange(3);
    EXPECT_TRUE(alone.progress(1));
    EXPECT_TRUE(alone.finish());

    ProgressRecorder parent;
    parent.answer = [](int) { return false; };
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    EXPECT_FALSE(sub.progress(1));
    EXPECT_FALSE(sub.finish());
    CSubProgress copy(sub); // a copy reports to the same parent
    copy.initRange(10);
    copy.finish();
    EXPECT_DOUBLE_EQ(parent.total, 1250.0);
}
