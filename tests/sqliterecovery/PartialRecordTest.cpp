// Records built from deleted rows newer data overwrote in part say so, and keep what survived:
// of a note body cut short, the text up to the cut.
#include "RecoveryFixture.h"
#include "TestSupport.h"

#include "NoteStoreBody.h"
#include "RecoveryConverters.h"

#include <QFile>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using Kind = sqlcarve::Value::Kind;

struct LostCase {
    int type, ios;
    const char *table, *column;
    size_t keep; // > 0: a text that keeps its first `keep` bytes, as one cut short does
};
void PrintTo(const LostCase& c, std::ostream* os) { *os << c.table << "_" << c.column << "_ios" << c.ios; }

std::pair<int, size_t> partialAndAll(const sqlrecovery::RecordStore& s)
{
    std::pair<int, size_t> n{0, 0};
    auto add = [&](const auto& list) {
        n.second += list.size();
        for (const auto& r : list)
            n.first += r.partial ? 1 : 0;
    };
    add(s.contacts), add(s.calls), add(s.calendars), add(s.reminders), add(s.notes), add(s.bookmarks);
    return n;
}

class PartialRecord : public ::testing::TestWithParam<LostCase>
{
};

// One value of one deleted row lost: the record built from it, and only that one, is partial;
// none is dropped for it.
TEST_P(PartialRecord, RecordOfARowThatLostAValueIsPartial)
{
    const LostCase c = GetParam();
    recoverytest::OracleFixture f(c.type, c.ios);
    const sqlrecovery::RecordStore whole = f.map(c.type);
    ASSERT_EQ(partialAndAll(whole).first, 0);
    const size_t col = f.column(c.table, c.column);
    ASSERT_NE(col, SIZE_MAX);
    // A row of a deleted record (not an earlier version of a live one) with a value to lose.
    sqlrecovery::LiveDb live(f.db);
    const auto rows = f.rowsOf(c.table);
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const sqlcarve::CarvedRow* r) {
        const sqlcarve::Value& v = r->values[col];
        return !live.hasRowid(c.table, r->rowid.value_or(0)) && v.kind != Kind::Null
            && (!c.keep || (v.kind == Kind::Text && v.bytes.size() > c.keep));
    });
    ASSERT_NE(row, rows.end());
    const std::string start = (*row)->values[col].bytes.substr(0, c.keep);
    (*row)->values[col] = {Kind::Lost, 0, 0.0, c.keep ? start : std::string(), c.keep ? Kind::Text : Kind::Null};

    const sqlrecovery::RecordStore cut = f.map(c.type);
    EXPECT_EQ(partialAndAll(cut), std::make_pair(1, partialAndAll(whole).second));
    for (const NoteRecord& n : cut.notes)
        EXPECT_TRUE(!c.keep || !n.partial || n.content == QString::fromStdString(start)) << n.content.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    EachMapping, PartialRecord,
    ::testing::Values(LostCase{0, 8, "ABPerson", "Department", 0}, LostCase{0, 5, "ABMultiValue", "label", 0},
                      LostCase{2, 8, "call", "duration", 0}, LostCase{3, 8, "CalendarItem", "description", 0},
                      LostCase{3, 4, "Event", "description", 0}, LostCase{4, 8, "ZNOTE", "ZCREATIONDATE", 0},
                      LostCase{4, 8, "ZNOTEBODY", "ZCONTENT", 12}, LostCase{4, 4, "note_bodies", "data", 12},
                      LostCase{5, 8, "bookmarks", "external_uuid", 0}));

// A NoteStore body whose end newer data took still gives the note's text up to the cut: at 150
// bytes inside the text (the stream's code tables take the first hundred), 8 before the end only
// the check sum is gone.
TEST(PartialRecord, NoteStoreBodyCutShortReadsUpToTheCut)
{
    QFile file(QStringLiteral(IBR_TEST_DATA_DIR "/notestore/emoji_formatting_1_gzipped.bin"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray body = file.readAll();
    QString error;
    const QString full = notestore::bodyText(body, &error);
    sqlcarve::Result carved;
    carved.tables.push_back({"ZICNOTEDATA", 2, false, {{"Z_PK", "INTEGER", true}, {"ZNOTE", "INTEGER"}, {"ZDATA", "BLOB"}}});
    for (const qsizetype cutAt : {qsizetype(150), body.size() - 8}) {
        sqlcarve::CarvedRow row;
        row.table = "ZICNOTEDATA";
        row.rowid = 1;
        row.values = {{Kind::Integer, 1, 0.0, {}, Kind::Null}, {}, {Kind::Lost, 0, 0.0, body.left(cutAt).toStdString(), Kind::Blob}};
        carved.rows = {row};
        sqlrecovery::RecordStore store;
        sqlrecovery::mapType(4, carved, QString(), store);
        ASSERT_EQ(store.notes.size(), 1u);
        EXPECT_TRUE(store.notes[0].partial);
        const QString text = noteTextUpToCut(store.notes[0].compressedBody);
        EXPECT_FALSE(text.isEmpty()) << cutAt;
        EXPECT_TRUE(full.startsWith(text)) << cutAt << ": " << text.toStdString();
        EXPECT_EQ(text.size() < full.size(), cutAt == 150) << cutAt;
    }
}

} // namespace
