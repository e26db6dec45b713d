#pragma once

// Internals of the record recovery: a read-only view of a database's live rows, the carved
// deleted rows grouped by table, and typed accessors that never guess a lost value.

#include "sqliterecovery/SqliteRecovery.h"
#include "sqlitecarve/Carver.h"

#include <QString>
#include <QVariant>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace sqlrecovery {

// Live content of a database, for lookups (labels, participants, calendars) and for telling an
// earlier version of a live row from a deleted row. SQLite reads the carver's image of the
// database (its -wal's committed frames applied) through a read-only file layer of ours: the
// evidence is read by the carver alone, never opened here, and nothing is copied.
class LiveDb
{
public:
    explicit LiveDb(std::shared_ptr<const sqlcarve::Image> image);
    // The database at `databasePath`, read by a carve of its own.
    explicit LiveDb(const QString& databasePath);
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
    // Columns a single-column UNIQUE constraint or index covers.
    std::vector<std::string> uniqueColumns(const std::string& table);

private:
    void open(std::shared_ptr<const sqlcarve::Image> image);
    sqlite3_stmt* prepare(const std::string& sql);

    sqlite3* m_db = nullptr;
    std::string m_name; // the image's name in the file layer
    std::map<std::string, sqlite3_stmt*> m_statements;
    std::map<std::string, bool> m_autoincrement;
};

// The deleted rows of one table, after dropping earlier versions of live rows and repeats.
struct CarvedTable {
    const sqlcarve::Table* schema = nullptr;
    std::vector<const sqlcarve::CarvedRow*> rows;
    // Rowids worked out for rows that lost theirs (see ScanContext::inferRowids).
    std::unordered_map<const sqlcarve::CarvedRow*, int64_t> inferred;

    bool exists() const { return schema != nullptr; }
    // Index of the first column named like one of `names` (case-insensitive); -1 when none.
    int col(std::initializer_list<const char*> names) const;
    int col(const char* name) const { return col({name}); }
};

using Row = sqlcarve::CarvedRow;

// Accessors: a missing column, a lost value and NULL all read as "unknown"/empty.
bool isKnown(const Row& row, int col);
// Whether the row lost a value a record shows (a lost rowid alias is never shown): its record is
// then partial.
bool lostSomeValue(const CarvedTable& table, const Row& row);
// Read from a page that no tree of the damaged file reaches, or from a -wal frame never
// committed: deleted or not, nothing says.
inline bool fromOrphanPage(const Row& row) { return row.source == sqlcarve::Source::Orphan || row.mayBeLive || row.unapplied; }
QString text(const Row& row, int col);
// The same, or the start of a text that survived when the rest was overwritten: for texts shown
// to the user, never for keys.
QString shownText(const Row& row, int col);
std::optional<int64_t> integer(const CarvedTable& table, const Row& row, int col);
std::optional<double> real(const Row& row, int col);
std::optional<int64_t> rowidOf(const CarvedTable& table, const Row& row);
// Seconds as a signed 32-bit count: nanosecond counts (above 1e12) are scaled down, fractions
// dropped, values outside the range clamped.
int seconds(std::optional<double> value);
int toInt32(std::optional<int64_t> value);

// Where a deleted row without its rowid sat: its rowid lies strictly between `lower` and `upper`,
// and among rows with the same bounds a smaller `order` was inserted earlier, so has the smaller
// rowid (cells fill a page from its end downwards). `row` is the caller's index.
struct PlacedRow {
    size_t row = 0;
    int64_t lower = 0;
    int64_t upper = 0;
    uint64_t order = 0;
    bool ranked = true; // false: `order` says nothing, so such a row is only ever paired alone
};

// The rowids the placed rows must have had. Rows sharing bounds take the free rowids (not
// `taken`) between them in order, when there are exactly as many; failing that, the free
// `orphanKeys` (rowids that deleted child rows still point at) between them, when exactly as
// many. Last, when the rows still open and the orphan keys nobody took are equally many and
// each key fits its row's bounds in order, they pair up. Anything else stays unknown.
std::map<size_t, int64_t> assignRowids(std::vector<PlacedRow> rows, const std::function<bool(int64_t)>& taken,
                                       const std::set<int64_t>& orphanKeys);

