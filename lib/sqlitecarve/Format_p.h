#pragma once

// On-disk layout of SQLite database, -wal and -journal files, as far as the carver reads them.
// All multi-byte integers are big-endian.
//
// Database header (page 1, bytes 0-99):
//   off size meaning
//     0   16 "SQLite format 3\0"
//    16    2 page size (1 means 65536)
//    18    1 write version (2 = WAL)      19 1 read version
//    20    1 reserved bytes at the end of every page
//    28    4 page count (valid when the change counter at 24 equals version-valid-for at 92)
//    32    4 first freelist trunk page     36 4 freelist page count
//    56    4 text encoding: 1 UTF-8, 2 UTF-16le, 3 UTF-16be
//
// B-tree page header (at 100 on page 1, at 0 elsewhere):
//   off size meaning
//     0    1 type: 2 index interior, 5 table interior, 10 index leaf, 13 table leaf
//     1    2 first freeblock (0 none); a freeblock is [next u16][size u16][...]
//     3    2 cell count
//     5    2 cell content area start (0 means 65536)
//     7    1 fragmented free bytes
//     8    4 right-most child (interior pages only)
//   then the cell pointer array: cell count u16 offsets.
//
// Cells:
//   table leaf     : payload-size varint, rowid varint, payload, [first overflow page u32]
//   table interior : left child u32, rowid varint
//   index leaf     : payload-size varint, payload, [first overflow page u32]
//   index interior : left child u32, payload-size varint, payload, [first overflow page u32]
// Record (payload): header-size varint (counts itself), serial types (varints), then the body.
//   serial type 0 NULL, 1-6 ints of 1,2,3,4,6,8 bytes, 7 IEEE double, 8 the constant 0, 9 the
//   constant 1, 10/11 reserved, N>=12 even BLOB of (N-12)/2 bytes, N>=13 odd TEXT of (N-13)/2.
// Overflow page: [next page u32][payload bytes]. Freelist trunk: [next trunk u32][leaf count u32]
//   [leaf page u32 ...].
//
// WAL: 32-byte header [magic u32 0x377f0682/3][version][page size][checkpoint seq][salt1][salt2]
//   [checksum1][checksum2], then frames of a 24-byte header [page u32][db size after commit u32,
//   0 if not a commit][salt1][salt2][checksum1][checksum2] followed by the page.
// Rollback journal: header [magic 8][record count u32][nonce u32][initial db pages u32]
//   [sector size u32][page size u32], padded to the sector size, then records
//   [page u32][page bytes][checksum u32]. PERSIST mode zeroes the header after each commit.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

// Inlined: the hash runs once or more for every record read.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace sqlcarve::fmt {

constexpr char kMagic[] = "SQLite format 3";
constexpr size_t kMagicSize = 16;
constexpr size_t kHeaderSize = 100;
constexpr size_t kOffPageSize = 16;
constexpr size_t kOffWriteVersion = 18;
constexpr size_t kOffReserved = 20;
constexpr size_t kOffChangeCounter = 24;
constexpr size_t kOffPageCount = 28;
constexpr size_t kOffFreelistTrunk = 32;
constexpr size_t kOffFreelistCount = 36;
constexpr size_t kOffLargestRoot = 52; // non-zero: the file keeps pointer-map pages (auto-vacuum)
constexpr size_t kOffEncoding = 56;
constexpr size_t kOffVersionValidFor = 92;
// The page holding this offset is never used: SQLite locks its bytes.
constexpr uint64_t kLockBytePage = 0x40000000;
constexpr uint32_t kMinPageSize = 512;
constexpr uint32_t kMaxPageSize = 65536;

enum Encoding : uint32_t { Utf8 = 1, Utf16le = 2, Utf16be = 3 };

enum PageType : uint8_t { IndexInterior = 2, TableInterior = 5, IndexLeaf = 10, TableLeaf = 13 };
constexpr size_t kPageOffFreeblock = 1;
constexpr size_t kPageOffCellCount = 3;
constexpr size_t kPageOffContentStart = 5;
constexpr size_t kPageOffFragmented = 7;
constexpr size_t kPageOffRightChild = 8;
constexpr size_t kLeafHeaderSize = 8;
constexpr size_t kInteriorHeaderSize = 12;
constexpr size_t kFreeblockHeaderSize = 4;
constexpr size_t kOverflowPointerSize = 4;
constexpr size_t kMaxVarint = 9;
// A freelist trunk page starts with the next trunk's number and its leaf count.
constexpr uint32_t kTrunkHeaderBytes = 8;

