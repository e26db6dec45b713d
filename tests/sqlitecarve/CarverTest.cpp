// The carver on small databases built here: file format variants, values decoded exactly, the
// places deleted rows are read from, and damaged or hostile files.

#include "SqlFixture.h"

#include <gtest/gtest.h>

#include <QDir>

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace {

using sqlcarve::Value;
using sqlfixture::build;
using sqlfixture::readAll;

const std::string kTable = "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL, d BLOB)";

std::string text(const std::string& tag, int i) { return tag + " number " + std::to_string(i) + " with some words"; }

// `sql`, rows 1 to n of table t, then `more`.
std::vector<std::string> withRows(std::vector<std::string> sql, int n, const std::string& tag, const std::vector<std::string>& more = {})
{
    for (int i = 1; i <= n; ++i)
        sql.push_back("INSERT INTO t(a,b,c,d) VALUES('" + text(tag, i) + "'," + std::to_string(i * 1000003) + "," + std::to_string(i)
                      + ".25, x'" + std::string(size_t(8), "0123456789abcdef"[i % 16]) + "')");
    sql.insert(sql.end(), more.begin(), more.end());
    return sql;
}

// Texts of column a among the carved rows of table t.
std::vector<std::string> texts(const sqlcarve::Result& r)
{
    std::vector<std::string> out;
    for (const auto& row : r.rows)
        if (row.table == "t" && row.values.size() == 5 && row.values[1].kind == Value::Kind::Text)
            out.push_back(row.values[1].bytes);
    std::sort(out.begin(), out.end());
    return out;
}

struct FormatCase {
    const char* name;
    std::vector<std::string> pragmas;
    int reserve = 0; // bytes kept free at the end of every page (as encryption layers do)
};
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class CarverFormat : public ::testing::TestWithParam<FormatCase>
{
};

// Text as the database stores it, to tell which deleted rows still have their bytes.
std::string encoded(const std::string& utf8, const std::vector<std::string>& pragmas)
{
    const std::string encoding = pragmas.empty() ? "" : pragmas[0];
    if (encoding.find("UTF-16") == std::string::npos)
        return utf8;
    std::string out;
    for (QChar c : QString::fromStdString(utf8))
        for (int shift : encoding.find("le") != std::string::npos ? std::array{0, 8} : std::array{8, 0})
            out += char(c.unicode() >> shift);
    return out;
}

// Every deleted row whose bytes survive comes back (its rowid aside), whatever page size,
// encoding or reserved space the file uses, and no live row is reported.
TEST_P(CarverFormat, DeletedRowsComeBackAndLiveOnesDoNot)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = GetParam().pragmas;
    sql.insert(sql.end(), {"PRAGMA secure_delete=OFF", kTable});
    const std::string path = build(dir, "f.db", withRows(sql, 60, "row", {"DELETE FROM t WHERE id % 4 = 0"}), false, GetParam().reserve);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    // Rows of a table that shrank may be gone: SQLite rewrites pages when it merges them.
    const std::string file = readAll(path);
    std::vector<std::string> expected;
    for (int i = 4; i <= 60; i += 4)
        if (file.find(encoded(text("row", i), GetParam().pragmas)) != std::string::npos)
            expected.push_back(text("row", i));
    std::sort(expected.begin(), expected.end());
    ASSERT_GE(expected.size(), 4u);
    EXPECT_EQ(texts(r), expected);
    for (const auto& row : r.rows) {
        if (row.table != "t" || row.source == sqlcarve::Source::Unallocated)
            continue; // a stale copy in unallocated space may have lost its tail to a later cell
        const int i = int(row.values[2].integer / 1000003);
        EXPECT_EQ(row.values[2].kind, Value::Kind::Integer);
        EXPECT_EQ(row.values[3].real, i + 0.25);
        EXPECT_EQ(row.values[4].bytes.size(), 4u);
        EXPECT_EQ(row.rowid.value_or(i), i);
    }
}

