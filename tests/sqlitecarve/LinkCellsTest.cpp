#include "../../lib/sqlitecarve/LinkCells_p.h"
#include "SqlFixture.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QTemporaryDir>

#include <set>

namespace {

using Pair = std::pair<int64_t, int64_t>;

std::set<Pair> salvaged(const QByteArray& page, int64_t topA, int64_t topB)
{
    std::set<Pair> out;
    const auto check = [=](int64_t a, int64_t b) { return a > 0 && b > 0 && a <= topA && b <= topB; };
    for (const auto& row : sqlcarve::salvageLinkCells(reinterpret_cast<const uint8_t*>(page.constData()), uint32_t(page.size()), false, check))
        out.emplace(row.a, row.b);
    return out;
}

// Every deleted row of a link table comes back from what its freed cell kept, whatever the
// freeblock header overwrote (one-, two- and three-byte rowids; one- to four-byte values), in
// single and merged freeblocks and in freeblocks folded into the unallocated space; live rows and
// values beyond what the tables could hold never come out.
TEST(LinkSalvage, DeletedLinkRowsComeBackFromTheirFreedCells)
{
    const std::vector<int> everyThird = {1, 4, 7, 10, 13, 16, 19, 22, 25, 28};
    const std::vector<int> runs = {3, 4, 5, 6, 20, 21, 22, 35, 36};
    const std::vector<int> lowest = {39, 38, 30, 29}; // the last inserted: at the content start
    const struct {
        const char* name;
        int64_t firstA, bScale, firstRowid; // 40 rows, a from firstA up, b = a * bScale
        std::vector<int> deleted;           // indexes into insertion order, one statement each
    } cases[] = {
        {"small ids, every third", 1, 2, 1, everyThird},
        {"small ids, runs", 1, 2, 1, runs},
        {"small ids, lowest cells", 1, 2, 1, lowest},
        {"two-byte rowids", 1, 3, 300, runs},
        {"three-byte rowids", 5, 1, 20000, everyThird},
        {"wide values", 200, 1000, 1, runs},
        {"wide values, lowest cells", 40000, 700, 500, lowest},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE link (a INTEGER, b INTEGER, UNIQUE(a, b))", "BEGIN"};
        for (int i = 0; i < 40; ++i)
            sql.push_back("INSERT INTO link (rowid, a, b) VALUES (" + std::to_string(c.firstRowid + i) + ", " + std::to_string(c.firstA + i)
                          + ", " + std::to_string((c.firstA + i) * c.bScale) + ")");
        sql.push_back("COMMIT");
        std::set<Pair> deleted;
        for (int i : c.deleted) {
            sql.push_back("DELETE FROM link WHERE a = " + std::to_string(c.firstA + i));
            deleted.emplace(c.firstA + i, (c.firstA + i) * c.bScale);
        }
        // The table's root is page 2.
        const QByteArray page = QByteArray::fromStdString(sqlfixture::readAll(sqlfixture::build(dir, "l.db", sql)).substr(4096, 4096));
        const int64_t topA = c.firstA + 40, topB = topA * c.bScale;
        EXPECT_EQ(salvaged(page, topA, topB), deleted) << c.name;
        // Bounds that rule the values out leave nothing, not a misread neighbour.
        EXPECT_TRUE(salvaged(page, c.firstA - 1, topB).empty()) << c.name;
    }
}

// A freed region of nine bytes reads as (5, 7) behind a two-byte rowid, or as (132352, 7)
// behind a one-byte rowid: it is read only when the tables' bounds rule one reading out.
TEST(LinkSalvage, RegionThatParsesTwoWaysIsReadOnlyWhenBoundsDecide)
{
    QByteArray page(4096, '\0');
    page[0] = char(13);
    page[1] = page[5] = char(4000 >> 8); // first freeblock and content start
    page[2] = page[6] = char(4000 & 0xff);
    const char region[] = {0, 0, 0, 9, 1, 2, 5, 0, 7};
    page.replace(4000, 9, QByteArray(region, 9));
    EXPECT_EQ(salvaged(page, 1000, 1000), (std::set<Pair>{{5, 7}}));
    EXPECT_TRUE(salvaged(page, 200000, 1000).empty());
    EXPECT_TRUE(salvaged(page, 4, 1000).empty());
}

TEST(LinkSalvage, OtherPagesAndNoiseGiveNothing)
{
    QByteArray noise(4096, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) ^ (i >> 3));
    QByteArray leafOfNoise = noise; // content start 256: the rest is unallocated noise
    leafOfNoise[0] = char(13);
    leafOfNoise.replace(3, 4, QByteArray("\x00\x00\x01\x00", 4));
    // A freed region of 0xff bytes once kept the type loop from ending.
    QByteArray allOnes(4096, '\0');
    allOnes[0] = char(13);
    allOnes[1] = allOnes[5] = char(4000 >> 8);
    allOnes[2] = allOnes[6] = char(4000 & 0xff);
    allOnes.replace(4000, 96, QByteArray(96, char(0xff)));
    allOnes[4002] = 0;
    allOnes[4003] = char(96);
    for (const QByteArray& page : {noise, leafOfNoise, QByteArray(100, '\0'), allOnes})
        EXPECT_TRUE(salvaged(page, 999, 999).empty());
}

} // namespace

