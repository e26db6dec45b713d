#pragma once

// Cell parsing: reads records out of a page's bytes, whole cells, cells whose first bytes a
// freeblock header took, and cells a newer one cut short, and tells which table each fits.
// The serial types of the last record read stay in types() for the caller.

#include "Catalog_p.h"
#include "Records_p.h"
#include "Text_p.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace sqlcarve {

// A lost 4-byte prefix (freeblock header) may hide up to 3 payload-size bytes and the first
// bytes of a rowid of up to 9 bytes: the serial types start at most this far into the cell.
constexpr int kMaxLostPrefixShift = 13;
// Evidence a record needs when its cell prefix is gone (or its page's owner is unknown).
constexpr uint64_t kMinRebuiltBody = 8;
// ... unless the page is its table's own and it holds a text of this many bytes at least.
constexpr int64_t kMinShortText = 4;
// SQLite refuses records over 1 GB (its default length limit); nothing longer is read.
constexpr uint64_t kMaxRecordBody = 1u << 30;
constexpr size_t kMinRebuiltColumns = 3;
// A rebuilt record this wide whose header survived whole needs no neighbour to vouch for its end.
constexpr size_t kMinSelfEvidentColumns = 5;
// A row that lost both its cell prefix and its tail is read only for tables this wide.
constexpr size_t kMinCutColumns = 8;
// How many times over a free-chain block the search for a lost text's end may read it.
constexpr uint64_t kTextScanRounds = 4;
// How far into a cell the NULL type of its rowid alias lies at most: after a payload size of up
// to 3 bytes (a page holds less than 2^21), a rowid of up to 9 and a header size of up to 2.
constexpr ptrdiff_t kMaxAliasZero = 3 + 9 + 2;
// The longest header an index entry read as stale is given: a few columns and a rowid.
constexpr uint64_t kMaxEntryHeader = 64;
constexpr uint32_t kMinSelfEvidentBody = 32;
// Free space between cells of a merged freeblock: fragments of at most 3 bytes.
constexpr int kMaxFragment = 3;
// A record narrower than the catalog's short rows, read on its table's own page, has at least
// this many columns ...
constexpr size_t kMinNarrowShortColumns = 3;
// ... and, when its cell prefix is lost, a text of this many bytes at least.
constexpr int64_t kMinNarrowRebuiltText = 8;

class CellReader
{
public:
    CellReader(const Catalog& schema, const Geometry& geo) : m_schema(schema), m_geo(geo) {}
    CellReader(const CellReader&) = delete;
    CellReader& operator=(const CellReader&) = delete;

    const std::vector<uint64_t>& types() const { return m_types; }
    // Another page image is read from here on: what was learnt of the last one's cells is gone.
    void startPage() { m_firstTypeColumns = 0; }
    // While on, records match sqlite_master alone (the search for dropped tables' schema rows).
    void setMasterOnly(bool on) { m_masterOnly = on; }
    bool masterOnly() const { return m_masterOnly; }
    // While it lives, a record on its table's own page may be narrower than the catalog's short
    // rows: written before columns were added to a narrow table. Look-aheads for newer cells turn
    // it off: a narrow reading there would only cut real rows short.
    struct NarrowRows {
        explicit NarrowRows(CellReader& r, bool on = true) : reader(r), was(r.m_narrowRows) { r.m_narrowRows = on; }
        ~NarrowRows() { reader.m_narrowRows = was; }
        CellReader& reader;
        bool was;
    };

    // Reads the records in page[from, to): `emit(parsed, types)` gets each, in page order.
    // prefixLost: the region is a block of the page's free chain, its first 4 bytes its header.
    // tableRows: table-leaf cells (else index cells, read whole only).
    template <class Emit>
    void readRegion(const uint8_t* page, uint32_t from, uint32_t to, bool prefixLost, bool tableRows, int prefer, Emit&& emit)
    {
        m_regionPage = page;
        if (to > m_geo.usable)
            to = m_geo.usable;
        if (from >= to)
            return;
        const uint8_t* limit = page + to;
        const uint8_t* p = page + from;
        const uint8_t* lastEnd = nullptr;
        std::optional<Parsed> cut; // a record cut short by a newer one, not yet reported
        std::vector<uint64_t> cutTypes;
        auto emitCut = [&] {
            emit(*cut, cutTypes);
            cut.reset();
        };
        // Other freeblock starts are recognised by their header like any stale one.
        const uint8_t* chainBlock = prefixLost ? p : nullptr;
        m_chainBlock = chainBlock;
        m_chainEnd = limit;
        m_textScanLeft = kTextScanRounds * uint64_t(limit - p);
        // Every reading that succeeds sets all of it: one per region, not one per byte tried.
        Parsed m;
        auto zeroWord = [](const uint8_t* q) {
            uint32_t w;
            std::memcpy(&w, q, 4);
            return w == 0;
        };
        while (p + 3 <= limit) {
            // Four zero bytes start no cell (its payload size would be 0) and no freeblock header
            // (its size would be 0): runs of never-used space are stepped over at once. Where a
            // record ended or the region starts, a record that lost both ends is still looked for.
            if (p + 4 <= limit && p != lastEnd && p != page + from && zeroWord(p)) {
                do
                    ++p;
                while (p + 4 <= limit && zeroWord(p));
                if (cut && p >= cut->end)
                    emitCut();
                continue;
            }
            bool found = false;
            if (tableRows) {
                // A freeblock header, current or left behind when its block was merged or given
                // back to the unallocated area, sits where a freed cell began.
                // Zeros before an intact cell read like a header too: a whole cell starting
                // inside those 4 bytes is the better reading, unless the page's own chain of
                // free blocks says the 4 bytes are a header.
                if (p + kFreeblockHeaderSize < limit && freeblockHeaderAt(p)
                    && (p == chainBlock || !intactCellWithin(p, limit, prefer))) {
                    const NarrowRows narrow(*this);
                    found = tryLostPrefix(p, std::min(limit, p + blockSize(p, limit)), prefer, &m);
                }
                bool runsOut = false;
                if (!found) {
                    const NarrowRows narrow(*this);
                    found = tryCell(p, limit, true, prefer, &m, false, &runsOut);
                }
                if (!found && lastEnd && p - lastEnd <= kMaxFragment) {
                    const NarrowRows narrow(*this);
                    found = tryLostPrefix(p, limit, prefer, &m);
                }
                // Last, a record cut short by a newer one: any whole reading of these bytes wins.
                if (!found && runsOut)
                    found = tryCell(p, limit, true, prefer, &m, true);
                // Both ends lost: only where a record or the region ended just before, as where
                // a freed cell followed the one read last.
                if (!found && (p == lastEnd || p == page + from))
                    found = tryLostPrefixCut(p, limit, prefer, &m);
            } else {
                found = tryCell(p, limit, false, prefer, &m);
            }
            if (found && m.cut) {
                // Kept aside while the bytes it claims are read on: a reading found among them
                // ends it there (or drops it, when nothing distinctive is left before).
                if (!cut) {
                    cut = m;
                    cutTypes = m_types;
                }
                ++p;
                continue;
            }
            if (found) {
                if (cut && m.start < cut->end) {
                    const bool keep = m.start > cut->body && distinctivePrefix(cut->body, uint32_t(m.start - cut->body), cutTypes);
                    if (keep) {
                        cut->bodyLocal = uint32_t(m.start - cut->body);
                        cut->end = m.start;
                    } else {
                        cut.reset();
                    }
                }
                if (cut && cut->end <= m.start)
                    emitCut();
                // A cell written into the end of this one's freed slot and freed in turn lies
                // whole in its tail: the values there are that cell's, read next.
                if (tableRows && !m.cut) {
                    const uint8_t* newer = newerCellInside(m.body, m.end, prefer);
                    if (!newer)
                        newer = freedNewerCellInside(m.body, m.end, limit, prefer);
                    if (newer) {
                        const int64_t implied = m.implied ? std::max<int64_t>(0, serialSize(m.impliedType)) : 0;
                        const uint8_t* values = m.body + implied;
                        if (newer > values && distinctivePrefix(values, uint32_t(newer - values))) {
                            m.bodyLocal = uint32_t(newer - m.body);
                            m.end = newer;
                            m.overflowPage = 0;
                            m.cut = true;
                            emit(m, m_types);
                        }
                        p = newer;
                        continue;
                    }
                }
                emit(m, m_types);
                lastEnd = m.end;
                p = m.end;
                continue;
            }
            ++p;
            if (cut && p >= cut->end)
                emitCut();
        }
        if (cut)
            emitCut();
    }

private:
    // Reads exactly `n` serial types from p (before limit) into m_types.
    bool readTypes(const uint8_t* p, const uint8_t* limit, size_t n, const uint8_t** end)
    {
        m_types.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const int k = getVarint(p, limit, &m_types[i]);
            if (!k)
                return false;
            p += k;
        }
        *end = p;
        return true;
    }

