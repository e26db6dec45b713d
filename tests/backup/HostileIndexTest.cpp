// Hostile indexes and property lists: implausible or cut-short Manifest.mbdb records, records far
// longer than the read window, index files that are no regular files, property lists nested too
// deep, sharing references explosively or holding a NUL inside a string.
#include <gtest/gtest.h>

#include <QFile>

#include <plist/plist.h>
#include <sys/stat.h>

#include "BackupFixture.h"
#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"
#include "TestSupport.h"

using sample::MbdbRecord;
using sample::SampleBackupWriter;
using testsupport::LogCapture;

namespace {

using Backup = TestBackup;

// The index's only report that it was cut short.
std::string endLine(const Backup& b, const char* why, qint64 offset)
{
    return "Manifest.mbdb " + b.file(QStringLiteral("Manifest.mbdb")).toStdString() + ": " + why + " at offset "
        + std::to_string(offset) + "; the index ends there";
}

MbdbRecord with(quint16 mode, qint64 size = 0, bool emptyDomain = false)
{
    MbdbRecord r = mbdbRecord("HomeDomain", "Library/x");
    r.mode = mode;
    r.size = size;
    r.domainIsEmptyMarker = emptyDomain;
    return r;
}

} // namespace

// The first implausible or cut-short record ends the index, and says so: zeros padding the file must
// not become one empty record per 50 bytes (gigabytes of index), nor garbage a record.
TEST(HostileIndex, AnImplausibleRecordEndsTheIndexThere)
{
    const struct {
        const char* name;
        MbdbRecord middle;
        QByteArray tail;
        const char* why; // null: the record is plausible and the index goes on past it
    } cases[] = {
        {"regular file", with(0100644), {}, nullptr},
        {"folder", with(040755), {}, nullptr},
        {"symbolic link", with(0120755), {}, nullptr},
        {"longest domain", mbdbRecord(QByteArray(1024, 'D'), "x"), {}, nullptr},
        {"zeros after the records", with(0100644), QByteArray(64 * 1024 * 1024, '\0'), "implausible domain"},
        {"empty domain", with(0100644, 0, true), {}, "implausible domain"},
        {"domain too long", mbdbRecord(QByteArray(1025, 'D'), "x"), {}, "implausible domain"},
        {"control character in domain", mbdbRecord("Home\nDomain", "x"), {}, "implausible domain"},
        {"NUL in domain", mbdbRecord(QByteArray("Home\0Domain", 11), "x"), {}, "implausible domain"},
        {"FIFO", with(010644), {}, "implausible file mode"},
        {"character device", with(020644), {}, "implausible file mode"},
        {"socket", with(0140755), {}, "implausible file mode"},
        {"no file type", with(0644), {}, "implausible file mode"},
        {"negative size", with(0100644, -1), {}, "negative file size"},
        {"half a length", with(0100644), QByteArray("\x00", 1), "record cut short by the end of the file"},
        {"string cut short", with(0100644), QByteArray("\x00\x0aHomeDom", 9), "record cut short by the end of the file"},
        {"fixed block cut short", with(0100644), QByteArray("\x00\x01X\x00\x01Y\xff\xff\xff\xff\xff\xff\x00\x10", 14),
         "record cut short by the end of the file"},
    };
    for (const auto& c : cases) {
        Backup b;
        if (!c.tail.isEmpty())
            b.w.addRawRecord(c.middle);
        ASSERT_TRUE(b.write());
        const qint64 offset = b.mbdbSize();
        if (c.tail.isEmpty()) {
            b.w.addRawRecord(c.middle);
            b.w.addRawRecord(mbdbRecord("HomeDomain", "Library/after"));
        }
        b.w.mbdbTail = c.tail;
        ASSERT_TRUE(b.write());
        LogCapture log;
        CiTunesBackup backup;
        ASSERT_TRUE(backup.parseFromPath(b.folder)) << c.name;
        if (!c.why) {
            ASSERT_EQ(backup.files().size(), 3) << c.name;
            EXPECT_EQ(backup.files()[2]->relativePath, QStringLiteral("Library/after")) << c.name;
            EXPECT_FALSE(log.contains("the index ends there")) << c.name;
        } else {
            EXPECT_EQ(backup.files().size(), c.tail.isEmpty() ? 1 : 2) << c.name;
            EXPECT_EQ(log.count("iTunesBackup", endLine(b, c.why, offset)), 1) << c.name;
        }
    }
}

