#include "CReminderCollection.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <climits>

#include <sqlite3.h>

#include "CCalendarCollection.h"
#include "CManifestRecord.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("iTunesBackup", text);
}

// sqlite3_column_int keeps the low 32 bits of a larger value: 2^32 + 1 would read as 1.
int clampedInt(sqlite3_stmt* stmt, int column)
{
    return int(std::clamp<sqlite3_int64>(sqlite3_column_int64(stmt, column), INT_MIN, INT_MAX));
}

// Hands the run's items over in list-title order, keeping the order within a list.
void appendByList(QList<KdReminderItem*>& items, KdData* target)
{
    std::stable_sort(items.begin(), items.end(),
                     [](const KdReminderItem* a, const KdReminderItem* b) { return a->value(1) < b->value(1); });
    for (KdReminderItem* item : std::as_const(items)) {
        if (target)
            target->append(item);
        else
            delete item;
    }
    items.clear();
}

} // namespace

CLocationQuery::CLocationQuery()
{
    m_optional = true; // reminders without their alarms' places
    m_sqls << QStringLiteral("select alarm.owner_id, title from alarm left join location on alarm.rowid = "
                             "location.alarm_owner_id");
    // From iOS 9 on an alarm names its reminder in calendaritem_owner_id.
    m_sqls << QStringLiteral("select alarm.calendaritem_owner_id, title from alarm left join location on alarm.rowid = "
                             "location.alarm_owner_id");
    m_countSqls << QStringLiteral("select count(*) from alarm left join location on alarm.rowid = "
                                  "location.alarm_owner_id");
}

bool CLocationQuery::handleRow(sqlite3_stmt* stmt)
{
    m_locations.insert(sqlite3_column_int64(stmt, 0), columnText(stmt, 1));
    return true;
}

CReminderQuery::CReminderQuery(KdData* target) : m_pLocationQuery(new CLocationQuery), m_pData(target)
{
    m_sqls << QStringLiteral(
        "select ci.summary, location.title as location, ci.description, ci.priority, ci.all_day, ci.start_date, "
        "ci.completion_date, c.title as calendartitle, ci.rowid from calendaritem as ci left join location on "
        "ci.location_id = location.rowid left join calendar as c on ci.calendar_id = c.rowid where (8 = "
        "supported_entity_types) or (0 = supported_entity_types and end_date is null)");
    m_countSqls << QStringLiteral(
        "select count(*) from calendaritem as ci left join location on ci.location_id = location.rowid left join "
        "calendar as c on ci.calendar_id = c.rowid where (8 = supported_entity_types) or (0 = "
        "supported_entity_types and end_date is null)");
    // iOS 5 kept reminders in a table of their own, each with its place as text.
    m_sqls << QStringLiteral(
        "select t.title, null, t.notes, t.priority, 0, t.due_date, t.completed_date, c.title, t.rowid, t.location from "
        "Task as t left join Calendar as c on t.calendar_id = c.rowid");
    m_countSqls << QStringLiteral("select count(*) from Task");
}

CReminderQuery::~CReminderQuery()
{
    qDeleteAll(m_items);
}

QString CReminderQuery::priorityText(int priority)
{
    switch (priority) {
    case 0: return tr("None");
    case 1: return tr("High");
    case 5: return tr("Medium");
    case 9: return tr("Low");
    default: return QString::number(priority);
    }
}

bool CReminderQuery::handleRow(sqlite3_stmt* stmt)
{
    KdReminderItem* item = KdReminderItem::createItem();
    item->setValue(columnText(stmt, 0), 0);
    const QString list = columnText(stmt, 7);
    item->setValue(list == QLatin1String("DEFAULT_TASK_CALENDAR_NAME") ? QStringLiteral("Reminders") : list, 1);
    item->setValue(calendarSeconds(stmt, 6) >= 1 ? tr("Completed") : tr("Uncompleted"), 2);
    qint64 dueSeconds = calendarSeconds(stmt, 5);
    if (dueSeconds == 0)
        dueSeconds = m_dueDates.value(sqlite3_column_int64(stmt, 8), 0);
    const QDateTime due = CCommonUtils::buildDateTimeBase2001(dueSeconds);
    item->setValue(dueSeconds == 0 ? QString() : CCommonUtils::datetimeToMinute(due, true), 3);
    if (dueSeconds != 0) // no due date is no date, not the first moment of 2001
        item->setSortValue(due, 3);
    QString place = m_pLocationQuery->location(sqlite3_column_int64(stmt, 8));
    if (place.isEmpty() && sqlite3_column_count(stmt) > 9)
        place = columnText(stmt, 9);
    item->setValue(place, 4);
    const int priority = clampedInt(stmt, 3);
    item->setValue(priorityText(priority), 5);
    item->setSortValue(priority, 5);
    item->setValue(columnText(stmt, 2), 6);
    item->setSize(0);
    m_items.append(item);
    return true;
}

