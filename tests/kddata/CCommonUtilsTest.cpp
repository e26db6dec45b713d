#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "TestSupport.h"
#include "kddata/CCommonUtils.h"

TEST(CCommonUtils, DateBases)
{
    const struct {
        bool base2001;
        qint64 seconds;
        QDateTime expected;
    } cases[] = {
        {true, 0, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)},
        {true, -1, QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {true, 400000000, QDateTime(QDate(2013, 9, 4), QTime(15, 6, 40), Qt::UTC)},
        {false, 0, QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC)},
        {false, 978307200, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)},
        {false, -86400, QDateTime(QDate(1969, 12, 31), QTime(0, 0), Qt::UTC)},
    };
    for (const auto& c : cases) {
        const QDateTime got = c.base2001 ? CCommonUtils::buildDateTimeBase2001(c.seconds)
                                         : CCommonUtils::buildDateTimeBaseUnix(c.seconds);
        EXPECT_EQ(got, c.expected) << c.seconds;
        EXPECT_EQ(got.timeSpec(), Qt::UTC) << c.seconds;
    }
}

TEST(CCommonUtils, Texts)
{
    const QDateTime dt(QDate(2014, 3, 9), QTime(7, 5, 59), Qt::UTC);
    EXPECT_EQ(CCommonUtils::datetimeToMinute(dt, true), "2014-03-09 07:05");
    EXPECT_EQ(CCommonUtils::datetimeToMinute(dt, false), "2014-03-09");
    EXPECT_EQ(CCommonUtils::datetimeToMinute(QDateTime(), true), "");
    // Shown in UTC whatever the input's zone.
    EXPECT_EQ(CCommonUtils::datetimeToMinute(QDateTime(QDate(2014, 3, 9), QTime(9, 5), Qt::OffsetFromUTC, 7200), true),
              "2014-03-09 07:05");

    const struct {
        int seconds;
        bool withHour;
        const char* text;
    } durations[] = {
        {0, false, "0:00"}, {75, false, "1:15"}, {75, true, "0:01:15"},
        {3600, false, "1:00:00"}, {3725, true, "1:02:05"}, {-5, false, "-0:05"},
    };
    for (const auto& d : durations)
        EXPECT_EQ(CCommonUtils::durationToString(d.seconds, d.withHour), d.text) << d.seconds;

    const struct {
        qint64 bytes;
        const char* text;
    } sizes[] = {
        {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KB"}, {1536, "1.5 KB"},
        {5 * 1024 * 1024, "5.0 MB"}, {3LL * 1024 * 1024 * 1024, "3.0 GB"},
    };
    for (const auto& s : sizes)
        EXPECT_EQ(CCommonUtils::sizeToString(s.bytes), s.text) << s.bytes;
}

TEST(CCommonUtils, CopyFileNeverOverwrites)
{
    QTemporaryDir tmp;
    const QString source = tmp.filePath("src.bin");
    ASSERT_TRUE(testsupport::writeFile(source, "new"));
    const QDir target(tmp.filePath("out/nested"));
    ASSERT_TRUE(CCommonUtils::copyFile(source, target, "copy.bin")); // creates the folder
    EXPECT_EQ(testsupport::readFile(target.filePath("copy.bin")), QByteArray("new"));

    ASSERT_TRUE(testsupport::writeFile(target.filePath("kept.bin"), "old"));
    EXPECT_FALSE(CCommonUtils::copyFile(source, target, "kept.bin"));
    EXPECT_EQ(testsupport::readFile(target.filePath("kept.bin")), QByteArray("old"));
    EXPECT_FALSE(CCommonUtils::copyFile(tmp.filePath("missing"), target, "m.bin"));
    EXPECT_FALSE(QFile::exists(target.filePath("m.bin")));
    EXPECT_FALSE(CCommonUtils::copyFile(source, target, ""));
    EXPECT_FALSE(CCommonUtils::copyFile(tmp.path(), target, "dir.bin")); // a folder is no file
}

TEST(CCommonUtils, ClearDirEmptiesButKeepsTheFolder)
{
    QTemporaryDir tmp;
    const QString work = tmp.filePath("work");
    for (const char* name : {"/a.db", "/.hidden", "/sub/deeper/b.db"})
        ASSERT_TRUE(testsupport::writeFile(work + QLatin1String(name), "x"));
    const QString outside = tmp.filePath("outside.txt");
    ASSERT_TRUE(testsupport::writeFile(outside, "keep"));
    ASSERT_TRUE(QFile::link(outside, work + "/link"));

    EXPECT_TRUE(CCommonUtils::clearDir(work));
    EXPECT_TRUE(QDir(work).exists());
    EXPECT_TRUE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_EQ(testsupport::readFile(outside), QByteArray("keep")); // a link is removed, not followed
    EXPECT_TRUE(CCommonUtils::clearDir(tmp.filePath("fresh/one")));
    EXPECT_TRUE(QDir(tmp.filePath("fresh/one")).exists());
    EXPECT_FALSE(CCommonUtils::clearDir(""));
}

TEST(CCommonUtils, ImageSafeLoad)
{
    QTemporaryDir tmp;
    QImage img(4, 3, QImage::Format_RGB32);
    img.fill(Qt::green);
    const QString png = tmp.filePath("ok.png");
    ASSERT_TRUE(img.save(png, "PNG"));
    QImage loaded;
    ASSERT_TRUE(CCommonUtils::imageSafeLoad(loaded, png));
    EXPECT_EQ(loaded.size(), QSize(4, 3));

    const QImage before = loaded;
    ASSERT_TRUE(testsupport::writeFile(tmp.filePath("junk.jpg"), QByteArray("\xFF\xD8\xFF garbage", 12)));
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, tmp.filePath("junk.jpg")));
    EXPECT_EQ(loaded, before); // a failed load leaves the target as it was
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, tmp.filePath("missing.png")));

    // A valid PNG header claiming 200000 x 200000 pixels is refused, not allocated. Width and
    // height sit at 16, the CRC of "IHDR" and its 13 data bytes at 29.
    QByteArray huge = testsupport::readFile(png);
    ASSERT_EQ(huge.mid(12, 4), QByteArray("IHDR"));
    huge.replace(16, 8, QByteArray::fromHex("00030d4000030d40"));
    quint32 crc = 0xFFFFFFFFu;
    for (char ch : huge.mid(12, 17)) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    huge.replace(29, 4, QByteArray::fromHex(QByteArray::number(crc, 16).rightJustified(8, '0')));
    const QString bomb = tmp.filePath("bomb.png");
    ASSERT_TRUE(testsupport::writeFile(bomb, huge));
    ASSERT_EQ(QImageReader(bomb).size(), QSize(200000, 200000)); // the header itself is valid
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, bomb));
}

