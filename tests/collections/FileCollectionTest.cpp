// The file categories: which indexed files each collection takes (domain, folder, extension,
// hidden paths, data file present), progress per record and cancellation.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "BackupFiles.h"
#include "CFileCollection.h"
#include "CMediaCollections.h"
#include "CManifestRecord.h"
#include "CollectionSample.h"
#include "kddata/KdBackup.h"
#include "kddata/KdItems.h"

using testsupport::ProgressRecorder;

namespace {

class PictureCollection : public CFileCollection
{
public:
    explicit PictureCollection(KdData* data) : CFileCollection(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/DCIM/"))
    {
        m_suffixes << QStringLiteral("jpg") << QStringLiteral("png");
        m_pData = data;
    }
};

class FileCollectionTest : public ::testing::Test
{
protected:
    // Indexes the record; writes its data file unless `data` is null.
    void add(const QString& domain, const QString& path, const char* data)
    {
        auto* r = new CManifestRecord;
        r->domain = domain;
        r->relativePath = path;
        r->hashName = backupFileName(domain, path);
        if (data)
            testsupport::writeFile(QDir(dir.path()).filePath(r->hashName + suffix), data);
        records.append(r);
    }
    void TearDown() override { qDeleteAll(records); }

    QStringList collectedNames(CIProgressCallback* progress = nullptr)
    {
        data.clear();
        PictureCollection c(&data);
        c.setProgress(progress);
        c.collect(dir.path(), records, suffix);
        return collsample::rows(&data, [](const KdAbstractItem* i) { return QStringList{i->value(0)}; });
    }

    QTemporaryDir dir;
    QString suffix;
    QList<CManifestRecord*> records;
    KdData data{KdData::CameraRoll};
};

} // namespace

// The older index names data files with a suffix: the item points at that file.
TEST_F(FileCollectionTest, DataFilesOfTheOlderIndexKeepTheirSuffix)
{
    suffix = QStringLiteral(".mddata");
    add(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0100.PNG"), "png");
    EXPECT_EQ(collectedNames(), QStringList{QStringLiteral("IMG_0100.PNG")});
    const auto* item = static_cast<KdFileItem*>(data.at(0, false));
    EXPECT_EQ(item->filePath(), QDir(dir.path()).absoluteFilePath(records[0]->hashName + suffix));
    EXPECT_EQ(item->size(), 3u);
}

// One report per record, filtered or not, so the range fills exactly; a false answer stops
// before the record it was reported for.
TEST_F(FileCollectionTest, ProgressPerRecordAndCancellation)
{
    for (int i = 0; i < 8; ++i)
        add(i % 2 ? QStringLiteral("HomeDomain") : QStringLiteral("CameraRollDomain"),
            QStringLiteral("Media/DCIM/100APPLE/IMG_%1.jpg").arg(i), "jpeg");
    ProgressRecorder all(100);
    EXPECT_EQ(collectedNames(&all).size(), 4);
    EXPECT_EQ(all.steps, std::vector<double>(8, 12.5));
    ProgressRecorder stop(100);
    stop.answer = [](int call) { return call < 3; };
    EXPECT_EQ(collectedNames(&stop), QStringList{QStringLiteral("IMG_0.jpg")});
    EXPECT_EQ(stop.steps.size(), 3u);
    qDeleteAll(records);
    records.clear();
    ProgressRecorder none;
    EXPECT_TRUE(collectedNames(&none).isEmpty());
    EXPECT_TRUE(none.steps.empty());
}

// Which file ends up in which of the three file categories: prefixes, domains, letter case,
// extensions, bookkeeping folders, hidden paths, empty files and files without data.
TEST_F(FileCollectionTest, AttachmentsCameraRollAndPhotoStreamTakeTheirOwnFiles)
{
    const QString media = QStringLiteral("MediaDomain");
    const struct {
        const char* domain;
        const char* path;
        const char* data;
        const char* category; // "" for none
    } files[] = {
        {"MediaDomain", "Library/SMS/Attachments/ab/11/X/IMG_0001.JPG", "x", "attachments"},
        {"MediaDomain", "Library/SMS/Parts/0c/01/12-1-preview-left.jpg", "x", "attachments"},
        {"MediaDomain", "Library/SMS/Attachments/ab/11/X/notes.txt", "x", "attachments"}, // any kind of file
        {"HomeDomain", "Library/SMS/Attachments/ab/11/X/IMG_0002.JPG", "x", ""},
        {"MediaDomain", "Library/SMS/Partsfoo.txt", "x", ""},
        {"MediaDomain", "library/sms/Parts/1.jpg", "x", ""},
        {"MediaDomain", "Library/SMS/Attachments/ab/.hidden", "x", ""},
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0003.jpg", "x", "camera"},
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0004.Mov", "x", "camera"},
        {"HomeDomain", "Media/DCIM/100APPLE/IMG_0005.JPG", "x", ""},
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0006.misc.JPG", "x", ""},
        {"MediaDomain", "Media/DCIM/.MISC/Info.JPG", "x", ""},
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0007.THM", "x", ""},
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0008.JPG", "", ""}, // empty
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0009.JPG", nullptr, ""}, // indexed, no data file
        {"MediaDomain", "Media/PhotoStreamsData/12/100APPLE/IMG_0010.jpg", "xy", "stream"},
        {"CameraRollDomain", "Media/PhotoStreamsData/12/100APPLE/IMG_0011.JPG", "x", ""},
        {"camerarolldomain", "Media/DCIM/100APPLE/IMG_0012.jpg", "x", ""},
        {"CameraRollDomain", "Media/DCIM/100APPLE/jpg", "x", ""}, // no extension at all
    };
    for (const auto& f : files)
        add(QLatin1String(f.domain), QLatin1String(f.path), f.data);
    KdData attachments(KdData::MessageAttachments), camera(KdData::CameraRoll), stream(KdData::PhotoStream);
    CSMSAttachmentsCollection(&attachments).collect(dir.path(), records, suffix);
    CPhotoCollection(&camera).collect(dir.path(), records, suffix);
    CPhotoStreamCollection(&stream).collect(dir.path(), records, suffix);
    const auto names = [](const KdData& d) { return collsample::rows(&d, [](const KdAbstractItem* i) { return QStringList{i->value(0)}; }); };
    QStringList expected[3];
    for (const auto& f : files) {
        const QByteArray c(f.category);
        const int k = c == "attachments" ? 0 : c == "camera" ? 1 : c == "stream" ? 2 : -1;
        if (k >= 0)
            expected[k] << QString::fromLatin1(f.path).section(QLatin1Char('/'), -1);
    }
    EXPECT_EQ(names(attachments), expected[0]);
    EXPECT_EQ(names(camera), expected[1]);
    EXPECT_EQ(names(stream), expected[2]);
    // An item points at the data file inside the backup and keeps the device path.
    auto* item = dynamic_cast<KdFileItem*>(stream.at(0, false));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->size(), 2u);
    EXPECT_EQ(item->filePath(), QDir(dir.path()).absoluteFilePath(backupFileName(media, QLatin1String(files[15].path))));
    EXPECT_EQ(item->devicePath(), QLatin1String(files[15].path));
}
