// libFuzzer harness: the carver over mutated database bytes, in memory. The input is split
// into database, -wal and -journal at two 16-bit lengths at its end, so the fuzzer reaches the
// companion readers too. The database bytes are also read as one page image by the link-row
// salvage, with bounds wide enough that any cut may count. Bytes that start like a statement are
// read as one by the schema parser, which meets the texts of deleted schema rows too.

#include "../lib/sqlitecarve/LinkCells_p.h"
#include "../lib/sqlitecarve/Schema_p.h"
#include "sqlitecarve/Carver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t walSize = 0, journalSize = 0;
    if (size >= 4) {
        walSize = size_t(data[size - 4]) << 8 | data[size - 3];
        journalSize = size_t(data[size - 2]) << 8 | data[size - 1];
        size -= 4;
    }
    walSize = walSize > size ? 0 : walSize;
    journalSize = journalSize > size - walSize ? 0 : journalSize;
    const size_t dbSize = size - walSize - journalSize;
    if (dbSize && data[0] == 'C') {
        sqlcarve::TableLayout layout;
        if (sqlcarve::parseCreateTable(std::string(reinterpret_cast<const char*>(data), dbSize), &layout))
            for (const sqlcarve::StoredColumn& c : layout.stored)
                if (size_t(c.tableIndex) >= layout.table.columns.size())
                    __builtin_trap();
    }
    sqlcarve::Bytes db{data, dbSize};
    sqlcarve::Bytes wal{data + dbSize, walSize};
    sqlcarve::Bytes journal{data + dbSize + walSize, journalSize};
    sqlcarve::Options options;
    options.placement = true;
    options.links = {{"chat_message_join", "chat", "message"}, {"link", "a", "b"}};
    options.indexEntries = {"mv_pv", "mv_rec"};
    const sqlcarve::Result r = sqlcarve::carveBuffers(db, wal, journal, options);
    for (const sqlcarve::LinkCell& cell : sqlcarve::salvageLinkCells(data, uint32_t(dbSize), dbSize > 0 && data[0] == 'S',
                                                                     [](int64_t a, int64_t b) { return a > 0 && b > 0; }))
        if (cell.offset >= dbSize)
            __builtin_trap();
    // Every reported row must fit its table (an index entry: its index's columns and the rowid).
    for (const sqlcarve::CarvedRow& row : r.rows) {
        if (row.indexEntry)
            continue;
        bool found = false;
        for (const sqlcarve::Table& t : r.tables)
            if (t.name == row.table && t.columns.size() == row.values.size())
                found = true;
        if (!found)
            __builtin_trap();
    }
    return 0;
}
