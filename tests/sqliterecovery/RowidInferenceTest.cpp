#include "RecoveryScore.h"
#include "SqlFixture.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using sqlrecovery::PlacedRow;

// ---- the assignment rule on its own ----------------------------------------------------------

namespace {

struct AssignCase {
    const char* name;
    std::vector<PlacedRow> rows;
    std::set<int64_t> taken;
    std::set<int64_t> orphanKeys;
    std::map<size_t, int64_t> want;
};

using P = PlacedRow; // row, lower, upper, order, ranked

} // namespace

TEST(RowidInference, AssignsOnlyWhereOneAnswerIsLeft)
{
    const int64_t big = std::numeric_limits<int64_t>::max();
    const AssignCase cases[] = {
        {"one free rowid between live neighbours", {P{0, 4, 6}}, {4, 6}, {}, {{0, 5}}},
        {"rows sharing a slot take its free rowids in insertion order",
         {P{0, 1, 5, 20}, P{1, 1, 5, 10}, P{2, 1, 5, 30}}, {1, 5}, {}, {{1, 2}, {0, 3}, {2, 4}}},
        {"more free rowids than rows: unknown", {P{0, 1, 5}}, {1, 5}, {}, {}},
        {"a rowid held by a carved row is not free", {P{0, 1, 5}}, {1, 2, 4, 5}, {}, {{0, 3}}},
        {"orphan keys decide an ambiguous slot", {P{0, 1, 9}}, {1, 9}, {6}, {{0, 6}}},
        {"two orphan keys for one row: unknown", {P{0, 1, 9}}, {1, 9}, {3, 6}, {}},
        {"rows without order share no slot", {P{0, 1, 4, 0, false}, P{1, 1, 4, 0, false}}, {1, 4}, {}, {}},
        {"a lone row without order still fits a slot", {P{0, 1, 3, 0, false}}, {1, 3}, {}, {{0, 2}}},
        {"narrow slots claim first", {P{0, 0, 10}, P{1, 3, 5}}, {1, 2, 3, 5, 6, 8, 9}, {}, {{1, 4}, {0, 7}}},
        {"leftover rows pair with leftover orphan keys in order",
         {P{0, 0, big, 1}, P{1, 0, big, 2}}, {}, {40, 12}, {{0, 12}, {1, 40}}},
        {"an orphan key outside every row's bounds pairs nothing", {P{0, 0, 10}, P{1, 20, 30}}, {}, {15, 25}, {{1, 25}}},
        {"counts that differ pair nothing", {P{0, 0, big, 1}, P{1, 0, big, 2}}, {}, {7}, {}},
    };
    for (const AssignCase& c : cases) {
        const auto got = sqlrecovery::assignRowids(c.rows, [&](int64_t x) { return c.taken.count(x) != 0; }, c.orphanKeys);
        EXPECT_EQ(got, c.want) << c.name;
    }
}

// The newest row lies above every live rowid: only an AUTOINCREMENT table's sqlite_sequence
// bounds it from above, and then its rowid is the one left free.
TEST(RowidInference, NewestDeletedRowIsBoundedBySqliteSequence)
{
    for (const char* key : {"INTEGER PRIMARY KEY AUTOINCREMENT", "INTEGER PRIMARY KEY"}) {
        QTemporaryDir dir;
        std::vector<std::string> sql{"PRAGMA secure_delete=OFF", std::string("CREATE TABLE m(id ") + key + ", body TEXT)"};
        for (int i = 1; i <= 10; ++i)
            sql.push_back("INSERT INTO m(body) VALUES('message " + std::to_string(i) + " of the table')");
        sql.push_back("DELETE FROM m WHERE id = 10");
        const QString db = QString::fromStdString(sqlfixture::build(dir, "m.db", sql));
        sqlcarve::Result carved = sqlcarve::carveFile(db.toStdString(), sqlrecovery::carveOptions(0));
        for (sqlcarve::CarvedRow& row : carved.rows) { // as if a freeblock header had taken the cell's prefix
            row.rowid.reset();
            row.values[0].kind = sqlcarve::Value::Kind::Lost;
        }
        sqlrecovery::LiveDb live(db);
        sqlrecovery::ScanContext ctx(carved, live);
        ctx.inferRowids("m");
        ASSERT_EQ(ctx.table("m").rows.size(), 1u) << key;
        std::vector<int64_t> got;
        for (const auto& entry : ctx.table("m").inferred)
            got.push_back(entry.second);
        EXPECT_EQ(got, std::string(key).find("AUTO") != std::string::npos ? std::vector<int64_t>{10} : std::vector<int64_t>{})
            << key;
    }
}

// ---- the gain on real carved files -----------------------------------------------------------
//
// The carver brings back many rowids whose cell prefix was overwritten (from index entries and
// positions). Here every main-file row of the join tables loses its rowid again, as when neither
// survives, and the mapping must work the rowids out itself: never a wrong one, and more whole
// records than without.