constexpr size_t kWalHeaderSize = 32;
constexpr size_t kWalFrameHeaderSize = 24;
constexpr uint32_t kWalMagicLE = 0x377f0682;
constexpr uint32_t kWalMagicBE = 0x377f0683;

constexpr uint8_t kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
constexpr size_t kJournalHeaderSize = 28;
constexpr size_t kJournalOffSectorSize = 20;
constexpr size_t kJournalOffPageSize = 24;
constexpr size_t kJournalRecordExtra = 8; // page number before, checksum after

inline bool isBtreeType(uint8_t t) { return t == IndexInterior || t == TableInterior || t == IndexLeaf || t == TableLeaf; }
inline bool isLeafType(uint8_t t) { return t == IndexLeaf || t == TableLeaf; }
inline bool isTableType(uint8_t t) { return t == TableInterior || t == TableLeaf; }

inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Varint of at most 9 bytes that must end before `end`; returns its length, 0 when cut off.
inline int getVarint(const uint8_t* p, const uint8_t* end, uint64_t* out)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        if (p + i >= end)
            return 0;
        v = (v << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) {
            *out = v;
            return i + 1;
        }
    }
    if (p + 8 >= end)
        return 0;
    *out = (v << 8) | p[8];
    return 9;
}

// Writes v as a varint of at most 8 bytes (serial types and sizes need no more); its length.
inline int putVarint(uint64_t v, uint8_t* out)
{
    uint8_t buf[kMaxVarint];
    int n = 0;
    do {
        buf[n++] = uint8_t(v & 0x7f);
        v >>= 7;
    } while (v && n < 8);
    for (int i = n - 1; i >= 0; --i)
        *out++ = uint8_t(buf[i] | (i ? 0x80 : 0));
    return n;
}

inline int varintLength(uint64_t v)
{
    int n = 1;
    if (v >> 56)
        return 9;
    while (v >>= 7)
        ++n;
    return n;
}

// Body size of a serial type; -1 for the reserved types 10 and 11.
inline int64_t serialSize(uint64_t t)
{
    static const int8_t kSmall[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, -1, -1};
    if (t < 12)
        return kSmall[t];
    return int64_t((t - 12) / 2);
}

// Local part of a payload of `payload` bytes on a page with `usable` usable bytes.
inline uint32_t localPayload(uint64_t payload, uint32_t usable, bool tableLeaf)
{
    const uint64_t maxLocal = tableLeaf ? usable - 35 : ((usable - 12) * 64 / 255) - 23;
    const uint64_t minLocal = ((usable - 12) * 32 / 255) - 23;
    if (payload <= maxLocal)
        return uint32_t(payload);
    const uint64_t k = minLocal + (payload - minLocal) % (usable - 4);
    return uint32_t(k <= maxLocal ? k : minLocal);
}

// Bounded big-endian read cursor: every read checks the remaining length first and a failed read
// leaves the cursor marked bad without moving it.
class Cursor
{
public:
    Cursor(const uint8_t* begin, const uint8_t* end) : m_p(begin), m_end(end) {}
    bool ok() const { return m_ok; }
    size_t remaining() const { return size_t(m_end - m_p); }
    const uint8_t* pos() const { return m_p; }
    bool skip(size_t n)
    {
        if (n > remaining())
            return m_ok = false;
        m_p += n;
        return true;
    }
    uint8_t u8()
    {
        if (remaining() < 1) {
            m_ok = false;
            return 0;
        }
        return *m_p++;
    }
    uint16_t u16()
    {
        if (remaining() < 2) {
            m_ok = false;
            return 0;
        }
        const uint16_t v = get16(m_p);
        m_p += 2;
        return v;
    }
    uint32_t u32()
    {
        if (remaining() < 4) {
            m_ok = false;
            return 0;
        }
        const uint32_t v = get32(m_p);
        m_p += 4;
        return v;
    }
    uint64_t varint()
    {
        uint64_t v = 0;
        const int n = getVarint(m_p, m_end, &v);
        if (!n) {
            m_ok = false;
            return 0;
        }
        m_p += n;
        return v;
    }

private:
    const uint8_t* m_p;
    const uint8_t* m_end;
    bool m_ok = true;
};

