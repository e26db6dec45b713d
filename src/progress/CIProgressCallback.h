#pragma once

// Progress of long work, implemented by the caller. A false answer asks the work to stop; the
// work then returns at its next step, keeping what it has done.
class CIProgressCallback
{
public:
    virtual void initRange(int range) = 0;
    virtual int range() = 0;
    virtual bool progress(double step) = 0;
    virtual bool finish() = 0;
};
