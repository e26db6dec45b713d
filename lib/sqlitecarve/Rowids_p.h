#pragma once

// Rowids for rows whose cell prefix (and with it the rowid) is gone: from deleted index entries
// holding exactly their indexed values, and from where they lay between live cells of known
// rowid. Where index pages' free space lies is noted while carving reads them; once the scan is
// done, each rowless winner's index keys are read again from its record and looked for there.

#include "Catalog_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "TreeWalk_p.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace sqlcarve {

// fn(from, to, out) over [0, n), the second half on another thread when asked; its output
// follows the first half's, as if one thread had done it all.
template <class Out, class Fn>
void inHalves(size_t n, bool twoThreads, Out& out, Fn&& fn)
{
    if (!twoThreads || n < 2) {
        fn(size_t(0), n, out);
        return;
    }
    Out second;
    const size_t half = n / 2;
    std::thread thread([&] { fn(half, n, second); });
    fn(size_t(0), half, out);
    thread.join();
    out.insert(out.end(), second.begin(), second.end());
}

class RowidStage
{
public:
    // The most serial-type bytes of an index entry's values that a rowid is looked for behind.
    static constexpr size_t kMaxEntryTypes = 16;

    // (table, rowid) pairs, sorted.
    using Claims = std::vector<std::pair<uint32_t, int64_t>>;

    RowidStage(Candidates& cands, const Catalog& schema, const PageMap& map, const LiveRows& live,
               PageSource& src, const Geometry& geo)
        : m_cands(cands), m_schema(schema), m_map(map), m_live(live), m_src(src), m_geo(geo)
    {
    }
    RowidStage(const RowidStage&) = delete;
    RowidStage& operator=(const RowidStage&) = delete;

    // Room for what a file of this many index leaves keeps; only what is filled is touched.
    // After keepEntries().
    void reserve(size_t indexLeaves)
    {
        if (m_entries)
            reserveLarge(m_regionBytes, indexLeaves * m_geo.usable / 2 + 65536);
        reserveLarge(m_indexRegions, indexLeaves * 8 + 1024);
    }

    // A copy carving part of the pages.
    void forkFrom(const RowidStage& o) { m_entries = o.m_entries; }

    // Keeps what deleted index entries are read from as rows of their own (IndexEntryStage):
    // regions too short for a probe key, where each region lies, and the free blocks' starts.
    void keepEntries(bool on) { m_entries = on; }

    // Appends the regions a copy noted, after this one's.
    void append(const RowidStage& w)
    {
        const uint64_t regionBase = m_entries ? m_regionBytes.size() : 0;
        m_regionBytes.insert(m_regionBytes.end(), w.m_regionBytes.begin(), w.m_regionBytes.end());
        for (IndexRegion r : w.m_indexRegions) {
            r.at += regionBase;
            m_indexRegions.push_back(r);
        }
        m_places.insert(m_places.end(), w.m_places.begin(), w.m_places.end());
        for (uint64_t at : w.m_freeblockAt)
            m_freeblockAt.push_back(at + regionBase);
    }

    // The rowids the winning rows hold (a copy cut short does not hold its rowid against a whole
    // one without). `winners` in candidate order.
    void claim(const std::vector<uint32_t>& winners)
    {
        m_claimed.clear();
        reserveLarge(m_claimed, winners.size());
        for (uint32_t w : winners)
            if (m_cands[w].hasRowid && !m_cands[w].cut)
                m_claimed.push_back({m_cands[w].table, m_cands[w].rowid});
        std::sort(m_claimed.begin(), m_claimed.end());
    }
    const Claims& claimed() const { return m_claimed; }

    // Cheap and nearly always decisive: rows freed between live cells; the index entries then
    // serve the rest, before positions are trusted for rows from anywhere else.
    void run(const std::vector<uint32_t>& winners, bool twoThreads)
    {
        rowidsFromPositions(winners, true, twoThreads);
        rowidsFromIndexes(winners, twoThreads);
        rowidsFromPositions(winners, false, twoThreads);
        std::vector<IndexRegion>().swap(m_indexRegions);
        std::vector<uint8_t>().swap(m_regionBytes);
        std::vector<uint64_t>().swap(m_freeblockAt);
        std::vector<IndexRegionPlace>().swap(m_places);
    }

    // What noteIndexPage kept, until run() frees it: the regions, their bytes, and where in
    // those bytes a freeblock header starts (in order).
    const std::vector<IndexRegion>& indexRegions() const { return m_indexRegions; }
    const uint8_t* regionBytes() const { return m_regionBytes.data(); }
    const std::vector<uint64_t>& freeblockStarts() const { return m_freeblockAt; }
    const IndexRegionPlace& placeOf(const IndexRegion& r) const { return m_places[size_t(&r - m_indexRegions.data())]; }

