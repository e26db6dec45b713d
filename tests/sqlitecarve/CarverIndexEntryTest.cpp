// Deleted index entries asked for by name (Options::indexEntries): whole ones, ones whose first
// bytes a freeblock header took, and never an entry a live row still holds.

#include "SqlFixture.h"

#include <gtest/gtest.h>

namespace {

using sqlfixture::build;
using sqlfixture::carved;

std::string entryText(int i) { return "entry number " + std::to_string(i); }

// How CarvedRow's shown for an entry of index i on t(a, b): rowid, a, b, rowid again.
std::string shown(int i) { return std::to_string(i) + "|" + std::to_string(i % 3 + 2) + "|'" + entryText(i) + "'|" + std::to_string(i); }

TEST(CarverIndexEntries, DeletedEntriesComeBackLiveOnesDoNot)
{
    const struct {
        const char* name;
        std::vector<std::string> journal, deletes;
        std::vector<int> expected;
    } cases[] = {
        // 5's cell lies between live ones: the freeblock header takes its first bytes. 12's
        // too, and 11's cell, freed next, joins 12's block whole.
        {"rollback", {}, {"DELETE FROM t WHERE id = 5", "DELETE FROM t WHERE id = 12", "DELETE FROM t WHERE id = 11"}, {5, 11, 12}},
        // The main file's image of the index page is history holding every live entry too (7 is
        // found there first, and named after the -wal that replaced the image).
        {"wal", {"PRAGMA journal_mode=WAL"}, {"PRAGMA wal_checkpoint(TRUNCATE)", "DELETE FROM t WHERE id = 7"}, {7}},
        // Checkpointed: the main file's image holds the deleted entry too, but the -wal still
        // holds the page, so that image is history like the frames and is named so.
        {"wal checkpointed",
         {"PRAGMA journal_mode=WAL"},
         {"PRAGMA wal_checkpoint(TRUNCATE)", "DELETE FROM t WHERE id = 7", "PRAGMA wal_checkpoint(PASSIVE)"},
         {7}},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        std::vector<std::string> sql = c.journal;
        sql.insert(sql.end(), {"PRAGMA secure_delete=OFF", "CREATE TABLE t(id INTEGER PRIMARY KEY, a INTEGER, b TEXT)",
                               "CREATE INDEX i ON t(a, b)"});
        for (int i = 1; i <= 30; ++i)
            sql.push_back("INSERT INTO t(a, b) VALUES(" + std::to_string(i % 3 + 2) + ", '" + entryText(i) + "')");
        sql.insert(sql.end(), c.deletes.begin(), c.deletes.end());
        const std::string path = build(dir, "f.db", sql, !c.journal.empty());
        sqlcarve::Options options;
        options.indexEntries = {"I"};
        const sqlcarve::Result r = sqlcarve::carveFile(path, options);
        std::multiset<std::string> want;
        for (int i : c.expected)
            want.insert(shown(i));
        EXPECT_EQ(carved(r, "i"), want) << c.name;
        for (const auto& row : r.rows) {
            EXPECT_EQ(row.indexEntry, row.table == "i") << c.name;
            if (row.indexEntry && !c.journal.empty()) {
                EXPECT_EQ(row.source, sqlcarve::Source::Wal) << c.name;
            }
        }
        // Not asked for, none.
        for (const auto& row : sqlcarve::carveFile(path).rows)
            EXPECT_FALSE(row.indexEntry) << c.name;
    }
}

} // namespace
