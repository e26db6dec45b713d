#pragma once

// Deleted entries of the indexes a caller names (Options::indexEntries), read from the index
// regions RowidStage keeps while carving. An index entry outlives its row when newer data took
// the row's cell but not the entry's: it still gives the indexed values and the rowid.

#include "Catalog_p.h"
#include "Decoder_p.h"
#include "LiveRows_p.h"
#include "Records_p.h"
#include "Rowids_p.h"
#include "Text_p.h"
#include "TreeWalk_p.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <strings.h>
#include <unordered_set>
#include <vector>

namespace sqlcarve {

class IndexEntryStage
{
public:
    IndexEntryStage(const std::vector<std::string>& names, const Catalog& schema, const PageMap& map, const LiveRows& live,
                    const Geometry& geo, Decoder& decoder)
        : m_names(names), m_schema(schema), m_map(map), m_live(live), m_geo(geo), m_decoder(decoder)
    {
    }

    // Hands each deleted entry once; never one a live row holds.
    void run(const RowidStage& rowids, const std::function<void(CarvedRow&)>& hand)
    {
        size_t root = 0;
        for (const SchemaRow& row : m_schema.schemaRows()) {
            if (row.type != "index" || row.root <= 0)
                continue;
            const int layout = m_schema.indexRootLayout(root++);
            if (layout >= 0 && wanted(row.name))
                m_indexes.push_back({layout, row.name, {}, {}, {}});
        }
        if (m_indexes.empty())
            return;
        for (Index& ix : m_indexes) {
            learnValues(rowids, ix);
            for (auto& seen : ix.seen) {
                ix.wide.emplace_back(seen);
                std::set<int64_t>().swap(seen);
            }
        }
        // Entries that kept their rowid's serial type first: their rowids vouch for the entries
        // of the table's other indexes that lost every serial type.
        for (Index& ix : m_indexes)
            readHeadless(rowids, ix, nullptr);
        RowidsFound rowidsFound;
        for (const Index& ix : m_indexes)
            for (const Found& f : ix.found)
                rowidsFound.insert({m_schema.indexes()[size_t(ix.layout)].table, f.entry.rowid, ix.layout});
        for (Index& ix : m_indexes)
            readHeadless(rowids, ix, &rowidsFound);
        for (Index& ix : m_indexes)
            report(rowids, ix, hand);
    }

private:
    using RowidsFound = std::set<std::tuple<int, int64_t, int>>; // table, rowid, index layout

    struct Entry {
        const uint8_t* cell = nullptr; // in the region's bytes
        const uint8_t* body = nullptr;
        std::vector<uint64_t> types; // the indexed columns' serial types, then the rowid's
        int64_t rowid = 0;
    };
    struct Found {
        const IndexRegion* region;
        Entry entry;
    };
    // The values a column was seen to hold, sorted (searched for every reading of every freed
    // entry: a tree's nodes cost a cache miss each). A column of many different values (a date,
    // an id) seldom repeats one: a deleted entry's value is plausible there when it lies near the
    // range the others span. The other readings of its lost serial type take bytes of its
    // neighbours and land far outside.
    struct Wide {
        std::vector<int64_t> values;
        bool wide = false;
        long double from = 0, to = 0;

        explicit Wide(const std::set<int64_t>& seen) : values(seen.begin(), seen.end())
        {
            const size_t kWide = 16;
            auto first = std::upper_bound(values.begin(), values.end(), INT64_MIN); // NULL stands apart
            if (values.end() - first < std::ptrdiff_t(kWide))
                return;
            const long double lo = (long double)*first, hi = (long double)values.back();
            wide = true;
            from = lo - (hi - lo);
            to = hi + (hi - lo);
        }
        bool has(int64_t v) const { return std::binary_search(values.begin(), values.end(), v); }
        bool holds(int64_t v) const { return wide && (long double)v >= from && (long double)v <= to; }
    };
    struct Index {
        int layout;
        std::string name;
        std::vector<Found> found;
        // Per indexed column: the integers its live rows and whole deleted entries hold (INT64_MIN
        // stands for NULL), which tell which reading of a lost serial type is plausible.
        std::vector<std::set<int64_t>> seen;
        std::vector<Wide> wide; // per indexed column, from `seen` once it is complete
    };