public:
    // The header of the table-leaf cell at `off` of a page image: its serial types go to types().
    struct CellHeader {
        uint64_t payload = 0, rowid = 0;
        uint32_t header = 0, types = 0, end = 0; // where its header starts, its serial types start, it ends
    };
    // False when the header does not parse or reaches past the page.
    bool readCellHeader(const PageView& page, uint32_t off, CellHeader* out)
    {
        const int a = page.varint(off, &out->payload);
        const int b = a ? page.varint(off + uint32_t(a), &out->rowid) : 0;
        const uint32_t header = off + uint32_t(a + b);
        uint64_t hsize = 0;
        const int c = b ? page.varint(header, &hsize) : 0;
        // Lengths from a damaged page are compared as sizes: a pointer past the page is undefined.
        if (!c || hsize < uint64_t(c) + 1 || hsize > out->payload || hsize > page.size() - header)
            return false;
        out->header = header;
        out->types = header + uint32_t(c);
        out->end = header + uint32_t(hsize);
        return readAllTypes(page.at(out->types), page.at(out->end));
    }

    // Reads all serial types in [p, end) into types().
    bool readAllTypes(const uint8_t* p, const uint8_t* end)
    {
        m_types.clear();
        while (p < end) {
            uint64_t t = 0;
            const int k = getVarint(p, end, &t);
            if (!k || m_types.size() >= m_schema.maxColumns())
                return false;
            m_types.push_back(t);
            p += k;
        }
        return true;
    }

    // Rows of wide tables in the space an index page has not written yet: the page held them
    // before the index took it from the free list. That space is mostly the index's own stale
    // entries, so only a record with its cell prefix (cut where the entries begin) or under a
    // freeblock header is read, and no narrower table's row could be told from an entry.
    template <class Emit>
    void readFormerRows(const uint8_t* page, uint32_t from, uint32_t to, Emit&& emit)
    {
        m_regionPage = page;
        m_chainBlock = nullptr;
        m_blockEnd = nullptr;
        const uint8_t* limit = page + std::min(to, m_geo.usable);
        const WideRowsOnly wide(*this);
        // Stale entries of the file's indexes (automatic ones too, whose columns are not known
        // here) and any other record narrower than the rows looked for.
        uint64_t entryCounts = (uint64_t(1) << kMinCutColumns) - 4; // 2 to kMinCutColumns - 1
        for (const IndexLayout& ix : m_schema.indexes())
            if (ix.columns.size() + 1 < 64)
                entryCounts |= uint64_t(1) << (ix.columns.size() + 1);
        Parsed m;
        for (const uint8_t* p = page + std::min(from, to); p + 3 <= limit;) {
            // The alias's NULL is a 0 byte 3 to kMaxAliasZero bytes into such a cell: positions
            // with none there are passed over at once.
            const auto* zero = static_cast<const uint8_t*>(std::memchr(p + 3, 0, size_t(limit - p) - 3));
            if (!zero)
                break;
            if (zero - p > kMaxAliasZero) {
                p = zero - kMaxAliasZero;
                continue;
            }
            // Stale entries are stepped over whole: most of such space is theirs.
            if (const uint8_t* end = staleEntryEnd(p, limit, entryCounts)) {
                p = end;
                continue;
            }
            // Only a row of a table whose first column is a rowid alias is looked for: its cell
            // or freed cell shows that alias's NULL within its first bytes, which few places do.
            bool found = false;
            if (aliasCellStartAt(p, limit)) {
                bool runsOut = false;
                found = tryCell(p, limit, true, -1, &m, false, &runsOut);
                if (!found && runsOut)
                    found = tryCell(p, limit, true, -1, &m, true);
                if (!found && p + kFreeblockHeaderSize < limit && freeblockHeaderAt(p))
                    found = tryLostPrefix(p, std::min(limit, p + blockSize(p, limit)), -1, &m);
            }
            if (found)
                emit(m, m_types);
            p = found && m.end > p ? m.end : p + 1;
        }
    }

private:
    // While it lives, only rows of tables of kMinCutColumns columns or more are read: where
    // stale entries of an index fill the space, no narrower row could be told from them.
    struct WideRowsOnly {
        explicit WideRowsOnly(CellReader& r) : reader(r), was(r.m_wideOnly) { r.m_wideOnly = true; }
        ~WideRowsOnly() { reader.m_wideOnly = was; }
        CellReader& reader;
        bool was;
    };
    // Lets pickTable match rows shorter than their table while it lives.
    struct ShortRows {
        ShortRows(CellReader* r, bool on) : reader(r), was(r->m_shortRows) { r->m_shortRows = on; }
        ~ShortRows() { reader->m_shortRows = was; }
        CellReader* reader;
        bool was;
    };
    // While it lives, endFits lets at most `gap` bytes lie between a reading's end and what
    // follows it.
    struct EndGap {
        EndGap(CellReader* r, int gap) : reader(r), was(r->m_endGap) { r->m_endGap = gap; }
        ~EndGap() { reader->m_endGap = was; }
        CellReader* reader;
        int was;
    };

    // Best table for the serial types in m_types (with an implied leading NULL); -1 for none.
    // The values start at `body`; bytes up to `limit` may be looked at.
    int pickTable(const uint64_t* implied, int prefer, bool rowidTable, uint64_t* bodySize, const uint8_t* body,
                  const uint8_t* limit)
    {
        const size_t n = m_types.size() + (implied ? 1 : 0);
        if (n >= m_schema.byCount().size())
            return -1;
        int best = -1, bestScore = -1;
        if (m_wideOnly && n < kMinCutColumns)
            return -1;
        for (int ti : m_schema.byCount()[n]) {
            const TableLayout& t = m_schema.table(size_t(ti));
            if (t.table.withoutRowid == rowidTable)
                continue;
            // A b-tree page keeps its table for life: rows freed on it were that table's.
            if (prefer >= 0 && ti != prefer)
                continue;
            // A record shorter than its table is matched only on a page that table owns, and only
            // where the caller allows it: by its first columns alone, other tables' records would
            // pass too.
            if (t.stored.size() != n && (ti != prefer || !m_shortRows))
                continue;
            if (m_masterOnly && ti != 0)
                continue;
            if (ti == 0 && !masterRowFits(implied, body, limit))
                continue;
            if (implied && !compatible(t.stored[0], *implied))
                continue;
            // Rebuilt records of a table that accepts anything are guesses unless the page is known
            // to be that table's.
            if (m_rebuilding && t.loose && ti != prefer)
                continue;
            const int score = typesScore(t, implied);
            if (score < 0)
                continue;
            if (score + (ti == prefer ? 1 << 20 : 0) > bestScore) {
                best = ti;
                bestScore = score + (ti == prefer ? 1 << 20 : 0);
            }
        }
        // Narrower still, a row of its table's own page written before columns were added (a
        // handle of an older release). With its cell prefix lost, only its rowid alias (always
        // NULL) may be the type it lost, and a text must vouch for the reading: a few numbers
        // read as easily from any bytes.
        if (best < 0 && narrowCount(n, prefer) && m_shortRows && m_schema.table(size_t(prefer)).table.withoutRowid != rowidTable
            && (!implied || (*implied == 0 && m_schema.table(size_t(prefer)).stored[0].rowidAlias))
            && (!m_rebuilding || holdsText(kMinNarrowRebuiltText))
            && typesScore(m_schema.table(size_t(prefer)), implied) >= 0)
            best = prefer;
        if (best < 0)
            return -1;
        uint64_t total = implied ? uint64_t(std::max<int64_t>(0, serialSize(*implied))) : 0;
        // No record is larger than the file's pages (checked per column so the sum cannot wrap).
        const uint64_t maxBody = std::min<uint64_t>((uint64_t(m_geo.pageCount) + m_geo.walFrames + 1) * m_geo.usable, kMaxRecordBody);
        for (uint64_t t : m_types) {
            const int64_t s = serialSize(t);
            if (s < 0 || uint64_t(s) > maxBody)
                return -1;
            total += uint64_t(s);
        }
        if (total > maxBody)
            return -1;
        *bodySize = total;
        return best;
    }

    // SQLite writes its schema rows itself: a kind of object, two names, a root page and the
    // statement, stored from "CREATE " on (or nothing, for an index it made). A reading whose
    // values break that is misaligned, whatever its serial types allow, and may be another
    // table's row. Values past `limit` are judged by their types alone.
    bool masterRowFits(const uint64_t* implied, const uint8_t* body, const uint8_t* limit) const
    {
        const size_t n = m_types.size() + (implied ? 1 : 0);
        if (n != kMasterColumns)
            return true; // a row cut short is judged by its own rules
        const uint8_t* p = body;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t t = implied ? (i ? m_types[i - 1] : *implied) : m_types[i];
            const bool text = t >= 13 && (t & 1);
            const int64_t size = serialSize(t);
            const bool inReach = size >= 0 && p <= limit && uint64_t(size) <= uint64_t(limit - p);
            switch (i) {
            case 0:
                if (!text || (inReach && !isKindWord(p, size_t(size))))
                    return false;
                break;
            case 1:
            case 2:
                if (!text || size == 0)
                    return false;
                break;
            case 3:
                if (!(t >= 1 && t <= 6) && t != 8 && t != 9)
                    return false;
                break;
            default:
                if (t != 0 && !text)
                    return false;
                if (text && p <= limit
                    && !textMatches(p, inReach ? size_t(size) : size_t(limit - p), "CREATE ", inReach ? kStarts : kCutShort))
                    return false;
            }
            if (!inReach)
                return true;
            p += size;
        }
        return true;
    }
    static constexpr size_t kMasterColumns = 5;

    bool isKindWord(const uint8_t* p, size_t n) const
    {
        for (const char* word : {"table", "index", "view", "trigger"})
            if (textMatches(p, n, word, kExactly))
                return true;
        return false;
    }

    // How a text of n bytes is held against an ASCII word: it is the word, it starts with it, or
    // it runs on past the n bytes and the whole characters they hold start as the word does.
    enum TextMatch { kExactly, kStarts, kCutShort };
    bool textMatches(const uint8_t* p, size_t n, const char* word, TextMatch how) const
    {
        const size_t unit = m_geo.encoding == Utf8 ? 1 : 2;
        const size_t len = std::strlen(word), chars = n / unit;
        if (how == kExactly && (n % unit || chars != len))
            return false;
        if (how == kStarts && chars < len)
            return false;
        for (size_t i = 0; i < std::min(chars, len); ++i) {
            const uint8_t* c = p + i * unit;
            const uint8_t low = unit == 1 || m_geo.encoding == Utf16le ? c[0] : c[1];
            const uint8_t high = unit == 1 ? 0 : m_geo.encoding == Utf16le ? c[1] : c[0];
            if (low != uint8_t(word[i]) || high)
                return false;
        }
        return true;
    }

    // How well the serial types in m_types (after an implied first one) fit the table's first
    // columns; -1 when one cannot be that column's.
    int typesScore(const TableLayout& t, const uint64_t* implied) const
    {
        int score = 0;
        for (size_t i = 0; i < m_types.size(); ++i) {
            const StoredColumn& c = t.stored[i + (implied ? 1 : 0)];
            if (!compatible(c, m_types[i]))
                return -1;
            // A rowid alias always holds NULL; an ordinary column only may. Where two tables
            // store alike, the one whose alias explains the NULL is the likelier owner.
            score += c.rowidAlias ? 3 : (c.affinity == Affinity::Blob || c.affinity == Affinity::Numeric) ? 1 : 2;
        }
        return score;
    }
    // The most columns a record at p read shorter than table t may have: such a reading matches
    // t column by column from the first (from the second when its first type was lost), so no
    // count reaches past the first type that does not fit. Bounds the counts tried for a row of
    // a wide table that gained many columns, each of which would read the types again.
    size_t shortReach(const uint8_t* p, const uint8_t* limit, const TableLayout& t) const
    {
        const size_t n = t.stored.size();
        size_t reach = 1; // a lost first type alone
        bool whole = true, lostFirst = n > 1;
        for (size_t i = 0; (whole || lostFirst) && i < n; ++i) {
            uint64_t type = 0;
            const int k = getVarint(p, limit, &type);
            if (!k)
                break;
            p += k;
            whole = whole && compatible(t.stored[i], type);
            lostFirst = lostFirst && i + 1 < n && compatible(t.stored[i + 1], type);
            if (whole)
                reach = std::max(reach, i + 1);
            if (lostFirst)
                reach = std::max(reach, i + 2);
        }
        return std::min(reach, n - 1);
    }
    // Whether a record of n columns may be read as a narrow row of the page's own table.
    bool narrowCount(size_t n, int prefer) const
    {
        if (!m_narrowRows || prefer <= 0 || m_masterOnly || n < kMinNarrowShortColumns || n >= kMinShortRecordColumns)
            return false;
        const TableLayout& t = m_schema.table(size_t(prefer));
        return n < t.stored.size() && n >= t.shortest;
    }

