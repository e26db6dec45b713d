#pragma once

// Calendar databases in the layouts devices wrote, inside a backup, for the event and reminder tests.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <functional>

#include <sqlite3.h>

#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "ibr/schemas.h"
#include "kddata/KdData.h"

namespace calsample {

const QString kDatabase = QStringLiteral("Library/Calendar/Calendar.sqlitedb");

inline bool exec(sqlite3* db, const QString& sql)
{
    const bool ok = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        ADD_FAILURE() << sql.toStdString() << ": " << sqlite3_errmsg(db);
    return ok;
}

// The calendaritem layout of iOS `major`; 0: the older one, events in a table of their own.
inline bool createLayout(sqlite3* db, int major)
{
    exec(db, "PRAGMA synchronous=OFF"); // a throwaway file: no sync per statement
    if (major == 0)
        return exec(db, "CREATE TABLE Event (ROWID INTEGER PRIMARY KEY, summary TEXT, location TEXT, description TEXT, "
                        "start_date REAL, start_tz TEXT, end_date REAL, all_day INTEGER, calendar_id INTEGER)");
    for (const QString& s : ibr::iosSchemaStatements(major, QStringLiteral("Calendar.sqlitedb")))
        if (!s.contains(QLatin1String("sqlite_")) && !exec(db, s))
            return false;
    return true;
}

// A backup holding the calendar database `build` makes, else the bytes `raw`, else none.
inline QString writeBackup(const QTemporaryDir& dir, const std::function<bool(sqlite3*)>& build,
                           const QByteArray& raw = QByteArray(), const QByteArray& wal = QByteArray())
{
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
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

// Collects the backup in `folder`; the log lines of the collector and its problems go to the out
// parameters.
template <typename Collector>
KdData* collect(KdData* target, const QString& folder, CIProgressCallback* progress = nullptr,
                QStringList* lines = nullptr, QStringList* problems = nullptr)
{
    CiTunesBackup b;
    EXPECT_TRUE(b.parseFromPath(folder));
    Collector c(target);
    c.setProgress(progress);
    testsupport::LogCapture log;
    c.collect(b.path(), b.files(), b.fileSuffix());
    for (const auto& line : log.lines())
        if (lines && line.module == "iTunesBackup")
            *lines << QString::fromStdString(line.text);
    if (problems)
        *problems = c.problems();
    return target;
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
