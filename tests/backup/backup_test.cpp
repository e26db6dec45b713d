#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <plist/plist.h>

#include <cstdlib>
#include <sys/stat.h>

#include "BackupFiles.h"
#include "kddata/CCommonUtils.h"
#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"
#include "kddata/KdBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using sample::SampleBackupWriter;
using testsupport::LogCapture;

namespace {

const QDateTime kBackupDate(QDate(2015, 6, 1), QTime(12, 30, 15), Qt::UTC);

struct Fixture {
    QTemporaryDir tmp;
    QString folder = tmp.filePath(QStringLiteral("b"));
    SampleBackupWriter writer{folder};

    Fixture()
    {
        writer.setDevice(QStringLiteral("Anna's iPhone"), QStringLiteral("iPhone5,2"), QStringLiteral("7.1.2"), kBackupDate);
        writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "db");
    }
    bool write() { return writer.write(); }
};

QByteArray binaryPlist(plist_t root)
{
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &bin, &len);
    QByteArray out(bin, int(len));
    free(bin);
    plist_free(root);
    return out;
}

} // namespace

TEST(BackupParse, ReadsInfoAndManifestPlists)
{
    for (auto format : {SampleBackupWriter::PlistFormat::Binary, SampleBackupWriter::PlistFormat::Xml}) {
        Fixture f;
        f.writer.manifestFormat = format;
        f.writer.lockdown[QStringLiteral("DeviceName")] = QStringLiteral("Lockdown name");
        f.writer.lockdown[QStringLiteral("ProductType")] = QStringLiteral("iPad3,4");
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(b.deviceName(), QStringLiteral("Lockdown name")); // Lockdown wins over Info.plist
        EXPECT_EQ(b.deviceType(), QStringLiteral("iPad3,4"));       // raw identifier, never a marketing name
        EXPECT_EQ(b.serialNumber(), QStringLiteral("C39KQ0ABFFT9"));
        EXPECT_EQ(b.productVersion(), QStringLiteral("7.1.2"));
        EXPECT_EQ(b.iTunesVersion(), QStringLiteral("12.3.2.35"));
        EXPECT_EQ(b.backupDateTime(), kBackupDate);
        EXPECT_FALSE(b.isEncrypted());
        EXPECT_EQ(b.fileSuffix(), QString());
        ASSERT_EQ(b.files().size(), 1);
    }
}

TEST(BackupParse, EncryptionFlagForms)
{
    const struct {
        const char* name;
        QVariant value;
        bool expected;
    } cases[] = {
        {"bool true", QVariant(true), true},
        {"bool false", QVariant(false), false},
        {"integer 1", QVariant(1), true},
        {"integer 256 (low byte zero)", QVariant(256), false},
        {"string", QVariant(QStringLiteral("YES")), false},
        {"absent", QVariant(), false},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.writer.isEncrypted = c.value;
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder)) << c.name;
        EXPECT_EQ(b.isEncrypted(), c.expected) << c.name;
    }
}

TEST(BackupParse, DatesWithoutInfoPlistOrWithoutItsDate)
{
    {   // No Info.plist: name from Lockdown, date from Manifest.plist.
        Fixture f;
        f.writer.writeInfoPlist = false;
        f.writer.manifestDate = QDateTime(QDate(2014, 2, 3), QTime(4, 5, 6), Qt::UTC);
        ASSERT_TRUE(f.write());
        LogCapture log;
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(b.deviceName(), QStringLiteral("Anna's iPhone"));
        EXPECT_EQ(b.backupDateTime(), f.writer.manifestDate);
        EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse Info.plist for: " + f.folder).toStdString()), 1);
    }
    {   // Neither date: the first moment of 2001.
        Fixture f;
        f.writer.writeInfoPlist = false;
        f.writer.manifestDate = QDateTime();
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_TRUE(b.lastBackupDate().isNull());
        EXPECT_EQ(b.backupDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
        EXPECT_EQ(b.backupDateString(), QStringLiteral("2001-01-01 00:00"));
    }
    {   // Info.plist without its date stores 1970, and Manifest.plist's date is then ignored.
        Fixture f;
        f.writer.info.remove(QStringLiteral("Last Backup Date"));
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(b.backupDateTime(), QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC));
    }
}

