#pragma once

#include "Format_p.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace sqlcarve {

// Record bytes of rows carved from the database file are copied while their page is at hand,
// so the rows are decoded without reading the file a second time. Within a budget: past it,
// rows are read back from the file. Chunks grow from 64 KB to 8 MB: a small file costs
// little, a large one few allocations.
// A copy of the engine carving part of the pages has a store of its own, from half of what is
// left of the budget; its chunks are appended to the first store's afterwards.
class RecordStore
{
public:
    static constexpr uint64_t kNone = UINT64_MAX;

    // Where the record's bytes were copied; kNone past the budget.
    uint64_t put(const uint8_t* p, size_t n)
    {
        if (n > kChunk)
            return kNone;
        if (m_chunks.empty() || m_used + n > m_size) {
            const size_t size = std::min(kChunk, std::max(n, (size_t(64) << 10) << std::min<size_t>(m_chunks.size(), 7)));
            if (m_total + size > kBudget)
                return kNone;
            constexpr size_t kHuge = size_t(2) << 20;
            auto* chunk = static_cast<uint8_t*>(size >= kHuge ? std::aligned_alloc(kHuge, (size + kHuge - 1) & ~(kHuge - 1))
                                                              : std::malloc(size));
            if (!chunk)
                return kNone;
            if (size >= kHuge)
                madvise(chunk, size, MADV_HUGEPAGE);
            m_chunks.emplace_back(chunk);
            m_size = size;
            m_total += size;
            m_used = 0;
        }
        std::memcpy(m_chunks.back().get() + m_used, p, n);
        const uint64_t at = uint64_t(m_chunks.size() - 1) << 32 | m_used;
        m_used += n;
        return at;
    }

    const uint8_t* at(uint64_t where) const { return m_chunks[size_t(where >> 32)].get() + (where & 0xffffffffu); }

    // Half of what is left of the budget, set aside for a copy's store; give() returns it.
    size_t lend()
    {
        const size_t lent = (m_total < kBudget ? kBudget - m_total : 0) / 2;
        m_total += lent;
        return lent;
    }
    void give(size_t lent) { m_total -= lent; }
    // A copy's store, with the budget `lender` set aside for it.
    void borrowFrom(const RecordStore& lender)
    {
        const size_t left = lender.m_total < kBudget ? kBudget - lender.m_total : 0;
        m_total = m_base = kBudget - left / 2;
    }
    // Appends a copy's chunks; returns what to add to the places it handed out.
    uint64_t append(RecordStore& w)
    {
        const uint64_t shift = uint64_t(m_chunks.size()) << 32;
        if (!w.m_chunks.empty()) {
            for (auto& chunk : w.m_chunks)
                m_chunks.push_back(std::move(chunk));
            m_used = w.m_used;
            m_size = w.m_size;
        }
        m_total += w.m_total - w.m_base;
        w.m_chunks.clear();
        return shift;
    }

private:
    static constexpr size_t kChunk = size_t(8) << 20;
    static constexpr size_t kBudget = size_t(48) << 20;
    struct FreeChunk {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    std::vector<std::unique_ptr<uint8_t, FreeChunk>> m_chunks;
    size_t m_used = 0, m_size = 0, m_total = 0;
    size_t m_base = 0; // a copy's budget spent before it began
};

} // namespace sqlcarve
