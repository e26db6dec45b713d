#pragma once

#include <QHash>
#include <QStringList>
#include <QString>
#include <QTimeZone>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdData;

// Events of the calendar database in either layout: events and reminders together in
// calendaritem (told apart by their calendar's supported entity types), or the older table of
// events alone. Rows come by start, ascending, and are appended in that order.
class CCalendarQuery : public CISQLiteQuery
{
public:
    explicit CCalendarQuery(KdData* target); // not owned
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    // The zone an event was stored with; invalid for floating dates and unknown names.
    QTimeZone timeZone(const QString& id);

    KdData* m_pData;
    QHash<QString, QTimeZone> m_zones; // a handful of names over many rows
};

// Calendar events of a backup (Library/Calendar/Calendar.sqlitedb of HomeDomain).
class CCalendarCollection : public CIDataCollection
{
public:
    explicit CCalendarCollection(KdData* calendar); // not owned
    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;

private:
    KdData* m_pData;
};

// The calendar database shared by events and reminders.
extern const char kCalendarDomain[];
extern const char kCalendarDatabase[];

// Where run() should look for the calendar database: the readable file (a private copy when a
// -wal holds the newest rows) or, when the backup has none, the path it would have, so that
// run() reports it missing. Empty, with one log line and a problem for `category`, when the file
// is there but is no database.
QString calendarDatabaseCandidate(const QString& backupDir, const QString& fileSuffix, const QString& readable,
                                  const QString& category, QStringList* problems);

// A stored calendar date (REAL on devices) as whole seconds since 2001: NULL reads as 0, values
// beyond 32 bits are held at its ends.
qint64 calendarSeconds(sqlite3_stmt* stmt, int column);