class ScanContext
{
public:
    ScanContext(const sqlcarve::Result& result, LiveDb& live);

    // Works out rowids of the table's deleted rows that lost them: from the live cells around
    // each row on its page, the rowids nobody holds, the table's sqlite_sequence, and the keys
    // that carved rows of `children` (table, column) hold for parents that are not live.
    void inferRowids(const std::string& table, std::initializer_list<std::pair<const char*, const char*>> children = {});
    void setInferRowids(bool on) { m_infer = on; }
    void setSalvageLinks(bool on) { m_salvage = on; }
    // Keeps the deleted rows of the link table the carver read from their freed cells' remains
    // (see sqlcarve::Options::links), or drops them when salvage is off.
    void salvageLinks(const std::string& table);

    const CarvedTable& table(const std::string& name) const; // empty when the table is unknown
    bool hasTable(const std::string& name) const;
    LiveDb& live() const { return m_live; }
    // The kept deleted row of `table` with this rowid, or null.
    const Row* deletedByRowid(const std::string& table, int64_t rowid) const;
    // Deleted entries of an index the carver was asked for (sqlcarve::Options::indexEntries):
    // its indexed values, then the rowid. Kept apart so no table's rows include them.
    const std::vector<const Row*>& indexEntries(const std::string& index) const;

private:
    void keepDeletedRows(const std::string& key, CarvedTable& table, std::vector<const Row*>& candidates);
    bool looksLive(const CarvedTable& table, const Row& row);

    LiveDb& m_live;
    bool m_infer = true;
    bool m_salvage = true;
    std::map<std::string, CarvedTable> m_tables; // keyed by lower-case name
    CarvedTable m_empty;
    std::map<std::string, std::vector<const Row*>> m_indexEntries; // keyed by lower-case index name
    std::vector<const Row*> m_noEntries;
    mutable std::map<std::string, std::map<int64_t, const Row*>> m_rowidIndex;
    struct LiveText {
        int rows = 0;       // live rows holding the text
        int64_t rowid = 0;  // the last of them
    };
    // Per table: text hash -> where it lives; with rowids, a unique text's row is fetched by its
    // rowid, not by a search of an unindexed column for every carved row.
    struct LiveTexts {
        bool byRowid = false;
        std::unordered_map<size_t, LiveText> texts;
        std::vector<size_t> unique; // columns of single-column unique keys
    };
    std::map<std::string, LiveTexts> m_liveTextHashes;
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
    std::function<QString(const QByteArray&)> bodyText; // see SqliteRecovery::setBodyDecoder

    void clearType(int type);
    int countOfType(int type) const;
};

// Maps the deleted rows of one database onto the records of a type; returns records added.
int mapContacts(ScanContext& ctx, RecordStore& out);
int mapMessages(ScanContext& ctx, RecordStore& out);
int mapCalls(ScanContext& ctx, RecordStore& out);
int mapCalendar(ScanContext& ctx, RecordStore& out);
int mapReminderStore(ScanContext& ctx, RecordStore& out);
int mapNotes(ScanContext& ctx, RecordStore& out);
int mapBookmarks(ScanContext& ctx, RecordStore& out);

// What the mapper of `type` needs of the carver besides the rows: placements, and the link
// tables whose freed cells are read from their remains.
sqlcarve::Options carveOptions(int type);

// Runs the mapper of `type` over an already carved database (the seam the tests use to check
// the mapping with a known set of carved rows).
// `inferRowids` false maps rows that lost their rowid as they are (to measure what inference adds);
// `salvageLinks` false keeps to the carved rows (to check the rules that stand in for lost links).
int mapType(int type, const sqlcarve::Result& result, LiveDb& live, RecordStore& out, bool inferRowids = true,
            bool salvageLinks = true);
// The same, the live rows read from the database at `databasePath` (none when it is empty).
int mapType(int type, const sqlcarve::Result& result, const QString& databasePath, RecordStore& out,
            bool inferRowids = true, bool salvageLinks = true);

} // namespace sqlrecovery

class SqliteRecoveryPrivate
{
public:
    sqlrecovery::RecordStore store;
    QStringList problems;
    QList<QPair<QString, QString>> damaged;
    QStringList tables; // the last scanned database's tables
};
