#pragma once

// Ground truth for the deleted-record carver: builds databases with real iOS layouts or a generic
// one, inserts rows, deletes a known set (secure_delete off, no VACUUM) in rollback, WAL or
// PERSIST-journal mode, and records which deleted rows still have their bytes in the files.
// Then scores a carve result against it.

#include "sqlitecarve/Carver.h"

#include <map>
#include <string>
#include <vector>

namespace carvegen {

enum class Mode { Rollback, Wal, PersistJournal };

struct Scenario {
    Mode mode = Mode::Rollback;
    std::string layout = "generic"; // or an iOS database name such as "sms.db"
    int iosMajor = 9;
    int rows = 2000;              // rows inserted, spread over the layout's tables
    double deleteFraction = 0.3;
    int overflowEvery = 0;        // every Nth row of a text column gets a text that overflows the page
    int textMax = 120;            // texts are 8 to 8 + textMax - 1 bytes long
    int pageSize = 4096;
    int rowsPerCommit = 1;        // WAL and rollback inserts: rows per transaction
    bool bulk = false;            // one transaction for all inserts and one for all deletes
    std::string onlyTable;        // fill this table only (empty: every table of the layout)
};

struct GenRow {
    std::string table;
    int64_t rowid = 0;
    std::vector<sqlcarve::Value> values; // table order, as SQLite stored them
    int aliasColumn = -1;
    bool deleted = false;
    bool survives = false;     // deleted, and its record body is still somewhere in the files
    bool prefixLost = false;   // survives, but no copy keeps its cell's payload size and rowid
    bool overflow = false;     // the record spilled into overflow pages
    bool scored = false;       // body long enough to tell it apart from chance bytes
};

struct GroundTruth {
    std::string dbPath, walPath, journalPath; // empty companions when the mode leaves none
    std::vector<GenRow> rows;
};

// Builds the scenario's files in `folder` (created if needed). False with *error on failure.
bool generate(const Scenario& scenario, const std::string& folder, GroundTruth* truth, std::string* error);

// Keeps the deleted rows of a truth (all a score needs) in a file, for large cached scenarios.
bool saveTruth(const GroundTruth& truth, const std::string& path);
bool loadTruth(const std::string& path, GroundTruth* truth);

// Counts of one slice of the ground truth (all rows, prefix-lost first rows, overflow rows).
struct Recall {
    int expected = 0; // deleted, surviving, scored
    int whole = 0;    // every value equal, rowid alias included
    int wholeButRowid = 0; // every value equal except a rowid that could not be recovered
    int partial = 0;  // some values lost, the rest equal
    double wholeRate() const { return expected ? double(whole) / expected : 1.0; }
    double valuesRate() const { return expected ? double(whole + wholeButRowid) / expected : 1.0; }
};

struct Precision {
    int reported = 0;
    int correct = 0;   // matches a deleted row (whole or partial)
    int live = 0;      // equals a live row
    int duplicate = 0; // a deleted row reported again
    int junk = 0;      // matches nothing
    double rate() const { return reported ? double(correct) / reported : 1.0; }
};

struct Score {
    Recall all, prefixLost, overflow;
    std::map<std::string, Precision> bySource; // sqlcarve::sourceName
    Precision total;
    std::vector<std::string> examples; // a few misses and false rows, for diagnosis
};

// Scores `rows` (as carved from the scenario's files) against the truth.
Score score(const GroundTruth& truth, const std::vector<sqlcarve::CarvedRow>& rows);

std::string describe(const Score& score); // one line per figure

} // namespace carvegen
