// A device's file-system copy read as a folder and as archives gives what the backup of the same
// data gives; hostile archives write nothing outside the working folder; the device-only readers
// (message pieces, recordings, media listing) keep their rules.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include "CiPhoneBackup.h"
#include "CiPhoneReaders.h"
#include "SampleBackup.h"
#include "mediaimage.h"
#include "TestSupport.h"
#include "device/CDevice.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

using testsupport::runCli;

namespace {

// Drops where a file lies (a hashed name in a backup, the copy's own path for a device).
QJsonValue withoutPaths(const QJsonValue& v)
{
    if (v.isArray()) {
        QJsonArray out;
        for (const QJsonValue& e : v.toArray())
            out.append(withoutPaths(e));
        return out;
    }
    if (!v.isObject())
        return v;
    QJsonObject out;
    const QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it)
        if (it.key() != QLatin1String("file") && it.key() != QLatin1String("exported") && it.key() != QLatin1String("Path")
            && it.key() != QLatin1String("dataFile"))
            out.insert(it.key(), withoutPaths(it.value()));
    return out;
}

// Each category's items as a user sees them, in a fixed order: files are listed in the order of
// the index or of the folder walk.
QMap<QString, QStringList> itemsOf(const QString& out)
{
    QMap<QString, QStringList> all;
    for (const QString& name : QDir(out).entryList({QStringLiteral("*.json")})) {
        const QJsonObject o = QJsonDocument::fromJson(testsupport::readFile(QDir(out).filePath(name))).object();
        QStringList items;
        for (const QJsonValue& v : o.value(QStringLiteral("items")).toArray())
            items << QString::fromUtf8(QJsonDocument(withoutPaths(v).toObject()).toJson(QJsonDocument::Compact));
        items.sort();
        all.insert(name, items);
    }
    return all;
}

QStringList filesUnder(const QString& folder)
{
    QStringList out;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         it.hasNext();)
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

bool tar(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("tar"), args) == 0;
}

} // namespace

TEST(Device, FolderAndArchivesGiveWhatTheBackupOfTheSameDataGives)
{
    for (int ios : {8, 17}) {
        QTemporaryDir dir;
        sample::DemoOptions options;
        options.iosMajor = ios;
        // The copy lies in a folder of its own, as people keep one.
        const QString backup = dir.filePath(QStringLiteral("backup")), holder = dir.filePath(QStringLiteral("holder")),
                      root = holder + QStringLiteral("/device");
        ASSERT_TRUE(sample::writeDemoBackup(backup, options));
        ASSERT_TRUE(sample::writeDemoDevice(root, options));
        ASSERT_TRUE(tar({QStringLiteral("-C"), root, QStringLiteral("-czf"), dir.filePath(QStringLiteral("copy.tar.gz")), QStringLiteral(".")}));
        ASSERT_TRUE(tar({QStringLiteral("-C"), holder, QStringLiteral("-czf"), dir.filePath(QStringLiteral("wrapped.tar.gz")), QStringLiteral("device")}));
        const auto evidence = testsupport::snapshotFolder(root);
        const auto a = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), dir.filePath(QStringLiteral("a"))});
        ASSERT_EQ(a.exitCode, 0) << a.err.constData();
        const auto wanted = itemsOf(dir.filePath(QStringLiteral("a")));
        EXPECT_EQ(wanted.size(), 12);
        for (const QString& source : {root, holder, dir.filePath(QStringLiteral("copy.tar.gz")), dir.filePath(QStringLiteral("wrapped.tar.gz"))}) {
            const QString out = dir.filePath(QStringLiteral("out-") + QFileInfo(source).fileName());
            const auto r = runCli({QStringLiteral("device"), source, QStringLiteral("--out"), out});
            ASSERT_EQ(r.exitCode, 0) << r.err.constData();
            const auto got = itemsOf(out);
            EXPECT_EQ(got.keys(), wanted.keys());
            for (auto it = wanted.constBegin(); it != wanted.constEnd(); ++it)
                EXPECT_EQ(got.value(it.key()), it.value()) << ios << " " << source.toStdString() << " " << it.key().toStdString();
            // The copies the items name stay with the output.
            EXPECT_TRUE(QFileInfo::exists(out + QStringLiteral("/device-copy/sqlite_dbs/SMS/sms.db")));
        }
        EXPECT_EQ(testsupport::snapshotFolder(root), evidence) << "the source is never written";
        // An archive cut short gives what it holds, and says what is missing.
        QByteArray cut = testsupport::readFile(dir.filePath(QStringLiteral("copy.tar.gz")));
        cut.truncate(cut.size() / 2);
        ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("cut.tar.gz")), cut));
        const auto c = runCli({QStringLiteral("device"), dir.filePath(QStringLiteral("cut.tar.gz")), QStringLiteral("--out"),
                               dir.filePath(QStringLiteral("out-cut"))});
        EXPECT_EQ(c.exitCode, 3) << c.err.constData();
        EXPECT_TRUE(c.err.contains("what lay after it is missing")) << c.err.constData();
    }
}