TEST(BackupParse, FailuresAreLoggedAndReported)
{
    QTemporaryDir tmp;
    LogCapture log;
    CiTunesBackup b;
    const QString missing = tmp.filePath(QStringLiteral("nope"));
    EXPECT_FALSE(b.parseFromPath(missing));
    EXPECT_EQ(log.count("iTunesBackup", ("Backup folder not exists: " + missing).toStdString()), 1);

    const QString empty = tmp.filePath(QStringLiteral("empty"));
    QDir().mkpath(empty);
    EXPECT_FALSE(b.parseFromPath(empty));
    EXPECT_EQ(log.count("iTunesBackup", ("Backup db files not exists for: " + empty).toStdString()), 1);

    Fixture garbage;
    garbage.writer.manifestOverride = QByteArray("\x00\x01garbage", 9);
    ASSERT_TRUE(garbage.write());
    EXPECT_FALSE(b.parseFromPath(garbage.folder));
    EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse Manifest.plist for: " + garbage.folder).toStdString()), 1);

    // Header only, and only application records: no index.
    for (bool appOnly : {false, true}) {
        QTemporaryDir t;
        SampleBackupWriter w(t.filePath(QStringLiteral("b")));
        w.setDevice(QStringLiteral("x"), QStringLiteral("iPhone1,1"), QStringLiteral("5.0"), kBackupDate);
        if (appOnly)
            w.addFile(QStringLiteral("AppDomain-com.example"), QStringLiteral("a"), "a");
        ASSERT_TRUE(w.write());
        log.clear();
        EXPECT_FALSE(b.parseFromPath(w.folder()));
        EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse Manifest.mbdb for: " + w.folder()).toStdString()), 1);
    }
}

TEST(BackupParse, CopiesShareStateSafely)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    auto* original = new CiTunesBackup;
    ASSERT_TRUE(original->parseFromPath(f.folder));
    CiTunesBackup copy(*original);
    CiTunesBackup assigned;
    assigned = copy;
    assigned = assigned; // self-assignment keeps the state
    delete original;
    EXPECT_EQ(copy.files().size(), 1);
    EXPECT_EQ(assigned.deviceName(), QStringLiteral("Anna's iPhone"));
}

TEST(BackupParse, LeavesTheFolderUntouched)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    const auto before = testsupport::snapshotFolder(f.folder);
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    EXPECT_EQ(testsupport::snapshotFolder(f.folder), before);
}

// Manifest.mbdb ----------------------------------------------------------------------------------