INSTANTIATE_TEST_SUITE_P(Carver, CarverFormat,
                         ::testing::Values(FormatCase{"plain", {}}, FormatCase{"page512", {"PRAGMA page_size=512"}},
                                           FormatCase{"page65536", {"PRAGMA page_size=65536"}},
                                           FormatCase{"utf16le", {"PRAGMA encoding='UTF-16le'"}},
                                           FormatCase{"utf16be", {"PRAGMA encoding='UTF-16be'"}},
                                           FormatCase{"reserved32", {}, 32}));

// Every serial type; an integer in a REAL column reads as REAL. Row 7 is live.
TEST(Carver, ValuesAreDecodedExactly)
{
    QTemporaryDir dir;
    const sqlcarve::Result r = sqlcarve::carveFile(build(
        dir, "v.db",
        {"PRAGMA secure_delete=OFF", "CREATE TABLE v(id INTEGER PRIMARY KEY, i INTEGER, r REAL, s TEXT, b BLOB, n)",
         "INSERT INTO v VALUES(1, 0, 2.0, '', x'', NULL)", "INSERT INTO v VALUES(2, 1, -0.5, 'é', x'00ff', 'x')",
         "INSERT INTO v VALUES(3, -129, 1e300, 'long text so the row is not tiny', x'01', 12)",
         "INSERT INTO v VALUES(4, 8388608, 3.0, 'another text of some length', x'0203', -1)",
         "INSERT INTO v VALUES(5, 140737488355328, 0.1, 'a third text, for six-byte ints', NULL, 1.5)",
         "INSERT INTO v VALUES(6, -9223372036854775807, 7.0, 'and eight-byte ones as well', x'ff', 'y')",
         "INSERT INTO v VALUES(7, 42, 42.5, 'the last live row of the table', x'aa', 'z')", "DELETE FROM v WHERE id IN (2,3,4,5,6)"}));
    EXPECT_EQ(sqlfixture::carved(r, "v"), (std::multiset<std::string>{
                                              "2|2|1|-0.5|'é'|blob2|'x'",
                                              "3|3|-129|1e+300|'long text so the row is not tiny'|blob1|12",
                                              "4|4|8388608|3|'another text of some length'|blob2|-1",
                                              "5|5|140737488355328|0.1|'a third text, for six-byte ints'|NULL|1.5",
                                              "6|6|-9223372036854775807|7|'and eight-byte ones as well'|blob1|'y'",
                                          }));
}

// The freed cells of a two-column table (a note's body) lost their whole record header to the
// freeblock header; a long text is evidence enough to rebuild them.
TEST(Carver, NarrowRowsWithLongTexts)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE body(note_id INTEGER, data)"};
    std::multiset<std::string> deleted;
    for (int i = 1; i <= 9; ++i) {
        const std::string text = "Body " + std::to_string(i) + " of a note, long enough to be told from chance bytes";
        sql.push_back("INSERT INTO body VALUES(" + std::to_string(i) + ", '" + text + "')");
        if (i % 2 == 0)
            deleted.insert(std::to_string(i) + "|" + std::to_string(i) + "|'" + text + "'");
    }
    sql.push_back("DELETE FROM body WHERE note_id % 2 = 0");
    EXPECT_EQ(sqlfixture::carved(sqlcarve::carveFile(build(dir, "n.db", sql)), "body"), deleted);
}

// The first chain freed turns its first page into the freelist trunk, whose page list overwrote
// the start of that text: it is lost, not guessed. The second chain is whole.
TEST(Carver, OverflowRowsAreFollowedIntoTheirChain)
{
    QTemporaryDir dir;
    std::string first(9000, 'F'), second(7000, 'S');
    for (size_t i = 0; i < first.size(); i += 97)
        first[i] = 'x';
    const sqlcarve::Result r = sqlcarve::carveFile(
        build(dir, "o.db",
              {"PRAGMA page_size=1024", "PRAGMA secure_delete=OFF", kTable, "INSERT INTO t(a,b) VALUES('" + first + "', 7)",
               "INSERT INTO t(a,b) VALUES('" + second + "', 7)", "INSERT INTO t(a,b) VALUES('keep', 8)", "DELETE FROM t WHERE b=7"}));
    EXPECT_EQ(sqlfixture::carved(r, "t"), (std::multiset<std::string>{"1|1|?|7|NULL|NULL", "2|2|'" + second + "'|7|NULL|NULL"}));
    for (const auto& row : r.rows)
        EXPECT_EQ(row.source, sqlcarve::Source::Overflow);
}

