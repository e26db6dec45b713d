#include "sqlitecarve/Carver.h"

#include "Attribution_p.h"
#include "Catalog_p.h"
#include "CellReader_p.h"
#include "Decoder_p.h"
#include "Format_p.h"
#include "LinkStage_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Placement_p.h"
#include "RecordStore_p.h"
#include "Rowids_p.h"
#include "Records_p.h"
#include "Schema_p.h"
#include "Text_p.h"
#include "TreeWalk_p.h"
#include "utility/SafeIo.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>

#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sqlcarve {

const char* sourceName(Source source)
{
    switch (source) {
    case Source::Freeblock: return "freeblock";
    case Source::Unallocated: return "unallocated";
    case Source::Freelist: return "freelist";
    case Source::Overflow: return "overflow";
    case Source::Wal: return "wal";
    case Source::Journal: return "journal";
    }
    return "?";
}

bool CarvedRow::isWhole() const
{
    return std::none_of(values.begin(), values.end(), [](const Value& v) { return v.isLost(); });
}

namespace {

using namespace fmt;

// A file that shrinks while it is scanned (evidence still being written by something else)
// reads as zeros past its new end instead of killing the process.
class MappedFile
{
public:
    bool open(const std::string& path)
    {
        uint64_t size = 0;
        m_fd = ibrio::openRegularFile(path, &size, nullptr);
        if (m_fd < 0)
            return false;
        if (size == 0)
            return true;
        if (!m_map.map(m_fd, size_t(size)))
            return false;
        madvise(const_cast<uint8_t*>(m_map.data()), m_map.size(), MADV_SEQUENTIAL);
        return true;
    }
    ~MappedFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Bytes bytes() const { return {m_map.data(), m_map.size()}; }
    int fd() const { return m_map.data() ? m_fd : -1; }
    bool shrunk() const { return m_map.shrunk(); }

private:
    int m_fd = -1;
    ibrio::GuardedMapping m_map;
};

bool fileExists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

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

class Engine
{
public:
    Engine(Bytes db, Bytes wal, Bytes journal, const Options& options, Result& result)
        : m_opt(options), m_res(result), m_src(db, wal, journal, [this](const std::string& text) { warn(text); })
    {
    }

    void run()
    {
        m_total = double(m_src.totalSize());
        if (!m_src.readHeader())
            return;
        m_res.ok = true;
        m_src.readWal();
        m_src.readJournal();
        m_geo = {m_src.pageSize(), m_src.usable(), m_src.encoding(), m_src.pageCount(), m_src.walFrames()};
        readSchema();
        walkLive();
        if (!m_cancelled)
            recoverDroppedSchemas();
        if (!m_cancelled)
            walkLeaves();
        if (!m_cancelled)
            scanDatabase();
        if (!m_cancelled)
            scanWal();
        if (!m_cancelled)
            scanJournal();
        finish();
        if (!m_cancelled && m_opt.progress)
            m_opt.progress(m_total, m_total);
        m_res.cancelled = m_cancelled;
        m_res.bytesScanned = uint64_t(m_done);
    }

private:
    // ---- files and pages -------------------------------------------------------------------

    void warn(const std::string& text)
    {
        if (m_res.warnings.size() < kMaxWarnings)
            m_res.warnings.push_back(text);
    }

    // Page access, through the source.
    const Bytes& fileOf(uint8_t f) const { return m_src.file(f); }
    void advance(uint8_t file, uint64_t offset, uint64_t size) { m_src.advance(file, offset, size); }
    const uint8_t* bytesAt(uint8_t file, uint64_t offset, uint64_t size) { return m_src.bytesAt(file, offset, size); }
    const uint8_t* dbPage(uint32_t pgno) { return m_src.dbPage(pgno); }
    const uint8_t* walFramePage(uint32_t frame) { return m_src.walFramePage(frame); }
    uint64_t walFrameOffset(uint32_t frame) const { return m_src.walFrameOffset(frame); }
    const uint8_t* finalPage(uint32_t pgno) { return m_src.finalPage(pgno); }
    bool superseded(uint32_t pg) const { return m_src.finalFrame(pg) != UINT32_MAX; }

    bool progress()
    {
        if (m_cancelled)
            return false;
        if (m_opt.progress && !m_opt.progress(m_done, m_total))
            m_cancelled = true;
        return !m_cancelled;
    }

    // ---- schema ----------------------------------------------------------------------------