// A link or a pipe where a database belongs is never followed or read, and is named: the
// category's records would otherwise be missing in silence.
TEST(Device, LinksAndPipesInPlaceOfFilesAreNamed)
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("device"));
    ASSERT_TRUE(sample::writeDemoDevice(root, sample::DemoOptions()));
    const QString sms = root + QStringLiteral("/private/var/mobile/Library/SMS/sms.db");
    const QString calendar = root + QStringLiteral("/private/var/mobile/Library/Calendar/Calendar.sqlitedb");
    ASSERT_TRUE(QFile::rename(sms, sms + QStringLiteral(".real")) && QFile::link(QStringLiteral("sms.db.real"), sms));
    ASSERT_TRUE(QFile::remove(calendar));
    ASSERT_EQ(::mkfifo(QFile::encodeName(calendar).constData(), 0644), 0);
    const auto r = runCli({QStringLiteral("device"), root, QStringLiteral("--out"), dir.filePath(QStringLiteral("out"))});
    EXPECT_EQ(r.exitCode, 3) << r.err.constData();
    EXPECT_TRUE(r.err.contains("2 file(s) or folder(s) of the copy cannot be read")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("Library/SMS/sms.db")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("Library/Calendar/Calendar.sqlitedb")) << r.err.constData();
}

TEST(Device, AStoppedRunEndsEarlyAndTheOutputMayNotLieInTheSource)
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("device"));
    ASSERT_TRUE(sample::writeDemoDevice(root));
    QString why;
    const auto device = CDevice::open(root, dir.path(), &why);
    ASSERT_TRUE(device) << why.toStdString();
    EXPECT_EQ(device->deviceName(), QStringLiteral("Demo iPhone"));
    EXPECT_EQ(device->deviceType(), QStringLiteral("iPhone6,2"));
    int calls = 0;
    {
        testsupport::ProgressRecorder p;
        CiPhoneBackup reader(device.get(), dir.filePath(QStringLiteral("copies")));
        KdBackup model;
        ASSERT_TRUE(reader.collectDatas(&model, &p));
        EXPECT_NEAR(p.total, 10000.0, 1.0);
        calls = int(p.steps.size());
    }
    // Stopped while copying, while reading, while listing media.
    for (int stopAt : {1, calls / 3, calls - 2}) {
        testsupport::ProgressRecorder p;
        p.answer = [stopAt](int call) { return call < stopAt; };
        CiPhoneBackup reader(device.get(), dir.filePath(QStringLiteral("copies")));
        KdBackup model;
        EXPECT_FALSE(reader.collectDatas(&model, &p)) << stopAt << " of " << calls;
    }
    const auto r = runCli({QStringLiteral("device"), root, QStringLiteral("--out"), root + QStringLiteral("/private/out")});
    EXPECT_EQ(r.exitCode, 2) << r.err.constData();
}