TEST(ManifestMbdb, HashedNameIsSha1OfDomainDashPath)
{
    EXPECT_EQ(backupFileName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")),
              QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
}

TEST(ManifestMbdb, RecordEdgeCases)
{
    Fixture f;
    sample::MbdbRecord app;
    app.domain = "AppDomain-com.example.app";
    app.path = "Documents/a";
    f.writer.addRawRecord(app);
    sample::MbdbRecord appLike = app;
    appLike.domain = "AppDomainGroup-x"; // only begins with the nine letters: dropped too
    f.writer.addRawRecord(appLike);
    sample::MbdbRecord emptyMarkers;
    emptyMarkers.domain = "MediaDomain";
    emptyMarkers.pathIsEmptyMarker = true;
    emptyMarkers.size = 77;
    f.writer.addRawRecord(emptyMarkers);
    sample::MbdbRecord decomposed;
    decomposed.domain = "MediaDomain";
    decomposed.path = QByteArray("Media/Cafe\xcc\x81.jpg"); // e + combining acute
    f.writer.addRawRecord(decomposed);
    sample::MbdbRecord manyProps;
    manyProps.domain = "HomeDomain";
    manyProps.path = "Library/props";
    for (int i = 0; i < 200; ++i)
        manyProps.properties.append(qMakePair(QByteArray("p") + QByteArray::number(i), QByteArray("v")));
    f.writer.addRawRecord(manyProps);
    sample::MbdbRecord after;
    after.domain = "HomeDomain";
    after.path = "Library/after";
    after.size = 5;
    f.writer.addRawRecord(after);
    ASSERT_TRUE(f.write());

    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    const auto& files = b.files();
    ASSERT_EQ(files.size(), 5); // sms.db, empty path, decomposed, props, after
    EXPECT_EQ(files[1]->domain, QStringLiteral("MediaDomain"));
    EXPECT_EQ(files[1]->relativePath, QString());
    EXPECT_EQ(files[1]->size, 77);
    const QString composed = QStringLiteral("Media/Caf\u00e9.jpg");
    EXPECT_EQ(files[2]->relativePath, composed);
    EXPECT_EQ(files[2]->hashName, backupFileName(QStringLiteral("MediaDomain"), composed));
    EXPECT_EQ(files[3]->propertyCount, 200);
    ASSERT_EQ(files[3]->properties.size(), 200);
    EXPECT_EQ(files[3]->properties[199]->name, QStringLiteral("p199"));
    EXPECT_EQ(files[4]->relativePath, QStringLiteral("Library/after")); // still aligned after 200 properties
    EXPECT_EQ(files[4]->size, 5);
}

// A damaged last record is dropped; the records before it are kept.
TEST(ManifestMbdb, TruncatedTailsKeepEarlierRecords)
{
    sample::MbdbRecord cutProperty;
    cutProperty.domain = "HomeDomain";
    cutProperty.path = "x";
    cutProperty.propertyCountOverride = 3; // claims three, carries one
    cutProperty.properties.append(qMakePair(QByteArray("a"), QByteArray("b")));
    const QByteArray tails[] = {
        QByteArray("\x00", 1),                          // half a length
        QByteArray("\x00\x0aHomeDom", 9),               // string cut short
        QByteArray("\x00\x01X\x00\x01Y\xff\xff\xff\xff\xff\xff\x00\x10", 14), // fixed block cut short
        QByteArray(),                                   // a property cut short
    };
    for (const QByteArray& tail : tails) {
        Fixture f;
        if (tail.isEmpty())
            f.writer.addRawRecord(cutProperty);
        f.writer.mbdbTail = tail;
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        EXPECT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(b.files().size(), 1);
    }
}

TEST(ManifestMbdb, BadHeaderFails)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    for (const QByteArray& header : {QByteArray("mbdb\x05", 5), QByteArray("mbdx\x05\x00", 6), QByteArray("mbdb\x04\x00", 6)}) {
        testsupport::writeFile(QDir(f.folder).filePath(QStringLiteral("Manifest.mbdb")), header);
        CiTunesBackup b;
        EXPECT_FALSE(b.parseFromPath(f.folder));
        EXPECT_TRUE(b.files().isEmpty());
    }
}

// Older per-file index -------------------------------------------------------------------------

