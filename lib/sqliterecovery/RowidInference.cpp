// Rowids of deleted rows that lost them. A row freed into a freeblock loses its first four bytes
// (payload length, rowid, start of the record header) to the freeblock's own header, so joins by
// rowid (a person's phone numbers, a note's body, a message's pieces) fail for it. What is left
// pins the rowid down:
// - cells fill a leaf page from its end downwards, so on a page of an append-only table a larger
//   offset means an earlier insert, a smaller rowid; the live cells (and carved rows that kept
//   their rowid) around a deleted row bound its rowid from both sides;
// - the deleted rowids are those no live row holds (up to sqlite_sequence's seq for AUTOINCREMENT
//   tables);
// - keys that deleted child rows still hold for parents that are not live name exactly the
//   deleted parents.
// A rowid is only assigned when these leave one answer; otherwise the row stays without one.
//
// Table leaf page (offsets from the page start; page 1 starts after the 100-byte file header):
//   0   1  page type (13: table leaf)
//   3   2  number of cells
//   5   2  start of the cell content area
//   8  2n  cell pointers (offsets from the page start)
// Table leaf cell: varint payload length, varint rowid, record...
// File header: 16 2 page size (1 means 65536); 20 1 reserved bytes at the end of each page.

#include "RecoveryContext_p.h"

#include "utility/Log.h"

#include <QFile>

#include <algorithm>
#include <limits>

namespace sqlrecovery {

namespace {

const uint8_t kTableLeaf = 13;
const uint32_t kFileHeaderSize = 100;
const uint32_t kOffPageSize = 16;
const uint32_t kOffReserved = 20;
const uint32_t kOffCellCount = 3;
const uint32_t kLeafHeaderSize = 8;
const uint32_t kMinPageSize = 512;
const uint32_t kMaxPageSize = 65536;
const int64_t kUnbounded = std::numeric_limits<int64_t>::max();
// Free rowids looked at per slot: enough to tell "exactly k" from "more than k".
const int64_t kMaxProbe = 1 << 20;

// Bounded reader over one page image.
class Cursor
{
public:
    Cursor(const QByteArray& bytes, uint32_t end) : m_data(bytes), m_end(std::min<uint32_t>(end, uint32_t(bytes.size()))) {}

    bool seek(uint32_t pos)
    {
        m_pos = pos;
        return pos < m_end;
    }
    bool u8(uint8_t& out)
    {
        if (m_pos + 1 > m_end)
            return false;
        out = uint8_t(m_data[int(m_pos++)]);
        return true;
    }
    bool u16(uint32_t& out)
    {
        uint8_t a, b;
        if (!u8(a) || !u8(b))
            return false;
        out = (uint32_t(a) << 8) | b;
        return true;
    }
    bool varint(int64_t& out)
    {
        uint64_t v = 0;
        for (int i = 0; i < 9; ++i) {
            uint8_t b;
            if (!u8(b))
                return false;
            if (i == 8) {
                v = (v << 8) | b;
                break;
            }
            v = (v << 7) | (b & 0x7f);
            if (!(b & 0x80))
                break;
        }
        out = int64_t(v);
        return true;
    }

private:
    const QByteArray& m_data;
    uint32_t m_end;
    uint32_t m_pos = 0;
};

// The main database file, read a page at a time.
class PageFile
{
public:
    explicit PageFile(const QString& path) : m_file(path)
    {
        if (!m_file.open(QIODevice::ReadOnly))
            return;
        const QByteArray header = m_file.read(kFileHeaderSize);
        if (header.size() < int(kFileHeaderSize) || !header.startsWith("SQLite format 3"))
            return;
        uint32_t size = (uint32_t(uint8_t(header[kOffPageSize])) << 8) | uint8_t(header[kOffPageSize + 1]);
        if (size == 1)
            size = kMaxPageSize;
        const uint32_t reserved = uint8_t(header[kOffReserved]);
        if (size < kMinPageSize || size > kMaxPageSize || (size & (size - 1)) || reserved >= size / 2)
            return;
        m_pageSize = size;
        m_usable = size - reserved;
    }

    bool isOpen() const { return m_pageSize != 0; }
    uint32_t pageSize() const { return m_pageSize; }
    uint32_t usable() const { return m_usable; }
    uint64_t pageStart(uint32_t pgno) const { return uint64_t(pgno - 1) * m_pageSize; }

