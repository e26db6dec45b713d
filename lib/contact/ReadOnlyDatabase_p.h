#pragma once

// The address book is evidence: it is read through the shared evidence-database access.

#include "evidencedb/EvidenceDatabase.h"

namespace contactdb {

using evidencedb::immutableUri;
using ReadOnlyDatabase = evidencedb::Database;
using Statement = evidencedb::Statement;

} // namespace contactdb