public:
    // Text must decode in the database encoding; junk parsed as a record rarely does.
    bool plausibleValues(const uint8_t* body, uint32_t available) const { return plausibleValues(body, available, m_types); }
    bool plausibleValues(const uint8_t* body, uint32_t available, const std::vector<uint64_t>& types) const
    {
        // Zeroed space parses as rows of zeros and NULLs; such a row says nothing anyway.
        bool allZero = true;
        for (uint32_t i = 0; i < available && allZero; ++i)
            allZero = body[i] == 0;
        if (allZero)
            return false;
        const uint8_t* p = body;
        uint32_t left = available;
        for (uint64_t t : types) {
            const int64_t s = serialSize(t);
            if (uint64_t(s) > left)
                return true; // the rest is out of reach here (overflow) and is checked no further
            if (t >= 13 && (t & 1) && !plainText(p, size_t(s), m_geo.encoding))
                return false;
            p += s;
            left -= uint32_t(s);
        }
        return true;
    }

    // A record with an intact cell prefix at `c` (table leaf: payload size, rowid; index: size).
    // With `allowCut`, a record whose header and cell prefix survived whole but whose body runs
    // past `limit` (or into a newer cell before it) is taken with the values that lie before the
    // cut, when one of them says something.
    // runsOut: set when, without allowCut, the reading was given up only because its body runs
    // past limit (with allowCut it may then be read cut short; otherwise it fails as here).
    bool tryCell(const uint8_t* c, const uint8_t* limit, bool tableCell, int prefer, Parsed* out, bool allowCut = false,
                 bool* runsOut = nullptr)
    {
        uint64_t payload = 0, rowid = 0, hsize = 0;
        const uint8_t* p = c;
        int k = getVarint(p, limit, &payload);
        if (!k || payload < 2)
            return false;
        p += k;
        if (tableCell) {
            k = getVarint(p, limit, &rowid);
            if (!k)
                return false;
            p += k;
        }
        const uint8_t* rec = p;
        k = getVarint(rec, limit, &hsize);
        if (!k || hsize < uint64_t(k) + 1 || hsize > payload || hsize > uint64_t(m_schema.maxColumns()) * kMaxVarint + 2
            || (m_wideOnly && hsize < kMinCutColumns + 1))
            return false;
        const uint8_t* typesEnd = rec + hsize;
        if (typesEnd > limit)
            return false;
        if (!readAllTypes(rec + k, typesEnd))
            return false;
        uint64_t bodySize = 0;
        const ShortRows allow(this, true); // the record's own header says how many columns it has
        const int table = pickTable(nullptr, prefer, tableCell, &bodySize, typesEnd, limit);
        if (table < 0 || bodySize == 0 || hsize + bodySize != payload)
            return false;
        if (prefer < 0 && bodySize < kMinRebuiltBody && m_schema.table(size_t(table)).stored.size() < kMinRebuiltColumns)
            return false; // a narrow row on a page of unknown owner: too little to tell from noise
        // A wide table's header whose sizes add up to its payload is evidence enough that a cell
        // begins here, whatever became of its values.
        if (m_headerOnly)
            return m_schema.table(size_t(table)).stored.size() >= kMinCutColumns;
        const uint32_t local = localPayload(payload, m_geo.usable, tableCell);
        if (local < hsize)
            return false;
        uint32_t ovfl = 0;
        const uint8_t* cutAt = nullptr;
        if (rec + local > limit || (local < payload && rec + local + kOverflowPointerSize > limit)) {
            if (!allowCut) {
                if (runsOut)
                    *runsOut = true;
                return false;
            }
            cutAt = newerCellAfter(typesEnd, limit, prefer);
            if (!distinctivePrefix(typesEnd, uint32_t(cutAt - typesEnd)))
                return false;
        } else if (local < payload) {
            ovfl = wordAt(rec + local, limit);
            if (ovfl < 1 || ovfl > m_geo.pageCount + m_geo.walFrames)
                return false;
        }
        uint32_t bodyLocal = cutAt ? uint32_t(cutAt - typesEnd) : uint32_t(local - hsize);
        if (!plausibleValues(typesEnd, bodyLocal)) {
            // Values that stop making sense inside the record: a newer cell, freed since, may
            // have been written over its tail from a merged block's end.
            if (cutAt || ovfl)
                return false;
            if (!allowCut) {
                if (runsOut)
                    *runsOut = true;
                return false;
            }
            const uint8_t* end = typesEnd + bodyLocal;
            cutAt = newerCellAfter(typesEnd, limit, prefer, end);
            // Values still out of place before that cell: another, whose header was written
            // over in turn, may start sooner.
            if (cutAt >= end || !plausibleValues(typesEnd, uint32_t(cutAt - typesEnd)))
                cutAt = newerCellAfter(typesEnd, limit, prefer, end, true);
            if (cutAt >= end || !distinctivePrefix(typesEnd, uint32_t(cutAt - typesEnd)))
                return false;
            bodyLocal = uint32_t(cutAt - typesEnd);
            if (!plausibleValues(typesEnd, bodyLocal))
                return false;
        }
        out->table = table;
        out->hasRowid = tableCell;
        out->rowid = int64_t(rowid);
        out->implied = false;
        out->impliedType = 0;
        out->start = c;
        out->types = rec + k;
        out->body = typesEnd;
        out->bodySize = uint32_t(bodySize);
        out->bodyLocal = bodyLocal;
        out->overflowPage = ovfl;
        out->end = cutAt ? cutAt : rec + local + (ovfl ? kOverflowPointerSize : 0);
        out->cut = cutAt != nullptr;
        return true;
    }

