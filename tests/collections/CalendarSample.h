#pragma once

// Calendar databases in the layouts devices wrote, inside a backup, for the event and reminder tests.

#include <QDir>
#include <QTemporaryDir>

#include "CollectionSample.h"
#include "ibr/schemas.h"

namespace calsample {

using namespace collsample;

const QString kDatabase = QStringLiteral("Library/Calendar/Calendar.sqlitedb");

// The calendaritem layout of iOS `major`; 0: the older one, events in a table of their own.
inline bool createLayout(sqlite3* db, int major)
{
    exec(db, "PRAGMA synchronous=OFF"); // a throwaway file: no sync per statement
    if (major == 0)
        return exec(db, "CREATE TABLE Event (ROWID INTEGER PRIMARY KEY, summary TEXT, location TEXT, description TEXT, "
                        "start_date REAL, start_tz TEXT, end_date REAL, all_day INTEGER, calendar_id INTEGER)");
    return execAll(db, ibr::iosSchemaStatements(major, QStringLiteral("Calendar.sqlitedb")));
}

// A backup holding the calendar database `build` makes, else the bytes `raw`, else none.
inline QString writeBackup(const QTemporaryDir& dir, const std::function<bool(sqlite3*)>& build,
                           const QByteArray& raw = QByteArray(), const QByteArray& wal = QByteArray())
{
    sample::SampleBackupWriter w = phone(dir.filePath(QStringLiteral("backup")));
    if (build)
        w.addDatabase(QStringLiteral("HomeDomain"), kDatabase, build);
    else if (!raw.isEmpty())
        w.addFile(QStringLiteral("HomeDomain"), kDatabase, raw);
    if (!wal.isEmpty())
        w.addFile(QStringLiteral("HomeDomain"), kDatabase + QStringLiteral("-wal"), wal);
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/other.plist"), "x");
    EXPECT_TRUE(w.write());
    return w.folder();
}

// Every item as "text|text|...|sort value|...", dates as ISO text (ending in Z when UTC).
inline QStringList rows(KdData* data, const QList<int>& sortColumns)
{
    QStringList out;
    for (int i = 0; i < data->count(); ++i) {
        const KdAbstractItem* it = data->at(i, false);
        QStringList fields;
        for (int c = 0; c < data->columnCount(); ++c)
            fields << it->value(c);
        for (int c : sortColumns) {
            const QVariant v = it->sortValue(c);
            fields << (v.typeId() == QMetaType::QDateTime ? v.toDateTime().toString(Qt::ISODate) : v.toString());
        }
        out << fields.join(QLatin1Char('|')) + (it->size() ? QStringLiteral("|size") : QString());
    }
    return out;
}

// Seconds since 2001 of a UTC time.
inline qint64 at(int y, int mo, int d, int h = 0, int mi = 0)
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).secsTo(QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC));
}

} // namespace calsample
