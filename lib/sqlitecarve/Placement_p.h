#pragma once

// Placement: where a carved row sat among its page's cells of known rowid, so the recovery side
// can bound (or order) the rowid of a row that lost it without reading pages itself.

#include "Catalog_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "Rowids_p.h"

#include <optional>
#include <unordered_map>
#include <vector>

namespace sqlcarve {

class PlacementStage
{
public:
    PlacementStage(const Candidates& cands, const Catalog& schema, PageSource& src, const Geometry& geo,
                   const LiveRows& live, const RowidStage& rowids)
        : m_cands(cands), m_schema(schema), m_src(src), m_geo(geo), m_live(live), m_rowids(rowids)
    {
    }

    // Only rows read from the main file's pages are placed: their page is the one they were
    // deleted from (or, on the freelist, the one that kept them).
    void run(const std::vector<uint32_t>& winners)
    {
        std::vector<std::pair<uint64_t, uint32_t>> byPage; // (table << 32 | page, candidate)
        for (uint32_t w : winners) {
            const Candidate& c = m_cands[w];
            const Source src = Source(c.source);
            if (c.file != kDb || m_schema.table(c.table).table.withoutRowid || c.page == 0
                || (src != Source::Freeblock && src != Source::Unallocated && src != Source::Freelist && src != Source::Orphan)
                || uint64_t(c.page) * m_geo.pageSize > m_src.file(kDb).size || c.offset < pageStart(c.page)
                || c.offset >= pageStart(c.page) + m_geo.pageSize)
                continue;
            byPage.push_back({uint64_t(c.table) << 32 | c.page, w});
        }
        std::sort(byPage.begin(), byPage.end());
        for (size_t i = 0; i < byPage.size();) {
            size_t j = i;
            while (j < byPage.size() && byPage[j].first == byPage[i].first)
                ++j;
            place(uint32_t(byPage[i].first >> 32), uint32_t(byPage[i].first), byPage, i, j);
            i = j;
        }
    }

    std::optional<CarvedRow::Placement> of(uint32_t cand) const
    {
        const auto it = m_placed.find(cand);
        if (it == m_placed.end())
            return std::nullopt;
        return it->second;
    }

private:
    using Anchors = std::vector<std::pair<uint32_t, int64_t>>; // (offset in page, rowid)

