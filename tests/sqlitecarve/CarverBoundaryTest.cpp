// Exact answers at the carver's boundaries: which -wal frames count as committed, how a
// -journal is read whatever its header says, varints at their longest and at a buffer's end,
// payloads at the local maximum. Each case names the rows that must come back, and no others.

#include "../../lib/sqlitecarve/Format_p.h"
#include "../../lib/sqlitecarve/Records_p.h"
#include "../../lib/sqlitecarve/Text_p.h"
#include "SqlFixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>

namespace {

using sqlfixture::build;
using sqlfixture::carved;
using Rows = std::multiset<std::string>;

// Row i of table t (long past 10, to fill pages) as inserted and as carved.
std::string text(int i) { return "row " + std::to_string(i) + " " + std::string(i > 10 ? 300 : 20, 'x'); }
std::string insert(int i) { return "INSERT INTO t VALUES(" + std::to_string(i) + ", '" + text(i) + "', " + std::to_string(i * 1000) + ")"; }
Rows shown(std::vector<int> ids)
{
    Rows out;
    for (int i : ids)
        out.insert(std::to_string(i) + "|" + std::to_string(i) + "|'" + text(i) + "'|" + std::to_string(i * 1000));
    return out;
}

const std::string kTable = "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER)";
constexpr size_t kPage = 4096;

size_t lastFrame(const std::string& wal) { return wal.size() - 24 - kPage; }

struct WalCase {
    const char* name;
    std::vector<std::string> before, after; // around rows 1-10, each inserted in its own commit
    void (*damage)(std::string& wal);
    std::vector<int> deleted;
    const char* warning = nullptr; // names the damaged frame
    std::vector<int> unapplied = {}; // of the deleted, those read from frames SQLite does not apply
};
void PrintTo(const WalCase& c, std::ostream* os) { *os << c.name; }

class CarverWal : public ::testing::TestWithParam<WalCase>
{
};

TEST_P(CarverWal, CommittedFramesDecideWhatWasDeleted)
{
    const WalCase& c = GetParam();
    QTemporaryDir dir;
    std::vector<std::string> sql = c.before;
    sql.insert(sql.end(), {"PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0", kTable});
    for (int i = 1; i <= 10; ++i)
        sql.push_back(insert(i));
    sql.insert(sql.end(), c.after.begin(), c.after.end());
    const std::string path = build(dir, "w.db", sql, true);
    std::string wal = sqlfixture::readAll(path + "-wal");
    if (c.damage)
        c.damage(wal), sqlfixture::writeAll(path + "-wal", wal);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    EXPECT_EQ(carved(r, "t"), shown(c.deleted));
    for (const auto& row : r.rows) {
        EXPECT_EQ(row.source, sqlcarve::Source::Wal);
        EXPECT_EQ(row.unapplied, std::count(c.unapplied.begin(), c.unapplied.end(), row.values[0].integer) == 1) << row.values[0].integer;
    }
    if (c.warning) {
        EXPECT_TRUE(sqlfixture::warned(r, c.warning)) << c.warning;
    } else {
        EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    }
}

const std::vector<std::string> kDeleteTwice = {"PRAGMA secure_delete=OFF", "PRAGMA wal_checkpoint(TRUNCATE)",
                                               "DELETE FROM t WHERE id = 3", "DELETE FROM t WHERE id = 5"};

std::vector<std::string> growThenShrink()
{
    std::vector<std::string> sql{"PRAGMA wal_checkpoint(TRUNCATE)", "BEGIN"};
    for (int i = 11; i <= 40; ++i)
        sql.push_back(insert(i));
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM t WHERE id > 10"});
    return sql;
}

// Rows 11 to 30 inserted (over several pages) and row 3 deleted in one transaction.
std::vector<std::string> oneLongTransaction()
{
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "PRAGMA wal_checkpoint(TRUNCATE)", "BEGIN", "DELETE FROM t WHERE id = 3"};
    for (int i = 11; i <= 30; ++i)
        sql.push_back(insert(i));
    sql.push_back("COMMIT");
    return sql;
}

std::vector<int> range(int from, int to)
{
    std::vector<int> out;
    for (int i = from; i <= to; ++i)
        out.push_back(i);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Carver, CarverWal,
    ::testing::Values(
        WalCase{"deleted_in_last_transaction", {}, kDeleteTwice, nullptr, {3, 5}},
        // The last transaction does not count: row 5 is live.
        WalCase{"checksum_break", {}, kDeleteTwice, [](std::string& w) { w[lastFrame(w) + 24 + 1000] ^= 1; }, {3},
                "frame 2 (page 2): checksum mismatch"},
        WalCase{"salt_change", {}, kDeleteTwice, [](std::string& w) { w[lastFrame(w) + 8] ^= 1; }, {3},
                "frame 2 (page 2): salt differs"},
        WalCase{"frame_for_a_page_past_the_end", {}, kDeleteTwice, [](std::string& w) { sqlfixture::put32(w, lastFrame(w), 70000); }, {3},
                "frame 2 names page 70000"},
        // Secure delete leaves the rows only in older frames; the old version of an updated row is
        // no deleted row.
        WalCase{"older_frames_only", {}, {"PRAGMA secure_delete=ON", "DELETE FROM t WHERE id > 7", "UPDATE t SET b = 1 WHERE id = 1"}, nullptr, {8, 9, 10}},
        // Auto-vacuum truncates the database: the frames of the pages past its end hold the rows.
        WalCase{"frames_past_the_end", {"PRAGMA auto_vacuum=FULL"}, growThenShrink(), nullptr, range(11, 40)},
        // Never committed, so neither live nor deleted: the rows of the frames left before the
        // commit frame was cut off (rows 22 to 30 went with it). Row 3 is live in the file.
        WalCase{"cut_before_its_commit", {}, oneLongTransaction(), [](std::string& w) { w.resize(w.size() - 100); }, range(11, 21),
                nullptr, range(11, 21)},
        // Frames of the generation past a damaged one were never applied either.
        WalCase{"past_a_checksum_break", {}, oneLongTransaction(), [](std::string& w) { w[32 + 24 + 1000] ^= 1; }, range(11, 30),
                "frame 1 (page 1): checksum mismatch", range(11, 30)}));

