// The public forensic corpus in tests/data/sqlite-corpus: deleted-content categories 0A-0E are
// scored against their answer keys; the malformed categories 11-19 must never crash or hang.

#include "CorpusScore.h"
#include "SqlFixture.h"
#include "sqlitecarve/Carver.h"

#include <gtest/gtest.h>

#include <QDir>

#include <algorithm>
#include <cstdio>

namespace {

const QString kCorpus = QStringLiteral(IBR_TEST_DATA_DIR "/sqlite-corpus");

// IBR_CORPUS_VERBOSE=1 lists every miss, partial find, false and wrong-table row.
TEST(CarverCorpus, DeletedContentCategoriesAgainstAnswerKeys)
{
    const std::vector<corpusscore::Case> cases = corpusscore::loadCases(kCorpus.toStdString());
    ASSERT_GT(cases.size(), 10u);
    corpusscore::Score s;
    std::string log;
    for (const corpusscore::Case& c : cases)
        s.add(corpusscore::scoreCase(c, corpusscore::carveCase(c), corpusscore::verbose() ? &log : nullptr));
    std::fprintf(stderr, "%s%s\n", log.c_str(), corpusscore::describe(s).c_str());
    // The rows whose values all still lie in the file (117 of 141) all come back whole.
    EXPECT_GE(s.wholeOfSurvive * 100, s.survive * 95) << s.wholeOfSurvive << " of " << s.survive;
    // Measured: 118 of 141 whole. The misses are rows whose bytes the corpus overwrote on purpose,
    // wholly or in part: new rows in freed space (0B, 0D) and overflow pages reused (0E).
    EXPECT_GE(double(s.whole), 0.83 * s.deleted) << s.whole << " of " << s.deleted;
    // Rows of which a distinctive value survives come back at least in part (122 of 123: 0B-01
    // 20006 and 0E-01 20011, whose tails newer rows took, 0E-01 20003, whose overflow page became
    // a freelist trunk, and 0D-01 20004, cut at both ends). Left: 0D-03 20001, whose "survivor"
    // is two bytes that happen to match.
    EXPECT_GE(s.foundOfDistinctive, 122) << s.distinctive;
    EXPECT_GE(s.partial, 4);
    EXPECT_GE(s.precision(), 0.97) << s.trueRows << " of " << s.reported;
    // A page a recovered schema row names as a dropped table's root is that table's (0A-03, 0A-05:
    // 20 rows that fit another table's columns as well). Left: 5 rows of 0B-01 whose table's
    // schema row the new table's took, so nothing names it.
    EXPECT_EQ(s.wrongTableNamed, 0);
    EXPECT_LE(s.wrongTable, 5);
}

// Hostile files end the walk that met the damage, never the scan.
TEST(CarverCorpus, MalformedFilesNeverCrash)
{
    int files = 0;
    for (int category = 11; category <= 19; ++category) {
        const QDir dir(kCorpus + QLatin1Char('/') + QString::number(category));
        for (const QString& name : dir.entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
            sqlcarve::Options opt;
            opt.autoCompanions = false;
            const sqlcarve::Result r = sqlcarve::carveFile(dir.filePath(name).toStdString(), opt);
            for (const sqlcarve::CarvedRow& row : r.rows) {
                const auto t = std::find_if(r.tables.begin(), r.tables.end(), [&](const sqlcarve::Table& x) { return x.name == row.table; });
                ASSERT_NE(t, r.tables.end()) << name.toStdString();
                EXPECT_EQ(row.values.size(), t->columns.size()) << name.toStdString();
            }
            ++files;
        }
    }
    EXPECT_GT(files, 20);
}

} // namespace

namespace {

// Carving the leaves on two threads gives the very rows one thread gives, in the same order.
TEST(CarverCorpus, TwoThreadsGiveTheRowsOneGives)
{
    int compared = 0;
    for (const corpusscore::Case& c : corpusscore::loadCases(kCorpus.toStdString())) {
        std::vector<std::string> rows[2];
        for (unsigned threads : {1u, 2u}) {
            sqlcarve::Options opt;
            opt.autoCompanions = false;
            opt.threads = threads;
            opt.placement = true;
            for (const sqlcarve::CarvedRow& row : sqlcarve::carveFile(c.dbPath, opt).rows)
                rows[threads - 1].push_back(sqlfixture::show(row) + "@" + std::to_string(row.offset));
        }
        EXPECT_EQ(rows[0], rows[1]) << c.name;
        compared += int(rows[0].size());
    }
    EXPECT_GT(compared, 100);
}

} // namespace
