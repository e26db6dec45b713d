#pragma once

// Deleted rows of link tables (two integer columns) whose record header a freeblock header
// took: read from what the deletion left. See LinkCells.cpp.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sqlcarve {

struct LinkCell {
    uint32_t offset = 0; // of the cell in its page image
    std::optional<int64_t> rowid; // set when the cell was whole
    int64_t a = 0;
    int64_t b = 0;
};

using LinkCheck = std::function<bool(int64_t a, int64_t b)>;

// The link rows in the free space of one table leaf page image of `usable` bytes; empty for any
// other page. Only cuts whose every row passes `plausible` count, so junk cannot make a region
// look ambiguous.
std::vector<LinkCell> salvageLinkCells(const uint8_t* page, uint32_t usable, bool firstPage, const LinkCheck& plausible);

// The two integers of a live link row's record at `record` (after the cell's payload-size and
// rowid varints); nullopt when the record is not one.
std::optional<std::pair<int64_t, int64_t>> linkValues(const uint8_t* page, uint32_t usable, uint32_t record);

} // namespace sqlcarve
