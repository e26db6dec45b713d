// Feeds arbitrary bytes to the reader of archived message bodies (message.attributedBody).
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "AttributedBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly `size` bytes: a read past the end is caught by the sanitizer.
    const QByteArray blob(reinterpret_cast<const char*>(data), qsizetype(size));
    bool ok = false;
    const QString text = textFromAttributedBody(blob, &ok);
    if (!ok && !text.isEmpty())
        __builtin_trap();
    return 0;
}