TEST(Device, HostileArchiveMembersWriteNothingOutsideTheWorkingFolder)
{
    QTemporaryDir dir;
    const QString archivePath = dir.filePath(QStringLiteral("hostile.tar"));
    {
        archive* a = archive_write_new();
        archive_write_set_format_pax_restricted(a);
        ASSERT_EQ(archive_write_open_filename(a, QFile::encodeName(archivePath).constData()), ARCHIVE_OK);
        const auto add = [a](const char* name, int type, const char* linkTarget, bool hard = false) {
            archive_entry* e = archive_entry_new();
            archive_entry_set_pathname(e, name);
            archive_entry_set_filetype(e, unsigned(type));
            archive_entry_set_perm(e, 0644);
            const QByteArray body("planted");
            if (hard)
                archive_entry_set_hardlink(e, linkTarget);
            else if (linkTarget)
                archive_entry_set_symlink(e, linkTarget);
            archive_entry_set_size(e, type == AE_IFREG && !hard ? body.size() : 0);
            archive_write_header(a, e);
            if (type == AE_IFREG && !hard)
                archive_write_data(a, body.constData(), size_t(body.size()));
            archive_entry_free(e);
        };
        add("private/var/mobile/Library/SMS/../../../../../../escaped.txt", AE_IFREG, nullptr);
        add("../escaped2.txt", AE_IFREG, nullptr);
        add("/private/var/mobile/Library/SMS/absolute.db", AE_IFREG, nullptr); // kept, inside the folder
        add("private/var/mobile/Library/SMS/passwd", AE_IFLNK, "/etc/passwd");
        add("private/var/mobile/Library/SMS", AE_IFLNK, "/tmp");
        add("private/var/mobile/Library/SMS/hard", AE_IFREG, "/etc/passwd", true);
        add("private/var/mobile/Library/Notes/notes.sqlite", AE_IFREG, nullptr);
        add("private/var/mobile/Containers/Shared/AppGroup/0A1B/Library/other-app.db", AE_IFREG, nullptr); // no reader's
        archive_write_close(a);
        archive_write_free(a);
    }
    const QString work = dir.filePath(QStringLiteral("work"));
    ASSERT_TRUE(QDir().mkpath(work));
    QString why;
    const auto device = CDevice::open(archivePath, work, &why);
    ASSERT_TRUE(device) << why.toStdString();
    EXPECT_EQ(filesUnder(dir.path()), (QStringList{QStringLiteral("hostile.tar"), QStringLiteral("work"), QStringLiteral("work/device-root"),
                                                    QStringLiteral("work/device-root/mnt2"), QStringLiteral("work/device-root/mnt2/mobile"),
                                                    QStringLiteral("work/device-root/mnt2/mobile/Library"),
                                                    QStringLiteral("work/device-root/mnt2/mobile/Library/Notes"),
                                                    QStringLiteral("work/device-root/mnt2/mobile/Library/Notes/notes.sqlite"),
                                                    QStringLiteral("work/device-root/mnt2/mobile/Library/SMS"),
                                                    QStringLiteral("work/device-root/mnt2/mobile/Library/SMS/absolute.db")}));
    EXPECT_FALSE(QFileInfo::exists(QDir::rootPath() + QStringLiteral("escaped.txt")));
    // Named, the first few by their names.
    const QString problems = device->problems().join(QLatin1Char('\n'));
    EXPECT_TRUE(problems.contains(QStringLiteral("5 member(s) not unpacked, as links are never followed and names may not climb "
                                                 "out of the copy (private/var/mobile/Library/SMS/../../../../../../escaped.txt, "
                                                 "../escaped2.txt, private/var/mobile/Library/SMS/passwd, ...)")))
        << problems.toStdString();
    EXPECT_TRUE(CDevice::open(dir.filePath(QStringLiteral("missing.tar")), work, &why) == nullptr);
}