    bool wanted(const std::string& name) const
    {
        return std::any_of(m_names.begin(), m_names.end(), [&](const std::string& n) { return strcasecmp(n.c_str(), name.c_str()) == 0; });
    }

    const StoredColumn& column(const IndexLayout& il, size_t i) const
    {
        return m_schema.table(size_t(il.table)).stored[size_t(il.columns[i])];
    }

    // Two indexes whose entries have the same column affinities cannot be told apart on a page
    // no live index holds.
    bool sharesShape(int layout) const
    {
        const IndexLayout& a = m_schema.indexes()[size_t(layout)];
        for (size_t j = 0; j < m_schema.indexes().size(); ++j) {
            const IndexLayout& b = m_schema.indexes()[j];
            if (int(j) == layout || b.table < 0 || b.columns.size() != a.columns.size())
                continue;
            bool same = true;
            for (size_t i = 0; i < a.columns.size() && same; ++i)
                same = column(a, i).affinity == column(b, i).affinity;
            if (same)
                return true;
        }
        return false;
    }

    // The regions that may hold the index's entries.
    template <class F>
    void forRegions(const RowidStage& rowids, int layout, F&& f) const
    {
        const bool shared = sharesShape(layout);
        for (const IndexRegion& r : rowids.indexRegions()) {
            // An old image of a page is taken for the index that holds the page now.
            const int owner = r.index >= 0 ? r.index : m_map.indexOwnerOf(rowids.placeOf(r).page);
            if (owner >= 0 ? owner != layout : shared)
                continue;
            f(r, rowids.regionBytes() + r.at, rowids.regionBytes() + r.at + r.size);
        }
    }

    // Whole entries, and the values the index's integer columns hold.
    void learnValues(const RowidStage& rowids, Index& ix)
    {
        const IndexLayout& il = m_schema.indexes()[size_t(ix.layout)];
        ix.seen.assign(il.columns.size(), {});
        auto lr = std::lower_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{uint32_t(il.table), INT64_MIN, 0, 0});
        for (size_t n = 0; lr != m_live.rowids().end() && lr->table == uint32_t(il.table) && n < kMaxLiveRowsRead; ++lr, ++n) {
            CarvedRow& live = m_liveRow;
            m_decoder.decode(m_decoder.liveCandidate(*lr), live);
            for (size_t i = 0; i < il.columns.size(); ++i) {
                const size_t col = size_t(column(il, i).tableIndex);
                if (col >= live.values.size())
                    continue;
                const Value& v = live.values[col];
                if (v.kind == Value::Kind::Integer)
                    ix.seen[i].insert(v.integer);
                else if (v.kind == Value::Kind::Null)
                    ix.seen[i].insert(INT64_MIN);
            }
        }
        forRegions(rowids, ix.layout, [&](const IndexRegion& r, const uint8_t* rb, const uint8_t* re) {
            for (const uint8_t* p = rb; p + 4 <= re; ++p) {
                Entry e;
                if (!wholeEntry(il, rb, re, p, &e))
                    continue;
                for (size_t i = 0; i < il.columns.size(); ++i)
                    if (isInt(e.types[i]))
                        ix.seen[i].insert(intAt(e, i));
                    else if (e.types[i] == 0)
                        ix.seen[i].insert(INT64_MIN);
                p = entryEnd(e) - 1; // an entry's bytes hold no other
                ix.found.push_back({&r, std::move(e)});
            }
        });
    }

