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

#include "LinkCells_p.h"
#include "Format_p.h"

#include <algorithm>

namespace sqlcarve {

using namespace fmt;

namespace {

const uint8_t kLinkHeaderLength = 3;
const int kMaxWays = 2; // counting parses stops at "more than one"

// Bytes of an integer serial type's value; -1 for any other type.
int intLength(uint8_t serialType)
{
    static const int lengths[10] = {-1, 1, 2, 3, 4, 6, 8, -1, 0, 0};
    return serialType < 10 ? lengths[serialType] : -1;
}

struct Cut {
    uint32_t length = 0;
    LinkCell row;
};

// The ways a link cell can start at `pos` and end at or before `end`. At a region's start the
// freeblock header is known to sit on the cell (`headed`).
std::vector<Cut> cellsAt(const PageView& c, uint32_t pos, uint32_t end, bool headed, const LinkCheck& plausible)
{
    std::vector<Cut> out;
    // Prefix overwritten by a freeblock header whose size covers at least the cell. The payload
    // length takes one byte (a link payload is under 20 bytes); the rowid varint's length decides
    // what the four header bytes hid: with one byte the serial type of a, with two nothing of the
    // record header, with more some of the rowid's own bytes, which must then read as its tail.
    if (c.has(pos, kFreeblockHeaderSize) && pos + kFreeblockHeaderSize < end) {
        const uint32_t size = c.u16(pos + 2);
        const uint32_t visible = pos + kFreeblockHeaderSize;
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
            // A hidden type of no bytes reads as the constant 1 (type 9): NULL and 0 name no row.
            static const uint8_t kHidden[] = {1, 2, 3, 4, 5, 6, 9};
            const bool hidden = typeAt < visible;
            for (size_t k = 0; k < (hidden ? sizeof kHidden : 1); ++k) {
                const uint8_t typeA = hidden ? kHidden[k] : c.u8(typeAt);
                const int lengthA = intLength(typeA);
                if (lengthA < 0)
                    continue;
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
    uint64_t payload = 0, rowid = 0;
    uint32_t n1 = 0, n2 = 0;
    if (!headed && (n1 = uint32_t(c.varint(pos, &payload))) && (n2 = uint32_t(c.varint(pos + n1, &rowid)))) {
        const uint32_t h = pos + n1 + n2;
        if (c.has(h, 3) && c.u8(h) == kLinkHeaderLength) {
            const uint8_t typeA = c.u8(h + 1), typeB = c.u8(h + 2);
            const int lengthA = intLength(typeA), lengthB = intLength(typeB);
            if (lengthA >= 0 && lengthB >= 0 && payload == uint64_t(kLinkHeaderLength + lengthA + lengthB)) {
                const uint32_t length = n1 + n2 + uint32_t(payload);
                if (pos + length <= end) {
                    Cut cut;
                    cut.length = length;
                    cut.row.offset = pos;
                    cut.row.rowid = int64_t(rowid);
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
std::optional<std::vector<LinkCell>> uniqueCut(const PageView& c, uint32_t begin, uint32_t end, const LinkCheck& plausible)
{
    if (begin >= end || end > c.size())
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
    std::vector<LinkCell> rows;
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

std::vector<LinkCell> salvageLinkCells(const uint8_t* page, uint32_t usable, bool firstPage, const LinkCheck& plausible)
{
    std::vector<LinkCell> out;
    const uint32_t hdr = firstPage ? uint32_t(kHeaderSize) : 0;
    const PageView c(page, usable);
    if (!c.has(hdr, kLeafHeaderSize) || c.u8(hdr) != TableLeaf)
        return out;
    const uint32_t pointersEnd = hdr + kLeafHeaderSize + 2 * c.u16(hdr + kPageOffCellCount);
    const uint32_t contentStart = c.u16(hdr + kPageOffContentStart);
    if (pointersEnd > contentStart || contentStart > c.size())
        return out;
    auto keep = [&out](const std::optional<std::vector<LinkCell>>& rows) {
        if (rows)
            out.insert(out.end(), rows->begin(), rows->end());
    };
    // The freeblock chain, in rising order of offsets as SQLite keeps it; bounded by that order.
    uint32_t prev = 0;
    for (uint32_t at = c.u16(hdr + kPageOffFreeblock); at != 0;) {
        if (at <= prev || at < contentStart || !c.has(at, kFreeblockHeaderSize))
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
        for (uint32_t at = pointersEnd; at + kFreeblockHeaderSize < end && !found; ++at) {
            const uint32_t size = c.u16(at + 2);
            if (size <= kFreeblockHeaderSize || at + size != end)
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

std::optional<std::pair<int64_t, int64_t>> linkValues(const uint8_t* page, uint32_t usable, uint32_t record)
{
    const PageView c(page, usable);
    if (!c.has(record, 3) || c.u8(record) != kLinkHeaderLength)
        return std::nullopt;
    const uint8_t typeA = c.u8(record + 1), typeB = c.u8(record + 2);
    const int lengthA = intLength(typeA), lengthB = intLength(typeB);
    if (lengthA < 0 || lengthB < 0 || !c.has(record + 3, uint32_t(lengthA + lengthB)))
        return std::nullopt;
    return std::make_pair(c.integer(record + 3, lengthA, typeA), c.integer(record + 3 + uint32_t(lengthA), lengthB, typeB));
}

} // namespace sqlcarve