TEST(Carver, DroppedTableIsRebuiltFromItsDeletedSchema)
{
    QTemporaryDir dir;
    const sqlcarve::Result r = sqlcarve::carveFile(build(
        dir, "d.db",
        withRows({"PRAGMA secure_delete=OFF", kTable}, 30, "gone", {"CREATE TABLE other(x TEXT)", "INSERT INTO other VALUES('stays')", "DROP TABLE t"})));
    const auto dropped = std::find_if(r.tables.begin(), r.tables.end(), [](const sqlcarve::Table& t) { return t.name == "t"; });
    ASSERT_NE(dropped, r.tables.end());
    EXPECT_TRUE(dropped->dropped);
    EXPECT_EQ(texts(r).size(), 30u);
    for (const auto& row : r.rows)
        EXPECT_NE(row.table, "other");
}

TEST(Carver, ProgressReportsAndCancels)
{
    QTemporaryDir dir;
    const std::string path = build(dir, "p.db", withRows({"PRAGMA page_size=512", "BEGIN", kTable}, 2000, "p", {"COMMIT"}));
    int calls = 0;
    sqlcarve::Options opt;
    opt.progress = [&](double done, double total) {
        EXPECT_LE(done, total);
        return ++calls < 2;
    };
    EXPECT_TRUE(sqlcarve::carveFile(path, opt).cancelled);
    EXPECT_EQ(calls, 2);
}

TEST(Carver, NeverWritesItsInputs)
{
    QTemporaryDir dir;
    const std::string path = build(dir, "n.db", withRows({"PRAGMA journal_mode=WAL", kTable}, 10, "n"), true);
    const std::string before = readAll(path) + readAll(path + "-wal");
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    sqlcarve::carveFile(path);
    EXPECT_EQ(readAll(path) + readAll(path + "-wal"), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), files);
}

// Whether a warning names page `page` (as a whole number).
bool namesPage(const sqlcarve::Result& r, uint32_t page)
{
    const std::string n = " " + std::to_string(page);
    for (const std::string& w : r.warnings)
        for (size_t at = w.find(n); at != std::string::npos; at = w.find(n, at + 1))
            if (at + n.size() == w.size() || !isdigit(uint8_t(w[at + n.size()])))
                return true;
    return false;
}

uint32_t be32(const std::string& b, size_t off)
{
    return uint32_t(uint8_t(b[off])) << 24 | uint32_t(uint8_t(b[off + 1])) << 16 | uint32_t(uint8_t(b[off + 2])) << 8 | uint8_t(b[off + 3]);
}