struct JournalCase {
    const char* name;
    uint32_t sectorSize, pageSize; // written into a valid header; 0, 0: the header PERSIST zeroed
    const char* warning;
};
void PrintTo(const JournalCase& c, std::ostream* os) { *os << c.name; }

class CarverJournal : public ::testing::TestWithParam<JournalCase>
{
};

// Secure delete wipes the rows from the database: only the journal's page images keep them.
// Table u's page is journaled first, so t's page is not the first record.
TEST_P(CarverJournal, RecordsAreFoundWhateverTheHeaderSays)
{
    const JournalCase& c = GetParam();
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA journal_mode=PERSIST", kTable, "CREATE TABLE u(x)", "INSERT INTO u VALUES(1)"};
    for (int i = 1; i <= 10; ++i)
        sql.push_back(insert(i));
    sql.insert(sql.end(), {"PRAGMA secure_delete=ON", "BEGIN", "DELETE FROM u", "DELETE FROM t WHERE id IN (3, 5)", "COMMIT"});
    const std::string path = build(dir, "j.db", sql);
    std::string journal = sqlfixture::readAll(path + "-journal");
    ASSERT_GE(journal.size(), 512u + 3 * (kPage + 8)); // a 512-byte sector, three page records
    if (c.pageSize) {
        journal.replace(0, 8, "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8); // magic, then records, nonce, pages, sector, page size
        for (const auto& [at, value] : {std::pair{8, 2u}, {12, 0u}, {16, 2u}, {20, c.sectorSize}, {24, c.pageSize}})
            sqlfixture::put32(journal, size_t(at), value);
        sqlfixture::writeAll(path + "-journal", journal);
    }
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    EXPECT_EQ(carved(r, "t"), shown({3, 5}));
    for (const auto& row : r.rows)
        EXPECT_EQ(row.source, sqlcarve::Source::Journal);
    if (c.warning) {
        EXPECT_TRUE(sqlfixture::warned(r, c.warning));
    }
}

INSTANTIATE_TEST_SUITE_P(Carver, CarverJournal,
                         ::testing::Values(JournalCase{"zeroed_header", 0, 0, nullptr},
                                           JournalCase{"sector_size_0", 0, kPage, "sector size 0"},
                                           JournalCase{"page_size_unlike_the_database", 512, 1024, "page size"}));

// A lone row deleted from its page leaves its cell whole: its rowid varint is read back.
TEST(CarverBoundary, RowidsOfEveryVarintLength)
{
    for (int64_t rowid : {int64_t(1), int64_t(128), (int64_t(1) << 56) - 1, int64_t(1) << 56, INT64_MAX, int64_t(-1), INT64_MIN}) {
        QTemporaryDir dir;
        const std::string id = rowid == INT64_MIN ? "-9223372036854775807 - 1" : std::to_string(rowid);
        const sqlcarve::Result r = sqlcarve::carveFile(
            build(dir, "v.db", {"PRAGMA secure_delete=OFF", kTable, "INSERT INTO t VALUES(" + id + ", 'a lone row of the table', 7)",
                                "DELETE FROM t"}));
        EXPECT_EQ(carved(r, "t"), Rows{std::to_string(rowid) + "|" + std::to_string(rowid) + "|'a lone row of the table'|7"});
    }
}

TEST(CarverBoundary, VarintsEndingAtTheBufferEnd)
{
    const struct {
        std::string bytes;
        size_t available;
        int length; // 0: cut off
        uint64_t value;
    } cases[] = {
        {"\x7f", 1, 1, 127},
        {"\x81\x00", 2, 2, 128},
        {"\x81\x00", 1, 0, 0},
        {std::string(8, '\xff') + "\xff", 9, 9, UINT64_MAX},
        {std::string(8, '\x80') + "\x01", 9, 9, 1},
        {std::string(8, '\xff') + "\xff", 8, 0, 0},
        {std::string(7, '\xff') + "\x7f", 8, 8, (uint64_t(1) << 56) - 1},
    };
    for (const auto& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
        uint64_t v = 0;
        EXPECT_EQ(sqlcarve::fmt::getVarint(p, p + c.available, &v), c.length) << c.bytes.size() << "/" << c.available;
        if (c.length) {
            EXPECT_EQ(v, c.value);
        }
    }
}

// On 1024-byte pages a table leaf keeps payloads of up to 989 bytes on the page; one byte more
// goes to an overflow page. A dropped table leaves a freelist trunk behind, so the freed
// overflow page becomes a leaf of it and keeps every byte.
TEST(CarverBoundary, PayloadAtTheLocalMaximumAndOneByteMore)
{
    for (int payload : {989, 990}) {
        QTemporaryDir dir;
        const std::string text(size_t(payload - 4), 'p'); // header: size, NULL alias, 2-byte text type
        const sqlcarve::Result r = sqlcarve::carveFile(
            build(dir, "o.db",
                  {"PRAGMA page_size=1024", "PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)",
                   "CREATE TABLE junk(z BLOB)", "INSERT INTO junk VALUES(zeroblob(5000))", "DROP TABLE junk",
                   "INSERT INTO t VALUES(7, '" + text + "')", "DELETE FROM t"}));
        EXPECT_EQ(carved(r, "t"), Rows{"7|7|'" + text + "'"}) << payload;
        for (const auto& row : r.rows)
            if (row.table == "t") {
                EXPECT_EQ(row.source == sqlcarve::Source::Overflow, payload > 989) << payload;
            }
    }
}

} // namespace