namespace {

// Link rows deleted since the last checkpoint live only in the -wal's page images; they come back
// from there, and never twice nor while live.
TEST(LinkSalvage, RowsFreedSinceTheCheckpointComeBackFromWalFrames)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA journal_mode=WAL", "PRAGMA secure_delete=OFF",
                                 "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY, guid TEXT)",
                                 "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT)",
                                 "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER, UNIQUE(chat_id, message_id))",
                                 "BEGIN"};
    for (int i = 1; i <= 5; ++i)
        sql.push_back("INSERT INTO chat (guid) VALUES ('chat" + std::to_string(i) + "')");
    for (int i = 1; i <= 100; ++i) {
        sql.push_back("INSERT INTO message (text) VALUES ('message number " + std::to_string(i) + "')");
        if (i <= 60)
            sql.push_back("INSERT INTO chat_message_join VALUES (" + std::to_string(1 + i % 5) + ", " + std::to_string(i) + ")");
    }
    sql.push_back("COMMIT");
    sql.push_back("PRAGMA wal_checkpoint(TRUNCATE)");
    // Rows added and deleted in one transaction since then: no image ever held them whole.
    sql.push_back("BEGIN");
    for (int i = 61; i <= 100; ++i)
        sql.push_back("INSERT INTO chat_message_join VALUES (" + std::to_string(1 + i % 5) + ", " + std::to_string(i) + ")");
    std::set<Pair> deleted;
    for (int i : {63, 64, 65, 66, 80, 81, 82, 95, 96, 100, 99, 91}) {
        sql.push_back("DELETE FROM chat_message_join WHERE message_id = " + std::to_string(i));
        deleted.emplace(1 + i % 5, i);
    }
    sql.push_back("COMMIT");
    const std::string db = sqlfixture::build(dir, "sms.db", sql, true);
    ASSERT_GT(sqlfixture::readAll(db + "-wal").size(), 32u);

    sqlcarve::Options opt;
    opt.links = {{"chat_message_join", "chat", "message"}};
    std::set<Pair> fromWal, all;
    for (const sqlcarve::CarvedRow& row : sqlcarve::carveFile(db, opt).rows) {
        if (row.table != "chat_message_join" || row.values.size() != 2 || row.values[0].kind != sqlcarve::Value::Kind::Integer)
            continue;
        const Pair p{row.values[0].integer, row.values[1].integer};
        EXPECT_TRUE(all.insert(p).second) << "reported twice: " << p.first << "," << p.second;
        if (row.salvaged && row.source == sqlcarve::Source::Wal)
            fromWal.insert(p);
    }
    EXPECT_EQ(all, deleted);
    EXPECT_FALSE(fromWal.empty());
}

} // namespace
