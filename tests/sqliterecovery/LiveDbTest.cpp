// The live rows the recovery compares deleted rows with come from the carver's walk, not from a
// connection to the evidence: they must read exactly as SQLite reads the database, -wal included.

#include "SqlFixture.h"
#include "RecoveryScore.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

using sqlfixture::build;
using sqlfixture::readAll;

// Every row of `sql` as SQLite reads it from a private copy of the files (its -wal applied).
std::vector<std::vector<QVariant>> reference(const QTemporaryDir& dir, const std::string& path, const std::string& sql)
{
    const std::string copy = dir.path().toStdString() + "/reference.db";
    for (const char* suffix : {"", "-wal"})
        QFile::copy(QString::fromStdString(path + suffix), QString::fromStdString(copy + suffix));
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(copy.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::vector<std::vector<QVariant>> out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<QVariant> row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const int type = sqlite3_column_type(st, i);
            const auto bytes = [&] { return QByteArray(static_cast<const char*>(sqlite3_column_blob(st, i)), sqlite3_column_bytes(st, i)); };
            row.push_back(type == SQLITE_INTEGER ? QVariant(qint64(sqlite3_column_int64(st, i)))
                          : type == SQLITE_FLOAT ? QVariant(sqlite3_column_double(st, i))
                          : type == SQLITE_TEXT  ? QVariant(QString::fromUtf8(bytes()))
                          : type == SQLITE_BLOB  ? QVariant(bytes())
                                                 : QVariant());
        }
        out.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

TEST(LiveDb, ReadsTheLiveRowsAsSqliteDoesWithoutTouchingTheEvidence)
{
    struct Case {
        const char* name;
        std::vector<std::string> journal;
        std::vector<std::string> open; // run last, the copy taken before they commit
    };
    const std::vector<std::string> wal = {"PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0"};
    std::vector<std::string> spilled = {"PRAGMA cache_size=2", "BEGIN"};
    for (int i = 0; i < 30; ++i)
        spilled.push_back("INSERT INTO t(name, n) VALUES('uncommitted', randomblob(900))");
    const Case cases[] = {
        {"rollback", {}, {}},
        // Rows committed only in the -wal: live for SQLite, so live here.
        {"wal", wal, {}},
        // A transaction whose pages spilled into the -wal without its commit: not live.
        {"wal with uncommitted frames", wal, spilled},
    };
    const std::string longText(3000, 'x'); // past a 1024-byte page: an overflow chain
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        std::vector<std::string> sql = {"PRAGMA page_size=1024"};
        sql.insert(sql.end(), c.journal.begin(), c.journal.end());
        sql.insert(sql.end(), {
            "CREATE TABLE t(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, score REAL, data BLOB, n)",
            "CREATE TABLE plain(a INTEGER, b VARCHAR(20))",
        });
        for (int i = 1; i <= 40; ++i)
            sql.push_back("INSERT INTO t(name, score, data, n) VALUES('person " + std::to_string(i) + "', " + std::to_string(i)
                          + ", x'00ff" + (i % 2 ? "10" : "") + "', " + (i % 3 ? "NULL" : "'" + longText + "'") + ")");
        sql.insert(sql.end(), {"INSERT INTO plain VALUES(7, 'seven')", "INSERT INTO plain VALUES(-1, NULL)",
                               "DELETE FROM t WHERE id > 35 OR id = 4", "UPDATE t SET name = 'renamed' WHERE id = 9"});
        sql.insert(sql.end(), c.open.begin(), c.open.end());
        const std::string path = build(dir, "f.db", sql, !c.journal.empty());
        if (!c.journal.empty()) { // the rows are in the -wal alone
            EXPECT_LE(QFileInfo(QString::fromStdString(path)).size(), 4096);
        }
        const std::string before = readAll(path) + readAll(path + "-wal");

        sqlrecovery::LiveDb live(QString::fromStdString(path));
        ASSERT_TRUE(live.isOpen());
        for (const char* query : {"SELECT rowid, * FROM t ORDER BY rowid", "SELECT rowid, * FROM plain ORDER BY rowid"}) {
            const auto want = reference(dir, path, query);
            EXPECT_EQ(live.rows(query), want) << query;
            EXPECT_FALSE(want.empty());
        }
        // sqlite_sequence as the database holds it: above the largest live rowid.
        EXPECT_EQ(live.value("SELECT seq FROM sqlite_sequence WHERE name = 't'").toLongLong(), 40);
        EXPECT_TRUE(live.isAutoincrement("t"));
        EXPECT_FALSE(live.isAutoincrement("plain"));
        EXPECT_TRUE(live.hasRowid("t", 9));
        EXPECT_FALSE(live.hasRowid("t", 4));
        EXPECT_TRUE(live.hasColumn("plain", "B"));

        EXPECT_EQ(readAll(path) + readAll(path + "-wal"), before);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(path + "-shm")));
    }
}

TEST(LiveDb, NothingToReadIsNotOpen)
{
    QTemporaryDir dir;
    const QString junk = dir.path() + "/junk.db";
    sqlfixture::writeAll(junk.toStdString(), std::string(4096, 'j'));
    for (const QString& path : {QString(), junk, dir.path() + "/missing.db"}) {
        sqlrecovery::LiveDb live(path);
        EXPECT_FALSE(live.isOpen());
        EXPECT_TRUE(live.rows("SELECT 1").empty());
    }
}

} // namespace
