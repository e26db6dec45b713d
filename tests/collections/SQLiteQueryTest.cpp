#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "CISQLiteQuery.h"
#include "CollectionsFixture.h"
#include "TestSupport.h"

using collectionstest::ProgressRecorder;

namespace {

const char kModule[] = "iTunesBackup";

bool makeDatabase(const QString& path, const QStringList& statements)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    bool ok = true;
    for (const QString& s : statements)
        ok = ok && sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Collects column 0 of every row; stops after `stopAfter` rows when set.
class NameQuery : public CISQLiteQuery
{
public:
    bool handleRow(sqlite3_stmt* stmt) override
    {
        rows << columnText(stmt, 0);
        ints << columnInt(stmt, 1);
        return stopAfter < 0 || rows.size() < stopAfter;
    }
    QStringList rows;
    QList<int> ints;
    int stopAfter = -1;
};

class SQLiteQueryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db = dir.filePath(QStringLiteral("people.db"));
        ASSERT_TRUE(makeDatabase(db, {QStringLiteral("create table person (name text, age integer)"),
                                      QStringLiteral("insert into person values ('Ann', 30)"),
                                      QStringLiteral("insert into person values (NULL, 4294967297)"),
                                      QStringLiteral("insert into person values ('Zoë', 7)")}));
    }
    QTemporaryDir dir;
    QString db;
};

} // namespace

TEST_F(SQLiteQueryTest, FirstExistingPathIsUsedAfterOneNotExistsLine)
{
    testsupport::LogCapture log;
    NameQuery q;
    q.m_countSqls << QStringLiteral("select count(*) from person");
    q.m_sqls << QStringLiteral("select name, age from person order by rowid");
    const QString missing = dir.filePath(QStringLiteral("missing.db"));
    q.run({missing, db, dir.filePath(QStringLiteral("unused.db"))}, nullptr);
    EXPECT_EQ(q.rows, (QStringList{QStringLiteral("Ann"), QString(), QStringLiteral("Zoë")}));
    EXPECT_EQ(q.ints, (QList<int>{30, 1, 7})); // integers are read as 32 bits
    EXPECT_EQ(log.count(kModule, ("Not exists: " + missing).toStdString()), 1);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_FALSE(QFile::exists(missing));
}

TEST_F(SQLiteQueryTest, SchemaFallbackLogsOncePerFunctionAndUsesTheSecondStatement)
{
    testsupport::LogCapture log;
    NameQuery q;
    q.m_countSqls << QStringLiteral("select count(*) from people") << QStringLiteral("select count(*) from person");
    q.m_sqls << QStringLiteral("select nom, age from person") << QStringLiteral("select name, age from person");
    q.run({db}, nullptr);
    EXPECT_EQ(q.rows.size(), 3);
    const std::string path = db.toStdString();
    EXPECT_EQ(log.count(kModule, "Fail to query sql \"select count(*) from people\" for db " + path), 1);
    EXPECT_EQ(log.count(kModule, "Fail to query sql \"select nom, age from person\" for db " + path), 1);
    EXPECT_EQ(log.lines().size(), 2u);
}