    uint64_t pageStart(uint32_t pg) const { return uint64_t(pg - 1) * m_geo.pageSize; }
    bool live(uint32_t table, int64_t rowid) const { return m_live.hasRowid(table, rowid); }
    bool carved(uint32_t table, int64_t rowid) const
    {
        return std::binary_search(m_rowids.claimed().begin(), m_rowids.claimed().end(), std::make_pair(table, rowid));
    }
    // Live rowids of the table just below and just above a range (0 and INT64_MAX when none).
    int64_t liveBefore(uint32_t table, int64_t rowid) const
    {
        auto it = std::lower_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{table, rowid, 0, 0});
        return it == m_live.rowids().begin() || (it - 1)->table != table ? 0 : (it - 1)->rowid;
    }
    int64_t liveAfter(uint32_t table, int64_t rowid) const
    {
        auto it = std::upper_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{table, rowid, 0, 0});
        return it == m_live.rowids().end() || it->table != table ? INT64_MAX : it->rowid;
    }

    // Cells of a table leaf image as (offset, rowid); nullopt for any other page or pointers
    // that leave it.
    std::optional<Anchors> leafCells(uint32_t pg) const
    {
        const PageView v(m_src.dbPage(pg), m_geo.usable);
        const uint32_t hdr = pg == 1 ? uint32_t(kHeaderSize) : 0;
        if (!v.has(hdr, kLeafHeaderSize) || v.u8(hdr) != TableLeaf)
            return std::nullopt;
        const uint32_t count = v.u16(hdr + kPageOffCellCount);
        const uint32_t pointersEnd = hdr + uint32_t(kLeafHeaderSize) + 2 * count;
        if (pointersEnd > v.size())
            return std::nullopt;
        Anchors cells;
        cells.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t ptr = v.u16(hdr + uint32_t(kLeafHeaderSize) + 2 * i);
            uint64_t payload = 0, rowid = 0;
            const int n = ptr >= pointersEnd ? v.varint(ptr, &payload) : 0;
            if (!n || !v.varint(ptr + uint32_t(n), &rowid))
                return std::nullopt;
            cells.emplace_back(ptr, int64_t(rowid));
        }
        return cells;
    }

    // Anchors from the largest offset down; false unless their rowids rise as offsets fall,
    // the order of an append-only page, and each is one of this table's.
    bool inOrder(uint32_t table, Anchors& a) const
    {
        std::sort(a.begin(), a.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
        for (size_t n = 0; n < a.size(); ++n)
            if ((n > 0 && a[n - 1].second >= a[n].second) || !(live(table, a[n].second) || carved(table, a[n].second)))
                return false;
        return true;
    }

    void place(uint32_t table, uint32_t pg, const std::vector<std::pair<uint64_t, uint32_t>>& rows, size_t from, size_t to)
    {
        Anchors carvedHere;
        for (size_t k = from; k < to; ++k) {
            const Candidate& c = m_cands[rows[k].second];
            if (c.hasRowid)
                carvedHere.emplace_back(uint32_t(c.offset - pageStart(pg)), c.rowid);
        }
        std::optional<Anchors> cells = leafCells(pg);
        if (cells) {
            cells->insert(cells->end(), carvedHere.begin(), carvedHere.end());
            if (!inOrder(table, *cells))
                cells.reset();
        }
        // A freelist page's old cells may be gone; the rows carved there with rowids still order it.
        std::optional<Anchors> freed;
        if (inOrder(table, carvedHere))
            freed = carvedHere;
        for (size_t k = from; k < to; ++k) {
            const uint32_t w = rows[k].second;
            const Candidate& c = m_cands[w];
            const bool inTree = c.source == uint8_t(Source::Freeblock) || c.source == uint8_t(Source::Unallocated);
            const std::optional<Anchors>& anchors = cells ? cells : inTree ? cells : freed;
            if (!anchors || anchors->empty())
                continue;
            const Anchors& a = *anchors;
            const uint32_t at = uint32_t(c.offset - pageStart(pg));
            CarvedRow::Placement p;
            size_t below = 0; // anchors at larger offsets than the row
            while (below < a.size() && a[below].first > at)
                ++below;
            size_t above = below; // the first at a smaller offset: the row itself is no anchor
            while (above < a.size() && a[above].first == at)
                ++above;
            if (c.source == uint8_t(Source::Unallocated)) {
                // Space below the cell area may hold a copy left from before the page was
                // rebuilt, at any place in the page's range: only the range is sure.
                p.lower = liveBefore(table, a.front().second);
                p.upper = liveAfter(table, a.back().second);
                p.order = m_geo.pageSize - at;
                p.ranked = true;
                m_placed[w] = p;
                continue;
            }
            // Off the page's edge, the live rows before and after it bound the row only while
            // the page is in the tree; a freelist page's neighbours are unknown.
            p.lower = below > 0 ? a[below - 1].second : !inTree ? 0 : liveBefore(table, a.front().second);
            p.upper = above < a.size() ? a[above].second : !inTree ? INT64_MAX : liveAfter(table, a.back().second);
            // Rows at the top of a page follow those at the bottom of the page before it.
            p.order = (uint64_t(below > 0 ? 0 : 1) << 32) | (m_geo.pageSize - at);
            m_placed[w] = p;
        }
    }

    const Candidates& m_cands;
    const Catalog& m_schema;
    PageSource& m_src;
    const Geometry& m_geo;
    const LiveRows& m_live;
    const RowidStage& m_rowids;
    std::unordered_map<uint32_t, CarvedRow::Placement> m_placed;
};

} // namespace sqlcarve
