// The iOS 17 demo extracted end to end: what only the newer message and note layouts hold comes
// out of the command's JSON.
#include <gtest/gtest.h>

#include <algorithm>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "SampleBackup.h"
#include "TestSupport.h"

using testsupport::runCli;

namespace {

QString dataFile(const QString& backup, const char* domain, const char* path)
{
    const QString hash = sample::hashedName(QLatin1String(domain), QLatin1String(path));
    return QDir(backup).filePath(hash.left(2) + QLatin1Char('/') + hash);
}

// Every value of `sql`'s first column, as bytes. Opened for writing: a WAL file without its -wal
// does not open read-only.
QList<QByteArray> column(const QString& database, const char* sql)
{
    QList<QByteArray> out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK)
            while (sqlite3_step(stmt) == SQLITE_ROW)
                out << QByteArray(static_cast<const char*>(sqlite3_column_blob(stmt, 0)), sqlite3_column_bytes(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

} // namespace

TEST(DemoNewerLayouts, Ios17DemoGivesWhatOnlyTheNewerLayoutsHold)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    sample::DemoOptions options;
    options.iosMajor = 17;
    ASSERT_TRUE(sample::writeDemoBackup(backup, options));
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out,
                                          QStringLiteral("--categories"), QStringLiteral("messages,notes"),
                                          QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();

    QStringList texts, reactions;
    int edited = 0, unsent = 0;
    const QJsonArray chats = QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/messages.json")))[QStringLiteral("items")].toArray();
    for (const QJsonValue chat : chats) {
        for (const QJsonValue m : chat[QStringLiteral("detail")][QStringLiteral("messages")].toArray()) {
            texts << m[QStringLiteral("text")].toString();
            // Seconds and nanoseconds since 2001 alike; a wrong unit lands in 2001 or centuries on.
            const int year = QDateTime::fromString(m[QStringLiteral("date")].toString(), Qt::ISODate).date().year();
            EXPECT_TRUE(year >= 2010 && year <= 2020) << m[QStringLiteral("date")].toString().toStdString();
            for (const QJsonValue reaction : m[QStringLiteral("reactions")].toArray())
                reactions << reaction[QStringLiteral("reaction")].toString();
            edited += m.toObject().contains(QStringLiteral("edited"));
            unsent += m[QStringLiteral("unsent")].toBool();
        }
    }
    // The loved message was un-loved; the liked one keeps its like.
    EXPECT_EQ(reactions, QStringList{QStringLiteral("like")});
    EXPECT_EQ(edited, 1);
    EXPECT_EQ(unsent, 1);
    const QString smsDb = dataFile(backup, "HomeDomain", "Library/SMS/sms.db");
    EXPECT_FALSE(column(smsDb, "SELECT date FROM message WHERE date > 100000000000").isEmpty());
    const QList<QByteArray> bodies = column(smsDb, "SELECT attributedBody FROM message WHERE text IS NULL AND "
                                                   "attributedBody IS NOT NULL AND date_retracted = 0");
    ASSERT_EQ(bodies.size(), 1);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [&](const QString& t) {
                  return t.size() > 8 && bodies.first().contains(t.toUtf8());
              }),
              1);

    QStringList notes;
    const QJsonArray items = QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/notes.json")))[QStringLiteral("items")].toArray();
    for (const QJsonValue note : items)
        for (const QJsonValue v : note[QStringLiteral("values")].toObject())
            notes << v.toString();
    EXPECT_EQ(notes.filter(QStringLiteral("\n[x] ")).size(), 1);
    EXPECT_EQ(notes.filter(QStringLiteral("\n[ ] ")).size(), 1);
    EXPECT_EQ(notes.filter(QStringLiteral("[attachment: public.jpeg]")).size(), 1);
    EXPECT_EQ(notes.count(QStringLiteral("(locked)")), 1);
    // As on the device, the store's main file holds the schema alone: every note is in its -wal.
    const QString mainOnly = dir.filePath(QStringLiteral("NoteStore.sqlite"));
    ASSERT_TRUE(QFile::copy(dataFile(backup, "AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite"), mainOnly));
    EXPECT_EQ(column(mainOnly, "SELECT count(*) FROM ZICCLOUDSYNCINGOBJECT").value(0).toInt(), 0);
    EXPECT_FALSE(column(mainOnly, "SELECT name FROM sqlite_master WHERE name = 'ZICNOTEDATA'").isEmpty());
}
