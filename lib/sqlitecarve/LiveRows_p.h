#pragma once

// The live rows: a hash of each one's content (and rowid), so carved copies of live rows are
// told apart from deleted ones, and each live rowid with the page and offset of its record.

#include "Records_p.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace sqlcarve {

class LiveRows
{
public:
    // Room for about `rows` live rows; only what is filled is touched.
    void reserve(size_t rows)
    {
        reserveLarge(m_keys, rows);
        reserveLarge(m_rowids, rows);
    }
    void clear()
    {
        m_keys.clear();
        m_rowids.clear();
    }
    // A live row's content hashes; its rowid's place when it has one.
    void add(const LiveKey& key, uint32_t table, bool hasRowid, uint32_t page, uint32_t offset)
    {
        m_keys.push_back(key);
        if (hasRowid)
            m_rowids.push_back({table, key.rowid, page, offset});
    }
    // Another set's rows, after these.
    void append(const LiveRows& o)
    {
        m_keys.insert(m_keys.end(), o.m_keys.begin(), o.m_keys.end());
        m_rowids.insert(m_rowids.end(), o.m_rowids.begin(), o.m_rowids.end());
    }
    // Once every live row is in: the look-up sets, and the rowids in order.
    void build(bool twoThreads = false)
    {
        buildSlots(twoThreads);
        // Leaves are read in file order, by one thread or two: mostly one sorted run per thread.
        const auto descent = std::is_sorted_until(m_rowids.begin(), m_rowids.end());
        if (descent == m_rowids.end())
            return;
        if (std::is_sorted(descent, m_rowids.end()))
            std::inplace_merge(m_rowids.begin(), descent, m_rowids.end());
        else
            std::sort(m_rowids.begin(), m_rowids.end());
    }
    bool built() const { return !m_exact.empty(); }
    // Whether a live row of the key's table holds this content under this rowid.
    bool containsExact(const LiveKey& key) const { return liveSet(m_exact, key, true); }
    // The content sets are done with once candidates are judged: their room goes to later passes.
    void releaseContent()
    {
        std::vector<LiveKey>().swap(m_keys);
        std::vector<uint32_t>().swap(m_exact);
        std::vector<uint32_t>().swap(m_any);
    }
    // Each live row's Hashes::prefix, until releaseContent().
    template <class F>
    void forEachPrefix(F&& f) const
    {
        for (const LiveKey& k : m_keys)
            f(k.prefix);
    }
    // Live rowids, sorted by (table, rowid).
    const std::vector<LiveRowid>& rowids() const { return m_rowids; }
    const LiveRowid* find(uint32_t table, int64_t rowid) const
    {
        auto it = std::lower_bound(m_rowids.begin(), m_rowids.end(), LiveRowid{table, rowid, 0, 0});
        return it != m_rowids.end() && it->table == table && it->rowid == rowid ? &*it : nullptr;
    }
    bool hasRowid(uint32_t table, int64_t rowid) const
    {
        const LiveRowid key{table, rowid, 0, 0};
        auto it = std::lower_bound(m_rowids.begin(), m_rowids.end(), key);
        return it != m_rowids.end() && it->table == table && it->rowid == rowid;
    }

    bool isLive(const Candidate& c) const
    {
        if (m_any.empty())
            return false;
        LiveKey key{c.tail, c.head, INT64_MIN, c.table};
        if (!c.hasRowid)
            return liveSet(m_any, key, false);
        if (liveSet(m_exact, key, true))
            return true; // a live row stored without rowid
        key.rowid = c.rowid;
        return liveSet(m_exact, key, true);
    }