private:
    // Where a record cut short ends: at the first whole cell after its header (a newer row
    // written over its tail), else at the end of its free region. A newer cell is looked for
    // before `before` (the record's own end, when it has one) and may reach past it.
    // m_types is kept for the caller.
    // With `byPrefix`, also a cell known only by its prefix (aliasCellStartAt).
    const uint8_t* newerCellAfter(const uint8_t* from, const uint8_t* limit, int prefer, const uint8_t* before = nullptr,
                                  bool byPrefix = false)
    {
        const NarrowRows wide(*this, false);
        const std::vector<uint64_t> types = m_types;
        const uint8_t* at = limit;
        const uint8_t* last = before ? std::min(before, limit) : limit;
        Parsed m;
        for (const uint8_t* q = from + 1; q < last && q + 3 <= limit; ++q) {
            // A newer cell, whole or freed in turn (its prefix under a freeblock header), or one
            // whose own tail a still newer cell took.
            if (tryCell(q, limit, true, prefer, &m)
                || (q + kFreeblockHeaderSize < limit && freeblockHeaderAt(q)
                    && tryLostPrefix(q, std::min(limit, q + blockSize(q, limit)), prefer, &m))
                || wideCellHeaderAt(q, limit, prefer) || (byPrefix && aliasCellStartAt(q, limit))) {
                at = q;
                break;
            }
        }
        m_types = types;
        return at;
    }

    // The end of an index entry that starts at p, whole and of one of `counts` (a bit per count
    // of serial types); null when none does.
    const uint8_t* staleEntryEnd(const uint8_t* p, const uint8_t* limit, uint64_t counts) const
    {
        uint64_t payload = 0, hsize = 0;
        const int k = getVarint(p, limit, &payload);
        if (!k || payload < 2 || payload > uint64_t(limit - p))
            return nullptr;
        const uint8_t* rec = p + k;
        const int h = getVarint(rec, limit, &hsize);
        if (!h || hsize < uint64_t(h) + 1 || hsize > kMaxEntryHeader || hsize > payload || rec + payload > limit)
            return nullptr;
        uint64_t body = 0;
        size_t n = 0;
        for (const uint8_t* q = rec + h; q < rec + hsize; ++n) {
            uint64_t t = 0;
            const int m = getVarint(q, rec + hsize, &t);
            if (!m || t == 10 || t == 11)
                return nullptr;
            body += uint64_t(serialSize(t));
            q += m;
        }
        return n < 64 && (counts >> n & 1) && hsize + body == payload ? rec + payload : nullptr;
    }

    // Whether a cell of a wide table whose first column is a rowid alias starts at q, known by its
    // prefix alone (its header may have been written over in turn): a payload size, a rowid, a
    // header size that fits the table and the alias's NULL. No plain text holds that 0 byte.
    // A cell freed in turn is known the same way by its freeblock header and, after it, the
    // alias's NULL type, before or after the header size the block left.
    bool aliasCellStartAt(const uint8_t* q, const uint8_t* limit) const
    {
        if (q + kFreeblockHeaderSize + 2 < limit && freeblockHeaderAt(q)) {
            const uint8_t* after = q + kFreeblockHeaderSize;
            if (after[0] == 0 && aliasHeaderFits(0))
                return true;
            for (int k = 0; k < 3 && after + k + 1 < limit; ++k)
                if (after[k + 1] == 0 && after[k] >= kMinCutColumns + 1 && after[k] < 0x80 && aliasHeaderFits(after[k]))
                    return true;
        }
        uint64_t payload = 0, rowid = 0, hsize = 0;
        const uint8_t* p = q;
        for (uint64_t* v : {&payload, &rowid, &hsize}) {
            const int k = getVarint(p, limit, v);
            if (!k)
                return false;
            p += k;
        }
        return p < limit && *p == 0 && hsize >= kMinCutColumns + 1 && hsize < payload && aliasHeaderFits(hsize);
    }

    // Whether a wide table whose first column is a rowid alias has a header of this size (any,
    // for 0).
    bool aliasHeaderFits(uint64_t hsize) const
    {
        if (m_aliasRangesFor != m_schema.size()) {
            m_aliasRangesFor = m_schema.size();
            m_aliasRanges.clear();
            for (size_t ti = 0; ti < m_schema.size(); ++ti) {
                const uint64_t columns = m_schema.table(ti).stored.size();
                if (aliasFirstWide(ti))
                    m_aliasRanges.push_back({columns + 1, columns * kMaxVarint + 2});
            }
        }
        for (const auto& [lo, hi] : m_aliasRanges)
            if (hsize == 0 || (hsize >= lo && hsize <= hi))
                return true;
        return false;
    }

    bool wideCellHeaderAt(const uint8_t* q, const uint8_t* limit, int prefer)
    {
        m_headerOnly = true;
        Parsed m;
        const bool found = tryCell(q, limit, true, prefer, &m);
        m_headerOnly = false;
        return found;
    }

    // Whether the values wholly before the cut (types in m_types) hold one that could not be
    // noise: a text or blob of 4 bytes or more, an integer of 2 bytes or more, a real.
    bool distinctivePrefix(const uint8_t* body, uint32_t available) const { return distinctivePrefix(body, available, m_types); }
    static bool distinctivePrefix(const uint8_t* body, uint32_t available, const std::vector<uint64_t>& types)
    {
        uint64_t pos = 0;
        for (uint64_t t : types) {
            const int64_t sz = serialSize(t);
            if (sz < 0 || pos + uint64_t(sz) > available)
                return false;
            if ((t >= 2 && t <= 7) || (t >= 20 && sz >= 4)) {
                // All-zero bytes are wiped space, not a value.
                for (int64_t i = 0; i < sz; ++i)
                    if (body[pos + uint64_t(i)])
                        return true;
            }
            pos += uint64_t(sz);
        }
        return false;
    }

    // Finishes a record whose types are in m_types and start at `types` (ending at typesEnd).
    // With `allowCut`, a record whose tail a newer cell took is kept with the values before it,
    // as tryCell keeps one whose cell prefix survived.
    bool finishLost(const uint8_t* f, const uint8_t* types, const uint8_t* typesEnd, const uint64_t* implied,
                    const uint8_t* limit, int prefer, Parsed* out, bool allowCut = false)
    {
        uint64_t bodySize = 0;
        m_rebuilding = true;
        const int table = pickTable(implied, prefer, true, &bodySize, typesEnd, limit);
        m_rebuilding = false;
        // With its prefix gone, a short record of a narrow table is as likely to be chance bytes;
        // a long one (a note's body, a guid) holds a text that must decode and end in place. A
        // short one on its table's own page may keep its first type only where that type cannot
        // be anything else (a rowid alias is NULL).
        if (table < 0 || (bodySize < kMinRebuiltBody && !(table == prefer && holdsText(kMinShortText))))
            return false;
        const TableLayout& tl = m_schema.table(size_t(table));
        if (tl.stored.size() < kMinRebuiltColumns && bodySize < kMinSelfEvidentBody
            && (table != prefer || (implied && !(tl.stored[0].rowidAlias && *implied == 0))))
            return false;
        const uint64_t typeBytes = uint64_t(typesEnd - types) + (implied ? uint64_t(varintLength(*implied)) : 0);
        const uint64_t hsize = typeBytes + uint64_t(varintLength(typeBytes + 1));
        const uint64_t payload = hsize + bodySize;
        // The cell began with its payload size, rowid, header size and the lost types: together
        // exactly the bytes before the first surviving type, with room for a rowid of 1 to 9 bytes.
        const int64_t rowidBytes = int64_t(types - f) - varintLength(payload) - varintLength(hsize)
                                   - (implied ? varintLength(*implied) : 0);
        if (rowidBytes < 1 || rowidBytes > int64_t(kMaxVarint))
            return false;
        const uint32_t local = localPayload(payload, m_geo.usable, true);
        if (local < hsize)
            return false;
        uint32_t bodyLocal = uint32_t(local - hsize);
        const uint32_t impliedSize = implied ? uint32_t(std::max<int64_t>(0, serialSize(*implied))) : 0;
        const uint8_t* cutAt = nullptr;
        if (allowCut) {
            // Cut where a newer cell starts inside the record's bytes, or where the free region
            // ends in a live one (not at the page's end: no cell reaches past it). Enough must
            // survive to say something and to be told from the rows it may be a copy of.
            cutAt = newerCellAfter(typesEnd, limit, prefer, typesEnd + bodyLocal);
            if (cutAt >= typesEnd + bodyLocal || cutAt <= typesEnd + impliedSize
                || !plausibleValues(typesEnd + impliedSize, uint32_t(cutAt - typesEnd) - impliedSize))
                cutAt = newerCellAfter(typesEnd, limit, prefer, typesEnd + bodyLocal, true);
            if (cutAt >= typesEnd + bodyLocal || cutAt < typesEnd + impliedSize + kPrefixBytes
                || (m_regionPage && cutAt >= m_regionPage + m_geo.usable)
                || !distinctivePrefix(typesEnd + impliedSize, uint32_t(cutAt - typesEnd) - impliedSize))
                return false;
            bodyLocal = uint32_t(cutAt - typesEnd);
        }
        if (typesEnd + bodyLocal > limit)
            return false;
        uint32_t ovfl = 0;
        if (local < payload && !cutAt) {
            if (typesEnd + bodyLocal + kOverflowPointerSize > limit)
                return false;
            ovfl = wordAt(typesEnd + bodyLocal, limit);
            if (ovfl < 1 || ovfl > m_geo.pageCount + m_geo.walFrames)
                return false;
        }
        if (impliedSize > bodyLocal || !plausibleValues(typesEnd + impliedSize, bodyLocal - impliedSize))
            return false;
        out->table = table;
        out->hasRowid = false;
        out->rowid = 0;
        out->implied = implied != nullptr;
        out->impliedType = implied ? *implied : 0;
        out->start = f;
        out->types = types;
        out->body = typesEnd;
        out->bodySize = uint32_t(bodySize);
        out->bodyLocal = bodyLocal;
        out->overflowPage = ovfl;
        out->end = typesEnd + bodyLocal + (ovfl ? kOverflowPointerSize : 0);
        out->cut = cutAt != nullptr;
        return true;
    }

    // A freed cell whose prefix the freeblock header took and whose tail a newer cell took too:
    // read only where nothing whole reads, and only for a wide table whose every serial type
    // survived, so the row's table is beyond doubt. The header may be stale (the page's cells
    // were moved since), its size no longer fitting.
    bool tryLostPrefixCut(const uint8_t* f, const uint8_t* limit, int prefer, Parsed* out)
    {
        const uint8_t* intact = f + kFreeblockHeaderSize;
        if (m_lookahead || intact >= limit || !freeblockHeaderAt(f, true))
            return false;
        const ShortRows allow(this, false);
        // Header size lost with the cell prefix: the serial types start right after the header.
        for (size_t n = kMinCutColumns; n < m_schema.byCount().size(); ++n) {
            const uint8_t* typesEnd = nullptr;
            if (!m_schema.byCount()[n].empty() && readTypes(intact, limit, n, &typesEnd)
                && finishLost(f, intact, typesEnd, nullptr, limit, prefer, out, true))
                return true;
        }
        // A one-byte header size intact, after the last bytes of the rowid.
        for (int shift = kFreeblockHeaderSize + 1; shift <= kMaxLostPrefixShift; ++shift) {
            const uint8_t* q = f + shift;
            uint64_t hsize = 0;
            if (q >= limit || getVarint(q - 1, q, &hsize) != 1 || hsize < kMinCutColumns + 1)
                continue;
            bool tailOk = q - 1 == intact || !(q[-2] & 0x80);
            for (const uint8_t* r = intact; r + 2 < q && tailOk; ++r)
                tailOk = (*r & 0x80) != 0;
            const uint8_t* typesEnd = q - 1 + hsize;
            if (tailOk && typesEnd <= limit && readAllTypes(q, typesEnd) && m_types.size() >= kMinCutColumns
                && finishLost(f, q, typesEnd, nullptr, limit, prefer, out, true))
                return true;
        }
        // The first serial type lost too, as when a 1-byte payload size, rowid and header size
        // went with it under the header. A narrower table's row passes only in a block of its own
        // page's free chain, its first type the one that page's live rows all give that column.
        // A rowid alias is always NULL: a wide table's row whose first column is one needs no
        // such proof, wherever its block lies.
        const bool aliasFirst = prefer >= 0 && aliasFirstWide(size_t(prefer));
        if ((f == m_chainBlock || aliasFirst) && prefer >= 0) {
            const size_t n = m_schema.table(size_t(prefer)).stored.size();
            const int64_t first = aliasFirst ? 0 : n >= kMinRebuiltColumns ? neighboursFirstType(n) : -1;
            const uint64_t type = uint64_t(first);
            const uint8_t* typesEnd = nullptr;
            if (first >= 0 && readTypes(intact, limit, n - 1, &typesEnd)
                && finishLost(f, intact, typesEnd, &type, limit, prefer, out, true) && out->table == prefer)
                return true;
        }
        // On a page whose owner is not assumed, the same for each such table.
        if (prefer < 0) {
            const uint64_t type = 0;
            for (size_t ti = 0; ti < m_schema.size(); ++ti) {
                const uint8_t* typesEnd = nullptr;
                if (aliasFirstWide(ti) && readTypes(intact, limit, m_schema.table(ti).stored.size() - 1, &typesEnd)
                    && finishLost(f, intact, typesEnd, &type, limit, prefer, out, true) && out->table == int(ti))
                    return true;
            }
        }
        return false;
    }

    bool aliasFirstWide(size_t table) const
    {
        const TableLayout& t = m_schema.table(table);
        return t.stored.size() >= kMinCutColumns && t.stored[0].rowidAlias;
    }

    // The serial type every live cell on the page being read gives its first column, when each
    // holds `columns` values; -1 when they differ, hold another count, or there are none.
    // Read once per page: a page may hold thousands of free blocks.
    int64_t neighboursFirstType(size_t columns)
    {
        if (columns == m_firstTypeColumns)
            return m_firstType;
        m_firstTypeColumns = columns;
        m_firstType = -1;
        const BtreePage page(m_regionPage, m_geo.usable, false);
        if (!m_regionPage || page.type() != TableLeaf || !page.countFits())
            return -1;
        int64_t agreed = -1;
        for (uint32_t i = 0; i < page.cellCount(); ++i) {
            CellHeader cell;
            if (!readCellHeader(page.view(), page.cellPointer(i), &cell) || m_types.size() != columns
                || (agreed >= 0 && uint64_t(agreed) != m_types[0]))
                return -1;
            agreed = int64_t(m_types[0]);
        }
        m_firstType = agreed;
        return agreed;
    }

    // Whether the types in m_types hold a text of at least `bytes` bytes: a short record rebuilt on
    // its own table's page needs one, which must then decode and end in place.
    bool holdsText(int64_t bytes) const
    {
        for (uint64_t t : m_types)
            if (t >= 13 && (t & 1) && serialSize(t) >= bytes)
                return true;
        return false;
    }

    // A table-leaf cell whose first 4 bytes were overwritten by a freeblock header: its payload
    // size, rowid and header size may be gone, and with a 1-byte size and rowid also the first
    // serial type. Each layout the lost bytes could have had is tried, surviving bytes first.
    // The end of a record rebuilt without its prefix must be where its cell ended: the end of the
    // free region (a block's last cell ends it exactly) or, up to `maxGap` fragment bytes on,
    // the start of the next freed cell.
    // With `intactNext`, what follows must be a whole cell, not one whose prefix was lost too.
    bool endFits(const uint8_t* end, const uint8_t* limit, int prefer, int maxGap = kMaxFragment, bool intactNext = false)
    {
        if (end == limit)
            return true;
        if (m_lookahead)
            return true;
        maxGap = std::min(maxGap, m_endGap);
        const NarrowRows wide(*this, false);
        // A freed cell that a later free merged into the block keeps its own stale header, which
        // ends the block where the merged header does.
        for (int k = 0; k <= maxGap && !intactNext && m_blockEnd && end + k + kFreeblockHeaderSize <= limit; ++k)
            if (freeblockHeaderAt(end + k) && end + k + blockSize(end + k, limit) == m_blockEnd)
                return true;
        m_saved = m_types;
        m_lookahead = true;
        bool ok = false;
        for (int k = 0; k <= maxGap && !ok && end + k + 3 <= limit; ++k) {
            Parsed next;
            // The next cell may itself have lost its tail to a newer one: its header is enough.
            ok = tryCell(end + k, limit, true, prefer, &next) || wideCellHeaderAt(end + k, limit, prefer)
                 || (!intactNext && tryLostPrefix(end + k, limit, prefer, &next));
            // A small freed block of its own (a fragment's worth, its header stale) before the next cell.
            if (!ok && !intactNext && end + k + kFreeblockHeaderSize < limit && freeblockHeaderAt(end + k)) {
                const uint8_t* after = end + k + blockSize(end + k, limit);
                ok = after > end + k + kFreeblockHeaderSize && after + 3 <= limit
                     && (tryCell(after, limit, true, prefer, &next) || wideCellHeaderAt(after, limit, prefer));
            }
        }
        m_lookahead = false;
        m_types.swap(m_saved);
        return ok;
    }

    // A row of its page's own table (or of a page whose owner is not assumed) whose every
    // column's type survived, wide and long enough to stand without what follows it: stale bytes
    // of an older cell may lie between it and the next.
    // No cell may start inside it, though: its tail would then be that cell's bytes.
    bool selfEvident(const Parsed& m, int prefer, const uint8_t* limit)
    {
        // A first type lost with the prefix counts only as a rowid alias's NULL.
        const TableLayout& t = m_schema.table(size_t(m.table));
        if (m.implied && !(m.impliedType == 0 && t.stored[0].rowidAlias))
            return false;
        return (m.table == prefer || prefer < 0) && !m.cut && m_types.size() + (m.implied ? 1 : 0) >= t.stored.size()
               && t.stored.size() >= kMinCutColumns && m.bodySize >= kMinSelfEvidentBody
               && newerCellAfter(m.body, limit, prefer, m.end) >= m.end;
    }

    // The serial type of a column whose type byte was lost but whose size is known.
    bool typeForSize(const StoredColumn& c, int64_t size, const uint8_t* bytes, uint64_t* type) const
    {
        static const int8_t kIntType[9] = {-1, 1, 2, 3, 4, -1, 5, -1, 6};
        if (size < 0 || c.rowidAlias)
            return false;
        switch (c.affinity) {
        case Affinity::Integer:
        case Affinity::Real:
            if (size > 8)
                return false;
            if (size == 8 && c.affinity == Affinity::Real) {
                *type = 7;
                return true;
            }
            if (kIntType[size] < 0)
                return false; // 0 bytes: NULL, 0 or 1 cannot be told apart
            *type = uint64_t(kIntType[size]);
            return true;
        case Affinity::Text:
            *type = 13 + 2 * uint64_t(size);
            return validText(bytes, size_t(size), m_geo.encoding);
        case Affinity::Numeric:
        case Affinity::Blob:
            *type = (validText(bytes, size_t(size), m_geo.encoding) ? 13 : 12) + 2 * uint64_t(size);
            return size > 0;
        }
        return false;
    }

    // A table-leaf cell whose first 4 bytes were overwritten by a freeblock header: its payload
    // size, rowid and header size may be gone, and with a 1-byte size and rowid also the first
    // serial type. Each layout the lost bytes could have had is tried, surviving bytes first.
    bool tryLostPrefix(const uint8_t* f, const uint8_t* limit, int prefer, Parsed* out)
    {
        // A freed cell lies within the block its header gives; one that reaches past it lost
        // its tail to a cell allocated there since.
        if (f + kFreeblockHeaderSize < limit && freeblockHeaderAt(f))
            limit = std::min(limit, f + blockSize(f, limit));
        if (!rebuildLostPrefix(f, limit, prefer, out))
            return false;
        // Space freed by a cell is handed out again from its end: an intact cell ending where the
        // rebuilt record ends is newer, and the record's tail is that cell's bytes.
        // A block of the page's own free chain has its true size: nothing newer lies inside but
        // a cell freed in turn, which readRegion looks for once the reading is taken.
        return m_lookahead || out->overflowPage || f == m_chainBlock || !newerCellInside(out->types, out->end, prefer);
    }

    // Where a whole table cell starts in [from, end) and ends at `end`; null when none does.
    // m_types is kept.
    const uint8_t* newerCellInside(const uint8_t* from, const uint8_t* end, int prefer)
    {
        const NarrowRows wide(*this, false);
        m_saved = m_types;
        const uint8_t* found = nullptr;
        const uint8_t* q = from;
#if defined(__SSE2__) || defined(_M_X64)
        // Sixteen positions at a time through what most fail on: a 1-byte payload size must leave
        // 1 to 9 bytes for the rowid before `end`; a longer size starts with a byte of 0x80 or
        // more. Only the positions that pass are read as below. The last block ends where the
        // last position does, overlapping the one before it.
        const bool longSizes = m_geo.usable >= (1u << 14);
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        auto passing = [&](const uint8_t* at) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1));
            const __m128i high = _mm_cmplt_epi8(b, _mm_setzero_si128());
            const ptrdiff_t left = end - at;
            // A 1-byte size leaves at most 2 + 127 + 9 bytes. Per lane, (bytes left) - 2 - size
            // must be 0 to 8; below 256 bytes left it cannot wrap.
            __m128i oneByte = _mm_setzero_si128();
            if (left <= 16 + 138) {
                const __m128i slack = _mm_sub_epi8(_mm_sub_epi8(_mm_set1_epi8(char(uint8_t(left - 2))), lanes), b);
                oneByte = _mm_andnot_si128(high, _mm_cmpeq_epi8(_mm_min_epu8(slack, _mm_set1_epi8(8)), slack));
            }
            // A 2-byte size of 3 to 11 bytes less than what is left after it: across 16 lanes its
            // first byte takes one of two values.
            if (longSizes && left >= (1 << 14))
                return unsigned(_mm_movemask_epi8(_mm_or_si128(oneByte, high)));
            const __m128i first = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(char(0x80 | (std::max<ptrdiff_t>(left - 26, 0) >> 7)))),
                                               _mm_cmpeq_epi8(b, _mm_set1_epi8(char(0x80 | (std::max<ptrdiff_t>(left - 3, 0) >> 7)))));
            const __m128i longer = _mm_andnot_si128(_mm_cmplt_epi8(next, _mm_setzero_si128()), first);
            return unsigned(_mm_movemask_epi8(_mm_or_si128(oneByte, longer)));
        };
        auto readPassing = [&](const uint8_t* at, unsigned pass) {
            for (; pass && !found; pass &= pass - 1)
                if (newerCellAt(at + lowestBit(pass), end, prefer))
                    found = at + lowestBit(pass);
        };
        constexpr ptrdiff_t kBlock = 16 + 2; // 16 positions, each with the 2 bytes a size reads after it
        for (; !found && end - q >= kBlock; q += 16)
            readPassing(q, passing(q));
        if (!found && end - from >= kBlock && end - q >= 3) {
            const uint8_t* last = end - kBlock;
            readPassing(last, passing(last) & ~((1u << (q - last)) - 1));
            q = end;
        }
