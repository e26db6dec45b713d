// Deleted rows of link tables: two integer columns, as chat_message_join (chat, message),
// chat_handle_join (chat, handle) and message_attachment_join (message, attachment). Such a cell
// is a few bytes long (29 at most); freed into a freeblock it loses its first four bytes to the
// freeblock header, which leaves no record header to read it by. The rest still holds the row:
//
// Table leaf cell of a link row (offsets from the cell start):
//   0   v  payload length (varint)        \  overwritten by the freeblock header:
//   .   v  rowid (varint)                  |  0 2 next freeblock (0: last)
//   .   1  record header length (3)        |  2 2 size of the freeblock, header included
//   .   1  serial type of column a        /
//   .   1  serial type of column b         <- first byte that survives
//   .   n  value a (big-endian, length n left by the size)
//   .   m  value b (length from its serial type)
// With the payload length and rowid one byte each, the header takes exactly the first four
// bytes; the serial type of a is then whatever length the freed space leaves for it. A longer
// rowid (128 and up) pushes the whole record header past the overwritten bytes.
//
// A freeblock holds one or more cells back to back: cells freed earlier keep the stale header
// they got then, whose size still covers at least the cell itself. Deleting the lowest cells of
// the content area folds their freeblocks into the unallocated space below it, stale headers
// and all, the last one ending at the content area's start. A region is read only when exactly
// one way of cutting it into such cells fits; anything else is left alone. A cell freed at the
// content start gets its header too before the start moves past it, so the unallocated space
// holds a stack of such blocks, each ending where the one above begins.
//
// B-tree pages (offsets from the page start; page 1 starts after the 100-byte file header):
//   0   1  page type (5 interior table, 13 leaf table)
//   1   2  first freeblock
//   3   2  number of cells
//   5   2  start of the cell content area
//   8   4  right-most child (interior pages only; their header is 12 bytes, a leaf's 8)
//   h  2n  cell pointers; an interior cell starts with its 4-byte child page number

#include "RecoveryContext_p.h"

#include "utility/Log.h"

#include <QFile>

#include <algorithm>
#include <set>

namespace sqlrecovery {

namespace {

const uint8_t kInteriorTable = 5;
const uint8_t kLeafTable = 13;
const uint32_t kFileHeaderSize = 100;
const uint32_t kOffPageSize = 16;
const uint32_t kOffReserved = 20;
const uint32_t kOffFirstFreeblock = 1;
const uint32_t kOffCellCount = 3;
const uint32_t kOffContentStart = 5;
const uint32_t kOffRightChild = 8;
const uint32_t kLeafHeaderSize = 8;
const uint32_t kInteriorHeaderSize = 12;
const uint32_t kFreeblockHeader = 4;
const uint32_t kMinPageSize = 512;
const uint32_t kMaxPageSize = 65536;
const uint8_t kLinkHeaderLength = 3;
const int kMaxWays = 2; // counting parses stops at "more than one"
const uint32_t kMaxVarint = 9;

std::string lowerName(const std::string& s)
{
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    return out;
}

// Bytes of an integer serial type's value; -1 for any other type.
int intLength(uint8_t serialType)
{
    static const int lengths[10] = {-1, 1, 2, 3, 4, 6, 8, -1, 0, 0};
    return serialType < 10 ? lengths[serialType] : -1;
}

// Bounded reader over one page image.
class Cursor
{
public:
    Cursor(const QByteArray& bytes, uint32_t end) : m_data(bytes), m_end(std::min<uint32_t>(end, uint32_t(bytes.size()))) {}