// Each row read is one even step of the range; a false answer from the callback stops after the
// row just handled, a handler that stops ends the reading without a step for its row.
TEST_F(SQLiteQueryTest, ProgressAndStops)
{
    const struct {
        const char* name;
        const char* countSql;
        int stopAfter;
        bool refuse;
        int rows;
        size_t steps;
    } cases[] = {
        {"zero count reads nothing", "select 0", -1, false, 0, 0},
        {"every row fills the range", "select count(*) from person", -1, false, 3, 3},
        {"a false answer stops", "select count(*) from person", -1, true, 1, 1},
        {"a stopping handler", "select count(*) from person", 2, false, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NameQuery q;
        q.stopAfter = c.stopAfter;
        q.m_countSqls << QLatin1String(c.countSql);
        q.m_sqls << QStringLiteral("select name, age from person");
        ProgressRecorder p(90);
        if (c.refuse)
            p.answer = [](int) { return false; };
        q.run({db}, &p);
        EXPECT_EQ(q.rows.size(), c.rows);
        EXPECT_EQ(p.steps.size(), c.steps);
        if (c.rows == 3)
            EXPECT_DOUBLE_EQ(p.total, 90.0);
    }
    NameQuery stopper;
    stopper.stopAfter = 1; // refuses the first row
    EXPECT_EQ(CISQLiteQuery::queryRows(&stopper, db, QStringLiteral("select name, age from person")), 0);
}

TEST_F(SQLiteQueryTest, CountAndQueryResultCodes)
{
    testsupport::LogCapture log;
    const QString garbage = dir.filePath(QStringLiteral("garbage.db"));
    ASSERT_TRUE(testsupport::writeFile(garbage, QByteArray(4096, '\x7f')));
    const QString missing = dir.filePath(QStringLiteral("nope/missing.db"));
    NameQuery q;

    EXPECT_EQ(CISQLiteQuery::countRows(db, {QStringLiteral("select count(*) from person")}), 3);
    EXPECT_EQ(CISQLiteQuery::countRows(db, {}), 0);
    EXPECT_EQ(CISQLiteQuery::countRows(db, {QStringLiteral("select 1 where 0")}), 0);
    EXPECT_EQ(CISQLiteQuery::countRows(db, {QStringLiteral("select count(*) from nothing")}), -1);
    EXPECT_EQ(CISQLiteQuery::countRows(missing, {QStringLiteral("select 1")}), -2);
    EXPECT_EQ(CISQLiteQuery::countRows(garbage, {QStringLiteral("select count(*) from sqlite_master")}), -1); // opens, cannot read
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, missing, QStringLiteral("select 1")), -2);
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, db, QStringLiteral("select nothing from nowhere")), -1);
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, db, QStringLiteral("select name, age from person")), 3);

    EXPECT_EQ(log.count(kModule, "Fail to open db file: " + missing.toStdString()), 2);
    EXPECT_FALSE(QFile::exists(missing)); // never created
}

TEST_F(SQLiteQueryTest, DatabasesAreReadImmutableWhateverTheirPathOrJournal)
{
    // A database in WAL mode with an uncheckpointed row in its -wal file, in a folder whose name
    // holds the characters that end or escape a URI.
    const QString folder = dir.filePath(QStringLiteral("evid ?#%ence é"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString live = dir.filePath(QStringLiteral("live.db"));
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(live.toUtf8().constData(), &writer), SQLITE_OK);
    for (const char* s : {"pragma journal_mode=wal", "create table person (name text, age integer)",
                          "insert into person values ('Old', 1)", "pragma wal_checkpoint(truncate)",
                          "pragma wal_autocheckpoint=0", "insert into person values ('New', 2)"})
        ASSERT_EQ(sqlite3_exec(writer, s, nullptr, nullptr, nullptr), SQLITE_OK) << s;
    const QString evidence = folder + QStringLiteral("/sms.db");
    ASSERT_TRUE(QFile::copy(live, evidence));
    ASSERT_TRUE(QFile::copy(live + QStringLiteral("-wal"), evidence + QStringLiteral("-wal")));
    sqlite3_close(writer);

    const auto before = testsupport::snapshotFolder(folder);
    NameQuery q;
    q.m_countSqls << QStringLiteral("select count(*) from person");
    q.m_sqls << QStringLiteral("select name, age from person");
    q.run({evidence}, nullptr);
    EXPECT_EQ(q.rows, QStringList{QStringLiteral("Old")});
    EXPECT_EQ(testsupport::snapshotFolder(folder), before);
    EXPECT_TRUE(CISQLiteQuery::immutableUri(evidence).endsWith("?immutable=1&mode=ro"));
    EXPECT_FALSE(CISQLiteQuery::immutableUri(evidence).contains('?' + QByteArray("#")));
}
