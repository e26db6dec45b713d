// Which table and which rowid a carved row is reported with: freed pages of tables that share a
// layout, a table's root after its first split, narrow tables whose cell prefix a freeblock
// header overwrote, and rowids taken from deleted index entries or inferred from a row's place
// on its page. A rowid that comes back must be the right one.

#include "SqlFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace {

using sqlcarve::Value;

std::string tag(int i) { return "row " + std::to_string(i) + " of the twin that was used"; }

std::vector<int> shuffled(int n)
{
    std::vector<int> ids(size_t(n), 0);
    for (int i = 0; i < n; ++i)
        ids[size_t(i)] = i + 1;
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    return ids;
}

// Two tables store alike, but rows on a page that left the live tree belong to the one whose
// tree it left: the moved rows it still holds are that table's live rows.
TEST(CarverAttribution, FreedPageOfTwinTablesKeepsItsOwner)
{
    QTemporaryDir dir;
    // The twin first in the schema would win a tie.
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE unused(k INTEGER, v INTEGER, note TEXT)",
                                 "CREATE TABLE used(k INTEGER, v INTEGER, note TEXT)", "BEGIN"};
    for (int i = 1; i <= 600; ++i)
        sql.push_back("INSERT INTO used VALUES(" + std::to_string(i * 7) + "," + std::to_string(i * 1000003) + ",'" + tag(i) + "')");
    // Deleting most rows merges leaves and hands pages to the freelist.
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM used WHERE rowid % 5 != 0"});
    const sqlcarve::Result r = sqlcarve::carveFile(sqlfixture::build(dir, "a.db", sql));
    int fromFreelist = 0;
    std::map<std::string, int> seen;
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.table, "used") << row.values[2].bytes;
        fromFreelist += row.source == sqlcarve::Source::Freelist;
        EXPECT_NE(std::atoi(row.values[2].bytes.c_str() + 4) % 5, 0) << "live row reported: " << row.values[2].bytes;
        EXPECT_EQ(++seen[row.values[2].bytes], 1) << row.values[2].bytes;
    }
    EXPECT_GT(fromFreelist, 20);
}

// A rowid alias is stored as NULL: freed rows that fit a keyed table too, whose key may be NULL,
// are the alias table's, wherever the schema lists it.
TEST(CarverAttribution, NullFirstValueNamesTheRowidAliasTable)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE props(key TEXT, value TEXT, UNIQUE(key))",
                                 "CREATE TABLE gone(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT NOT NULL)", "BEGIN"};
    for (int i = 1; i <= 600; ++i)
        sql.push_back("INSERT INTO gone(guid) VALUES('GUID-" + std::to_string(i) + "')");
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM gone WHERE ROWID > 0"});
    const sqlcarve::Result r = sqlcarve::carveFile(sqlfixture::build(dir, "g.db", sql));
    size_t guids = 0;
    for (const auto& row : r.rows) {
        if (row.values.size() < 2 || row.values[1].bytes.rfind("GUID-", 0) != 0)
            continue;
        ++guids;
        EXPECT_EQ(row.table, "gone") << row.values[1].bytes;
    }
    EXPECT_GT(guids, 500u);
}

// A table's root keeps the cells it held as a leaf until interior cells need the room: with
// secure_delete on for the deletes, that old copy is all that is left of the first rows.
TEST(CarverAttribution, RootKeepsRowsFromBeforeItsFirstSplit)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT, n INTEGER)", "BEGIN"};
    for (int i = 1; i <= 200; ++i)
        sql.push_back("INSERT INTO t(note, n) VALUES('" + tag(i) + "'," + std::to_string(i * 31) + ")");
    sql.insert(sql.end(), {"COMMIT", "PRAGMA secure_delete=ON", "DELETE FROM t WHERE id <= 20"});
    const sqlcarve::Result r = sqlcarve::carveFile(sqlfixture::build(dir, "a.db", sql));
    int whole = 0;
    for (const auto& row : r.rows) {
        const int i = std::atoi(row.values[1].bytes.c_str() + 4);
        EXPECT_LE(i, 20) << "live row reported";
        EXPECT_EQ(row.values[1].bytes, tag(i));
        EXPECT_EQ(row.rowid, std::optional<int64_t>(i)); // read from the intact old cell
        EXPECT_FALSE(row.rowidFromIndex || row.rowidInferred);
        whole += row.values[2].kind == Value::Kind::Integer && row.values[2].integer == i * 31;
    }
    EXPECT_GE(whole, 15);
}

