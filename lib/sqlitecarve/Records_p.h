#pragma once

// What the carver's stages hand each other: limits, the page map's kinds, live-row keys, carved
// candidates and the cells being parsed.

#include "Format_p.h"
#include "PageSource_p.h"
#include "Schema_p.h"
#include "sqlitecarve/Carver.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace sqlcarve {

using namespace fmt;

// Progress is reported (and cancellation checked) every this many pages.
constexpr size_t kProgressEveryPages = 64;
// Indexed values are looked up in index pages by their first this many bytes; shorter keys
// match too much by chance.
constexpr size_t kIndexKeyBytes = 8;
// Rowid gaps wider than this are not searched for a position's rowid.
constexpr int64_t kMaxRowidGap = 4096;

enum PageKind : uint8_t { kUnknown, kTablePage, kIndexPage, kOverflowPage, kTrunkPage, kFreePage, kPointerMapPage };

// Large arrays filled front to back get transparent huge pages where the system offers them on
// request: one fault per 2 MB instead of one per 4 KB.
inline void hugePages(const void* data, size_t bytes)
{
    constexpr uintptr_t kHuge = 2u << 20;
    const uintptr_t from = (uintptr_t(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t to = (uintptr_t(data) + bytes) & ~(kHuge - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

template <class T>
void reserveLarge(std::vector<T>& v, size_t n)
{
    v.reserve(n);
    hugePages(v.data(), v.capacity() * sizeof(T));
}

// A growable array of plain values whose growth copies nothing: realloc hands a large block to
// the system to move, so the pages already filled go along instead of being copied into fresh
// ones that must first be cleared. A million carved candidates would otherwise be written
// three or four times over.
template <class T>
class PodArray
{
    static_assert(std::is_trivially_copyable_v<T>, "moved as bytes");

public:
    PodArray() = default;
    PodArray(const PodArray& o) { *this = o; }
    PodArray(PodArray&& o) noexcept { swap(o); }
    ~PodArray() { std::free(m_data); }
    PodArray& operator=(const PodArray& o)
    {
        if (this != &o) {
            m_size = 0;
            append(o.begin(), o.end());
        }
        return *this;
    }
    PodArray& operator=(PodArray&& o) noexcept
    {
        swap(o);
        return *this;
    }
    void swap(PodArray& o) noexcept
    {
        std::swap(m_data, o.m_data);
        std::swap(m_size, o.m_size);
        std::swap(m_capacity, o.m_capacity);
    }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    size_t capacity() const { return m_capacity; }
    T* data() { return m_data; }
    const T* data() const { return m_data; }
    T* begin() { return m_data; }
    T* end() { return m_data + m_size; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_size; }
    T& operator[](size_t i) { return m_data[i]; }
    const T& operator[](size_t i) const { return m_data[i]; }
    T& back() { return m_data[m_size - 1]; }

    void push_back(const T& v)
    {
        if (m_size == m_capacity)
            grow(m_size + 1);
        std::memcpy(static_cast<void*>(m_data + m_size), &v, sizeof(T));
        ++m_size;
    }
    void append(const T* first, const T* last)
    {
        const size_t n = size_t(last - first);
        if (m_size + n > m_capacity)
            grow(m_size + n);
        if (n)
            std::memcpy(static_cast<void*>(m_data + m_size), first, n * sizeof(T));
        m_size += n;
    }
    void clear() { m_size = 0; }
    void reserve(size_t n)
    {
        if (n > m_capacity)
            resizeBlock(n);
    }

private:
    void grow(size_t needed) { resizeBlock(std::max(needed, m_capacity + m_capacity / 2 + 64)); }
    void resizeBlock(size_t n)
    {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        void* p = std::realloc(static_cast<void*>(m_data), n * sizeof(T));
        if (!p)
            throw std::bad_alloc();
        m_data = static_cast<T*>(p);
        m_capacity = n;
        hugePages(m_data, n * sizeof(T));
    }

    T* m_data = nullptr;
    size_t m_size = 0, m_capacity = 0;
};

template <class T>
void reserveLarge(PodArray<T>& v, size_t n)
{
    v.reserve(n);
}

// A large array of n copies of value, on huge pages where offered.
template <class T>
std::vector<T> largeVector(size_t n, const T& value = T())
{
    std::vector<T> v;
    reserveLarge(v, n);
    v.assign(n, value);
    return v;
}

// A live row's content hashes and rowid, kept for each of hundreds of thousands of rows: the
// table is folded into the first column's hash (both hashes are seeded with it already) rather
// than kept beside it.
struct LiveKey {
    LiveKey(uint64_t t, uint64_t h, int64_t r, uint32_t table, uint64_t p = 0)
        : tail(t), head(h ^ (uint64_t(table) + 1) * 0x9E3779B97F4A7C15ull), rowid(r), prefix(p)
    {
    }
    uint64_t tail;
    uint64_t head;
    int64_t rowid;
    uint64_t prefix; // Hashes::prefix
};

// 16 bytes: tables are numbered in 16 bits (Catalog), and a record lies inside a page of at most
// 64 KB.
struct LiveRowid {
    LiveRowid(uint32_t t, int64_t r, uint32_t p, uint32_t o) : rowid(r), page(p), table(uint16_t(t)), offset(uint16_t(o)) {}
    int64_t rowid;
    uint32_t page;
    uint16_t table;
    uint16_t offset; // of the record (after the cell prefix) in the page
    bool operator<(const LiveRowid& o) const { return table != o.table ? table < o.table : rowid < o.rowid; }
};

enum RowidHow : uint8_t { kRowidCell, kRowidIndex, kRowidPosition };

// Everything needed to decode a carved record again once it has won deduplication.
struct Candidate {
    uint64_t tail = 0;       // hash of the stored columns after the first (serial types and body)
    uint64_t head = 0;       // hash of the first stored column
    int64_t rowid = 0;
    uint64_t offset = 0;     // reported: the cell (or freeblock) start in its file
    uint64_t typesOffset = 0;
    uint64_t bodyOffset = 0;
    uint32_t bodySize = 0;
    uint32_t bodyLocal = 0;
    uint32_t overflowPage = 0;
    uint32_t page = 0;
    uint32_t frame = 0;
    uint16_t table = 0;
    uint16_t lost = 0;
    uint8_t source = 0;
    uint8_t file = 0;
    bool hasRowid = false;
    bool implied = false;
    bool cut = false; // its tail was overwritten by newer data
    uint8_t rowidHow = kRowidCell;
    uint16_t impliedType = 0;
    uint64_t prefix = 0; // Hashes::prefix
};
using Candidates = PodArray<Candidate>;


// A page of a live b-tree to visit: rowid bounds travel down table trees (a child holds keys in
// (lo, hi]).
struct Step {
    uint32_t pg;
    int depth;
    int64_t lo, hi;
    uint32_t root;
    int table, index;
};

struct IndexLayout {
    int table = -1;
    std::vector<int> columns; // stored positions in the table's record, in index order
};

// Bytes of an index page that may hold deleted index entries.
struct IndexRegion {
    // In the engine's copy of the regions' bytes when they are kept; else the file (top byte)
    // and the offset in it.
    uint64_t at;
    uint32_t size;
    int32_t index; // IndexLayout the page belongs to, -1 unknown
};

constexpr int kFileShift = 56;
constexpr uint64_t kOffsetMask = (uint64_t(1) << kFileShift) - 1;

// Where an index region lies; kept only when deleted index entries are reported as rows.
struct IndexRegionPlace {
    enum Kind : uint8_t { kFreeblock, kGap, kImage }; // a live page's free block or gap; an old or freed page
    uint64_t fileOffset = 0; // where the region starts in its file
    uint32_t page = 0;
    uint8_t file = kDb;
    Kind kind = kImage;
    bool superseded = false; // a main-file image the -wal holds a newer one of: history, as the -wal's are
};

// Indexed values of a carved row that lost its rowid, to look for in deleted index entries.
struct Probe {
    uint64_t key;     // the values' first bytes
    uint32_t cand;
    uint32_t at;      // in the probe arena: serial types, then the values
    uint16_t index;
    uint16_t typesLen;
    uint32_t bodyLen;
};

struct Ctx {
    FileId file = kDb;
    Source cellSource = Source::Freelist;
    Source freeSource = Source::Freeblock;
    Source unallocSource = Source::Unallocated;
    bool orphan = false; // a page no tree reaches and no freelist lists
    const uint8_t* page = nullptr;
    uint64_t pageBase = 0; // absolute offset of the page image in its file
    uint32_t pgno = 0;
    uint32_t frame = 0;
    int preferTable = -1;
    bool masterOnly = false;
};

struct Parsed {
    int table = -1;
    bool hasRowid = false;
    int64_t rowid = 0;
    bool implied = false;      // the first serial type was lost and is impliedType
    uint64_t impliedType = 0;
    const uint8_t* start = nullptr; // cell (or freeblock) start
    const uint8_t* types = nullptr; // first serial type present
    const uint8_t* body = nullptr;
    uint32_t bodySize = 0;
    uint32_t bodyLocal = 0;
    uint32_t overflowPage = 0;
    const uint8_t* end = nullptr; // end of the local part
    bool cut = false;             // its tail was overwritten: bodyLocal is what survives
};

// The file's geometry, as the header and the -wal give it.
struct Geometry {
    uint32_t pageSize = 0;
    uint32_t usable = 0;
    uint32_t encoding = Utf8;
    uint32_t pageCount = 0;
    uint32_t walFrames = 0;
};

inline int64_t readInt(const uint8_t* p, int size)
{
    if (size <= 0)
        return 0;
    int64_t v = int8_t(p[0]);
    for (int i = 1; i < size; ++i)
        v = int64_t(uint64_t(v) << 8 | p[i]);
    return v;
}

// Whether a value of serial type t may sit in column c.
inline bool compatible(const StoredColumn& c, uint64_t t)
{
    if (c.rowidAlias)
        return t == 0;
    if (t == 0)
        return !c.notNull;
    if (t == 10 || t == 11)
        return false;
    switch (c.affinity) {
    case Affinity::Integer:
    case Affinity::Real:
        return t <= 9;
    case Affinity::Text:
        return t >= 13 && (t & 1); // numbers become text; a blob here is rare enough to refuse
    case Affinity::Numeric:
    case Affinity::Blob:
        return true;
    }
    return true;
}

// A record's bytes taken at the start of its body, with every serial type, to tell a row cut
// short from the rows it may be a copy of (those bytes and types alike).
constexpr size_t kPrefixBytes = 16;

// Hashes of a record whose serial types are [typesBegin, typesEnd) and whose body is `body`.
struct Hashes {
    uint64_t tail, head;
    uint64_t prefix; // the serial types after the first and the body's first kPrefixBytes
};
inline Hashes hashRecord(size_t table, const uint8_t* typesBegin, const uint8_t* typesEnd, const uint64_t* implied,
                         const uint8_t* body, size_t bodySize)
{
    // The first stored column may have lost its serial type (merged freeblock); leaving it out
    // of the tail lets every copy of a row hash alike.
    uint64_t firstType = implied ? *implied : 0;
    const uint8_t* restTypes = typesBegin;
    if (!implied) {
        const int k = getVarint(typesBegin, typesEnd, &firstType);
        restTypes += k;
    }
    const int64_t firstSize = std::max<int64_t>(0, serialSize(firstType));
    const size_t fs = size_t(std::min<int64_t>(firstSize, int64_t(bodySize)));
    Hashes h;
    h.head = hashBytes(body, fs, firstType * 0x100000001b3ull + table);
    const uint64_t ht = hashBytes(restTypes, size_t(typesEnd - restTypes), table + 77);
    h.tail = hashBytes(body + fs, bodySize - fs, ht);
    h.prefix = hashBytes(body, std::min(bodySize, kPrefixBytes), ht ^ h.head);
    return h;
}

// Sorts a vector that is nearly in order, as candidates in page order are (each page's few out
// of order among themselves, a few more from other scans far away): an insertion sort moves
// those that belong at most kNear places back; the rest are sorted apart and merged in.
template <class T>
void sortNearlySorted(std::vector<T>& v)
{
    constexpr size_t kNear = 64;
    std::vector<T> far;
    size_t n = 0; // v[0, n) is sorted; v[i] is read before v[n] (n <= i) is written
    for (size_t i = 0; i < v.size(); ++i) {
        const T x = v[i];
        size_t j = n;
        while (j > 0 && n - j < kNear && x < v[j - 1])
            --j;
        if (j > 0 && x < v[j - 1]) {
            far.push_back(x);
            continue;
        }
        for (size_t k = n; k > j; --k)
            v[k] = v[k - 1];
        v[j] = x;
        ++n;
    }
    if (far.empty())
        return;
    std::sort(far.begin(), far.end());
    std::copy(far.begin(), far.end(), v.begin() + long(n));
    std::inplace_merge(v.begin(), v.begin() + long(n), v.end());
}

} // namespace sqlcarve