namespace {

QByteArray mdinfo(const QString& domain, const QString& path, bool encrypted, bool xmlMetadata = false)
{
    plist_t meta = plist_new_dict();
    plist_dict_set_item(meta, "Domain", plist_new_string(domain.toUtf8().constData()));
    plist_dict_set_item(meta, "Path", plist_new_string(path.toUtf8().constData()));
    QByteArray metaBytes;
    if (xmlMetadata) {
        char* xml = nullptr;
        uint32_t len = 0;
        plist_to_xml(meta, &xml, &len);
        metaBytes = QByteArray(xml, int(len));
        free(xml);
        plist_free(meta);
    } else {
        metaBytes = binaryPlist(meta);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Metadata", plist_new_data(metaBytes.constData(), uint64_t(metaBytes.size())));
    plist_dict_set_item(root, "IsEncrypted", plist_new_bool(encrypted));
    plist_dict_set_item(root, "Version", plist_new_string("3.0"));
    return binaryPlist(root);
}

struct LegacyFixture {
    QTemporaryDir tmp;
    SampleBackupWriter w{tmp.filePath(QStringLiteral("b"))};
    LegacyFixture()
    {
        w.setDevice(QStringLiteral("Old"), QStringLiteral("iPhone2,1"), QStringLiteral("3.1"), kBackupDate);
        w.indexKind = SampleBackupWriter::IndexKind::Legacy;
    }
};

} // namespace

TEST(LegacyIndex, ReadsMdinfoPairs)
{
    LegacyFixture f;
    SampleBackupWriter& w = f.w;
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Notes/notes.db"), "12345");
    ASSERT_TRUE(w.write());
    QDir dir(w.folder());
    testsupport::writeFile(dir.filePath(QStringLiteral("a.mdinfo")), mdinfo(QStringLiteral("HomeDomain"), QStringLiteral("secret"), true));
    testsupport::writeFile(dir.filePath(QStringLiteral("b.mdinfo")), mdinfo(QStringLiteral("AppDomain-x"), QStringLiteral("y"), false));
    testsupport::writeFile(dir.filePath(QStringLiteral("c.mdinfo")), mdinfo(QStringLiteral("HomeDomain"), QStringLiteral("xmlmeta"), false, true));
    testsupport::writeFile(dir.filePath(QStringLiteral("d.mdinfo")), "not a plist");

    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(w.folder()));
    EXPECT_EQ(b.fileSuffix(), QStringLiteral(".mddata"));
    ASSERT_EQ(b.files().size(), 1);
    EXPECT_EQ(b.files()[0]->relativePath, QStringLiteral("Library/Notes/notes.db"));
    EXPECT_EQ(b.files()[0]->size, 5);

    // The data file gone: still listed, with size 0.
    QFile::remove(dir.filePath(b.files()[0]->hashName + QStringLiteral(".mddata")));
    ASSERT_TRUE(b.parseFromPath(w.folder()));
    ASSERT_EQ(b.files().size(), 1);
    EXPECT_EQ(b.files()[0]->size, 0);
}

TEST(LegacyIndex, EmptyIndexIsAcceptedOnlyWhenEncrypted)
{
    for (bool encrypted : {false, true}) {
        LegacyFixture f;
        SampleBackupWriter& w = f.w;
        w.isEncrypted = encrypted;
        ASSERT_TRUE(w.write());
        LogCapture log;
        CiTunesBackup b;
        EXPECT_EQ(b.parseFromPath(w.folder()), encrypted);
        EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse backup data files for: " + w.folder()).toStdString()),
                  encrypted ? 0 : 1);
    }
}

// Staging for recovery ---------------------------------------------------------------------------

