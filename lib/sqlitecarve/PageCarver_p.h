#pragma once

// The carving pass: reads each page image (main file, -wal frames, -journal records) for rows
// it no longer holds live, in its free space, old cells and freed pages, and keeps each as a
// candidate; copies of one row met in the -wal and -journal are merged as they come.

#include "Attribution_p.h"
#include "Catalog_p.h"
#include "CellReader_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "Text_p.h"
#include "Rowids_p.h"
#include "TreeWalk_p.h"

#include <functional>
#include <string>
#include <vector>

namespace sqlcarve {

// The text a row of another table than the page's own must hold to be read in its unallocated
// space: as long as a short word, well past what stale pointers and headers give by chance.
constexpr int64_t kMinForeignText = 8;

// Open-addressing map from a non-zero 64-bit key to an index; no allocation per entry.
class FlatIndex
{
public:
    // Returns the index stored for key, inserting `value` when absent (then *inserted is true).
    uint32_t findOrInsert(uint64_t key, uint32_t value, bool* inserted)
    {
        key |= 1; // 0 marks an empty slot
        if ((m_size + 1) * 4 > m_slots.size() * 3)
            grow();
        size_t mask = m_slots.size() - 1;
        for (size_t i = size_t(key) & mask;; i = (i + 1) & mask) {
            Slot& s = m_slots[i];
            if (s.key == key) {
                *inserted = false;
                return s.value;
            }
            if (s.key == 0) {
                s = {key, value};
                ++m_size;
                *inserted = true;
                return value;
            }
        }
    }

private:
    struct Slot {
        uint64_t key = 0;
        uint32_t value = 0;
    };
    void grow(size_t slots = 0)
    {
        std::vector<Slot> old(slots ? slots : m_slots.empty() ? 1024 : m_slots.size() * 2);
        old.swap(m_slots);
        const size_t mask = m_slots.size() - 1;
        for (const Slot& s : old) {
            if (!s.key)
                continue;
            size_t i = size_t(s.key) & mask;
            while (m_slots[i].key)
                i = (i + 1) & mask;
            m_slots[i] = s;
        }
    }
    std::vector<Slot> m_slots;
    size_t m_size = 0;
};

class PageCarver
{
public:
    using Warn = std::function<void(const std::string&)>;

    PageCarver(PageSource& src, const Geometry& geo, const Catalog& schema, CellReader& cells, const PageMap& map,
               TreeWalk& tree, Attribution& owners, RowidStage& rowids, Warn warn)
        : m_src(src), m_geo(geo), m_schema(schema), m_cells(cells), m_map(map), m_tree(tree), m_owners(owners),
          m_rowids(rowids), m_warn(std::move(warn))
    {
    }
    PageCarver(const PageCarver&) = delete;
    PageCarver& operator=(const PageCarver&) = delete;

    Candidates& candidates() { return m_cands; }
    const Candidates& candidates() const { return m_cands; }
    // sqlite_master's candidates from a scan with the cell reader set to sqlite_master alone.
    std::vector<Candidate> takeMasterCandidates()
    {
        std::vector<Candidate> out;
        out.swap(m_masterCandidates);
        return out;
    }
    // Copies of a row from the -wal and -journal are merged by now: the table's room is freed.
    void releaseDedup() { m_seen = FlatIndex(); }

    void carveMainPage(uint32_t pg)
    {
        const uint8_t* page = m_src.dbPage(pg);
        if (!page)
            return;
        Ctx ctx = mainCtx(pg);
        ctx.page = page;
        const bool superseded = m_src.finalFrame(pg) != UINT32_MAX;
        if (superseded) {
            // The -wal holds a newer version; this one is history.
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Wal;
            carvePage(ctx, false);
            return;
        }
        switch (PageKind(m_map.kind[pg])) {
        case kTablePage:
            carvePage(ctx, true);
            break;
        case kIndexPage:
            carvePage(ctx, true);
            break;
        case kOverflowPage:
        case kPointerMapPage:
            break;
        case kTrunkPage: {
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Freelist;
            const TrunkPage t(page, m_geo.usable);
            const uint32_t leaves = std::min(t.leafCount(), t.maxLeaves());
            ctx.preferTable = m_owners.trunkOwner(page, leaves, ctx.preferTable);
            m_owners.hold();
            carveUnallocated(ctx, 8 + 4 * leaves, m_geo.usable, Source::Freelist, true);
            releaseHeld();
            break;
        }
        case kFreePage:
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Freelist;
            carvePage(ctx, false);
            break;
        case kUnknown:
            // Only a damaged file has such pages (a tree whose parent page is gone, a freelist cut
            // short): their cells may be live rows, their free space holds deleted ones.
            ctx.cellSource = Source::Freelist;
            ctx.orphan = true;
            carvePage(ctx, false);
            break;
        }
    }

