#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "BackupFiles.h"
#include "CFileCollection.h"
#include "CManifestRecord.h"
#include "TestSupport.h"
#include "kddata/KdBackup.h"

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
        QStringList out;
        for (int i = 0; i < data.count(); ++i)
            out << data.at(i, false)->value(0);
        return out;
    }

    QTemporaryDir dir;
    QString suffix;
    QList<CManifestRecord*> records;
    KdData data{KdData::CameraRoll};
};

} // namespace

TEST_F(FileCollectionTest, FiltersByDomainPrefixHiddenPathsExtensionAndDataFile)
{
    const struct {
        const char* domain;
        const char* path;
        const char* data;
    } rows[] = {
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", "jpeg"},  // taken: extension case ignored
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.png", "png"},   // taken
        {"camerarolldomain", "Media/DCIM/100APPLE/IMG_0003.jpg", "jpeg"},  // domain case matters
        {"CameraRollDomain", "media/DCIM/100APPLE/IMG_0004.jpg", "jpeg"},  // prefix case matters
        {"CameraRollDomain", "Media/DCIM/.thumbs/IMG_0005.jpg", "jpeg"},   // hidden folder
        {"CameraRollDomain", "Media/DCIM/100APPLE/.IMG_0006.jpg", "jpeg"}, // hidden file
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0007.jpg", nullptr}, // no data file
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0008.jpg", ""},      // empty data file
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0009.mov", "mov"},   // extension not listed
        {"CameraRollDomain", "Media/DCIM/100APPLE/jpg", "jpeg"},           // no extension at all
    };
    for (const auto& r : rows)
        add(QString::fromUtf8(r.domain), QString::fromUtf8(r.path), r.data);
    EXPECT_EQ(collectedNames(), (QStringList{QStringLiteral("IMG_0001.JPG"), QStringLiteral("IMG_0002.png")}));
    const auto* item = static_cast<KdFileItem*>(data.at(0, false));
    EXPECT_EQ(item->filePath(), QDir(dir.path()).absoluteFilePath(records[0]->hashName));
    EXPECT_EQ(item->size(), 4u);

    suffix = QStringLiteral(".mddata"); // the older index names data files with a suffix
    qDeleteAll(records);
    records.clear();
    add(QStringLiteral("CameraRollDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0100.PNG"), "png");
    EXPECT_EQ(collectedNames(), QStringList{QStringLiteral("IMG_0100.PNG")});
    EXPECT_TRUE(static_cast<KdFileItem*>(data.at(0, false))->filePath().endsWith(QLatin1String(".mddata")));
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
