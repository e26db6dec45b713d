// Feeds arbitrary bytes to the Manifest.mbdb reader.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include "CiTunesBackupPrivate.h"

static QString scratchFile()
{
    static const QString path = QStringLiteral("/tmp/fuzz_mbdb_%1.mbdb").arg(getpid());
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile f(scratchFile());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    f.close();
    CiTunesBackupPrivate d(nullptr);
    d.parseManifestMbdb(scratchFile());
    for (const CManifestRecord* r : d.m_files) {
        if (r->hashName.size() != 40)
            __builtin_trap();
        if (r->properties.size() > 255)
            __builtin_trap();
    }
    return 0;
}