    const QByteArray* page(uint32_t pgno)
    {
        auto it = m_pages.find(pgno);
        if (it != m_pages.end())
            return it->second.size() == int(m_pageSize) ? &it->second : nullptr;
        QByteArray bytes;
        if (pgno > 0 && m_file.seek(qint64(pageStart(pgno))))
            bytes = m_file.read(m_pageSize);
        auto& stored = m_pages[pgno] = bytes;
        return stored.size() == int(m_pageSize) ? &stored : nullptr;
    }

private:
    QFile m_file;
    uint32_t m_pageSize = 0;
    uint32_t m_usable = 0;
    std::map<uint32_t, QByteArray> m_pages;
};

std::string lowerName(const char* s)
{
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

} // namespace

std::optional<std::vector<std::pair<uint32_t, int64_t>>> tableLeafCells(const QByteArray& page, bool firstPage,
                                                                        uint32_t usable)
{
    const uint32_t hdr = firstPage ? kFileHeaderSize : 0;
    Cursor c(page, usable);
    uint8_t type;
    uint32_t count;
    if (!c.seek(hdr) || !c.u8(type) || type != kTableLeaf || !c.seek(hdr + kOffCellCount) || !c.u16(count))
        return std::nullopt;
    const uint32_t pointersEnd = hdr + kLeafHeaderSize + 2 * count;
    if (pointersEnd > usable)
        return std::nullopt;
    std::vector<std::pair<uint32_t, int64_t>> cells;
    cells.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t ptr;
        int64_t payload, rowid;
        if (!c.seek(hdr + kLeafHeaderSize + 2 * i) || !c.u16(ptr) || ptr < pointersEnd || !c.seek(ptr)
            || !c.varint(payload) || !c.varint(rowid))
            return std::nullopt;
        cells.emplace_back(ptr, rowid);
    }
    return cells;
}

std::map<size_t, int64_t> assignRowids(std::vector<PlacedRow> rows, const std::function<bool(int64_t)>& taken,
                                       const std::set<int64_t>& orphanKeys)
{
    std::map<size_t, int64_t> out;
    std::set<int64_t> given;
    auto isFree = [&](int64_t x) { return x > 0 && !taken(x) && !given.count(x); };
    std::stable_sort(rows.begin(), rows.end(), [](const PlacedRow& a, const PlacedRow& b) {
        return std::tie(a.lower, a.upper, a.order) < std::tie(b.lower, b.upper, b.order);
    });

    // Free rowids strictly between the bounds, at most `limit` of them.
    auto freeBetween = [&](int64_t lower, int64_t upper, size_t limit) {
        std::vector<int64_t> found;
        int64_t probed = 0;
        for (int64_t x = std::max<int64_t>(lower, 0) + 1; x < upper && found.size() < limit && probed < kMaxProbe;
             ++x, ++probed)
            if (isFree(x))
                found.push_back(x);
        if (probed == kMaxProbe)
            found.assign(limit, 0); // too wide to count: reads as "too many"
        return found;
    };

    // Groups of rows sharing bounds, narrowest first, so rows placed exactly claim their rowids
    // before rows that are only known to lie somewhere on a page.
    std::vector<std::pair<size_t, size_t>> groups; // [begin, end) in `rows`
    for (size_t i = 0, j = 0; i < rows.size(); i = j) {
        while (j < rows.size() && rows[j].lower == rows[i].lower && rows[j].upper == rows[i].upper)
            ++j;
        groups.emplace_back(i, j);
    }
    std::stable_sort(groups.begin(), groups.end(), [&rows](const auto& a, const auto& b) {
        const auto width = [](const PlacedRow& r) { return uint64_t(r.upper) - uint64_t(r.lower); };
        return width(rows[a.first]) < width(rows[b.first]);
    });
    std::vector<const PlacedRow*> open;
    bool openRanked = true; // every group of open rows sharing bounds can be put in order
    for (const auto& group : groups) {
        const size_t i = group.first, j = group.second, k = j - i;
        bool ranked = true;
        for (size_t n = i; n < j; ++n)
            ranked = ranked && rows[n].ranked;
        const int64_t lower = rows[i].lower, upper = rows[i].upper;
        std::vector<int64_t> pick;
        if (upper > lower + 1 && (ranked || k == 1)) {
            pick = freeBetween(lower, upper, k + 1);
            if (pick.size() != k) {
                pick.clear();
                for (auto it = orphanKeys.upper_bound(lower); it != orphanKeys.end() && *it < upper; ++it)
                    if (isFree(*it))
                        pick.push_back(*it);
            }
        }
        if (pick.size() == k) {
            for (size_t n = 0; n < k; ++n) {
                out[rows[i + n].row] = pick[n];
                given.insert(pick[n]);
            }
        } else {
            for (size_t n = i; n < j; ++n)
                open.push_back(&rows[n]);
            openRanked = openRanked && (ranked || k == 1);
        }
    }
    std::stable_sort(open.begin(), open.end(), [](const PlacedRow* a, const PlacedRow* b) {
        return std::tie(a->lower, a->upper, a->order) < std::tie(b->lower, b->upper, b->order);
    });

    // The rows still open and the orphan keys nobody took, when equally many, are the same
    // parents; in order, each key must fit its row's bounds.
    std::vector<int64_t> keys;
    for (int64_t key : orphanKeys)
        if (isFree(key))
            keys.push_back(key);
    if (open.empty() || keys.size() != open.size() || !openRanked)
        return out;
    for (size_t n = 0; n < open.size(); ++n)
        if (keys[n] <= open[n]->lower || keys[n] >= open[n]->upper)
            return out;
    for (size_t n = 0; n < open.size(); ++n)
        out[open[n]->row] = keys[n];
    return out;
}

void ScanContext::inferRowids(const std::string& name, std::initializer_list<std::pair<const char*, const char*>> children)
{
    auto found = m_tables.find(lowerName(name.c_str()));
    if (!m_infer || found == m_tables.end() || !found->second.schema || found->second.schema->withoutRowid)
        return;
    CarvedTable& table = found->second;
    std::vector<const Row*> unknown;
    std::set<int64_t> carvedIds;
    for (const Row* row : table.rows) {
        if (const auto id = rowidOf(table, *row))
            carvedIds.insert(*id);
        else
            unknown.push_back(row);
    }
    if (unknown.empty() || !m_live.isOpen())
        return;

    std::vector<int64_t> live;
    for (const auto& r : m_live.rows("SELECT rowid FROM \"" + table.schema->name + "\" ORDER BY rowid"))
        live.push_back(r.front().toLongLong());
    auto isLive = [&live](int64_t x) { return std::binary_search(live.begin(), live.end(), x); };

    std::set<int64_t> orphanKeys;
    for (const auto& child : children) {
        const CarvedTable& t = this->table(child.first);
        const int col = t.col(child.second);
        for (const Row* row : t.rows)
            if (const auto key = integer(t, *row, col); key && *key > 0 && !isLive(*key) && !carvedIds.count(*key))
                orphanKeys.insert(*key);
    }

    int64_t top = kUnbounded;
    if (m_live.isAutoincrement(table.schema->name)) {
        const QVariant seq = m_live.value("SELECT seq FROM sqlite_sequence WHERE name = ?",
                                          {QString::fromStdString(table.schema->name)});
        if (seq.isValid())
            top = std::max<int64_t>(seq.toLongLong(), live.empty() ? 0 : live.back()) + 1;
    }

    // Place each row between the cells around it on its page. Only rows read from the main
    // file's free space are placed: their page is the one they were deleted from.
    PageFile file(m_path);
    using Anchors = std::vector<std::pair<uint32_t, int64_t>>; // (offset in page, rowid)
    // Cells of known rowid on a page, from the largest offset down; null unless their rowids
    // rise as offsets fall, the order of an append-only page, and each is one of this table's.
    auto inOrder = [&](Anchors& a) {
        std::sort(a.begin(), a.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
        for (size_t n = 0; n < a.size(); ++n)
            if ((n > 0 && a[n - 1].second >= a[n].second) || !(isLive(a[n].second) || carvedIds.count(a[n].second)))
                return false;
        return true;
    };
    auto pageAnchors = [&](uint32_t pgno, bool inTree) -> std::optional<Anchors> {
        const uint64_t start = file.pageStart(pgno);
        Anchors carved;
        for (const Row* other : table.rows)
            if (other->page == pgno && other->rowid && other->offset >= start && other->offset < start + file.pageSize()
                && other->source != sqlcarve::Source::Wal && other->source != sqlcarve::Source::Journal)
                carved.emplace_back(uint32_t(other->offset - start), *other->rowid);
        std::optional<Anchors> cells;
        if (const QByteArray* page = file.page(pgno))
            cells = tableLeafCells(*page, pgno == 1, file.usable());
        if (cells) {
            cells->insert(cells->end(), carved.begin(), carved.end());
            if (inOrder(*cells))
                return cells;
        }
        // A freelist page's old cells may be gone; the rows carved there with rowids still order it.
        if (!inTree && inOrder(carved))
            return carved;
        return std::nullopt;
    };
    std::vector<PlacedRow> placed;
    std::map<uint32_t, std::optional<Anchors>> anchorsByPage;
    for (size_t i = 0; i < unknown.size(); ++i) {
        const Row& row = *unknown[i];
        PlacedRow p{i, 0, top, 0};
        // Free space of a page in the tree, or a page on the freelist that kept its old cells.
        const bool inTree = row.source == sqlcarve::Source::Freeblock || row.source == sqlcarve::Source::Unallocated;
        const bool mainFile = inTree || row.source == sqlcarve::Source::Freelist;
        if (!file.isOpen() || !mainFile || row.page == 0 || row.offset < file.pageStart(row.page)
            || row.offset >= file.pageStart(row.page) + file.pageSize()) {
            p.ranked = false; // bounds only from what the whole table leaves free
            placed.push_back(p);
            continue;
        }
        auto it = anchorsByPage.find(row.page);
        if (it == anchorsByPage.end())
            it = anchorsByPage.emplace(row.page, pageAnchors(row.page, inTree)).first;
        if (!it->second) {
            p.ranked = false;
            placed.push_back(p);
            continue;
        }
        const auto& anchors = *it->second;
        if (anchors.empty()) {
            p.ranked = false;
            placed.push_back(p);
            continue;
        }
        const uint32_t at = uint32_t(row.offset - file.pageStart(row.page));
        // anchors run from the largest offset (earliest insert) to the smallest.
        size_t below = 0; // anchors at larger offsets than the row
        while (below < anchors.size() && anchors[below].first > at)
            ++below;
        if (row.source == sqlcarve::Source::Unallocated) {
            // Space below the cell area may hold a copy left from before the page was rebuilt,
            // at any place in the page's range: only the range is sure.
            below = anchors.size();
            auto prev = std::lower_bound(live.begin(), live.end(), anchors.front().second);
            auto next = std::upper_bound(live.begin(), live.end(), anchors.back().second);
            p.lower = prev == live.begin() ? 0 : *(prev - 1);
            p.upper = next == live.end() ? top : *next;
            p.order = file.pageSize() - at;
            placed.push_back(p);
            continue;
        }
        // Off the page's edge, the live rows before and after it bound the row only while the
        // page is in the tree; a freelist page's neighbours are unknown.
        if (below > 0) {
            p.lower = anchors[below - 1].second;
        } else if (!inTree) {
            p.lower = 0;
        } else {
            // Before every cell of its page: after the live row before the page's first one.
            auto prev = std::lower_bound(live.begin(), live.end(), anchors.front().second);
            p.lower = prev == live.begin() ? 0 : *(prev - 1);
        }
        if (below < anchors.size()) {
            p.upper = anchors[below].second;
        } else if (!inTree) {
            p.upper = top;
        } else {
            auto next = std::upper_bound(live.begin(), live.end(), anchors.back().second);
            p.upper = next == live.end() ? top : *next;
        }
        // Rows at the top of a page follow those at the bottom of the page before it.
        p.order = (uint64_t(below > 0 ? 0 : 1) << 32) | (file.pageSize() - at);
        placed.push_back(p);
    }

    auto taken = [&](int64_t x) { return isLive(x) || carvedIds.count(x) != 0; };
    int assigned = 0;
    for (const auto& entry : assignRowids(placed, taken, orphanKeys)) {
        table.inferred[unknown[entry.first]] = entry.second;
        ++assigned;
    }
    m_rowidIndex.erase(lowerName(name.c_str()));
    if (assigned)
        Log("SqliteRecovery", 1, " %d of %zu deleted rows of %s given back their rowid", assigned, unknown.size(),
            table.schema->name.c_str());
}

} // namespace sqlrecovery
