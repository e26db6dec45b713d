#include "device/CAccessFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <vector>

#include "device/CDevice.h"
#include "utility/SafeIo.h"

bool CAccessFile::searchDeleted(const QString&) { return false; }
bool CAccessFile::stepIntoDir(const QString&) { return false; }
bool CAccessFile::handleFile(const QString&, const QString&) { return true; }
void CAccessFile::cannotRead(const QString&) {}

namespace {

// The folder's entries, links and pipes too: those are never followed or read (a copy's links
// point at the acquiring machine), but one where a file belongs is named.
QFileInfoList entries(const QString& folder)
{
    return QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

bool walk(const QString& local, const QString& deviceDir, const QString& localDir, CAccessFile* handler, int depth)
{
    if (depth > 64)
        return true; // deeper than any device folder: a loop of mounts, not data
    handler->searchDeleted(deviceDir);
    for (const QFileInfo& e : entries(local)) {
        const QString devicePath = deviceDir + QLatin1Char('/') + e.fileName();
        if (e.isSymLink() || (!e.isDir() && !e.isFile())) {
            handler->cannotRead(devicePath);
        } else if (e.isDir()) {
            if (!handler->stepIntoDir(devicePath))
                continue;
            if (!e.isReadable() || !e.isExecutable())
                handler->cannotRead(devicePath + QLatin1Char('/'));
            else if (!walk(e.filePath(), devicePath, QDir(localDir).filePath(e.fileName()), handler, depth + 1))
                return false;
        } else if (e.isFile() && !e.isReadable()) {
            handler->cannotRead(devicePath);
        } else if (e.isFile() && !handler->handleFile(devicePath, localDir)) {
            return false;
        }
    }
    return true;
}

qint64 sizeBelow(const QString& local, int depth)
{
    qint64 total = 0;
    for (const QFileInfo& e : entries(local))
        if (!e.isSymLink())
            total += e.isDir() ? (depth < 64 ? sizeBelow(e.filePath(), depth + 1) : 0) : (e.isFile() ? e.size() : 0);
    return total;
}

} // namespace

bool CAccessFile::scanDir(CDevice* device, const QString& deviceDir, const QString& localDir, CAccessFile* handler)
{
    if (!device || !handler)
        return false;
    const QString local = device->localPath(deviceDir);
    const QFileInfo info(local);
    if (local.isEmpty() || !info.isDir() || info.isSymLink())
        return false;
    if (!info.isReadable() || !info.isExecutable()) {
        handler->cannotRead(deviceDir + QLatin1Char('/'));
        return false;
    }
    return walk(local, deviceDir, localDir, handler, 0);
}

qint64 CAccessFile::dirSize(CDevice* device, const QString& deviceDir)
{
    const QString local = device ? device->localPath(deviceDir) : QString();
    if (local.isEmpty() || !QFileInfo(local).isDir() || QFileInfo(local).isSymLink())
        return 0;
    return sizeBelow(local, 0);
}

qint64 CAccessFile::downloadFile(CDevice* device, const QString& devicePath, const QString& localPath, CDownloadProgress* progress)
{
    const QString source = device ? device->localPath(devicePath) : QString();
    if (source.isEmpty() || QFileInfo(source).isSymLink())
        return 0;
    uint64_t size = 0;
    std::string error;
    const int fd = ibrio::openRegularFile(QFile::encodeName(source).toStdString(), &size, &error);
    if (fd < 0)
        return 0;
    ibrio::OutputFile out;
    bool ok = out.open(QFile::encodeName(localPath).toStdString(), ibrio::OutputFile::Replace);
    std::vector<char> buffer(size_t(1) << 20);
    uint64_t copied = 0;
    while (ok && copied < size) {
        const int64_t n = ibrio::readAt(fd, buffer.data(), size_t(std::min<uint64_t>(buffer.size(), size - copied)), copied);
        if (n <= 0)
            break; // the copy shrank: what it still holds is kept
        ok = out.write(buffer.data(), size_t(n));
        copied += uint64_t(n);
        if (ok && progress && !progress->downloaded(n))
            ok = false;
    }
    ::close(fd);
    if (!ok || !out.commit()) {
        out.discard();
        return 0;
    }
    // The device's time of the file is part of what it tells.
    QFile copy(localPath);
    if (copy.open(QIODevice::ReadWrite))
        copy.setFileTime(QFileInfo(source).lastModified(), QFileDevice::FileModificationTime);
    return qint64(copied);
}

bool CAccessFile::ensureFileDirExists(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}