#endif
        for (; q + 3 <= end && !found; ++q)
            if (newerCellAt(q, end, prefer))
                found = q;
        m_types.swap(m_saved);
        return found;
    }

    static int lowestBit(unsigned v)
    {
#if defined(__GNUC__)
        return __builtin_ctz(v);
#else
        int k = 0;
        while (!(v >> k & 1))
            ++k;
        return k;
#endif
    }

    // Whether an intact cell starts at q and ends exactly at `end`.
    bool newerCellAt(const uint8_t* q, const uint8_t* end, int prefer)
    {
        // Most positions fail on the payload size alone: the rowid would need 1 to 9 bytes.
        uint64_t payload = q[0], rowid = 0;
        int a = 1;
        if (payload >= 0x80) {
            if (q[1] < 0x80) {
                payload = (payload & 0x7f) << 7 | q[1];
                a = 2;
            } else if (m_geo.usable < (1u << 14)) {
                return false; // no cell on such a page needs a 3-byte size
            } else {
                a = getVarint(q, end, &payload);
            }
        }
        const uint64_t left = uint64_t(end - q);
        if (!a || payload < 2 || payload + uint64_t(a) >= left || left - uint64_t(a) - payload > kMaxVarint)
            return false;
        const uint64_t rowidBytes = left - uint64_t(a) - payload;
        if (uint64_t(getVarint(q + a, end, &rowid)) != rowidBytes)
            return false;
        // Then its record header's sizes must add up to the payload, before any table is tried:
        // in text, a size and a rowid read from letters often fit, a header seldom.
        const uint8_t* rec = q + a + rowidBytes;
        uint64_t hsize = 0;
        const int h = getVarint(rec, end, &hsize);
        if (!h || hsize < uint64_t(h) + 1 || hsize > payload)
            return false;
        uint64_t sum = hsize;
        for (const uint8_t* t = rec + h; t < rec + hsize;) {
            uint64_t type = 0;
            const int n = getVarint(t, rec + hsize, &type);
            const int64_t size = n ? serialSize(type) : -1;
            if (size < 0 || (sum += uint64_t(size)) > payload)
                return false;
            t += n;
        }
        if (sum != payload)
            return false;
        Parsed m;
        return tryCell(q, end, true, prefer, &m) && m.end == end;
    }

    bool rebuildLostPrefix(const uint8_t* f, const uint8_t* limit, int prefer, Parsed* out)
    {
        const uint8_t* intact = f + kFreeblockHeaderSize;
        if (intact >= limit || !freeblockHeaderAt(f))
            return false;
        if (!m_lookahead)
            m_blockEnd = f + blockSize(f, limit);
        // The header's size bounds the block; only when it ends the region too is the region's
        // end the end of a cell (a stale header can claim bytes that live cells took since).
        const bool endKnown = f + blockSize(f, limit) == limit;
        // A reading with its header size intact that is shorter than its table (a row written
        // before columns were added) waits until no whole row reads with the header size lost:
        // a header size of 8 or 9 is also the serial type of a 0 or 1, so a whole row whose first
        // column holds one reads as an older row one column short, every value moved up by one.
        Parsed older;
        std::vector<uint64_t> olderTypes;
        auto takeOlder = [&] {
            if (!older.end)
                return false;
            *out = older;
            m_types = olderTypes;
            return true;
        };
        // Serial types at q, header size in the bytes just before q, rowid tail before that.
        for (int shift = kFreeblockHeaderSize + 1; shift <= kMaxLostPrefixShift; ++shift) {
            const uint8_t* q = f + shift;
            if (q >= limit)
                break;
            for (int hlen = 1; hlen <= 2; ++hlen) {
                const uint8_t* hp = q - hlen;
                if (hp < intact)
                    break;
                uint64_t hsize = 0;
                if (getVarint(hp, q, &hsize) != hlen || (hlen == 2 && hsize < 128))
                    continue;
                if (hsize < uint64_t(hlen) + 1 || hsize > uint64_t(m_schema.maxColumns()) * kMaxVarint + 2)
                    continue;
                // Bytes between the intact start and the header size are the rowid's last bytes.
                const uint8_t* rowEnd = hp;
                bool tailOk = rowEnd > intact ? !(rowEnd[-1] & 0x80) : true;
                for (const uint8_t* r = intact; r + 1 < rowEnd && tailOk; ++r)
                    tailOk = (*r & 0x80) != 0;
                if (!tailOk || rowEnd - intact > 8)
                    continue;
                const uint8_t* typesEnd = hp + hsize;
                if (typesEnd > limit || !readAllTypes(q, typesEnd))
                    continue;
                const ShortRows allow(this, true);
                const bool finished = finishLost(f, q, typesEnd, nullptr, limit, prefer, out);
                if (!finished)
                    continue;
                // With its header size and every serial type intact, a wide record is evidence
                // enough on its own: the free space after it may hold what no longer parses.
                if (endFits(out->end, limit, prefer)
                    || (m_schema.table(size_t(out->table)).stored.size() >= kMinSelfEvidentColumns && out->bodySize >= kMinSelfEvidentBody)) {
                    if (m_types.size() >= m_schema.table(size_t(out->table)).stored.size())
                        return true;
                    if (!older.end) {
                        older = *out;
                        olderTypes = m_types;
                    }
                }
            }
        }
        // Where stale index entries fill the space, every count guessed would cost too much and
        // read rows out of them: only the wide tables' own counts are tried there.
        if (m_wideOnly) {
            if (takeOlder())
                return true;
            for (size_t ti = 0; ti < m_schema.size(); ++ti) {
                const size_t n = m_schema.table(ti).stored.size();
                const uint8_t* typesEnd = nullptr;
                if (n >= kMinCutColumns && readTypes(intact, limit, n, &typesEnd)
                    && finishLost(f, intact, typesEnd, nullptr, limit, prefer, out)
                    && (endFits(out->end, limit, prefer) || selfEvident(*out, prefer, limit)))
                    return true;
            }
            return false;
        }
        // Header size lost too: serial types begin right after the freeblock header. Counts are
        // guessed, so a row shorter than its table (written before columns were added) is tried
        // only once no count fits whole, and only on its table's own page. Such a row's count is
        // one of several: a count one short reads the last type byte as a value and ends a byte
        // early, so counts that end it right where what follows begins are tried first.
        static constexpr struct {
            bool shortRows;
            int endGap;
        } kPasses[] = {{false, kMaxFragment}, {true, 0}, {true, kMaxFragment}};
        for (const auto& pass : kPasses) {
        const bool shortRows = pass.shortRows;
        if (shortRows && takeOlder())
            return true;
        if (shortRows && prefer < 0)
            break;
        const ShortRows allow(this, shortRows);
        const EndGap gap(this, pass.endGap);
        // Whole counts were all tried already: only the page's own table's shorter ones are new.
        const size_t most = shortRows ? shortReach(intact, limit, m_schema.table(size_t(prefer))) : SIZE_MAX;
        for (size_t n = m_wideOnly ? kMinCutColumns - 1 : 1; n < m_schema.byCount().size() && n <= most; ++n) {
            if (m_schema.byCount()[n].empty() && !(shortRows && narrowCount(n, prefer)))
                continue;
            const uint8_t* typesEnd = nullptr;
            if (readTypes(intact, limit, n, &typesEnd) && finishLost(f, intact, typesEnd, nullptr, limit, prefer, out)
                && (endFits(out->end, limit, prefer) || (!shortRows && selfEvident(*out, prefer, limit))))
                return true;
            if (n < 2 || !readTypes(intact, limit, n - 1, &typesEnd))
                continue;
            // First serial type lost as well. A rowid alias is always NULL; any other column's
            // size is what is left of the cell, whose end is the end of the free region.
            // A NULL that leaves bytes over at the end may as well be a number or a text read one
            // byte early: the sizes that end the cell exactly are tried before it is taken.
            const uint64_t nullType = 0;
            Parsed asNull;
            bool nullFits = false;
            if (finishLost(f, intact, typesEnd, &nullType, limit, prefer, &asNull)
                && (endFits(asNull.end, limit, prefer) || (!shortRows && selfEvident(asNull, prefer, limit)))) {
                if (asNull.end == limit || m_schema.table(size_t(asNull.table)).stored[0].rowidAlias) {
                    *out = asNull;
                    return true;
                }
                nullFits = true;
            }
            auto fallBack = [&] {
                if (!nullFits)
                    return false;
                m_types.clear();
                readTypes(intact, limit, n - 1, &typesEnd);
                *out = asNull;
                return true;
            };
            uint64_t known = 0;
            bool sizesOk = true;
            const uint64_t room = uint64_t(limit - typesEnd);
            for (uint64_t t : m_types) {
                const int64_t sz = serialSize(t);
                sizesOk = sizesOk && sz >= 0 && uint64_t(sz) <= room;
                known += uint64_t(std::max<int64_t>(sz, 0));
            }
            sizesOk = sizesOk && known <= room;
            if (!sizesOk) {
                if (fallBack())
                    return true;
                continue;
            }
            // The last cell of a freed block ends the block: a size taken from the block's end
            // leaves no slack. A schema row, whose values prove themselves, may end up to 3 bytes
            // short of it too: fragments beside a freed cell join its block.
            for (int frag = 0; endKnown && frag <= kMaxFragment; ++frag) {
                const uint8_t* cellEnd = limit - frag;
                const int64_t first = int64_t(cellEnd - typesEnd) - int64_t(known);
                if (first < 0)
                    break;
                for (int ti : m_schema.byCount()[n]) {
                    if ((prefer >= 0 && ti != prefer) || (frag && ti != 0))
                        continue;
                    uint64_t type = 0;
                    if (!typeForSize(m_schema.table(size_t(ti)).stored[0], first, typesEnd, &type))
                        continue;
                    if (finishLost(f, intact, typesEnd, &type, limit, prefer, out) && out->end == cellEnd
                        && (!frag || out->table == 0))
                        return true;
                    break;
                }
            }
            // A number's size is one of a few: each is tried, and the cell must end where the
            // next freed cell begins.
            for (int ti : m_schema.byCount()[n]) {
                if (prefer >= 0 && ti != prefer)
                    continue;
                const StoredColumn& c0 = m_schema.table(size_t(ti)).stored[0];
                if (c0.rowidAlias || (c0.affinity != Affinity::Integer && c0.affinity != Affinity::Real))
                    continue;
                // Only the first row of a merged freeblock loses its prefix, so a size after which
                // a whole cell follows wins over one followed by another damaged cell.
                // A REAL column stores 8 bytes as a real: an integer that long is not a real
                // number's value.
                static const uint64_t kNumberTypes[] = {1, 2, 3, 4, 5, 6, 7};
                for (const bool intactNext : {true, false}) {
                    for (uint64_t type : kNumberTypes) {
                        if (type == (c0.affinity == Affinity::Real ? 6u : 7u))
                            continue;
                        m_types.clear();
                        if (!readTypes(intact, limit, n - 1, &typesEnd))
                            return false;
                        if (finishLost(f, intact, typesEnd, &type, limit, prefer, out)
                            && endFits(out->end, limit, prefer, 0, intactNext))
                            return true;
                    }
                }
                break;
            }
            if (!m_lookahead && textFirstLost(f, intact, n, known, limit, prefer, out))
                return true;
            if (fallBack())
                return true;
        }
        }
        return takeOlder();
    }

    // A record of n columns whose header size and first type (a text's) its block's header took:
    // the first row of a block of the page's free chain, where cells freed one after another
    // merged. The text runs from its types up to where the next of those cells begins: whole, or
    // behind its own stale header, whose block ends where the merged block does. Each place the
    // text may end is tried, up to the first byte no one types. `known`: the other columns' sizes.
    bool textFirstLost(const uint8_t* f, const uint8_t* intact, size_t n, uint64_t known, const uint8_t* limit, int prefer, Parsed* out)
    {
        // Only in a block of the page's free chain, at its start or behind a stale header whose
        // block ended where it ends. Each scan reads the text's bytes once; all of them together
        // read the block a few times at most, whatever headers a hostile page forges.
        if (m_geo.encoding != Utf8 || n < 4 || !m_chainBlock || !m_blockEnd || m_blockEnd != m_chainEnd || !m_textScanLeft)
            return false;
        for (int ti : m_schema.byCount()[n]) {
            if (prefer >= 0 && ti != prefer)
                continue;
            const StoredColumn& c0 = m_schema.table(size_t(ti)).stored[0];
            if (c0.rowidAlias || c0.affinity != Affinity::Text)
                continue;
            m_types.clear();
            const uint8_t* typesEnd = nullptr;
            limit = std::min(limit, m_blockEnd);
            if (!readTypes(intact, limit, n - 1, &typesEnd) || uint64_t(limit - typesEnd) <= known)
                return false;
            const uint8_t* const last = limit - known - 1; // the next cell begins before the block ends
            for (const uint8_t* e = typesEnd; e < last && m_textScanLeft; --m_textScanLeft) {
                if (*e < 0x80) {
                    if (*e < 0x20 && *e != '\t' && *e != '\n' && *e != '\r')
                        break;
                    ++e;
                } else {
                    const size_t len = detail::sequenceAt(e, size_t(last - e));
                    if (!len)
                        break;
                    e += len;
                }
                const uint8_t* next = e + known;
                const bool stale = next + kFreeblockHeaderSize < limit && freeblockHeaderAt(next) && next + blockSize(next, limit) == m_blockEnd;
                if (!stale && !endFits(next, limit, prefer, 0, true))
                    continue;
                const uint64_t type = 13 + 2 * uint64_t(e - typesEnd);
                m_types.clear();
                readTypes(intact, limit, n - 1, &typesEnd);
                if (finishLost(f, intact, typesEnd, &type, limit, prefer, out) && out->end == next)
                    return true;
            }
            return false;
        }
        return false;
    }

    // What the first 4 bytes of a freed cell hold: the header its freeblock got, current or
    // stale. Freeblocks are kept in ascending order without overlap, so the next one starts past
    // this one's end.
    // With `moved`, a header left from before the page's cells were moved: its size may reach
    // past the page now, but it still points at no place before itself.
    bool freeblockHeaderAt(const uint8_t* f, bool moved = false) const
    {
        if (!m_regionPage)
            return true;
        const uint32_t pos = uint32_t(f - m_regionPage);
        const PageView page(m_regionPage, m_geo.usable);
        const uint32_t next = page.u16(pos), size = page.u16(pos + 2);
        const uint32_t end = moved ? pos + 1 : pos + size; // where the next block may start
        return size >= kFreeblockHeaderSize && size <= m_geo.usable && (moved || pos + size <= m_geo.usable)
            && (next == 0 || (next >= end && next < m_geo.usable));
    }

    // The size the freeblock header at f gives; 0 when its bytes lie past `limit`.
    static uint32_t blockSize(const uint8_t* f, const uint8_t* limit) { return f < limit ? PageView(f, uint32_t(limit - f)).u16(2) : 0; }
    // The 4-byte number at p (an overflow page's); 0 when it runs past `limit`.
    static uint32_t wordAt(const uint8_t* p, const uint8_t* limit) { return p < limit ? PageView(p, uint32_t(limit - p)).u32(0) : 0; }

    // The start of a newer cell that was freed on its own inside [from, end): its first 4 bytes
    // are then the header of a free block (within `limit`), and a row reads from it. Null when
    // none is.
    const uint8_t* freedNewerCellInside(const uint8_t* from, const uint8_t* end, const uint8_t* limit, int prefer)
    {
        const uint8_t* found = nullptr;
        bool saved = false;
        // The block's size must reach from its header to `end` (the older row's end, where the
        // newer cell's slot ended) or to `limit` (the region's): most places fail on that alone.
        auto tryAt = [&](const uint8_t* t) {
            const uint32_t size = uint32_t(t[2]) << 8 | t[3];
            if ((size != uint32_t(end - t) && size != uint32_t(limit - t)) || size <= kFreeblockHeaderSize || !freeblockHeaderAt(t))
                return;
            if (!saved) {
                m_freedNewerTypes = m_types;
                saved = true;
            }
            Parsed b;
            if (tryLostPrefix(t, t + size, prefer, &b) && !b.cut && b.end >= end)
                found = t;
        };
        const uint8_t* t = from;
#if defined(__SSE2__) || defined(_M_X64)
        // Eight places at a time: each one's size (big-endian, 2 bytes on) plus its lane is how far
        // its block reaches from the first place.
        const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
        const __m128i zero = _mm_setzero_si128();
        for (; t + 8 + kFreeblockHeaderSize + 2 < end && !found; t += 8) {
            const __m128i high = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + 2)), zero);
            const __m128i low = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + 3)), zero);
            const __m128i reach = _mm_add_epi16(_mm_or_si128(_mm_slli_epi16(high, 8), low), lanes);
            const __m128i toEnd = _mm_cmpeq_epi16(reach, _mm_set1_epi16(short(uint16_t(end - t))));
            const __m128i toLimit = _mm_cmpeq_epi16(reach, _mm_set1_epi16(short(uint16_t(limit - t))));
            for (unsigned pass = unsigned(_mm_movemask_epi8(_mm_or_si128(toEnd, toLimit))) & 0x5555u; pass && !found; pass &= pass - 1)
                tryAt(t + lowestBit(pass) / 2);
        }
