#include <gtest/gtest.h>

#include <vector>

#include "CSubProgress.h"

namespace {

class Recorder : public CIProgressCallback
{
public:
    void initRange(int r) override { m_range = r; }
    int range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        return answers.empty() ? true : answers[std::min(steps.size() - 1, answers.size() - 1)];
    }
    bool finish() override { return true; }
    double total() const
    {
        double t = 0;
        for (double s : steps)
            t += s;
        return t;
    }
    std::vector<double> steps;
    std::vector<bool> answers;
    int m_range = 0;
};

} // namespace

TEST(SubProgress, MapsAndClampsIntoTheShare)
{
    Recorder parent;
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(sub.progress(30));
    EXPECT_TRUE(sub.finish());
    EXPECT_EQ(parent.steps, (std::vector<double>{187.5, 187.5, 187.5, 62.5, 0.0}));
}

TEST(SubProgress, FinishSendsWhatIsLeftAndReuseCoversAnotherShare)
{
    Recorder parent;
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    sub.progress(25);
    EXPECT_DOUBLE_EQ(parent.total(), 156.25);
    sub.finish();
    EXPECT_DOUBLE_EQ(parent.total(), 625.0);
    sub.initRange(0); // a zero range becomes 1, never a division by zero
    EXPECT_EQ(sub.range(), 1);
    sub.finish();
    EXPECT_DOUBLE_EQ(parent.total(), 1250.0);
    sub.progress(5); // after finish: nothing more reaches the parent
    EXPECT_DOUBLE_EQ(parent.total(), 1250.0);
}

TEST(SubProgress, NullParentAlwaysGoesOnAndCancellationPropagates)
{
    CSubProgress alone(nullptr, 10);
    alone.initRange(3);
    EXPECT_TRUE(alone.progress(1));
    EXPECT_TRUE(alone.finish());

    Recorder parent;
    parent.answers = {false};
    CSubProgress sub(&parent, 625);
    sub.initRange(100);
    EXPECT_FALSE(sub.progress(1));
    EXPECT_FALSE(sub.finish());

    CSubProgress copy(sub); // a copy reports to the same parent
    parent.steps.clear();
    copy.initRange(10);
    copy.finish();
    EXPECT_DOUBLE_EQ(parent.total(), 625.0);
}
