#pragma once

// Generic deleted-record carver for SQLite database files. Reads the file format directly and
// never writes to its inputs.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sqlcarve {

// Orphan: a cell of a page that no tree reaches and no freelist lists, in a damaged file: the row
// may as well be live.
enum class Source { Freeblock, Unallocated, Freelist, Overflow, Wal, Journal, Orphan };
const char* sourceName(Source source); // "freeblock", "unallocated", ...

struct Value {
    enum class Kind { Null, Integer, Real, Text, Blob, Lost };
    Kind kind = Kind::Null;
    int64_t integer = 0;
    double real = 0.0;
    std::string bytes; // Text: UTF-8 (converted from the database encoding); Blob: raw
    // Lost: a text or blob whose start survived but whose end newer data took keeps its first
    // bytes here (a text's in UTF-8, whole characters only), with `prefixOf` the kind it had;
    // otherwise empty.
    Kind prefixOf = Kind::Null;

    bool isLost() const { return kind == Kind::Lost; }
};

struct Column {
    std::string name;
    std::string declaredType;
    bool rowidAlias = false; // INTEGER PRIMARY KEY: stored as NULL in the record, value is the rowid
};

struct Table {
    std::string name;
    uint32_t rootPage = 0;
    bool withoutRowid = false;
    std::vector<Column> columns;
    bool dropped = false; // rebuilt from a deleted schema record: the table no longer exists
};

struct CarvedRow {
    std::string table;
    Source source = Source::Freeblock;
    uint32_t page = 0;   // page number in the file the row was found in (WAL: the frame's page)
    uint64_t offset = 0; // byte offset of the record in that file
    std::optional<int64_t> rowid;
    // How a rowid whose cell prefix was overwritten came back: read from a deleted index entry
    // holding the row's indexed values, or inferred from the row's place between live cells
    // (cell content grows downwards, so on append-only pages it is a guess, not a read).
    bool rowidFromIndex = false;
    bool rowidInferred = false;
    std::vector<Value> values; // one per column of `table`, in table order

    // Where a row of a rowid table read from the main file's free space sat among the page's
    // cells of known rowid (live, or carved with their rowid): its rowid lies strictly between
    // `lower` and `upper` (INT64_MAX: no cell above), and among rows sharing bounds a larger
    // `order` was inserted earlier (cells fill a page from its end). Set only when
    // Options::placement asked for it and the page's cells rise in rowid as they fall in place.
    struct Placement {
        int64_t lower = 0;
        int64_t upper = INT64_MAX;
        uint64_t order = 0;
        bool ranked = true; // false: `order` says nothing (the row may lie anywhere in the range)
    };
    std::optional<Placement> placement;
    // Read from what a deletion left of a two-integer link row's cell (see Options::links)
    // rather than from a whole record.
    bool salvaged = false;
    // A deleted entry of an index named in Options::indexEntries, not a table row: `table` is
    // the index's name, `values` its indexed columns followed by the rowid.
    bool indexEntry = false;
    // Its table's live tree lost the page that held its rowid (or, without rowid, some page):
    // the live rows there are unknown, so this one may be live.
    bool mayBeLive = false;
    // Found in a -wal frame SQLite does not apply: after the last commit, or past damage that
    // breaks the chain (frames of the same generation only; older ones are history). Live or
    // deleted, the file does not say.
    bool unapplied = false;

    bool isWhole() const;
    bool isPartial() const { return !isWhole(); }
};

// done/total in bytes scanned; return false to cancel.
using ProgressFn = std::function<bool(double done, double total)>;