// Bounded random-access view of one page image (or any byte range): reads at a position check
// it first; callers test `has` before reading, and a read past the end yields zeros.
class PageView
{
public:
    PageView(const uint8_t* data, uint32_t size) : m_data(data), m_size(data ? size : 0) {}
    uint32_t size() const { return m_size; }
    bool has(uint32_t pos, uint32_t n) const { return pos <= m_size && n <= m_size - pos; }
    uint8_t u8(uint32_t pos) const { return has(pos, 1) ? m_data[pos] : 0; }
    uint16_t u16(uint32_t pos) const { return has(pos, 2) ? get16(m_data + pos) : 0; }
    uint32_t u32(uint32_t pos) const { return has(pos, 4) ? get32(m_data + pos) : 0; }
    // A varint at `pos`; its length, 0 when it runs past the end.
    int varint(uint32_t pos, uint64_t* out) const { return pos < m_size ? getVarint(m_data + pos, m_data + m_size, out) : 0; }
    // A signed big-endian integer of `n` bytes (n of 0: serial types 8 and 9, the constants 0 and 1).
    int64_t integer(uint32_t pos, int n, uint64_t serialType) const
    {
        if (n == 0)
            return serialType == 9 ? 1 : 0;
        if (!has(pos, uint32_t(n)))
            return 0;
        uint64_t v = (m_data[pos] & 0x80) ? ~uint64_t(0) : 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | m_data[pos + uint32_t(i)];
        return int64_t(v);
    }
    const uint8_t* at(uint32_t pos) const { return m_data + pos; }

private:
    const uint8_t* m_data;
    uint32_t m_size;
};

// Whether `h` holds the freeblock header of a cell freed right after the one whose header is at
// `g`, in one free block of `blockSize` bytes from g: a cell freed next to a free block gets a
// header of its own with the block's next pointer and a size running to the block's end.
inline bool chainedFreeblockHeader(const uint8_t* g, const uint8_t* h, size_t blockSize, const uint8_t* limit)
{
    if (h <= g || limit - h < ptrdiff_t(kFreeblockHeaderSize))
        return false;
    const PageView head(g, uint32_t(limit - g)), next(h, uint32_t(limit - h));
    return next.u16(0) == head.u16(0) && size_t(h - g) + next.u16(2) == blockSize;
}

// The database header (page 1, bytes 0-99), read through a bounded view.
class DatabaseHeader
{
public:
    DatabaseHeader(const uint8_t* data, uint64_t size) : m_v(data, uint32_t(std::min<uint64_t>(size, kHeaderSize))) {}
    bool hasMagic() const { return m_v.has(0, kMagicSize) && std::memcmp(m_v.at(0), kMagic, kMagicSize) == 0; }
    // The page size as stored: 1 means 65536.
    uint32_t pageSize() const
    {
        const uint32_t v = m_v.u16(kOffPageSize);
        return v == 1 ? kMaxPageSize : v;
    }
    uint32_t reserved() const { return m_v.u8(kOffReserved); }
    uint32_t changeCounter() const { return m_v.u32(kOffChangeCounter); }
    uint32_t pageCount() const { return m_v.u32(kOffPageCount); }
    uint32_t freelistTrunk() const { return m_v.u32(kOffFreelistTrunk); }
    uint32_t largestRoot() const { return m_v.u32(kOffLargestRoot); }
    uint32_t encoding() const { return m_v.u32(kOffEncoding); }
    uint32_t versionValidFor() const { return m_v.u32(kOffVersionValidFor); }

private:
    PageView m_v;
};

// The -wal's 32-byte header and its frames' 24-byte headers (layout above), by name.
class WalHeader
{
public:
    explicit WalHeader(const uint8_t* data) : m_v(data, uint32_t(kWalHeaderSize)) {}
    uint32_t magic() const { return m_v.u32(0); }
    bool bigEndianChecksums() const { return magic() & 1; }
    uint32_t pageSize() const { return m_v.u32(8); }
    uint32_t salt1() const { return m_v.u32(16); }
    uint32_t salt2() const { return m_v.u32(20); }
    uint32_t checksum1() const { return m_v.u32(24); }
    uint32_t checksum2() const { return m_v.u32(28); }
    // The bytes the header's checksum covers.
    static constexpr size_t kChecksummed = 24;

private:
    PageView m_v;
};