// What SQLite drops of a -wal without a word is named: frames after the last commit, frames past
// a break in the chain, all of one whose header is not a -wal's. A -wal emptied for reuse is not.
TEST(CarverWalBreak, WhatSqliteDropsSilentlyIsNamed)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0", kTable};
    for (int i = 1; i <= 10; ++i)
        sql.push_back(insert(i));
    const std::vector<std::string> txn = oneLongTransaction();
    sql.insert(sql.end(), txn.begin(), txn.end());
    const std::string wal = sqlfixture::readAll(build(dir, "w.db", sql, true) + "-wal");
    const struct {
        const char* name;
        std::string wal;
        const char* says; // nullptr: nothing
    } cases[] = {
        {"whole", wal, nullptr},
        {"commit frame cut off", wal.substr(0, wal.size() - 100), "frames ends a transaction"},
        {"emptied header", std::string(32, '\0') + wal.substr(32), nullptr},
        {"not a -wal", "garbage " + wal.substr(8), "its header is not a -wal's"},
        {"checksum", [&] { std::string w = wal; w[32 + 24 + 1000] ^= 1; return w; }(), "frame 1 of "},
    };
    for (const auto& c : cases) {
        const std::string why = sqlcarve::walBreak({reinterpret_cast<const uint8_t*>(c.wal.data()), c.wal.size()}, uint32_t(kPage));
        if (c.says)
            EXPECT_NE(why.find(c.says), std::string::npos) << c.name << ": " << why;
        else
            EXPECT_EQ(why, "") << c.name;
    }
}

// A commit that cuts pages off the end after an earlier commit wrote one of them: the earlier
// frame's page lies past the new end and must be read as a deleted image, not indexed as a page.
TEST(CarverWalShrink, AFramePastTheCommittedEndIsReadAsDeleted)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA auto_vacuum=FULL", "PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0", kTable, "BEGIN"};
    for (int i = 1; i <= 40; ++i)
        sql.push_back(insert(i));
    sql.insert(sql.end(), {"COMMIT", "PRAGMA wal_checkpoint(TRUNCATE)", "UPDATE t SET b = 7 WHERE id = 40",
                           "DELETE FROM t WHERE id > 10"});
    const std::string path = build(dir, "s.db", sql, true);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    const Rows got = carved(r, "t");
    EXPECT_EQ(got.count("40|40|'" + text(40) + "'|7"), 1u) << ::testing::PrintToString(got);
}

// A file cut short loses the pages past its end: said, since the header counts them. Nothing
// was deleted: the copies of rows the root kept when it split may be the live rows of leaves
// past the end, and are marked so.
TEST(CarverTruncated, PagesPastTheEndAreNamedAsUnread)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", kTable};
    for (int i = 1; i <= 40; ++i)
        sql.push_back(insert(i));
    const std::string path = build(dir, "cut.db", sql, false);
    ASSERT_TRUE(QFile::resize(QString::fromStdString(path), 2 * 4096));
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.unread.size(), 1u);
    EXPECT_NE(r.unread[0].find(path + ": it ends before its last "), std::string::npos) << r.unread[0];
    size_t copies = 0;
    for (const auto& row : r.rows)
        if (row.table == "t") {
            ++copies;
            EXPECT_TRUE(row.mayBeLive) << sqlfixture::show(row);
        }
    EXPECT_GT(copies, 0u);
}

namespace {

// Pages freed while the -wal was open are carried in its frames as freelist trunks: their list of
// page numbers is no record, and nothing is read from it.
TEST(CarverWalFreelist, TrunkPageListsInFramesGiveNoRows)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA journal_mode=WAL", "PRAGMA wal_autocheckpoint=0", "PRAGMA secure_delete=OFF",
                                 "CREATE TABLE t (id INTEGER PRIMARY KEY, a INTEGER, b TEXT, c INTEGER)",
                                 "CREATE TABLE u (x INTEGER, y INTEGER)"};
    for (int r = 0; r < 6; ++r) {
        sql.push_back("BEGIN");
        for (int i = 0; i < 1500; ++i) {
            const int n = r * 1500 + i;
            sql.push_back("INSERT INTO t (a, b, c) VALUES (" + std::to_string(n % 997) + ", 'text " + std::to_string(n * 7919 % 1000003)
                          + "', " + std::to_string(n % 10) + ")");
            sql.push_back("INSERT INTO u VALUES (" + std::to_string(1 + n % 50) + ", " + std::to_string(1 + n % 300) + ")");
        }
        sql.push_back("COMMIT");
        sql.push_back("DELETE FROM t WHERE id BETWEEN " + std::to_string(r * 1500 + 1) + " AND " + std::to_string(r * 1500 + 1100));
        sql.push_back("DELETE FROM u WHERE rowid % 4 != 0");
    }
    const std::string db = build(dir, "w.db", sql, true);
    const std::string wal = sqlfixture::readAll(db + "-wal");
    ASSERT_GT(wal.size(), 32u);
    const uint32_t pageSize = sqlcarve::fmt::get32(reinterpret_cast<const uint8_t*>(wal.data()) + 8);
    const uint64_t frameSize = 24 + uint64_t(pageSize);
    int trunks = 0, rowsInLists = 0;
    for (const sqlcarve::CarvedRow& row : sqlcarve::carveFile(db).rows) {
        if (row.source != sqlcarve::Source::Wal || row.offset < 32 + 24)
            continue;
        const uint64_t frame = (row.offset - 32) / frameSize, inPage = (row.offset - 32) % frameSize - 24;
        const auto* image = reinterpret_cast<const uint8_t*>(wal.data()) + 32 + frame * frameSize + 24;
        if (sqlcarve::fmt::isBtreeType(image[0]))
            continue;
        ++trunks;
        rowsInLists += inPage < 8 + 4ull * sqlcarve::fmt::get32(image + 4);
    }
    EXPECT_EQ(rowsInLists, 0) << trunks << " rows from trunk images";
}

} // namespace

