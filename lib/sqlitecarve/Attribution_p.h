#pragma once

// Attribution: whose rows a page's old cells were, when no live tree says. A freed table leaf's
// cells were all one table's, and those moved elsewhere before it was freed are live there; rows
// of a page whose owner stays open are held until the page is done, and a live copy among them
// in one of several tables that store alike names the owner.

#include "Catalog_p.h"
#include "CellReader_p.h"
#include "LiveRows_p.h"
#include "Records_p.h"

#include <vector>

namespace sqlcarve {

class Attribution
{
public:
    Attribution(const Catalog& schema, CellReader& cells, const LiveRows& live, const Geometry& geo)
        : m_schema(schema), m_cells(cells), m_live(live), m_geo(geo)
    {
    }
    Attribution(const Attribution&) = delete;
    Attribution& operator=(const Attribution&) = delete;

    // Holds the rows of a page whose owner is open until release(); only once the live rows are
    // known and tables are matched in full.
    void hold() { m_holding = !m_cells.masterOnly() && m_live.built(); }
    bool holds(const Ctx& ctx) const { return m_holding && ctx.preferTable < 0; }
    void keep(const Ctx& ctx, const Parsed& m, Source source, const std::vector<uint64_t>& types)
    {
        m_held.push_back({ctx, m, source, types});
    }

    // The table a table leaf that left its tree belonged to. Its cells were all one table's, and
    // those that were moved to other pages before it was freed are live rows there: a table that
    // fits every cell and holds some of them live is the owner. So is the one table that fits
    // every cell when some fit it only as rows written before it gained columns: no other table's
    // first columns take them all (a freed page of an upgraded phone's old messages). -1 when
    // nothing tells. *fits: whether table `current` could own every cell (true when no cell says
    // otherwise).
    int inferOwner(const uint8_t* page, size_t ptrs, uint32_t cells, uint32_t ptrEnd, int current, bool* fits)
    {
        std::vector<int>& cand = m_ownerCand;
        std::vector<int>& hits = m_ownerHits;
        cand.clear();
        hits.clear();
        std::vector<uint8_t>& older = m_ownerOlder; // a cell fits it only as an older row
        older.clear();
        bool first = true;
        for (uint32_t i = 0; i < cells; ++i) {
            const uint32_t off = PageView(page, m_geo.usable).u16(uint32_t(ptrs + 2 * i));
            if (off < ptrEnd || off >= m_geo.usable)
                continue;
            CellReader::CellHeader cell;
            if (!m_cells.readCellHeader(PageView(page, m_geo.usable), off, &cell))
                continue;
            const uint64_t payload = cell.payload, rowid = cell.rowid, hsize = cell.end - cell.header;
            const std::vector<uint64_t>& types = m_cells.types();
            const size_t n = types.size();
            if (n >= m_schema.byCount().size())
                continue;
            uint64_t bodySize = 0;
            bool sizesOk = true;
            for (uint64_t t : types) {
                const int64_t sz = serialSize(t);
                sizesOk = sizesOk && sz >= 0 && uint64_t(sz) <= payload;
                bodySize += uint64_t(std::max<int64_t>(sz, 0));
            }
            if (!sizesOk || hsize + bodySize != payload)
                continue;
            const bool whole = localPayload(payload, m_geo.usable, true) == payload && payload <= uint64_t(m_geo.usable - cell.header);
            size_t keep = 0;
            for (size_t c = 0; c < (first ? m_schema.byCount()[n].size() : cand.size()); ++c) {
                const int ti = first ? m_schema.byCount()[n][c] : cand[c];
                const TableLayout& t = m_schema.table(size_t(ti));
                // byCount lists a table under the shorter counts of its older rows too.
                if (t.table.withoutRowid || t.stored.size() < n)
                    continue;
                bool ok = true;
                for (size_t j = 0; j < n && ok; ++j)
                    ok = compatible(t.stored[j], types[j]);
                if (!ok)
                    continue;
                int h = first ? 0 : hits[c];
                if (whole && m_live.built()) {
                    const Hashes hh = hashRecord(size_t(ti), page + cell.types, page + cell.end, nullptr, page + cell.end, size_t(bodySize));
                    if (m_live.containsExact(LiveKey{hh.tail, hh.head, int64_t(rowid), uint32_t(ti)}))
                        ++h;
                }
                const bool shorter = t.stored.size() != n;
                if (first) {
                    cand.push_back(ti);
                    hits.push_back(h);
                    older.push_back(shorter);
                } else {
                    cand[keep] = ti;
                    hits[keep] = h;
                    older[keep] = older[c] || shorter;
                }
                ++keep;
            }
            if (!first) {
                cand.resize(keep);
                hits.resize(keep);
                older.resize(keep);
            }
            first = false;
            if (cand.empty()) {
                *fits = current < 0;
                return -1; // cells of more than one layout: not one table's leaf
            }
        }
        *fits = first || current < 0 || std::find(cand.begin(), cand.end(), current) != cand.end();
        int best = -1, bestHits = 0;
        bool tie = false;
        for (size_t c = 0; c < cand.size(); ++c) {
            if (hits[c] > bestHits) {
                best = cand[c];
                bestHits = hits[c];
                tie = false;
            } else if (hits[c] == bestHits && bestHits > 0) {
                tie = true;
            }
        }
        if (best < 0 && cand.size() == 1 && older[0])
            return cand[0];
        return tie ? -1 : best;
    }