// One damaged member of an archive costs that member only: a zip member failing its checksum is
// kept as read and named, a tar header failing its checksum is passed over to the next.
TEST(Device, ADamagedArchiveMemberCostsOnlyItself)
{
    const char* const names[] = {"private/var/mobile/Library/SMS/sms.db", "private/var/mobile/Library/Notes/notes.sqlite",
                                 "private/var/mobile/Library/Calendar/Calendar.sqlitedb"};
    const QByteArray body(3000, 'd');
    for (const bool zip : {true, false}) {
        SCOPED_TRACE(zip);
        QTemporaryDir dir;
        const QString archivePath = dir.filePath(zip ? QStringLiteral("copy.zip") : QStringLiteral("copy.tar"));
        archive* a = archive_write_new();
        if (zip) {
            archive_write_set_format_zip(a);
            archive_write_set_options(a, "zip:compression=store");
        } else {
            archive_write_set_format_ustar(a);
        }
        ASSERT_EQ(archive_write_open_filename(a, QFile::encodeName(archivePath).constData()), ARCHIVE_OK);
        for (const char* name : names) {
            archive_entry* e = archive_entry_new();
            archive_entry_set_pathname(e, name);
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_perm(e, 0644);
            archive_entry_set_size(e, body.size());
            archive_write_header(a, e);
            archive_write_data(a, body.constData(), size_t(body.size()));
            archive_entry_free(e);
        }
        archive_write_close(a);
        archive_write_free(a);
        QByteArray bytes = testsupport::readFile(archivePath);
        // The second member's data (zip) or its header's checksum field (tar).
        const qsizetype at = zip ? bytes.indexOf(body, bytes.indexOf("notes.sqlite")) + 100 : 512 + 3072 + 148;
        ASSERT_GT(at, 100);
        bytes[at] = char(bytes[at] ^ 1);
        ASSERT_TRUE(testsupport::writeFile(archivePath, bytes));

        const QString work = dir.filePath(QStringLiteral("work"));
        ASSERT_TRUE(QDir().mkpath(work));
        QString why;
        const auto device = CDevice::open(archivePath, work, &why);
        ASSERT_TRUE(device) << why.toStdString();
        const QString root = work + QStringLiteral("/device-root/mnt2/mobile/Library/");
        EXPECT_TRUE(QFileInfo::exists(root + QStringLiteral("SMS/sms.db")));
        EXPECT_TRUE(QFileInfo::exists(root + QStringLiteral("Calendar/Calendar.sqlitedb")));
        const QString problems = device->problems().join(QLatin1Char('\n'));
        EXPECT_TRUE(problems.contains(zip ? QStringLiteral("member private/var/mobile/Library/Notes/notes.sqlite is damaged")
                                          : QStringLiteral("1 damaged member header(s) passed over")))
            << problems.toStdString();
        EXPECT_FALSE(problems.contains(QStringLiteral("what lay after it is missing"))) << problems.toStdString();
    }
}

