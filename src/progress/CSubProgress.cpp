#include "CSubProgress.h"

CSubProgress::CSubProgress(CIProgressCallback* parent, int span)
    : m_pParent(parent), m_range(100), m_span(span), m_done(0.0)
{
}

void CSubProgress::initRange(int range)
{
    m_done = 0.0;
    m_range = range == 0 ? 1 : range;
}

int CSubProgress::range()
{
    return m_range;
}

bool CSubProgress::progress(double step)
{
    const double remaining = double(m_range) - m_done;
    // A sub-task never reports past its range; negative steps pass unchanged.
    const double taken = step < remaining ? step : remaining;
    if (!m_pParent) {
        m_done += taken;
        return true;
    }
    const bool goOn = m_pParent->progress(taken / double(m_range) * double(m_span));
    m_done += taken;
    return goOn;
}

bool CSubProgress::finish()
{
    return progress(double(m_range) - m_done);
}