// Damage ends the walk that meets it, with a warning naming the page it found damaged; the
// rest of the file is still carved.
struct DamageCase {
    const char* name;
    uint32_t (*damage)(std::string& bytes, uint32_t pageSize); // the damaged page, 0 when not one page
    bool tableIntact; // table t's pages are untouched: its deleted rows all come back
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class CarverDamage : public ::testing::TestWithParam<DamageCase>
{
};

TEST_P(CarverDamage, WalkEndsScanGoesOn)
{
    QTemporaryDir dir;
    // Freelist pages (a dropped table), an overflow row, and deleted rows in a live table.
    const std::string path = build(
        dir, "x.db",
        withRows({"PRAGMA page_size=1024", "PRAGMA secure_delete=OFF", kTable, "CREATE TABLE junk(z TEXT)"}, 80, "dmg",
                 {"INSERT INTO junk VALUES('" + std::string(5000, 'j') + "')", "INSERT INTO t(a) VALUES('" + std::string(3000, 'o') + "')",
                  "DROP TABLE junk", "DELETE FROM t WHERE id % 5 = 0"}));
    std::string bytes = readAll(path);
    const std::vector<std::string> intact = texts(sqlcarve::carveFile(path));
    const uint32_t page = GetParam().damage(bytes, 1024);
    sqlfixture::writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    for (const auto& row : r.rows)
        EXPECT_EQ(row.values.size(), row.table == "t" ? 5u : row.values.size());
    if (page) {
        EXPECT_TRUE(namesPage(r, page)) << page;
    }
    if (GetParam().tableIntact) {
        EXPECT_EQ(texts(r), intact);
    }
}

using sqlfixture::put32;
INSTANTIATE_TEST_SUITE_P(
    Carver, CarverDamage,
    ::testing::Values(
        DamageCase{"cyclic_freelist", [](std::string& b, uint32_t ps) { return put32(b, (be32(b, 32) - 1) * ps, be32(b, 32)), be32(b, 32); }, true},
        DamageCase{"freelist_outside_file", [](std::string& b, uint32_t) { return put32(b, 32, 0x7fffffff), 0x7fffffffu; }, true},
        DamageCase{"huge_freelist_leaf_count", [](std::string& b, uint32_t ps) { return put32(b, (be32(b, 32) - 1) * ps + 4, ~0u), be32(b, 32); }, true},
        // Page 2 is t's root: its first child pointer points back at it.
        DamageCase{"child_points_to_root", [](std::string& b, uint32_t ps) { return put32(b, ps + 8, 2), 2u; }, false},
        DamageCase{"bogus_cell_count", [](std::string& b, uint32_t ps) { return b[ps + 3] = b[ps + 4] = char(0xff), 2u; }, false},
        DamageCase{"freeblock_loop", // every leaf's first freeblock points at itself
                   [](std::string& b, uint32_t ps) {
                       uint32_t first = 0;
                       for (size_t p = ps; p + ps <= b.size(); p += ps)
                           if (uint8_t(b[p]) == 13 && (b[p + 1] || b[p + 2])) {
                               const size_t fb = size_t(uint8_t(b[p + 1])) << 8 | uint8_t(b[p + 2]);
                               b[p + fb] = b[p + 1];
                               b[p + fb + 1] = b[p + 2];
                               first = first ? first : uint32_t(p / ps + 1);
                           }
                       return first;
                   },
                   false},
        DamageCase{"truncated", [](std::string& b, uint32_t ps) { return b.resize(b.size() - ps * 3 - 100), 0u; }, false},
        // A page size of 65536: the file is now shorter than one page.
        DamageCase{"page_size_65536", [](std::string& b, uint32_t) { return b[16] = 0, b[17] = 1, 0u; }, false},
        // The header lost, or its page size: the size the pages show is used.
        DamageCase{"header_wiped", [](std::string& b, uint32_t) { return std::fill(b.begin(), b.begin() + 100, '\0'), 0u; }, true},
        DamageCase{"page_size_halved", [](std::string& b, uint32_t) { return b[16] = 2, b[17] = 0, 0u; }, true},
        DamageCase{"random_noise",
                   [](std::string& b, uint32_t ps) {
                       uint32_t x = 12345;
                       for (size_t i = ps; i < b.size(); ++i)
                           if (((x = x * 1103515245 + 12345) >> 16) % 29 == 0)
                               b[i] = char(x >> 8);
                       return 0u;
                   },
                   false}));

TEST(Carver, NotADatabase)
{
    const std::string junk = "this is not a database at all, just some text";
    const sqlcarve::Result r = sqlcarve::carveBuffers({reinterpret_cast<const uint8_t*>(junk.data()), junk.size()});
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.rows.empty());
    EXPECT_FALSE(sqlcarve::carveFile("/nonexistent/file.db").ok);
}