TEST(Device, MessagePiecesAndRecordingsFollowTheCopiedFolders)
{
    QTemporaryDir dir;
    const QString sms = dir.filePath(QStringLiteral("medias/SMS/Attachments/ab/12/"));
    QImage picture(4, 2, QImage::Format_RGB32);
    picture.fill(Qt::red);
    picture.setPixel(0, 0, qRgb(0, 0, 255));
    ASSERT_TRUE(QDir().mkpath(sms) && QDir().mkpath(dir.filePath(QStringLiteral("medias/SMS/Attachments/cd/34"))));
    ASSERT_TRUE(picture.save(sms + QStringLiteral("IMG_1.jpg"), "PNG"));
    ASSERT_TRUE(picture.save(sms + QStringLiteral("IMG_1-preview-left.jpg"), "PNG"));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("medias/SMS/Attachments/cd/34/IMG_1.jpg")), "other folder"));
    ASSERT_TRUE(testsupport::writeFile(sms + QStringLiteral("note.txt"), "plain bytes"));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("sqlite_dbs/Recordings/a.m4a")), "listed"));
    // A movie header of 6000 units of 1/600 s.
    const QByteArray m4a = QByteArray::fromHex("00000010" "66747970" "4d344120" "00000000" "00000024" "6d6f6f76" "0000001c" "6d766864"
                                                "000000000000000000000000" "00000258" "00001770");
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("sqlite_dbs/Recordings/b.m4a")), m4a));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("medias/DCIM/100APPLE/.hidden.JPG")), "x"));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("medias/DCIM/100APPLE/empty.JPG")), ""));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("medias/DCIM/100APPLE/IMG_2.JPG")), "y"));
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("medias/DCIM/100APPLE/notes.txt")), "z"));
    CiPhoneBackup owner(nullptr, dir.path());
    owner.buildTestFileInfos(dir.path());

    CiPhoneSMSPieceReader reader(&owner);
    QImage got;
    ASSERT_TRUE(got.loadFromData(reader.readPiece(QStringLiteral("~/Library/SMS/Attachments/ab/12/IMG_1.jpg")), "PNG"));
    EXPECT_EQ(got.pixel(3, 0), qRgb(0, 0, 255)) << "the preview wins and faces the other way";
    EXPECT_EQ(reader.readPiece(QStringLiteral("note.txt")), QByteArray("plain bytes"));
    EXPECT_TRUE(reader.readPiece(QStringLiteral("Attachments/ef/56/IMG_1.jpg")).isEmpty());

    CiPhoneVoiceMemoTranslater translater(dir.filePath(QStringLiteral("sqlite_dbs")));
    QString path = QStringLiteral("/var/mobile/Media/Recordings/a.m4a");
    qint64 size = -1;
    EXPECT_TRUE(translater.translatePath(path, size));
    EXPECT_EQ(size, 6);
    QString missing = QStringLiteral("Recordings/gone.m4a");
    EXPECT_FALSE(translater.translatePath(missing, size));
    KdBackup model;
    translater.collectUnreferenced(model.getVoiceMemo());
    ASSERT_EQ(model.getVoiceMemo()->count(), 1);
    EXPECT_TRUE(model.getVoiceMemo()->at(0, false)->isDeleted());
    EXPECT_EQ(model.getVoiceMemo()->at(0, false)->value(0), QStringLiteral("b.m4a"));
    EXPECT_EQ(model.getVoiceMemo()->at(0, false)->value(1), QStringLiteral("52 B"));
    EXPECT_EQ(model.getVoiceMemo()->at(0, false)->value(2), QStringLiteral("0:10")) << "the length its own header gives";

    // Media lists skip hidden and empty files and filter by kind; attachments take any kind.
    CiPhoneFileCollection camera(model.getCamareRoll(), dir.filePath(QStringLiteral("medias/DCIM")), {QStringLiteral("JPG")});
    camera.collect(owner.fileInfos());
    ASSERT_EQ(model.getCamareRoll()->count(), 1);
    EXPECT_EQ(model.getCamareRoll()->at(0, false)->value(0), QStringLiteral("IMG_2.JPG"));
    CiPhoneFileCollection attachments(model.getMessageAttachment(), dir.filePath(QStringLiteral("medias/SMS/Attachments")), {});
    attachments.collect(owner.fileInfos());
    EXPECT_EQ(model.getMessageAttachment()->count(), 4);
}

