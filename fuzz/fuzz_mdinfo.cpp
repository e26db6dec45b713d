// Feeds arbitrary bytes to the older per-file index reader as one .mdinfo file.
#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include "CiTunesBackupPrivate.h"

static QString scratchFolder()
{
    static const QString path = [] {
        const QString p = QStringLiteral("/tmp/fuzz_mdinfo_%1").arg(getpid());
        QDir().mkpath(p);
        return p;
    }();
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QFile f(QDir(scratchFolder()).filePath(QStringLiteral("0000000000000000000000000000000000000000.mdinfo")));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    f.close();
    CiTunesBackupPrivate d(nullptr);
    d.m_path = scratchFolder();
    d.parseLegacyIndex();
    if (d.m_files.size() > 1)
        __builtin_trap(); // one .mdinfo describes one file
    for (const CManifestRecord* r : d.m_files) {
        if (r->hashName.size() != 40 || r->domain.startsWith(QLatin1String("AppDomain")))
            __builtin_trap();
    }
    return 0;
}
