#pragma once

// Link rows: the two-integer rows of join tables (message to chat, to attachment), read from what
// a deletion left of their cells on every image of the table's pages, the -wal's included.

#include "Catalog_p.h"
#include "LinkCells_p.h"
#include "LiveRows_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "Rowids_p.h"
#include "TreeWalk_p.h"

#include <functional>
#include <set>
#include <vector>

#include <strings.h>

namespace sqlcarve {

class LinkStage
{
public:
    using Hand = std::function<void(CarvedRow&)>;

    LinkStage(const std::vector<Options::LinkTable>& links, const Catalog& schema, PageSource& src, const Geometry& geo,
              const PageMap& map, const LiveRows& live, const RowidStage& rowids, Hand hand)
        : m_schema(schema), m_src(src), m_geo(geo), m_map(map), m_live(live), m_rowids(rowids), m_hand(std::move(hand))
    {
        for (size_t i = 0; i < links.size(); ++i) {
            const int t = m_schema.tableNamed(links[i].table);
            if (t < 0)
                continue;
            const TableLayout& tl = m_schema.table(size_t(t));
            if (tl.table.withoutRowid || tl.table.dropped || tl.table.columns.size() != 2 || tl.stored.size() != 2
                || tl.aliasStored >= 0)
                continue;
            m_targets.push_back({t, &links[i], {}});
        }
    }

    void noteCarved(uint32_t table, const CarvedRow& row)
    {
        for (Target& s : m_targets)
            if (uint32_t(s.table) == table && row.values.size() == 2 && row.values[0].kind == Value::Kind::Integer
                && row.values[1].kind == Value::Kind::Integer)
                s.known.emplace(row.values[0].integer, row.values[1].integer);
    }

    void run(const std::function<bool()>& cancelled)
    {
        for (Target& s : m_targets)
            if (!cancelled())
                salvage(s);
    }

private:
    struct Target {
        int table;
        const Options::LinkTable* link;
        std::set<std::pair<int64_t, int64_t>> known; // live and carved pairs: never reported twice
    };

    // The largest rowid a table handed out, as far as the file tells.
    int64_t highest(const std::string& name, int64_t floor)
    {
        const int t = m_schema.tableNamed(name);
        int64_t top = std::max<int64_t>(floor, sequenceOf(name));
        if (t < 0)
            return top;
        auto live = std::upper_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{uint32_t(t), INT64_MAX, 0, 0});
        if (live != m_live.rowids().begin() && (live - 1)->table == uint32_t(t))
            top = std::max(top, (live - 1)->rowid);
        auto carved = std::upper_bound(m_rowids.claimed().begin(), m_rowids.claimed().end(), std::make_pair(uint32_t(t), INT64_MAX));
        if (carved != m_rowids.claimed().begin() && (carved - 1)->first == uint32_t(t))
            top = std::max(top, (carved - 1)->second);
        return top;
    }

    // sqlite_sequence's live value for a table (AUTOINCREMENT): rowids up to it were given out.
    int64_t sequenceOf(const std::string& name)
    {
        const int seq = m_schema.tableNamed("sqlite_sequence");
        if (seq < 0)
            return 0;
        int64_t out = 0;
        auto it = std::lower_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{uint32_t(seq), INT64_MIN, 0, 0});
        for (; it != m_live.rowids().end() && it->table == uint32_t(seq); ++it) {
            const uint8_t* page = m_src.finalPage(it->page);
            if (!page)
                continue;
            // Record: header size, a text's and an integer's serial types, then both values.
            const PageView v(page, m_geo.usable);
            uint64_t hsize = 0, tText = 0, tInt = 0;
            uint32_t at = it->offset;
            int n = v.varint(at, &hsize);
            if (!n || hsize > 16)
                continue;
            const uint32_t body = at + uint32_t(hsize);
            at += uint32_t(n);
            if (!(n = v.varint(at, &tText)) || tText < 13 || !(tText & 1))
                continue;
            at += uint32_t(n);
            if (!(n = v.varint(at, &tInt)) || tInt < 1 || tInt > 9 || serialSize(tInt) < 0)
                continue;
            const uint32_t len = uint32_t((tText - 13) / 2);
            if (!v.has(body, len + uint32_t(serialSize(tInt))))
                continue;
            if (len == name.size() && strncasecmp(reinterpret_cast<const char*>(v.at(body)), name.c_str(), len) == 0)
                out = std::max(out, v.integer(body + len, int(serialSize(tInt)), tInt));
        }
        return out;
    }

    void salvage(Target& s)
    {
        const Options::LinkTable& link = *s.link;
        const int64_t topA = highest(link.parentA, link.topA), topB = highest(link.parentB, link.topB);
        const LinkCheck plausible = [topA, topB](int64_t a, int64_t b) { return a > 0 && b > 0 && a <= topA && b <= topB; };
        auto live = std::lower_bound(m_live.rowids().begin(), m_live.rowids().end(), LiveRowid{uint32_t(s.table), INT64_MIN, 0, 0});
        for (; live != m_live.rowids().end() && live->table == uint32_t(s.table); ++live)
            if (const uint8_t* page = m_src.finalPage(live->page))
                if (const auto pair = linkValues(page, m_geo.usable, live->offset))
                    s.known.insert(*pair);
        const std::string& name = m_schema.table(size_t(s.table)).table.name;
        const uint32_t dbPages = uint32_t(std::min<uint64_t>(m_src.file(kDb).size / m_geo.pageSize, UINT32_MAX));
        for (uint32_t pg = 1; pg < m_map.owner.size(); ++pg) {
            if (m_map.owner[pg] != s.table)
                continue;
            if (pg <= dbPages)
                read(s, name, pg, Source::Freeblock, uint64_t(pg - 1) * m_geo.pageSize, m_src.dbPage(pg), plausible);
            // Every image the -wal kept of the page: cells freed since the last checkpoint
            // live only there.
            const auto frames = m_src.framesByPage().find(pg);
            if (frames != m_src.framesByPage().end())
                for (uint32_t f : frames->second)
                    read(s, name, pg, Source::Wal, m_src.walFrameOffset(f), m_src.walFramePage(f), plausible);
        }
    }

    void read(Target& s, const std::string& name, uint32_t pg, Source source, uint64_t base, const uint8_t* page,
              const LinkCheck& plausible)
    {
        if (!page)
            return;
        for (const LinkCell& cell : salvageLinkCells(page, m_geo.usable, pg == 1, plausible)) {
            if (!s.known.emplace(cell.a, cell.b).second)
                continue;
            m_row.table = name;
            m_row.source = source;
            m_row.page = pg;
            m_row.offset = base + cell.offset;
            m_row.rowid = cell.rowid;
            m_row.rowidFromIndex = m_row.rowidInferred = false;
            m_row.placement.reset();
            m_row.salvaged = true;
            m_row.indexEntry = false;
            m_row.values.assign(2, Value());
            for (int i = 0; i < 2; ++i) {
                m_row.values[size_t(i)].kind = Value::Kind::Integer;
                m_row.values[size_t(i)].integer = i ? cell.b : cell.a;
            }
            m_hand(m_row);
        }
    }

    const Catalog& m_schema;
    PageSource& m_src;
    const Geometry& m_geo;
    const PageMap& m_map;
    const LiveRows& m_live;
    const RowidStage& m_rowids;
    Hand m_hand;
    std::vector<Target> m_targets;
    CarvedRow m_row;
};

} // namespace sqlcarve