// An interior page's free blocks are its own freed cells (a child page and a rowid), written over
// whatever lay there: a block that holds the bytes of a freed row is still no row.
TEST(CarverAttribution, InteriorPageBlocksAreNoRows)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER)", "BEGIN"};
    for (int i = 1; i <= 300; ++i)
        sql.push_back("INSERT INTO t VALUES(" + std::to_string(i) + ", '" + tag(i) + "', " + std::to_string(i) + ")");
    sql.push_back("COMMIT");
    const std::string path = sqlfixture::build(dir, "i.db", sql);
    std::string file = sqlfixture::readAll(path);
    const size_t root = 4096; // page 2, the table's root, interior by now
    ASSERT_EQ(uint8_t(file[root]), 5);
    // A freed row (rowid 500) just below the interior cells, its first 4 bytes the block's header.
    const std::string text = "a deleted row that never was";
    const std::string record = std::string{4, 0, char(13 + 2 * text.size()), 1} + text + "\x07";
    const std::string cell = std::string{char(record.size()), char(0x83), 0x74} + record;
    const size_t content = size_t(uint8_t(file[root + 5])) << 8 | uint8_t(file[root + 6]);
    const size_t start = content - cell.size();
    file.replace(root + start, cell.size(), cell);
    file.replace(root + start, 4, std::string{0, 0, 0, char(cell.size())});
    for (size_t at : {size_t(1), size_t(5)}) {
        file[root + at] = char(start >> 8);
        file[root + at + 1] = char(start & 0xff);
    }
    sqlfixture::writeAll(path, file);
    EXPECT_EQ(sqlfixture::carved(sqlcarve::carveFile(path), "t"), std::multiset<std::string>{});
}

// A two-column table's freed rows lose their cell prefix like any other. On the table's own
// pages a record whose types survive is rebuilt (with a rowid alias, the lost first type can only
// have been NULL); one that lost a type of its two is too little to go on and is left out.
TEST(CarverAttribution, NarrowTableRowsComeBackOnItsOwnPages)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE props(key TEXT, value TEXT, UNIQUE(key))",
                                 "CREATE TABLE gone(id INTEGER PRIMARY KEY, guid TEXT NOT NULL)", "BEGIN"};
    auto key = [](int i) { return "key " + std::to_string(i) + " of the properties"; };
    auto guid = [](int i) { return "guid-" + std::to_string(i) + "-0000-1111-2222-333344445555"; };
    for (int i = 1; i <= 200; ++i)
        sql.insert(sql.end(), {"INSERT INTO props VALUES('" + key(i) + "','" + tag(i) + "')", "INSERT INTO gone(guid) VALUES('" + guid(i) + "')"});
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM props WHERE rowid % 2 = 0", "DELETE FROM gone WHERE id % 2 = 0"});
    const std::string path = sqlfixture::build(dir, "a.db", sql);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    // Page merges rewrite some freed rows away: only those whose bytes are in the file count.
    const std::string file = sqlfixture::readAll(path);
    int propsLeft = 0, goneLeft = 0, props = 0, gone = 0;
    for (int i = 2; i <= 200; i += 2) {
        propsLeft += file.find(key(i) + tag(i)) != std::string::npos;
        goneLeft += file.find(guid(i)) != std::string::npos;
    }
    for (const auto& row : r.rows) {
        const int i = std::atoi(row.values[1].bytes.c_str() + (row.table == "props" ? 4 : 5));
        EXPECT_EQ(i % 2, 0) << "live row reported";
        EXPECT_EQ(row.values[1].bytes, row.table == "props" ? tag(i) : guid(i));
        if (row.table == "props") {
            EXPECT_EQ(row.values[0].bytes, key(i));
        }
        EXPECT_EQ(row.rowid.value_or(i), i);
        (row.table == "props" ? props : gone)++;
    }
    EXPECT_GE(goneLeft, 50);
    EXPECT_EQ(gone, goneLeft);
    EXPECT_LE(props, propsLeft);
}

