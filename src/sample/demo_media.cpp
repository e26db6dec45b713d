// Pictures of the demo backup: the camera roll, the photo stream, and the files the demo
// messages carry, with the odd entries real backups hold (bookkeeping folders, hidden files,
// empty files, extensions in either case).

#include <QBuffer>
#include <QColor>
#include <QImage>

#include "SampleBackup.h"

namespace {

// A small real JPEG, so readers that decode pictures have something to decode.
QByteArray picture(int seed, int width = 24, int height = 16)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 10 + seed * 40) % 256, (y * 15) % 256, (seed * 70) % 256));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

bool writeMedia(sample::SampleBackupWriter& w, const sample::DemoOptions& o)
{
    const QString media = QStringLiteral("MediaDomain");
    const QString cameraRoll = QStringLiteral("CameraRollDomain");
    const int n = 3 * qMax(1, o.scale);
    for (int i = 1; i <= n; ++i)
        w.addFile(media, QStringLiteral("Media/DCIM/100APPLE/IMG_%1.%2").arg(i, 4, 10, QLatin1Char('0'))
                             .arg(i % 2 ? QStringLiteral("JPG") : QStringLiteral("jpg")), picture(i));
    w.addFile(cameraRoll, QStringLiteral("Media/DCIM/101APPLE/IMG_0101.MOV"), QByteArray(4096, '\x11'));
    w.addFile(media, QStringLiteral("Media/DCIM/.MISC/Info.plist"), QByteArray("<plist/>"));
    w.addFile(media, QStringLiteral("Media/DCIM/100APPLE/.hidden.JPG"), picture(9));
    w.addFile(media, QStringLiteral("Media/DCIM/100APPLE/IMG_0900.JPG"), QByteArray()); // zero bytes
    w.addFile(media, QStringLiteral("Media/DCIM/100APPLE/IMG_0901.THM"), picture(10));
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0902.JPG"), picture(11));
    for (int i = 1; i <= 2; ++i)
        w.addFile(media, QStringLiteral("Media/PhotoStreamsData/1234567/100APPLE/IMG_%1.JPG").arg(200 + i), picture(20 + i));
    // What a message carries: the picture and the preview the conversation shows.
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/0a/10/IMG_0001.JPG"), picture(30, 64, 48));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/0a/10/IMG_0001-preview-left.jpg"), picture(31));
    return true;
}

const sample::CategoryRegistrar media("media", &writeMedia);

} // namespace
