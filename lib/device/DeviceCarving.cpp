#include "device/CDevice.h"

#include "mediacarve/MediaCarver.h"

bool CDevice::scanDeletedFile(const QStringList& extensions, const QString& targetDir, QMap<QString, QString>& found,
                              CDownloadProgress* progress, QString* whyNot) const
{
    if (m_image.isEmpty())
        return false;
    qint64 reported = 0;
    bool announced = false;
    QList<mediacarve::CarvedFile> carved;
    QString why;
    const bool ok = mediacarve::carveImage(
        m_image, extensions, targetDir, &carved,
        [&](qint64 done, qint64 total) {
            if (!progress)
                return true;
            if (!announced) {
                progress->allSize(total);
                announced = true;
            }
            const qint64 step = done - reported;
            reported = done;
            return step <= 0 || progress->downloaded(step);
        },
        &why);
    for (const mediacarve::CarvedFile& f : carved)
        found.insert(f.localPath, f.devicePath);
    if (!ok && whyNot)
        *whyNot = why;
    return ok;
}
