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
};

struct TableLayout {
    Table table;
    std::vector<StoredColumn> stored;
    int aliasStored = -1; // stored position of the INTEGER PRIMARY KEY column
    bool loose = false;   // every column takes any type: its records match almost any bytes
};

// Reads "CREATE TABLE name (columns...) [WITHOUT ROWID]" (no SQL engine involved). False for
// anything else, virtual tables included.
bool parseCreateTable(const std::string& sql, TableLayout* out);

Affinity affinityOf(const std::string& declaredType);

// The storage layout of sqlite_master itself.
TableLayout masterLayout();

} // namespace sqlcarve