namespace {

// A minimal TIFF: 2 x 2 grey pixels in one strip after its directory; `ifd` moves the directory.
QByteArray tiffFile(bool bigEndian, quint32 ifd = 8)
{
    QByteArray b(bigEndian ? QByteArray("MM\0*", 4) : QByteArray("II*\0", 4));
    const auto put = [&](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b.append(char(v >> (8 * (bigEndian ? bytes - 1 - i : i))));
    };
    put(ifd, 4);
    put(4, 2);
    const quint32 entries[][4] = {{256, 3, 1, 2}, {257, 3, 1, 2}, {273, 4, 1, 8 + 2 + 4 * 12 + 4}, {279, 4, 1, 4}};
    for (const auto& e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
        if (e[1] == 3) { // a short sits in the first two bytes of the field
            put(e[3], 2);
            put(0, 2);
        } else {
            put(e[3], 4);
        }
    }
    put(0, 4);
    return b + QByteArray("\x10\x40\x80\xC0", 4);
}

} // namespace

TEST(Device, CarvedFilesAreCheckedAndFiledByFolder)
{
    QTemporaryDir dir;
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::green);
    ASSERT_TRUE(picture.save(dir.filePath(QStringLiteral("good.png")), "PNG"));
    const QByteArray png = testsupport::readFile(dir.filePath(QStringLiteral("good.png")));
    ASSERT_EQ(png.right(8).left(4), QByteArray("IEND"));
    QByteArray badIhdr = png.left(png.size() - 12);
    badIhdr[20] = char(badIhdr[20] ^ 1); // the width, under IHDR's checksum
    const struct {
        const char* name;
        QByteArray bytes;
        bool plausible;
    } files[] = {
        {"good.png", png, true},
        {"bad.png", QByteArray("\x89PNG\r\n\x1a\n garbage"), false},
        // Cut short: kept on its signature and header, never decoded.
        {"cut-before-iend.png", png.left(png.size() - 12), true},
        {"cut-after-ihdr.png", png.left(33), true},
        {"cut-inside-ihdr.png", png.left(20), false},
        {"cut-bad-ihdr.png", badIhdr, false},
        // No image plugin may decode TIFF: its header and first directory are checked.
        {"little.tif", tiffFile(false), true},
        {"big.tiff", tiffFile(true), true},
        {"directory-outside.tif", tiffFile(false, 4096), false},
        {"not-a.tif", QByteArray("II*\0\x08\0\0\0\0\0", 10), false},
        {"a.mp4", QByteArray::fromHex("00000018") + "ftypmp42", true},
        {"b.mp4", QByteArray::fromHex("00000018") + "moovmp42", false},
        {"c.amr", QByteArray("#!AMR\n\x3c"), true},
        {"d.avi", QByteArray("RIFF\0\0\0\0AVI ", 12), true},
        {"e.wmv", QByteArray::fromHex("3026B2758E66CF11A6D900AA0062CE6C"), true},
        {"f.wmv", QByteArray("not asf at all"), false},
        {"g.mpg", QByteArray::fromHex("000001BA44000400040101"), true},
        {"h.mpg", QByteArray("anything"), false},
    };
    for (const auto& f : files) {
        const QString path = dir.filePath(QLatin1String(f.name));
        ASSERT_TRUE(testsupport::writeFile(path, f.bytes));
        QString why;
        EXPECT_EQ(carvedFilePlausible(path, &why), f.plausible) << f.name;
        EXPECT_EQ(why.isEmpty(), f.plausible) << f.name;
    }
    KdBackup model;
    const struct {
        const char* devicePath;
        KdData* category;
    } places[] = {
        {"/mnt2/mobile/Media/Recordings/carved/1.m4a", model.getVoiceMemo()},
        {"/mnt2/mobile/Media/Recordings/carved/2.amr", model.getVoiceMemo()},
        {"/mnt2/mobile/Media/DCIM/carved/3.avi", model.getCamareRoll()},
        {"/mnt2/mobile/Media/DCIM/carved/4.GIF", model.getCamareRoll()},
        {"/mnt2/mobile/Library/SMS/Attachments/5.jpg", model.getMessageAttachment()},
        {"/carved/6.amr", nullptr}, // a folder no category holds
        {"/carved/7.jpg", nullptr},
    };
    for (const auto& p : places)
        EXPECT_EQ(carvedFileCategory(&model, QLatin1String(p.devicePath)), p.category) << p.devicePath;
}

