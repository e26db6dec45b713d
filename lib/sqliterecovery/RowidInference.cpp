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
// The carver reports where each row sat (sqlcarve::CarvedRow::placement); this file opens no file.

#include "RecoveryContext_p.h"

#include "utility/Log.h"

#include <algorithm>
#include <limits>

namespace sqlrecovery {

namespace {

const int64_t kUnbounded = std::numeric_limits<int64_t>::max();
// Free rowids looked at per slot: enough to tell "exactly k" from "more than k".
const int64_t kMaxProbe = 1 << 20;

std::string lowerName(const char* s)
{
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

} // namespace

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

    // The carver placed each row read from the main file between the cells around it.
    std::vector<PlacedRow> placed;
    for (size_t i = 0; i < unknown.size(); ++i) {
        PlacedRow p{i, 0, top, 0, false};
        if (const auto& at = unknown[i]->placement) {
            p.lower = at->lower;
            p.upper = at->upper == INT64_MAX ? top : at->upper;
            p.order = at->order;
            p.ranked = at->ranked;
        }
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