// A record many times longer than the read window, and fields straddling the window's edges,
// keep the records aligned.
TEST(HostileIndex, RecordsLongerThanTheReadWindowStayAligned)
{
    const int longest = 0xFFFE; // 0xFFFF marks an empty string
    Backup b;
    MbdbRecord big = mbdbRecord("HomeDomain", QByteArray(longest, 'p'));
    big.linkTarget = QByteArray(longest, 'l');
    big.digest = QByteArray(longest, 'd');
    big.encryptionKey = QByteArray(longest, 'k');
    for (int i = 0; i < 255; ++i)
        big.properties.append(qMakePair(QByteArray(3000, 'n'), QByteArray(longest, char(i))));
    b.w.addRawRecord(big);
    for (int i = 0; i < 20000; ++i)
        b.w.addRawRecord(mbdbRecord("MediaDomain", "Media/" + QByteArray::number(i)));
    ASSERT_TRUE(b.write());
    ASSERT_GT(b.mbdbSize(), 16 * 1024 * 1024);
    LogCapture log;
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(b.folder));
    ASSERT_EQ(backup.files().size(), 20002);
    const CManifestRecord* r = backup.files()[1];
    EXPECT_EQ(r->relativePath.size(), longest);
    ASSERT_EQ(r->properties.size(), 255);
    EXPECT_EQ(r->properties[254]->value, QByteArray(longest, char(254)));
    EXPECT_EQ(backup.files().last()->relativePath, QStringLiteral("Media/19999"));
    EXPECT_FALSE(log.contains("the index ends there"));
}

// An empty property takes four bytes of the file and eighty of the index: kept without limit,
// they make the index twenty times the file's size.
TEST(HostileIndex, PropertiesKeptAreBoundedByTheFileSize)
{
    Backup b;
    MbdbRecord padded = mbdbRecord("HomeDomain", "Library/p");
    for (int i = 0; i < 255; ++i)
        padded.properties.append(qMakePair(QByteArray(), QByteArray()));
    for (int i = 0; i < 400; ++i)
        b.w.addRawRecord(padded);
    b.w.addRawRecord(mbdbRecord("HomeDomain", "Library/after"));
    ASSERT_TRUE(b.write());
    LogCapture log;
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(b.folder));
    ASSERT_EQ(backup.files().size(), 402);
    qint64 kept = 0;
    for (const CManifestRecord* r : backup.files())
        kept += r->properties.size();
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept * 16, b.mbdbSize());
    EXPECT_EQ(backup.files()[400]->propertyCount, 255);
    EXPECT_EQ(backup.files()[401]->relativePath, QStringLiteral("Library/after"));
    EXPECT_TRUE(log.contains("are not kept"));
}

// Opening a FIFO waits for a writer that never comes; a link to /dev/zero never ends. Both are
// passed over without being read, and the parse returns.
TEST(HostileIndex, IndexFilesThatAreNotRegularFilesAreSkipped)
{
    const struct {
        const char* file;
        SampleBackupWriter::IndexKind kind;
        bool parses;
    } files[] = {
        {"ffffffffffffffffffffffffffffffffffffffff.mdinfo", SampleBackupWriter::IndexKind::Legacy, true}, // beside good ones
        {"Info.plist", SampleBackupWriter::IndexKind::Mbdb, true}, // the description then comes from Manifest.plist
        {"Manifest.mbdb", SampleBackupWriter::IndexKind::Mbdb, false},
    };
    for (bool fifo : {true, false}) {
        for (const auto& f : files) {
            SCOPED_TRACE(std::string(f.file) + (fifo ? " as a FIFO" : " linked to /dev/zero"));
            Backup b(f.kind);
            b.w.writeInfoPlist = qstrcmp(f.file, "Info.plist") != 0;
            ASSERT_TRUE(b.write());
            const QString planted = b.file(QLatin1String(f.file));
            QFile::remove(planted);
            ASSERT_TRUE(fifo ? ::mkfifo(QFile::encodeName(planted).constData(), 0600) == 0 : QFile::link(QStringLiteral("/dev/zero"), planted));
            LogCapture log;
            CiTunesBackup backup;
            ASSERT_EQ(backup.parseFromPath(b.folder), f.parses);
            if (f.parses) {
                EXPECT_EQ(backup.files().size(), 1);
                EXPECT_EQ(backup.deviceName(), QStringLiteral("Anna's iPhone"));
            }
            if (b.w.writeInfoPlist) { // a skipped Info.plist is replaced, not reported
                EXPECT_TRUE(log.contains(f.parses ? "Index file skipped: " + planted.toStdString() : b.failLine("Manifest.mbdb")));
            }
        }
    }
}

