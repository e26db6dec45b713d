#pragma once

// The tree walk: which page is what (live table or index page and whose, overflow page, freelist
// trunk or leaf), read from the schema's trees and the freelist; the live rows and the schema
// rows met on the way; and payloads read along their overflow chains.

#include "Catalog_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "Text_p.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sqlcarve {

constexpr int kMaxTreeDepth = 40;

// Body bytes of an assembled payload that were overwritten: [first, second).
using LostRanges = std::vector<std::pair<size_t, size_t>>;

inline bool overlapsLost(const LostRanges& lost, size_t from, size_t to)
{
    for (const auto& r : lost)
        if (from < r.second && to > r.first)
            return true;
    return false;
}

// What the walk tells of each page of the database file (indexes are page numbers).
struct PageMap {
    std::vector<uint8_t> kind;    // PageKind
    std::vector<int> owner;       // the table whose live tree holds the page, -1 none
    std::vector<int> indexOwner;  // the IndexLayout of the live index tree holding it, -1 none
    std::vector<int64_t> lo, hi;  // live table leaves: their rowids lie in (lo, hi]
    std::vector<int> droppedRoot; // the dropped table a recovered schema row names the page the root of; -2 several

    PageKind kindOf(uint32_t pg) const { return pg < kind.size() ? PageKind(kind[pg]) : kUnknown; }
    int ownerOf(uint32_t pg) const { return pg < owner.size() ? owner[pg] : -1; }
    int indexOwnerOf(uint32_t pg) const { return pg < indexOwner.size() ? indexOwner[pg] : -1; }
    // The table a page no live tree holds is known to have been, from a recovered schema row.
    int droppedOwner(uint32_t pg, int current) const
    {
        if (current >= 0 || pg >= droppedRoot.size() || droppedRoot[pg] < 0)
            return current;
        return droppedRoot[pg];
    }
};

class TreeWalk
{
public:
    using Warn = std::function<void(const std::string&)>;

    TreeWalk(PageSource& src, const Geometry& geo, Catalog& schema, LiveRows& live, Warn warn)
        : m_src(src), m_geo(geo), m_schema(schema), m_live(live), m_warn(std::move(warn))
    {
    }
    TreeWalk(const TreeWalk&) = delete;
    TreeWalk& operator=(const TreeWalk&) = delete;

    const PageMap& map() const { return m_map; }
    // A copy of the engine carving part of the pages reads the first one's map.
    void adoptMap(const TreeWalk& o) { m_map = o.m_map; }

    // sqlite_master's rows, into the catalogue.
    void readSchema() { walkTree(1, 0, true); }

    // A page a recovered schema row of dropped table `table` names as its root, when no live tree
    // holds it: unless two dropped tables claim it.
    void nameDroppedRoot(uint32_t root, int table)
    {
        if (root < 1 || root > m_geo.pageCount || m_map.owner[root] >= 0)
            return;
        if (m_map.droppedRoot.empty())
            m_map.droppedRoot.assign(size_t(m_geo.pageCount) + 1, -1);
        m_map.droppedRoot[root] = m_map.droppedRoot[root] == -1 ? table : -2;
    }

    size_t leafCount() const { return m_leaves.size(); }

    // Rowids (lo, hi] of table `table` whose page of the live tree could not be read: live rows
    // there are not known, so a carved copy of one may be a live row.
    struct LostRange {
        int table;
        int64_t lo, hi;
    };
    const std::vector<LostRange>& lostRanges() const { return m_lost; }
    // Faults met in the live trees: SQLite reads past them without a word, so rows they held may
    // be missing from its answers, or answered twice.
    const std::vector<std::string>& damage() const { return m_damage; }
    size_t indexLeafCount() const
    {
        size_t n = 0;
        for (const Step& l : m_leaves)
            n += l.table < 0 ? 1 : 0;
        return n;
    }

