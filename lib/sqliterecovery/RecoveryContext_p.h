#pragma once

// Internals of the record recovery: a read-only view of a database's live rows, the carved
// deleted rows grouped by table, and typed accessors that never guess a lost value.

#include "SqliteRecovery.h"
#include "sqlitecarve/Carver.h"

#include <QString>
#include <QVariant>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class QTemporaryDir;

namespace sqlrecovery {

// Live content of a database, for lookups (labels, participants, calendars) and for telling an
// earlier version of a live row from a deleted row. Never writes next to the evidence: without
// a -wal beside it the file is opened immutable; with one, a private copy of both is opened so
// the WAL's committed rows are seen.
class LiveDb
{
public:
    explicit LiveDb(const QString& path);
    ~LiveDb();
    LiveDb(const LiveDb&) = delete;
    LiveDb& operator=(const LiveDb&) = delete;

    bool isOpen() const { return m_db != nullptr; }
    // Rows of a parameterised statement; empty on any failure (missing table, damaged file).
    std::vector<std::vector<QVariant>> rows(const std::string& sql, const QVariantList& args = {});
    QVariant value(const std::string& sql, const QVariantList& args = {});
    bool hasRowid(const std::string& table, int64_t rowid);
    std::vector<QVariant> rowByRowid(const std::string& table, int64_t rowid);
    bool isAutoincrement(const std::string& table);
    bool hasColumn(const std::string& table, const std::string& column);

private:
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* m_db = nullptr;
    std::unique_ptr<QTemporaryDir> m_copy;
    std::map<std::string, sqlite3_stmt*> m_statements;
    std::map<std::string, bool> m_autoincrement;
};

// The deleted rows of one table, after dropping earlier versions of live rows and repeats.
struct CarvedTable {
    const sqlcarve::Table* schema = nullptr;
    std::vector<const sqlcarve::CarvedRow*> rows;

    bool exists() const { return schema != nullptr; }
    // Index of the first column named like one of `names` (case-insensitive); -1 when none.
    int col(std::initializer_list<const char*> names) const;
    int col(const char* name) const { return col({name}); }
};

using Row = sqlcarve::CarvedRow;

// Accessors: a missing column, a lost value and NULL all read as "unknown"/empty.
bool isKnown(const Row& row, int col);
QString text(const Row& row, int col);
std::optional<int64_t> integer(const CarvedTable& table, const Row& row, int col);
std::optional<double> real(const Row& row, int col);
std::optional<int64_t> rowidOf(const CarvedTable& table, const Row& row);
// Seconds as a signed 32-bit count: nanosecond counts (above 1e12) are scaled down, fractions
// dropped, values outside the range clamped.
int seconds(std::optional<double> value);
int toInt32(std::optional<int64_t> value);

class ScanContext
{
public:
    ScanContext(const sqlcarve::Result& result, LiveDb& live);

    const CarvedTable& table(const std::string& name) const; // empty when the table is unknown
    bool hasTable(const std::string& name) const;
    LiveDb& live() const { return m_live; }
    // The kept deleted row of `table` with this rowid, or null.
    const Row* deletedByRowid(const std::string& table, int64_t rowid) const;

private:
    void keepDeletedRows(const std::string& key, CarvedTable& table, std::vector<const Row*>& candidates);
    bool looksLive(const CarvedTable& table, const Row& row);

    LiveDb& m_live;
    std::map<std::string, CarvedTable> m_tables; // keyed by lower-case name
    CarvedTable m_empty;
    mutable std::map<std::string, std::map<int64_t, const Row*>> m_rowidIndex;
    std::map<std::string, std::unordered_set<size_t>> m_liveTextHashes;
};

// Every record list the library hands out. Deques keep addresses stable while growing.
struct RecordStore {
    std::deque<PersonRecord> contacts;
    std::deque<PersonPropertyRecord> properties;
    std::deque<MessageGroupRecord> messageGroups;
    std::deque<CallhistoryRecord> calls;
    std::deque<CalendarRecord> calendars;
    std::deque<ReminderRecord> reminders;
    std::deque<NoteRecord> notes;
    std::deque<BookmarkRecord> bookmarks;

    void clearType(int type);
    int countOfType(int type) const;
};

// Maps the deleted rows of one database onto the records of a type; returns records added.
int mapContacts(ScanContext& ctx, RecordStore& out);
int mapMessages(ScanContext& ctx, RecordStore& out);
int mapCalls(ScanContext& ctx, RecordStore& out);
int mapCalendar(ScanContext& ctx, RecordStore& out);
int mapNotes(ScanContext& ctx, RecordStore& out);
int mapBookmarks(ScanContext& ctx, RecordStore& out);

// Runs the mapper of `type` over an already carved database (the seam the tests use to check
// the mapping with a known set of carved rows).
int mapType(int type, const sqlcarve::Result& result, const QString& databasePath, RecordStore& out);

} // namespace sqlrecovery

class SqliteRecoveryPrivate
{
public:
    sqlrecovery::RecordStore store;
};