#endif
        for (; t + kFreeblockHeaderSize < end && !found; ++t)
            tryAt(t);
        if (saved)
            m_types.swap(m_freedNewerTypes);
        return found;
    }

    bool intactCellWithin(const uint8_t* p, const uint8_t* limit, int prefer)
    {
        const NarrowRows wide(*this, false);
        Parsed m;
        for (int k = 1; k < int(kFreeblockHeaderSize); ++k)
            if (tryCell(p + k, limit, true, prefer, &m))
                return true;
        return false;
    }

    const Catalog& m_schema;
    const Geometry& m_geo;
    std::vector<uint64_t> m_types;
    std::vector<uint64_t> m_saved;
    std::vector<uint64_t> m_freedNewerTypes; // m_types kept across freedNewerCellInside's readings
    bool m_masterOnly = false;
    bool m_shortRows = false;   // pickTable may match a record shorter than its table
    int m_endGap = kMaxFragment; // bytes endFits lets lie after a reading (EndGap)
    bool m_narrowRows = false;  // ... and one narrower than the catalog's short rows (NarrowRows)
    bool m_wideOnly = false;    // only wide tables' rows are read (WideRowsOnly)
    bool m_rebuilding = false;  // pickTable is matching a record rebuilt without its prefix
    bool m_lookahead = false;   // endFits is reading on past a record
    bool m_headerOnly = false;  // tryCell asks only whether a wide table's cell header reads
    // Header sizes of the wide tables whose first column is a rowid alias, for a catalog of this
    // many tables.
    mutable std::vector<std::pair<uint64_t, uint64_t>> m_aliasRanges;
    mutable size_t m_aliasRangesFor = SIZE_MAX;
    const uint8_t* m_regionPage = nullptr; // page image readRegion reads
    const uint8_t* m_chainBlock = nullptr; // start of the free-chain block being read
    const uint8_t* m_blockEnd = nullptr;   // end of the block whose header tryLostPrefix read
    const uint8_t* m_chainEnd = nullptr;   // end of that free-chain block
    uint64_t m_textScanLeft = 0;           // places textFirstLost may still try in it
    size_t m_firstTypeColumns = 0;         // what neighboursFirstType read on this page (0: nothing)
    int64_t m_firstType = -1;
};

} // namespace sqlcarve