// Every crash the fuzzer found stays a case.
TEST(Carver, FuzzerFindingsStayFixed)
{
    const QDir dir(QStringLiteral(IBR_SOURCE_DIR "/tests/sqlitecarve/fuzz-crashes"));
    // The harness's options, so every stage it reaches is reached again.
    sqlcarve::Options options;
    options.placement = true;
    options.links = {{"chat_message_join", "chat", "message"}, {"link", "a", "b"}};
    options.indexEntries = {"mv_pv", "mv_rec"};
    int n = 0;
    for (const QString& name : dir.entryList(QDir::Files)) {
        const std::string bytes = readAll(dir.filePath(name).toStdString());
        // Same split as the harness: database, -wal and -journal lengths in the last 4 bytes.
        const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
        size_t size = bytes.size(), wal = 0, journal = 0;
        if (size >= 4) {
            wal = size_t(d[size - 4]) << 8 | d[size - 3];
            journal = size_t(d[size - 2]) << 8 | d[size - 1];
            size -= 4;
        }
        wal = wal > size ? 0 : wal;
        journal = journal > size - wal ? 0 : journal;
        const size_t db = size - wal - journal;
        sqlcarve::carveBuffers({d, db}, {d + db, wal}, {d + db + wal, journal}, options);
        ++n;
    }
    EXPECT_GT(n, 0);
}

} // namespace

// Rows deleted before the table gained columns (ALTER TABLE ADD COLUMN, as the device's
// migrations do) keep their shorter records: they come back with their own values, the added
// columns as SQLite would read them (their defaults), and rows deleted afterwards come back whole.
TEST(Carver, RowsFromBeforeColumnsWereAdded)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF",
                                    "CREATE TABLE m(id INTEGER PRIMARY KEY, guid TEXT, text TEXT, handle INTEGER, date INTEGER, "
                                    "service TEXT, flags INTEGER, read INTEGER, subject TEXT)"};
    for (int i = 1; i <= 40; ++i)
        sql.push_back("INSERT INTO m VALUES(" + std::to_string(i) + ", 'guid-" + std::to_string(i) + "', '" + text("old", i)
                      + "', 3, " + std::to_string(400000000 + i) + ", 'SMS', 0, 1, NULL)");
    sql.push_back("DELETE FROM m WHERE id % 5 = 0");
    sql.push_back("ALTER TABLE m ADD COLUMN date_edited INTEGER DEFAULT 0");
    sql.push_back("ALTER TABLE m ADD COLUMN body BLOB");
    sql.push_back("INSERT INTO m VALUES(41, 'guid-41', '" + text("new", 41) + "', 3, 400000041, 'SMS', 0, 1, NULL, 5, x'01')");
    sql.push_back("DELETE FROM m WHERE id = 41");
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "m.db", sql));
    ASSERT_TRUE(r.ok);
    std::map<std::string, const sqlcarve::CarvedRow*> byText;
    for (const auto& row : r.rows)
        if (row.table == "m" && row.values.size() == 11 && row.values[2].kind == Value::Kind::Text)
            byText[row.values[2].bytes] = &row;
    for (int i = 5; i <= 35; i += 5) { // row 40's cell went to row 41
        ASSERT_TRUE(byText.count(text("old", i))) << i;
        const sqlcarve::CarvedRow& row = *byText[text("old", i)];
        EXPECT_EQ(row.values[4].integer, 400000000 + i);
        EXPECT_TRUE(row.values[9].kind == Value::Kind::Integer && row.values[9].integer == 0) << i; // not in the record: defaults
        EXPECT_EQ(row.values[10].kind, Value::Kind::Null) << i;
    }
    ASSERT_TRUE(byText.count(text("new", 41)));
    EXPECT_EQ(byText[text("new", 41)]->values[9].integer, 5);
}