    // sqlite_master's rows, read from page 1's tree; then the tables and indexes they describe.
    void readSchema()
    {
        m_schema.addLayout(masterLayout());
        m_tree.readSchema();
        m_schema.addSchemaTables();
    }

    // ---- live b-trees ----------------------------------------------------------------------

    void walkLive()
    {
        m_carved.assign(size_t(m_geo.pageCount) + 1, 0);
        m_live.clear();
        m_tree.walkLive();
    }

    // Reads the deferred leaves in file order; carves each as it goes (after the dropped schemas
    // are known, so their rows can be matched too).
    void walkLeaves()
    {
        m_schema.linkIndexes();
        // Room for rows of about 128 bytes on every leaf, and for a few deleted ones each: only
        // what is filled is ever touched.
        const size_t rowsGuess = m_tree.leafCount() * (m_geo.usable / 128) + 1024;
        m_live.reserve(rowsGuess);
        reserveLarge(m_cands, size_t(m_geo.pageCount) * 8 + 1024);
        const size_t indexLeaves = m_tree.indexLeafCount();
        m_rowids.reserve(indexLeaves);
        // Every live cell first, so the overflow pages live rows hold are known before any
        // deleted row's chain is followed; then the leaves' free space.
        std::vector<uint32_t> pages;
        if (!m_tree.readLeaves([this] { return progress(); }, &pages))
            return;
        pages.erase(std::remove_if(pages.begin(), pages.end(), [&](uint32_t pg) { return superseded(pg) || m_carved[pg]; }),
                    pages.end());
        if (!carveLeaves(pages))
            return;
        m_live.build();
    }

    // The leaves' free space, on two cores when there is enough of it: the second half of the
    // pages goes to a copy of the engine that reads what carving needs and nothing the live walk
    // still writes; its candidates then follow this engine's, as if one had carved them all.
    bool carveLeaves(const std::vector<uint32_t>& pages)
    {
        const bool split = m_opt.threads == 0 ? pages.size() >= kParallelPages && std::thread::hardware_concurrency() > 1
                                              : m_opt.threads > 1 && pages.size() >= 2;
        const size_t mid = split ? pages.size() / 2 : pages.size();
        Result workerResult;
        std::unique_ptr<Engine> worker;
        std::atomic<bool> stop{false};
        std::thread thread;
        size_t lent = 0; // the copy's share of the record store's budget
        if (split) {
            worker = std::make_unique<Engine>(Bytes{}, Bytes{}, Bytes{}, m_opt, workerResult);
            worker->forkFrom(*this);
            lent = m_store.lend();
            thread = std::thread([&] { worker->carvePages(pages, mid, pages.size(), &stop); });
        }
        const bool done = carvePages(pages, 0, mid, &stop);
        if (!done)
            stop = true;
        if (thread.joinable()) {
            thread.join();
            m_store.give(lent);
            mergeFrom(*worker, workerResult);
        }
        return done && !stop;
    }

    // Carves pages[from, to). The engine that reports progress is the one with a callback;
    // `stop` tells a copy to end early.
    bool carvePages(const std::vector<uint32_t>& pages, size_t from, size_t to, std::atomic<bool>* stop)
    {
        for (size_t i = from; i < to; ++i) {
            const uint32_t pg = pages[i];
            advance(kDb, uint64_t(pg - 1) * m_geo.pageSize, m_geo.pageSize);
            carveMainPage(pg);
            m_carved[pg] = 1;
            m_done += m_geo.pageSize;
            if ((i - from + 1) % kProgressEveryPages == 0) {
                if (m_forked ? stop->load() : !progress())
                    return false;
            }
        }
        return true;
    }

    // What carving reads, copied from the engine that walked the trees.
    void forkFrom(const Engine& o)
    {
        m_forked = true;
        m_src = o.m_src;
        m_src.setWarn([this](const std::string& text) { warn(text); });
        m_geo = o.m_geo;
        m_schema = o.m_schema;
        m_tree.adoptMap(o.m_tree);
        m_carved = o.m_carved;
        m_rowids.forkFrom(o.m_rowids);
        // Half of what is left of the record store's budget (the other engine keeps the rest).
        m_store.borrowFrom(o.m_store);
    }

