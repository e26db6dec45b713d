#include <gtest/gtest.h>

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTimeZone>

#include "kddata/CCommonUtils.h"
#include "TestSupport.h"

TEST(CCommonUtils, DateBases)
{
    struct Case {
        bool base2001;
        qint64 seconds;
        QDateTime expected;
    };
    const Case cases[] = {
        {true, 0, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)},
        {true, 86399, QDateTime(QDate(2001, 1, 1), QTime(23, 59, 59), Qt::UTC)},
        {true, -1, QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {true, 400000000, QDateTime(QDate(2013, 9, 4), QTime(15, 6, 40), Qt::UTC)},
        {false, 0, QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC)},
        {false, 978307200, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)},
        {false, -86400, QDateTime(QDate(1969, 12, 31), QTime(0, 0), Qt::UTC)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        const QDateTime got = c.base2001 ? CCommonUtils::buildDateTimeBase2001(c.seconds)
                                         : CCommonUtils::buildDateTimeBaseUnix(c.seconds);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(got.timeSpec(), Qt::UTC);
    }
    // The two bases are 978307200 seconds apart.
    EXPECT_EQ(CCommonUtils::buildDateTimeBase2001(123), CCommonUtils::buildDateTimeBaseUnix(978307200 + 123));
}

TEST(CCommonUtils, Texts)
{
    const QDateTime dt(QDate(2014, 3, 9), QTime(7, 5, 59), Qt::UTC);
    EXPECT_EQ(CCommonUtils::datetimeToMinute(dt, true), "2014-03-09 07:05");
    EXPECT_EQ(CCommonUtils::datetimeToMinute(dt, false), "2014-03-09");
    EXPECT_EQ(CCommonUtils::datetimeToMinute(QDateTime(), true), "");
    // A local-time input is shown in UTC.
    const QDateTime offset(QDate(2014, 3, 9), QTime(9, 5), Qt::OffsetFromUTC, 7200);
    EXPECT_EQ(CCommonUtils::datetimeToMinute(offset, true), "2014-03-09 07:05");

    struct Dur {
        int seconds;
        bool withHour;
        const char* text;
    };
    const Dur durs[] = {
        {0, false, "0:00"},   {75, false, "1:15"},   {75, true, "0:01:15"},
        {3600, false, "1:00:00"}, {3725, true, "1:02:05"}, {-5, false, "-0:05"},
    };
    for (const Dur& d : durs)
        EXPECT_EQ(CCommonUtils::durationToString(d.seconds, d.withHour), d.text) << d.seconds;

    struct Size {
        qint64 bytes;
        const char* text;
    };
    const Size sizes[] = {
        {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KB"}, {1536, "1.5 KB"},
        {5 * 1024 * 1024, "5.0 MB"}, {3LL * 1024 * 1024 * 1024, "3.0 GB"},
    };
    for (const Size& s : sizes)
        EXPECT_EQ(CCommonUtils::sizeToString(s.bytes), s.text) << s.bytes;
}

TEST(CCommonUtils, CopyFileNeverOverwrites)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
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
    ASSERT_TRUE(tmp.isValid());
    const QString work = tmp.filePath("work");
    ASSERT_TRUE(testsupport::writeFile(work + "/a.db", "a"));
    ASSERT_TRUE(testsupport::writeFile(work + "/.hidden", "h"));
    ASSERT_TRUE(testsupport::writeFile(work + "/sub/deeper/b.db", "b"));
    const QString outside = tmp.filePath("outside.txt");
    ASSERT_TRUE(testsupport::writeFile(outside, "keep"));
    ASSERT_TRUE(QFile::link(outside, work + "/link"));

    EXPECT_TRUE(CCommonUtils::clearDir(work));
    EXPECT_TRUE(QDir(work).exists());
    EXPECT_TRUE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_EQ(testsupport::readFile(outside), QByteArray("keep")); // a link is removed, not followed

    const QString fresh = tmp.filePath("fresh/one");
    EXPECT_TRUE(CCommonUtils::clearDir(fresh));
    EXPECT_TRUE(QDir(fresh).exists());
    EXPECT_FALSE(CCommonUtils::clearDir(""));
}

namespace {

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char ch : bytes) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

} // namespace

TEST(CCommonUtils, ImageSafeLoad)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QImage img(4, 3, QImage::Format_RGB32);
    img.fill(Qt::green);
    const QString png = tmp.filePath("ok.png");
    ASSERT_TRUE(img.save(png, "PNG"));

    QImage loaded;
    ASSERT_TRUE(CCommonUtils::imageSafeLoad(loaded, png));
    EXPECT_EQ(loaded.size(), QSize(4, 3));

    const QImage before = loaded;
    const QString junk = tmp.filePath("junk.jpg");
    ASSERT_TRUE(testsupport::writeFile(junk, QByteArray("\xFF\xD8\xFF garbage", 12)));
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, junk));
    EXPECT_EQ(loaded, before); // a failed load leaves the target as it was
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, tmp.filePath("missing.png")));

    // A well-formed PNG header claiming 200000 x 200000 pixels is refused, not allocated.
    // PNG: signature (8), IHDR length (4), "IHDR" (4) at 12, width and height (4 + 4) at 16,
    // five more bytes, then the CRC of type and data at 29.
    QByteArray huge = testsupport::readFile(png);
    ASSERT_GT(huge.size(), 33);
    ASSERT_EQ(huge.mid(12, 4), QByteArray("IHDR"));
    const uchar dims[8] = {0x00, 0x03, 0x0D, 0x40, 0x00, 0x03, 0x0D, 0x40};
    huge.replace(16, 8, reinterpret_cast<const char*>(dims), 8);
    const quint32 crc = crc32(huge.mid(12, 17));
    const char crcBytes[4] = {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
    huge.replace(29, 4, crcBytes, 4);
    const QString bomb = tmp.filePath("bomb.png");
    ASSERT_TRUE(testsupport::writeFile(bomb, huge));
    ASSERT_EQ(QImageReader(bomb).size(), QSize(200000, 200000)); // the header itself is valid
    EXPECT_FALSE(CCommonUtils::imageSafeLoad(loaded, bomb));
}
