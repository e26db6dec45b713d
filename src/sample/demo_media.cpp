// Pictures of the demo backup: the camera roll, the photo stream, and the files the demo
// messages carry, with the odd entries real backups hold (bookkeeping folders, hidden files,
// empty files, extensions in either case).

#include <QBuffer>
#include <QColor>
#include <QImage>

#include <sqlite3.h>

#include "SampleBackup.h"
#include "ibr/schemas.h"

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

bool writePhotoLibrary(sample::SampleBackupWriter& w, const sample::DemoOptions& o);

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
    return o.iosMajor < 9 || writePhotoLibrary(w, o);
}

bool run(sqlite3* db, const QStringList& sql)
{
    for (const QString& s : sql)
        if (!s.contains(QLatin1String("sqlite_")) && sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return false;
    return true;
}

// From iOS 9 on the photo library describes the pictures: when and where taken, and one of
// them moved to "Recently Deleted". iOS 14 renamed the asset table.
bool writePhotoLibrary(sample::SampleBackupWriter& w, const sample::DemoOptions& o)
{
    return !w.addDatabase(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/PhotoData/Photos.sqlite"), [&](sqlite3* db) {
        QStringList sql = ibr::iosSchemaStatements(9, QStringLiteral("Photos.sqlite"));
        const int n = 3 * qMax(1, o.scale);
        for (int i = 1; i <= n; ++i)
            sql << QStringLiteral("INSERT INTO ZGENERICASSET (ZDIRECTORY, ZFILENAME, ZDATECREATED, ZTRASHEDSTATE) "
                                  "VALUES ('DCIM/100APPLE', 'IMG_%1.%2', %3, %4)")
                       .arg(i, 4, 10, QLatin1Char('0'))
                       .arg(i % 2 ? QStringLiteral("JPG") : QStringLiteral("jpg"))
                       .arg(470000000 + 3600 * i)
                       .arg(i == 2 ? 1 : 0);
        sql << QStringLiteral("INSERT INTO ZGENERICASSET (ZDIRECTORY, ZFILENAME, ZDATECREATED, ZTRASHEDSTATE) "
                              "VALUES ('DCIM/101APPLE', 'IMG_0101.MOV', 471000000, 0)");
        if (o.iosMajor >= 14)
            sql << QStringLiteral("ALTER TABLE ZGENERICASSET RENAME TO ZASSET");
        return run(db, sql);
    }).isEmpty();
}

// The recordings database names each recording by its path on the device; one of them was
// moved there from another folder, one has no audio file in the backup. iOS 12 replaced
// Recordings.db by CloudRecordings.db, which iOS 14 moved into the app's group.
bool writeVoiceMemos(sample::SampleBackupWriter& w, const sample::DemoOptions& o)
{
    const bool cloud = o.iosMajor >= 12;
    const QString domain = o.iosMajor >= 14 ? QStringLiteral("AppDomainGroup-group.com.apple.VoiceMemos.shared") : QStringLiteral("MediaDomain");
    const QString folder = o.iosMajor >= 14 ? QStringLiteral("Recordings/") : QStringLiteral("Media/Recordings/");
    const bool ok = !w.addDatabase(domain, folder + (cloud ? QStringLiteral("CloudRecordings.db") : QStringLiteral("Recordings.db")), [&](sqlite3* db) {
        QStringList sql;
        if (cloud)
            sql << QStringLiteral("CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZFOLDER INTEGER, "
                                  "ZDATE TIMESTAMP, ZDURATION FLOAT, ZLOCALDURATION FLOAT, ZCUSTOMLABEL VARCHAR, "
                                  "ZCUSTOMLABELFORSORTING VARCHAR, ZENCRYPTEDTITLE VARCHAR, ZPATH VARCHAR, ZUNIQUEID VARCHAR)")
                << QStringLiteral("INSERT INTO ZCLOUDRECORDING (Z_PK, Z_ENT, Z_OPT, ZDATE, ZDURATION, ZCUSTOMLABEL, ZENCRYPTEDTITLE, ZPATH) VALUES "
                                  "(1, 1, 1, 478000000, 75.9, 'Lecture', 'Lecture', '20160218 101500.m4a'), "
                                  "(2, 1, 1, 478100000, 4.2, NULL, NULL, 'Old/20160219 090000.m4a'), "
                                  "(3, 1, 1, 478200000, 12, NULL, NULL, '20160220 120000.m4a')");
        else
            sql = ibr::iosSchemaStatements(8, QStringLiteral("Recordings.db"))
                  << QStringLiteral("INSERT INTO ZRECORDING (Z_PK, Z_ENT, Z_OPT, ZDATE, ZDURATION, ZCUSTOMLABEL, ZPATH) VALUES "
                                    "(1, 1, 1, 478000000, 75.9, 'Lecture', '/var/mobile/Media/Recordings/20160218 101500.m4a'), "
                                    "(2, 1, 1, 478100000, 4.2, NULL, '/var/mobile/Media/Recordings/Old/20160219 090000.m4a'), "
                                    "(3, 1, 1, 478200000, 12, NULL, '/var/mobile/Media/Recordings/20160220 120000.m4a')");
        return run(db, sql);
    }).isEmpty();
    w.addFile(domain, folder + QStringLiteral("20160218 101500.m4a"), QByteArray(7000, '\x42'));
    w.addFile(domain, folder + QStringLiteral("20160219 090000.m4a"), QByteArray(300, '\x43'));
    return ok;
}

const sample::CategoryRegistrar media("media", &writeMedia);
const sample::CategoryRegistrar voiceMemos("voice memos", &writeVoiceMemos);

} // namespace