    uint32_t end() const { return m_end; }
    bool has(uint32_t pos, uint32_t n) const { return pos <= m_end && n <= m_end - pos; }
    uint8_t u8(uint32_t pos) const { return uint8_t(m_data[int(pos)]); }
    uint32_t u16(uint32_t pos) const { return (uint32_t(u8(pos)) << 8) | u8(pos + 1); }
    uint32_t u32(uint32_t pos) const { return (u16(pos) << 16) | u16(pos + 2); }
    // A signed big-endian integer of `n` bytes (0 bytes: serial types 8 and 9 hold 0 and 1).
    int64_t integer(uint32_t pos, int n, uint8_t serialType) const
    {
        if (n == 0)
            return serialType == 9 ? 1 : 0;
        uint64_t v = (u8(pos) & 0x80) ? ~uint64_t(0) : 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | u8(pos + uint32_t(i));
        return int64_t(v);
    }
    // A varint at `pos`; its length in `length`, false when it runs past the end.
    bool varint(uint32_t pos, int64_t& out, uint32_t& length) const
    {
        uint64_t v = 0;
        for (uint32_t i = 0; i < 9; ++i) {
            if (!has(pos, i + 1))
                return false;
            const uint8_t b = u8(pos + i);
            if (i == 8) {
                out = int64_t((v << 8) | b);
                length = 9;
                return true;
            }
            v = (v << 7) | (b & 0x7f);
            if (!(b & 0x80)) {
                out = int64_t(v);
                length = i + 1;
                return true;
            }
        }
        return false;
    }

private:
    const QByteArray& m_data;
    uint32_t m_end;
};

struct Cut {
    uint32_t length = 0;
    LinkRow row;
};

// The ways a link cell can start at `pos` and end at or before `end`. At a region's start the
// freeblock header is known to sit on the cell (`headed`).
std::vector<Cut> cellsAt(const Cursor& c, uint32_t pos, uint32_t end, bool headed, const LinkCheck& plausible)
{
    std::vector<Cut> out;
    // Prefix overwritten by a freeblock header whose size covers at least the cell. The payload
    // length takes one byte (a link payload is under 20 bytes); the rowid varint's length decides
    // what the four header bytes hid: with one byte the serial type of a, with two nothing of the
    // record header, with more some of the rowid's own bytes, which must then read as its tail.
    if (c.has(pos, kFreeblockHeader) && pos + kFreeblockHeader < end) {
        const uint32_t size = c.u16(pos + 2);
        const uint32_t visible = pos + kFreeblockHeader;
        for (uint32_t rowidLength = 1; rowidLength <= kMaxVarint; ++rowidLength) {
            const uint32_t header = pos + 1 + rowidLength; // the record header length byte
            const uint32_t typeAt = header + 1;
            if (!c.has(typeAt, 2) || typeAt + 1 >= end)
                break;
            bool tailOk = header < visible || c.u8(header) == kLinkHeaderLength;
            for (uint32_t at = visible; tailOk && at < header; ++at) // rowid bytes left: the last one ends it
                tailOk = bool(c.u8(at) & 0x80) == (at + 1 < header);
            const uint8_t typeB = c.u8(typeAt + 1);
            const int lengthB = intLength(typeB);
            if (!tailOk || lengthB < 0)
                continue;
            const uint8_t firstA = typeAt >= visible ? c.u8(typeAt) : 1;
            const uint8_t lastA = typeAt >= visible ? c.u8(typeAt) : 6;
            for (uint8_t typeA = firstA; typeA <= lastA; ++typeA) {
                const int lengthA = intLength(typeA);
                if (lengthA < 0 || (typeAt < visible && lengthA == 0))
                    continue; // a guessed length of 0 could be NULL, 0 or 1
                const uint32_t values = typeAt + 2;
                const uint32_t length = values + uint32_t(lengthA + lengthB) - pos;
                if (pos + length > end || size < length || pos + size > end)
                    continue;
                Cut cut;
                cut.length = length;
                cut.row.offset = pos;
                cut.row.a = c.integer(values, lengthA, typeA);
                cut.row.b = c.integer(values + uint32_t(lengthA), lengthB, typeB);
                if (plausible(cut.row.a, cut.row.b))
                    out.push_back(cut);
            }
        }
    }
    // A whole cell: it was freed without a header landing on it.
    int64_t payload = 0, rowid = 0;
    uint32_t n1 = 0, n2 = 0;
    if (!headed && c.varint(pos, payload, n1) && c.varint(pos + n1, rowid, n2)) {
        const uint32_t h = pos + n1 + n2;
        if (c.has(h, 3) && c.u8(h) == kLinkHeaderLength) {
            const uint8_t typeA = c.u8(h + 1), typeB = c.u8(h + 2);
            const int lengthA = intLength(typeA), lengthB = intLength(typeB);
            if (lengthA >= 0 && lengthB >= 0 && payload == kLinkHeaderLength + lengthA + lengthB) {
                const uint32_t length = n1 + n2 + uint32_t(payload);
                if (pos + length <= end) {
                    Cut cut;
                    cut.length = length;
                    cut.row.offset = pos;
                    cut.row.rowid = rowid;
                    cut.row.a = c.integer(h + 3, lengthA, typeA);
                    cut.row.b = c.integer(h + 3 + uint32_t(lengthA), lengthB, typeB);
                    if (plausible(cut.row.a, cut.row.b))
                        out.push_back(cut);
                }
            }
        }
    }
    return out;
}

// The cells of [begin, end) when exactly one cut into link cells covers it.
std::optional<std::vector<LinkRow>> uniqueCut(const Cursor& c, uint32_t begin, uint32_t end, const LinkCheck& plausible)
{
    if (begin >= end || end > c.end())
        return std::nullopt;
    const uint32_t n = end - begin;
    std::vector<int> ways(n + 1, 0);
    std::vector<std::vector<Cut>> options(n);
    ways[n] = 1;
    for (uint32_t i = n; i-- > 0;) {
        options[i] = cellsAt(c, begin + i, end, i == 0, plausible);
        for (const Cut& cut : options[i])
            ways[i] = std::min(kMaxWays, ways[i] + ways[i + cut.length]);
    }
    if (ways[0] != 1)
        return std::nullopt;
    std::vector<LinkRow> rows;
    for (uint32_t i = 0; i < n;) {
        const Cut* next = nullptr;
        for (const Cut& cut : options[i])
            if (ways[i + cut.length] == 1)
                next = &cut;
        if (!next)
            return std::nullopt;
        rows.push_back(next->row);
        i += next->length;
    }
    return rows;
}

} // namespace

std::vector<LinkRow> salvageLinkRows(const QByteArray& page, bool firstPage, uint32_t usable, const LinkCheck& plausible)
{
    std::vector<LinkRow> out;
    const uint32_t hdr = firstPage ? kFileHeaderSize : 0;
    const Cursor c(page, usable);
    if (!c.has(hdr, kLeafHeaderSize) || c.u8(hdr) != kLeafTable)
        return out;
    const uint32_t pointersEnd = hdr + kLeafHeaderSize + 2 * c.u16(hdr + kOffCellCount);
    const uint32_t contentStart = c.u16(hdr + kOffContentStart);
    if (pointersEnd > contentStart || contentStart > c.end())
        return out;
    auto keep = [&out](const std::optional<std::vector<LinkRow>>& rows) {
        if (rows)
            out.insert(out.end(), rows->begin(), rows->end());
    };
    // The freeblock chain, in rising order of offsets as SQLite keeps it; bounded by that order.
    uint32_t prev = 0;
    for (uint32_t at = c.u16(hdr + kOffFirstFreeblock); at != 0;) {
        if (at <= prev || at < contentStart || !c.has(at, kFreeblockHeader))
            break;
        const uint32_t size = c.u16(at + 2);
        if (!c.has(at, size))
            break;
        keep(uniqueCut(c, at, at + size, plausible));
        prev = at;
        at = c.u16(at);
    }
    // Freeblocks folded into the unallocated space, one below the other: the lowest stale header
    // whose block ends where the region above begins (first the content start) opens a region
    // that must cut cleanly up to there.
    for (uint32_t end = contentStart;;) {
        bool found = false;
        for (uint32_t at = pointersEnd; at + kFreeblockHeader < end && !found; ++at) {
            const uint32_t size = c.u16(at + 2);
            if (size <= kFreeblockHeader || at + size != end)
                continue;
            if (const auto rows = uniqueCut(c, at, end, plausible)) {
                keep(rows);
                end = at;
                found = true;
            }
        }
        if (!found)
            break;
    }
    return out;
}

void ScanContext::salvageLinks(const std::string& name, const char* columnA, const char* tableA, const char* columnB,
                               const char* tableB)
{
    auto found = m_tables.find(lowerName(name));
    if (!m_salvage || found == m_tables.end() || !found->second.schema || found->second.schema->columns.size() != 2
        || found->second.schema->withoutRowid || found->second.schema->rootPage == 0 || m_path.isEmpty())
        return;
    CarvedTable& table = found->second;
    if (table.col(columnA) != 0 || table.col(columnB) != 1)
        return;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray header = file.read(kFileHeaderSize);
    if (header.size() < int(kFileHeaderSize) || !header.startsWith("SQLite format 3"))
        return;
    uint32_t pageSize = (uint32_t(uint8_t(header[kOffPageSize])) << 8) | uint8_t(header[kOffPageSize + 1]);
    if (pageSize == 1)
        pageSize = kMaxPageSize;
    const uint32_t reserved = uint8_t(header[kOffReserved]);
    if (pageSize < kMinPageSize || pageSize > kMaxPageSize || (pageSize & (pageSize - 1)) || reserved >= pageSize / 2)
        return;
    const uint32_t usable = pageSize - reserved;
    const qint64 pageCount = file.size() / pageSize;

    // A value must name a row its table could have held: up to the largest rowid it handed out.
    auto highest = [this](const char* t) {
        int64_t top = m_live.value(std::string("SELECT max(rowid) FROM \"") + t + "\"").toLongLong();
        if (m_live.isAutoincrement(t))
            top = std::max<int64_t>(top, m_live.value("SELECT seq FROM sqlite_sequence WHERE name = ?",
                                                      {QString::fromLatin1(t)})
                                             .toLongLong());
        const CarvedTable& carved = this->table(t);
        for (const Row* row : carved.rows)
            if (const auto id = rowidOf(carved, *row))
                top = std::max(top, *id);
        return top;
    };
    const int64_t topA = highest(tableA), topB = highest(tableB);
    const LinkCheck plausible = [topA, topB](int64_t a, int64_t b) { return a > 0 && b > 0 && a <= topA && b <= topB; };
    std::set<std::pair<int64_t, int64_t>> known;
    for (const auto& r : m_live.rows("SELECT * FROM \"" + table.schema->name + "\""))
        if (r.size() == 2)
            known.emplace(r[0].toLongLong(), r[1].toLongLong());
    for (const Row* row : table.rows) {
        const auto a = integer(table, *row, 0), b = integer(table, *row, 1);
        if (a && b)
            known.emplace(*a, *b);
    }

    // Leaf pages of the table's b-tree, each page visited once.
    std::vector<uint32_t> stack{table.schema->rootPage};
    std::set<uint32_t> seen;
    int added = 0;
    while (!stack.empty()) {
        const uint32_t pgno = stack.back();
        stack.pop_back();
        if (pgno == 0 || qint64(pgno) > pageCount || !seen.insert(pgno).second)
            continue;
        if (!file.seek(qint64(pgno - 1) * pageSize))
            continue;
        const QByteArray page = file.read(pageSize);
        if (page.size() != int(pageSize))
            continue;
        const uint32_t hdr = pgno == 1 ? kFileHeaderSize : 0;
        const Cursor c(page, usable);
        if (!c.has(hdr, kInteriorHeaderSize))
            continue;
        if (c.u8(hdr) == kInteriorTable) {
            const uint32_t count = c.u16(hdr + kOffCellCount);
            stack.push_back(c.u32(hdr + kOffRightChild));
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t pointer = hdr + kInteriorHeaderSize + 2 * i;
                if (!c.has(pointer, 2) || !c.has(c.u16(pointer), 4))
                    break;
                stack.push_back(c.u32(c.u16(pointer)));
            }
            continue;
        }
        for (const LinkRow& link : salvageLinkRows(page, pgno == 1, usable, plausible)) {
            if (!known.emplace(link.a, link.b).second)
                continue;
            Row row;
            row.table = table.schema->name;
            row.source = sqlcarve::Source::Freeblock;
            row.page = pgno;
            row.offset = uint64_t(pgno - 1) * pageSize + link.offset;
            row.rowid = link.rowid;
            for (int64_t v : {link.a, link.b}) {
                sqlcarve::Value value;
                value.kind = sqlcarve::Value::Kind::Integer;
                value.integer = v;
                row.values.push_back(value);
            }
            m_salvaged.push_back(std::move(row));
            table.rows.push_back(&m_salvaged.back());
            ++added;
        }
    }
    m_rowidIndex.erase(lowerName(name));
    if (added)
        Log("SqliteRecovery", 1, " %d deleted rows of %s read from their remains", added, table.schema->name.c_str());
}

} // namespace sqlrecovery
