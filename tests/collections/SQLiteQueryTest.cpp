// The query base every database collector reads through: first path and statement that work,
// progress and stops, result codes, and evidence read immutably whatever its path or -wal.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "CISQLiteQuery.h"
#include "TestSupport.h"

using testsupport::ProgressRecorder;

namespace {

// Collects columns 0 and 1 of every row; stops after `stopAfter` rows when set.
class NameQuery : public CISQLiteQuery
{
public:
    NameQuery(const QStringList& countSqls, const QStringList& sqls)
    {
        m_countSqls = countSqls;
        m_sqls = sqls;
    }
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

const QString kCount = QStringLiteral("select count(*) from person");
const QString kSelect = QStringLiteral("select name, age from person order by rowid");

class SQLiteQueryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        db = dir.filePath(QStringLiteral("people.db"));
        ASSERT_TRUE(testsupport::makeDatabase(db, {QStringLiteral("create table person (name text, age integer)"),
                                      QStringLiteral("insert into person values ('Ann', 30)"),
                                      QStringLiteral("insert into person values (NULL, 4294967297)"),
                                      QStringLiteral("insert into person values ('Zoë', 7)")}));
    }
    QTemporaryDir dir;
    QString db;
};

} // namespace

// The first path that exists is read (a missing one is reported), and the first statement of
// each list that the database accepts.
TEST_F(SQLiteQueryTest, FirstExistingPathAndFirstAcceptedStatementAreUsed)
{
    testsupport::LogCapture log;
    NameQuery q({QStringLiteral("select count(*) from people"), kCount},
                {QStringLiteral("select nom, age from person"), kSelect});
    const QString missing = dir.filePath(QStringLiteral("missing.db"));
    q.run({missing, db, dir.filePath(QStringLiteral("unused.db"))}, nullptr);
    EXPECT_EQ(q.rows, (QStringList{QStringLiteral("Ann"), QString(), QStringLiteral("Zoë")}));
    EXPECT_EQ(q.ints, (QList<int>{30, 1, 7})); // integers are read as 32 bits
    EXPECT_TRUE(log.contains("Not exists: " + missing.toStdString()));
    EXPECT_FALSE(QFile::exists(missing));
}

// Each row read is one even step of the range; a false answer stops after the row just handled;
// a handler that stops ends the reading without a step for its row.
TEST_F(SQLiteQueryTest, ProgressAndStops)
{
    const struct {
        const char* name;
        const char* countSql;
        int stopAfter;
        bool refuse;
        int rows;
        std::vector<double> steps;
    } cases[] = {
        {"zero count reads nothing", "select 0", -1, false, 0, {}},
        {"every row fills the range", "select count(*) from person", -1, false, 3, {30, 30, 30}},
        {"a false answer stops", "select count(*) from person", -1, true, 1, {30}},
        {"a stopping handler", "select count(*) from person", 2, false, 2, {30}},
    };
    for (const auto& c : cases) {
        NameQuery q({QLatin1String(c.countSql)}, {kSelect});
        q.stopAfter = c.stopAfter;
        ProgressRecorder p(90);
        if (c.refuse)
            p.answer = [](int) { return false; };
        q.run({db}, &p);
        EXPECT_EQ(q.rows.size(), c.rows) << c.name;
        EXPECT_EQ(p.steps, c.steps) << c.name;
    }
}

TEST_F(SQLiteQueryTest, CountAndQueryResultCodes)
{
    const QString garbage = dir.filePath(QStringLiteral("garbage.db"));
    ASSERT_TRUE(testsupport::writeFile(garbage, QByteArray(4096, '\x7f')));
    const QString missing = dir.filePath(QStringLiteral("nope/missing.db"));
    const struct {
        QString path;
        QStringList countSqls;
        int count;
    } counts[] = {
        {db, {kCount}, 3},
        {db, {}, 0},
        {db, {QStringLiteral("select 1 where 0")}, 0},
        {db, {QStringLiteral("select count(*) from nothing")}, -1},
        {missing, {QStringLiteral("select 1")}, -2},
        {garbage, {QStringLiteral("select count(*) from sqlite_master")}, -1}, // opens, cannot read
    };
    testsupport::LogCapture log;
    for (const auto& c : counts)
        EXPECT_EQ(CISQLiteQuery::countRows(c.path, c.countSqls), c.count) << c.countSqls.join(QString()).toStdString();
    NameQuery q({}, {});
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, missing, QStringLiteral("select 1")), -2);
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, db, QStringLiteral("select nothing from nowhere")), -1);
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, db, kSelect), 3);
    q.stopAfter = 1; // refuses the first row
    EXPECT_EQ(CISQLiteQuery::queryRows(&q, db, kSelect), 0);
    EXPECT_EQ(log.count("iTunesBackup", "Fail to open db file: " + missing.toStdString()), 2);
    EXPECT_FALSE(QFile::exists(missing)); // never created
}

TEST_F(SQLiteQueryTest, DatabasesAreReadImmutableWhateverTheirPathOrJournal)
{
    // A WAL database with an uncheckpointed row in its -wal file, copied while its writer is
    // open, into a folder whose name holds the characters that end or escape a URI.
    const QString folder = dir.filePath(QStringLiteral("evid ?#%ence é"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString live = dir.filePath(QStringLiteral("live.db")), evidence = folder + QStringLiteral("/sms.db");
    sqlite3* writer = nullptr;
    ASSERT_TRUE(testsupport::makeDatabase(live,
                             {QStringLiteral("pragma journal_mode=wal"), QStringLiteral("create table person (name text, age integer)"),
                              QStringLiteral("insert into person values ('Old', 1)"), QStringLiteral("pragma wal_checkpoint(truncate)"),
                              QStringLiteral("pragma wal_autocheckpoint=0"), QStringLiteral("insert into person values ('New', 2)")},
                             {}, &writer));
    ASSERT_TRUE(QFile::copy(live, evidence));
    ASSERT_TRUE(QFile::copy(live + QStringLiteral("-wal"), evidence + QStringLiteral("-wal")));
    sqlite3_close(writer);

    const auto before = testsupport::snapshotFolder(folder);
    NameQuery q({kCount}, {kSelect});
    q.run({evidence}, nullptr);
    EXPECT_EQ(q.rows, QStringList{QStringLiteral("Old")});
    EXPECT_EQ(testsupport::snapshotFolder(folder), before);
}