// A narrow table's freed cell that lost its first serial type to the freeblock header (with a
// 1-byte payload size, rowid and header size) and its tail to a newer row handed out from the end
// of the merged block: it comes back with the values in between when the page's live rows all
// give the first column one type, and is not guessed at when they differ.
TEST(Carver, NarrowRowWithoutFirstTypeOrTailTakesItsNeighboursType)
{
    for (const bool neighboursAgree : {true, false}) {
        QTemporaryDir dir;
        std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", "CREATE TABLE users(id INT, name TEXT, surname TEXT, a INT, b REAL)"};
        const char* names[] = {"Clara", "Alexandra", "Till", "Anja", "Sven", "Franz", "Walter", "Marc", "Georg", "Amelie"};
        for (int i = 0; i < 10; ++i)
            sql.push_back("INSERT INTO users VALUES(" + std::to_string(neighboursAgree || i != 7 ? 20001 + i : 8) + ", '" + names[i]
                          + "', 'Frank', " + std::to_string(-754954629 + i) + ", " + std::to_string(416666262.5 + i) + ")");
        sql.insert(sql.end(), {"DELETE FROM users WHERE name IN ('Till', 'Anja')",
                               "INSERT INTO users VALUES(20011, 'Lukas', 'Friedrich', 1179175223, 2626018206.41477)"});
        const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "u.db", sql));
        ASSERT_TRUE(r.ok);
        std::vector<const sqlcarve::CarvedRow*> anja;
        for (const auto& row : r.rows)
            if (row.values.size() == 5 && row.values[1].bytes == "Anja")
                anja.push_back(&row);
        if (!neighboursAgree) {
            EXPECT_TRUE(anja.empty()) << sqlfixture::show(*anja.front());
            continue;
        }
        ASSERT_EQ(anja.size(), 1u);
        EXPECT_EQ(sqlfixture::show(*anja.front()).substr(sqlfixture::show(*anja.front()).find('|')), "|20004|'Anja'|'Frank'|-754954626|?");
    }
}

// A freed cell whose prefix the freeblock header took and whose tail a newer, smaller row took
// (handed out from the end of the free block) comes back with what lies before the newer row;
// no row is reported twice for it, and the live rows stay out.
TEST(Carver, RowWithoutPrefixOrTailKeepsItsSurvivingValues)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF",
                                    "CREATE TABLE p(id INTEGER PRIMARY KEY, first TEXT, last TEXT, org TEXT, note TEXT, kind INTEGER, "
                                    "created INTEGER, modified INTEGER, guid TEXT, sort TEXT)"};
    const auto row = [](int i, int noteLength) {
        return "INSERT INTO p VALUES(" + std::to_string(i) + ", 'First" + std::to_string(i) + "', 'Last" + std::to_string(i)
               + "', NULL, '" + std::string(size_t(noteLength), char('a' + i)) + "', 0, " + std::to_string(690000000 + i) + ", "
               + std::to_string(690000100 + i) + ", 'GUID-" + std::to_string(i) + "', 'Sort" + std::to_string(i) + "')";
    };
    for (int i = 1; i <= 6; ++i)
        sql.push_back(row(i, 600));
    sql.push_back("DELETE FROM p WHERE id = 3");
    sql.push_back(row(7, 200));
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "p.db", sql));
    ASSERT_TRUE(r.ok);
    std::vector<const sqlcarve::CarvedRow*> third;
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.table, "p");
        ASSERT_EQ(row.values.size(), 10u);
        if (row.values[1].bytes == "First3")
            third.push_back(&row);
        else
            ADD_FAILURE() << sqlfixture::show(row);
    }
    ASSERT_EQ(third.size(), 1u);
    const sqlcarve::CarvedRow& cut = *third.front();
    EXPECT_EQ(cut.values[2].bytes, "Last3");
    EXPECT_EQ(cut.values[3].kind, Value::Kind::Null);
    EXPECT_FALSE(cut.isWhole());
    EXPECT_TRUE(cut.values[9].isLost());
}

