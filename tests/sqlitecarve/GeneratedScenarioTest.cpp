#include "SqlFixture.h"
#include "carvegen.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <deque>

namespace {

struct Case {
    const char* name;
    carvegen::Scenario scenario;
    double minValues;    // share of surviving deleted rows recovered with every value (rowid aside)
    double minWhole;     // the same with the rowid (the INTEGER PRIMARY KEY value) right too
    double minPrecision; // share of reported rows that are deleted rows
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

carvegen::Scenario make(carvegen::Mode mode, const char* layout, int rows, int overflowEvery, int perCommit, int ios = 9)
{
    carvegen::Scenario s;
    s.iosMajor = ios;
    s.mode = mode;
    s.layout = layout;
    s.rows = rows;
    s.overflowEvery = overflowEvery;
    s.rowsPerCommit = perCommit;
    return s;
}

class GeneratedScenario : public ::testing::TestWithParam<Case>
{
};

// Deleted rows whose bytes survive are recovered, and what is reported as deleted truly is.
TEST_P(GeneratedScenario, RecallAndPrecision)
{
    QTemporaryDir dir;
    carvegen::GroundTruth truth;
    std::string error;
    ASSERT_TRUE(carvegen::generate(GetParam().scenario, dir.path().toStdString(), &truth, &error)) << error;
    const sqlcarve::Result result = sqlcarve::carveFile(truth.dbPath);
    ASSERT_TRUE(result.ok);
    const carvegen::Score s = carvegen::score(truth, result.rows);
    std::string detail = carvegen::describe(s);
    for (const auto& e : s.examples)
        detail += e + "\n";
    SCOPED_TRACE(detail);
    EXPECT_GT(s.all.expected, 0);
    EXPECT_GE(s.all.valuesRate(), GetParam().minValues);
    EXPECT_GE(s.all.wholeRate(), GetParam().minWhole);
    EXPECT_GE(s.total.rate(), GetParam().minPrecision);
    // Two threads give the very rows one gives, also when handed over one by one, written into
    // the caller's own room.
    sqlcarve::Options one, two;
    one.threads = 1;
    two.threads = 2;
    std::deque<sqlcarve::CarvedRow> streamed;
    two.rowRoom = [&]() -> sqlcarve::CarvedRow& { return streamed.emplace_back(); };
    two.onRow = [&](const sqlcarve::CarvedRow& row) {
        if (streamed.empty() || &row != &streamed.back())
            streamed.push_back(row);
    };
    const sqlcarve::Result a = sqlcarve::carveFile(truth.dbPath, one), b = sqlcarve::carveFile(truth.dbPath, two);
    ASSERT_TRUE(b.rows.empty());
    ASSERT_EQ(a.rows.size(), streamed.size());
    for (size_t i = 0; i < a.rows.size(); ++i)
        ASSERT_EQ(sqlfixture::show(a.rows[i]) + "@" + std::to_string(a.rows[i].offset),
                  sqlfixture::show(streamed[i]) + "@" + std::to_string(streamed[i].offset)) << i;
}

using carvegen::Mode;
INSTANTIATE_TEST_SUITE_P(
    Carver, GeneratedScenario,
    ::testing::Values(Case{"generic_rollback", make(Mode::Rollback, "generic", 800, 0, 20), 0.97, 0.96, 0.99},
                      Case{"generic_wal", make(Mode::Wal, "generic", 800, 0, 1), 0.98, 0.98, 0.99},
                      Case{"generic_persist", make(Mode::PersistJournal, "generic", 800, 0, 50), 0.98, 0.98, 0.99},
                      Case{"generic_overflow", make(Mode::Rollback, "generic", 400, 7, 20), 0.95, 0.95, 0.99},
                      Case{"sms9_rollback", make(Mode::Rollback, "sms.db", 800, 0, 20), 0.99, 0.98, 0.99},
                      // Enough rows for whole leaves to be freed: tables that store alike share the freelist.
                      Case{"sms9_rollback_freelist", make(Mode::Rollback, "sms.db", 3000, 0, 200), 0.98, 0.97, 0.99},
                      Case{"addressbook8_wal", make(Mode::Wal, "AddressBook.sqlitedb", 600, 0, 1, 8), 0.98, 0.98, 0.99}));

} // namespace