// What is carved and not listed is named, with why; what is listed is in its category.
TEST(Device, CarvedFilesNotListedAreNamedAsSkipped)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("root/private/var/mobile"))) && QDir().mkpath(dir.filePath(QStringLiteral("work"))));
    // A bitmap header whole to the carver, with a compression no decoder takes for 24-bit pixels.
    QByteArray bmp = QByteArray::fromHex("424d9a00000000000000360000002800000004000000040000000100180001000000");
    bmp += QByteArray(154 - bmp.size(), '\x11');
    QByteArray image(256 << 10, '\0');
    image.replace(0x10000, bmp.size(), bmp);
    const QByteArray tiff = tiffFile(false);
    image.replace(0x20000, tiff.size(), tiff);
    const QString raw = dir.filePath(QStringLiteral("data.img"));
    ASSERT_TRUE(testsupport::writeFile(raw, image));
    QString why;
    const std::unique_ptr<CDevice> device = CDevice::open(dir.filePath(QStringLiteral("root")), dir.filePath(QStringLiteral("work")), &why);
    ASSERT_TRUE(device) << why.toStdString();
    device->setImage(raw);
    CiPhoneBackup owner(device.get(), dir.filePath(QStringLiteral("work")));
    KdBackup model;
    QStringList skipped;
    owner.scanDeletedFiles(&model, nullptr, &skipped);
    EXPECT_EQ(skipped, QStringList{QStringLiteral("1 carved file not listed (not a picture: it does not decode): 0000000000010000.bmp")});
    ASSERT_EQ(model.getCamareRoll()->count(), 1);
    EXPECT_EQ(model.getCamareRoll()->at(0, false)->value(0), QStringLiteral("0000000000020000.tif"));
    EXPECT_TRUE(model.getCamareRoll()->at(0, false)->isDeleted());
}