// Small rows of a table without rowid alias, freed in runs: each run is one block, and the header
// of each cell's own block took its payload size, rowid, header size and the label's type. The
// label's length is where the next freed cell begins; every row comes back whole.
TEST(Carver, TextFirstRowsFreedInRunsComeBackWhole)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", "CREATE TABLE plain(label TEXT, amount INTEGER, ratio REAL, misc TEXT)", "BEGIN"};
    std::multiset<std::string> deleted;
    for (int i = 1; i <= 90; ++i) {
        const std::string label = "label " + std::to_string(i) + std::string(size_t(i % 7), 'x');
        const std::string misc = "misc of " + std::to_string(i);
        sql.push_back("INSERT INTO plain VALUES('" + label + "', " + std::to_string(i * 1000) + ", " + std::to_string(i) + ".5, '" + misc + "')");
        if (i % 30 >= 10 && i % 30 < 20)
            deleted.insert("|'" + label + "'|" + std::to_string(i * 1000) + "|" + std::to_string(i) + ".5|'" + misc + "'");
    }
    sql.insert(sql.end(), {"COMMIT", "DELETE FROM plain WHERE rowid % 30 BETWEEN 10 AND 19"});
    std::multiset<std::string> rows;
    for (const std::string& row : sqlfixture::carved(sqlcarve::carveFile(build(dir, "t.db", sql)), "plain"))
        rows.insert(row.substr(row.find('|')));
    EXPECT_EQ(rows, deleted);
}

// A freed cell's header outlives its block when the cell below it is freed too and both go back
// to the unallocated area; a newer, smaller row is then placed at the block's end. The old
// header still claims those bytes: read through it, the older row's blob would swallow the
// newer row. The newer row comes back whole, and no reading of the older one takes its bytes.
// SQLite hands a freed cell's space out again from its end. A smaller row written there and
// deleted in turn lies in the older row's bytes: whole where the two freed blocks merged, or
// behind the header its own freeing wrote (the last row, at the start of the cell area). The
// older row's last values would be the newer row's bytes, and the newer row would go unread.
TEST(Carver, NewerRowFreedInAnOlderRowsSlotIsReadAndCutsIt)
{
    struct Case {
        const char* table;
        int olderId; // deleted first
        const char* older;
        const char* other; // rows 1 to 10 but that one
        const char* newer; // row 11, written into its space, then deleted
        const char* olderCut;
        const char* newerWhole;
    };
    const Case cases[] = {
        {"t(id INTEGER PRIMARY KEY, c TEXT, a INTEGER, b INTEGER, d BLOB)", 5, "'older row', 1000005, 1099511627781, zeroblob(40)",
         "'other', 1, 2, x'03'", "'new', 7, 8, x'0102'", "?|?|'older row'|1000005|1099511627781|?", "11|11|'new'|7|8|blob2"},
        {"t(id INTEGER PRIMARY KEY, c TEXT, d1 INTEGER, d2 INTEGER, d3 INTEGER)", 5,
         "'message text', 700000005, 1152921504606846981, 1152921504606846982", "'other', 1, 2, 3", "'new', 3, 4, 5",
         "?|?|'message text'|700000005|?|?", "11|11|'new'|3|4|5"},
        {"t(id INTEGER PRIMARY KEY, c TEXT, d1 INTEGER, d2 INTEGER, d3 INTEGER)", 10,
         "'the last row written, with a longer text', 700000010, 1152921504606846981, 1152921504606846982", "'other', 1, 2, 3",
         "'newer', 3, 4, 5",
         "?|?|'the last row written, with a longer text'|700000010|?|?", "?|?|'newer'|3|4|5"},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", std::string("CREATE TABLE ") + c.table};
        for (int i = 1; i <= 10; ++i)
            sql.push_back("INSERT INTO t VALUES(" + std::to_string(i) + ", " + (i == c.olderId ? c.older : c.other) + ")");
        sql.insert(sql.end(), {"DELETE FROM t WHERE id = " + std::to_string(c.olderId), std::string("INSERT INTO t VALUES(11, ") + c.newer + ")",
                               "DELETE FROM t WHERE id = 11"});
        const std::multiset<std::string> rows = sqlfixture::carved(sqlcarve::carveFile(build(dir, "t.db", sql)), "t");
        EXPECT_EQ(rows, (std::multiset<std::string>{c.olderCut, c.newerWhole})) << c.table << " row " << c.olderId;
    }
}

