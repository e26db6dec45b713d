// Feeds arbitrary bytes to the keyed-archive reader as Manifest.db's file records use it.
#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "KeyedArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const KeyedArchive archive(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const KeyedArchive::Node root = archive.root();
    qint64 value = 0;
    for (const char* key : {"Size", "LastModified", "ProtectionClass", "Mode", "RelativePath", "$class"})
        archive.integer(root, key, &value);
    archive.string(root, "RelativePath");
    archive.data(root, "EncryptionKey");
    archive.className(root);
    archive.className(archive.member(root, "RelativePath"));
    return 0;
}
