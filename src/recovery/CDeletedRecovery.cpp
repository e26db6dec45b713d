#include "CDeletedRecovery.h"

#include <QFileInfo>

#include "CIProgressCallback.h"
#include "RecoveryConverters.h"

double ProgressWrapper::range()
{
    return m_range;
}

bool ProgressWrapper::progress(double step)
{
    const double rest = m_range - m_done;
    const double amount = rest <= step ? rest : step;
    const bool goOn = m_pTarget ? m_pTarget->progress(amount) : true;
    m_done += amount;
    return goOn;
}

bool ProgressWrapper::finish()
{
    return progress(m_range - m_done);
}

CDeletedRecovery::CDeletedRecovery() = default;
CDeletedRecovery::~CDeletedRecovery() = default;

namespace {

struct RecoveryStep {
    int type;
    RecoveryConverter convert;
};

// Contacts first: the call and message converters name people through the contact index.
const RecoveryStep kSteps[] = {
    {0, &convertContacts},
    {1, &convertMessages},
    {2, &convertCalls},
    {3, &convertCalendarAndReminders},
    {4, &convertNotes},
    {5, &convertBookmarks},
};

} // namespace

bool CDeletedRecovery::recover(const QStringList& files, KdBackup* backup, CIProgressCallback* progress,
                               QStringList* skipped)
{
    SqliteRecovery recovery;
    double sizes[sizeof(kSteps) / sizeof(kSteps[0])];
    double total = 1.0; // never zero, so shares need no special case
    int i = 0;
    for (const RecoveryStep& step : kSteps) {
        const QString file = recovery.dbFileForType(step.type, files);
        sizes[i] = file.isEmpty() ? 0.0 : double(QFileInfo(file).size());
        total += sizes[i];
        ++i;
    }
    i = 0;
    for (const RecoveryStep& step : kSteps) {
        const double range = progress ? double(progress->range()) : 0.0;
        ProgressWrapper wrapper(progress, range * sizes[i] / total);
        recovery.scanRecoveryForType(step.type, files, &wrapper);
        step.convert(backup, &recovery, this);
        if (!wrapper.finish()) {
            if (skipped)
                *skipped << recovery.problems();
            return false;
        }
        ++i;
    }
    if (skipped)
        *skipped << recovery.problems();
    return true;
}