TEST(Staging, CopiesDatabasesWithCompanionsAndNeverOverwrites)
{
    Fixture f;
    f.writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-wal"), "wal");
    f.writer.addFile(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"), "first");
    f.writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistory/call_history.db"), "second");
    ASSERT_TRUE(f.write());
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    CiTunesBackupPrivate p(nullptr);
    ASSERT_TRUE(p.parse(f.folder));

    QTemporaryDir work;
    QStringList copied;
    p.stageRecoveryDatabases(work.path(), copied);
    QDir out(work.path());
    EXPECT_EQ(copied, QStringList() << out.absoluteFilePath(QStringLiteral("call_history.db"))
                                    << out.absoluteFilePath(QStringLiteral("sms.db")));
    EXPECT_EQ(testsupport::readFile(out.filePath(QStringLiteral("sms.db-wal"))), QByteArray("wal"));
    EXPECT_FALSE(QFile::exists(out.filePath(QStringLiteral("sms.db-shm"))));
    // The first call-history copy stays; the second is refused rather than replacing it.
    EXPECT_EQ(testsupport::readFile(out.filePath(QStringLiteral("call_history.db"))), QByteArray("first"));
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

TEST(HostilePlists, DeepOrExplodingManifestPlistFailsCleanly)
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
    for (const auto& c : cases) {
        Fixture f;
        f.writer.manifestOverride = c.bytes;
        ASSERT_TRUE(f.write());
        LogCapture log;
        CiTunesBackup b;
        EXPECT_FALSE(b.parseFromPath(f.folder)) << c.name;
        EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse Manifest.plist for: " + f.folder).toStdString()), 1)
            << c.name;
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

// A deep Info.plist, or one that is a FIFO (opening it would wait forever for a writer), is
// skipped with its log line and the backup still parses.
TEST(HostilePlists, UnreadableInfoPlistIsSkippedAndTheBackupStillParses)
{
    for (bool fifo : {false, true}) {
        Fixture f;
        f.writer.writeInfoPlist = false;
        ASSERT_TRUE(f.write());
        const QString info = QDir(f.folder).filePath(QStringLiteral("Info.plist"));
        if (fifo)
            ASSERT_EQ(::mkfifo(info.toUtf8().constData(), 0600), 0);
        else
            ASSERT_TRUE(testsupport::writeFile(info, chainedBinaryPlist(300000, 1)));
        LogCapture log;
        CiTunesBackup b;
        EXPECT_TRUE(b.parseFromPath(f.folder)) << fifo;
        EXPECT_EQ(log.count("iTunesBackup", ("Fail to parse Info.plist for: " + f.folder).toStdString()), 1);
        EXPECT_EQ(b.deviceName(), QStringLiteral("Anna's iPhone")); // from Lockdown
    }
}

// The plist library aborts the process when asked for a string holding a NUL byte.
TEST(HostilePlists, NulInsideAStringIsCutThere)
{
    Fixture f;
    f.writer.writeInfoPlist = false;
    f.writer.lockdown.clear();
    ASSERT_TRUE(f.write());
    const QByteArray info("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Device Name</key>"
                          "<string>Ab\0cd</string></dict></plist>", 107);
    ASSERT_TRUE(testsupport::writeFile(QDir(f.folder).filePath(QStringLiteral("Info.plist")), info));
    CiTunesBackup b;
    EXPECT_TRUE(b.parseFromPath(f.folder));
    EXPECT_EQ(b.deviceName(), QStringLiteral("Ab"));
}

TEST(Staging, RefusesARecoveryFolderInsideTheBackup)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    CiTunesBackupPrivate p(nullptr);
    ASSERT_TRUE(p.parse(f.folder));
    const auto before = testsupport::snapshotFolder(f.folder);

    QTemporaryDir elsewhere;
    const QString link = elsewhere.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(f.folder, link));
    for (const QString& target : {f.folder, QDir(f.folder).filePath(QStringLiteral("work")),
                                  QDir(link).filePath(QStringLiteral("work/deeper"))}) {
        LogCapture log;
        QStringList copied;
        p.stageRecoveryDatabases(target, copied);
        EXPECT_TRUE(copied.isEmpty()) << target.toStdString();
        EXPECT_FALSE(QFileInfo::exists(QDir(f.folder).filePath(QStringLiteral("sms.db"))));
        EXPECT_FALSE(QFileInfo::exists(QDir(f.folder).filePath(QStringLiteral("work"))));
        EXPECT_TRUE(log.contains("lies inside the backup folder")) << target.toStdString();
    }
    EXPECT_EQ(testsupport::snapshotFolder(f.folder), before);

    // A sibling whose name merely begins with the backup's is not inside it.
    QStringList copied;
    p.stageRecoveryDatabases(f.folder + QStringLiteral("-work"), copied);
    EXPECT_EQ(copied.size(), 1);
}

TEST(Staging, RecoveryFolderOverlappingTheBackupIsNotUsed)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    const auto before = testsupport::snapshotFolder(f.folder);
    const QString parent = QFileInfo(f.folder).path();
    for (const QString& overlapping : {f.folder, QDir(f.folder).filePath(QStringLiteral("work")), parent}) {
        LogCapture log;
        b.setTmpPathForRecovery(overlapping);
        EXPECT_TRUE(b.tmpPathForRecovery().isEmpty()) << overlapping.toStdString();
        EXPECT_TRUE(log.contains("overlaps the backup folder"));
        // Emptying the recovery folder before the run would otherwise wipe the backup.
        KdBackup model;
        b.collectDatas(&model, nullptr);
        EXPECT_EQ(testsupport::snapshotFolder(f.folder), before) << overlapping.toStdString();
    }
    QTemporaryDir work;
    b.setTmpPathForRecovery(work.path());
    EXPECT_EQ(b.tmpPathForRecovery(), work.path());
}
