// Feeds arbitrary text to the note body conversion (div rules, rich text, the plain reading of
// costly markup).
#include <QString>

#include <cstddef>
#include <cstdint>

#include "CNoteCollection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CNoteQuery query(nullptr);
    query.bodyText(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