namespace {

// The start of a text cut short comes out in UTF-8 with whole characters only.
TEST(CarverTextPrefix, CutCharactersAreLeftOut)
{
    using sqlcarve::textPrefixToUtf8;
    const struct {
        std::string stored;
        uint32_t encoding;
        std::string want;
    } cases[] = {
        {"na\xc3\xafve", sqlcarve::fmt::Utf8, "na\xc3\xafve"},
        {"na\xc3", sqlcarve::fmt::Utf8, "na"},               // two-byte character cut after its lead
        {"\xf0\x9f\x98", sqlcarve::fmt::Utf8, ""},          // four-byte character cut after three
        {std::string("h\0i\0", 4), sqlcarve::fmt::Utf16le, "hi"},
        {std::string("h\0i", 3), sqlcarve::fmt::Utf16le, "h"}, // half a unit
        {std::string("\0h\xd8\x3d", 4), sqlcarve::fmt::Utf16be, "h"}, // a high surrogate without its pair
    };
    for (const auto& c : cases)
        EXPECT_EQ(textPrefixToUtf8(reinterpret_cast<const uint8_t*>(c.stored.data()), c.stored.size(), c.encoding), c.want);
}

} // namespace

namespace {

// Leaves are read on two cores in halves. When a page is claimed from both halves (here: an
// overflow chain two rows point to, one per half), the second half is read again after the
// first, so the rows, their order and the warnings are those one thread gives.
TEST(CarverTwoThreads, APageClaimedFromBothHalvesGivesWhatOneThreadGives)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA page_size=4096", "PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)",
                                 "BEGIN"};
    for (int i = 1; i <= 40; ++i)
        sql.push_back("INSERT INTO t VALUES(" + std::to_string(i) + ", '" + std::to_string(i) + std::string(5998, 'a' + i % 26) + "')");
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM t WHERE id % 3 = 0"});
    const std::string path = build(dir, "shared.db", sql);
    std::string bytes = sqlfixture::readAll(path);
    // Table leaves in file order; each cell: payload size (2 bytes), rowid (1), the record's
    // first bytes in the page (489 + (size - 489) % 4092 of them), then its overflow page.
    std::vector<size_t> leaves;
    for (size_t at = 4096; at + 4096 <= bytes.size(); at += 4096)
        if (uint8_t(bytes[at]) == 0x0d && (uint8_t(bytes[at + 3]) << 8 | uint8_t(bytes[at + 4])) > 0)
            leaves.push_back(at);
    ASSERT_GE(leaves.size(), 4u);
    auto overflowAt = [&](size_t leaf) {
        const size_t cell = leaf + (uint8_t(bytes[leaf + 8]) << 8 | uint8_t(bytes[leaf + 9]));
        const size_t payload = size_t(uint8_t(bytes[cell]) & 0x7f) << 7 | uint8_t(bytes[cell + 1]);
        return cell + 3 + 489 + (payload - 489) % 4092;
    };
    bytes.replace(overflowAt(leaves.back()), 4, bytes.substr(overflowAt(leaves.front()), 4));
    sqlfixture::writeAll(path, bytes);

    std::vector<std::string> shown[2], warnings[2];
    for (unsigned threads : {1u, 2u}) {
        sqlcarve::Options opt;
        opt.threads = threads;
        const sqlcarve::Result r = sqlcarve::carveFile(path, opt);
        ASSERT_TRUE(r.ok);
        for (const sqlcarve::CarvedRow& row : r.rows)
            shown[threads - 1].push_back(sqlfixture::show(row) + "@" + std::to_string(row.offset));
        warnings[threads - 1] = r.warnings;
    }
    EXPECT_GT(shown[0].size(), 5u);
    EXPECT_EQ(shown[0], shown[1]);
    EXPECT_EQ(warnings[0], warnings[1]);
}

} // namespace

