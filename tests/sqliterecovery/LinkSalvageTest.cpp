#include "../../lib/sqliterecovery/RecoveryContext_p.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <set>

namespace {

using Pair = std::pair<int64_t, int64_t>;

struct Exec {
    sqlite3* db = nullptr;
    void operator()(const std::string& sql) const
    {
        char* error = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
    }
};

// A link table of `rows` rows (a from `firstA` up, b = a * `bScale`), of which `deleted` (indexes
// into insertion order) are deleted one statement at a time; rowids start at `firstRowid`.
struct LinkPage {
    QByteArray page;
    uint32_t usable = 0;
    std::set<Pair> live, deleted;
};

LinkPage buildLinkPage(const QString& path, int rows, int64_t firstA, int64_t bScale, int64_t firstRowid,
                       const std::vector<int>& deleted)
{
    LinkPage out;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    const Exec exec{db};
    exec("PRAGMA secure_delete = OFF");
    exec("CREATE TABLE link (a INTEGER, b INTEGER, UNIQUE(a, b))");
    exec("BEGIN");
    for (int i = 0; i < rows; ++i) {
        const int64_t a = firstA + i, b = a * bScale;
        exec("INSERT INTO link (rowid, a, b) VALUES (" + std::to_string(firstRowid + i) + ", " + std::to_string(a) + ", "
             + std::to_string(b) + ")");
        out.live.emplace(a, b);
    }
    exec("COMMIT");
    for (int i : deleted) {
        const int64_t a = firstA + i;
        exec("DELETE FROM link WHERE a = " + std::to_string(a));
        out.live.erase({a, a * bScale});
        out.deleted.emplace(a, a * bScale);
    }
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'link'", -1, &st, nullptr);
    sqlite3_step(st);
    const int root = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    out.page = bytes.mid((root - 1) * 4096, 4096);
    out.usable = 4096;
    return out;
}

std::set<Pair> salvaged(const LinkPage& p, int64_t topA, int64_t topB)
{
    std::set<Pair> out;
    const auto check = [=](int64_t a, int64_t b) { return a > 0 && b > 0 && a <= topA && b <= topB; };
    for (const auto& row : sqlrecovery::salvageLinkRows(p.page, false, p.usable, check))
        out.emplace(row.a, row.b);
    return out;
}

} // namespace

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
        int64_t firstA, bScale, firstRowid;
        std::vector<int> deleted;
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
        const LinkPage p = buildLinkPage(dir.filePath(QStringLiteral("l.db")), 40, c.firstA, c.bScale, c.firstRowid,
                                         c.deleted);
        const int64_t topA = c.firstA + 40, topB = topA * c.bScale;
        EXPECT_EQ(salvaged(p, topA, topB), p.deleted) << c.name;
        // Bounds that rule the values out leave nothing, not a misread neighbour.
        EXPECT_TRUE(salvaged(p, c.firstA - 1, topB).empty()) << c.name;
    }
}

TEST(LinkSalvage, OtherPagesAndNoiseGiveNothing)
{
    const auto any = [](int64_t a, int64_t b) { return a > 0 && b > 0 && a < 1000 && b < 1000; };
    QByteArray noise(4096, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) ^ (i >> 3));
    EXPECT_TRUE(sqlrecovery::salvageLinkRows(noise, false, 4096, any).empty());
    QByteArray leafOfNoise = noise;
    leafOfNoise[0] = char(13);
    leafOfNoise[3] = 0;
    leafOfNoise[4] = 0;
    leafOfNoise[5] = char(0x01); // content start 256: the rest is unallocated noise
    leafOfNoise[6] = 0;
    EXPECT_TRUE(sqlrecovery::salvageLinkRows(leafOfNoise, false, 4096, any).empty());
    EXPECT_TRUE(sqlrecovery::salvageLinkRows(QByteArray(100, '\0'), false, 4096, any).empty());
}

// A freed region of nine bytes reads as (5, 7) behind a two-byte rowid, or as (132352, 7)
// behind a one-byte rowid: it is read only when the tables' bounds rule one reading out.
TEST(LinkSalvage, RegionThatParsesTwoWaysGivesNothing)
{
    QByteArray page(4096, '\0');
    page[0] = char(13);
    page[1] = char(4000 >> 8); // first freeblock
    page[2] = char(4000 & 0xff);
    page[5] = page[1]; // content start
    page[6] = page[2];
    const char region[] = {0, 0, 0, 9, 1, 2, 5, 0, 7};
    page.replace(4000, 9, QByteArray(region, 9));
    const struct {
        int64_t topA;
        std::set<Pair> want;
    } cases[] = {{1000, {{5, 7}}}, {200000, {}}, {4, {}}};
    for (const auto& c : cases) {
        std::set<Pair> got;
        for (const auto& row : sqlrecovery::salvageLinkRows(page, false, 4096, [&](int64_t a, int64_t b) {
                 return a > 0 && b > 0 && a <= c.topA && b <= 1000;
             }))
            got.emplace(row.a, row.b);
        EXPECT_EQ(got, c.want) << c.topA;
    }
}
