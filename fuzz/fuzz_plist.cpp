// Feeds arbitrary bytes to the Info.plist, Manifest.plist and .mdinfo metadata readers.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include "CiTunesBackupPrivate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = QStringLiteral("/tmp/fuzz_plist_%1.plist").arg(getpid());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    f.close();
    CiTunesBackupPrivate d(nullptr);
    d.m_path = QDir::tempPath();
    d.parseInfoPlist(path);
    d.parseManifestPlist(path);
    d.parseLegacyMetadata(reinterpret_cast<const char*>(data), qint64(size));
    return 0;
}