struct IndexCase {
    const char* name;
    std::string create; // table t with INTEGER PRIMARY KEY id and text column tag
    std::string index;  // extra statement, may be empty
    std::string freed = "id % 3 = 0";
};
void PrintTo(const IndexCase& c, std::ostream* os) { *os << c.name; }

class RowidFromIndex : public ::testing::TestWithParam<IndexCase>
{
};

// Rows deleted (every third, or runs of four whose index entries lie side by side and so are freed
// into one block): each freed cell lost its prefix, but its index entries keep the rowid. Rows go
// in out of rowid order, so their places on the page tell nothing.
TEST_P(RowidFromIndex, DeletedIndexEntryGivesTheRowid)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", GetParam().create, GetParam().index, "BEGIN"};
    for (int i : shuffled(400))
        sql.push_back("INSERT INTO t(id, tag, note, n) VALUES(" + std::to_string(i) + ", 'k" + std::to_string(i) + " guid-"
                      + std::to_string(i * 7919) + "', 'note " + std::to_string(i % 13) + " about things', " + std::to_string(i * 31) + ")");
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM t WHERE " + GetParam().freed});
    int rows = 0, withRowid = 0, fromIndex = 0, fromCell = 0; // whole cells: the old leaf cells left in a root
    for (const auto& row : sqlcarve::carveFile(sqlfixture::build(dir, "r.db", sql)).rows) {
        ++rows;
        withRowid += row.rowid.has_value();
        fromIndex += row.rowidFromIndex;
        fromCell += row.rowid && !row.rowidFromIndex && !row.rowidInferred;
        EXPECT_EQ(row.rowid.value_or(0), row.rowid ? std::stoll(row.values[1].bytes.substr(1)) : 0);
    }
    EXPECT_GE(rows, 120);
    EXPECT_GE(withRowid, rows * 97 / 100);
    EXPECT_GE(fromIndex, (rows - fromCell) * 80 / 100);
}

INSTANTIATE_TEST_SUITE_P(
    Carver, RowidFromIndex,
    ::testing::Values(
        IndexCase{"ColumnUnique", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT UNIQUE NOT NULL, note TEXT, n INTEGER)", "SELECT 1"},
        IndexCase{"TableUnique", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, note TEXT, n INTEGER, UNIQUE(n, tag))", "SELECT 1"},
        IndexCase{"CreateIndex", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, note TEXT, n INTEGER)",
                  "CREATE INDEX t_tag ON t(tag COLLATE NOCASE DESC, n)"},
        IndexCase{"RunsFreedTogether", "CREATE TABLE t(id INTEGER PRIMARY KEY, tag TEXT, note TEXT, n INTEGER)",
                  "CREATE INDEX t_tag ON t(tag)", "id % 10 < 4"}));

// Without an index, a freed row between two live cells takes the rowid missing between theirs,
// but only when it is the one missing: row 4 is too short to be read back, so row 5 could be 4 or 5.
TEST(RowidFromPosition, GapRowidOnlyWhenItIsTheOneLeft)
{
    for (bool tinyRow4 : {false, true}) {
        QTemporaryDir dir;
        std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER)"};
        for (int i = 1; i <= 10; ++i)
            sql.push_back("INSERT INTO t VALUES(" + std::to_string(i) + ", '" + (i == 4 && tinyRow4 ? "x" : tag(i)) + "', " + std::to_string(i * 1000) + ")");
        sql.push_back(tinyRow4 ? "DELETE FROM t WHERE id = 4" : "SELECT 1");
        sql.push_back("DELETE FROM t WHERE id = 5");
        const sqlcarve::Result r = sqlcarve::carveFile(sqlfixture::build(dir, "r.db", sql));
        const std::string rowid = tinyRow4 ? "?" : "5";
        EXPECT_EQ(sqlfixture::carved(r, "t"), std::multiset<std::string>{rowid + "|" + rowid + "|'" + tag(5) + "'|5000"}) << tinyRow4;
    }
}

