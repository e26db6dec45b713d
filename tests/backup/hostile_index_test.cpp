#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <plist/plist.h>
#include <sys/stat.h>

#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using sample::MbdbRecord;
using sample::SampleBackupWriter;
using testsupport::LogCapture;

namespace {

struct Backup {
    QTemporaryDir tmp;
    SampleBackupWriter w{tmp.filePath(QStringLiteral("b"))};

    explicit Backup(SampleBackupWriter::IndexKind kind = SampleBackupWriter::IndexKind::Mbdb)
    {
        w.setDevice(QStringLiteral("Anna's iPhone"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1.2"),
                    QDateTime(QDate(2015, 6, 1), QTime(12, 30), Qt::UTC));
        w.indexKind = kind;
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "db");
    }
    QString file(const char* name) const { return QDir(w.folder()).filePath(QLatin1String(name)); }
    qint64 mbdbSize() const { return QFileInfo(file("Manifest.mbdb")).size(); }
};

MbdbRecord record(const QByteArray& domain, const QByteArray& path)
{
    MbdbRecord r;
    r.domain = domain;
    r.path = path;
    return r;
}

std::string endLine(const QString& mbdb, const char* why, qint64 offset)
{
    return (QStringLiteral("Manifest.mbdb ") + mbdb).toStdString() + ": " + why + " at offset "
           + std::to_string(offset) + "; the index ends there";
}

} // namespace

// Zeros padding the file must not become one empty record per 50 bytes: gigabytes of index.
TEST(HostileIndex, ZerosAfterTheRecordsEndTheIndex)
{
    Backup b;
    b.w.addRawRecord(record("MediaDomain", "Media/a.jpg"));
    ASSERT_TRUE(b.w.write());
    const qint64 end = b.mbdbSize();
    b.w.mbdbTail = QByteArray(64 * 1024 * 1024, '\0');
    ASSERT_TRUE(b.w.write());
    LogCapture log;
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(b.w.folder()));
    EXPECT_EQ(backup.files().size(), 2);
    EXPECT_EQ(log.count("iTunesBackup", endLine(b.file("Manifest.mbdb"), "implausible domain", end)), 1);
}

TEST(HostileIndex, AnImplausibleRecordEndsTheIndexThere)
{
    auto withMode = [](quint16 mode) {
        MbdbRecord r = record("HomeDomain", "Library/x");
        r.mode = mode;
        return r;
    };
    auto withSize = [](qint64 size) {
        MbdbRecord r = record("HomeDomain", "Library/x");
        r.size = size;
        return r;
    };
    MbdbRecord emptyDomain = record("HomeDomain", "Library/x");
    emptyDomain.domainIsEmptyMarker = true;
    const struct {
        const char* name;
        MbdbRecord middle;
        const char* why; // null: the record is plausible and the index goes on past it
    } cases[] = {
        {"regular file", withMode(0100644), nullptr},
        {"folder", withMode(040755), nullptr},
        {"symbolic link", withMode(0120755), nullptr},
        {"longest domain", record(QByteArray(1024, 'D'), "x"), nullptr},
        {"empty domain", emptyDomain, "implausible domain"},
        {"domain too long", record(QByteArray(1025, 'D'), "x"), "implausible domain"},
        {"control character in domain", record("Home\nDomain", "x"), "implausible domain"},
        {"NUL in domain", record(QByteArray("Home\0Domain", 11), "x"), "implausible domain"},
        {"FIFO", withMode(010644), "implausible file mode"},
        {"character device", withMode(020644), "implausible file mode"},
        {"socket", withMode(0140755), "implausible file mode"},
        {"no file type", withMode(0644), "implausible file mode"},
        {"negative size", withSize(-1), "negative file size"},
    };
    for (const auto& c : cases) {
        Backup b;
        ASSERT_TRUE(b.w.write());
        const qint64 middle = b.mbdbSize();
        b.w.addRawRecord(c.middle);
        b.w.addRawRecord(record("HomeDomain", "Library/after"));
        ASSERT_TRUE(b.w.write());
        LogCapture log;
        CiTunesBackup backup;
        ASSERT_TRUE(backup.parseFromPath(b.w.folder())) << c.name;
        if (!c.why) {
            ASSERT_EQ(backup.files().size(), 3) << c.name;
            EXPECT_EQ(backup.files()[2]->relativePath, QStringLiteral("Library/after")) << c.name;
            EXPECT_FALSE(log.contains("the index ends there")) << c.name;
            continue;
        }
        ASSERT_EQ(backup.files().size(), 1) << c.name;
        EXPECT_EQ(backup.files()[0]->relativePath, QStringLiteral("Library/SMS/sms.db")) << c.name;
        EXPECT_EQ(log.count("iTunesBackup", endLine(b.file("Manifest.mbdb"), c.why, middle)), 1) << c.name;
    }
}