namespace {

struct GainCase {
    int type;
    int ios;
    iosrecgen::Journal journal;
    std::vector<const char*> tables; // tables whose rows lose their rowid
    int minRegained;                 // rowids worked out again, at least
};
void PrintTo(const GainCase& c, std::ostream* os)
{
    *os << iosrecgen::databaseName(c.type, c.ios).section('.', 0, 0).toStdString() << "_ios" << c.ios << "_"
        << (c.journal == iosrecgen::Journal::Persist ? "persist" : "rollback");
}

// Children whose keys point at each table, as the mappers use them.
const std::map<std::string, std::vector<std::pair<const char*, const char*>>> kChildren = {
    {"ABPerson", {{"ABMultiValue", "record_id"}}},
    {"ABMultiValue", {{"ABMultiValueEntry", "parent_id"}}},
    {"message", {{"msg_pieces", "message_id"}, {"chat_message_join", "message_id"}}},
    {"handle", {{"message", "handle_id"}}},
    {"ZNOTE", {{"ZNOTEBODY", "ZOWNER"}}},
    {"ZNOTEBODY", {{"ZNOTE", "ZBODY"}}},
    {"Location", {{"CalendarItem", "location_id"}}},
    {"CalendarItem", {{"Location", "item_owner_id"}}},
};

class RowidInferenceGain : public ::testing::TestWithParam<GainCase>
{
};

TEST_P(RowidInferenceGain, WorksOutLostRowidsAndNeverAWrongOne)
{
    const GainCase c = GetParam();
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.iosMajor = c.ios;
    o.journal = c.journal;
    iosrecgen::Expected truth;
    const QString db = iosrecgen::generate(c.type, dir.path(), o, &truth);
    ASSERT_FALSE(db.isEmpty());
    sqlcarve::Result carved = sqlcarve::carveFile(db.toStdString(), sqlrecovery::carveOptions(c.type));
    std::map<const sqlcarve::CarvedRow*, int64_t> lostRowid;
    for (sqlcarve::CarvedRow& row : carved.rows) {
        const bool mainFile = row.source == sqlcarve::Source::Freeblock || row.source == sqlcarve::Source::Unallocated
                              || row.source == sqlcarve::Source::Freelist;
        if (!mainFile || !row.rowid || std::none_of(c.tables.begin(), c.tables.end(), [&](const char* t) { return row.table == t; }))
            continue;
        lostRowid[&row] = *row.rowid;
        row.rowid.reset();
        for (const sqlcarve::Table& t : carved.tables)
            for (size_t i = 0; t.name == row.table && i < t.columns.size() && i < row.values.size(); ++i)
                if (t.columns[i].rowidAlias)
                    row.values[i].kind = sqlcarve::Value::Kind::Lost;
    }

    int regained = 0;
    {
        sqlrecovery::LiveDb live(db);
        sqlrecovery::ScanContext ctx(carved, live);
        for (const char* table : c.tables) {
            const auto& children = kChildren.at(table);
            if (children.size() == 2)
                ctx.inferRowids(table, {children[0], children[1]});
            else
                ctx.inferRowids(table, {children[0]});
            for (const auto& [row, rowid] : ctx.table(table).inferred) {
                auto it = lostRowid.find(row);
                if (it == lostRowid.end())
                    continue; // a row the carver could not place either
                ++regained;
                EXPECT_EQ(rowid, it->second) << table;
            }
        }
    }
    auto scoreOf = [&](bool infer) {
        sqlrecovery::RecordStore store;
        sqlrecovery::mapType(c.type, carved, db, store, infer);
        return score(expectedItems(c.type, truth), reportedItems(c.type, store), truth.liveTexts);
    };
    const Score before = scoreOf(false), after = scoreOf(true);
    EXPECT_GE(regained, c.minRegained) << lostRowid.size() << " lost";
    EXPECT_GE(after.whole, before.whole);
    EXPECT_GE(after.precision(), before.precision());
    EXPECT_EQ(after.liveReported, 0);
}

using iosrecgen::Journal;
INSTANTIATE_TEST_SUITE_P(RollbackAndPersist, RowidInferenceGain,
                         ::testing::Values(GainCase{0, 8, Journal::Rollback, {"ABPerson", "ABMultiValue"}, 1},
                                           GainCase{0, 8, Journal::Persist, {"ABPerson", "ABMultiValue"}, 1},
                                           GainCase{1, 5, Journal::Rollback, {"message"}, 1},
                                           GainCase{1, 5, Journal::Persist, {"message"}, 1},
                                           GainCase{1, 8, Journal::Rollback, {"message", "handle"}, 0},
                                           GainCase{1, 8, Journal::Persist, {"message", "handle"}, 0},
                                           GainCase{3, 8, Journal::Rollback, {"CalendarItem", "Location"}, 0},
                                           GainCase{3, 8, Journal::Persist, {"CalendarItem", "Location"}, 0},
                                           GainCase{4, 8, Journal::Rollback, {"ZNOTE", "ZNOTEBODY"}, 1},
                                           GainCase{4, 8, Journal::Persist, {"ZNOTE", "ZNOTEBODY"}, 1}));

} // namespace
