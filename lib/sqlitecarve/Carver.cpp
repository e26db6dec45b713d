#include "sqlitecarve/Carver.h"

#include "Attribution_p.h"
#include "Catalog_p.h"
#include "CellReader_p.h"
#include "Decoder_p.h"
#include "Format_p.h"
#include "IndexEntries_p.h"
#include "LinkStage_p.h"
#include "LiveRows_p.h"
#include "PageCarver_p.h"
#include "PageSource_p.h"
#include "Placement_p.h"
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
    case Source::Orphan: return "orphan";
    }
    return "?";
}

bool CarvedRow::isWhole() const
{
    return std::none_of(values.begin(), values.end(), [](const Value& v) { return v.isLost(); });
}

namespace {

using namespace fmt;

constexpr size_t kMaxWarnings = 200;
// Leaves worth a second thread to carve.
constexpr size_t kParallelPages = 4096;
// Leaves carved as one run by one thread when two share them: long enough that copying the
// engine for each costs nothing, short enough that both threads end close together.
constexpr size_t kPagesPerRun = 2048;
constexpr size_t kMinRuns = 8;
// Candidates read in an order other than their own are asked for this many steps ahead.
constexpr size_t kPrefetchAhead = 8;
constexpr size_t kMaxRuns = 64;

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
        // Without a -wal to hold them, pages the header counts past the file's end are lost.
        if (m_src.claimedPages() && !m_src.walFrames())
            m_res.unread.push_back("it ends before its last " + std::to_string(m_src.claimedPages() - m_src.pageCount())
                                   + " pages (" + std::to_string(m_src.pageCount()) + " of " + std::to_string(m_src.claimedPages())
                                   + "): what they held is not read");
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
        m_res.damage = m_tree.damage();
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
    void advance(uint8_t file, uint64_t offset, uint64_t size, uint64_t ahead = PageSource::kReadAhead)
    {
        m_src.advance(file, offset, size, ahead);
    }
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
        if (m_schema.full())
            warn("the schema names more than " + std::to_string(Catalog::kMaxTables - 1) + " tables: the rest are not read");
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
        m_rowids.keepEntries(!m_opt.indexEntries.empty());
        m_rowids.reserve(indexLeaves);
        // Every live cell first, so the overflow pages live rows hold are known before any
        // deleted row's chain is followed; then the leaves' free space.
        std::vector<uint32_t> pages;
        const bool twoThreads = split(m_tree.leafCount()); // the count is gone once they are read
        if (!m_tree.readLeaves([this] { return progress(); }, &pages, twoThreads))
            return;
        pages.erase(std::remove_if(pages.begin(), pages.end(), [&](uint32_t pg) { return superseded(pg) || m_carved[pg]; }),
                    pages.end());
        if (!carveLeaves(pages))
            return;
        m_live.build(twoThreads);
    }

    // Whether work over this many pages goes to two threads.
    bool split(size_t pages) const
    {
        return m_opt.threads == 0 ? pages >= kParallelPages && std::thread::hardware_concurrency() > 1
                                  : m_opt.threads > 1 && pages >= 2;
    }

    // The leaves' free space, on two cores when there is enough of it. The pages are cut into
    // runs that either thread takes as it comes free (their cost varies too much for halves to
    // end together); each run after the first goes to a copy of the engine that reads what
    // carving needs and nothing the live walk still writes. The copies' candidates then follow
    // this engine's in page order, as if one had carved them all.
    bool carveLeaves(const std::vector<uint32_t>& pages)
    {
        if (!split(pages.size()))
            return carvePages(pages, 0, pages.size(), nullptr);
        const size_t runs = std::min(std::clamp<size_t>(pages.size() / kPagesPerRun, kMinRuns, kMaxRuns), pages.size());
        auto runStart = [&](size_t k) { return pages.size() * k / runs; };
        // Copies are made from this snapshot, not from this engine, which carves and merges meanwhile.
        Result baseResult;
        Engine base(Bytes{}, Bytes{}, Bytes{}, m_opt, baseResult);
        base.forkFrom(*this);
        std::vector<std::unique_ptr<Engine>> copies(runs);
        std::vector<Result> copyResults(runs);
        std::unique_ptr<std::atomic<bool>[]> ready(new std::atomic<bool>[runs]);
        for (size_t k = 0; k < runs; ++k)
            ready[k] = false;
        size_t merged = 1;
        double mergedBytes = 0;
        // The runs done so far in page order join this engine's candidates (on this thread
        // only), so the copies' room is given back as they go.
        auto mergeDone = [&] {
            for (; merged < runs && ready[merged].load(std::memory_order_acquire); ++merged) {
                mergedBytes += copies[merged]->m_done;
                mergeFrom(*copies[merged], copyResults[merged]);
                copies[merged].reset();
            }
        };
        std::atomic<size_t> next{1};
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> copiesDone{0}; // bytes the copies carved, for progress
        // Takes runs until none is left; false once a stop was asked for.
        auto carveRuns = [&](bool reporting) {
            for (size_t k = next++; k < runs; k = next++) {
                auto copy = std::make_unique<Engine>(Bytes{}, Bytes{}, Bytes{}, m_opt, copyResults[k]);
                copy->forkFrom(base);
                // Room for a few candidates per page up front; past it they grow without copying.
                reserveLarge(copy->m_cands, (runStart(k + 1) - runStart(k)) * 8 + 1024);
                const bool done = copy->carvePages(pages, runStart(k), runStart(k + 1), &stop);
                copiesDone += uint64_t(copy->m_done);
                copies[k] = std::move(copy);
                ready[k].store(true, std::memory_order_release);
                if (!done || stop)
                    return false;
                if (reporting) {
                    mergeDone();
                    if (!progressWith(double(copiesDone) - mergedBytes))
                        return false;
                }
            }
            return true;
        };
        std::thread thread([&] { carveRuns(false); });
        const bool done = carvePages(pages, 0, runStart(1), &stop) && carveRuns(true);
        if (!done)
            stop = true;
        thread.join();
        mergeDone();
        return done && !stop;
    }

    // Progress while copies carve: what they have done and is not merged yet counts too.
    bool progressWith(double copiesDone)
    {
        const double own = m_done;
        m_done += copiesDone;
        const bool go = progress();
        m_done = own;
        return go;
    }

    // Carves pages[from, to). The engine that reports progress is the one with a callback;
    // `stop` tells a copy to end early.
    bool carvePages(const std::vector<uint32_t>& pages, size_t from, size_t to, std::atomic<bool>* stop)
    {
        for (size_t i = from; i < to; ++i) {
            const uint32_t pg = pages[i];
            advance(kDb, uint64_t(pg - 1) * m_geo.pageSize, m_geo.pageSize);
            m_carver.carveMainPage(pg);
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
    }

    // Appends a copy's candidates and what points into them, in its order.
    void mergeFrom(Engine& w, Result& wr)
    {
        Candidates& cands = m_carver.candidates();
        cands.append(w.m_carver.candidates().begin(), w.m_carver.candidates().end());
        m_rowids.append(w.m_rowids);
        for (size_t pg = 0; pg < m_carved.size() && pg < w.m_carved.size(); ++pg)
            m_carved[pg] |= w.m_carved[pg];
        m_done += w.m_done;
        for (const std::string& text : wr.warnings)
            warn(text);
    }

    // ---- the passes ------------------------------------------------------------------------

    // Deleted sqlite_master rows name tables that were dropped; their rows can then be matched.
    void recoverDroppedSchemas()
    {
        m_cells.setMasterOnly(true);
        for (uint32_t pg = 1; pg <= m_geo.pageCount; ++pg) {
            if (m_map.owner[pg] != 0 && m_map.kind[pg] != kFreePage && m_map.kind[pg] != kTrunkPage)
                continue;
            m_carver.carveMainPage(pg);
        }
        for (auto& [pg, frames] : m_src.framesByPage()) {
            if (pg < m_map.owner.size() && m_map.owner[pg] != 0)
                continue;
            for (uint32_t f : frames)
                m_carver.carveWalFrame(f);
        }
        m_cells.setMasterOnly(false);
        std::vector<std::string> names;
        for (const TableLayout& t : m_schema.tables())
            names.push_back(t.table.name);
        const std::vector<Candidate> masters = m_carver.takeMasterCandidates();
        for (const Candidate& c : masters) {
            if (m_schema.full())
                break;
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
            // Most pages left here lie alone between carved leaves: each run of them is read, not
            // a buffer's worth.
            uint32_t run = 1;
            while (run < PageSource::kReadAhead / m_geo.pageSize && pg + run <= m_geo.pageCount && !m_carved[pg + run])
                ++run;
            advance(kDb, uint64_t(pg - 1) * m_geo.pageSize, m_geo.pageSize, uint64_t(run) * m_geo.pageSize);
            m_carver.carveMainPage(pg);
            m_done += m_geo.pageSize;
            if (pg % kProgressEveryPages == 0 && !progress())
                return;
        }
    }

    void scanWal()
    {
        for (uint32_t f = 0; f < m_src.walFrames(); ++f) {
            advance(kWal, walFrameOffset(f) - kWalFrameHeaderSize, m_geo.pageSize + kWalFrameHeaderSize);
            m_carver.carveWalFrame(f);
            m_done += m_geo.pageSize + kWalFrameHeaderSize;
            if (f % kProgressEveryPages == 0 && !progress())
                return;
        }
    }

    void scanJournal()
    {
        for (size_t i = 0; i < m_src.journalRecords().size(); ++i) {
            m_carver.carveJournalRecord(i);
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
                if (tail != o.tail)
                    return tail < o.tail;
                if (table != o.table)
                    return table < o.table;
                return rank != o.rank ? rank < o.rank : cand < o.cand;
            }
        };
        // Which candidates are live rows, on the other core meanwhile: it only reads.
        std::vector<uint8_t> live;
        std::thread flagger;
        if (split(m_geo.pageCount))
            flagger = std::thread([&] { live = m_live.flags(m_cands); });
        else
            live = m_live.flags(m_cands);
        // Tails are hashes, spread evenly: the keys go to buckets by their top bits, each then
        // sorted alone (the groups' order is undone below; only each group's own order counts).
        constexpr int kBucketBits = 16;
        std::vector<uint32_t> start(size_t(1) << kBucketBits | 1);
        for (const Candidate& c : m_cands)
            ++start[(c.tail >> (64 - kBucketBits)) + 1];
        for (size_t b = 1; b < start.size(); ++b)
            start[b] += start[b - 1];
        std::vector<GroupKey> keys = largeVector<GroupKey>(m_cands.size());
        {
            std::vector<uint32_t> next(start.begin(), start.end() - 1);
            for (uint32_t i = 0; i < keys.size(); ++i) {
                const Candidate& c = m_cands[i];
                keys[next[c.tail >> (64 - kBucketBits)]++] = {c.table, uint32_t(c.hasRowid ? 0 : 1u << 16) | c.lost, c.tail, i};
            }
        }
        for (size_t b = 0; b + 1 < start.size(); ++b)
            if (start[b + 1] - start[b] > 1)
                std::sort(keys.begin() + start[b], keys.begin() + start[b + 1]);
        if (flagger.joinable())
            flagger.join();
        std::vector<uint32_t> winners;
        reserveLarge(winners, m_cands.size());
        std::vector<int64_t> rowids;
        // Groups end where the sorted keys change; the candidates themselves lie in another order.
        for (size_t i = 0; i < keys.size();) {
            size_t j = i + 1;
            while (j < keys.size() && keys[j].table == keys[i].table && keys[j].tail == keys[i].tail)
                ++j;
            bool anyRowid = false;
            rowids.clear();
            for (size_t k = i; k < j; ++k) {
                if (k + kPrefetchAhead < keys.size())
                    __builtin_prefetch(&m_cands[keys[k + kPrefetchAhead].cand]);
                const uint32_t at = keys[k].cand;
                const Candidate& c = m_cands[at];
                if (live[at] || isOldVersion(c))
                    continue;
                if (c.hasRowid) {
                    if (std::find(rowids.begin(), rowids.end(), c.rowid) != rowids.end())
                        continue;
                    rowids.push_back(c.rowid);
                    anyRowid = true;
                    winners.push_back(at);
                } else if (!anyRowid) {
                    winners.push_back(at);
                    anyRowid = true; // one copy without rowid stands for them all
                }
            }
            i = j;
        }
        std::vector<GroupKey>().swap(keys);
        dropCopiedFragments(winners);
        // Live-row hashes and the dedup table are done with: their room goes to the rowid passes.
        m_live.releaseContent();
        m_carver.releaseDedup();
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
        // Before the rowid passes free the index regions it reads.
        if (!m_opt.indexEntries.empty())
            IndexEntryStage(m_opt.indexEntries, m_schema, m_map, m_live, m_geo, m_decoder)
                .run(m_rowids, [this](CarvedRow& row) { hand(row); });
        m_rowids.run(winners, split(m_geo.pageCount));
        dropCutCopies(winners);
        // In file order, so the read buffer serves them in one pass.
        auto byPlace = largeVector<std::pair<uint64_t, uint32_t>>(winners.size());
        for (size_t i = 0; i < winners.size(); ++i) {
            const Candidate& c = m_cands[winners[i]];
            byPlace[i] = {uint64_t(c.file) << 56 | c.offset, winners[i]};
        }
        sortNearlySorted(byPlace);
        for (size_t i = 0; i < winners.size(); ++i)
            winners[i] = byPlace[i].second;
        std::vector<std::pair<uint64_t, uint32_t>>().swap(byPlace);
        PlacementStage placement(m_cands, m_schema, m_src, m_geo, m_live, m_rowids);
        if (m_opt.placement)
            placement.run(winners);
        LinkStage links(m_opt.links, m_schema, m_src, m_geo, m_map, m_live, m_rowids, [this](CarvedRow& row) { hand(row); });
        CarvedRow reused; // the callback sees each row only while it runs
        const bool callerRoom = m_opt.onRow && m_opt.rowRoom;
        std::vector<TreeWalk::LostRange> lost = m_tree.lostRanges();
        std::sort(lost.begin(), lost.end(), [](const TreeWalk::LostRange& a, const TreeWalk::LostRange& b) {
            return a.table != b.table ? a.table < b.table : a.hi < b.hi;
        });
        size_t handed = 0;
        for (uint32_t w : winners) {
            // Rows are handed over as they are decoded: a stop asked for meanwhile ends it here.
            if (++handed % 4096 == 0 && !progress())
                return;
            const Candidate& c = m_cands[w];
            if (c.bodyOffset <= fileOf(c.file).size && c.typesOffset <= c.bodyOffset)
                advance(c.file, c.typesOffset, c.bodyOffset - c.typesOffset + c.bodyLocal);
            CarvedRow& row = callerRoom ? m_opt.rowRoom() : reused;
            m_decoder.decode(c, row);
            row.placement = placement.of(w);
            row.mayBeLive = !lost.empty() && mayBeLive(lost, c, row.rowid);
            row.unapplied = c.file == kWal && m_src.unappliedWalByte(c.offset);
            links.noteCarved(c.table, row);
            hand(row);
        }
        links.run([this] { return m_cancelled; });
    }

    // Whether a carved row may be one of the live rows a lost page of its table's tree held: its
    // rowid lies in that page's range; without rowid, the range of the leaf it was found on meets
    // one (or that leaf has none). `lost` is sorted by table, then by upper bound; a tree's
    // ranges do not overlap.
    bool mayBeLive(const std::vector<TreeWalk::LostRange>& lost, const Candidate& c, const std::optional<int64_t>& rowid) const
    {
        const int table = int(c.table);
        int64_t lo = INT64_MIN, hi = INT64_MAX; // the rowids the row may have
        if (rowid) {
            lo = *rowid == INT64_MIN ? INT64_MIN : *rowid - 1;
            hi = *rowid;
        } else if (c.file == kDb && c.page < m_map.lo.size() && m_map.kindOf(c.page) == kTablePage && m_map.ownerOf(c.page) == table) {
            lo = m_map.lo[c.page];
            hi = m_map.hi[c.page];
        }
        // The first range of the table that ends at or above lo + 1 is the only one that may
        // start below hi.
        auto it = std::lower_bound(lost.begin(), lost.end(), std::make_pair(table, lo == INT64_MAX ? lo : lo + 1),
                                   [](const TreeWalk::LostRange& r, const std::pair<int, int64_t>& k) {
                                       return r.table != k.first ? r.table < k.first : r.hi < k.second;
                                   });
        return it != lost.end() && it->table == table && it->lo < hi;
    }

    // A row that lost both its cell prefix and its tail has no rowid and no whole content to be
    // told from a live row by: it is a copy when a live row or another carved one holds the same
    // serial types and starts with the same bytes. Of such rows alike, the longest is kept.
    void dropCopiedFragments(std::vector<uint32_t>& winners)
    {
        std::vector<std::pair<uint64_t, uint32_t>> fragments; // prefix, candidate
        // The winners are in group order, the candidates in another: each is read once, and what
        // is needed of it kept in winner order.
        std::vector<uint64_t> prefixes = largeVector<uint64_t>(winners.size());
        std::vector<uint8_t> isFragment = largeVector<uint8_t>(winners.size());
        for (size_t i = 0; i < winners.size(); ++i) {
            if (i + kPrefetchAhead < winners.size())
                __builtin_prefetch(&m_cands[winners[i + kPrefetchAhead]]);
            const Candidate& c = m_cands[winners[i]];
            prefixes[i] = c.prefix;
            isFragment[i] = c.cut && !c.hasRowid;
            if (isFragment[i])
                fragments.emplace_back(c.prefix, winners[i]);
        }
        if (fragments.empty())
            return;
        std::sort(fragments.begin(), fragments.end(), [this](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : m_cands[a.second].bodyLocal > m_cands[b.second].bodyLocal;
        });
        auto known = [&](uint64_t prefix) {
            auto it = std::lower_bound(fragments.begin(), fragments.end(), std::make_pair(prefix, uint32_t(0)));
            return it != fragments.end() && it->first == prefix;
        };
        std::vector<uint64_t> copied;
        m_live.forEachPrefix([&](uint64_t prefix) {
            if (known(prefix))
                copied.push_back(prefix);
        });
        for (size_t i = 0; i < winners.size(); ++i)
            if (!isFragment[i] && known(prefixes[i]))
                copied.push_back(prefixes[i]);
        std::sort(copied.begin(), copied.end());
        std::vector<uint32_t> dropped;
        for (size_t i = 0; i < fragments.size(); ++i)
            if ((i && fragments[i].first == fragments[i - 1].first) || std::binary_search(copied.begin(), copied.end(), fragments[i].first))
                dropped.push_back(fragments[i].second);
        if (dropped.empty())
            return;
        std::sort(dropped.begin(), dropped.end());
        winners.erase(std::remove_if(winners.begin(), winners.end(),
                                     [&](uint32_t w) { return std::binary_search(dropped.begin(), dropped.end(), w); }),
                      winners.end());
    }

    // A row cut short is reported only when nothing more complete stands for it: not while its
    // rowid is live, nor beside a fuller copy of the same rowid (the -wal keeps many).
    void dropCutCopies(std::vector<uint32_t>& winners)
    {
        // Only the rowids a cut copy holds are compared: few rows are cut.
        std::vector<std::pair<uint32_t, int64_t>> cutRowids;
        for (uint32_t w : winners)
            if (m_cands[w].cut && m_cands[w].hasRowid)
                cutRowids.emplace_back(m_cands[w].table, m_cands[w].rowid);
        if (cutRowids.empty())
            return;
        std::sort(cutRowids.begin(), cutRowids.end());
        std::vector<std::tuple<uint32_t, int64_t, uint16_t, uint32_t>> byRowid; // table, rowid, lost, candidate
        for (uint32_t w : winners) {
            const Candidate& c = m_cands[w];
            if (c.hasRowid && std::binary_search(cutRowids.begin(), cutRowids.end(), std::pair<uint32_t, int64_t>(c.table, c.rowid)))
                byRowid.emplace_back(c.table, c.rowid, c.lost, w);
        }
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

    // Every row handed over is filled anew before its next use: a kept row takes its contents.
    void hand(CarvedRow& row)
    {
        ++m_res.rowCount;
        if (m_opt.onRow)
            m_opt.onRow(row);
        else
            m_res.rows.push_back(std::move(row));
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
        CarvedRow live;
        m_decoder.decodeLive(*it, live);
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

    std::vector<uint8_t> m_carved; // database pages already carved
    LiveRows m_live;
    Attribution m_owners{m_schema, m_cells, m_live, m_geo};
    TreeWalk m_tree{m_src, m_geo, m_schema, m_live, [this](const std::string& text) { warn(text); }};
    const PageMap& m_map = m_tree.map();
    PageCarver m_carver{m_src, m_geo, m_schema, m_cells, m_map, m_tree, m_owners, m_rowids,
                        [this](const std::string& text) { warn(text); }};
    Candidates& m_cands = m_carver.candidates(); // what the carving pass found
    RowidStage m_rowids{m_cands, m_schema, m_map, m_live, m_src, m_geo};
    Decoder m_decoder{m_schema, m_src, m_geo, m_tree};
    bool m_forked = false;  // a copy carving part of the pages for another engine

};

// A header for a file whose own was lost (PageSource::headerLost), written over `h`'s 100 bytes:
// the page size its pages show; the rest of the old one where it holds, else a new database's.
void rebuildHeader(const PageSource& src, uint8_t* h)
{
    const auto put32 = [h](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            h[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    };
    if (!src.headerTrusted()) {
        std::memset(h, 0, kHeaderSize);
        h[kOffWriteVersion] = h[kOffWriteVersion + 1] = 1; // rollback journal: no -wal asked for
        h[21] = 64, h[22] = 32, h[23] = 32; // payload fractions, fixed
        put32(kOffChangeCounter, 1);
        put32(kOffPageCount, src.pageCount());
        put32(40, 1); // schema cookie
        put32(44, 4); // schema format
        put32(kOffEncoding, 1);
        put32(kOffVersionValidFor, 1);
        put32(96, 3040001); // the library version that wrote it; any will do
    }
    std::memcpy(h, kMagic, kMagicSize);
    const uint32_t stored = src.pageSize() == kMaxPageSize ? 1 : src.pageSize();
    h[kOffPageSize] = uint8_t(stored >> 8), h[kOffPageSize + 1] = uint8_t(stored);
}

// The image a carve leaves behind: where each page's current bytes are, in the files (or
// buffers) the carve read, whose mappings it keeps (a file that shrinks reads as zeros).
class FileImage : public Image
{
public:
    FileImage(const PageSource& src, Bytes db, Bytes wal, std::shared_ptr<MappedFile> dbFile, std::shared_ptr<MappedFile> walFile)
        : m_db(db), m_wal(wal), m_dbFile(std::move(dbFile)), m_walFile(std::move(walFile)), m_pageSize(src.pageSize()),
          m_pageCount(src.pageCount())
    {
        m_walOffset.assign(size_t(m_pageCount) + 1, 0);
        for (uint32_t pg = 1; pg <= m_pageCount; ++pg)
            if (src.finalFrame(pg) != UINT32_MAX)
                m_walOffset[pg] = src.walFrameOffset(src.finalFrame(pg));
        // Page 1 as SQLite must read it: a rollback database (the -wal is applied already) whose
        // header gives its size.
        m_first.assign(m_pageSize, 0);
        if (m_pageCount >= 1)
            readPage(1, 0, m_first.data(), m_pageSize);
        if (src.headerLost() && m_pageSize >= kHeaderSize)
            rebuildHeader(src, m_first.data());
        if (m_pageSize >= 100) {
            m_first[18] = m_first[19] = 1;
            for (int i = 0; i < 4; ++i) {
                m_first[size_t(28 + i)] = uint8_t(m_pageCount >> (24 - 8 * i));
                m_first[size_t(92 + i)] = m_first[size_t(24 + i)];
            }
        }
    }
    uint32_t pageSize() const override { return m_pageSize; }
    uint32_t pageCount() const override { return m_pageCount; }
    bool read(uint64_t offset, void* out, size_t size) const override
    {
        auto* to = static_cast<uint8_t*>(out);
        bool whole = true;
        while (size) {
            const uint64_t pg = offset / m_pageSize + 1;
            const uint32_t in = uint32_t(offset % m_pageSize);
            const size_t n = std::min<size_t>(size, m_pageSize - in);
            if (pg > m_pageCount) {
                std::memset(to, 0, n);
                whole = false;
            } else if (pg == 1) {
                std::memcpy(to, m_first.data() + in, n);
            } else {
                whole = readPage(uint32_t(pg), in, to, n) && whole;
            }
            to += n;
            offset += n;
            size -= n;
        }
        return whole;
    }

private:
    bool readPage(uint32_t pg, uint32_t in, uint8_t* to, size_t n) const
    {
        const bool wal = m_walOffset[pg] != 0;
        const uint64_t at = (wal ? m_walOffset[pg] : uint64_t(pg - 1) * m_pageSize) + in;
        const Bytes& from = wal ? m_wal : m_db;
        const size_t got = from.data && at < from.size ? size_t(std::min<uint64_t>(n, from.size - at)) : 0;
        if (got)
            std::memcpy(to, from.data + at, got);
        std::memset(to + got, 0, n - got);
        return got == n;
    }

    Bytes m_db, m_wal;
    std::shared_ptr<MappedFile> m_dbFile, m_walFile;
    uint32_t m_pageSize, m_pageCount;
    std::vector<uint64_t> m_walOffset; // per page: where its committed -wal frame's bytes start; 0: the main file
    std::vector<uint8_t> m_first;
};

} // namespace

Result carveBuffers(Bytes database, Bytes wal, Bytes journal, const Options& options)
{
    Result result;
    Engine engine(database, wal, journal, options, result);
    engine.run();
    if (options.keepImage && result.ok)
        result.image = std::make_shared<FileImage>(engine.m_src, database, wal, nullptr, nullptr);
    return result;
}

std::string rebuiltHeader(Bytes database)
{
    PageSource src(database, Bytes{}, Bytes{}, [](const std::string&) {});
    if (!src.readHeader() || !src.headerLost())
        return std::string();
    std::string h(reinterpret_cast<const char*>(database.data), kHeaderSize);
    rebuildHeader(src, reinterpret_cast<uint8_t*>(&h[0]));
    return h;
}

std::string walBreak(Bytes wal, uint32_t pageSize)
{
    const WalChain chain = walChain(wal, pageSize);
    // A header of zeros is a -wal emptied for reuse; anything else without the magic was one once.
    if (chain.end == WalChain::NotAWal && wal.size >= kWalHeaderSize
        && std::any_of(wal.data, wal.data + kWalHeaderSize, [](uint8_t b) { return b != 0; }))
        return "its header is not a -wal's; none of it is applied";
    // Frames no commit closes are dropped as silently: a -wal cut short, or copied mid-write.
    if (!chain.damaged() && chain.chained && chain.lastCommit == UINT32_MAX)
        return "none of its " + std::to_string(chain.chained) + " frames ends a transaction, as when it is cut short or copied while written; none of it is applied";
    if (!chain.damaged() && chain.chained && chain.lastCommit + 1 < chain.chained)
        return "its last " + std::to_string(chain.chained - chain.lastCommit - 1) + " of " + std::to_string(chain.chained)
            + " frames end no transaction, as when it is cut short or copied while written; they are not applied";
    if (!chain.damaged())
        return std::string();
    if (chain.end == WalChain::OtherPageSize)
        return "its header names no page size of this database's; none of it is applied";
    if (chain.end == WalChain::HeaderChecksum)
        return "its header's checksum does not hold; none of its " + std::to_string(chain.frames) + " frames is applied";
    return "frame " + std::to_string(chain.chained + 1) + " of " + std::to_string(chain.frames)
        + (chain.end == WalChain::Salt ? ": its salt is not the header's" : ": its checksum does not hold")
        + "; it and the frames after it are not applied";
}

std::string journalBreak(Bytes journal)
{
    const uint8_t* j = journal.data;
    uint64_t header = 0, record = 0;
    const std::string rest = ": it and the records after it are not rolled back, so the pages they hold keep changes never committed";
    // Segments, each a header (at a sector boundary) and its records; SQLite reads them in turn.
    while (j && header + kJournalHeaderSize <= journal.size && std::memcmp(j + header, kJournalMagic, sizeof kJournalMagic) == 0) {
        uint32_t count = get32(j + header + 8);
        const uint32_t nonce = get32(j + header + 12);
        const uint32_t sector = get32(j + header + kJournalOffSectorSize);
        const uint32_t pageSize = get32(j + header + kJournalOffPageSize);
        if (sector < 32 || sector > kMaxPageSize || (sector & (sector - 1)) || pageSize < kMinPageSize || pageSize > kMaxPageSize
            || (pageSize & (pageSize - 1)))
            break;
        const uint64_t recordSize = uint64_t(pageSize) + kJournalRecordExtra;
        uint64_t at = header + sector;
        if (count == UINT32_MAX) // written without a sync: as many records as the file holds
            count = at < journal.size ? uint32_t((journal.size - at) / recordSize) : 0;
        for (uint32_t k = 0; k < count; ++k, at += recordSize, ++record) {
            if (at + recordSize > journal.size)
                return "it ends inside record " + std::to_string(record + 1) + rest;
            const uint8_t* page = j + at + 4;
            uint32_t sum = nonce;
            for (uint32_t i = pageSize - 200; i > 0 && i < pageSize; i -= 200)
                sum += page[i];
            if (get32(j + at) == 0)
                return "record " + std::to_string(record + 1) + " names no page" + rest;
            if (sum != get32(page + pageSize))
                return "record " + std::to_string(record + 1) + " fails its checksum" + rest;
        }
        header = (at + sector - 1) / sector * sector;
    }
    return std::string();
}

Result carveFile(const std::string& databasePath, const Options& options)
{
    Result result;
    auto db = std::make_shared<MappedFile>(), wal = std::make_shared<MappedFile>();
    MappedFile journal;
    if (!db->open(databasePath)) {
        result.unread.push_back("cannot open " + databasePath);
        return result;
    }
    std::string walPath = options.walPath, journalPath = options.journalPath;
    if (walPath.empty() && options.autoCompanions && fileExists(databasePath + "-wal"))
        walPath = databasePath + "-wal";
    if (journalPath.empty() && options.autoCompanions && fileExists(databasePath + "-journal"))
        journalPath = databasePath + "-journal";
    if (!walPath.empty() && !wal->open(walPath))
        result.unread.push_back("cannot open " + walPath);
    if (!journalPath.empty() && !journal.open(journalPath))
        result.unread.push_back("cannot open " + journalPath);
    Engine engine(db->bytes(), wal->bytes(), journal.bytes(), options, result);
    engine.m_src.useFiles(db->fd(), wal->fd(), journal.fd());
    const size_t before = result.unread.size();
    engine.run();
    for (size_t i = before; i < result.unread.size(); ++i)
        result.unread[i] = databasePath + ": " + result.unread[i];
    const std::pair<const MappedFile*, const std::string*> files[] = {
        {db.get(), &databasePath}, {wal.get(), &walPath}, {&journal, &journalPath}};
    for (const auto& f : files)
        if (f.first->shrunk())
            result.unread.push_back(*f.second + " shrank while it was read: its lost end was read as zeros");
    if (options.keepImage && result.ok)
        result.image = std::make_shared<FileImage>(engine.m_src, db->bytes(), wal->bytes(), db, wal);
    return result;
}

} // namespace sqlcarve