void CReminderQuery::run(const QStringList& dbPaths, CIProgressCallback* progress)
{
    qDeleteAll(m_items);
    m_items.clear();
    m_pLocationQuery->clear();
    // The location query reads the same file; a missing one is reported once, by the run below.
    const auto found = std::find_if(dbPaths.cbegin(), dbPaths.cend(), [](const QString& p) { return QFile::exists(p); });
    m_dueDates.clear();
    if (found != dbPaths.cend()) {
        m_pLocationQuery->run(QStringList{*found}, nullptr);
        // Devices keep a reminder's due date in due_date; start_date is mostly empty.
        const evidencedb::SqlitePtr db(openReadOnly(*found));
        evidencedb::Statement due(db.get(), "select rowid, due_date from calendaritem where due_date is not null");
        while (due.next())
            m_dueDates.insert(sqlite3_column_int64(due.handle(), 0), calendarSeconds(due.handle(), 1));
    }
    CISQLiteQuery::run(dbPaths, progress);
    appendByList(m_items, m_pData);
}

CReminderStoreQuery::CReminderStoreQuery(KdData* target) : m_pData(target)
{
    m_sqls << QStringLiteral("select r.ZTITLE, l.ZNAME, r.ZCOMPLETED, r.ZDUEDATE, r.ZPRIORITY, r.ZNOTES, r.ZMARKEDFORDELETION "
                             "from ZREMCDREMINDER r left join ZREMCDBASELIST l on r.ZLIST = l.Z_PK order by r.Z_PK");
    m_countSqls << QStringLiteral("select count(*) from ZREMCDREMINDER");
}

CReminderStoreQuery::~CReminderStoreQuery()
{
    qDeleteAll(m_items);
}

bool CReminderStoreQuery::handleRow(sqlite3_stmt* stmt)
{
    KdReminderItem* item = KdReminderItem::createItem();
    item->setValue(columnText(stmt, 0), 0);
    item->setValue(columnText(stmt, 1), 1);
    item->setValue(sqlite3_column_int64(stmt, 2) != 0 ? tr("Completed") : tr("Uncompleted"), 2);
    const qint64 dueSeconds = sqlite3_column_type(stmt, 3) == SQLITE_NULL ? 0 : calendarSeconds(stmt, 3);
    const QDateTime due = CCommonUtils::buildDateTimeBase2001(dueSeconds);
    item->setValue(dueSeconds == 0 ? QString() : CCommonUtils::datetimeToMinute(due, true), 3);
    if (dueSeconds != 0) // no due date is no date, not the first moment of 2001
        item->setSortValue(due, 3);
    const int priority = clampedInt(stmt, 4);
    item->setValue(CReminderQuery::priorityText(priority), 5);
    item->setSortValue(priority, 5);
    item->setValue(columnText(stmt, 5), 6);
    item->setFlag(sqlite3_column_int64(stmt, 6) != 0, KdAbstractItem::DeletedFlag);
    item->setSize(0);
    m_items.append(item);
    return true;
}

void CReminderStoreQuery::run(const QStringList& dbPaths, CIProgressCallback* progress)
{
    qDeleteAll(m_items);
    m_items.clear();
    CISQLiteQuery::run(dbPaths, progress);
    appendByList(m_items, m_pData);
}

CReminderCollection::CReminderCollection(KdData* reminders) : m_pData(reminders) {}

void CReminderCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                                  const QString& fileSuffix)
{
    collectFromCalendar(backupDir, fileSuffix);
    // iOS 13 on: one store per account, Data-<identifier>.sqlite, in the reminders' app group.
    static const QRegularExpression kStore(QStringLiteral("^Container_v1/Stores/Data-[^/]*\\.sqlite$"));
    for (const CManifestRecord* r : files) {
        if (!r || r->domain != QLatin1String("AppDomainGroup-group.com.apple.reminders") || !kStore.match(r->relativePath).hasMatch())
            continue;
        const QString store = databaseFile(backupDir, r->domain, r->relativePath, fileSuffix);
        if (!store.isEmpty() && readableDatabase(store, QStringLiteral("reminders"), r->relativePath, {"ZREMCDREMINDER"}))
            CReminderStoreQuery(m_pData).run({store}, m_pProgress);
    }
}

void CReminderCollection::collectFromCalendar(const QString& backupDir, const QString& fileSuffix)
{
    const QString readable = databaseFile(backupDir, QString::fromLatin1(kCalendarDomain),
                                          QString::fromLatin1(kCalendarDatabase), fileSuffix);
    const QString path =
        calendarDatabaseCandidate(backupDir, fileSuffix, readable, QStringLiteral("reminders"), &m_problems);
    if (path.isEmpty())
        return;
    CReminderQuery query(m_pData);
    query.run(QStringList{path}, m_pProgress);
}