    // Appends a copy's candidates and what points into them, in its order.
    void mergeFrom(Engine& w, Result& wr)
    {
        const uint32_t candBase = uint32_t(m_cands.size());
        const uint64_t storeShift = m_store.append(w.m_store);
        for (Candidate& c : w.m_cands) {
            if (c.storedAt != RecordStore::kNone)
                c.storedAt += storeShift;
            m_cands.push_back(c);
        }
        m_rowids.append(w.m_rowids, candBase);
        for (size_t pg = 0; pg < m_carved.size() && pg < w.m_carved.size(); ++pg)
            m_carved[pg] |= w.m_carved[pg];
        m_done += w.m_done;
        for (const std::string& text : wr.warnings)
            warn(text);
    }

    // ---- carving ---------------------------------------------------------------------------

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
        const uint8_t* page = ctx.page;
        const size_t hdr = ctx.pgno == 1 ? kHeaderSize : 0;
        const uint8_t type = page[hdr];
        if (!isBtreeType(type)) {
            if (!live)
                carveRegion(ctx, std::max(uint32_t(hdr), trunkListEnd(page)), m_geo.usable, false, ctx.cellSource, true);
            return;
        }
        if (!isTableType(type) && !m_schema.indexes().empty() && !m_cells.masterOnly())
            m_rowids.noteIndexPage(ctx.page, ctx.pgno, live, hdr, type);
        const bool leaf = isLeafType(type);
        const bool tableRows = type == TableLeaf;
        // A leaf that became interior (the root of a table that outgrew one page) keeps its old
        // cells in what is now free space; its own cells are no rows.
        const bool formerLeaf = type == TableInterior;
        if (!tableRows && !formerLeaf && !(m_schema.hasWithoutRowid() && leaf))
            return; // plain index pages hold no table rows
        const size_t hsize = leaf ? kLeafHeaderSize : kInteriorHeaderSize;
        uint32_t cells = get16(page + hdr + kPageOffCellCount);
        uint32_t ptrEnd = uint32_t(hdr + hsize + 2ull * cells);
        if (ptrEnd > m_geo.usable) {
            cells = 0;
            ptrEnd = uint32_t(hdr + hsize);
        }
        uint32_t content = get16(page + hdr + kPageOffContentStart);
        if (content == 0)
            content = kMaxPageSize;
        if (!live && tableRows && !m_cells.masterOnly()) {
            // An old image of a page that has changed hands since says by its cells whose it was.
            bool fits = true;
            const int owner = m_owners.inferOwner(page, hdr + hsize, cells, ptrEnd, ctx.preferTable, &fits);
            if (ctx.preferTable < 0 || !fits)
                ctx.preferTable = owner;
        }
        if (!live && !formerLeaf) {
            for (uint32_t i = 0; i < cells; ++i) {
                const uint32_t off = get16(page + hdr + hsize + 2 * i);
                if (off < ptrEnd || off >= m_geo.usable)
                    continue;
                Parsed m;
                if (m_cells.tryCell(page + off, page + m_geo.usable, tableRows, ctx.preferTable, &m))
                    emit(ctx, m, ctx.cellSource, m_cells.types());
            }
        }
        // Freeblocks: ascending offsets inside the page; anything else ends the chain.
        uint32_t fb = get16(page + hdr + kPageOffFreeblock);
        uint32_t prevEnd = ptrEnd;
        for (uint32_t guard = 0; fb && guard < m_geo.usable / kFreeblockHeaderSize; ++guard) {
            if (fb < prevEnd || fb + kFreeblockHeaderSize > m_geo.usable) {
                warn("page " + std::to_string(ctx.pgno) + ": freeblock at " + std::to_string(fb) + " out of order");
                break;
            }
            const uint32_t size = get16(page + fb + 2);
            const uint32_t end = std::min<uint32_t>(fb + std::max<uint32_t>(size, kFreeblockHeaderSize), m_geo.usable);
            carveRegion(ctx, fb, end, true, live ? ctx.freeSource : ctx.cellSource, tableRows || formerLeaf);
            prevEnd = end;
            fb = get16(page + fb);
        }
        if (content > ptrEnd)
            carveRegion(ctx, ptrEnd, std::min<uint32_t>(content, m_geo.usable), false, live ? ctx.unallocSource : ctx.cellSource,
                        tableRows || formerLeaf);
    }