// A page one table freed and another took keeps the first table's rows in the space the new
// owner has not written yet: on a phone, the table logging deleted messages takes the pages the
// messages were on.
TEST(Carver, AnotherTablesRowsAreReadInAReusedPagesFreeSpace)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", "CREATE TABLE message(id INTEGER PRIMARY KEY, guid TEXT, body TEXT, date INTEGER)"};
    const auto guid = [](int i) { return "GUID-" + std::to_string(1000 + i) + "-ABCDEF-0123456789"; };
    for (int i = 1; i <= 60; ++i) {
        std::string body;
        for (int k = 0; k < 8; ++k)
            body += "message body number " + std::to_string(i) + " with words ";
        sql.push_back("INSERT INTO message VALUES(" + std::to_string(i) + ", '" + guid(i) + "', '" + body + "', " + std::to_string(600000000000000000LL + i) + ")");
    }
    // One leaf emptied and freed; the next table created takes it as its root.
    sql.insert(sql.end(), {"DELETE FROM message WHERE id BETWEEN 25 AND 40", "CREATE TABLE deleted_messages(id INTEGER PRIMARY KEY, guid TEXT)"});
    for (int i = 25; i <= 40; ++i)
        sql.push_back("INSERT INTO deleted_messages(guid) VALUES('" + guid(i) + "')");
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "m.db", sql));
    std::set<int64_t> whole, found;
    for (const auto& row : r.rows) {
        ASSERT_TRUE(row.table == "message" || row.table == "deleted_messages") << row.table;
        if (row.table != "message" || row.values[1].kind != Value::Kind::Text)
            continue;
        const int64_t i = std::stoll(row.values[1].bytes.substr(5, 4)) - 1000;
        found.insert(i);
        if (row.rowid && *row.rowid == i && row.values[3].kind == Value::Kind::Integer && row.values[3].integer == 600000000000000000LL + i)
            whole.insert(i);
    }
    EXPECT_TRUE(whole.count(40)) << "the last row of the freed leaf, whole with its rowid";
    EXPECT_TRUE(found.count(39)) << "the row before it, its tail under the new owner's cells";
}

TEST(Carver, StaleBlockHeaderDoesNotSwallowTheNewerRow)
{
    QTemporaryDir dir;
    const auto blob = [](int seed, int n) {
        std::string hex = "X'";
        for (int k = 0; k < n; ++k) {
            char b[3];
            snprintf(b, sizeof b, "%02x", (seed * 7 + k) % 256);
            hex += b;
        }
        return hex + "'";
    };
    std::vector<std::string> sql = {"PRAGMA secure_delete=OFF", "CREATE TABLE keep(x)", "INSERT INTO keep VALUES(1)",
                                    "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, d BLOB)"};
    for (int i = 1; i <= 5; ++i)
        sql.push_back("INSERT INTO t VALUES(" + std::to_string(i) + ", 'row " + std::to_string(i) + "', " + blob(i, 200) + ")");
    sql.insert(sql.end(), {"DELETE FROM t WHERE id = 4", "DELETE FROM t WHERE id = 5",
                           "INSERT INTO t VALUES(6, 'row 6', " + blob(6, 100) + ")", "DROP TABLE t"});
    const std::multiset<std::string> rows = sqlfixture::carved(sqlcarve::carveFile(build(dir, "t.db", sql)), "t");
    for (const char* whole : {"6|6|'row 6'|blob100", "3|3|'row 3'|blob200", "2|2|'row 2'|blob200", "1|1|'row 1'|blob200"})
        EXPECT_EQ(rows.count(whole), 1u) << whole;
    for (const std::string& row : rows)
        EXPECT_EQ(row.find("'row 4'|blob200"), std::string::npos) << row;
}