namespace {

// A page of a demo's message table where a freed record's header size was lost and a count of
// serial types read short fits the block: its first text then starts with type bytes (0x08, the
// constant 0). Such a reading is no row; the whole records around it still come back, one of
// them with stale bytes between its end and the next cell.
TEST(CarverMisaligned, TypeBytesReadAsTextGiveNoRow)
{
    const sqlcarve::Result r = sqlcarve::carveFile(IBR_TEST_DATA_DIR "/sqlite-carve/message-page-misaligned.db");
    ASSERT_TRUE(r.ok);
    std::multiset<std::string> guids;
    for (const auto& row : r.rows) {
        for (const auto& v : row.values) {
            const bool typeBytes = std::any_of(v.bytes.begin(), v.bytes.end(), [](char c) { return uint8_t(c) < 0x20 && c != '\n'; });
            EXPECT_FALSE(v.kind == sqlcarve::Value::Kind::Text && typeBytes) << v.bytes;
        }
        if (row.values.size() > 1 && row.values[1].kind == sqlcarve::Value::Kind::Text)
            guids.insert(row.values[1].bytes);
    }
    EXPECT_EQ(guids, (std::multiset<std::string>{"{8582ed11-484d-4f17-8bb3-8b5d99e22116}", "{afbda274-ec8f-436c-9753-bf681d027cae}",
                                                 "{e5faaad0-f37d-4805-a63a-879b474526d1}", "{e81da0d1-0248-4e8f-aa9a-26ffad494f99}"}));
}

// A dropped index's schema row, its first serial type under the freeblock header, ends two
// bytes short of its block (as when a fragment joined the block; its statement is cut here to
// make it so). Read to the block's end, the object's kind would take the name's first
// letters ("indexix"): such a reading is refused, and the row's own found, in every encoding.
class CarverSchemaRows : public ::testing::TestWithParam<const char*>
{
};

TEST_P(CarverSchemaRows, AreReadAsSQLiteWritesThem)
{
    QTemporaryDir dir;
    const std::string encoding = GetParam();
    const std::string path = build(dir, "schema.db",
                                   {"PRAGMA encoding='" + encoding + "'", "PRAGMA secure_delete=OFF", "CREATE TABLE t(a TEXT, b TEXT)",
                                    "CREATE INDEX ix ON t(a)", "CREATE INDEX keep ON t(b)", "DROP INDEX ix"});
    const size_t unit = encoding == "UTF-8" ? 1 : 2;
    auto encode = [&](const std::string& ascii) {
        std::string out;
        for (char c : ascii)
            out += unit == 1 ? std::string(1, c) : encoding == "UTF-16le" ? std::string{c, '\0'} : std::string{'\0', c};
        return out;
    };
    std::string bytes = sqlfixture::readAll(path);
    const std::string sql = "CREATE INDEX ix ON t(a)";
    const size_t at = bytes.find(encode(sql));
    ASSERT_NE(at, std::string::npos);
    // ... [types: name, tbl_name, rootpage, sql] "index" "ix" "t" [rootpage] sql
    const size_t sqlType = at - unit * (5 + 2 + 1) - 1 - 1;
    ASSERT_EQ(uint8_t(bytes[sqlType]), 13 + 2 * unit * sql.size());
    const size_t kept = sql.size() - 2 / unit;
    bytes[sqlType] = char(13 + 2 * unit * kept);
    sqlfixture::writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(carved(r, "sqlite_master"), (Rows{"2|'index'|'ix'|'t'|3|'" + sql.substr(0, kept) + "'"}));
}

INSTANTIATE_TEST_SUITE_P(Encodings, CarverSchemaRows, ::testing::Values("UTF-8", "UTF-16le", "UTF-16be"));

} // namespace

namespace {

// A table whose root page is wiped: no tree reaches its leaves any more. Their cells may be live
// rows and come back as orphans; the rows deleted before, in the leaves' free space, as deleted.
TEST(CarverOrphanPages, CellsNoTreeReachesAreNeitherLiveNorDeleted)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", kTable};
    for (int i = 1; i <= 40; ++i)
        sql.push_back(insert(i));
    sql.insert(sql.end(), {"DELETE FROM t WHERE id IN (12, 14)"});
    const std::string path = build(dir, "o.db", sql);
    std::string bytes = sqlfixture::readAll(path);
    ASSERT_EQ(uint8_t(bytes[kPage]), 0x05); // t's root, page 2, is interior
    std::fill(bytes.begin() + kPage, bytes.begin() + 2 * kPage, '\0');
    sqlfixture::writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    std::set<int> orphans, deleted; // by the row number its text names (a freed row's rowid is lost)
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.table, "t");
        ASSERT_EQ(row.values.size(), 3u);
        const int id = std::atoi(row.values[1].bytes.c_str() + 4);
        EXPECT_NE(row.source, sqlcarve::Source::Freelist) << id;
        (row.source == sqlcarve::Source::Orphan ? orphans : deleted).insert(id);
    }
    EXPECT_EQ(deleted, (std::set<int>{12, 14}));
    EXPECT_EQ(orphans.size(), 38u);
    EXPECT_FALSE(orphans.count(12) || orphans.count(14));
}

// A leaf of a live tree that cannot be read hides which rows of its rowid range are live: the
// old copies the root kept of them (cells stay behind when a root leaf splits) may be live rows.
// Rows elsewhere keep their answer.
TEST(CarverLostLeaf, RowsOfItsRangeMayBeLive)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", kTable};
    for (int i = 1; i <= 40; ++i)
        sql.push_back(insert(i));
    sql.push_back("DELETE FROM t WHERE id = 38");
    const std::string path = build(dir, "l.db", sql);
    std::string bytes = sqlfixture::readAll(path);
    ASSERT_EQ(uint8_t(bytes[kPage]), 0x05); // t's root, page 2, is interior
    auto u16 = [&](size_t at) { return size_t(uint8_t(bytes[at])) << 8 | uint8_t(bytes[at + 1]); };
    const size_t cell = kPage + u16(kPage + 12);
    const size_t leaf = size_t(uint8_t(bytes[cell])) << 24 | size_t(uint8_t(bytes[cell + 1])) << 16 | u16(cell + 2);
    const int lastLost = uint8_t(bytes[cell + 4]); // the divider: rowids up to it were on that leaf
    ASSERT_LT(lastLost, 0x80);
    std::fill(bytes.begin() + (leaf - 1) * kPage, bytes.begin() + leaf * kPage, '\xff');
    sqlfixture::writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    int inRange = 0, elsewhere = 0;
    for (const auto& row : r.rows) {
        const int id = std::atoi(row.values[1].bytes.c_str() + 4);
        if (id <= lastLost) {
            EXPECT_TRUE(row.mayBeLive) << id;
            ++inRange;
        } else {
            EXPECT_FALSE(row.mayBeLive) << id;
            ++elsewhere;
        }
    }
    EXPECT_GE(inRange, 3);
    EXPECT_EQ(elsewhere, 1); // row 38, deleted
}

