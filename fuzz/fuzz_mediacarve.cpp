// libFuzzer harness: the media carver over mutated image bytes, in memory, asking for every
// kind. What it writes goes to a private folder (on tmpfs when there is one, as every carved
// file is flushed to disk) and is removed after each input.

#include "../lib/mediacarve/MediaCarver_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <unistd.h>

namespace {

char g_folder[4096];

void removeFolder() { ::rmdir(g_folder); }

QString folder()
{
    static const QString path = [] {
        const QByteArray templ = (QDir(QStringLiteral("/dev/shm")).exists() ? QByteArray("/dev/shm") : QDir::tempPath().toLocal8Bit())
                                 + "/fuzz-mediacarve-XXXXXX";
        qstrncpy(g_folder, templ.constData(), sizeof g_folder);
        if (!mkdtemp(g_folder))
            std::abort();
        std::atexit(removeFolder);
        return QString::fromLocal8Bit(g_folder);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QStringList all = mediacarve::supportedExtensions();
    QList<mediacarve::CarvedFile> found;
    QString why;
    qint64 last = 0;
    // The first byte picks the block size (64 to 4144 bytes), so that signatures and files fall across block edges.
    const qint64 block = size ? 64 + 16 * qint64(data[0]) : 64;
    const bool ok = mediacarve::carveBuffer(reinterpret_cast<const char*>(data), qint64(size), all, folder(), &found,
                                            [&](qint64 done, qint64 total) {
                                                if (done < last || done > total || total != qint64(size))
                                                    __builtin_trap();
                                                last = done;
                                                return true;
                                            },
                                            &why, block);
    if (!ok)
        __builtin_trap(); // bytes in memory always read, and nothing stops it
    for (const mediacarve::CarvedFile& f : found) {
        // Every file lies inside the input, starts where it says, and is named in the folder.
        if (f.offset < 0 || f.size <= 0 || f.offset + f.size > qint64(size) || QFileInfo(f.localPath).dir().path() != folder()
            || QFileInfo(f.localPath).size() != f.size)
            __builtin_trap();
        QFile::remove(f.localPath);
    }
    return 0;
}