// A PNG whose chunks stop before IEND is refused undecoded: libpng would print its complaint on
// stderr, past any message handler.
TEST(CCommonUtils, ImageSafeLoadRefusesAPngCutShortSilently)
{
    QTemporaryDir tmp;
    QImage img(40, 30, QImage::Format_RGB32);
    img.fill(Qt::blue);
    const QString whole = tmp.filePath("whole.png");
    ASSERT_TRUE(img.save(whole, "PNG"));
    const QByteArray bytes = testsupport::readFile(whole);
    ASSERT_EQ(bytes.right(8).left(4), QByteArray("IEND"));
    const QString err = tmp.filePath("stderr");
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int fd = ::open(QFile::encodeName(err).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ::dup2(fd, 2);
    ::close(fd);
    // Cut after the signature, inside IHDR, inside the pixel data, before IEND, inside its CRC.
    for (const qsizetype keep : {qsizetype(8), qsizetype(20), bytes.size() - 20, bytes.size() - 12, bytes.size() - 2}) {
        const QString cut = tmp.filePath(QStringLiteral("cut%1.png").arg(keep));
        ASSERT_TRUE(testsupport::writeFile(cut, bytes.left(keep)));
        QImage loaded;
        EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, cut)) << keep;
    }
    QImage loaded;
    EXPECT_TRUE(CCommonUtils::imageSafeLoad(loaded, whole));
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(testsupport::readFile(err), QByteArray());
}