    void carveWalFrame(uint32_t f)
    {
        const uint32_t pg = m_src.walFramePageNumber(f);
        if (pg < 1)
            return;
        Ctx ctx;
        ctx.file = kWal;
        ctx.pgno = pg;
        ctx.frame = f;
        ctx.page = m_src.walFramePage(f);
        ctx.pageBase = m_src.walFrameOffset(f);
        ctx.preferTable = m_map.droppedOwner(pg, pg < m_map.owner.size() ? m_map.owner[pg] : -1);
        ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Wal;
        const bool final = m_src.finalFrame(pg) == f;
        if (final && m_map.kind[pg] == kOverflowPage)
            return;
        if (m_src.pointerMapPage(pg) && (pg >= m_map.kind.size() || m_map.kind[pg] == kUnknown || m_map.kind[pg] == kPointerMapPage))
            return;
        if (final && m_map.kind[pg] == kTrunkPage) {
            const TrunkPage t(ctx.page, m_geo.usable);
            const uint32_t leaves = std::min(t.leafCount(), t.maxLeaves());
            ctx.preferTable = m_owners.trunkOwner(ctx.page, leaves, ctx.preferTable);
            m_owners.hold();
            carveUnallocated(ctx, 8 + 4 * leaves, m_geo.usable, Source::Wal, true);
            releaseHeld();
            return;
        }
        carvePage(ctx, final && (m_map.kind[pg] == kTablePage || m_map.kind[pg] == kIndexPage));
    }

    // The i-th page record of the -journal: the page as it was before a transaction changed it.
    void carveJournalRecord(size_t i)
    {
        const uint64_t off = m_src.journalRecords()[i];
        Ctx ctx;
        ctx.file = kJournal;
        ctx.pgno = m_src.journalRecordPage(i);
        ctx.frame = uint32_t(i);
        m_src.advance(kJournal, off, m_geo.pageSize + 4);
        ctx.page = m_src.bytesAt(kJournal, off + 4, m_geo.pageSize);
        ctx.pageBase = off + 4;
        ctx.preferTable = m_map.ownerOf(ctx.pgno);
        ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Journal;
        carvePage(ctx, false);
    }

private:
    Ctx mainCtx(uint32_t pg)
    {
        Ctx ctx;
        ctx.file = kDb;
        ctx.pgno = pg;
        ctx.pageBase = uint64_t(pg - 1) * m_geo.pageSize;
        ctx.preferTable = m_map.droppedOwner(pg, m_map.owner.size() > pg ? m_map.owner[pg] : -1);
        return ctx;
    }

    void carveRegion(const Ctx& ctx, uint32_t from, uint32_t to, bool prefixLost, Source source, bool tableRows)
    {
        m_cells.readRegion(ctx.page, from, to, prefixLost, tableRows, ctx.preferTable,
                           [&](const Parsed& m, const std::vector<uint64_t>& types) { emit(ctx, m, source, types); });
    }

    // Carves one page image. `live`: the page is part of the database now, so its cells are
    // live rows and only its free space is read.
    void carvePage(const Ctx& ctx, bool live)
    {
        if (!live)
            m_owners.hold();
        carvePageImage(ctx, live);
        releaseHeld();
    }