    // The leaves walkLive() noted, read in file order: their live rows go to the live set.
    // *pages gets those that are still b-tree leaves. False when `progress` asks to stop.
    // With `twoThreads`, the second half of the leaves is read on another core (see readHalves).
    bool readLeaves(const std::function<bool()>& progress, std::vector<uint32_t>* pages, bool twoThreads)
    {
        std::sort(m_leaves.begin(), m_leaves.end(), [](const Step& a, const Step& b) { return a.pg < b.pg; });
        const size_t mid = twoThreads && m_leaves.size() >= 2 ? m_leaves.size() / 2 : m_leaves.size();
        if (mid < m_leaves.size() ? !readHalves(progress, mid) : !readLeafRange(m_leaves, 0, m_leaves.size(), progress))
            return false;
        for (const Step& leaf : m_leaves)
            if (m_map.kind[leaf.pg] == kTablePage || m_map.kind[leaf.pg] == kIndexPage)
                pages->push_back(leaf.pg);
        std::vector<Step>().swap(m_leaves);
        return true;
    }

private:
    // Leaves [from, to); a copy reading half of them stops when `stop` is set.
    bool readLeafRange(const std::vector<Step>& leaves, size_t from, size_t to, const std::function<bool()>& progress,
                       const std::atomic<bool>* stop = nullptr)
    {
        std::vector<Step> stack;
        for (size_t i = from; i < to; ++i) {
            const Step& leaf = leaves[i];
            m_src.advance(kDb, uint64_t(leaf.pg - 1) * m_geo.pageSize, m_geo.pageSize);
            stack.assign(1, leaf);
            walkSteps(stack, leaf.root, leaf.table, false, leaf.index, -1, true);
            if ((i - from) % (kProgressEveryPages * 4) == 0 && (stop ? stop->load() : !progress()))
                return false;
        }
        return true;
    }

    // The second half of the leaves goes to a copy of this walk: its own read buffers, live rows
    // and warnings, and a copy of the page map. Its changes to the map are taken over, its rows
    // and warnings put after this half's, as one thread reading them all in order would have
    // left them; unless both halves changed one page (a page two trees claim), when the second
    // half is read again here, after the first.
    bool readHalves(const std::function<bool()>& progress, size_t mid)
    {
        struct Copy {
            PageSource src;
            LiveRows live;
            std::vector<std::string> warnings;
            TreeWalk walk;
            explicit Copy(const TreeWalk& o)
                : src(o.m_src), walk(src, o.m_geo, o.m_schema, live, [this](const std::string& text) { warnings.push_back(text); })
            {
                src.setWarn([this](const std::string& text) { warnings.push_back(text); });
            }
        };
        auto copy = std::make_unique<Copy>(*this);
        copy->walk.m_map = m_map;
        copy->live.reserve((m_leaves.size() - mid) * (m_geo.usable / 128) + 1024);
        const PageMap before = m_map;
        std::atomic<bool> stop{false};
        std::thread thread([&] { copy->walk.readLeafRange(m_leaves, mid, m_leaves.size(), progress, &stop); });
        const bool done = readLeafRange(m_leaves, 0, mid, progress);
        if (!done)
            stop = true;
        thread.join();
        if (!done)
            return false;
        const std::vector<uint32_t> changed = changedPages(before, copy->walk.m_map);
        for (uint32_t pg : changed)
            if (!samePage(before, m_map, pg))
                return readLeafRange(m_leaves, mid, m_leaves.size(), progress); // both halves changed it
        for (uint32_t pg : changed)
            copyPage(copy->walk.m_map, m_map, pg);
        m_live.append(copy->live);
        m_lost.insert(m_lost.end(), copy->walk.m_lost.begin(), copy->walk.m_lost.end());
        for (const std::string& text : copy->walk.m_damage)
            noteDamage(text);
        for (const std::string& text : copy->warnings)
            m_warn(text);
        return true;
    }