    // An image that reads as a freelist trunk (an old one in a -wal frame, say): its list of page
    // numbers is no record, so carving starts past it. 0 when the image is no trunk.
    uint32_t trunkListEnd(const uint8_t* page) const
    {
        const PageView v(page, m_geo.usable);
        const uint32_t next = v.u32(0), leaves = v.u32(4);
        if (next > m_geo.pageCount || leaves == 0 || leaves > m_geo.usable / 4 - 2)
            return 0;
        for (uint32_t i = 0; i < leaves; ++i) {
            const uint32_t leaf = v.u32(kTrunkHeaderBytes + 4 * i);
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
            if (ctx.file == kDb && !m.overflowPage)
                c.storedAt = m_store.put(m.types, size_t(m.body - m.types) + m.bodyLocal);
            m_cands.push_back(c);
        } else {
            Candidate& old = m_cands[at];
            if (c.lost >= old.lost)
                return;
            old = c;
        }
        // A row whose bytes are kept gets its probes only if its place on the page leaves its
        // rowid open: most never need them.
        if (!c.hasRowid && !t.table.withoutRowid && m_schema.hasIndexes(size_t(m.table))
            && m_cands[at].storedAt == RecordStore::kNone)
            m_rowids.addProbes(at, m, types);
    }

    // ---- the passes ------------------------------------------------------------------------

    Ctx mainCtx(uint32_t pg)
    {
        Ctx ctx;
        ctx.file = kDb;
        ctx.pgno = pg;
        ctx.pageBase = uint64_t(pg - 1) * m_geo.pageSize;
        ctx.preferTable = m_map.droppedOwner(pg, m_map.owner.size() > pg ? m_map.owner[pg] : -1);
        return ctx;
    }