// Hostile property lists ----------------------------------------------------------------------

namespace {

void putBE(QByteArray& out, quint64 v, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out += char((v >> shift) & 0xFF);
}

// A binary property list of `count` arrays, object i holding `refsPerArray` references to
// object i + 1 (the last one empty); `cycle` makes the last one refer back to the first.
QByteArray chainedBinaryPlist(int count, int refsPerArray, bool cycle = false)
{
    const int refSize = 4, offsetSize = 4;
    QByteArray out("bplist00");
    QList<quint64> offsets;
    for (int i = 0; i < count; ++i) {
        offsets << quint64(out.size());
        if (i + 1 < count) {
            out += char(0xA0 | refsPerArray);
            for (int r = 0; r < refsPerArray; ++r)
                putBE(out, quint64(i + 1), refSize);
        } else if (cycle) {
            out += char(0xA1);
            putBE(out, 0, refSize);
        } else {
            out += char(0xA0);
        }
    }
    const quint64 table = quint64(out.size());
    for (quint64 o : offsets)
        putBE(out, o, offsetSize);
    out += QByteArray(6, '\0');
    out += char(offsetSize);
    out += char(refSize);
    putBE(out, quint64(count), 8);
    putBE(out, 0, 8);
    putBE(out, table, 8);
    return out;
}

QByteArray nestedXmlPlist(int depth)
{
    QByteArray out("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">");
    out += QByteArray("<array>").repeated(depth);
    out += QByteArray("</array>").repeated(depth);
    out += "</plist>\n";
    return out;
}

} // namespace

TEST(HostilePlists, DeepOrExplodingPlistsFailCleanly)
{
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        // Each would overflow the stack inside the plist library.
        {"binary nested 300000 deep", chainedBinaryPlist(300000, 1)},
        {"XML nested 300000 deep", nestedXmlPlist(300000)},
        // 2^60 nodes once every shared reference is copied: would never finish.
        {"binary shared references", chainedBinaryPlist(60, 2)},
        {"binary cycle", chainedBinaryPlist(3, 1, true)},
    };
    // As Manifest.plist the backup cannot be read; as Info.plist it is skipped, the device's
    // description coming from Manifest.plist instead.
    for (const auto& c : cases) {
        for (const char* file : {"Manifest.plist", "Info.plist"}) {
            const bool info = file[0] == 'I';
            Backup b;
            b.w.writeInfoPlist = !info;
            if (!info)
                b.w.manifestOverride = c.bytes;
            ASSERT_TRUE(b.write());
            ASSERT_TRUE(!info || testsupport::writeFile(b.file(QLatin1String(file)), c.bytes));
            LogCapture log;
            CiTunesBackup backup;
            EXPECT_EQ(backup.parseFromPath(b.folder), info) << c.name << " in " << file;
            EXPECT_EQ(log.count("iTunesBackup", std::string("Fail to parse ") + file + " for: " + b.folder.toStdString()), 1)
                << c.name << " in " << file;
            EXPECT_EQ(backup.deviceName(), QStringLiteral("Anna's iPhone")) << c.name << " in " << file;
        }
    }
}

TEST(HostilePlists, ShallowSharedAndModestPlistsStillParse)
{
    // Moderate nesting and sharing, as real writers produce, are read.
    for (const QByteArray& bytes : {chainedBinaryPlist(100, 1), chainedBinaryPlist(12, 2), nestedXmlPlist(100)}) {
        plist_t root = plistFromBytes(bytes);
        EXPECT_NE(root, nullptr);
        plist_free(root);
    }
    // Comments and CDATA do not count as nesting.
    QByteArray xml = nestedXmlPlist(2);
    xml.replace("<plist version=\"1.0\">", "<plist version=\"1.0\"><!-- <a><a><a> -->");
    plist_t root = plistFromBytes(xml);
    EXPECT_NE(root, nullptr);
    plist_free(root);
}

// The plist library aborts the process when asked for a string holding a NUL byte.
TEST(HostilePlists, NulInsideAStringIsCutThere)
{
    Backup b;
    b.w.writeInfoPlist = false;
    b.w.lockdown.clear();
    ASSERT_TRUE(b.write());
    const QByteArray info("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key>"
                          "<string>Ab\0cd</string></dict></plist>", 107);
    ASSERT_TRUE(testsupport::writeFile(b.file(QStringLiteral("Info.plist")), info));
    CiTunesBackup backup;
    EXPECT_TRUE(backup.parseFromPath(b.folder));
    EXPECT_EQ(backup.deviceName(), QStringLiteral("Ab"));
}