// With a selection of categories, nothing else of the source is copied or carved out of it.
TEST(Device, OnlyWhatTheSelectedCategoriesReadIsCopied)
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("device")), image = dir.filePath(QStringLiteral("data.img"));
    ASSERT_TRUE(sample::writeDemoDevice(root));
    ASSERT_TRUE(sample::writeMediaImage(image, 8 << 20, 7, nullptr));
    const QString out = dir.filePath(QStringLiteral("out"));
    const auto r = runCli({QStringLiteral("device"), root, QStringLiteral("--image"), image, QStringLiteral("--out"), out,
                           QStringLiteral("--categories"), QStringLiteral("calendar,voice_memos")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    QStringList copied;
    QDirIterator it(out + QStringLiteral("/device-copy"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        copied << QDir(out + QStringLiteral("/device-copy")).relativeFilePath(it.next());
    ASSERT_FALSE(copied.isEmpty());
    for (const QString& f : copied)
        EXPECT_TRUE(f.startsWith(QLatin1String("sqlite_dbs/Calendar/")) || f.startsWith(QLatin1String("sqlite_dbs/Recordings/"))
                    || f.endsWith(QLatin1String(".m4a")) || f.endsWith(QLatin1String(".amr")))
            << f.toStdString();
}

TEST(Device, DeletedMediaAreCarvedFromTheImageIntoTheirCategories)
{
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("device")), image = dir.filePath(QStringLiteral("data.img"));
    ASSERT_TRUE(sample::writeDemoDevice(root));
    QList<sample::PlantedMedia> truth;
    ASSERT_TRUE(sample::writeMediaImage(image, 24 << 20, 7, &truth));
    const QByteArray imageHash = QCryptographicHash::hash(testsupport::readFile(image), QCryptographicHash::Sha1);
    const QString out = dir.filePath(QStringLiteral("out"));
    // A pipe would be read for ever: refused before anything is read.
    const QString pipe = dir.filePath(QStringLiteral("pipe.img"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    const auto refused = runCli({QStringLiteral("device"), root, QStringLiteral("--image"), pipe, QStringLiteral("--out"), out});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_TRUE(refused.err.contains("pipe.img is not a regular file: give a raw image file")) << refused.err.constData();
    const auto r = runCli({QStringLiteral("device"), root, QStringLiteral("--image"), image, QStringLiteral("--out"), out});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    // Cut-short pictures among the planted ones make the image decoders complain: into the trace
    // only, or (libpng, which writes to stderr itself) not at all.
    EXPECT_FALSE(r.err.contains("Corrupt JPEG")) << r.err.constData();
    EXPECT_FALSE(r.err.contains("libpng")) << r.err.constData();

    // Every intact planted file comes back byte for byte, listed as a deleted item; no decoy does.
    QSet<QByteArray> carved;
    for (const QString& name : QDir(out + QStringLiteral("/device-copy/deleted")).entryList(QDir::Files))
        carved << QCryptographicHash::hash(testsupport::readFile(out + QStringLiteral("/device-copy/deleted/") + name), QCryptographicHash::Sha1);
    int intact = 0;
    for (const sample::PlantedMedia& p : truth) {
        const QString where = QStringLiteral("%1 at %2").arg(p.extension).arg(p.offset);
        if (p.kind == sample::PlantedMedia::Intact) {
            ++intact;
            EXPECT_TRUE(carved.contains(p.bytes_sha1)) << where.toStdString();
        } else if (p.kind == sample::PlantedMedia::Decoy) {
            EXPECT_FALSE(QFileInfo::exists(out + QStringLiteral("/device-copy/deleted/%1.%2").arg(p.offset, 16, 16, QLatin1Char('0')).arg(p.extension)))
                << where.toStdString();
        }
    }
    EXPECT_GT(intact, 17);
    // Every carved file is listed: recordings as voice memos with their size and length,
    // pictures and videos in the camera roll.
    QMap<QString, QString> categoryOf;
    QMap<QString, QJsonObject> valuesOf;
    for (const QString& category : {QStringLiteral("camera_roll"), QStringLiteral("photo_library"), QStringLiteral("message_attachments"),
                                    QStringLiteral("voice_memos")}) {
        const QJsonObject o = QJsonDocument::fromJson(testsupport::readFile(out + QLatin1Char('/') + category + QStringLiteral(".json"))).object();
        for (const QJsonValue& v : o.value(QStringLiteral("items")).toArray()) {
            const QString file = v.toObject().value(QStringLiteral("file")).toString();
            if (file.contains(QLatin1String("/device-copy/deleted/"))) {
                categoryOf.insert(QFileInfo(file).fileName(), category);
                valuesOf.insert(QFileInfo(file).fileName(), v.toObject().value(QStringLiteral("values")).toObject());
            }
        }
    }
    const QStringList written = QDir(out + QStringLiteral("/device-copy/deleted")).entryList(QDir::Files);
    EXPECT_GE(written.size(), intact);
    for (const QString& name : written) {
        const bool recording = name.endsWith(QLatin1String(".m4a")) || name.endsWith(QLatin1String(".amr"));
        EXPECT_EQ(categoryOf.value(name), recording ? QStringLiteral("voice_memos") : QStringLiteral("camera_roll")) << name.toStdString();
        if (recording) {
            EXPECT_FALSE(valuesOf.value(name).value(QStringLiteral("Size")).toString().isEmpty()) << name.toStdString();
            EXPECT_FALSE(valuesOf.value(name).value(QStringLiteral("Duration")).toString().isEmpty()) << name.toStdString();
        }
    }
    EXPECT_EQ(QCryptographicHash::hash(testsupport::readFile(image), QCryptographicHash::Sha1), imageHash) << "the image is only read";
}