    // Entries whose first four bytes a freeblock header took. A freed cell merged into the block
    // after it gets a header of its own whose size runs to the block's end, with the block's
    // next pointer: so each such cell's length is known. Without `rowidsFound`, only entries
    // that kept their rowid's serial type are read; with it, those that lost all of them, when
    // exactly one reading gives a rowid another index's entry confirms.
    void readHeadless(const RowidStage& rowids, Index& ix, const RowidsFound* rowidsFound)
    {
        const IndexLayout& il = m_schema.indexes()[size_t(ix.layout)];
        const std::vector<uint64_t>& fbs = rowids.freeblockStarts();
        std::vector<const uint8_t*> ends; // where a cell may end inside a freed block
        forRegions(rowids, ix.layout, [&](const IndexRegion& r, const uint8_t* rb, const uint8_t* re) {
            for (auto it = std::lower_bound(fbs.begin(), fbs.end(), r.at); it != fbs.end() && *it < r.at + r.size; ++it) {
                const uint8_t* g = rb + (*it - r.at);
                if (g + kFreeblockHeaderSize >= re)
                    continue;
                const uint32_t blockSize = PageView(g, uint32_t(re - g)).u16(2);
                const uint8_t* be = blockSize >= uint64_t(re - g) ? re : g + blockSize;
                while (g + kFreeblockHeaderSize < be) {
                    // A cell freed after its block's first one kept its bytes: it is read whole.
                    if (const uint8_t* whole = wholeAt(il, g, be)) {
                        g = whole;
                        continue;
                    }
                    const uint8_t* next = be;
                    ends.clear();
                    for (const uint8_t* h = g + kFreeblockHeaderSize + 1; h + kFreeblockHeaderSize <= be; ++h) {
                        if (chainedFreeblockHeader(g, h, size_t(be - g), be)) {
                            next = h;
                            break;
                        }
                        if (wholeAt(il, h, be))
                            ends.push_back(h);
                    }
                    ends.push_back(next);
                    for (const uint8_t* end : ends) {
                        Entry e;
                        if (rowidsFound ? bareEntry(il, ix, g, end, *rowidsFound, &e) : headlessEntry(il, ix, g, end, &e)) {
                            ix.found.push_back({&r, std::move(e)});
                            next = end;
                            break;
                        }
                    }
                    g = next;
                }
            }
        });
    }

    // The end of an intact entry of this index's shape starting at p, or null.
    static const uint8_t* wholeAt(const IndexLayout& il, const uint8_t* p, const uint8_t* re)
    {
        // RowidStage's test of an entry's shape, given the columns' count through a stand-in
        // (tried at every byte of every freed block: no allocation for the usual few columns).
        static const uint8_t kStand[32] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                           1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        const size_t k = il.columns.size();
        std::vector<uint8_t> many;
        if (k > sizeof kStand)
            many.assign(k, 1);
        uint64_t payload = 0;
        const int n1 = getVarint(p, re, &payload);
        if (!n1 || !RowidStage::indexEntryAt(p, re, many.empty() ? kStand : many.data(), k))
            return nullptr;
        return p + n1 + payload;
    }

    static bool isInt(uint64_t t) { return (t >= 1 && t <= 6) || t == 8 || t == 9; }

    // Whether an integer of serial type t holding v is stored as SQLite stores it: in the
    // fewest bytes, 0 and 1 in none.
    static bool minimal(uint64_t t, int64_t v)
    {
        static const int64_t kLimit[] = {0, 0x7f, 0x7fff, 0x7fffff, 0x7fffffff, 0x7fffffffffffll};
        if (t < 1 || t > 6)
            return true;
        if (t == 1)
            return v != 0 && v != 1;
        return v > kLimit[t - 2] || v < -kLimit[t - 2] - 1;
    }

    static const uint8_t* entryEnd(const Entry& e)
    {
        uint64_t n = 0;
        for (uint64_t t : e.types)
            n += uint64_t(serialSize(t));
        return e.body + n;
    }

    static int64_t intAt(const Entry& e, size_t i)
    {
        const uint8_t* p = e.body;
        for (size_t k = 0; k < i; ++k)
            p += serialSize(e.types[k]);
        const uint64_t t = e.types[i];
        return t == 8 ? 0 : t == 9 ? 1 : readInt(p, int(serialSize(t)));
    }

    bool typeFits(const IndexLayout& il, size_t i, uint64_t t) const
    {
        const StoredColumn& c = column(il, i);
        // An index converts a REAL column's integer to a real.
        if (c.affinity == Affinity::Real && t != 0)
            return t == 7;
        return compatible(c, t);
    }

