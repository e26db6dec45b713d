// Rowids of deleted rows whose cell prefix (payload size, rowid) a freeblock header overwrote:
// taken from the row's deleted index entries, or inferred from its place on the page. A rowid
// that comes back must be the right one.

#include "SqlFixture.h"
#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using sqlcarve::Value;

std::string makeDb(const QTemporaryDir& dir, const std::vector<std::string>& sql)
{
    return sqlfixture::build(dir, "r.db", sql);
}

// Rows of table t whose text column `tagColumn` reads "k<id> ...": the id each must have.
struct Tally {
    int rows = 0, withRowid = 0, fromIndex = 0, inferred = 0, wrong = 0;
    int fromCell = 0; // whole cells (such as the old leaf cells left in a root that grew a level)
};

Tally tally(const sqlcarve::Result& r, size_t tagColumn)
{
    Tally t;
    for (const auto& row : r.rows) {
        if (row.table != "t" || row.values.size() <= tagColumn || row.values[tagColumn].kind != Value::Kind::Text)
            continue;
        const std::string& tag = row.values[tagColumn].bytes;
        if (tag.size() < 2 || tag[0] != 'k')
            continue;
        ++t.rows;
        if (!row.rowid)
            continue;
        ++t.withRowid;
        t.fromIndex += row.rowidFromIndex;
        t.inferred += row.rowidInferred;
        t.fromCell += !row.rowidFromIndex && !row.rowidInferred;
        if (*row.rowid != std::stoll(tag.substr(1)))
            ++t.wrong;
    }
    return t;
}

struct IndexCase {
    const char* name;
    std::string create; // table t with INTEGER PRIMARY KEY id and text column tag
    std::string index;  // extra statement, may be empty
};

class RowidFromIndex : public ::testing::TestWithParam<IndexCase>
{
};

// Every third row deleted: each freed cell lost its prefix, but its index entries keep the rowid.
// Rows go in out of rowid order, so their places on the page tell nothing.
TEST_P(RowidFromIndex, DeletedIndexEntryGivesTheRowid)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", GetParam().create};
    if (!GetParam().index.empty())
        sql.push_back(GetParam().index);
    sql.push_back("BEGIN");
    std::vector<int> ids(400);
    for (int i = 0; i < 400; ++i)
        ids[size_t(i)] = i + 1;
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    for (int i : ids)
        sql.push_back("INSERT INTO t(id, tag, note, n) VALUES(" + std::to_string(i) + ", 'k" + std::to_string(i) + " guid-"
                      + std::to_string(i * 7919) + "', 'note " + std::to_string(i % 13) + " about things', " + std::to_string(i * 31) + ")");
    sql.push_back("COMMIT");
    sql.push_back("DELETE FROM t WHERE id % 3 = 0");
    const sqlcarve::Result r = sqlcarve::carveFile(makeDb(dir, sql));
    ASSERT_TRUE(r.ok);
    const Tally t = tally(r, 1);
    EXPECT_GE(t.rows, 120);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_GE(t.withRowid, t.rows * 97 / 100);
    EXPECT_GE(t.fromIndex, (t.rows - t.fromCell) * 80 / 100);
}

INSTANTIATE_TEST_SUITE_P(
    Carver, RowidFromIndex,
    ::testing::Values(
        IndexCase{"ColumnUnique", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT UNIQUE NOT NULL, note TEXT, n INTEGER)", ""},
        IndexCase{"TableUnique", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, note TEXT, n INTEGER, UNIQUE(n, tag))", ""},
        IndexCase{"CreateIndex", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, note TEXT, n INTEGER)",
                  "CREATE INDEX t_tag ON t(tag COLLATE NOCASE DESC, n)"}),
    [](const ::testing::TestParamInfo<IndexCase>& i) { return std::string(i.param.name); });

// Without an index, a freed row between two live cells takes the only rowid missing between theirs.
TEST(RowidFromPosition, AppendedRowsGetTheGapRowid)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, n INTEGER, x REAL)", "BEGIN"};
    for (int i = 1; i <= 300; ++i)
        sql.push_back("INSERT INTO t(tag, n, x) VALUES('k" + std::to_string(i) + " some words here', " + std::to_string(i * 101) + ", "
                      + std::to_string(i) + ".5)");
    sql.push_back("COMMIT");
    sql.push_back("DELETE FROM t WHERE id % 5 = 2 OR id % 11 = 0");
    const sqlcarve::Result r = sqlcarve::carveFile(makeDb(dir, sql));
    ASSERT_TRUE(r.ok);
    const Tally t = tally(r, 1);
    EXPECT_GE(t.rows, 70);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.fromIndex, 0);
    EXPECT_GE(t.inferred, (t.rows - t.fromCell) * 80 / 100);
}

// Rows inserted in random rowid order break the offset order: nothing may be inferred wrongly,
// and a live rowid is never handed out.
TEST(RowidFromPosition, ShuffledInsertsInferNothingWrong)
{
    QTemporaryDir dir;
    std::vector<int> ids(300);
    for (int i = 0; i < 300; ++i)
        ids[size_t(i)] = i + 1;
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, n INTEGER, x REAL)", "BEGIN"};
    for (int id : ids)
        sql.push_back("INSERT INTO t(id, tag, n, x) VALUES(" + std::to_string(id) + ", 'k" + std::to_string(id) + " some words here', "
                      + std::to_string(id * 101) + ", 0.5)");
    sql.push_back("COMMIT");
    sql.push_back("DELETE FROM t WHERE id % 4 = 1");
    const sqlcarve::Result r = sqlcarve::carveFile(makeDb(dir, sql));
    ASSERT_TRUE(r.ok);
    const Tally t = tally(r, 1);
    EXPECT_GE(t.rows, 50);
    EXPECT_EQ(t.wrong, 0);
    for (const auto& row : r.rows) {
        if (row.table == "t" && row.rowid) {
            EXPECT_EQ(*row.rowid % 4, 1) << "live rowid " << *row.rowid;
        }
    }
}

} // namespace
