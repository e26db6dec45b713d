// The carver against a generated image whose every planted file is known.

#include "../../lib/mediacarve/MediaCarver_p.h"
#include "TestSupport.h"
#include "mediacarve/MediaCarver.h"
#include "mediaimage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

using testsupport::readFile;
using testsupport::snapshotFolder;
using testsupport::writeFile;

QStringList all() { return mediacarve::supportedExtensions(); }

QByteArray sha1Of(const QString& path)
{
    return QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1);
}

class CarveImageTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<QTemporaryDir>();
        s_image = s_dir->filePath(QStringLiteral("disk.img"));
        QString why;
        // Three blocks of the reader, so that a stop can come between them.
        ASSERT_TRUE(sample::writeMediaImage(s_image, 24 << 20, 7, &s_truth, &why)) << why.toStdString();
        ASSERT_TRUE(QDir(s_dir->path()).mkdir(QStringLiteral("out")));
        s_ok = mediacarve::carveImage(s_image, all(), s_dir->filePath(QStringLiteral("out")), &s_found,
                                      [](qint64 done, qint64 total) { s_progress << done; return done <= total; }, &why);
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    static const mediacarve::CarvedFile* carvedAt(qint64 offset)
    {
        for (const mediacarve::CarvedFile& f : s_found)
            if (f.offset == offset)
                return &f;
        return nullptr;
    }

    static inline std::unique_ptr<QTemporaryDir> s_dir;
    static inline QString s_image;
    static inline QList<sample::PlantedMedia> s_truth;
    static inline QList<mediacarve::CarvedFile> s_found;
    static inline QList<qint64> s_progress;
    static inline bool s_ok = false;
};

TEST_F(CarveImageTest, EveryIntactFileComesBackByteIdentical)
{
    ASSERT_TRUE(s_ok);
    QSet<QString> kinds;
    for (const sample::PlantedMedia& t : s_truth) {
        if (t.kind != sample::PlantedMedia::Intact)
            continue;
        kinds << t.extension;
        const mediacarve::CarvedFile* f = carvedAt(t.offset);
        ASSERT_TRUE(f) << t.extension.toStdString() << " at " << t.offset;
        EXPECT_EQ(f->extension, t.extension) << t.offset;
        EXPECT_EQ(f->size, t.size) << t.extension.toStdString() << " at " << t.offset;
        EXPECT_EQ(sha1Of(f->localPath), t.bytes_sha1) << t.extension.toStdString() << " at " << t.offset;
    }
    EXPECT_EQ(kinds.size(), 16); // the 17 extensions, TIFF named "tif" in both byte orders
}

TEST_F(CarveImageTest, NothingButPlantedFilesOrTheirSurvivingStart)
{
    for (const mediacarve::CarvedFile& f : s_found) {
        const sample::PlantedMedia* planted = nullptr;
        for (const sample::PlantedMedia& t : s_truth)
            if (t.offset == f.offset)
                planted = &t;
        ASSERT_TRUE(planted) << f.extension.toStdString() << " at " << f.offset;
        ASSERT_NE(planted->kind, sample::PlantedMedia::Decoy) << f.extension.toStdString() << " at " << f.offset;
        // Cut files come back whole as far as they survived. Where the noise after the cut happens
        // to read as the format's own end (a JPEG's entropy data has no length), a little of it
        // follows; what survived must still come first.
        if (planted->kind == sample::PlantedMedia::Intact) {
            EXPECT_EQ(f.size, planted->size) << f.extension.toStdString() << " at " << f.offset;
        } else if (f.size > planted->size) {
            QFile carved(f.localPath);
            ASSERT_TRUE(carved.open(QIODevice::ReadOnly));
            EXPECT_EQ(QCryptographicHash::hash(carved.read(planted->size), QCryptographicHash::Sha1), planted->bytes_sha1)
                << f.extension.toStdString() << " at " << f.offset;
            EXPECT_LT(f.size - planted->size, 4096) << f.extension.toStdString() << " at " << f.offset;
        }
    }
}

TEST_F(CarveImageTest, NamesAndDevicePathsFollowTheKind)
{
    const struct { const char* ext; const char* folder; } table[] = {
        {"jpg", "/mnt2/mobile/Media/DCIM/carved/"}, {"png", "/mnt2/mobile/Media/DCIM/carved/"},
        {"mov", "/mnt2/mobile/Media/DCIM/carved/"}, {"mp4", "/mnt2/mobile/Media/DCIM/carved/"},
        {"m4v", "/mnt2/mobile/Media/DCIM/carved/"}, {"m4a", "/mnt2/mobile/Media/Recordings/carved/"},
        {"amr", "/carved/"}, {"3gp", "/carved/"}, {"3g2", "/carved/"}, {"avi", "/carved/"}, {"wmv", "/carved/"},
        {"mpg", "/carved/"}, {"gif", "/carved/"}, {"ico", "/carved/"}, {"tif", "/carved/"}, {"bmp", "/carved/"}};
    for (const auto& row : table) {
        int seen = 0;
        for (const mediacarve::CarvedFile& f : s_found) {
            if (f.extension != QLatin1String(row.ext))
                continue;
            ++seen;
            const QString name = QStringLiteral("%1.%2").arg(f.offset, 16, 16, QLatin1Char('0')).arg(f.extension);
            EXPECT_EQ(f.devicePath, QLatin1String(row.folder) + name);
            EXPECT_EQ(f.localPath, s_dir->filePath(QStringLiteral("out/") + name));
        }
        EXPECT_GT(seen, 0) << row.ext;
    }
}