    // The encoded serial types: the indexed columns' (*typesLen bytes of them), then the rowid's.
    static std::vector<uint8_t> encodeTypes(const std::vector<uint64_t>& types, size_t* typesLen)
    {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < types.size(); ++i) {
            if (i + 1 == types.size())
                *typesLen = out.size();
            uint8_t buf[kMaxVarint];
            out.insert(out.end(), buf, buf + putVarint(types[i], buf));
        }
        return out;
    }

    uint64_t maxLocal() const { return (uint64_t(m_geo.usable) - 12) * 64 / 255 - 23; }

    // An entry whose cell survived whole at p.
    bool wholeEntry(const IndexLayout& il, const uint8_t* rb, const uint8_t* re, const uint8_t* p, Entry* e) const
    {
        const size_t k = il.columns.size();
        uint64_t payload = 0, hsize = 0;
        const int n1 = getVarint(p, re, &payload);
        if (!n1 || payload > maxLocal())
            return false;
        const int n2 = getVarint(p + n1, re, &hsize);
        if (!n2 || hsize < uint64_t(n2) + k + 1 || hsize > payload || p + n1 + payload > re)
            return false;
        const uint8_t* t = p + n1 + n2;
        const uint8_t* tEnd = p + n1 + hsize;
        uint64_t body = 0;
        while (t < tEnd && e->types.size() <= k) {
            uint64_t ty = 0;
            const int n = getVarint(t, tEnd, &ty);
            if (!n)
                return false;
            const size_t i = e->types.size();
            if ((i < k ? !typeFits(il, i, ty) : !isInt(ty)) || uint64_t(serialSize(ty)) > payload)
                return false;
            e->types.push_back(ty);
            body += uint64_t(serialSize(ty));
            t += n;
        }
        if (t != tEnd || e->types.size() != k + 1 || hsize + body != payload)
            return false;
        e->cell = p;
        e->body = tEnd;
        return confirm(rb, re, e, false);
    }

    // RowidStage's reading of the entry ending in a rowid must agree with the types read, and
    // the texts must be sound.
    bool confirm(const uint8_t* rb, const uint8_t* re, Entry* e, bool lostHead) const
    {
        size_t typesLen = 0;
        const std::vector<uint8_t> types = encodeTypes(e->types, &typesLen);
        uint64_t bodyLen = 0;
        for (size_t i = 0; i + 1 < e->types.size(); ++i)
            bodyLen += uint64_t(serialSize(e->types[i]));
        int64_t rowid = 0;
        bool weak = false;
        if (!RowidStage::indexEntryRowid(rb, re, e->body, types.data(), typesLen, bodyLen, &rowid, &weak) || (weak && !lostHead))
            return false;
        if (!soundTexts(*e, lostHead))
            return false;
        const uint64_t rt = e->types.back();
        const uint8_t* p = e->body + bodyLen;
        const int64_t read = rt == 8 ? 0 : rt == 9 ? 1 : readInt(p, int(serialSize(rt)));
        if (read != rowid)
            return false;
        e->rowid = rowid;
        return true;
    }

    // Texts that decode; a reading of lost types must not put control characters in them.
    bool soundTexts(const Entry& e, bool strict) const
    {
        const uint8_t* p = e.body;
        for (size_t i = 0; i + 1 < e.types.size(); ++i) {
            const uint64_t t = e.types[i];
            const size_t n = size_t(serialSize(t));
            if (t >= 13 && (t & 1)) {
                if (!plainText(p, n, m_geo.encoding))
                    return false;
                if (strict && m_geo.encoding == fmt::Utf8)
                    for (size_t b = 0; b < n; ++b)
                        if (p[b] < 0x20 && p[b] != '\t' && p[b] != '\n' && p[b] != '\r')
                            return false;
            }
            p += n;
        }
        return true;
    }

    // Whether each lost integer of a reading is one the column is seen to hold.
    bool plausible(const Index& ix, const Entry& e, size_t lostTypes) const
    {
        for (size_t i = 0; i < lostTypes && i + 1 < e.types.size(); ++i) {
            const uint64_t t = e.types[i];
            const bool open = t >= 12 && t != UINT64_MAX; // a text or blob, its length the cell's
            if (!open && !(t == 0 ? ix.wide[i].has(INT64_MIN) : isInt(t) && (ix.wide[i].has(intAt(e, i)) || ix.wide[i].holds(intAt(e, i)))))
                return false;
        }
        return true;
    }

    // One reading of those given: the only one, or the only plausible one.
    static bool pickReading(std::vector<Entry>& readings, const std::vector<bool>& fits, Entry* out)
    {
        for (int strict = 1; strict >= 0; --strict) {
            size_t pick = SIZE_MAX, count = 0;
            for (size_t i = 0; i < readings.size(); ++i) {
                if (strict && !fits[i])
                    continue;
                bool dup = false;
                for (size_t o = 0; o < i && !dup; ++o)
                    dup = (!strict || fits[o]) && sameEntry(readings[o], readings[i]);
                if (!dup)
                    ++count, pick = i;
            }
            if (count > 1)
                return false;
            if (count == 1) {
                *out = std::move(readings[pick]);
                return true;
            }
        }
        return false;
    }

    static bool sameEntry(const Entry& a, const Entry& b)
    {
        return a.rowid == b.rowid && a.types == b.types && a.body == b.body;
    }

    // A freed cell [g, end) whose header took the payload size, the header size and the first
    // serial types (one or two bytes of them) but not the rowid's.
    bool headlessEntry(const IndexLayout& il, const Index& ix, const uint8_t* g, const uint8_t* end, Entry* out) const
    {
        const size_t k = il.columns.size();
        const uint64_t len = uint64_t(end - g);
        std::vector<Entry> readings;
        std::vector<bool> fits;
        for (int lp = 1; lp <= 2; ++lp) {
            const size_t lost = kFreeblockHeaderSize - size_t(lp) - 1;
            for (size_t j = 1; j <= lost && j <= k; ++j) {
                std::vector<uint64_t> survivors;
                const uint8_t* t = g + kFreeblockHeaderSize;
                bool ok = true;
                while (ok && survivors.size() < k + 1 - j) {
                    uint64_t ty = 0;
                    const int n = getVarint(t, end, &ty);
                    const size_t i = j + survivors.size();
                    ok = n && (i < k ? typeFits(il, i, ty) : isInt(ty));
                    survivors.push_back(ty);
                    t += n;
                }
                if (!ok)
                    continue;
                // The bytes the lost columns' values take: the cell's, less its header and the
                // values whose types survived.
                const size_t survivorBytes = size_t(t - (g + kFreeblockHeaderSize));
                int64_t budget = int64_t(len) - lp - int64_t(1 + lost + survivorBytes);
                for (uint64_t ty : survivors)
                    budget -= int64_t(serialSize(ty));
                if (budget < 0)
                    continue;
                std::vector<uint64_t> lostTypes(j, 0);
                tryLost(il, ix, g, len, lp, lost, j, 0, 0, survivors, survivorBytes, lostTypes, readings, fits, budget, false);
            }
        }
        return pickReading(readings, fits, out);
    }

    // Every assignment of lost serial types to columns [i, j) using `used` of the `lost` bytes:
    // integers of one byte each, or one text of one or two type bytes whose length the cell's
    // gives. UINT64_MAX - (bytes - 1) marks that text.
    void tryLost(const IndexLayout& il, const Index& ix, const uint8_t* g, uint64_t len, int lp, size_t lost, size_t j, size_t i,
                 size_t used, const std::vector<uint64_t>& survivors, size_t survivorBytes, std::vector<uint64_t>& lostTypes,
                 std::vector<Entry>& readings, std::vector<bool>& fits, int64_t budget, bool open) const
    {
        if (i == j) {
            if (used == lost)
                tryReading(il, ix, g, len, lp, j, survivors, survivorBytes, lostTypes, readings, fits);
            return;
        }
        const Affinity aff = column(il, i).affinity;
        if (aff == Affinity::Text || aff == Affinity::Blob || aff == Affinity::Numeric) {
            for (size_t bytes = 1; bytes <= 2 && used + bytes <= lost; ++bytes) {
                lostTypes[i] = UINT64_MAX - (bytes - 1);
                tryLost(il, ix, g, len, lp, lost, j, i + 1, used + bytes, survivors, survivorBytes, lostTypes, readings, fits, budget, true);
            }
        }
        if (used + 1 > lost)
            return;
        for (uint64_t t = 0; t <= 9; ++t) {
            if (!typeFits(il, i, t))
                continue;
            lostTypes[i] = t;
            // Values take what is left exactly unless a text takes the rest: other sizes are
            // not tried (tryReading would turn them down).
            const int64_t size = int64_t(serialSize(t));
            if (size > budget || (!open && i + 1 == j && size != budget))
                continue;
            tryLost(il, ix, g, len, lp, lost, j, i + 1, used + 1, survivors, survivorBytes, lostTypes, readings, fits, budget - size, open);
        }
    }

    void tryReading(const IndexLayout& il, const Index& ix, const uint8_t* g, uint64_t len, int lp, size_t j,
                    const std::vector<uint64_t>& survivors, size_t survivorBytes, const std::vector<uint64_t>& lostTypes,
                    std::vector<Entry>& readings, std::vector<bool>& fits) const
    {
        size_t open = SIZE_MAX;
        int openBytes = 0;
        uint64_t fixedBody = 0;
        for (size_t i = 0; i < j; ++i) {
            if (lostTypes[i] >= UINT64_MAX - 1) {
                if (open != SIZE_MAX)
                    return;
                open = i;
                openBytes = int(UINT64_MAX - lostTypes[i]) + 1;
            } else {
                fixedBody += uint64_t(serialSize(lostTypes[i]));
            }
        }
        for (uint64_t t : survivors) {
            if (uint64_t(serialSize(t)) > len)
                return;
            fixedBody += uint64_t(serialSize(t));
        }
        const uint64_t hsize = 1 + (kFreeblockHeaderSize - size_t(lp) - 1) + survivorBytes;
        if (uint64_t(lp) + hsize + fixedBody > len)
            return;
        const uint64_t openLen = len - uint64_t(lp) - hsize - fixedBody;
        // Checked before anything is built: most assignments of lost types miss the cell's length.
        uint64_t openType = 0;
        if (open != SIZE_MAX) {
            // An empty text reads as NULL: the two differ only in the lost type byte.
            if (openLen == 0)
                return;
            openType = openLen * 2 + (column(il, open).affinity == Affinity::Blob ? 12 : 13);
            if (varintLength(openType) != openBytes)
                return;
        } else if (openLen != 0) {
            return;
        }
        Entry e;
        e.cell = g;
        e.body = g + kFreeblockHeaderSize + survivorBytes;
        e.types.assign(lostTypes.begin(), lostTypes.begin() + long(j));
        e.types.insert(e.types.end(), survivors.begin(), survivors.end());
        if (open != SIZE_MAX)
            e.types[open] = openType;
        if (varintLength(len - uint64_t(lp)) != lp || len - uint64_t(lp) > maxLocal())
            return;
        for (size_t i = 0; i < j; ++i)
            if (isInt(e.types[i]) && !minimal(e.types[i], intAt(e, i)))
                return;
        if (!confirm(g, g + len, &e, true) || !minimal(e.types.back(), e.rowid))
            return;
        fits.push_back(plausible(ix, e, j));
        readings.push_back(std::move(e));
    }

    // A freed cell [g, end) of a one-column index whose header took every serial type: what is
    // left is the value and the rowid. Taken when exactly one split of them gives a rowid another
    // index's entry has, in the fewest bytes each.
    bool bareEntry(const IndexLayout& il, const Index& ix, const uint8_t* g, const uint8_t* end,
                   const RowidsFound& rowidsFound, Entry* out) const
    {
        if (il.columns.size() != 1)
            return false;
        const uint64_t body = uint64_t(end - g) - kFreeblockHeaderSize;
        // A rowid of no bytes (0 or 1) would be confirmed by nothing the cell holds.
        static const uint64_t kRowidTypes[] = {1, 2, 3, 4, 5, 6};
        std::vector<Entry> readings;
        std::vector<bool> fits;
        for (uint64_t t = 0; t <= 9; ++t) {
            if (!typeFits(il, 0, t) || uint64_t(serialSize(t)) > body)
                continue;
            for (uint64_t rt : kRowidTypes) {
                if (uint64_t(serialSize(t) + serialSize(rt)) != body)
                    continue;
                Entry e;
                e.cell = g;
                e.body = g + kFreeblockHeaderSize;
                e.types = {t, rt};
                const uint8_t* rp = e.body + serialSize(t);
                e.rowid = rt == 8 ? 0 : rt == 9 ? 1 : readInt(rp, int(serialSize(rt)));
                if ((isInt(t) && !minimal(t, intAt(e, 0))) || !minimal(rt, e.rowid) || e.rowid < 1
                    || !foundElsewhere(rowidsFound, il.table, e.rowid, ix.layout))
                    continue;
                fits.push_back(plausible(ix, e, 1));
                readings.push_back(std::move(e));
            }
        }
        return pickReading(readings, fits, out);
    }

    static bool foundElsewhere(const RowidsFound& found, int table, int64_t rowid, int layout)
    {
        for (auto it = found.lower_bound({table, rowid, INT_MIN}); it != found.end() && std::get<0>(*it) == table && std::get<1>(*it) == rowid; ++it)
            if (std::get<2>(*it) != layout)
                return true;
        return false;
    }

    void report(const RowidStage& rowids, const Index& ix, const std::function<void(CarvedRow&)>& hand)
    {
        const IndexLayout& il = m_schema.indexes()[size_t(ix.layout)];
        std::unordered_set<std::string> reported;
        CarvedRow row;
        for (const Found& f : ix.found) {
            const IndexRegion& r = *f.region;
            const IndexRegionPlace& place = rowids.placeOf(r);
            const Entry& e = f.entry;
            row = CarvedRow();
            row.table = ix.name;
            row.indexEntry = true;
            row.page = place.page;
            row.offset = place.fileOffset + uint64_t(e.cell - (rowids.regionBytes() + r.at));
            row.source = place.file == kWal || place.superseded ? Source::Wal
                         : place.file == kJournal ? Source::Journal
                         : place.kind == IndexRegionPlace::kFreeblock ? Source::Freeblock
                         : place.kind == IndexRegionPlace::kGap       ? Source::Unallocated
                                                                     : Source::Freelist;
            row.rowid = e.rowid;
            decode(il, e, &row.values);
            if (isLive(il, e.rowid, row.values))
                continue;
            std::string key = std::to_string(e.rowid);
            for (const Value& v : row.values)
                key += '\x1f' + std::to_string(int(v.kind)) + ':' + std::to_string(v.integer) + ':' + v.bytes;
            if (reported.insert(key).second)
                hand(row);
        }
    }

    void decode(const IndexLayout& il, const Entry& e, std::vector<Value>* values) const
    {
        const uint8_t* p = e.body;
        values->assign(e.types.size(), Value());
        for (size_t i = 0; i < e.types.size(); ++i) {
            const Affinity aff = i < il.columns.size() ? column(il, i).affinity : Affinity::Integer;
            m_decoder.decodeValue(e.types[i], p, aff, (*values)[i]);
            p += size_t(serialSize(e.types[i]));
        }
    }

    // An entry is live when the table's row of its rowid holds its values.
    bool isLive(const IndexLayout& il, int64_t rowid, const std::vector<Value>& values) const
    {
        const LiveRowid* lr = m_live.find(uint32_t(il.table), rowid);
        if (!lr)
            return false;
        CarvedRow& live = m_liveRow;
        m_decoder.decode(m_decoder.liveCandidate(*lr), live);
        for (size_t i = 0; i < il.columns.size(); ++i) {
            const size_t col = size_t(column(il, i).tableIndex);
            if (col >= live.values.size() || live.values[col].isLost())
                return true; // cannot tell: taken for live
            const Value& a = values[i];
            const Value& b = live.values[col];
            if (a.kind != b.kind || a.integer != b.integer || a.bytes != b.bytes || (a.kind == Value::Kind::Real && a.real != b.real))
                return false;
        }
        return true;
    }

    // Live rows read for the values an index's columns hold: enough to know a small set.
    static constexpr size_t kMaxLiveRowsRead = 100000;

    const std::vector<std::string>& m_names;
    const Catalog& m_schema;
    const PageMap& m_map;
    const LiveRows& m_live;
    const Geometry& m_geo;
    Decoder& m_decoder;
    std::vector<Index> m_indexes;
    mutable CarvedRow m_liveRow; // a live row being compared: its storage serves the next
};

} // namespace sqlcarve