// A row written before ALTER TABLE added columns stores fewer of them; SQLite reads the rest as
// their defaults, converted by the column's affinity. The carved rows read as SQLite read them
// before they were deleted, added columns and all.
TEST(CarverOlderRows, ColumnsAddedLaterReadAsTheirDefaults)
{
    QTemporaryDir dir;
    // Rowids and sizes past 127 take two-byte varints: the freeblock header then covers only the
    // cell's sizes and the record header survives whole.
    const std::string older(150, 'o'), newer(150, 'n');
    const char* const added[] = {"INTEGER DEFAULT 0", "TEXT DEFAULT 'none'", "REAL DEFAULT 1", "INTEGER NOT NULL DEFAULT -1",
                                 "BLOB DEFAULT x'0a0B'", "TEXT DEFAULT 2.5", "NUMERIC DEFAULT '3.0'", "INTEGER DEFAULT (- 7)",
                                 "DEFAULT TRUE", "REAL DEFAULT -2.5e3", "TEXT DEFAULT 'it''s' COLLATE NOCASE", "INTEGER DEFAULT 0x10",
                                 "TEXT DEFAULT 0x10", "INTEGER DEFAULT ' 12 '", "TEXT DEFAULT 1e20", "REAL DEFAULT 5.", "INTEGER"};
    // Records of fewer than eight columns are not matched by their beginning alone.
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", "CREATE TABLE m(id INTEGER PRIMARY KEY, guid TEXT, date INTEGER, text TEXT, a, b, c, d, e)",
                                    "INSERT INTO m VALUES(1001, 'g1', 1000, '" + older + "', 1, 2, 3, 4, 5), (1002, 'g2', 2000, 'kept', 1, 2, 3, 4, 5)"};
    for (size_t i = 0; i < std::size(added); ++i)
        sql.push_back("ALTER TABLE m ADD COLUMN f" + std::to_string(i) + " " + added[i]);
    for (int i = 0; i < 20; ++i) // as many as a phone kept through several releases gains
        sql.push_back("ALTER TABLE m ADD COLUMN g" + std::to_string(i) + (i % 2 ? " TEXT" : " INTEGER DEFAULT 0"));
    sql.push_back("INSERT INTO m(id, guid, date, text, a, b, c, d, e, f15) VALUES(1003, 'g3', 3000, '" + newer + "', 1, 2, 3, 4, 5, 7)");
    const std::string path = build(dir, "a.db", sql);

    auto shown = [](int kind, int64_t i, double r, const std::string& bytes) {
        char real[40];
        std::snprintf(real, sizeof real, "%.17g", r);
        return kind == SQLITE_NULL ? std::string("NULL") : kind == SQLITE_INTEGER ? "int " + std::to_string(i)
               : kind == SQLITE_FLOAT ? "real " + std::string(real) : (kind == SQLITE_TEXT ? "text " : "blob ") + bytes;
    };
    Rows want, got;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM m WHERE id IN (1001, 1003)", -1, &st, nullptr), SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::string line;
        for (int c = 1; c < sqlite3_column_count(st); ++c) {
            const auto* b = static_cast<const char*>(sqlite3_column_blob(st, c));
            line += "|" + shown(sqlite3_column_type(st, c), sqlite3_column_int64(st, c), sqlite3_column_double(st, c),
                                std::string(b ? b : "", size_t(sqlite3_column_bytes(st, c))));
        }
        want.insert(line);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    build(dir, "a.db", {"PRAGMA secure_delete=OFF", "DELETE FROM m WHERE id IN (1001, 1003)"});

    for (const auto& row : sqlcarve::carveFile(path).rows) {
        std::string line; // the rowid went with the cell's start
        using K = sqlcarve::Value::Kind;
        for (size_t c = 1; c < row.values.size(); ++c) {
            const sqlcarve::Value& v = row.values[c];
            const int kind = v.kind == K::Null ? SQLITE_NULL : v.kind == K::Integer ? SQLITE_INTEGER : v.kind == K::Real ? SQLITE_FLOAT
                             : v.kind == K::Text ? SQLITE_TEXT : v.kind == K::Blob ? SQLITE_BLOB : -1;
            line += "|" + (kind < 0 ? std::string("lost") : shown(kind, v.integer, v.real, v.bytes));
        }
        got.insert(line);
    }
    EXPECT_EQ(got, want);
}

// A run of older rows deleted at once frees whole pages: a freed page's cells that fit one
// table only as its older rows were that table's (no other table's first columns take them).
TEST(CarverOlderRows, FreedPagesOfOlderRows)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF",
                                    "CREATE TABLE m(id INTEGER PRIMARY KEY, guid TEXT, text TEXT, handle INTEGER, date INTEGER, "
                                    "service TEXT, flags INTEGER, read INTEGER, subject TEXT)",
                                    "CREATE TABLE other(id INTEGER PRIMARY KEY, name TEXT, note TEXT, a INTEGER, b INTEGER, c TEXT, d INTEGER, e INTEGER)"};
    for (int i = 1; i <= 300; ++i)
        sql.push_back("INSERT INTO m VALUES(" + std::to_string(i) + ", 'guid-" + std::to_string(i) + "', '" + text(i)
                      + "', 3, " + std::to_string(400000000 + i) + ", 'SMS', 0, 1, NULL)");
    sql.push_back("ALTER TABLE m ADD COLUMN edited INTEGER DEFAULT 0");
    sql.push_back("ALTER TABLE m ADD COLUMN body BLOB");
    sql.push_back("DELETE FROM m WHERE id BETWEEN 50 AND 250");
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "m.db", sql));
    std::set<int> got;
    for (const auto& row : r.rows) {
        if (row.table == "sqlite_master")
            continue; // the statement from before the columns were added
        ASSERT_EQ(row.table, "m") << sqlfixture::show(row);
        // A row a freed newer cell cut short keeps its rowid and its text's start.
        const int id = row.rowid ? int(*row.rowid) : int(row.values[4].integer - 400000000);
        const std::string& t = row.values[2].bytes;
        const bool textOk = row.values[2].isLost() ? !t.empty() && text(id).rfind(t, 0) == 0 : t == text(id);
        EXPECT_TRUE(id >= 50 && id <= 250 && textOk && row.values[9].integer == 0) << sqlfixture::show(row);
        got.insert(id);
    }
    // 170 of 201: 16 rows' bytes are gone, and the page that became the freelist's trunk lost
    // the cell pointers that would say whose its 15 were.
    EXPECT_GE(got.size(), 165u);
}