    void carveMainPage(uint32_t pg)
    {
        const uint8_t* page = dbPage(pg);
        if (!page)
            return;
        Ctx ctx = mainCtx(pg);
        ctx.page = page;
        const bool superseded = this->superseded(pg);
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
            break;
        case kTrunkPage: {
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Freelist;
            const uint32_t leaves = std::min<uint32_t>(get32(page + 4), m_geo.usable / 4 - 2);
            ctx.preferTable = m_owners.trunkOwner(page, leaves, ctx.preferTable);
            m_owners.hold();
            carveRegion(ctx, 8 + 4 * leaves, m_geo.usable, false, Source::Freelist, true);
            releaseHeld();
            break;
        }
        case kFreePage:
        case kUnknown:
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Freelist;
            carvePage(ctx, false);
            break;
        }
    }

    // Deleted sqlite_master rows name tables that were dropped; their rows can then be matched.
    void recoverDroppedSchemas()
    {
        m_cells.setMasterOnly(true);
        for (uint32_t pg = 1; pg <= m_geo.pageCount; ++pg) {
            if (m_map.owner[pg] != 0 && m_map.kind[pg] != kFreePage && m_map.kind[pg] != kTrunkPage)
                continue;
            carveMainPage(pg);
        }
        for (auto& [pg, frames] : m_src.framesByPage()) {
            if (pg < m_map.owner.size() && m_map.owner[pg] != 0)
                continue;
            for (uint32_t f : frames)
                carveWalFrame(f);
        }
        m_cells.setMasterOnly(false);
        std::vector<std::string> names;
        for (const TableLayout& t : m_schema.tables())
            names.push_back(t.table.name);
        std::vector<Candidate> masters;
        masters.swap(m_masterCandidates);
        for (const Candidate& c : masters) {
            CarvedRow row = m_decoder.decode(c);
            if (row.values.size() != 5 || row.values[0].kind != Value::Kind::Text || row.values[0].bytes != "table"
                || row.values[4].kind != Value::Kind::Text)
                continue;
            const std::string name = row.values[1].kind == Value::Kind::Text ? row.values[1].bytes : std::string();
            if (name.empty() || std::find(names.begin(), names.end(), name) != names.end())
                continue;
            TableLayout t;
            if (!parseCreateTable(row.values[4].bytes, &t))
                continue;
            t.table.name = name;
            t.table.rootPage = row.values[3].kind == Value::Kind::Integer ? uint32_t(row.values[3].integer) : 0;
            t.table.dropped = true;
            names.push_back(name);
            const uint32_t root = t.table.rootPage;
            m_schema.addLayout(std::move(t));
            // The page a dropped table's schema row names as its root was that table's, whatever
            // layout-alike table its cells would fit: unless two dropped tables claim it.
            m_tree.nameDroppedRoot(root, int(m_schema.size() - 1));
        }
    }

    void scanDatabase()
    {
        for (uint32_t pg = 1; pg <= m_geo.pageCount; ++pg) {
            if (m_carved[pg])
                continue;
            advance(kDb, uint64_t(pg - 1) * m_geo.pageSize, m_geo.pageSize);
            carveMainPage(pg);
            m_done += m_geo.pageSize;
            if (pg % kProgressEveryPages == 0 && !progress())
                return;
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
        ctx.page = walFramePage(f);
        ctx.pageBase = walFrameOffset(f);
        ctx.preferTable = m_map.droppedOwner(pg, pg < m_map.owner.size() ? m_map.owner[pg] : -1);
        ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Wal;
        const bool final = m_src.finalFrame(pg) == f;
        if (final && m_map.kind[pg] == kOverflowPage)
            return;
        if (final && m_map.kind[pg] == kTrunkPage) {
            const uint32_t leaves = std::min<uint32_t>(get32(ctx.page + 4), m_geo.usable / 4 - 2);
            ctx.preferTable = m_owners.trunkOwner(ctx.page, leaves, ctx.preferTable);
            m_owners.hold();
            carveRegion(ctx, 8 + 4 * leaves, m_geo.usable, false, Source::Wal, true);
            releaseHeld();
            return;
        }
        carvePage(ctx, final && (m_map.kind[pg] == kTablePage || m_map.kind[pg] == kIndexPage));
    }

    void scanWal()
    {
        for (uint32_t f = 0; f < m_src.walFrames(); ++f) {
            advance(kWal, walFrameOffset(f) - kWalFrameHeaderSize, m_geo.pageSize + kWalFrameHeaderSize);
            carveWalFrame(f);
            m_done += m_geo.pageSize + kWalFrameHeaderSize;
            if (f % kProgressEveryPages == 0 && !progress())
                return;
        }
    }

    void scanJournal()
    {
        for (size_t i = 0; i < m_src.journalRecords().size(); ++i) {
            const uint64_t off = m_src.journalRecords()[i];
            Ctx ctx;
            ctx.file = kJournal;
            ctx.pgno = get32(m_src.file(kJournal).data + off);
            ctx.frame = uint32_t(i);
            advance(kJournal, off, m_geo.pageSize + 4);
            ctx.page = bytesAt(kJournal, off + 4, m_geo.pageSize);
            ctx.pageBase = off + 4;
            ctx.preferTable = ctx.pgno < m_map.owner.size() ? m_map.owner[ctx.pgno] : -1;
            ctx.cellSource = ctx.freeSource = ctx.unallocSource = Source::Journal;
            carvePage(ctx, false);
            m_done += m_geo.pageSize + kJournalRecordExtra;
            if (i % kProgressEveryPages == 0 && !progress())
                return;
        }
        m_done = m_total;
    }

    void finish()
    {
        for (const TableLayout& t : m_schema.tables())
            m_res.tables.push_back(t.table);
        if (m_opt.onTables)
            m_opt.onTables(m_res.tables);
        // Candidates from the same row: group by table and tail; known rowids stay apart, a copy
        // without rowid joins a group that has one.
        // Sorted as compact keys, not as indexes into the candidates: far fewer cache misses.
        struct GroupKey {
            uint32_t table;
            uint32_t rank; // copies with rowid first, then the most complete
            uint64_t tail;
            uint32_t cand;
            bool operator<(const GroupKey& o) const
            {
                if (table != o.table)
                    return table < o.table;
                if (tail != o.tail)
                    return tail < o.tail;
                return rank != o.rank ? rank < o.rank : cand < o.cand;
            }
        };
        std::vector<GroupKey> keys = largeVector<GroupKey>(m_cands.size());
        for (uint32_t i = 0; i < keys.size(); ++i) {
            const Candidate& c = m_cands[i];
            keys[i] = {c.table, uint32_t(c.hasRowid ? 0 : 1u << 16) | c.lost, c.tail, i};
        }
        std::sort(keys.begin(), keys.end());
        std::vector<uint32_t> order = largeVector<uint32_t>(keys.size());
        for (size_t i = 0; i < keys.size(); ++i)
            order[i] = keys[i].cand;
        std::vector<GroupKey>().swap(keys);
        const std::vector<uint8_t> live = m_live.flags(m_cands);
        std::vector<uint32_t> winners;
        reserveLarge(winners, m_cands.size());
        for (size_t i = 0; i < order.size();) {
            size_t j = i;
            const Candidate& first = m_cands[order[i]];
            while (j < order.size() && m_cands[order[j]].table == first.table && m_cands[order[j]].tail == first.tail)
                ++j;
            bool anyRowid = false;
            std::vector<int64_t> rowids;
            for (size_t k = i; k < j; ++k) {
                const Candidate& c = m_cands[order[k]];
                if (live[order[k]] || isOldVersion(c))
                    continue;
                if (c.hasRowid) {
                    if (std::find(rowids.begin(), rowids.end(), c.rowid) != rowids.end())
                        continue;
                    rowids.push_back(c.rowid);
                    anyRowid = true;
                    winners.push_back(order[k]);
                } else if (!anyRowid) {
                    winners.push_back(order[k]);
                    anyRowid = true; // one copy without rowid stands for them all
                }
            }
            i = j;
        }
        // Live-row hashes and the dedup table are done with: their room goes to the rowid passes.
        m_live.releaseContent();
        m_seen = FlatIndex();
        // In candidate order from here: the rowid passes then read the candidates in sequence.
        {
            std::vector<uint8_t> won = largeVector<uint8_t>(m_cands.size());
            for (uint32_t w : winners)
                won[w] = 1;
            winners.clear();
            for (uint32_t i = 0; i < won.size(); ++i)
                if (won[i])
                    winners.push_back(i);
            m_rowids.claim(winners);
        }
        m_rowids.run(winners);
        dropCutCopies(winners);
        // In file order, so the read buffer serves them in one pass.
        auto byPlace = largeVector<std::pair<uint64_t, uint32_t>>(winners.size());
        for (size_t i = 0; i < winners.size(); ++i) {
            const Candidate& c = m_cands[winners[i]];
            byPlace[i] = {uint64_t(c.file) << 56 | c.offset, winners[i]};
        }
        if (!std::is_sorted(byPlace.begin(), byPlace.end()))
            std::sort(byPlace.begin(), byPlace.end());
        for (size_t i = 0; i < winners.size(); ++i)
            winners[i] = byPlace[i].second;
        std::vector<std::pair<uint64_t, uint32_t>>().swap(byPlace);
        PlacementStage placement(m_cands, m_schema, m_src, m_geo, m_live, m_rowids);
        if (m_opt.placement)
            placement.run(winners);
        LinkStage links(m_opt.links, m_schema, m_src, m_geo, m_map, m_live, m_rowids, [this](CarvedRow& row) { hand(row); });
        CarvedRow reused; // the callback sees each row only while it runs
        for (uint32_t w : winners) {
            const Candidate& c = m_cands[w];
            if (c.storedAt == RecordStore::kNone && c.bodyOffset <= fileOf(c.file).size && c.typesOffset <= c.bodyOffset)
                advance(c.file, c.typesOffset, c.bodyOffset - c.typesOffset + c.bodyLocal);
            m_decoder.decode(c, reused);
            reused.placement = placement.of(w);
            links.noteCarved(c.table, reused);
            hand(reused);
        }
        links.run([this] { return m_cancelled; });
    }

    // A row cut short is reported only when nothing more complete stands for it: not while its
    // rowid is live, nor beside a fuller copy of the same rowid (the -wal keeps many).
    void dropCutCopies(std::vector<uint32_t>& winners)
    {
        std::vector<std::tuple<uint32_t, int64_t, uint16_t, uint32_t>> byRowid; // table, rowid, lost, candidate
        bool anyCut = false;
        for (uint32_t w : winners) {
            const Candidate& c = m_cands[w];
            anyCut = anyCut || c.cut;
            if (c.hasRowid)
                byRowid.emplace_back(c.table, c.rowid, c.lost, w);
        }
        if (!anyCut)
            return;
        std::sort(byRowid.begin(), byRowid.end());
        std::vector<uint8_t> drop(m_cands.size());
        for (size_t i = 0; i < byRowid.size();) {
            size_t j = i;
            while (j < byRowid.size() && std::get<0>(byRowid[j]) == std::get<0>(byRowid[i]) && std::get<1>(byRowid[j]) == std::get<1>(byRowid[i]))
                ++j;
            const uint16_t fewest = std::get<2>(byRowid[i]);
            const bool live = m_live.hasRowid(std::get<0>(byRowid[i]), std::get<1>(byRowid[i]));
            for (size_t k = i; k < j; ++k) {
                const uint32_t w = std::get<3>(byRowid[k]);
                if (m_cands[w].cut && (live || std::get<2>(byRowid[k]) > fewest || k > i))
                    drop[w] = 1;
            }
            i = j;
        }
        winners.erase(std::remove_if(winners.begin(), winners.end(), [&](uint32_t w) { return drop[w] != 0; }), winners.end());
    }

    void hand(CarvedRow& row)
    {
        ++m_res.rowCount;
        if (m_opt.onRow)
            m_opt.onRow(row);
        else
            m_res.rows.push_back(row);
    }

    // The rowid is live with other values: an earlier version of a row that was updated, unless
    // most values differ (a rowid given again after a delete).
    bool isOldVersion(const Candidate& c)
    {
        if (!c.hasRowid)
            return false;
        const LiveRowid* it = m_live.find(c.table, c.rowid);
        if (!it)
            return false;
        const CarvedRow carved = m_decoder.decode(c);
        const CarvedRow live = m_decoder.decode(m_decoder.liveCandidate(*it));
        size_t same = 0, compared = 0;
        for (size_t i = 0; i < carved.values.size() && i < live.values.size(); ++i) {
            const Value& a = carved.values[i];
            const Value& b = live.values[i];
            if (a.isLost() || b.isLost() || m_schema.table(c.table).table.columns[i].rowidAlias)
                continue;
            ++compared;
            if (a.kind == b.kind && a.integer == b.integer && a.bytes == b.bytes
                && (a.real == b.real || a.kind != Value::Kind::Real))
                ++same;
        }
        return compared == 0 || same * 2 >= compared;
    }

    const Options& m_opt;
    Result& m_res;

public:
    PageSource m_src; // the files as pages: geometry, -wal frames, -journal records

private:
    double m_total = 0, m_done = 0;
    bool m_cancelled = false;

    Geometry m_geo; // the source's, copied once it has read the header and the -wal
    Catalog m_schema;
    CellReader m_cells{m_schema, m_geo};
    std::vector<Candidate> m_masterCandidates;

    std::vector<uint8_t> m_carved; // database pages already carved
    LiveRows m_live;
    Attribution m_owners{m_schema, m_cells, m_live, m_geo};
    TreeWalk m_tree{m_src, m_geo, m_schema, m_live, [this](const std::string& text) { warn(text); }};
    const PageMap& m_map = m_tree.map();
    std::vector<Candidate> m_cands;
    FlatIndex m_seen;
    RecordStore m_store;
    RowidStage m_rowids{m_cands, m_schema, m_map, m_live, m_src, m_geo, m_store};
    Decoder m_decoder{m_schema, m_src, m_geo, m_store, m_tree};
    bool m_forked = false;  // a copy carving part of the pages for another engine

    LostRanges m_lostRanges; // emit()'s: body bytes of the payload it assembled that were overwritten
    std::string m_scratch;
};

} // namespace