    // Keeps where deleted index entries may lie: the free space of a live index page, all of an
    // old or freed one. They are matched to carved rows once the whole scan is done.
    void noteIndexPage(const uint8_t* page, uint32_t pgno, bool live, uint8_t file, uint64_t pageAt)
    {
        const BtreePage b(page, m_geo.usable, pgno == 1);
        const uint32_t ptrEnd = b.pointersEnd();
        const int owner = live ? m_map.indexOwnerOf(pgno) : -1;
        auto add = [&](uint32_t from, uint32_t to, IndexRegionPlace::Kind kind) {
            to = std::min(to, m_geo.usable);
            // Shorter than a key, a region still holds a small entry (IndexEntryStage reads it).
            if (to > from + (m_entries ? kFreeblockHeaderSize : kIndexKeyBytes))
            {
                if (!m_entries) {
                    // Only scanned once the carve is done: read again from the file then,
                    // which costs far less than holding a copy of every index page's free space.
                    m_indexRegions.push_back({uint64_t(file) << kFileShift | (pageAt + from), to - from, owner});
                    return true;
                }
                // Kept while the page is at hand: the entries found in them point into the copy.
                m_indexRegions.push_back({m_regionBytes.size(), to - from, owner});
                m_places.push_back({pageAt + from, pgno, file, kind, file == kDb && m_src.finalFrame(pgno) != UINT32_MAX});
                if (kind == IndexRegionPlace::kFreeblock)
                    m_freeblockAt.push_back(m_regionBytes.size());
                m_regionBytes.insert(m_regionBytes.end(), page + from, page + to);
                return true;
            }
            return false;
        };
        if (!live) {
            const uint64_t base = m_regionBytes.size();
            if (!add(ptrEnd, m_geo.usable, IndexRegionPlace::kImage) || !m_entries)
                return;
            // The image's free chain tells where entries lost their first bytes to a header.
            uint32_t fb = b.firstFreeblock();
            for (uint32_t guard = 0; fb && guard < m_geo.usable / kFreeblockHeaderSize; ++guard) {
                if (fb < ptrEnd || fb + kFreeblockHeaderSize > m_geo.usable)
                    break;
                m_freeblockAt.push_back(base + fb - ptrEnd);
                const uint32_t next = b.freeblockNext(fb);
                if (next <= fb)
                    break;
                fb = next;
            }
            return;
        }
        const uint32_t content = b.contentStart();
        if (content > ptrEnd)
            add(ptrEnd, content, IndexRegionPlace::kGap);
        uint32_t fb = b.firstFreeblock();
        uint32_t prevEnd = ptrEnd;
        for (uint32_t guard = 0; fb && guard < m_geo.usable / kFreeblockHeaderSize; ++guard) {
            if (fb < prevEnd || fb + kFreeblockHeaderSize > m_geo.usable)
                break;
            const uint32_t end = std::min<uint32_t>(fb + std::max<uint32_t>(b.freeblockSize(fb), kFreeblockHeaderSize), m_geo.usable);
            add(fb, end, IndexRegionPlace::kFreeblock);
            prevEnd = end;
            fb = b.freeblockNext(fb);
        }
    }

private:
    // Index keys of rows that lost their rowid: the probes, their serial types and values in an
    // arena, and scratch room. One per thread building them.
    struct ProbeSet {
        std::vector<Probe> probes;
        std::vector<uint8_t> arena;
        std::vector<uint64_t> colTypes, recordTypes;
        std::vector<uint32_t> colPos;
    };

    // The index keys of a row that lost its rowid, from its record's serial types and values.
    void addProbes(uint32_t cand, const Parsed& m, const std::vector<uint64_t>& types, ProbeSet& out) const
    {
        const Candidate& c = m_cands[cand];
        const TableLayout& t = m_schema.table(c.table);
        const size_t n = t.stored.size();
        std::vector<uint64_t>& colTypes = out.colTypes;
        std::vector<uint32_t>& colPos = out.colPos;
        std::vector<uint8_t>& arena = out.arena;
        colTypes.clear();
        if (m.implied)
            colTypes.push_back(m.impliedType);
        colTypes.insert(colTypes.end(), types.begin(), types.end());
        if (colTypes.size() != n)
            return;
        colPos.resize(n + 1);
        uint64_t pos = 0;
        for (size_t i = 0; i < n; ++i) {
            colPos[i] = uint32_t(std::min<uint64_t>(pos, UINT32_MAX));
            pos += uint64_t(std::max<int64_t>(0, serialSize(colTypes[i])));
        }
        colPos[n] = uint32_t(std::min<uint64_t>(pos, UINT32_MAX));
        for (const uint16_t ii : m_schema.indexesOf(c.table)) {
            const IndexLayout& il = m_schema.indexes()[ii];
            // Serial types go straight into the arena and the key bytes after them; a probe that
            // fails is cut off again.
            const size_t at = arena.size();
            size_t bytesLen = 0;
            bool ok = true;
            for (int col : il.columns) {
                const uint64_t ty = colTypes[size_t(col)];
                const uint32_t from = colPos[size_t(col)], to = colPos[size_t(col) + 1];
                // An index converts a REAL column's integer to a real: its bytes differ.
                if (ty != 0 && t.stored[size_t(col)].affinity == Affinity::Real && ty != 7) {
                    ok = false;
                    break;
                }
                if (to > c.bodyLocal || ty == 10 || ty == 11) {
                    ok = false;
                    break;
                }
                uint8_t vb[kMaxVarint];
                arena.insert(arena.end(), vb, vb + putVarint(ty, vb));
                bytesLen += to - from;
            }
            const size_t typesLen = arena.size() - at;
            if (!ok || bytesLen < kIndexKeyBytes || typesLen > kMaxEntryTypes || at + typesLen + bytesLen > UINT32_MAX) {
                arena.resize(at);
                continue;
            }
            for (int col : il.columns)
                arena.insert(arena.end(), m.body + colPos[size_t(col)], m.body + colPos[size_t(col) + 1]);
            uint64_t key;
            std::memcpy(&key, arena.data() + at + typesLen, 8);
            out.probes.push_back({key, cand, uint32_t(at), ii, uint16_t(typesLen), uint32_t(bytesLen)});
        }
    }

