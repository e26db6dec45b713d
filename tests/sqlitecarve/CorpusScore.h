#pragma once

// Scores the carver on the public forensic corpus (tests/data/sqlite-corpus, categories 0A-0E)
// against its answer keys. Shared by the corpus test and bench_carver so both count alike.
//
// A key row counts as deleted when it is marked deleted or its table was dropped. Key values are
// looked for in the file as they would be stored: text as its UTF-8 bytes, an integer in the
// fewest big-endian bytes its serial type allows, a real with a fraction as its 8-byte double (an
// integral one as an integer, as SQLite stores it). A value is distinctive when it is a text of 4
// bytes or more, an integer of 3 digits or more, or a real with a fraction, and no other key row
// holds it: short texts and small numbers occur anywhere, and a name or id another row shares says
// nothing about which row survived.

#include "sqlitecarve/Carver.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace corpusscore {

struct KeyRow {
    std::string table;
    std::vector<std::string> values; // as the key prints them
    bool deleted = false;
};

struct Case {
    std::string name; // "0D-05"
    std::string dbPath;
    std::string bytes; // the database file as found
    std::vector<KeyRow> rows; // live and deleted
    std::map<std::string, std::vector<bool>> textColumns; // per table: which columns the key declares TEXT
    std::set<std::string> shared; // values more than one key row holds
};

// Every NN-MM.db with its .xml under `corpusDir`/<category>, in name order.
std::vector<Case> loadCases(const std::string& corpusDir,
                            const std::vector<std::string>& categories = {"0A", "0B", "0C", "0D", "0E"});

sqlcarve::Result carveCase(const Case& c);

struct Score {
    int cases = 0;
    int deleted = 0;
    int whole = 0;   // deleted key rows some reported row gives whole
    int partial = 0; // not whole, but some reported row agrees on its known values, a distinctive one among them
    // Deleted rows whose texts (3 bytes or more), integers (3 digits or more) and reals with a
    // fraction all occur in the file, and how many of them came back whole.
    int survive = 0;
    int wholeOfSurvive = 0;
    // Deleted rows with at least one distinctive value in the file, and how many came back at all.
    int distinctive = 0;
    int foundOfDistinctive = 0;
    int reported = 0; // rows reported outside sqlite_master
    int trueRows = 0; // of these, rows that fit a key row (deleted or live) whole or in part
    // True rows given to a table whose key rows none of them fits, and of these the ones whose
    // right table the carver knew (a live table, or one rebuilt from a recovered schema row).
    int wrongTable = 0;
    int wrongTableNamed = 0;

    double precision() const { return reported ? double(trueRows) / reported : 1.0; }
    void add(const Score& other);
};

// `log`, when given, gets one line per miss, partial find, false row and wrong-table row.
Score scoreCase(const Case& c, const sqlcarve::Result& result, std::string* log = nullptr);

std::string describe(const Score& s); // one line of totals

bool verbose(); // IBR_CORPUS_VERBOSE=1

} // namespace corpusscore