    // isLive for every candidate, in batches: rowless ones (most) are looked up with their slots
    // fetched ahead.
    std::vector<uint8_t> flags(const Candidates& cands) const
    {
        std::vector<uint8_t> live = largeVector<uint8_t>(cands.size());
        if (m_any.empty())
            return live;
        const size_t mask = m_any.size() - 1;
        size_t h[kLiveBatch];
        for (size_t i = 0; i < cands.size(); i += kLiveBatch) {
            const size_t n = std::min(kLiveBatch, cands.size() - i);
            for (size_t k = 0; k < n; ++k) {
                const Candidate& c = cands[i + k];
                h[k] = liveHash(LiveKey{c.tail, c.head, INT64_MIN, c.table}, false);
                if (!c.hasRowid)
                    __builtin_prefetch(&m_any[h[k] & mask]);
            }
            for (size_t k = 0; k < n; ++k) {
                const Candidate& c = cands[i + k];
                live[i + k] = c.hasRowid ? isLive(c) : liveSetFrom(m_any, h[k], LiveKey{c.tail, c.head, INT64_MIN, c.table}, false);
            }
        }
        return live;
    }

private:
    static size_t liveHash(const LiveKey& k, bool withRowid)
    {
        uint64_t h = k.tail * 0x9E3779B97F4A7C15ull;
        h = (h ^ k.head) * 0xC2B2AE3D27D4EB4Full;
        if (withRowid)
            h = (h ^ uint64_t(k.rowid)) * 0x9E3779B97F4A7C15ull;
        return size_t(h >> 32);
    }
    static bool sameLive(const LiveKey& a, const LiveKey& b, bool withRowid)
    {
        return a.tail == b.tail && a.head == b.head && (!withRowid || a.rowid == b.rowid);
    }

    // Whether key is in an open-addressing set of m_keys indexes.
    bool liveSet(const std::vector<uint32_t>& slots, const LiveKey& key, bool withRowid) const
    {
        return liveSetFrom(slots, liveHash(key, withRowid), key, withRowid);
    }
    bool liveSetFrom(const std::vector<uint32_t>& slots, size_t hash, const LiveKey& key, bool withRowid) const
    {
        const size_t mask = slots.size() - 1;
        for (size_t s = hash & mask;; s = (s + 1) & mask) {
            if (slots[s] == UINT32_MAX)
                return false;
            if (sameLive(m_keys[slots[s]], key, withRowid))
                return true;
        }
    }
    // Adds m_keys[index] to a set unless an equal key is there.
    void insert(std::vector<uint32_t>& slots, size_t hash, uint32_t index, bool withRowid)
    {
        const size_t mask = slots.size() - 1;
        for (size_t s = hash & mask;; s = (s + 1) & mask) {
            if (slots[s] == UINT32_MAX) {
                slots[s] = index;
                return;
            }
            if (sameLive(m_keys[slots[s]], m_keys[index], withRowid))
                return;
        }
    }

    // Hash set work comes in batches whose slots are fetched ahead: one cache miss per entry
    // otherwise, and a million of them.
    static constexpr size_t kLiveBatch = 16;

    // Two sets over the live rows instead of sorting them all: by content and rowid, and by
    // content alone. Equal keys are kept once, so a file of identical rows keeps chains short.
    // Each set is filled on a core of its own when there are enough rows: they only share the
    // keys, which nothing writes meanwhile.
    void buildSlots(bool twoThreads)
    {
        size_t size = 1024;
        while (size < m_keys.size() * 2)
            size <<= 1;
        if (twoThreads) {
            std::thread exact([this, size] { fill(m_exact, size, true); });
            fill(m_any, size, false);
            exact.join();
        } else {
            fill(m_exact, size, true);
            fill(m_any, size, false);
        }
    }
    void fill(std::vector<uint32_t>& slots, size_t size, bool withRowid)
    {
        slots = largeVector<uint32_t>(size, UINT32_MAX);
        const size_t mask = slots.size() - 1;
        size_t h[kLiveBatch];
        for (size_t i = 0; i < m_keys.size(); i += kLiveBatch) {
            const size_t n = std::min(kLiveBatch, m_keys.size() - i);
            for (size_t k = 0; k < n; ++k) {
                h[k] = liveHash(m_keys[i + k], withRowid);
                __builtin_prefetch(&slots[h[k] & mask], 1);
            }
            for (size_t k = 0; k < n; ++k)
                insert(slots, h[k], uint32_t(i + k), withRowid);
        }
    }

    std::vector<LiveKey> m_keys;
    std::vector<uint32_t> m_exact, m_any; // open addressing over m_keys: by content and rowid, by content
    std::vector<LiveRowid> m_rowids;
};

} // namespace sqlcarve