// Structures that read as rows of a table with alike columns and are none: the pointer map of an
// auto-vacuum file, the entries of an index beside a WITHOUT ROWID table, and a whole row whose
// first value (0) is also the header size of one a column shorter. Every row reported is a
// deleted one, value for value.
struct AlikeCase {
    const char* name;
    std::vector<std::string> sql; // builds table t, rows 1 to 600 with 'row <i>' in column `text`
    size_t text;
    std::string (*row)(int i); // what carved() shows for row i
    int minRows;
};
void PrintTo(const AlikeCase& c, std::ostream* os) { *os << c.name; }

class CarverAlike : public ::testing::TestWithParam<AlikeCase>
{
};

TEST_P(CarverAlike, EveryRowReportedIsADeletedOne)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF"};
    sql.insert(sql.end(), GetParam().sql.begin(), GetParam().sql.end());
    const sqlcarve::Result r = sqlcarve::carveFile(sqlfixture::build(dir, "a.db", sql));
    int rows = 0;
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.table, "t") << sqlfixture::show(row);
        const std::string shown = sqlfixture::show(row);
        const int i = std::atoi(row.values[GetParam().text].bytes.c_str() + 4);
        // Lost values and an unknown rowid show as "?"; every other one must be the row's.
        const std::string want = GetParam().row(i);
        bool same = true;
        for (size_t a = 0, b = 0; same && (a < shown.size() || b < want.size());) {
            const size_t ae = std::min(shown.find('|', a), shown.size()), be = std::min(want.find('|', b), want.size());
            same = shown.compare(a, ae - a, "?") == 0 || shown.compare(a, ae - a, want, b, be - b) == 0;
            a = ae + 1;
            b = be + 1;
        }
        EXPECT_TRUE(same) << shown << " is not " << want;
        ++rows;
    }
    EXPECT_GE(rows, GetParam().minRows);
}

const char* const kSixHundred = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<600) ";

INSTANTIATE_TEST_SUITE_P(
    Carver, CarverAlike,
    ::testing::Values(
        AlikeCase{"PointerMapPages",
                  {"PRAGMA page_size=1024", "PRAGMA auto_vacuum=INCREMENTAL",
                   "CREATE TABLE t(a INTEGER, b INTEGER, c INTEGER, d INTEGER, e INTEGER, f INTEGER, g INTEGER, h TEXT)",
                   std::string(kSixHundred) + "INSERT INTO t SELECT i, i%2, NULL, i%3, NULL, i*1000, NULL, 'row '||i FROM n",
                   "DELETE FROM t WHERE a % 5 = 0"},
                  7,
                  [](int i) {
                      const std::string n = std::to_string(i);
                      return n + "|" + n + "|" + std::to_string(i % 2) + "|NULL|" + std::to_string(i % 3) + "|NULL|" + std::to_string(i * 1000)
                             + "|NULL|'row " + n + "'";
                  },
                  100},
        AlikeCase{"HeaderSizeReadAsAType",
                  {"CREATE TABLE t(a INTEGER, b INTEGER, c INTEGER, d, e INTEGER, f TEXT, g TEXT)",
                   std::string(kSixHundred) + "INSERT INTO t SELECT i%2, 1, -3, NULL, -5, NULL, 'row '||i||' " + std::string(60, '.') + "' FROM n",
                   "DELETE FROM t WHERE rowid % 3 = 0"},
                  6,
                  [](int i) {
                      const std::string n = std::to_string(i);
                      return n + "|" + std::to_string(i % 2) + "|1|-3|NULL|-5|NULL|'row " + n + " " + std::string(60, '.') + "'";
                  },
                  180},
        AlikeCase{"IndexEntriesBesideAWithoutRowidTable",
                  {"CREATE TABLE w(k PRIMARY KEY, name TEXT, r REAL) WITHOUT ROWID", "CREATE TABLE t(x REAL, y TEXT, z INTEGER)",
                   "CREATE INDEX t_xy ON t(x, y)", "INSERT INTO w VALUES(7, 'key', 1.5)",
                   std::string(kSixHundred) + "INSERT INTO t SELECT -i, 'row '||i, i FROM n", "DELETE FROM t WHERE z % 3 = 0"},
                  1,
                  [](int i) {
                      const std::string n = std::to_string(i);
                      return n + "|-" + n + "|'row " + n + "'|" + n;
                  },
                  180}));

} // namespace