// Narrower records of an older release (a handle from before person_centric_id was added) are
// rows of their table on its own pages: read whole with their cell prefix, and with it lost when
// a text vouches for the reading. Lone rows lose their prefix; a run keeps it but for its first.
TEST(CarverOlderRows, NarrowRowsOfTheTablesOwnPages)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF",
                                    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
                                    "service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service))"};
    auto number = [](int i) { return std::to_string(5550000 + i * 7); };
    for (int i = 1; i <= 200; ++i)
        sql.push_back("INSERT INTO handle(id, country, service, uncanonicalized_id) VALUES('+1" + number(i) + "', 'us', '"
                      + (i % 3 ? "SMS" : "iMessage") + "', '" + number(i) + "')");
    sql.push_back("ALTER TABLE handle ADD COLUMN person_centric_id TEXT");
    sql.push_back("DELETE FROM handle WHERE ROWID % 10 = 0 OR ROWID BETWEEN 101 AND 105");
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "sms.db", sql));
    Rows want, got;
    for (int i = 1; i <= 200; ++i)
        if (i % 10 == 0 || (i >= 101 && i <= 105))
            want.insert("'+1" + number(i) + "'|'us'|'" + (i % 3 ? "SMS" : "iMessage") + "'|'" + number(i) + "'");
    for (const auto& row : r.rows) {
        if (row.table != "handle")
            continue;
        const std::string shown = sqlfixture::show(row);
        size_t from = shown.find('|', shown.find('|') + 1) + 1; // past the rowid and its alias
        got.insert(shown.substr(from, shown.rfind('|') - from));
        EXPECT_EQ(row.values[5].kind, sqlcarve::Value::Kind::Null) << shown; // added after it: its default
    }
    EXPECT_EQ(got, want);
}

// Texts must decode to be taken as such, and hold no control character but tab and line breaks:
// each sequence or character, good or bad, after every length of ASCII run (the run is skipped a
// word at a time, up to the sequence), and at the text's end.
TEST(CarverText, Utf8IsCheckedWhereverASequenceFalls)
{
    const struct {
        const char* bytes;
        bool valid, plain;
    } sequences[] = {
        {"\xC3\xA9", true, true},    {"\xE6\x97\xA5", true, true}, {"\xF0\x9F\x98\x80", true, true},
        {"\xC0\x80", false, false},  {"\xED\xA0\x80", false, false}, {"\xF4\x90\x80\x80", false, false},
        {"\x80", false, false},        {"\xE6\x97", false, false},     {"\xFF", false, false},
        {"\x01", true, false},         {"\x1F", true, false},          {"\t\n\r", true, true},
    };
    for (const auto& sq : sequences) {
        for (size_t run = 0; run <= 17; ++run) {
            for (const char* after : {"", "tail text"}) {
                const std::string text = std::string(run, 'a') + sq.bytes + after;
                const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
                EXPECT_EQ(sqlcarve::validText(bytes, text.size(), sqlcarve::fmt::Utf8), sq.valid) << "run " << run << " after '" << after << "'";
                EXPECT_EQ(sqlcarve::plainText(bytes, text.size(), sqlcarve::fmt::Utf8), sq.plain) << "run " << run << " after '" << after << "'";
            }
        }
    }
}

// UTF-16 text read a byte off is valid text of units U+XX00 (each ASCII letter moved into the
// high byte); it is refused, real text of such units among others is not.
TEST(CarverText, Utf16ReadOneByteOffIsNoText)
{
    const struct {
        std::u16string text;
        bool plain;
    } cases[] = {
        {u"row text", true},          {u"\u6100\u6100\u6100", false}, {u"\u6f00\u6b00\u6100x", false},
        {u"\u4e00", true},             {u"\u4e00\u5341\u65e5\u672c", true}, {u"\u4e00\u4e00ab", true},
    };
    for (const auto& c : cases)
        for (const uint32_t enc : {sqlcarve::fmt::Utf16le, sqlcarve::fmt::Utf16be}) {
            std::string bytes;
            for (const char16_t u : c.text)
                for (const int shift : enc == sqlcarve::fmt::Utf16le ? std::array{0, 8} : std::array{8, 0})
                    bytes += char(u >> shift);
            EXPECT_EQ(sqlcarve::plainText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), enc), c.plain)
                << bytes.size() << " bytes, encoding " << enc;
        }
}

// Rows are read in file order after a sort that moves only the few out of place; input far
// from that order (reversed, shuffled) must still come out sorted.
TEST(CarverOrder, NearlySortedAndScrambledInputBothComeOutSorted)
{
    std::mt19937 rng(7);
    for (int shape = 0; shape < 5; ++shape) {
        std::vector<std::pair<uint64_t, uint32_t>> v(20000);
        for (uint32_t i = 0; i < v.size(); ++i)
            v[i] = {uint64_t(i) * 4096 + (shape == 0 ? 0 : (i * 7919) % 13), i};
        if (shape == 1) // each page's few reversed
            for (size_t i = 0; i + 8 <= v.size(); i += 8)
                std::reverse(v.begin() + long(i), v.begin() + long(i) + 8);
        if (shape == 2)
            std::reverse(v.begin(), v.end());
        if (shape == 3)
            std::shuffle(v.begin(), v.end(), rng);
        if (shape == 4) // a few from a later scan that belong far back
            std::rotate(v.begin(), v.begin() + 10, v.end());
        auto expected = v;
        std::sort(expected.begin(), expected.end());
        sqlcarve::sortNearlySorted(v);
        EXPECT_EQ(v, expected) << "shape " << shape;
    }
}

} // namespace