    // The index keys of a row that lost its rowid, its record read again from the file through
    // `src` (this thread's).
    void addProbes(uint32_t cand, PageSource& src, ProbeSet& out) const
    {
        const Candidate& c = m_cands[cand];
        Parsed m;
        m.table = c.table;
        m.implied = c.implied;
        m.impliedType = c.impliedType;
        const Bytes& f = src.file(c.file);
        if (c.bodyOffset > f.size || c.typesOffset > c.bodyOffset)
            return;
        const uint64_t len = c.bodyOffset - c.typesOffset + std::min<uint64_t>(c.bodyLocal, f.size - c.bodyOffset);
        src.advance(c.file, c.typesOffset, len);
        m.types = src.bytesAt(c.file, c.typesOffset, len);
        m.body = m.types + (c.bodyOffset - c.typesOffset);
        std::vector<uint64_t>& types = out.recordTypes;
        types.clear();
        for (const uint8_t* p = m.types; p < m.body;) {
            uint64_t t = 0;
            const int k = getVarint(p, m.body, &t);
            if (!k || types.size() >= m_schema.maxColumns())
                return;
            types.push_back(t);
            p += k;
        }
        addProbes(cand, m, types, out);
    }

public:
    // The rowid ending the index entry whose body (indexed values, `bodyLen` bytes with serial
    // types `types`) starts at x, found in [rb, re). Each rowid size is tried; one is taken when
    // the surviving cell bytes or its freeblock header's size confirm it and no other does.
    // *weak: only the freeblock's size confirmed it, every cell byte before the values being gone.
    static bool indexEntryRowid(const uint8_t* rb, const uint8_t* re, const uint8_t* x, const uint8_t* types, size_t typesLen,
                                size_t bodyLen, int64_t* out, bool* weak)
    {
        // The cell is rebuilt in a small buffer; lengths are compared as sizes, never as pointers
        // that could run past the region.
        if (typesLen > kMaxEntryTypes || x < rb || x > re || bodyLen > size_t(re - x))
            return false;
        bool sizeOnly = false;
        static const struct {
            uint8_t type, size;
            int64_t min, max;
        } kRowid[] = {{9, 0, 1, 1},
                      {1, 1, 2, 127},
                      {2, 2, 128, 32767},
                      {3, 3, 32768, 8388607},
                      {4, 4, 8388608, 2147483647},
                      {5, 6, 2147483648ll, 0x7fffffffffffll},
                      {6, 8, 0x800000000000ll, INT64_MAX}};
        int strong = 0;
        int64_t value = 0;
        bool conflict = false, haveChained = false;
        int64_t chained = 0;
        for (const auto& r : kRowid) {
            const uint8_t* tail = x + bodyLen;
            if (r.size > re - tail)
                continue;
            const int64_t v = r.type == 9 ? 1 : readInt(tail, r.size);
            if (v < r.min || v > r.max)
                continue;
            uint8_t cell[2 * kMaxVarint + 24];
            uint64_t hsize = typesLen + 2;
            if (hsize >= 128)
                ++hsize;
            size_t len = 0;
            len += size_t(putVarint(hsize + bodyLen + r.size, cell + len));
            len += size_t(putVarint(hsize, cell + len));
            std::memcpy(cell + len, types, typesLen);
            len += typesLen;
            cell[len++] = r.type;
            if (x - rb < ptrdiff_t(len))
                continue;
            const uint8_t* f = x - len;
            const bool intact = std::memcmp(f, cell, len) == 0;
            const bool tailOk = len <= kFreeblockHeaderSize
                                || std::memcmp(f + kFreeblockHeaderSize, cell + kFreeblockHeaderSize, len - kFreeblockHeaderSize) == 0;
            if (!intact && !tailOk)
                continue;
            const uint8_t* after = tail + r.size;
            const bool sizeFits = PageView(f, uint32_t(re - f)).u16(2) == len + bodyLen + r.size;
            // In a merged block the header's size spans several entries: what follows this one
            // (the block's end, or an intact entry of the same index) speaks for the rowid's size.
            const bool followed = !intact && len <= kFreeblockHeaderSize && !sizeFits
                                  && (after == re || indexEntryAt(after, re, types, typesLen));
            // So does the next freed entry's own header, when its size runs to where this one's
            // does: the two were freed one after the other into one block. It outweighs a longer
            // rowid whose size only happens to fill this header's span.
            const bool chain = !intact && len <= kFreeblockHeaderSize && !sizeFits && chainedFreeblockHeader(f, after, PageView(f, uint32_t(re - f)).u16(2), re);
            const bool confirmed = intact || len > kFreeblockHeaderSize || sizeFits || followed || chain;
            if (!confirmed)
                continue;
            if (chain) {
                chained = v;
                haveChained = true;
            }
            conflict = conflict || (strong && value != v);
            value = v;
            strong = 1;
            sizeOnly = !intact && len <= kFreeblockHeaderSize;
        }
        if (conflict && !haveChained)
            return false;
        if (conflict)
            value = chained;
        if (!strong)
            return false;
        *out = value;
        *weak = sizeOnly;
        return true;
    }