    void carvePageImage(Ctx ctx, bool live)
    {
        m_cells.startPage();
        const uint8_t* page = ctx.page;
        const BtreePage b(page, m_geo.usable, ctx.pgno == 1);
        const uint32_t hdr = b.headerOffset();
        const uint8_t type = b.type();
        if (!isBtreeType(type)) {
            if (!live)
                carveRegion(ctx, std::max(uint32_t(hdr), trunkListEnd(page)), m_geo.usable, false, ctx.cellSource, true);
            return;
        }
        if (!isTableType(type) && !m_schema.indexes().empty() && !m_cells.masterOnly())
            m_rowids.noteIndexPage(ctx.page, ctx.pgno, live, ctx.file, ctx.pageBase);
        const bool leaf = isLeafType(type);
        const bool tableRows = type == TableLeaf;
        // A leaf that became interior (the root of a table that outgrew one page) keeps its old
        // cells in what is now free space; its own cells are no rows.
        const bool formerLeaf = type == TableInterior;
        // An index's entries are no table rows; but a page the index took from the free list
        // keeps the table rows it held before in the space its entries have not reached yet.
        if (!tableRows && !formerLeaf && !(m_schema.hasWithoutRowid() && leaf)) {
            carveFormerTableRows(ctx, b, live);
            return;
        }
        // A live index's own page holds its entries, deleted ones too, and an entry (its columns
        // and a rowid) may read as the row of a WITHOUT ROWID table of alike columns.
        if (!tableRows && !formerLeaf && ctx.preferTable < 0 && m_map.ownerOf(ctx.pgno) < 0 && m_map.indexOwnerOf(ctx.pgno) >= 0) {
            carveFormerTableRows(ctx, b, live);
            return;
        }
        const uint32_t cells = b.countFits() ? b.cellCount() : 0;
        const uint32_t ptrEnd = b.pointersEnd();
        const uint32_t content = b.contentStart();
        if (!live && tableRows && !m_cells.masterOnly()) {
            // An old image of a page that has changed hands since says by its cells whose it was.
            bool fits = true;
            const int owner = m_owners.inferOwner(page, b.pointersStart(), cells, ptrEnd, ctx.preferTable, &fits);
            if (ctx.preferTable < 0 || !fits)
                ctx.preferTable = owner;
        }
        if (!live && !formerLeaf) {
            for (uint32_t i = 0; i < cells; ++i) {
                const uint32_t off = b.cellPointer(i);
                if (off < ptrEnd || off >= m_geo.usable)
                    continue;
                Parsed m;
                const CellReader::NarrowRows narrow(m_cells);
                if (m_cells.tryCell(page + off, page + m_geo.usable, tableRows, ctx.preferTable, &m))
                    emit(ctx, m, ctx.orphan ? Source::Orphan : ctx.cellSource, m_cells.types());
            }
        }
        // Freeblocks: ascending offsets inside the page; anything else ends the chain.
        uint32_t fb = b.firstFreeblock();
        uint32_t prevEnd = ptrEnd;
        for (uint32_t guard = 0; fb && guard < m_geo.usable / kFreeblockHeaderSize; ++guard) {
            if (fb < prevEnd || fb + kFreeblockHeaderSize > m_geo.usable) {
                m_warn("page " + std::to_string(ctx.pgno) + ": freeblock at " + std::to_string(fb) + " out of order");
                break;
            }
            const uint32_t size = b.freeblockSize(fb);
            const uint32_t end = std::min<uint32_t>(fb + std::max<uint32_t>(size, kFreeblockHeaderSize), m_geo.usable);
            // An interior page's blocks were its own cells (a child page number and a rowid), each
            // written over whatever lay there before: no row of the leaf it once was survives in them.
            if (!formerLeaf)
                carveRegion(ctx, fb, end, true, live || ctx.orphan ? ctx.freeSource : ctx.cellSource, tableRows);
            prevEnd = end;
            fb = b.freeblockNext(fb);
        }
        if (content > ptrEnd)
            carveUnallocated(ctx, ptrEnd, std::min<uint32_t>(content, m_geo.usable), live || ctx.orphan ? ctx.unallocSource : ctx.cellSource,
                             tableRows || formerLeaf);
    }

    void carveFormerTableRows(Ctx ctx, const BtreePage& b, bool live)
    {
        // Read in the page's current image only: its older images in a -wal or -journal would
        // each cost as much again, for what the current one mostly holds too.
        if (m_cells.masterOnly() || (ctx.file != kDb && !live))
            return;
        const uint32_t ptrEnd = b.pointersEnd();
        const uint32_t content = std::min<uint32_t>(b.contentStart(), m_geo.usable);
        if (content <= ptrEnd)
            return;
        ctx.preferTable = -1;
        const Source source = live || ctx.orphan ? ctx.unallocSource : ctx.cellSource;
        // A row must also hold a text of some length: a few numbers read as easily from an entry.
        m_cells.readFormerRows(ctx.page, ptrEnd, content, [&](const Parsed& m, const std::vector<uint64_t>& types) {
            if (!m.implied && holdsText(m, types, kMinForeignText))
                emit(ctx, m, source, types);
        });
    }

