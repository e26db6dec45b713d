// Feeds arbitrary bytes to the NoteStore body reader: once as a compressed stream (truncated,
// corrupt, or inflating far beyond the cap), once as an already inflated protobuf payload, and
// once as the surviving start of a body cut short.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "NoteStoreBody.h"
#include "RecoveryConverters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    // A small cap keeps zip bombs quick; the limit is a parameter, the code path the same.
    const QByteArray payload = notestore::inflateBody(bytes, &error, 1024 * 1024);
    if (!payload.isEmpty())
        notestore::noteText(payload, &error);
    notestore::noteText(bytes, &error);
    // A body cut short: read up to the cut.
    noteTextUpToCut(bytes);
    return 0;
}