    static int64_t loOf(const PageMap& m, uint32_t pg) { return pg < m.lo.size() ? m.lo[pg] : INT64_MIN; }
    static int64_t hiOf(const PageMap& m, uint32_t pg) { return pg < m.hi.size() ? m.hi[pg] : INT64_MAX; }
    static bool samePage(const PageMap& a, const PageMap& b, uint32_t pg)
    {
        return a.kindOf(pg) == b.kindOf(pg) && a.ownerOf(pg) == b.ownerOf(pg) && a.indexOwnerOf(pg) == b.indexOwnerOf(pg)
               && loOf(a, pg) == loOf(b, pg) && hiOf(a, pg) == hiOf(b, pg);
    }
    std::vector<uint32_t> changedPages(const PageMap& before, const PageMap& after) const
    {
        std::vector<uint32_t> out;
        for (uint32_t pg = 1; pg <= m_geo.pageCount; ++pg)
            if (!samePage(before, after, pg))
                out.push_back(pg);
        return out;
    }
    void copyPage(const PageMap& from, PageMap& to, uint32_t pg) const
    {
        to.kind[pg] = from.kind[pg];
        to.owner[pg] = from.owner[pg];
        if (pg < to.indexOwner.size() && pg < from.indexOwner.size())
            to.indexOwner[pg] = from.indexOwner[pg];
        if (!from.lo.empty()) {
            if (to.lo.empty()) {
                to.lo.assign(size_t(m_geo.pageCount) + 1, INT64_MIN);
                to.hi.assign(size_t(m_geo.pageCount) + 1, INT64_MAX);
            }
            to.lo[pg] = from.lo[pg];
            to.hi[pg] = from.hi[pg];
        }
    }

public:
    // The live trees are read in two steps so the file is read in order once: their interior pages
    // first (a small share), which tells which pages are leaves and whose; then every leaf in file
    // order, its live rows noted and its free space carved while it is at hand.
    void walkLive()
    {
        m_map.kind.assign(size_t(m_geo.pageCount) + 1, kUnknown);
        m_map.owner.assign(size_t(m_geo.pageCount) + 1, -1);
        m_leaves.clear();
        for (size_t t = 0; t < m_schema.size(); ++t)
            walkTree(m_schema.table(t).table.rootPage, int(t), false);
        if (!m_schema.indexes().empty())
            m_map.indexOwner.assign(size_t(m_geo.pageCount) + 1, -1);
        for (size_t i = 0; i < m_schema.indexRoots().size(); ++i)
            walkTree(m_schema.indexRoots()[i], -1, false, m_schema.indexRootLayout(i));
        walkFreelist();
        // A pointer map's five-byte entries read as records of small numbers: it holds no rows.
        for (uint32_t pg = 2; m_src.pointerMaps() && pg <= m_geo.pageCount; ++pg)
            if (m_map.kind[pg] == kUnknown && m_src.pointerMapPage(pg))
                m_map.kind[pg] = kPointerMapPage;
    }

    // Reads a whole payload (local part plus overflow chain) into `out`; returns the bytes got.
    // finalState: the chain as the database is now (a live row's); else the images that went
    // with the page in `ctx`. *lost gets the ranges of `out` a freelist trunk overwrote.
    size_t assemble(const Ctx* ctx, const uint8_t* local, uint32_t localSize, uint64_t payload, uint32_t ovfl,
                    std::string& out, bool finalState, LostRanges* lost = nullptr)
    {
        if (lost)
            lost->clear();
        out.assign(reinterpret_cast<const char*>(local), localSize);
        const uint64_t perPage = m_geo.usable - 4;
        uint64_t left = payload - localSize;
        uint32_t pg = ovfl;
        uint32_t steps = 0;
        const uint64_t maxSteps = (left + perPage - 1) / perPage;
        while (left && pg && steps++ < maxSteps) {
            bool trunk = false;
            const uint8_t* p = finalState ? (pg <= m_geo.pageCount ? m_src.finalPage(pg) : nullptr) : overflowFor(*ctx, pg, &trunk);
            if (!p)
                break;
            const size_t take = size_t(std::min<uint64_t>(left, perPage));
            // An overflow page: [next page u32][payload bytes].
            const TrunkPage page(p, m_geo.usable);
            uint32_t next = page.next();
            if (trunk) {
                // The chain's first freed page became a freelist trunk: its leaf list overwrote
                // the start of the data, and lists the rest of the chain in the order it was freed.
                const uint32_t leaves = std::min(page.leafCount(), page.maxLeaves());
                if (lost)
                    lost->push_back({out.size(), out.size() + std::min<size_t>(take, 4 + 4 * size_t(leaves))});
                next = leaves ? page.leaf(0) : 0;
            }
            out.append(reinterpret_cast<const char*>(p + 4), take);
            left -= take;
            pg = next;
        }
        return out.size();
    }