    // The space between a page's cell pointers and its cells. Unlike its free blocks, it also
    // keeps what the page held before it was this table's: a page one table freed is taken by
    // any other (on a phone, deleted messages' pages by the table that logs their deletion), and
    // SQLite rewrites only its header. Rows of other tables are read there too, around the
    // owner's.
    void carveUnallocated(const Ctx& ctx, uint32_t from, uint32_t to, Source source, bool tableRows)
    {
        if (!tableRows || ctx.preferTable < 0 || m_cells.masterOnly()) {
            carveRegion(ctx, from, to, false, source, tableRows);
            return;
        }
        m_taken.clear();
        m_cells.readRegion(ctx.page, from, to, false, true, ctx.preferTable, [&](const Parsed& m, const std::vector<uint64_t>& types) {
            m_taken.push_back({m.start, m.end});
            emit(ctx, m, source, types);
        });
        m_cells.readRegion(ctx.page, from, to, false, true, -1, [&](const Parsed& m, const std::vector<uint64_t>& types) {
            // Old cell pointers and headers lie there too: another table's row must show itself
            // by its whole cell prefix, or by every type of a wide table's record (the first one
            // may be lost when it can only be a rowid alias's NULL), and a text of some length.
            const TableLayout& t = m_schema.table(size_t(m.table));
            const bool wholeWide = t.stored.size() >= kMinCutColumns && types.size() + (m.implied ? 1 : 0) >= t.stored.size();
            const bool aliasNull = m.implied && m.impliedType == 0 && t.stored[0].rowidAlias;
            if (m.table == ctx.preferTable || (!m.hasRowid && !wholeWide) || (m.implied && !(wholeWide && aliasNull))
                || !holdsText(m, types, kMinForeignText))
                return;
            for (const auto& [start, end] : m_taken)
                if (m.start < end && start < m.end)
                    return;
            emit(ctx, m, source, types);
        });
    }

    // Whether a text of at least `bytes` bytes lies in the reading's bytes on the page: whole,
    // or, in a row cut short, as the plain start of the text the cut took.
    bool holdsText(const Parsed& m, const std::vector<uint64_t>& types, int64_t bytes) const
    {
        uint64_t pos = m.implied ? uint64_t(std::max<int64_t>(serialSize(m.impliedType), 0)) : 0;
        for (uint64_t t : types) {
            const int64_t size = serialSize(t);
            if (size < 0)
                return false;
            if (pos + uint64_t(size) > m.bodyLocal) {
                if (!m.cut || t < 13 || !(t & 1) || pos + uint64_t(bytes) > m.bodyLocal)
                    return false;
                // Whole characters only: the cut may fall inside one.
                const std::string start = textPrefixToUtf8(m.body + pos, m.bodyLocal - pos, m_geo.encoding);
                return int64_t(start.size()) >= bytes
                       && plainText(reinterpret_cast<const uint8_t*>(start.data()), start.size(), fmt::Utf8);
            }
            if (t >= 13 && (t & 1) && size >= bytes)
                return true;
            pos += uint64_t(size);
        }
        return false;
    }

    // An image that reads as a freelist trunk (an old one in a -wal frame, say): its list of page
    // numbers is no record, so carving starts past it. 0 when the image is no trunk.
    uint32_t trunkListEnd(const uint8_t* page) const
    {
        const TrunkPage t(page, m_geo.usable);
        const uint32_t next = t.next(), leaves = t.leafCount();
        if (next > m_geo.pageCount || leaves == 0 || leaves > t.maxLeaves())
            return 0;
        for (uint32_t i = 0; i < leaves; ++i) {
            const uint32_t leaf = t.leaf(i);
            if (leaf < 2 || leaf > m_geo.pageCount)
                return 0;
        }
        return kTrunkHeaderBytes + 4 * leaves;
    }

    void releaseHeld()
    {
        m_owners.release([this](const Ctx& ctx, const Parsed& m, Source source, const std::vector<uint64_t>& types) {
            emit(ctx, m, source, types);
        });
    }

