#include "CCalendarCollection.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cmath>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

const char kCalendarDomain[] = "HomeDomain";
const char kCalendarDatabase[] = "Library/Calendar/Calendar.sqlitedb";

namespace {

const char kFloating[] = "_float";

// The minute the zone's clock showed, written as the library writes every date.
QString dateText(const QDateTime& utc, const QTimeZone& zone, bool withTime)
{
    if (!zone.isValid())
        return CCommonUtils::datetimeToMinute(utc, withTime);
    const QDateTime local = utc.toTimeZone(zone);
    return CCommonUtils::datetimeToMinute(QDateTime(local.date(), local.time(), Qt::UTC), withTime);
}

} // namespace

QString calendarDatabaseCandidate(const QString& backupDir, const QString& fileSuffix, const QString& readable,
                                  const QString& category, QStringList* problems)
{
    const QString home = QString::fromLatin1(kCalendarDomain);
    const QString relative = QString::fromLatin1(kCalendarDatabase);
    if (readable.isEmpty())
        return backupDataFile(backupDir, home, relative, fileSuffix);
    if (!CIDataCollection::readableDatabase(readable, category, relative, {"CalendarItem", "Event"}, problems))
        return QString();
    return readable;
}

qint64 calendarSeconds(sqlite3_stmt* stmt, int column)
{
    // Events reach back past 1932 and on past 2069 (a birthday kept from its first year): only a
    // value beyond some 3,000 years either way, which no calendar holds, is held at that bound.
    constexpr qint64 kBound = 100000000000LL;
    if (sqlite3_column_type(stmt, column) == SQLITE_INTEGER)
        return std::clamp<qint64>(sqlite3_column_int64(stmt, column), -kBound, kBound);
    const double v = sqlite3_column_double(stmt, column);
    if (std::isnan(v))
        return 0;
    return qint64(std::clamp(std::floor(v), double(-kBound), double(kBound)));
}

CCalendarQuery::CCalendarQuery(KdData* target) : m_pData(target)
{
    m_sqls << QStringLiteral(
        "select ci.summary, location.title as location, ci.description, ci.start_date, ci.end_date, ci.start_tz, "
        "ci.all_day from calendaritem as ci left join location on ci.location_id = location.rowid left join calendar "
        "as c on ci.calendar_id = c.rowid where (4 = supported_entity_types) or (0 = supported_entity_types and "
        "ci.end_date not null) order by ci.start_date asc");
    m_sqls << QStringLiteral(
        "select summary, location, description, start_date, end_date, start_tz, all_day from event order by "
        "start_date asc");
    m_countSqls << QStringLiteral(
        "select count(*) from calendaritem as ci left join location on ci.location_id = location.rowid left join "
        "calendar as c on ci.calendar_id = c.rowid where (4 = supported_entity_types) or (0 = supported_entity_types "
        "and ci.end_date not null)");
    m_countSqls << QStringLiteral("select count(*) from event");
}

QTimeZone CCalendarQuery::timeZone(const QString& id)
{
    if (id.isEmpty() || id == QLatin1String(kFloating))
        return QTimeZone();
    auto found = m_zones.constFind(id);
    if (found == m_zones.constEnd())
        found = m_zones.insert(id, QTimeZone(id.toUtf8()));
    return found.value();
}

bool CCalendarQuery::handleRow(sqlite3_stmt* stmt)
{
    // Stored dates are instants; a zone, when there is one, only tells how the clock read them.
    const bool allDay = sqlite3_column_int64(stmt, 6) != 0;
    const QTimeZone zone = timeZone(columnText(stmt, 5));
    const QDateTime start = CCommonUtils::buildDateTimeBase2001(calendarSeconds(stmt, 3));
    const QDateTime end = CCommonUtils::buildDateTimeBase2001(calendarSeconds(stmt, 4));

    KdCalendarItem* item = KdCalendarItem::createItem();
    item->setValue(columnText(stmt, 0), 0);
    item->setValue(columnText(stmt, 1), 1);
    item->setValue(dateText(start, zone, !allDay), 2);
    item->setSortValue(start, 2);
    item->setValue(dateText(end, zone, !allDay), 3);
    item->setSortValue(end, 3);
    item->setValue(columnText(stmt, 2), 4);
    item->setSize(0);
    if (m_pData)
        m_pData->append(item);
    else
        delete item;
    return true;
}

CCalendarCollection::CCalendarCollection(KdData* calendar) : m_pData(calendar) {}

void CCalendarCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& /*files*/,
                                  const QString& fileSuffix)
{
    const QString readable = databaseFile(backupDir, QString::fromLatin1(kCalendarDomain),
                                          QString::fromLatin1(kCalendarDatabase), fileSuffix);
    const QString path =
        calendarDatabaseCandidate(backupDir, fileSuffix, readable, QStringLiteral("calendar"), &m_problems);
    if (path.isEmpty())
        return;
    CCalendarQuery query(m_pData);
    query.run(QStringList{path}, m_pProgress);
}