    // The version of an overflow page that belonged with a page found in `ctx`.
    const uint8_t* overflowFor(const Ctx& ctx, uint32_t pg, bool* trunk)
    {
        if (pg < 1)
            return nullptr;
        if (ctx.file == kWal) {
            auto it = m_src.framesByPage().find(pg);
            if (it != m_src.framesByPage().end()) {
                const uint32_t limit = m_src.txnEnd(ctx.frame);
                auto up = std::upper_bound(it->second.begin(), it->second.end(), limit);
                if (up != it->second.begin())
                    return m_src.walFramePage(*(up - 1));
            }
        } else if (ctx.file == kJournal) {
            if (const uint8_t* page = m_src.journalPage(pg))
                return page;
        }
        if (pg > m_geo.pageCount)
            return nullptr;
        // A page that now carries live data no longer holds the deleted row's bytes.
        const PageKind k = PageKind(m_map.kind[pg]);
        if (k == kTablePage || k == kIndexPage || k == kOverflowPage)
            return nullptr;
        *trunk = k == kTrunkPage;
        return m_src.dbPage(pg);
    }

private:
    // Depth of the leaves below `root`, read down its first children; -1 when it cannot be told.
    int leafDepth(uint32_t root)
    {
        uint32_t pg = root;
        for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
            const uint8_t* page = pg >= 1 && pg <= m_geo.pageCount ? m_src.finalPage(pg) : nullptr;
            if (!page)
                return -1;
            const BtreePage b(page, m_geo.usable, pg == 1);
            if (!b.isBtree())
                return -1;
            if (b.isLeaf())
                return depth;
            uint32_t child = b.rightChild();
            if (b.cellCount()) {
                const uint32_t off = b.cellPointer(0);
                if (off + 4 > m_geo.usable)
                    return -1;
                child = b.view().u32(off);
            }
            pg = child;
        }
        return -1;
    }

    void walkTree(uint32_t root, int table, bool schemaOnly, int index = -1)
    {
        if (root < 1 || root > m_geo.pageCount)
            return;
        std::vector<Step> stack{{root, 0, INT64_MIN, INT64_MAX, root, table, index}};
        walkSteps(stack, root, table, schemaOnly, index, schemaOnly ? -1 : leafDepth(root), false);
    }

    // Walks a live tree from the pages on `stack`. Pages at `deferDepth` are taken to be leaves and
    // only noted in m_leaves; `leafPass` reads such a noted leaf (its kind is already set).
    void walkSteps(std::vector<Step>& stack, uint32_t root, int table, bool schemaOnly, int index, int deferDepth,
                   bool leafPass)
    {
        const bool withoutRowid = table >= 0 && m_schema.table(size_t(table)).table.withoutRowid;
        const bool tableTree = table >= 0 && !withoutRowid;
        std::vector<uint32_t> seen;
        size_t visits = 0;
        while (!stack.empty()) {
            const auto [pg, depth, lo, hi, r0, t0, i0] = stack.back();
            (void)r0, (void)t0, (void)i0;
            stack.pop_back();
            if (++visits > m_geo.pageCount) {
                damaged(schemaOnly, "tree at page " + std::to_string(root) + ": more pages than the file holds; walk ended");
                return;
            }
            const bool notedLeaf = leafPass && visits == 1;
            if (!schemaOnly && !notedLeaf) {
                if (m_map.kind[pg] != kUnknown) {
                    damaged(schemaOnly, "page " + std::to_string(pg) + " reached twice (tree of page " + std::to_string(root) + ")");
                    continue;
                }
                if (depth == deferDepth && depth > 0) {
                    // Index trees hold index pages only, table trees table pages (a WITHOUT ROWID
                    // table's tree is an index tree); the leaf pass checks the guess.
                    m_map.kind[pg] = tableTree ? kTablePage : kIndexPage;
                    m_map.owner[pg] = table;
                    if (!tableTree && index >= 0 && pg < m_map.indexOwner.size())
                        m_map.indexOwner[pg] = index;
                    m_leaves.push_back({pg, depth, lo, hi, root, table, index});
                    continue;
                }
            } else if (schemaOnly) {
                if (std::find(seen.begin(), seen.end(), pg) != seen.end())
                    continue;
                seen.push_back(pg);
            }
            const uint8_t* page = m_src.finalPage(pg);
            if (!page) {
                if (notedLeaf)
                    m_map.kind[pg] = kUnknown, m_map.owner[pg] = -1;
                if (tableTree && !schemaOnly)
                    m_lost.push_back({table, lo, hi});
                damaged(schemaOnly, "page " + std::to_string(pg) + " is outside the file (tree of page " + std::to_string(root) + ")");
                continue;
            }
            const BtreePage b(page, m_geo.usable, pg == 1);
            const uint8_t type = b.type();
            if (!isBtreeType(type) || (notedLeaf && isTableType(type) != tableTree)) {
                if (notedLeaf)
                    m_map.kind[pg] = kUnknown, m_map.owner[pg] = -1;
                if (tableTree && !schemaOnly)
                    m_lost.push_back({table, lo, hi});
                damaged(schemaOnly, "page " + std::to_string(pg) + " is not a b-tree page (tree of page " + std::to_string(root) + ")");
                continue;
            }
            if (!schemaOnly) {
                m_map.kind[pg] = isTableType(type) ? kTablePage : kIndexPage;
                m_map.owner[pg] = table;
                if (type == TableLeaf) {
                    if (m_map.lo.empty()) {
                        m_map.lo.assign(size_t(m_geo.pageCount) + 1, INT64_MIN);
                        m_map.hi.assign(size_t(m_geo.pageCount) + 1, INT64_MAX);
                    }
                    m_map.lo[pg] = lo;
                    m_map.hi[pg] = hi;
                } else if (!isTableType(type) && index >= 0 && pg < m_map.indexOwner.size()) {
                    m_map.indexOwner[pg] = index;
                }
            }
            const bool leaf = isLeafType(type);
            const uint32_t cells = b.cellCount();
            if (!b.countFits()) {
                damaged(schemaOnly, "page " + std::to_string(pg) + ": cell count too large");
                continue;
            }
            const uint32_t ptrEnd = b.pointersEnd();
            if (!leaf) {
                if (depth >= kMaxTreeDepth) {
                    damaged(schemaOnly, "tree at page " + std::to_string(root) + " deeper than " + std::to_string(kMaxTreeDepth));
                    continue;
                }
                const uint32_t right = b.rightChild();
                int64_t lastKey = lo;
                if (type == TableInterior && cells) {
                    // The right child holds keys above the largest divider.
                    uint64_t key = 0;
                    if (b.view().varint(b.cellPointer(cells - 1) + 4, &key))
                        lastKey = int64_t(key);
                }
                if (right >= 1 && right <= m_geo.pageCount)
                    stack.push_back({right, depth + 1, lastKey, hi, root, table, index});
                else if (right > m_geo.pageCount && tableTree && !schemaOnly)
                    m_lost.push_back({table, lastKey, hi});
            }
            // Children are pushed in key order and reversed below, so they are popped in key
            // order: live rowids then arrive sorted and need no sort.
            const size_t firstChild = stack.size();
            int64_t prevKey = lo;
            for (uint32_t i = 0; i < cells; ++i) {
                const uint32_t off = b.cellPointer(i);
                if (off < ptrEnd || off >= m_geo.usable)
                    continue;
                const uint8_t* c = page + off;
                const uint8_t* end = page + m_geo.usable;
                if (!leaf) {
                    if (off + 4 > m_geo.usable)
                        continue;
                    const uint32_t child = b.view().u32(off);
                    int64_t key = hi;
                    if (type == TableInterior) {
                        uint64_t k = 0;
                        if (getVarint(c + 4, end, &k))
                            key = int64_t(k);
                    }
                    if (child >= 1 && child <= m_geo.pageCount)
                        stack.push_back({child, depth + 1, prevKey, key, root, table, index});
                    else if (child > m_geo.pageCount && tableTree && !schemaOnly)
                        m_lost.push_back({table, prevKey, key}); // past the end of a file cut short, or a pointer gone wrong
                    prevKey = key;
                    if (type == TableInterior)
                        continue;
                    c += 4;
                }
                uint64_t payload = 0, rowid = 0;
                int n = getVarint(c, end, &payload);
                if (!n)
                    continue;
                c += n;
                if (type == TableLeaf) {
                    n = getVarint(c, end, &rowid);
                    if (!n)
                        continue;
                    c += n;
                }
                const bool isTable = type == TableLeaf;
                const uint32_t local = localPayload(payload, m_geo.usable, isTable);
                if (c + local > end)
                    continue;
                uint32_t ovfl = 0;
                if (local < payload) {
                    if (c + local + 4 > end)
                        continue;
                    ovfl = b.view().u32(uint32_t(c + local - page));
                }
                if (schemaOnly) {
                    if (isTable)
                        readSchemaRow(c, local, payload, ovfl);
                    continue;
                }
                if (ovfl)
                    markOverflow(ovfl, payload - local);
                m_walkPage = pg;
                m_walkPageBase = page;
                if (table >= 0 && (isTable || withoutRowid))
                    addLive(size_t(table), c, local, payload, ovfl, isTable, int64_t(rowid));
            }
            std::reverse(stack.begin() + std::ptrdiff_t(firstChild), stack.end());
        }
    }

    void markOverflow(uint32_t pg, uint64_t remaining)
    {
        const uint64_t perPage = m_geo.usable - 4;
        uint64_t pages = (remaining + perPage - 1) / perPage;
        while (pg && pages--) {
            if (pg > m_geo.pageCount || m_map.kind[pg] != kUnknown)
                return;
            const uint8_t* p = m_src.finalPage(pg);
            if (!p)
                return;
            m_map.kind[pg] = kOverflowPage;
            pg = TrunkPage(p, m_geo.usable).next(); // an overflow page starts with the next one's number
        }
    }

    void readSchemaRow(const uint8_t* local, uint32_t localSize, uint64_t payload, uint32_t ovfl)
    {
        const uint8_t* rec = local;
        if (localSize < payload) {
            assemble(nullptr, local, localSize, payload, ovfl, m_scratch, true);
            rec = reinterpret_cast<const uint8_t*>(m_scratch.data());
            payload = m_scratch.size();
        }
        const uint8_t* end = rec + payload;
        uint64_t hsize = 0;
        const int n = getVarint(rec, end, &hsize);
        if (!n || hsize > payload)
            return;
        const uint8_t* tp = rec + n;
        const uint8_t* body = rec + hsize;
        SchemaRow row;
        for (int col = 0; col < 5 && tp < rec + hsize; ++col) {
            uint64_t t = 0;
            const int k = getVarint(tp, rec + hsize, &t);
            if (!k)
                return;
            tp += k;
            const int64_t sz = serialSize(t);
            if (sz < 0 || sz > end - body)
                return;
            if (col == 3 && t >= 1 && t <= 6)
                row.root = readInt(body, int(sz));
            else if (t >= 13 && t & 1) {
                std::string s = textToUtf8(body, size_t(sz), m_geo.encoding);
                if (col == 0)
                    row.type = s;
                else if (col == 1)
                    row.name = s;
                else if (col == 2)
                    row.tblName = s;
                else if (col == 4)
                    row.sql = s;
            }
            body += sz;
        }
        m_schema.addSchemaRow(std::move(row));
    }

    void walkFreelist()
    {
        uint32_t trunk = m_src.freelistTrunk();
        uint32_t steps = 0;
        const uint32_t maxLeaves = m_geo.usable / 4 - 2;
        while (trunk) {
            if (trunk > m_geo.pageCount || ++steps > m_geo.pageCount) {
                m_warn("freelist trunk " + std::to_string(trunk) + " outside the file; freelist walk ended");
                return;
            }
            if (m_map.kind[trunk] != kUnknown) {
                m_warn("freelist trunk " + std::to_string(trunk) + " reached twice; freelist walk ended");
                return;
            }
            const uint8_t* p = m_src.finalPage(trunk);
            if (!p)
                return;
            m_map.kind[trunk] = kTrunkPage;
            const TrunkPage t(p, m_geo.usable);
            uint32_t leaves = t.leafCount();
            if (leaves > maxLeaves) {
                m_warn("freelist trunk " + std::to_string(trunk) + ": leaf count " + std::to_string(leaves) + " too large");
                leaves = maxLeaves;
            }
            for (uint32_t i = 0; i < leaves; ++i) {
                const uint32_t leaf = t.leaf(i);
                if (leaf >= 1 && leaf <= m_geo.pageCount && m_map.kind[leaf] == kUnknown)
                    m_map.kind[leaf] = kFreePage;
            }
            trunk = t.next();
        }
    }

    void addLive(size_t table, const uint8_t* local, uint32_t localSize, uint64_t payload, uint32_t ovfl, bool hasRowid,
                 int64_t rowid)
    {
        const uint8_t* rec = local;
        size_t size = localSize;
        if (localSize < payload) {
            size = assemble(nullptr, local, localSize, payload, ovfl, m_scratch, true);
            rec = reinterpret_cast<const uint8_t*>(m_scratch.data());
        }
        const uint8_t* end = rec + size;
        uint64_t hsize = 0;
        const int n = getVarint(rec, end, &hsize);
        if (!n || hsize < uint64_t(n) || hsize > size)
            return;
        const Hashes h = hashRecord(table, rec + n, rec + hsize, nullptr, rec + hsize, size - hsize);
        m_live.add({h.tail, h.head, hasRowid ? rowid : INT64_MIN, uint32_t(table), h.prefix}, uint32_t(table), hasRowid, m_walkPage,
                   uint32_t(local - m_walkPageBase));
    }

    // The schema's own tree is read again with the rest; its faults are noted then.
    void damaged(bool schemaOnly, const std::string& text)
    {
        m_warn(text);
        if (!schemaOnly)
            noteDamage(text);
    }
    void noteDamage(const std::string& text)
    {
        constexpr size_t kMaxDamage = 20;
        if (m_damage.size() < kMaxDamage)
            m_damage.push_back(text);
    }

    PageSource& m_src;
    const Geometry& m_geo;
    Catalog& m_schema;
    LiveRows& m_live;
    Warn m_warn;
    std::vector<std::string> m_damage;
    PageMap m_map;
    std::vector<Step> m_leaves; // live leaves noted by walkLive(), read by readLeaves()
    std::vector<LostRange> m_lost;
    uint32_t m_walkPage = 0;    // the page walkSteps() is reading, and its image
    const uint8_t* m_walkPageBase = nullptr;
    std::string m_scratch;
};

} // namespace sqlcarve