struct Options {
    std::string walPath;     // empty: "<db>-wal" when it exists (if autoCompanions)
    std::string journalPath; // empty: "<db>-journal" when it exists (if autoCompanions)
    bool autoCompanions = true;
    ProgressFn progress;
    // When set, each recovered row is handed over here once it is final instead of being kept in
    // Result::rows, so memory stays bounded however many rows a file yields. The row is valid
    // only during the call (its storage is reused for the next one): copy what is kept.
    std::function<void(const CarvedRow&)> onRow;
    // With onRow: where the next carved row is to be written, for a caller that keeps rows in
    // room of its own (whose strings keep their capacity from row to row); onRow is then handed
    // that row. Saves copying each row. Rows read from index entries or link cells still come
    // in storage of the carver's.
    std::function<CarvedRow&()> rowRoom;
    // Called once with the tables (live and dropped) before the first row is handed over.
    std::function<void(const std::vector<Table>&)> onTables;
    // Keep Result::image: the database as it stands now, for reading its live rows through
    // SQLite without opening the evidence again.
    bool keepImage = false;
    // Threads carving the database's leaves: 0 uses a second core for large files, 1 none, 2 a
    // second whatever the size. The rows are the same either way.
    unsigned threads = 0;
    // Work out CarvedRow::placement for rows of rowid tables found in the main file's pages.
    bool placement = false;
    // Tables of two integer columns linking rows of two other tables (`parentA` for the first
    // column, `parentB` for the second): their deleted cells whose record header the freeblock
    // header took are read from what is left, on every image of the table's leaf pages (main
    // file and -wal frames). A pair counts only when each value names a row its table could
    // have held (up to its largest live or carved rowid, or the caller's `topA`/`topB` from
    // sqlite_sequence), and a region only when every pair of its one reading does.
    struct LinkTable {
        std::string table, parentA, parentB;
        int64_t topA = 0, topB = 0;
    };
    std::vector<LinkTable> links;
    // Indexes whose deleted entries are wanted as rows of their own (CarvedRow::indexEntry):
    // they outlive table rows that newer data took, and give back the indexed values and rowid.
    std::vector<std::string> indexEntries;
};

// The database as it stands now, page by page: the main file with the -wal's committed frames
// applied, read from the files the carve mapped (or the buffers it was given, which must then
// outlive it). Its first page's header says there is no -wal to look for. Reads may come from
// several threads at once.
class Image
{
public:
    virtual ~Image() = default;
    virtual uint32_t pageSize() const = 0;
    virtual uint32_t pageCount() const = 0;
    uint64_t size() const { return uint64_t(pageSize()) * pageCount(); }
    // Copies `size` bytes from `offset` into `out`; bytes past the end read as zeros, and false
    // is returned.
    virtual bool read(uint64_t offset, void* out, size_t size) const = 0;
};

struct Result {
    std::vector<Table> tables;
    std::vector<CarvedRow> rows;
    std::vector<std::string> warnings; // walks ended early by damage, with page and reason
    // Of those, the faults of the live trees (a page reached twice, a child that is no b-tree
    // page): SQLite reads past them without an error, so rows they held may be missing from its
    // answers or given twice, and the caller must tell the user.
    std::vector<std::string> damage;
    // Input that could not be read whole (a companion that does not open, a file that shrank
    // while read): records may be missing, which the caller must tell the user.
    std::vector<std::string> unread;
    bool cancelled = false;
    bool ok = false; // false when the file is not a SQLite database at all
    uint64_t bytesScanned = 0; // database, -wal and -journal together
    uint64_t rowCount = 0;     // rows reported, kept or streamed
    std::shared_ptr<const Image> image; // with Options::keepImage, when the file is a database
};

Result carveFile(const std::string& databasePath, const Options& options = {});

// The same scan over files already in memory (the companions may be empty). Options' paths and
// autoCompanions are ignored.
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};
Result carveBuffers(Bytes database, Bytes wal = {}, Bytes journal = {}, const Options& options = {});

// The 100 header bytes a database whose own header is lost needs for SQLite to read it: the page
// size its pages show, the rest as the old header still holds it or as a new database's. Empty
// when the header holds, or no page size reads the pages.
std::string rebuiltHeader(Bytes database);

// Why SQLite leaves frames of `wal` unread, for a database of `pageSize`-byte pages: its header
// is not a -wal's or does not hold, a frame's salt or checksum breaks the chain, or the last
// frames end no transaction. SQLite drops them without a word. Frames left from before a reset
// of the -wal are ordinary and not named. Empty when nothing is dropped.
std::string walBreak(Bytes wal, uint32_t pageSize);
// Why SQLite, rolling back the hot `journal`, leaves records of it out: the first record whose
// checksum (or page number) does not hold ends the rollback, and the pages it and the later
// records hold keep what a transaction never committed wrote. Empty when every record holds.
std::string journalBreak(Bytes journal);

} // namespace sqlcarve