// A record many times longer than the read window, and fields straddling the window's edges,
// keep the records aligned.
TEST(HostileIndex, RecordsLongerThanTheReadWindowStayAligned)
{
    const int longest = 0xFFFE; // 0xFFFF marks an empty string
    Backup b;
    MbdbRecord big = record("HomeDomain", QByteArray(longest, 'p'));
    big.linkTarget = QByteArray(longest, 'l');
    big.digest = QByteArray(longest, 'd');
    big.encryptionKey = QByteArray(longest, 'k');
    for (int i = 0; i < 255; ++i)
        big.properties.append(qMakePair(QByteArray(3000, 'n'), QByteArray(longest, char(i))));
    b.w.addRawRecord(big);
    for (int i = 0; i < 20000; ++i)
        b.w.addRawRecord(record("MediaDomain", "Media/" + QByteArray::number(i)));
    ASSERT_TRUE(b.w.write());
    ASSERT_GT(b.mbdbSize(), 16 * 1024 * 1024);
    LogCapture log;
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(b.w.folder()));
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
    MbdbRecord padded = record("HomeDomain", "Library/p");
    for (int i = 0; i < 255; ++i)
        padded.properties.append(qMakePair(QByteArray(), QByteArray()));
    for (int i = 0; i < 400; ++i)
        b.w.addRawRecord(padded);
    b.w.addRawRecord(record("HomeDomain", "Library/after"));
    ASSERT_TRUE(b.w.write());
    LogCapture log;
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(b.w.folder()));
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

// Opening a FIFO waits for a writer that never comes; a link to /dev/zero never ends. Both must
// be passed over without being read, and the parse must return.
TEST(HostileIndex, IndexFilesThatAreNotRegularFilesAreSkipped)
{
    enum Kind { Fifo, LinkToDevZero };
    const struct {
        const char* name;
        Kind kind;
    } cases[] = {{"FIFO", Fifo}, {"link to /dev/zero", LinkToDevZero}};
    auto plant = [](const QString& path, Kind kind) {
        QFile::remove(path);
        return kind == Fifo ? ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0
                            : QFile::link(QStringLiteral("/dev/zero"), path);
    };
    for (const auto& c : cases) {
        {   // An .mdinfo beside the good ones.
            Backup b(SampleBackupWriter::IndexKind::Legacy);
            ASSERT_TRUE(b.w.write());
            const QString planted = b.file("ffffffffffffffffffffffffffffffffffffffff.mdinfo");
            ASSERT_TRUE(plant(planted, c.kind)) << c.name;
            LogCapture log;
            CiTunesBackup backup;
            ASSERT_TRUE(backup.parseFromPath(b.w.folder())) << c.name;
            EXPECT_EQ(backup.files().size(), 1) << c.name;
            EXPECT_TRUE(log.contains("Index file skipped: " + planted.toStdString())) << c.name;
        }
        {   // Info.plist: the device's description comes from Manifest.plist instead.
            Backup b;
            b.w.writeInfoPlist = false;
            ASSERT_TRUE(b.w.write());
            ASSERT_TRUE(plant(b.file("Info.plist"), c.kind)) << c.name;
            CiTunesBackup backup;
            ASSERT_TRUE(backup.parseFromPath(b.w.folder())) << c.name;
            EXPECT_EQ(backup.deviceName(), QStringLiteral("Anna's iPhone")) << c.name;
            EXPECT_EQ(backup.files().size(), 1) << c.name;
        }
        {   // Manifest.mbdb is refused, also when asked for directly.
            Backup b;
            ASSERT_TRUE(b.w.write());
            ASSERT_TRUE(plant(b.file("Manifest.mbdb"), c.kind)) << c.name;
            LogCapture log;
            CiTunesBackupPrivate d(nullptr);
            EXPECT_FALSE(d.parseManifestMbdb(b.file("Manifest.mbdb"))) << c.name;
            EXPECT_TRUE(d.m_files.isEmpty()) << c.name;
            EXPECT_TRUE(log.contains(b.file("Manifest.mbdb").toStdString())) << c.name;
            CiTunesBackup backup;
            EXPECT_FALSE(backup.parseFromPath(b.w.folder())) << c.name;
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
            ASSERT_TRUE(b.w.write());
            ASSERT_TRUE(!info || testsupport::writeFile(b.file(file), c.bytes));
            LogCapture log;
            CiTunesBackup backup;
            EXPECT_EQ(backup.parseFromPath(b.w.folder()), info) << c.name << " in " << file;
            EXPECT_EQ(log.count("iTunesBackup", std::string("Fail to parse ") + file + " for: " + b.w.folder().toStdString()), 1)
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
    ASSERT_TRUE(b.w.write());
    const QByteArray info("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key>"
                          "<string>Ab\0cd</string></dict></plist>", 107);
    ASSERT_TRUE(testsupport::writeFile(b.file("Info.plist"), info));
    CiTunesBackup backup;
    EXPECT_TRUE(backup.parseFromPath(b.w.folder()));
    EXPECT_EQ(backup.deviceName(), QStringLiteral("Ab"));
}