    // A record read on a page, its serial types in `types`: a candidate, unless it is live.
    void emit(const Ctx& ctx, const Parsed& m, Source source, const std::vector<uint64_t>& types)
    {
        if (m_owners.holds(ctx)) {
            m_owners.keep(ctx, m, source, types);
            return;
        }
        const TableLayout& t = m_schema.table(size_t(m.table));
        Candidate c;
        c.table = uint16_t(m.table);
        c.hasRowid = m.hasRowid;
        c.rowid = m.rowid;
        c.implied = m.implied;
        c.impliedType = uint16_t(m.impliedType);
        c.page = ctx.pgno;
        c.frame = ctx.frame;
        c.file = ctx.file;
        c.offset = ctx.pageBase + uint64_t(m.start - ctx.page);
        c.typesOffset = ctx.pageBase + uint64_t(m.types - ctx.page);
        c.bodyOffset = ctx.pageBase + uint64_t(m.body - ctx.page);
        c.bodySize = m.bodySize;
        c.bodyLocal = m.bodyLocal;
        c.overflowPage = m.overflowPage;
        c.cut = m.cut;
        const uint8_t* body = m.body;
        size_t avail = m.bodyLocal;
        if (m.overflowPage) {
            avail = m_tree.assemble(&ctx, m.body, m.bodyLocal, m.bodySize, m.overflowPage, m_scratch, false, &m_lostRanges);
            body = reinterpret_cast<const uint8_t*>(m_scratch.data());
        } else {
            m_lostRanges.clear(); // nothing overwrote a record held whole on its page
        }
        uint16_t lost = 0;
        if (t.aliasStored >= 0 && !m.hasRowid)
            ++lost;
        if (avail < m.bodySize || !m_lostRanges.empty()) {
            // Columns past the bytes the overflow chain still gave, or over bytes a freelist
            // trunk overwrote, are lost.
            size_t pos = m.implied ? size_t(serialSize(m.impliedType)) : 0;
            for (uint64_t ty : types) {
                const size_t end = pos + size_t(serialSize(ty));
                if (end > avail || (end > pos && overlapsLost(m_lostRanges, pos, end)))
                    ++lost;
                pos = end;
            }
        }
        if (avail >= m.bodySize && m.overflowPage && ctx.file == kDb) {
            source = Source::Overflow;
        }
        if (avail >= m.bodySize && m.overflowPage && m_lostRanges.empty() && !m_cells.plausibleValues(body, uint32_t(avail), types))
            return;
        c.lost = lost;
        c.source = uint8_t(source);
        const uint8_t* typesEnd = m.body;
        const Hashes h = hashRecord(size_t(m.table), m.types, typesEnd, m.implied ? &m.impliedType : nullptr, body,
                                    std::min<size_t>(avail, m.bodySize));
        c.tail = h.tail ^ (avail < m.bodySize ? 0x5bd1e995ull * (avail + 1) : 0);
        c.head = h.head;
        c.prefix = h.prefix;
        if (m_cells.masterOnly()) {
            if (m.table == 0)
                m_masterCandidates.push_back(c);
            return;
        }
        // Each part of the database file is read once, and copies of a row are merged when the
        // candidates are grouped; the WAL and journal repeat pages by the thousand, so their
        // copies are merged as they come, which bounds memory.
        bool inserted = true;
        uint32_t at = uint32_t(m_cands.size());
        if (ctx.file != kDb) {
            const uint64_t key = hashBytes(reinterpret_cast<const uint8_t*>(&c.tail), 16, c.hasRowid ? uint64_t(c.rowid) : ~0ull) ^ c.table;
            at = m_seen.findOrInsert(key, at, &inserted);
        }
        if (inserted) {
            m_cands.push_back(c);
        } else {
            Candidate& old = m_cands[at];
            if (c.lost < old.lost)
                old = c;
        }
    }

    PageSource& m_src;
    const Geometry& m_geo;
    const Catalog& m_schema;
    CellReader& m_cells;
    const PageMap& m_map;
    TreeWalk& m_tree;
    Attribution& m_owners;
    RowidStage& m_rowids;
    Warn m_warn;
    Candidates m_cands;
    std::vector<Candidate> m_masterCandidates;
    FlatIndex m_seen;          // -wal and -journal copies: their candidate, by content and rowid
    std::string m_scratch;     // emit()'s assembled payload
    LostRanges m_lostRanges;   // ... and the bytes of it that were overwritten
    std::vector<std::pair<const uint8_t*, const uint8_t*>> m_taken; // carveUnallocated's owner rows
};

} // namespace sqlcarve
