#pragma once

// Decoding: a carved candidate (or a live row) back to its values, from the file, its overflow
// chain followed; values past what survived are marked lost, the surviving
// start of a cut text or blob kept.

#include "Catalog_p.h"
#include "PageSource_p.h"
#include "Records_p.h"
#include "Text_p.h"
#include "TreeWalk_p.h"

#include <string>
#include <vector>

namespace sqlcarve {

class Decoder
{
public:
    Decoder(const Catalog& schema, PageSource& src, const Geometry& geo, TreeWalk& tree)
        : m_schema(schema), m_src(src), m_geo(geo), m_tree(tree)
    {
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    CarvedRow decode(const Candidate& c)
    {
        CarvedRow row;
        decode(c, row);
        return row;
    }

    // Fills every field of row, reusing its storage. finalState: the row is live, so its
    // overflow chain is read as the database holds it now.
    void decode(const Candidate& c, CarvedRow& row, bool finalState = false)
    {
        const Bytes& f = m_src.file(c.file);
        const TableLayout& t = m_schema.table(c.table);
        row.table = t.table.name;
        row.source = Source(c.source);
        row.page = c.page;
        row.offset = c.offset;
        row.rowid.reset();
        if (c.hasRowid)
            row.rowid = c.rowid;
        row.rowidFromIndex = c.rowidHow == kRowidIndex;
        row.rowidInferred = c.rowidHow == kRowidPosition;
        row.salvaged = false;
        row.indexEntry = false;
        row.placement.reset();
        const size_t n = t.stored.size();
        row.values.resize(t.table.columns.size());
        // Offsets come from damaged pages: nothing is read past the file that holds them.
        if (c.bodyOffset > f.size || c.typesOffset > c.bodyOffset) {
            for (Value& v : row.values)
                setLost(v);
            return;
        }
        const uint8_t* typesBegin =
            m_src.bytesAt(c.file, c.typesOffset, c.bodyOffset - c.typesOffset + std::min<uint64_t>(c.bodyLocal, f.size - c.bodyOffset));
        const uint8_t* typesEnd = typesBegin + (c.bodyOffset - c.typesOffset);
        m_types.clear();
        if (c.implied)
            m_types.push_back(c.impliedType);
        const uint8_t* p = typesBegin;
        while (p < typesEnd && m_types.size() < n) {
            uint64_t ty = 0;
            const int k = getVarint(p, typesEnd, &ty);
            if (!k)
                break;
            m_types.push_back(ty);
            p += k;
        }
        // A header with fewer types than columns (whole, or ended where the carver's reading
        // ended it when its size was lost) is a row written before ALTER TABLE added the rest:
        // SQLite reads those as their defaults.
        const bool olderRow = p == typesEnd;
        const uint8_t* body = typesEnd;
        size_t avail = std::min<size_t>(c.bodyLocal, f.size - c.bodyOffset);
        if (c.overflowPage) {
            Ctx ctx;
            ctx.file = FileId(c.file);
            ctx.frame = c.frame;
            ctx.pgno = c.page;
            std::string buf;
            avail = m_tree.assemble(&ctx, body, avail, c.bodySize, c.overflowPage, buf, finalState, &m_lostRanges);
            m_decodeBuf.swap(buf);
            body = reinterpret_cast<const uint8_t*>(m_decodeBuf.data());
        }
        size_t pos = 0;
        for (size_t i = 0; i < n; ++i) {
            const StoredColumn& sc = t.stored[i];
            Value& v = row.values[size_t(sc.tableIndex)];
            if (i >= m_types.size()) {
                if (olderRow)
                    v = sc.predating;
                else
                    setLost(v);
                continue;
            }
            const uint64_t ty = m_types[i];
            const size_t sz = size_t(serialSize(ty));
            if (sc.rowidAlias) {
                if (c.hasRowid) {
                    decodeValue(8, nullptr, Affinity::Integer, v);
                    v.integer = c.rowid;
                } else {
                    setLost(v);
                }
            } else if (i == 0 && c.implied && sz == 0 && sc.affinity != Affinity::Text) {
                setLost(v); // a lost type of no bytes: NULL, 0 and 1 look alike
            } else if (pos > avail || sz > avail - pos || (c.overflowPage && sz && overlapsLost(m_lostRanges, pos, pos + sz))) {
                // A damaged header can claim a size near 2^63: compare without adding.
                setLost(v);
                // A text or blob whose start survived keeps it: readers can still use it.
                const size_t kept = pos < avail ? (c.overflowPage ? survivingFrom(pos, avail) : avail) - pos : 0;
                if (ty >= 12 && kept > 0) {
                    if (ty & 1) {
                        v.bytes = textPrefixToUtf8(body + pos, kept, m_geo.encoding);
                        // A cut placed a little late leaves the next cell's first bytes after the
                        // text: no plain text holds control characters, so it ends before them.
                        const auto control = std::find_if(v.bytes.begin(), v.bytes.end(), [](char c) {
                            return uint8_t(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
                        });
                        v.bytes.erase(control, v.bytes.end());
                    } else {
                        v.bytes.assign(reinterpret_cast<const char*>(body + pos), kept);
                    }
                    v.prefixOf = v.bytes.empty() ? Value::Kind::Null : (ty & 1) ? Value::Kind::Text : Value::Kind::Blob;
                }
            } else {
                decodeValue(ty, body + pos, sc.affinity, v);
            }
            pos = sz > SIZE_MAX - pos ? SIZE_MAX : pos + sz;
        }
    }

    // A live row's values, its overflow chain read as it is now.
    void decodeLive(const LiveRowid& r, CarvedRow& row) { decode(liveCandidate(r), row, true); }

    // A candidate standing for a live row, so it decodes like a carved one.
    Candidate liveCandidate(const LiveRowid& r)
    {
        Candidate c;
        c.table = uint16_t(r.table);
        c.hasRowid = true;
        c.rowid = r.rowid;
        c.page = r.page;
        uint64_t base;
        if (m_src.finalFrame(r.page) != UINT32_MAX) {
            c.file = kWal;
            c.frame = m_src.finalFrame(r.page);
            base = m_src.walFrameOffset(c.frame);
        } else {
            c.file = kDb;
            base = uint64_t(r.page - 1) * m_geo.pageSize;
        }
        const uint8_t* page = m_src.bytesAt(c.file, base, m_geo.pageSize);
        const uint8_t* rec = page + r.offset;
        uint64_t hsize = 0;
        const int k = getVarint(rec, page + m_geo.usable, &hsize);
        if (!k || hsize < uint64_t(k) || hsize > m_geo.usable - r.offset) {
            c.typesOffset = c.bodyOffset = base + r.offset;
            return c; // nothing readable: every value decodes as lost
        }
        c.typesOffset = base + r.offset + uint64_t(k);
        c.bodyOffset = base + r.offset + hsize;
        uint64_t body = 0;
        for (const uint8_t* p = rec + k; p < rec + hsize;) {
            uint64_t t = 0;
            const int n = getVarint(p, rec + hsize, &t);
            if (!n)
                break;
            body += uint64_t(std::max<int64_t>(0, serialSize(t)));
            if (body > UINT32_MAX / 2)
                return c; // a live record cannot be this long: decode nothing from it
            p += n;
        }
        const uint32_t local = localPayload(hsize + body, m_geo.usable, true);
        c.bodySize = uint32_t(body);
        c.bodyLocal = local > hsize ? uint32_t(local - hsize) : 0;
        if (local < hsize + body)
            c.overflowPage = PageView(page, m_geo.usable).u32(uint32_t(r.offset + local)); // 0 past the page
        return c;
    }

    // Every field of v is set: a row's values are reused from one row to the next.
    void decodeValue(uint64_t t, const uint8_t* p, Affinity aff, Value& v) const
    {
        v.prefixOf = Value::Kind::Null;
        v.integer = 0;
        v.real = 0.0;
        if (t == 0) {
            v.bytes.clear();
            v.kind = Value::Kind::Null;
        } else if (t <= 6 || t == 8 || t == 9) {
            v.bytes.clear();
            v.kind = Value::Kind::Integer;
            v.integer = t == 8 ? 0 : t == 9 ? 1 : readInt(p, int(serialSize(t)));
            if (aff == Affinity::Real) {
                v.kind = Value::Kind::Real;
                v.real = double(v.integer);
            }
        } else if (t == 7) {
            v.bytes.clear();
            v.kind = Value::Kind::Real;
            uint64_t bits = 0;
            for (int i = 0; i < 8; ++i)
                bits = bits << 8 | p[i];
            std::memcpy(&v.real, &bits, 8);
        } else if (t & 1) {
            v.kind = Value::Kind::Text;
            if (m_geo.encoding == fmt::Utf8)
                v.bytes.assign(reinterpret_cast<const char*>(p), size_t(serialSize(t)));
            else
                v.bytes = textToUtf8(p, size_t(serialSize(t)), m_geo.encoding);
        } else {
            v.kind = Value::Kind::Blob;
            v.bytes.assign(reinterpret_cast<const char*>(p), size_t(serialSize(t)));
        }
    }

private:
    static void setLost(Value& v)
    {
        v.kind = Value::Kind::Lost;
        v.integer = 0;
        v.real = 0.0;
        v.bytes.clear();
        v.prefixOf = Value::Kind::Null;
    }

    // The end of the bytes from `pos` on that survived: up to `avail` or the first overwritten byte.
    size_t survivingFrom(size_t pos, size_t avail) const
    {
        size_t end = avail;
        for (const auto& r : m_lostRanges)
            if (r.second > pos)
                end = std::min(end, std::max(pos, r.first));
        return end;
    }

    const Catalog& m_schema;
    PageSource& m_src;
    const Geometry& m_geo;
    TreeWalk& m_tree;
    std::vector<uint64_t> m_types;
    LostRanges m_lostRanges;
    std::string m_decodeBuf;
};

} // namespace sqlcarve
