#pragma once

#include "CIProgressCallback.h"
#include "ibreader_export.h"

// Gives a sub-task a range of its own and maps its reports onto a fixed share (`span`) of the
// parent's range. Over one run the parent receives exactly `span` units, never more.
class IBREADER_EXPORT CSubProgress : public CIProgressCallback
{
public:
    CSubProgress(CIProgressCallback* parent, int span);
    CSubProgress(const CSubProgress& other) = default;
    CSubProgress& operator=(const CSubProgress& other) = default;
    ~CSubProgress() {}

    void initRange(int range) override;
    int range() override;
    bool progress(double step) override;
    bool finish() override;

private:
    CIProgressCallback* m_pParent; // not owned
    int m_range;
    int m_span;
    double m_done;
};
