// libFuzzer harness: SQLite reading the carver's image of mutated database bytes (main file and
// -wal, split at a 16-bit length at the input's end) through the recovery's read-only file
// layer, as the recovery looks up live rows.

#include "../lib/sqliterecovery/RecoveryContext_p.h"
#include "sqlitecarve/Carver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t walSize = 0;
    if (size >= 2) {
        walSize = size_t(data[size - 2]) << 8 | data[size - 1];
        size -= 2;
    }
    walSize = walSize > size ? 0 : walSize;
    sqlcarve::Options options;
    options.keepImage = true;
    const sqlcarve::Result r = sqlcarve::carveBuffers({data, size - walSize}, {data + size - walSize, walSize}, {}, options);
    if (!r.image)
        return 0;
    // Bytes past the image read as zeros, and say so.
    uint8_t tail[64];
    if (r.image->read(r.image->size() + 8, tail, sizeof tail))
        __builtin_trap();
    sqlrecovery::LiveDb live(r.image);
    for (const sqlcarve::Table& t : r.tables)
        if (!t.dropped)
            live.rows("SELECT rowid, * FROM \"" + t.name + "\" LIMIT 64");
    live.value("SELECT count(*) FROM sqlite_master");
    return 0;
}
