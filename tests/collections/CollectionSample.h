#pragma once

// What the collection tests share: a backup of a made-up phone, databases built from SQL, and a
// collector's items read back as text.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include <sqlite3.h>

#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "kddata/KdData.h"

namespace collsample {

// Fails the test with the statement and SQLite's reason when `sql` fails.
inline bool exec(sqlite3* db, const QString& sql)
{
    char* error = nullptr;
    const bool ok = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        ADD_FAILURE() << sql.left(200).toStdString() << ": " << (error ? error : "");
    sqlite3_free(error);
    return ok;
}

// A layout's statements, but those on SQLite's own tables (which only SQLite may create).
inline bool execAll(sqlite3* db, const QStringList& statements)
{
    for (const QString& s : statements)
        if (!s.contains(QLatin1String("sqlite_")) && !exec(db, s))
            return false;
    return true;
}

// The main file and -wal of a WAL database `build` fills, as devices leave them: nothing
// checkpointed, so the main file may hold little more than its first page.
struct WalFiles {
    QByteArray database, wal;
};
inline WalFiles walDatabase(const std::function<bool(sqlite3*)>& build)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wal.db"));
    sqlite3* db = nullptr;
    const bool ok = testsupport::makeDatabase(path, {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA wal_autocheckpoint=0")},
                                              build, &db);
    EXPECT_TRUE(ok);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db);
    return ok ? WalFiles{testsupport::readFile(path), testsupport::readFile(path + QStringLiteral("-wal"))} : WalFiles{};
}

// A backup of a made-up phone in `folder`; `manifestDb` indexes it as iOS 10 on do.
inline sample::SampleBackupWriter phone(const QString& folder, bool manifestDb = false)
{
    sample::SampleBackupWriter w(folder);
    if (manifestDb)
        w.indexKind = sample::SampleBackupWriter::IndexKind::ManifestDb;
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
    return w;
}

// Collects the backup in `folder` into `target`; the collector's log lines and problems go to the
// out parameters.
template <typename Collector>
KdData* collect(KdData* target, const QString& folder, CIProgressCallback* progress = nullptr,
                QStringList* lines = nullptr, QStringList* problems = nullptr)
{
    CiTunesBackup b;
    EXPECT_TRUE(b.parseFromPath(folder));
    Collector c(target);
    c.setProgress(progress);
    const testsupport::LogCapture log;
    c.collect(b.path(), b.files(), b.fileSuffix());
    if (lines)
        for (const auto& line : log.lines())
            if (line.module == "iTunesBackup")
                *lines << QString::fromStdString(line.text);
    if (problems)
        *problems = c.problems();
    return target;
}

// Every item as the fields `fields` gives of it, joined by '|'.
inline QStringList rows(const KdData* data, const std::function<QStringList(const KdAbstractItem*)>& fields)
{
    QStringList out;
    for (int i = 0; i < data->count(); ++i)
        out << fields(data->at(i, false)).join(QLatin1Char('|'));
    return out;
}

} // namespace collsample
