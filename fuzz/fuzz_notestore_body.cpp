// Feeds arbitrary bytes to the NoteStore body reader: once as a compressed stream (truncated,
// corrupt, or inflating far beyond the cap) and once as an already inflated protobuf payload.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "NoteStoreBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    // A small cap keeps zip bombs quick; the limit is a parameter, the code path the same.
    const QByteArray payload = notestore::inflateBody(bytes, &error, 1024 * 1024);
    if (!payload.isEmpty())
        notestore::noteText(payload, &error);
    notestore::noteText(bytes, &error);
    return 0;
}