class WalFrameHeader
{
public:
    explicit WalFrameHeader(const uint8_t* data) : m_v(data, uint32_t(kWalFrameHeaderSize)) {}
    uint32_t page() const { return m_v.u32(0); }
    // The database's size in pages after the commit this frame ends; 0 when it ends none.
    uint32_t dbSizeAfterCommit() const { return m_v.u32(4); }
    uint32_t salt1() const { return m_v.u32(8); }
    uint32_t salt2() const { return m_v.u32(12); }
    uint32_t checksum1() const { return m_v.u32(16); }
    uint32_t checksum2() const { return m_v.u32(20); }
    // The frame header's bytes its checksum covers (the page follows).
    static constexpr size_t kChecksummed = 8;

private:
    PageView m_v;
};

// A b-tree page image read through a bounded view: its header (at 100 on page 1), its cell
// pointers and its chain of free blocks [next u16][size u16].
class BtreePage
{
public:
    BtreePage(const uint8_t* page, uint32_t usable, bool firstPage)
        : m_v(page, usable), m_hdr(firstPage ? uint32_t(kHeaderSize) : 0)
    {
    }
    const PageView& view() const { return m_v; }
    uint32_t headerOffset() const { return m_hdr; }
    uint8_t type() const { return m_v.u8(m_hdr); }
    bool isBtree() const { return isBtreeType(type()); }
    bool isLeaf() const { return isLeafType(type()); }
    bool isTable() const { return isTableType(type()); }
    uint32_t headerSize() const { return uint32_t(isLeaf() ? kLeafHeaderSize : kInteriorHeaderSize); }
    uint32_t cellCount() const { return m_v.u16(m_hdr + kPageOffCellCount); }
    // Where the cell content area starts (0 in the header means 65536).
    uint32_t contentStart() const
    {
        const uint32_t v = m_v.u16(m_hdr + kPageOffContentStart);
        return v ? v : kMaxPageSize;
    }
    uint32_t firstFreeblock() const { return m_v.u16(m_hdr + kPageOffFreeblock); }
    uint32_t rightChild() const { return m_v.u32(m_hdr + kPageOffRightChild); }
    uint32_t pointersStart() const { return m_hdr + headerSize(); }
    // The end of the cell pointer array; pointersStart() when the count would overrun the page.
    uint32_t pointersEnd() const
    {
        const uint64_t end = uint64_t(pointersStart()) + 2ull * cellCount();
        return end > m_v.size() ? pointersStart() : uint32_t(end);
    }
    bool countFits() const { return uint64_t(pointersStart()) + 2ull * cellCount() <= m_v.size(); }
    uint32_t cellPointer(uint32_t i) const { return m_v.u16(pointersStart() + 2 * i); }
    uint32_t freeblockNext(uint32_t at) const { return m_v.u16(at); }
    uint32_t freeblockSize(uint32_t at) const { return m_v.u16(at + 2); }

private:
    PageView m_v;
    uint32_t m_hdr;
};

// A freelist trunk page: [next trunk u32][leaf count u32][leaf page u32 ...].
class TrunkPage
{
public:
    TrunkPage(const uint8_t* page, uint32_t usable) : m_v(page, usable) {}
    uint32_t next() const { return m_v.u32(0); }
    uint32_t leafCount() const { return m_v.u32(4); }
    // The most leaves the page has room for.
    uint32_t maxLeaves() const { return m_v.size() >= 8 ? m_v.size() / 4 - 2 : 0; }
    uint32_t leaf(uint32_t i) const { return m_v.u32(8 + 4 * i); }

private:
    PageView m_v;
};

// 64-bit hash of a byte range (not cryptographic): equal encodings give equal hashes.
inline uint64_t hashBytes(const uint8_t* p, size_t n, uint64_t seed)
{
    return XXH3_64bits_withSeed(p, n, seed);
}

} // namespace sqlcarve::fmt
