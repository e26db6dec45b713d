#pragma once

#include <QString>

#include "TestSupport.h"

#include <functional>
#include <vector>

#include "CIProgressCallback.h"

namespace collectionstest {

// Records every report; answers with `answer(callNumber)` (1-based), true when unset.
class ProgressRecorder : public CIProgressCallback
{
public:
    explicit ProgressRecorder(int range = 100) : m_range(range) {}
    void initRange(int range) override
    {
        m_range = range;
        ++inits;
    }
    int range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        total += step;
        return answer ? answer(int(steps.size())) : true;
    }
    bool finish() override
    {
        ++finishes;
        return finishAnswer;
    }

    std::function<bool(int call)> answer;
    bool finishAnswer = true;
    std::vector<double> steps;
    double total = 0.0;
    int inits = 0;
    int finishes = 0;

private:
    int m_range;
};

} // namespace collectionstest
