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
    // Pictures and videos with the camera roll, recordings with the voice memos.
    const char* const camera = "/mnt2/mobile/Media/DCIM/carved/";
    const char* const recordings = "/mnt2/mobile/Media/Recordings/carved/";
    const struct { const char* ext; const char* folder; } table[] = {
        {"jpg", camera}, {"png", camera}, {"gif", camera}, {"ico", camera}, {"tif", camera}, {"bmp", camera},
        {"mov", camera}, {"mp4", camera}, {"m4v", camera}, {"3gp", camera}, {"3g2", camera}, {"avi", camera},
        {"wmv", camera}, {"mpg", camera}, {"m4a", recordings}, {"amr", recordings}};
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

QByteArray be32(quint32 v) { return QByteArray::fromHex(QByteArray::number(v, 16).rightJustified(8, '0')); }
QByteArray box(const char* type, const QByteArray& body) { return be32(quint32(8 + body.size())) + type + body; }

TEST(RecordingSeconds, FromTheMovieHeaderOrTheFrames)
{
    const QByteArray ftyp = box("ftyp", QByteArray("M4A \0\0\0\0M4A isom", 16));
    // Version, flags, two dates, then time scale and duration (64-bit dates and duration in version 1).
    const QByteArray mvhd0 = box("mvhd", QByteArray(12, '\0') + be32(600) + be32(45300) + QByteArray(80, '\0'));
    const QByteArray mvhd1 = box("mvhd", QByteArray("\x01\0\0\0", 4) + QByteArray(16, '\0') + be32(1000) + be32(1) + be32(0)
                                             + QByteArray(80, '\0'));
    const QByteArray unknown = box("mvhd", QByteArray(12, '\0') + be32(600) + be32(0xFFFFFFFFu) + QByteArray(80, '\0'));
    const QByteArray mdat = box("mdat", QByteArray(5000, 'x'));
    const QByteArray frame = QByteArray(1, char(7 << 3 | 0x04)) + QByteArray(31, 'a'); // 12.2 kbit/s, 20 ms
    const QByteArray amr = "#!AMR\n" + frame.repeated(50 * 3 + 20);
    const struct {
        const char* name;
        QByteArray bytes;
        int seconds;
    } rows[] = {
        {"movie header first", ftyp + box("moov", mvhd0) + mdat, 75},
        {"media data first", ftyp + mdat + box("moov", box("trak", QByteArray(20, '\0')) + mvhd1), 4294967},
        {"cut inside the media data", ftyp + box("moov", mvhd0) + mdat.left(100), 75},
        {"no movie header", ftyp + mdat, -1},
        {"duration unknown", ftyp + box("moov", unknown) + mdat, -1},
        {"frames", amr, 3},
        {"last frame cut", amr.left(amr.size() - 5), 3},
        {"frames then other bytes", "#!AMR\n" + frame.repeated(100) + QByteArray(64, '\xFF'), 2},
        {"neither", QByteArray(64, 'z'), -1},
    };
    QTemporaryDir dir;
    for (const auto& row : rows) {
        const QString path = dir.filePath(QLatin1String(row.name));
        ASSERT_TRUE(writeFile(path, row.bytes));
        EXPECT_EQ(mediacarve::recordingSeconds(path), row.seconds) << row.name;
    }
    EXPECT_EQ(mediacarve::recordingSeconds(dir.filePath(QStringLiteral("missing"))), -1);
}

} // namespace
