#include "CDeletedRecovery.h"

#include "AttributedBody.h"

#include <QFileInfo>

#include <algorithm>

#include "CIProgressCallback.h"
#include "RecoveryConverters.h"
#include "kddata/KdData.h"
#include "utility/Log.h"

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

// What the scans could not read, and the databases whose trees they found damaged, unless a
// category already named that damage (SQLite met it there).
void reportProblems(const SqliteRecovery& recovery, QStringList* skipped)
{
    if (!skipped)
        return;
    *skipped << recovery.problems();
    for (const auto& [name, fault] : recovery.damagedFiles()) {
        const QString named = QStringLiteral(": %1 is damaged").arg(name);
        if (std::any_of(skipped->begin(), skipped->end(), [&](const QString& line) { return line.contains(named); }))
            continue;
        Log("DeletedRecovery", 0, "%s is damaged: %s", name.toUtf8().constData(), fault.toUtf8().constData());
        *skipped << QStringLiteral("deleted records: %1 is damaged (%2): live items it holds may be missing or listed "
                                   "twice; recover-db reads every page of it")
                        .arg(name, fault);
    }
}

} // namespace

QList<int> CDeletedRecovery::typesForCategories(const QList<int>& categories)
{
    static const struct {
        int category;
        int type;
    } kTypes[] = {
        {KdData::Contacts, 0}, {KdData::Messages, 1},  {KdData::CallHistory, 2},     {KdData::Calendar, 3},
        {KdData::Reminders, 3}, {KdData::Notes, 4},    {KdData::SafariBookmarks, 5},
    };
    QList<int> types;
    for (const auto& t : kTypes)
        if (categories.contains(t.category) && !types.contains(t.type))
            types << t.type;
    // Deleted messages and calls are named after contacts, deleted ones included.
    if ((types.contains(1) || types.contains(2)) && !types.contains(0))
        types << 0;
    std::sort(types.begin(), types.end());
    return types;
}

// The scan read the schema from the pages as the -wal has them: a layout only the -wal holds yet
// is seen without opening the database again.
CDeletedRecovery::MessageLayout messageLayoutOf(const QStringList& tables)
{
    const auto has = [&](const char* name) { return tables.contains(QLatin1String(name), Qt::CaseInsensitive); };
    if (has("chat_message_join") || has("handle"))
        return CDeletedRecovery::MessageLayout::Chat;
    if (has("message"))
        return CDeletedRecovery::MessageLayout::Group;
    return CDeletedRecovery::MessageLayout::Unknown;
}

bool CDeletedRecovery::recover(const QStringList& files, KdBackup* backup, CIProgressCallback* progress,
                               QStringList* skipped)
{
    SqliteRecovery recovery;
    recovery.setBodyDecoder([](const QByteArray& body) { return textFromAttributedBody(body); });
    const auto wanted = [this](int type) { return m_types.isEmpty() || m_types.contains(type); };
    double sizes[sizeof(kSteps) / sizeof(kSteps[0])];
    double total = 1.0; // never zero, so shares need no special case
    int i = 0;
    for (const RecoveryStep& step : kSteps) {
        const QString file = wanted(step.type) ? recovery.dbFileForType(step.type, files) : QString();
        sizes[i] = file.isEmpty() ? 0.0 : double(QFileInfo(file).size());
        total += sizes[i];
        ++i;
    }
    i = 0;
    for (const RecoveryStep& step : kSteps) {
        if (!wanted(step.type)) {
            ++i;
            continue;
        }
        const double range = progress ? double(progress->range()) : 0.0;
        ProgressWrapper wrapper(progress, range * sizes[i] / total);
        const QString file = recovery.dbFileForType(step.type, files);
        if (!file.isEmpty())
            Log("DeletedRecovery", 1, "Searching deleted records of type %d in %s", step.type, file.toUtf8().constData());
        const int found = recovery.scanRecoveryForType(step.type, files, &wrapper);
        if (step.type == 1)
            m_messageLayout = found >= 0 ? messageLayoutOf(recovery.tables()) : MessageLayout::Unknown;
        step.convert(backup, &recovery, this);
        if (!wrapper.finish()) {
            reportProblems(recovery, skipped);
            return false;
        }
        ++i;
    }
    reportProblems(recovery, skipped);
    return true;
}
