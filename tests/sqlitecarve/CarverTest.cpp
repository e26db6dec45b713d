// The carver on small databases built here: file format variants, the sources, values decoded
// exactly, live rows kept out, and hostile files.

#include "SqlFixture.h"
#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using sqlcarve::Value;

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

using sqlfixture::build;

std::vector<std::string> rows(int n, const std::string& tag)
{
    std::vector<std::string> out;
    for (int i = 1; i <= n; ++i)
        out.push_back("INSERT INTO t(a,b,c,d) VALUES('" + tag + " number " + std::to_string(i) + " with some words'," + std::to_string(i * 1000003)
                      + "," + std::to_string(i) + ".25, x'" + std::string(size_t(8), "0123456789abcdef"[i % 16]) + "')");
    return out;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kTable = "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL, d BLOB)";

// Texts of column `a` among the carved rows of table t.
std::vector<std::string> texts(const sqlcarve::Result& r)
{
    std::vector<std::string> out;
    for (const auto& row : r.rows)
        if (row.table == "t" && row.values.size() == 5 && row.values[1].kind == Value::Kind::Text)
            out.push_back(row.values[1].bytes);
    std::sort(out.begin(), out.end());
    return out;
}

std::string text(const std::string& tag, int i) { return tag + " number " + std::to_string(i) + " with some words"; }

struct FormatCase {
    const char* name;
    std::vector<std::string> pragmas;
    int reserve = 0; // bytes kept free at the end of every page (as encryption layers do)
};

class CarverFormat : public ::testing::TestWithParam<FormatCase>
{
};

// Text as the database stores it, to tell which deleted rows still have their bytes.
std::string encoded(const std::string& utf8, const std::vector<std::string>& pragmas)
{
    const QString s = QString::fromStdString(utf8);
    for (const std::string& p : pragmas) {
        if (p.find("UTF-16le") != std::string::npos)
            return std::string(reinterpret_cast<const char*>(s.utf16()), size_t(s.size()) * 2);
        if (p.find("UTF-16be") != std::string::npos) {
            std::string out;
            for (QChar c : s) {
                out += char(c.unicode() >> 8);
                out += char(c.unicode() & 0xff);
            }
            return out;
        }
    }
    return utf8;
}

// Every deleted row whose bytes survive comes back (its rowid aside), whatever page size,
// encoding or reserved space the file uses, and no live row is reported.
TEST_P(CarverFormat, DeletedRowsComeBackAndLiveOnesDoNot)
{
    QTemporaryDir dir;
    std::vector<std::string> sql = GetParam().pragmas;
    sql.push_back("PRAGMA secure_delete=OFF");
    sql.push_back(kTable);
    sql = concat(sql, rows(60, "row"));
    sql.push_back("DELETE FROM t WHERE id % 4 = 0");
    const std::string path = build(dir, "f.db", sql, false, GetParam().reserve);
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
        EXPECT_EQ(row.values[3].kind, Value::Kind::Real);
        EXPECT_EQ(row.values[3].real, i + 0.25);
        EXPECT_EQ(row.values[4].kind, Value::Kind::Blob);
        EXPECT_EQ(row.values[4].bytes.size(), 4u);
        if (row.rowid) {
            EXPECT_EQ(*row.rowid, i);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Carver, CarverFormat,
                         ::testing::Values(FormatCase{"plain", {}}, FormatCase{"page512", {"PRAGMA page_size=512"}},
                                           FormatCase{"page65536", {"PRAGMA page_size=65536"}},
                                           FormatCase{"utf16le", {"PRAGMA encoding='UTF-16le'"}},
                                           FormatCase{"utf16be", {"PRAGMA encoding='UTF-16be'"}},
                                           FormatCase{"reserved32", {}, 32}),
                         [](const ::testing::TestParamInfo<FormatCase>& i) { return std::string(i.param.name); });

TEST(Carver, PageCountZeroIsTakenFromFileSize)
{
    QTemporaryDir dir;
    const std::string path = build(dir, "h.db", concat({"PRAGMA secure_delete=OFF", kTable}, concat(rows(20, "h"), {"DELETE FROM t WHERE id=3"})));
    std::string bytes = readAll(path);
    // A page count of 0 (old writers) is taken from the file size.
    bytes[28] = bytes[29] = bytes[30] = bytes[31] = 0;
    writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(texts(r), std::vector<std::string>{text("h", 3)});
}

TEST(Carver, ValuesAreDecodedExactly)
{
    QTemporaryDir dir;
    const std::string path = build(
        dir, "v.db",
        {"PRAGMA secure_delete=OFF", "CREATE TABLE v(id INTEGER PRIMARY KEY, i INTEGER, r REAL, s TEXT, b BLOB, n)",
         "INSERT INTO v VALUES(1, 0, 2.0, '', x'', NULL)", "INSERT INTO v VALUES(2, 1, -0.5, 'é', x'00ff', 'x')",
         "INSERT INTO v VALUES(3, -129, 1e300, 'long text so the row is not tiny', x'01', 12)",
         "INSERT INTO v VALUES(4, 8388608, 3.0, 'another text of some length', x'0203', -1)",
         "INSERT INTO v VALUES(5, 140737488355328, 0.1, 'a third text, for six-byte ints', NULL, 1.5)",
         "INSERT INTO v VALUES(6, -9223372036854775807, 7.0, 'and eight-byte ones as well', x'ff', 'y')",
         "INSERT INTO v VALUES(7, 42, 42.5, 'the last live row of the table', x'aa', 'z')", "DELETE FROM v WHERE id IN (2,3,4,5,6)"});
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    std::map<std::string, const sqlcarve::CarvedRow*> byText;
    for (const auto& row : r.rows)
        if (row.table == "v" && row.values[3].kind == Value::Kind::Text)
            byText[row.values[3].bytes] = &row;
    ASSERT_EQ(byText.count("long text so the row is not tiny"), 1u);
    const auto& a = *byText["long text so the row is not tiny"];
    EXPECT_EQ(a.values[1].integer, -129);
    EXPECT_EQ(a.values[2].real, 1e300);
    EXPECT_EQ(a.values[4].bytes, std::string("\x01", 1));
    EXPECT_EQ(a.values[5].integer, 12);
    ASSERT_EQ(byText.count("another text of some length"), 1u);
    const auto& b = *byText["another text of some length"];
    EXPECT_EQ(b.values[1].integer, 8388608);
    EXPECT_EQ(b.values[2].kind, Value::Kind::Real); // stored as an integer, read as REAL
    EXPECT_EQ(b.values[2].real, 3.0);
    EXPECT_EQ(b.values[5].integer, -1);
    ASSERT_EQ(byText.count("a third text, for six-byte ints"), 1u);
    EXPECT_EQ(byText["a third text, for six-byte ints"]->values[1].integer, 140737488355328);
    EXPECT_EQ(byText["a third text, for six-byte ints"]->values[4].kind, Value::Kind::Null);
    ASSERT_EQ(byText.count("and eight-byte ones as well"), 1u);
    EXPECT_EQ(byText["and eight-byte ones as well"]->values[1].integer, -9223372036854775807);
    EXPECT_EQ(byText.count("the last live row of the table"), 0u);
}

// Places a plain walk of the live tree never reads: the old cells a root keeps below its new
// content once the table outgrew one page, and the freed cells of a two-column table (a note's
// body), which lost their whole record header to the freeblock header.
TEST(Carver, OldRootCellsAndNarrowRowsWithLongTexts)
{
    QTemporaryDir dir;
    std::vector<std::string> sql{"PRAGMA secure_delete=OFF", "CREATE TABLE grow(id INTEGER PRIMARY KEY, tag TEXT, n INTEGER)",
                                 "CREATE TABLE body(note_id INTEGER, data)"};
    for (int i = 1; i <= 5; ++i)
        sql.push_back("INSERT INTO grow(tag, n) VALUES('r" + std::to_string(i) + " in the first page', " + std::to_string(i) + ")");
    sql.push_back("DELETE FROM grow WHERE id IN (2, 4)");
    // Rows too long for the freed cells fill the root until it splits into a new level.
    for (int i = 6; i <= 60; ++i)
        sql.push_back("INSERT INTO grow(tag, n) VALUES('r" + std::to_string(i) + " " + std::string(300, 'x') + "', " + std::to_string(i) + ")");
    // A row given rowid 4 again makes the first leaf compact itself: its freed cells are gone,
    // the root's old copies are all that is left.
    sql.push_back("INSERT INTO grow(id, tag, n) VALUES(4, '" + std::string(200, 'y') + "', 0)");
    for (int i = 1; i <= 9; ++i)
        sql.push_back("INSERT INTO body VALUES(" + std::to_string(i) + ", 'Body " + std::to_string(i)
                      + " of a note, long enough to be told from chance bytes')");
    sql.push_back("DELETE FROM body WHERE note_id % 2 = 0");
    const sqlcarve::Result r = sqlcarve::carveFile(build(dir, "n.db", sql));
    ASSERT_TRUE(r.ok);
    std::map<std::string, int> found;
    bool fromRoot = false;
    for (const auto& row : r.rows) {
        const Value& text = row.values[1];
        if (text.kind != Value::Kind::Text)
            continue;
        ++found[row.table + ":" + text.bytes.substr(0, text.bytes.find(' ', text.bytes.find(' ') + 1))];
        fromRoot = fromRoot || (row.table == "grow" && row.page == 2);
        if (row.table == "body") {
            EXPECT_EQ(row.values[0].kind, Value::Kind::Integer) << text.bytes; // not a NULL and a text one byte early
        }
    }
    EXPECT_EQ(found["grow:r2 in"], 1);
    EXPECT_EQ(found["grow:r4 in"], 1);
    EXPECT_TRUE(fromRoot);
    for (int i = 2; i <= 8; i += 2)
        EXPECT_EQ(found["body:Body " + std::to_string(i)], 1) << i;
    EXPECT_EQ(found["body:Body 3"], 0); // live
}

TEST(Carver, OverflowRowsAreFollowedIntoTheirChain)
{
    QTemporaryDir dir;
    std::string first(9000, 'F'), second(7000, 'S');
    for (size_t i = 0; i < first.size(); i += 97)
        first[i] = 'x';
    const std::string path = build(dir, "o.db",
                                   {"PRAGMA page_size=1024", "PRAGMA secure_delete=OFF", kTable,
                                    "INSERT INTO t(a,b) VALUES('" + first + "', 7)", "INSERT INTO t(a,b) VALUES('" + second + "', 7)",
                                    "INSERT INTO t(a,b) VALUES('keep', 8)", "DELETE FROM t WHERE b=7"});
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_EQ(r.rows.size(), 2u);
    // The first chain freed turns its first page into the freelist trunk, whose page list
    // overwrote the start of that text: it is lost, not guessed. The second chain is whole.
    int whole = 0, lost = 0;
    for (const auto& row : r.rows) {
        EXPECT_EQ(row.source, sqlcarve::Source::Overflow);
        EXPECT_EQ(row.values[2].integer, 7);
        if (row.values[1].isLost())
            ++lost;
        else if (row.values[1].bytes == first || row.values[1].bytes == second)
            ++whole;
    }
    EXPECT_EQ(whole + lost, 2);
    EXPECT_GE(whole, 1);
}

TEST(Carver, DroppedTableIsRebuiltFromItsDeletedSchema)
{
    QTemporaryDir dir;
    const std::string path = build(dir, "d.db",
                                   concat(concat({"PRAGMA secure_delete=OFF", kTable}, rows(30, "gone")),
                                          {"CREATE TABLE other(x TEXT)", "INSERT INTO other VALUES('stays')", "DROP TABLE t"}));
    const sqlcarve::Result r = sqlcarve::carveFile(path);
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
    const std::string path = build(dir, "p.db", concat({"PRAGMA page_size=512", "BEGIN", kTable}, concat(rows(2000, "p"), {"COMMIT"})));
    int calls = 0;
    sqlcarve::Options opt;
    opt.progress = [&](double done, double total) {
        EXPECT_LE(done, total);
        return ++calls < 2;
    };
    const sqlcarve::Result r = sqlcarve::carveFile(path, opt);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(calls, 2);
}

TEST(Carver, NeverWritesItsInputs)
{
    QTemporaryDir dir;
    const std::string path = build(dir, "n.db", concat({"PRAGMA journal_mode=WAL", kTable}, rows(10, "n")), true);
    const std::string before = readAll(path) + readAll(path + "-wal");
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    sqlcarve::carveFile(path);
    EXPECT_EQ(readAll(path) + readAll(path + "-wal"), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), files);
}

// Damaged structures end the walk that meets them; the rest of the file is still carved.
struct DamageCase {
    const char* name;
    void (*damage)(std::string& bytes, uint32_t pageSize);
};

uint32_t be32(const std::string& b, size_t off)
{
    return uint32_t(uint8_t(b[off])) << 24 | uint32_t(uint8_t(b[off + 1])) << 16 | uint32_t(uint8_t(b[off + 2])) << 8 | uint8_t(b[off + 3]);
}
void put32(std::string& b, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[off + size_t(i)] = char(v >> (24 - 8 * i));
}

class CarverDamage : public ::testing::TestWithParam<DamageCase>
{
};

TEST_P(CarverDamage, WalkEndsScanGoesOn)
{
    QTemporaryDir dir;
    // Freelist pages (a dropped table), an overflow row, and deleted rows in a live table.
    const std::string path =
        build(dir, "x.db",
              concat(concat({"PRAGMA page_size=1024", "PRAGMA secure_delete=OFF", kTable, "CREATE TABLE junk(z TEXT)"}, rows(80, "dmg")),
                     {"INSERT INTO junk VALUES('" + std::string(5000, 'j') + "')", "INSERT INTO t(a) VALUES('" + std::string(3000, 'o') + "')",
                      "DROP TABLE junk", "DELETE FROM t WHERE id % 5 = 0"}));
    std::string bytes = readAll(path);
    GetParam().damage(bytes, 1024);
    writeAll(path, bytes);
    const sqlcarve::Result r = sqlcarve::carveFile(path);
    ASSERT_TRUE(r.ok);
    for (const auto& row : r.rows)
        EXPECT_EQ(row.values.size(), row.table == "t" ? 5u : row.values.size());
}

INSTANTIATE_TEST_SUITE_P(
    Carver, CarverDamage,
    ::testing::Values(
        DamageCase{"cyclic_freelist", [](std::string& b, uint32_t ps) {
                       const uint32_t trunk = be32(b, 32);
                       if (trunk)
                           put32(b, size_t(trunk - 1) * ps, trunk);
                   }},
        DamageCase{"freelist_outside_file", [](std::string& b, uint32_t) { put32(b, 32, 0x7fffffff); }},
        DamageCase{"huge_freelist_leaf_count", [](std::string& b, uint32_t ps) {
                       const uint32_t trunk = be32(b, 32);
                       if (trunk)
                           put32(b, size_t(trunk - 1) * ps + 4, 0xffffffff);
                   }},
        DamageCase{"child_points_to_root", [](std::string& b, uint32_t ps) {
                       // Page 2 is t's root: make every interior pointer point back at it.
                       const size_t p = ps;
                       if (uint8_t(b[p]) == 5)
                           put32(b, p + 8, 2);
                   }},
        DamageCase{"bogus_cell_count", [](std::string& b, uint32_t ps) {
                       b[ps + 3] = char(0xff);
                       b[ps + 4] = char(0xff);
                   }},
        DamageCase{"freeblock_loop", [](std::string& b, uint32_t ps) {
                       for (size_t p = ps; p + ps <= b.size(); p += ps)
                           if (uint8_t(b[p]) == 13 && (b[p + 1] || b[p + 2])) {
                               const size_t fb = size_t(uint8_t(b[p + 1])) << 8 | uint8_t(b[p + 2]);
                               if (fb + 1 < ps) {
                                   b[p + fb] = b[p + 1];
                                   b[p + fb + 1] = b[p + 2];
                               }
                           }
                   }},
        DamageCase{"truncated", [](std::string& b, uint32_t ps) { b.resize(b.size() - ps * 3 - 100); }},
        DamageCase{"page_size_one", [](std::string& b, uint32_t) {
                       b[16] = 0;
                       b[17] = 1; // 65536: the file is now shorter than one page
                   }},
        DamageCase{"random_noise", [](std::string& b, uint32_t ps) {
                       uint32_t x = 12345;
                       for (size_t i = ps; i < b.size(); ++i) {
                           x = x * 1103515245 + 12345;
                           if ((x >> 16) % 29 == 0)
                               b[i] = char(x >> 8);
                       }
                   }}),
    [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

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
    int n = 0;
    for (const QString& name : dir.entryList(QDir::Files)) {
        const std::string bytes = readAll(dir.filePath(name).toStdString());
        // Same split as the harness: database, -wal and -journal lengths in the last 4 bytes.
        size_t size = bytes.size(), wal = 0, journal = 0;
        const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
        if (size >= 4) {
            wal = size_t(d[size - 4]) << 8 | d[size - 3];
            journal = size_t(d[size - 2]) << 8 | d[size - 1];
            size -= 4;
        }
        wal = wal > size ? 0 : wal;
        journal = journal > size - wal ? 0 : journal;
        const size_t db = size - wal - journal;
        sqlcarve::carveBuffers({d, db}, {d + db, wal}, {d + db + wal, journal});
        ++n;
    }
    EXPECT_GT(n, 0);
}

} // namespace
