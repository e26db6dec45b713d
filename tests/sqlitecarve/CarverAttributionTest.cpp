// Which table a carved row is reported under, and rows that only sit where no leaf is: freed
// pages of tables that share a layout, a table's root after its first split, narrow tables whose
// cell prefix a freeblock header overwrote.

#include "carvegen.h"
#include "SqlFixture.h"
#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using sqlcarve::Value;

std::string makeDb(const QTemporaryDir& dir, const std::vector<std::string>& sql)
{
    return sqlfixture::build(dir, "a.db", sql);
}

// Texts of column `col` of table `table` among the carved rows, with how often each came back.
std::map<std::string, int> carvedTexts(const sqlcarve::Result& r, const std::string& table, size_t col)
{
    std::map<std::string, int> out;
    for (const auto& row : r.rows)
        if (row.table == table && row.values.size() > col && row.values[col].kind == Value::Kind::Text)
            ++out[row.values[col].bytes];
    return out;
}

std::string tag(int i) { return "row " + std::to_string(i) + " of the twin that was used"; }

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
    sql.push_back("COMMIT");
    // Deleting most rows merges leaves and hands pages to the freelist.
    sql.push_back("DELETE FROM used WHERE rowid % 5 != 0");
    const sqlcarve::Result r = sqlcarve::carveFile(makeDb(dir, sql));
    ASSERT_TRUE(r.ok);
    int fromFreelist = 0;
    for (const auto& row : r.rows) {
        EXPECT_NE(row.table, "unused") << row.values[2].bytes;
        fromFreelist += row.table == "used" && row.source == sqlcarve::Source::Freelist;
    }
    EXPECT_GT(fromFreelist, 20);
    const auto got = carvedTexts(r, "used", 2);
    for (const auto& [text, n] : got) {
        const int i = std::atoi(text.c_str() + 4);
        EXPECT_NE(i % 5, 0) << "live row reported: " << text;
        EXPECT_EQ(n, 1) << text;
    }
}

// A table's root keeps the cells it held as a leaf until interior cells need the room: with
// secure_delete on for the deletes, that old copy is all that is left of the first rows.
TEST(CarverAttribution, RootKeepsRowsFromBeforeItsFirstSplit)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT, n INTEGER)", "BEGIN"};
    for (int i = 1; i <= 200; ++i)
        sql.push_back("INSERT INTO t(note, n) VALUES('" + tag(i) + "'," + std::to_string(i * 31) + ")");
    sql.push_back("COMMIT");
    sql.push_back("PRAGMA secure_delete=ON");
    sql.push_back("DELETE FROM t WHERE id <= 20");
    const sqlcarve::Result r = sqlcarve::carveFile(makeDb(dir, sql));
    ASSERT_TRUE(r.ok);
    int whole = 0;
    for (const auto& row : r.rows) {
        if (row.table != "t")
            continue;
        ASSERT_EQ(row.values.size(), 3u);
        ASSERT_EQ(row.values[1].kind, Value::Kind::Text);
        const int i = std::atoi(row.values[1].bytes.c_str() + 4);
        EXPECT_LE(i, 20) << "live row reported";
        EXPECT_EQ(row.values[1].bytes, tag(i));
        ASSERT_TRUE(row.rowid.has_value());
        EXPECT_EQ(*row.rowid, i); // read from the intact old cell
        EXPECT_FALSE(row.rowidFromIndex || row.rowidInferred);
        whole += row.values[2].kind == Value::Kind::Integer && row.values[2].integer == i * 31;
    }
    EXPECT_GE(whole, 15);
}

// A two-column table's freed rows lose their cell prefix like any other. On the table's own
// pages a record whose types survive is rebuilt (with a rowid alias, the lost first type can only
// have been NULL); one that lost a type of its two is too little to go on and is left out.
TEST(CarverAttribution, NarrowTableRowsComeBackOnItsOwnPages)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE props(key TEXT, value TEXT, UNIQUE(key))",
                                 "CREATE TABLE gone(id INTEGER PRIMARY KEY, guid TEXT NOT NULL)", "BEGIN"};
    for (int i = 1; i <= 200; ++i) {
        sql.push_back("INSERT INTO props VALUES('key " + std::to_string(i) + " of the properties','" + tag(i) + "')");
        sql.push_back("INSERT INTO gone(guid) VALUES('guid-" + std::to_string(i) + "-0000-1111-2222-333344445555')");
    }
    sql.push_back("COMMIT");
    sql.push_back("DELETE FROM props WHERE rowid % 2 = 0");
    sql.push_back("DELETE FROM gone WHERE id % 2 = 0");
    const std::string path = makeDb(dir, sql);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    // Page merges rewrite some freed rows away: only those whose bytes are in the file count.
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int propsLeft = 0, goneLeft = 0;
    for (int i = 2; i <= 200; i += 2) {
        propsLeft += file.find("key " + std::to_string(i) + " of the properties" + tag(i)) != std::string::npos;
        goneLeft += file.find("guid-" + std::to_string(i) + "-0000-1111-2222-333344445555") != std::string::npos;
    }
    int props = 0, gone = 0;
    for (const auto& row : r.rows) {
        if (row.table == "props") {
            ASSERT_EQ(row.values[1].kind, Value::Kind::Text);
            const int i = std::atoi(row.values[1].bytes.c_str() + 4);
            EXPECT_EQ(i % 2, 0) << "live row reported";
            EXPECT_EQ(row.values[1].bytes, tag(i));
            EXPECT_EQ(row.values[0].bytes, "key " + std::to_string(i) + " of the properties");
            ++props;
        } else if (row.table == "gone") {
            ASSERT_EQ(row.values[1].kind, Value::Kind::Text);
            const int i = std::atoi(row.values[1].bytes.c_str() + 5);
            EXPECT_EQ(i % 2, 0) << "live row reported";
            EXPECT_EQ(row.values[1].bytes, "guid-" + std::to_string(i) + "-0000-1111-2222-333344445555");
            if (row.rowid) {
                EXPECT_EQ(*row.rowid, i);
            }
            ++gone;
        }
    }
    EXPECT_GE(goneLeft, 50);
    EXPECT_EQ(gone, goneLeft);
    EXPECT_LE(props, propsLeft);
}

// A rowid that came back after its table's last rows were deleted names two rows: a carved row
// equal to the deleted one is scored correct, not junk.
TEST(CarverAttribution, ScoreMatchesAReusedRowidToEveryRowThatHadIt)
{
    carvegen::GroundTruth truth;
    carvegen::GenRow deleted, live;
    deleted.table = live.table = "t";
    deleted.rowid = live.rowid = 1;
    deleted.deleted = deleted.survives = deleted.scored = true;
    Value a, b;
    a.kind = b.kind = Value::Kind::Text;
    a.bytes = "the deleted row's text, long enough";
    b.bytes = "the row that took its rowid afterwards";
    deleted.values = {a};
    live.values = {b};
    truth.rows = {deleted, live};
    sqlcarve::CarvedRow row;
    row.table = "t";
    row.rowid = 1;
    row.values = {a};
    const carvegen::Score s = carvegen::score(truth, {row});
    EXPECT_EQ(s.total.correct, 1);
    EXPECT_EQ(s.all.whole, 1);
    row.values = {b};
    EXPECT_EQ(carvegen::score(truth, {row}).total.live, 1);
}

} // namespace