namespace {

// Rows of a wide table deleted and replaced in rounds, as a phone's messages are: freed cells
// merge into blocks that newer cells reuse from their ends and free again, and freed pages go to
// another table or to an index, which writes only its header. Every deleted row whose text's
// start is still in the file comes back, whole or with what survives of it.
struct ChurnCase {
    const char* name;
    unsigned seed;
    bool deleteRanges; // runs of neighbours (else rows picked at random)
    uint32_t lastDelete; // percent of the rows left deleted at the end
};
void PrintTo(const ChurnCase& c, std::ostream* os) { *os << c.name; }

class CarverChurn : public ::testing::TestWithParam<ChurnCase>
{
};

TEST_P(CarverChurn, EveryDeletedRowWhoseTextSurvivesIsFound)
{
    QTemporaryDir dir;
    uint32_t state = GetParam().seed;
    auto next = [&](uint32_t n) { // the same numbers on every platform
        state = state * 1103515245u + 12345u;
        return (state >> 8) % n;
    };
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF",
                                    "CREATE TABLE m(id INTEGER PRIMARY KEY, guid TEXT, text TEXT, handle INTEGER, flags INTEGER, "
                                    "service TEXT, date INTEGER, read INTEGER DEFAULT 0, sent INTEGER DEFAULT 0, extra TEXT)",
                                    "CREATE INDEX m_date ON m(handle, date)", "CREATE TABLE log(guid TEXT)"};
    const char* words[] = {"see", "you", "at", "the", "station", "later", "thanks", "call"};
    int id = 0;
    std::vector<int> live;
    std::map<int, std::string> texts;
    auto insert = [&](int n) {
        sql.push_back("BEGIN");
        for (int k = 0; k < n; ++k) {
            std::string text = "msg " + std::to_string(++id) + " ";
            for (uint32_t w = next(12) + 1; w > 0; --w)
                text += std::string(words[next(8)]) + " ";
            sql.push_back("INSERT INTO m(id, guid, text, handle, flags, service, date) VALUES(" + std::to_string(id) + ", 'G-"
                          + std::to_string(id) + "', '" + text + "', " + std::to_string(next(9)) + ", 0, 'iMessage', "
                          + std::to_string(600000000LL + id * 61) + ")");
            live.push_back(id);
            texts[id] = text;
        }
        sql.push_back("COMMIT");
    };
    auto remove = [&](uint32_t percent) {
        sql.push_back("BEGIN");
        const size_t count = live.size() * percent / 100, from = next(uint32_t(live.size()));
        for (size_t k = 0; k < count && !live.empty(); ++k) {
            const size_t at = GetParam().deleteRanges ? std::min(from, live.size() - 1) : next(uint32_t(live.size()));
            sql.push_back("INSERT INTO log VALUES('G-" + std::to_string(live[at]) + "')");
            sql.push_back("DELETE FROM m WHERE id=" + std::to_string(live[at]));
            live.erase(live.begin() + std::ptrdiff_t(at));
        }
        sql.push_back("COMMIT");
    };
    insert(600);
    for (int round = 0; round < 3; ++round) {
        remove(10 + next(30));
        insert(50 + int(next(200)));
    }
    remove(GetParam().lastDelete);
    const std::string path = build(dir, "churn.db", sql);
    const std::string bytes = sqlfixture::readAll(path);
    // "msg N w" names row N when its number and the start of its first word are there.
    auto number = [](const std::string& s, size_t at) {
        size_t end = at + 4;
        while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end])))
            ++end;
        return end > at + 4 && end + 1 < s.size() && s[end] == ' ' && std::islower(static_cast<unsigned char>(s[end + 1]))
                   ? std::atoi(s.c_str() + at + 4)
                   : 0;
    };
    std::set<int> surviving;
    for (size_t at = bytes.find("msg "); at != std::string::npos; at = bytes.find("msg ", at + 1))
        if (const int n = number(bytes, at))
            surviving.insert(n);
    for (int i : live)
        surviving.erase(i);
    ASSERT_GT(surviving.size(), 100u);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    // What is reported of a row is that row's: its text whole, or the start of it.
    std::set<int> found;
    for (const auto& row : r.rows) {
        if (row.values.size() < 3 || row.values[2].bytes.rfind("msg ", 0) != 0)
            continue;
        const int n = number(row.values[2].bytes, 0);
        if (!n)
            continue; // too little of the text is left to name its row
        found.insert(n);
        const std::string& text = row.values[2].bytes;
        EXPECT_TRUE(row.values[2].isLost() ? texts[n].rfind(text, 0) == 0 : texts[n] == text) << text;
        EXPECT_TRUE(row.values[1].isLost() || row.values[1].bytes == "G-" + std::to_string(n)) << text;
    }
    std::vector<int> missed;
    std::set_difference(surviving.begin(), surviving.end(), found.begin(), found.end(), std::back_inserter(missed));
    EXPECT_TRUE(missed.empty()) << missed.size() << " of " << surviving.size() << " missed, first " << missed.front();
}

INSTANTIATE_TEST_SUITE_P(Carver, CarverChurn,
                         ::testing::Values(ChurnCase{"scattered", 7, false, 30}, ChurnCase{"ranges", 11, true, 30},
                                           ChurnCase{"mixed", 23, false, 30}, ChurnCase{"pages_freed", 31, true, 85},
                                           // a row cut by a newer cell whose own header was written over
                                           ChurnCase{"rewritten", 380, false, 30}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
