#pragma once

// The address book is evidence: it is read through the shared evidence-database access.

#include "evidencedb/EvidenceDatabase.h"

namespace contactdb {

using evidencedb::immutableUri;
using ReadOnlyDatabase = evidencedb::Database;
using Statement = evidencedb::Statement;

// `column` when the table has it, else "NULL", so one query fits older layouts too.
inline QByteArray columnOrNull(const ReadOnlyDatabase& db, const char* table, const char* column)
{
    return db.hasColumn(table, column) ? QByteArray(column) : QByteArray("NULL");
}

} // namespace contactdb