Result carveBuffers(Bytes database, Bytes wal, Bytes journal, const Options& options)
{
    Result result;
    Engine engine(database, wal, journal, options, result);
    engine.run();
    return result;
}

Result carveFile(const std::string& databasePath, const Options& options)
{
    Result result;
    MappedFile db, wal, journal;
    if (!db.open(databasePath)) {
        result.unread.push_back("cannot open " + databasePath);
        return result;
    }
    std::string walPath = options.walPath, journalPath = options.journalPath;
    if (walPath.empty() && options.autoCompanions && fileExists(databasePath + "-wal"))
        walPath = databasePath + "-wal";
    if (journalPath.empty() && options.autoCompanions && fileExists(databasePath + "-journal"))
        journalPath = databasePath + "-journal";
    if (!walPath.empty() && !wal.open(walPath))
        result.unread.push_back("cannot open " + walPath);
    if (!journalPath.empty() && !journal.open(journalPath))
        result.unread.push_back("cannot open " + journalPath);
    Engine engine(db.bytes(), wal.bytes(), journal.bytes(), options, result);
    engine.m_src.useFiles(db.fd(), wal.fd(), journal.fd());
    engine.run();
    const std::pair<const MappedFile*, const std::string*> files[] = {
        {&db, &databasePath}, {&wal, &walPath}, {&journal, &journalPath}};
    for (const auto& f : files)
        if (f.first->shrunk())
            result.unread.push_back(*f.second + " shrank while it was read: its lost end was read as zeros");
    return result;
}

} // namespace sqlcarve