    // A freelist trunk was a b-tree page before: past its leaf list, the rest of the old cell
    // pointer array still points at the old cells.
    int trunkOwner(const uint8_t* page, uint32_t leaves, int current)
    {
        if (m_cells.masterOnly())
            return current;
        const uint32_t from = kTrunkHeaderBytes + 4 * leaves;
        uint32_t n = 0;
        while (from + 2 * (n + 1) <= m_geo.usable) {
            const uint32_t off = PageView(page, m_geo.usable).u16(from + 2 * n);
            if (off < from + 2 * (n + 1) || off >= m_geo.usable)
                break;
            ++n;
        }
        bool fits = true;
        const int owner = inferOwner(page, from, n, from + 2 * n, current, &fits);
        return current < 0 || !fits ? owner : current;
    }

    // Rows of a page whose owner nothing told are held until the page is done: one of them live
    // in one of several tables that store alike names that table the page's owner.
    template <class Emit>
    void release(Emit&& emit)
    {
        m_holding = false;
        if (m_held.empty())
            return;
        std::vector<int> votes(m_schema.size(), 0);
        for (const Held& h : m_held) {
            if (!h.m.hasRowid || h.m.implied || h.m.overflowPage)
                continue;
            for (size_t ti = 0; ti < m_schema.size(); ++ti) {
                if (ti != size_t(h.m.table) && !sameLayout(ti, size_t(h.m.table)))
                    continue;
                const Hashes hh = hashRecord(ti, h.m.types, h.m.body, nullptr, h.m.body, h.m.bodyLocal);
                if (m_live.containsExact(LiveKey{hh.tail, hh.head, h.m.rowid, uint32_t(ti)}))
                    ++votes[ti];
            }
        }
        int owner = -1, best = 0;
        for (size_t ti = 0; ti < votes.size(); ++ti) {
            if (votes[ti] > best) {
                owner = int(ti);
                best = votes[ti];
            } else if (votes[ti] == best && best > 0) {
                owner = -1;
            }
        }
        std::vector<Held> held;
        held.swap(m_held);
        for (Held& h : held) {
            if (owner >= 0 && h.m.table != owner && sameLayout(size_t(owner), size_t(h.m.table)))
                h.m.table = owner;
            emit(h.ctx, h.m, h.source, h.types);
        }
        held.clear();
        held.swap(m_held); // keeps the room for the next page
    }

private:
    // Tables that store alike: a record fits both.
    bool sameLayout(size_t a, size_t b) const
    {
        const TableLayout& x = m_schema.table(a);
        const TableLayout& y = m_schema.table(b);
        if (x.stored.size() != y.stored.size() || x.table.withoutRowid != y.table.withoutRowid)
            return false;
        for (size_t i = 0; i < x.stored.size(); ++i)
            if (x.stored[i].affinity != y.stored[i].affinity || x.stored[i].notNull != y.stored[i].notNull
                || x.stored[i].rowidAlias != y.stored[i].rowidAlias)
                return false;
        return true;
    }

    struct Held {
        Ctx ctx;
        Parsed m;
        Source source;
        std::vector<uint64_t> types;
    };
    const Catalog& m_schema;
    CellReader& m_cells;
    const LiveRows& m_live;
    const Geometry& m_geo;
    std::vector<int> m_ownerCand, m_ownerHits;
    std::vector<uint8_t> m_ownerOlder;
    std::vector<Held> m_held; // rows of the page being carved, while its owner is open
    bool m_holding = false;
};

} // namespace sqlcarve