    // Whether an intact entry of an index whose entries have as many stored values as `types`
    // describes (plus the rowid) starts at p and ends within [p, re).
    static bool indexEntryAt(const uint8_t* p, const uint8_t* re, const uint8_t* types, size_t typesLen)
    {
        size_t columns = 1;
        for (size_t i = 0; i < typesLen; ++i)
            columns += !(types[i] & 0x80);
        uint64_t payload = 0, hsize = 0;
        const int n1 = getVarint(p, re, &payload);
        if (!n1)
            return false;
        const int n2 = getVarint(p + n1, re, &hsize);
        const uint64_t room = uint64_t(re - p) - uint64_t(n1);
        if (!n2 || hsize < uint64_t(n2) + columns || hsize > payload || hsize > room)
            return false;
        const uint8_t* t = p + n1 + n2;
        const uint8_t* tEnd = p + n1 + hsize;
        uint64_t body = 0;
        size_t seen = 0;
        while (t < tEnd) {
            uint64_t type = 0;
            const int n = getVarint(t, tEnd, &type);
            const int64_t size = n ? serialSize(type) : -1;
            if (size < 0)
                return false;
            t += n;
            body += uint64_t(size);
            ++seen;
        }
        return seen == columns && payload == hsize + body && payload <= room;
    }

private:
    // Rowid-less rows get the rowid of a deleted index entry holding exactly their indexed values.
    void rowidsFromIndexes(const std::vector<uint32_t>& winners, bool twoThreads)
    {
        if (m_schema.indexes().empty() || m_indexRegions.empty())
            return;
        // Winners are in candidate order: their records are read in file order, the second half
        // of them on another core through a source of its own; its probes follow the first's.
        std::vector<uint32_t> rowless;
        for (uint32_t w : winners) {
            const Candidate& c = m_cands[w];
            if (!c.hasRowid && !m_schema.table(c.table).table.withoutRowid && m_schema.hasIndexes(c.table))
                rowless.push_back(w);
        }
        ProbeSet sets[2];
        const size_t half = twoThreads ? rowless.size() / 2 : rowless.size();
        for (ProbeSet& set : sets) {
            reserveLarge(set.probes, rowless.size() + 1024);
            reserveLarge(set.arena, rowless.size() * 64 + 65536);
        }
        {
            std::thread helper;
            PageSource helperSource = m_src;
            if (half < rowless.size())
                helper = std::thread([&] {
                    for (size_t i = half; i < rowless.size(); ++i)
                        addProbes(rowless[i], helperSource, sets[1]);
                });
            for (size_t i = 0; i < half; ++i)
                addProbes(rowless[i], m_src, sets[0]);
            if (helper.joinable())
                helper.join();
        }
        std::vector<Probe> probes = std::move(sets[0].probes);
        std::vector<uint8_t> arena = std::move(sets[0].arena);
        const uint64_t base = arena.size();
        for (Probe p : sets[1].probes) {
            if (base + p.at + p.typesLen + p.bodyLen > UINT32_MAX)
                continue; // past what a probe can point at, as in one arena
            p.at += uint32_t(base);
            probes.push_back(p);
        }
        arena.insert(arena.end(), sets[1].arena.begin(), sets[1].arena.end());
        if (probes.empty())
            return;
        std::sort(probes.begin(), probes.end(),
                  [](const Probe& a, const Probe& b) { return a.index != b.index ? a.index < b.index : a.key < b.key; });
        // One set of filters per index, so each region is tested only against the keys its index
        // can hold: a bit table on the key's first two bytes (8 KB) and one on its first four
        // turn most positions away from the cache, a bit filter of about 32 bits per probe most
        // of the rest, and an open-addressing table then finds the first probe of a key.
        struct KeyFilter {
            size_t begin = 0, end = 0; // probes of this index
            std::vector<uint64_t> two, four, filter;
            std::vector<uint32_t> table;
            int fourShift = 0, shift = 0;
            size_t mask = 0;
        };
        auto mix = [](uint64_t k) { return k * 0x9E3779B97F4A7C15ull; };
        auto mix32 = [](uint32_t k) { return k * 0x9E3779B1u; };
        std::vector<KeyFilter> filters(m_schema.indexes().size());
        for (size_t i = 0; i < probes.size();) {
            KeyFilter& kf = filters[probes[i].index];
            kf.begin = i;
            while (i < probes.size() && probes[i].index == probes[kf.begin].index)
                ++i;
            kf.end = i;
            const size_t n = kf.end - kf.begin;
            int fourBits = 12, filterBits = 16;
            while (fourBits < 22 && (size_t(1) << fourBits) < n * 16)
                ++fourBits;
            while (filterBits < 27 && (size_t(1) << filterBits) < n * 32)
                ++filterBits;
            kf.two.assign((size_t(1) << 16) / 64, 0);
            kf.four.assign(size_t(1) << (fourBits - 6), 0);
            kf.filter.assign(size_t(1) << (filterBits - 6), 0);
            kf.fourShift = 32 - fourBits;
            kf.shift = 64 - filterBits;
            size_t tableSize = 1;
            while (tableSize < n * 2)
                tableSize <<= 1;
            kf.mask = tableSize - 1;
            kf.table.assign(tableSize, UINT32_MAX);
            for (size_t k = kf.begin; k < kf.end; ++k) {
                const uint64_t h = mix(probes[k].key) >> kf.shift;
                kf.filter[h >> 6] |= 1ull << (h & 63);
                // The key's first bytes as the scan reads them from memory, whatever the byte order.
                uint32_t first4;
                uint16_t first2;
                std::memcpy(&first4, &probes[k].key, 4);
                std::memcpy(&first2, &probes[k].key, 2);
                const uint32_t h4 = mix32(first4) >> kf.fourShift;
                kf.four[h4 >> 6] |= 1ull << (h4 & 63);
                kf.two[first2 >> 6] |= 1ull << (first2 & 63);
                if (k > kf.begin && probes[k - 1].key == probes[k].key)
                    continue;
                size_t t = size_t(mix(probes[k].key) >> 20) & kf.mask;
                while (kf.table[t] != UINT32_MAX)
                    t = (t + 1) & kf.mask;
                kf.table[t] = uint32_t(k);
            }
        }
        using Found = std::vector<std::pair<uint32_t, int64_t>>; // candidate, rowid
        auto scan = [&](const KeyFilter& kf, const uint8_t* rb, const uint8_t* re, Found& found) {
            const uint64_t* two = kf.two.data();
            for (const uint8_t* x = rb; x + kIndexKeyBytes <= re; ++x) {
                // Two bytes first: their table stays in the nearest cache.
                uint16_t first2;
                std::memcpy(&first2, x, 2);
                if (!(two[first2 >> 6] >> (first2 & 63) & 1))
                    continue;
                uint32_t first4;
                std::memcpy(&first4, x, 4);
                const uint32_t h4 = mix32(first4) >> kf.fourShift;
                if (!(kf.four[h4 >> 6] >> (h4 & 63) & 1))
                    continue;
                uint64_t key;
                std::memcpy(&key, x, 8);
                const uint64_t hm = mix(key);
                const uint64_t h = hm >> kf.shift;
                if (!(kf.filter[h >> 6] >> (h & 63) & 1))
                    continue;
                size_t t = size_t(hm >> 20) & kf.mask;
                while (kf.table[t] != UINT32_MAX && probes[kf.table[t]].key != key)
                    t = (t + 1) & kf.mask;
                if (kf.table[t] == UINT32_MAX)
                    continue;
                uint32_t entryValues = 0;
                for (size_t k = kf.table[t]; k < kf.end && probes[k].key == key; ++k) {
                    const Probe& pr = probes[k];
                    if (x + pr.bodyLen > re)
                        continue;
                    const uint8_t* pt = arena.data() + pr.at;
                    if (std::memcmp(x, pt + pr.typesLen, pr.bodyLen) != 0)
                        continue;
                    int64_t rowid = 0;
                    bool weak = false;
                    if (indexEntryRowid(rb, re, x, pt, pr.typesLen, pr.bodyLen, &rowid, &weak)
                        && (!weak || rowidFitsLeaf(m_cands[pr.cand], rowid))) {
                        found.push_back({pr.cand, rowid});
                        entryValues = std::max(entryValues, pr.bodyLen);
                    }
                }
                // A confirmed entry's values hold no other entry: the next starts past them.
                if (entryValues > 1)
                    x += entryValues - 1;
            }
        };
        // Regions lie in file order: each thread copies runs of them out of the file a window at a
        // time, so the file's pages are never mapped into the process (mapped, the index pages of
        // a large file held about 150 MB at once).
        auto scanRegions = [&](size_t from, size_t to, Found& found) {
            std::vector<uint8_t> window;
            uint8_t windowFile = 0;
            uint64_t windowBegin = 0, windowEnd = 0;
            bool copied = false;
            for (size_t i = from; i < to; ++i) {
                const IndexRegion& r = m_indexRegions[i];
                if (r.size <= kIndexKeyBytes)
                    continue;
                const uint8_t* rb = nullptr;
                if (m_entries) {
                    rb = m_regionBytes.data() + r.at;
                } else {
                    const uint8_t file = uint8_t(r.at >> kFileShift);
                    const uint64_t offset = r.at & kOffsetMask;
                    if (!copied || file != windowFile || offset < windowBegin || offset + r.size > windowEnd) {
                        // The window reaches as far as the regions after this one that fit in it.
                        uint64_t end = offset + r.size;
                        for (size_t k = i + 1; k < to; ++k) {
                            const IndexRegion& n = m_indexRegions[k];
                            const uint64_t nOffset = n.at & kOffsetMask;
                            if (uint8_t(n.at >> kFileShift) != file || nOffset < offset
                                || nOffset + n.size > offset + PageSource::kReadAhead)
                                break;
                            end = std::max(end, nOffset + n.size);
                        }
                        copied = m_src.copyOut(file, offset, size_t(end - offset), window);
                        windowFile = file;
                        windowBegin = offset;
                        windowEnd = copied ? end : offset;
                    }
                    rb = copied ? window.data() + (offset - windowBegin) : regionInFile(r);
                }
                if (!rb)
                    continue;
                const uint8_t* re = rb + r.size;
                if (r.index >= 0) {
                    if (size_t(r.index) < filters.size() && filters[size_t(r.index)].end > filters[size_t(r.index)].begin)
                        scan(filters[size_t(r.index)], rb, re, found);
                    continue;
                }
                for (const KeyFilter& kf : filters) // a page no live index holds: any index's entries
                    if (kf.end > kf.begin)
                        scan(kf, rb, re, found);
            }
        };
        Found found;
        inHalves(m_indexRegions.size(), twoThreads, found, scanRegions);
        // Rowids of live rows belong to them: checked in one merge instead of a search per find.
        std::sort(found.begin(), found.end(), [&](const std::pair<uint32_t, int64_t>& a, const std::pair<uint32_t, int64_t>& b) {
            const uint32_t ta = m_cands[a.first].table, tb = m_cands[b.first].table;
            return ta != tb ? ta < tb : a.second < b.second;
        });
        {
            auto live = m_live.rowids().begin();
            size_t kept = 0;
            for (const auto& f : found) {
                const LiveRowid key{m_cands[f.first].table, f.second, 0, 0};
                while (live != m_live.rowids().end() && *live < key)
                    ++live;
                if (live != m_live.rowids().end() && live->table == key.table && live->rowid == key.rowid)
                    continue;
                found[kept++] = f;
            }
            found.resize(kept);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        std::vector<std::pair<uint32_t, int64_t>> proposals;
        for (size_t i = 0; i < found.size();) {
            size_t j = i;
            while (j < found.size() && found[j].first == found[i].first)
                ++j;
            if (j - i == 1)
                proposals.push_back(found[i]);
            i = j;
        }
        assignRowids(proposals, kRowidIndex);
    }

    // The bytes of a region noted by its place in a file, read through the mapping; null when the
    // file holds no such bytes.
    const uint8_t* regionInFile(const IndexRegion& r) const
    {
        const Bytes& f = m_src.file(uint8_t(r.at >> kFileShift));
        const uint64_t offset = r.at & kOffsetMask;
        return offset <= f.size && r.size <= f.size - offset ? f.data + offset : nullptr;
    }

    // Gives each proposed rowid to its candidate unless another row of the table has or gets it.
    void assignRowids(const std::vector<std::pair<uint32_t, int64_t>>& proposals, RowidHow how)
    {
        if (proposals.empty())
            return;
        struct Claim {
            uint32_t table;
            int64_t rowid;
            uint32_t cand;
            bool taken; // another row of the table has or gets this rowid too
            bool operator<(const Claim& o) const { return table != o.table ? table < o.table : rowid < o.rowid; }
        };
        std::vector<Claim> claims;
        reserveLarge(claims, proposals.size());
        for (const auto& [cand, rowid] : proposals)
            claims.push_back({m_cands[cand].table, rowid, cand, false});
        if (!std::is_sorted(claims.begin(), claims.end()))
            std::sort(claims.begin(), claims.end());
        for (size_t i = 1; i < claims.size(); ++i)
            if (claims[i].table == claims[i - 1].table && claims[i].rowid == claims[i - 1].rowid)
                claims[i].taken = claims[i - 1].taken = true;
        // Both sorted: rowids rows already have are found in one merge.
        auto held = m_claimed.begin();
        for (Claim& cl : claims) {
            const std::pair<uint32_t, int64_t> key{cl.table, cl.rowid};
            while (held != m_claimed.end() && *held < key)
                ++held;
            if (held != m_claimed.end() && *held == key)
                cl.taken = true;
        }
        size_t added = 0;
        for (Claim& cl : claims) {
            if (cl.taken)
                continue;
            Candidate& c = m_cands[cl.cand];
            c.hasRowid = true;
            c.rowid = cl.rowid;
            c.rowidHow = how;
            claims[added++] = cl;
        }
        // Merged in from the back: m_claimed has room for every winner already.
        size_t i = m_claimed.size(), j = added, k = i + added;
        m_claimed.resize(k);
        while (j) {
            const std::pair<uint32_t, int64_t> next{claims[j - 1].table, claims[j - 1].rowid};
            if (i && next < m_claimed[i - 1])
                m_claimed[--k] = m_claimed[--i];
            else
                m_claimed[--k] = next, --j;
        }
    }

    // A row deleted from a live leaf most likely had a rowid within the leaf's bounds.
    bool rowidFitsLeaf(const Candidate& c, int64_t rowid) const
    {
        uint64_t base = 0;
        return !currentLeafImage(c, &base) || (rowid > m_map.lo[c.page] && rowid <= m_map.hi[c.page]);
    }

    // Whether a candidate came from the page image the live tree uses now; *base is its offset.
    bool currentLeafImage(const Candidate& c, uint64_t* base) const
    {
        const uint32_t pg = c.page;
        if (pg < 1 || pg > m_geo.pageCount || pg >= m_map.lo.size() || m_map.kind[pg] != kTablePage || m_map.owner[pg] != int(c.table))
            return false;
        const uint32_t final = m_src.finalFrame(pg);
        if (c.file == kDb && final == UINT32_MAX) {
            *base = uint64_t(pg - 1) * m_geo.pageSize;
            return true;
        }
        if (c.file == kWal && final == c.frame) {
            *base = m_src.walFrameOffset(c.frame);
            return true;
        }
        return false;
    }

    // A table leaf fills from its end downwards, so where rows were appended a larger offset means
    // a smaller rowid. A freed row between two live cells took a rowid between theirs; when the
    // rowids missing there are exactly as many as the rows freed there, each row gets one, in order.
    // freedOnly: only gaps whose rows all came from the page's free chain.
    void rowidsFromPositions(const std::vector<uint32_t>& winners, bool freedOnly, bool twoThreads)
    {
        struct OnPage {
            uint32_t off, cand;
        };
        const size_t pages = size_t(m_geo.pageCount) + 1;
        // Rows and live cells are placed straight into per-page buckets (counted first), then
        // ordered by offset within each page: pages hold a few dozen cells, a global sort of
        // every live cell would cost more than the rest of the pass.
        std::vector<uint32_t> rowStart(pages + 1), liveStart(pages + 1);
        size_t missingRows = 0;
        // A row cut short without its cell prefix may be a copy moved from another page: where
        // it lies says nothing of its rowid.
        auto placed = [this](const Candidate& c, uint64_t* base) {
            return !c.hasRowid && !c.cut && !m_schema.table(c.table).table.withoutRowid && currentLeafImage(c, base);
        };
        // Where each winner lies on its page; UINT32_MAX when that says nothing.
        std::vector<uint32_t> onPage = largeVector<uint32_t>(winners.size(), UINT32_MAX);
        for (size_t k = 0; k < winners.size(); ++k) {
            const Candidate& c = m_cands[winners[k]];
            uint64_t base = 0;
            if (placed(c, &base)) {
                onPage[k] = uint32_t(c.offset - base);
                ++rowStart[c.page + 1];
                ++missingRows;
            }
        }
        if (!missingRows)
            return;
        // Only the pages with a row still missing its rowid are read.
        for (const LiveRowid& l : m_live.rowids())
            if (l.page < pages && rowStart[l.page + 1])
                ++liveStart[l.page + 1];
        for (size_t i = 1; i <= pages; ++i) {
            rowStart[i] += rowStart[i - 1];
            liveStart[i] += liveStart[i - 1];
        }
        std::vector<OnPage> rows = largeVector<OnPage>(missingRows), live = largeVector<OnPage>(liveStart[pages]);
        {
            std::vector<uint32_t> at(rowStart.begin(), rowStart.end() - 1);
            for (size_t k = 0; k < winners.size(); ++k)
                if (onPage[k] != UINT32_MAX)
                    rows[at[m_cands[winners[k]].page]++] = {onPage[k], winners[k]};
            std::vector<uint32_t>().swap(onPage);
            at.assign(liveStart.begin(), liveStart.end() - 1);
            for (const LiveRowid& l : m_live.rowids())
                if (l.page < pages && rowStart[l.page + 1] > rowStart[l.page])
                    live[at[l.page]++] = {l.offset, uint32_t(&l - m_live.rowids().data())};
        }
        auto byOffset = [](const OnPage& a, const OnPage& b) { return a.off < b.off; };
        // Pages in rowid order, so the proposals come out sorted.
        std::vector<uint32_t> order;
        for (uint32_t pg = 1; pg < pages; ++pg)
            if (rowStart[pg + 1] > rowStart[pg])
                order.push_back(pg);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const int ta = m_map.owner[a], tb = m_map.owner[b];
            return ta != tb ? ta < tb : m_map.lo[a] < m_map.lo[b];
        });
        using Proposals = std::vector<std::pair<uint32_t, int64_t>>;
        // Pages are independent: [from, to) of `order`, proposals appended in page order.
        auto proposeFor = [&](size_t from, size_t to, Proposals& proposals) {
            std::vector<uint32_t> segRows;
            std::vector<int64_t> missing;
            for (size_t at = from; at < to; ++at) {
                const uint32_t pg = order[at];
                const size_t i = rowStart[pg], j = rowStart[pg + 1], li = liveStart[pg], lj = liveStart[pg + 1];
                std::sort(rows.begin() + i, rows.begin() + j, byOffset);
                std::sort(live.begin() + li, live.begin() + lj, byOffset);
                const uint32_t table = m_cands[rows[i].cand].table;
                bool ordered = true;
                for (size_t k = li + 1; k < lj && ordered; ++k)
                    ordered = m_live.rowids()[live[k].cand].rowid < m_live.rowids()[live[k - 1].cand].rowid;
                if (!ordered)
                    continue;
                const int64_t pageLo = m_map.lo[pg] == INT64_MIN ? 0 : m_map.lo[pg];
                const int64_t pageHi = m_map.hi[pg];
                const size_t pageFirst = proposals.size();
                // Segment s lies between live cells s-1 and s by offset; its rowids are in (a, b].
                size_t r = i;
                for (size_t s = li; s <= lj; ++s) {
                    const uint32_t offEnd = s < lj ? live[s].off : UINT32_MAX;
                    const int64_t a = s < lj ? m_live.rowids()[live[s].cand].rowid : pageLo;
                    const int64_t b = s > li ? m_live.rowids()[live[s - 1].cand].rowid - 1 : pageHi;
                    segRows.clear();
                    bool freed = true;
                    for (; r < j && rows[r].off < offEnd; ++r) {
                        segRows.push_back(rows[r].cand);
                        freed = freed && m_cands[rows[r].cand].source == uint8_t(Source::Freeblock);
                    }
                    if (segRows.empty() || (freedOnly && !freed) || b == INT64_MAX || b <= a || b - a > kMaxRowidGap)
                        continue;
                    // The live and claimed rowids of the gap are walked alongside it; the live ones
                    // start right after the cell bounding the gap, when there is one.
                    missing.clear();
                    auto next = s < lj ? m_live.rowids().begin() + live[s].cand + 1
                                       : std::lower_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{table, a + 1, 0, 0});
                    auto taken = std::lower_bound(m_claimed.begin(), m_claimed.end(), std::make_pair(table, a + 1));
                    for (int64_t v = a + 1; v <= b && missing.size() <= segRows.size(); ++v) {
                        while (next != m_live.rowids().end() && next->table == table && next->rowid < v)
                            ++next;
                        while (taken != m_claimed.end() && taken->first == table && taken->second < v)
                            ++taken;
                        const bool isLive = next != m_live.rowids().end() && next->table == table && next->rowid == v;
                        const bool isTaken = taken != m_claimed.end() && taken->first == table && taken->second == v;
                        if (!isLive && !isTaken)
                            missing.push_back(v);
                    }
                    if (missing.size() != segRows.size())
                        continue;
                    // Highest offset first: the earliest insert, the smallest rowid.
                    for (size_t k = 0; k < segRows.size(); ++k)
                        proposals.push_back({segRows[segRows.size() - 1 - k], missing[k]});
                }
                std::sort(proposals.begin() + pageFirst, proposals.end(),
                          [](const std::pair<uint32_t, int64_t>& x, const std::pair<uint32_t, int64_t>& y) { return x.second < y.second; });
            }
        };
        Proposals proposals;
        reserveLarge(proposals, missingRows);
        inHalves(order.size(), twoThreads, proposals, proposeFor);
        assignRowids(proposals, kRowidPosition);
    }

    Candidates& m_cands;
    const Catalog& m_schema;
    const PageMap& m_map;
    const LiveRows& m_live;
    PageSource& m_src;
    const Geometry& m_geo;
    std::vector<IndexRegion> m_indexRegions;
    std::vector<uint8_t> m_regionBytes; // the regions' bytes, copied while their page was at hand
    std::vector<IndexRegionPlace> m_places; // parallel to m_indexRegions, with m_entries
    bool m_entries = false;
    std::vector<uint64_t> m_freeblockAt; // in m_regionBytes: where a freeblock header starts
    Claims m_claimed; // (table, rowid) of carved rows that have one
};

} // namespace sqlcarve