TEST_F(CarveImageTest, WritesOnlyTheCarvedFilesIntoTheTargetFolder)
{
    const QMap<QString, QByteArray> files = snapshotFolder(s_dir->path());
    EXPECT_EQ(files.size(), s_found.size() + 1); // and the image
    for (const QString& name : files.keys())
        EXPECT_TRUE(name == QLatin1String("disk.img") || name.startsWith(QLatin1String("out/"))) << name.toStdString();
    ASSERT_FALSE(s_progress.isEmpty());
    EXPECT_EQ(s_progress.last(), 24 << 20);
    EXPECT_TRUE(std::is_sorted(s_progress.begin(), s_progress.end()));
}

TEST_F(CarveImageTest, OnlyTheAskedExtensions)
{
    QTemporaryDir out;
    QList<mediacarve::CarvedFile> found;
    QString why;
    ASSERT_TRUE(mediacarve::carveImage(s_image, {QStringLiteral("PNG"), QStringLiteral("m4a"), QStringLiteral("tiff")},
                                       out.path(), &found, {}, &why));
    int expected = 0;
    for (const mediacarve::CarvedFile& f : s_found)
        expected += f.extension == QLatin1String("png") || f.extension == QLatin1String("m4a") || f.extension == QLatin1String("tif");
    EXPECT_EQ(found.size(), expected);
    for (const mediacarve::CarvedFile& f : found) {
        EXPECT_TRUE(f.extension == QLatin1String("png") || f.extension == QLatin1String("m4a") || f.extension == QLatin1String("tiff"))
            << f.extension.toStdString();
        EXPECT_TRUE(carvedAt(f.offset)) << f.offset;
    }
}

TEST_F(CarveImageTest, AStopEndsEarlyAndKeepsWhatWasFound)
{
    QTemporaryDir out;
    QList<mediacarve::CarvedFile> found;
    QString why;
    int calls = 0;
    EXPECT_FALSE(mediacarve::carveImage(s_image, all(), out.path(), &found, [&](qint64, qint64) { return ++calls < 2; }, &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_EQ(calls, 2);
    ASSERT_FALSE(found.isEmpty());
    ASSERT_LT(found.size(), s_found.size());
    for (int i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].offset, s_found[i].offset);
        EXPECT_EQ(sha1Of(found[i].localPath), sha1Of(s_found[i].localPath));
    }
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), found.size());
}

TEST_F(CarveImageTest, BlockEdgesChangeNothing)
{
    const QByteArray bytes = readFile(s_image);
    for (const qint64 block : {4096 - 1, 65536 + 7}) {
        QTemporaryDir out;
        QList<mediacarve::CarvedFile> found;
        QString why;
        ASSERT_TRUE(mediacarve::carveBuffer(bytes.constData(), bytes.size(), all(), out.path(), &found, {}, &why, block));
        ASSERT_EQ(found.size(), s_found.size()) << block;
        for (int i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].offset, s_found[i].offset) << block;
            EXPECT_EQ(found[i].size, s_found[i].size) << block;
            EXPECT_EQ(found[i].extension, s_found[i].extension) << block;
        }
    }
}

TEST(CarveImage, RefusesWhatItCannotRead)
{
    QTemporaryDir dir;
    QString why;
    QList<mediacarve::CarvedFile> found;
    EXPECT_FALSE(mediacarve::carveImage(dir.filePath(QStringLiteral("missing.img")), all(), dir.path(), &found, {}, &why));
    EXPECT_FALSE(why.isEmpty());
    why.clear();
    EXPECT_FALSE(mediacarve::carveImage(dir.path(), all(), dir.path(), &found, {}, &why)); // a folder
    EXPECT_FALSE(why.isEmpty());
    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("a.img")), QByteArray(100, 'x')));
    why.clear();
    EXPECT_FALSE(mediacarve::carveImage(dir.filePath(QStringLiteral("a.img")), all(), dir.filePath(QStringLiteral("nowhere")), &found, {}, &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_TRUE(found.isEmpty());
}

} // namespace
