#pragma once

#include "sqlitecarve/Carver.h"

#include <string>
#include <vector>

namespace sqlcarve {

enum class Affinity : uint8_t { Integer, Text, Blob, Real, Numeric };

// A column as it is stored in a record: WITHOUT ROWID tables store their primary key first.
struct StoredColumn {
    int tableIndex = 0; // position in Table::columns
    Affinity affinity = Affinity::Blob;
    bool notNull = false;
    bool rowidAlias = false;
    // Whether ALTER TABLE ADD COLUMN could have added it: a record written before then lacks it.
    bool addable = true;
    // What SQLite reads for it from such a record: its default, as its affinity makes it; lost
    // for a default expression not read here.
    Value predating;
};

struct TableLayout {
    Table table;
    std::vector<StoredColumn> stored;
    int aliasStored = -1; // stored position of the INTEGER PRIMARY KEY column
    bool loose = false;   // every column takes any type: its records match almost any bytes
    size_t shortest = 0;  // fewest columns a row written before columns were added may have
};

// Reads "CREATE TABLE name (columns...) [WITHOUT ROWID]" (no SQL engine involved). False for
// anything else, virtual tables included.
bool parseCreateTable(const std::string& sql, TableLayout* out);

Affinity affinityOf(const std::string& declaredType);

// Columns (positions in Table::columns) of "CREATE [UNIQUE] INDEX name ON table(col, ...)" over
// `table`. False for indexes on expressions and for anything else.
bool parseCreateIndex(const std::string& sql, const TableLayout& table, std::vector<int>* columns);

// Columns of the automatic indexes SQLite makes for a table's UNIQUE and non-alias PRIMARY KEY
// constraints, in the order it numbers them (sqlite_autoindex_<table>_1, _2, ...).
std::vector<std::vector<int>> autoIndexColumns(const std::string& createTableSql, const TableLayout& table);

// The storage layout of sqlite_master itself.
TableLayout masterLayout();

} // namespace sqlcarve
