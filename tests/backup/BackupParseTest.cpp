// Reading a backup folder: the device's description and date from Info.plist and Manifest.plist,
// the encryption flag, Manifest.mbdb's records and the older .mdinfo index, failures that only the
// log names, and staging the databases for the deleted-record scan.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <plist/plist.h>

#include <cstdlib>
#include <sys/stat.h>

#include "BackupFiles.h"
#include "BackupFixture.h"
#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "kddata/KdBackup.h"

using sample::SampleBackupWriter;
using testsupport::LogCapture;

namespace {

using Fixture = TestBackup;

const QDateTime kBackupDate(QDate(2015, 6, 1), QTime(12, 30, 15), Qt::UTC);

// Frees `root`.
QByteArray serialized(plist_t root, bool xml = false)
{
    char* bytes = nullptr;
    uint32_t len = 0;
    xml ? plist_to_xml(root, &bytes, &len) : plist_to_bin(root, &bytes, &len);
    QByteArray out(bytes, int(len));
    free(bytes);
    plist_free(root);
    return out;
}

} // namespace

TEST(BackupParse, ReadsInfoAndManifestPlistsWithoutTouchingTheFolder)
{
    for (auto format : {SampleBackupWriter::PlistFormat::Binary, SampleBackupWriter::PlistFormat::Xml}) {
        Fixture f;
        f.w.manifestFormat = format;
        f.w.lockdown[QStringLiteral("DeviceName")] = QStringLiteral("Lockdown name");
        f.w.lockdown[QStringLiteral("ProductType")] = QStringLiteral("iPad3,4");
        ASSERT_TRUE(f.write());
        const auto before = testsupport::snapshotFolder(f.folder);
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(QStringList({b.deviceName(), b.deviceType(), b.serialNumber(), b.productVersion(), b.iTunesVersion()}),
                  QStringList({QStringLiteral("Lockdown name"), // Lockdown wins over Info.plist
                               QStringLiteral("iPad3,4"),       // raw identifier, never a marketing name
                               QStringLiteral("C39KQ0ABFFT9"), QStringLiteral("7.1.2"), QStringLiteral("12.3.2.35")}));
        EXPECT_EQ(b.backupDateTime(), kBackupDate);
        EXPECT_EQ(b.fileSuffix(), QString());
        ASSERT_EQ(b.files().size(), 1);
        EXPECT_EQ(b.files()[0]->hashName, QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28")); // SHA-1 of domain-path
        EXPECT_EQ(testsupport::snapshotFolder(f.folder), before);
    }
}

TEST(BackupParse, EncryptionFlagForms)
{
    const struct {
        QVariant value;
        bool expected;
    } cases[] = {
        {QVariant(true), true}, {QVariant(false), false},    {QVariant(1), true},
        {QVariant(256), false}, // low byte zero
        {QVariant(QStringLiteral("YES")), false}, {QVariant(), false},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.w.isEncrypted = c.value;
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder)) << c.value.toString().toStdString();
        EXPECT_EQ(b.isEncrypted(), c.expected) << c.value.toString().toStdString();
    }
}

// Info.plist's date, else Manifest.plist's, else the first moment of 2001; an Info.plist without
// its date stores 1970, and Manifest.plist's date is then ignored.
TEST(BackupParse, BackupDates)
{
    const QDateTime manifestDate(QDate(2014, 2, 3), QTime(4, 5, 6), Qt::UTC);
    const struct {
        bool infoPlist;
        QDateTime manifest;
        QDateTime expected;
        const char* shown;
    } cases[] = {
        {false, manifestDate, manifestDate, "2014-02-03 04:05"},
        {false, QDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC), "2001-01-01 00:00"},
        {true, manifestDate, QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC), "1970-01-01 00:00"},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.w.writeInfoPlist = c.infoPlist;
        f.w.info.remove(QStringLiteral("Last Backup Date"));
        f.w.manifestDate = c.manifest;
        ASSERT_TRUE(f.write());
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(b.backupDateTime(), c.expected) << c.shown;
        EXPECT_EQ(b.backupDateString(), QLatin1String(c.shown));
    }
}

// A folder that cannot be read says why in the log: it is the only place that does.
TEST(BackupParse, FailuresAreLoggedAndReported)
{
    QTemporaryDir tmp;
    const QString missing = tmp.filePath(QStringLiteral("nope")), empty = tmp.filePath(QStringLiteral("empty"));
    QDir().mkpath(empty);
    Fixture garbage, headerOnly(SampleBackupWriter::IndexKind::Mbdb, false), appOnly(SampleBackupWriter::IndexKind::Mbdb, false);
    garbage.w.manifestOverride = QByteArray("\x00\x01garbage", 9);
    appOnly.w.addFile(QStringLiteral("AppDomain-com.example"), QStringLiteral("a"), "a");
    for (Fixture* f : {&garbage, &headerOnly, &appOnly})
        ASSERT_TRUE(f->write());
    const struct {
        QString folder;
        std::string line;
    } cases[] = {
        {missing, "Backup folder not exists: " + missing.toStdString()},
        {empty, "Backup db files not exists for: " + empty.toStdString()},
        {garbage.folder, garbage.failLine("Manifest.plist")},
        {headerOnly.folder, headerOnly.failLine("Manifest.mbdb")}, // no index at all
        {appOnly.folder, appOnly.failLine("Manifest.mbdb")},       // application records only
    };
    for (const auto& c : cases) {
        LogCapture log;
        CiTunesBackup b;
        EXPECT_FALSE(b.parseFromPath(c.folder)) << c.line;
        EXPECT_EQ(log.count("iTunesBackup", c.line), 1) << c.line;
    }
}

TEST(ManifestMbdb, RecordEdgeCases)
{
    Fixture f;
    f.w.addRawRecord(mbdbRecord("AppDomain-com.example.app", "Documents/a"));
    f.w.addRawRecord(mbdbRecord("AppDomainGroup-x", "Documents/a")); // only begins with the nine letters: dropped too
    sample::MbdbRecord emptyPath = mbdbRecord("MediaDomain", QByteArray());
    emptyPath.pathIsEmptyMarker = true;
    emptyPath.size = 77;
    f.w.addRawRecord(emptyPath);
    f.w.addRawRecord(mbdbRecord("MediaDomain", "Media/Cafe\xcc\x81.jpg")); // e + combining acute
    sample::MbdbRecord after = mbdbRecord("HomeDomain", "Library/after");
    after.size = 5;
    f.w.addRawRecord(after);
    ASSERT_TRUE(f.write());

    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    const auto& files = b.files();
    ASSERT_EQ(files.size(), 4); // sms.db, empty path, decomposed, after
    EXPECT_EQ(files[1]->domain, QStringLiteral("MediaDomain"));
    EXPECT_EQ(files[1]->relativePath, QString());
    EXPECT_EQ(files[1]->size, 77);
    const QString composed = QStringLiteral("Media/Caf\u00e9.jpg");
    EXPECT_EQ(files[2]->relativePath, composed);
    EXPECT_EQ(files[2]->hashName, backupFileName(QStringLiteral("MediaDomain"), composed));
    EXPECT_EQ(files[3]->relativePath, QStringLiteral("Library/after"));
    EXPECT_EQ(files[3]->size, 5);
}

// A record whose properties the file ends inside is dropped and the records before it kept (tails
// cut elsewhere are among the hostile index's cases); a bad header fails.
TEST(ManifestMbdb, TruncatedPropertiesAndBadHeaders)
{
    Fixture f;
    sample::MbdbRecord cutProperty = mbdbRecord("HomeDomain", "x");
    cutProperty.propertyCountOverride = 3; // claims three, carries one
    cutProperty.properties.append(qMakePair(QByteArray("a"), QByteArray("b")));
    f.w.addRawRecord(cutProperty);
    ASSERT_TRUE(f.write());
    CiTunesBackup b;
    EXPECT_TRUE(b.parseFromPath(f.folder));
    EXPECT_EQ(b.files().size(), 1);
    for (const QByteArray& header : {QByteArray("mbdb\x05", 5), QByteArray("mbdx\x05\x00", 6), QByteArray("mbdb\x04\x00", 6)}) {
        testsupport::writeFile(QDir(f.folder).filePath(QStringLiteral("Manifest.mbdb")), header);
        EXPECT_FALSE(b.parseFromPath(f.folder)) << header.toHex().constData();
        EXPECT_TRUE(b.files().isEmpty());
    }
}

namespace {

QByteArray mdinfo(const QString& domain, const QString& path, bool encrypted, bool xmlMetadata = false)
{
    plist_t meta = plist_new_dict();
    plist_dict_set_item(meta, "Domain", plist_new_string(domain.toUtf8().constData()));
    plist_dict_set_item(meta, "Path", plist_new_string(path.toUtf8().constData()));
    const QByteArray metaBytes = serialized(meta, xmlMetadata);
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Metadata", plist_new_data(metaBytes.constData(), uint64_t(metaBytes.size())));
    plist_dict_set_item(root, "IsEncrypted", plist_new_bool(encrypted));
    plist_dict_set_item(root, "Version", plist_new_string("3.0"));
    return serialized(root);
}

} // namespace

// The older index: one .mdinfo per file; encrypted, application and unreadable ones are skipped.
TEST(LegacyIndex, ReadsMdinfoPairs)
{
    Fixture f(SampleBackupWriter::IndexKind::Legacy, false);
    f.w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Notes/notes.db"), "12345");
    ASSERT_TRUE(f.write());
    const QDir dir(f.folder);
    testsupport::writeFile(dir.filePath(QStringLiteral("a.mdinfo")), mdinfo(QStringLiteral("HomeDomain"), QStringLiteral("secret"), true));
    testsupport::writeFile(dir.filePath(QStringLiteral("b.mdinfo")), mdinfo(QStringLiteral("AppDomain-x"), QStringLiteral("y"), false));
    testsupport::writeFile(dir.filePath(QStringLiteral("c.mdinfo")),
                           mdinfo(QStringLiteral("HomeDomain"), QStringLiteral("xmlmeta"), false, true));
    testsupport::writeFile(dir.filePath(QStringLiteral("d.mdinfo")), "not a plist");
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    EXPECT_EQ(b.fileSuffix(), QStringLiteral(".mddata"));
    ASSERT_EQ(b.files().size(), 1);
    EXPECT_EQ(b.files()[0]->relativePath, QStringLiteral("Library/Notes/notes.db"));
    EXPECT_EQ(b.files()[0]->size, 5);
    QFile::remove(dir.filePath(b.files()[0]->hashName + QStringLiteral(".mddata"))); // still listed, with size 0
    ASSERT_TRUE(b.parseFromPath(f.folder));
    ASSERT_EQ(b.files().size(), 1);
    EXPECT_EQ(b.files()[0]->size, 0);

    for (bool encrypted : {false, true}) { // an empty index is accepted only when encrypted
        Fixture e(SampleBackupWriter::IndexKind::Legacy, false);
        e.w.isEncrypted = encrypted;
        ASSERT_TRUE(e.write());
        LogCapture log;
        CiTunesBackup empty;
        EXPECT_EQ(empty.parseFromPath(e.folder), encrypted);
        EXPECT_EQ(log.count("iTunesBackup", e.failLine("backup data files")), encrypted ? 0 : 1);
    }
}

// The databases the scans read are copied, with their companions, into the working folder; of
// a name found in two domains the first is scanned.
TEST(Staging, CopiesDatabasesWithCompanionsIntoTheWorkingFolder)
{
    Fixture f;
    f.w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-wal"), "wal");
    f.w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-journal"), "journal");
    f.w.addFile(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"), "first");
    f.w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistory/call_history.db"), "second");
    ASSERT_TRUE(f.write());
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    QTemporaryDir work;
    b.setTmpPathForRecovery(work.path());
    KdBackup model;
    QStringList skipped;
    b.collectDatas(&model, nullptr, &skipped);
    const QDir out(work.path());
    QMap<QString, QByteArray> copies;
    for (const QString& name : out.entryList(QDir::Files))
        copies.insert(name, testsupport::readFile(out.filePath(name)));
    EXPECT_EQ(copies, (QMap<QString, QByteArray>{{QStringLiteral("call_history.db"), "first"}, {QStringLiteral("sms.db"), "db"},
                                                 {QStringLiteral("sms.db-journal"), "journal"}, {QStringLiteral("sms.db-wal"), "wal"}}));
    EXPECT_FALSE(skipped.join(QLatin1Char('\n')).contains(QLatin1String("no working copy"))) << skipped.join(QLatin1Char('\n')).toStdString();
}

// Emptying the working folder before a run would otherwise wipe the backup.
TEST(Staging, AWorkingFolderOverlappingTheBackupIsNotUsed)
{
    Fixture f;
    ASSERT_TRUE(f.write());
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    const auto before = testsupport::snapshotFolder(f.folder);
    QTemporaryDir elsewhere;
    const QString link = elsewhere.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(f.folder, link));
    for (const QString& overlapping : {f.folder, QDir(f.folder).filePath(QStringLiteral("work")), QFileInfo(f.folder).path(),
                                       QDir(link).filePath(QStringLiteral("work/deeper"))}) {
        LogCapture log;
        b.setTmpPathForRecovery(overlapping);
        EXPECT_TRUE(b.tmpPathForRecovery().isEmpty()) << overlapping.toStdString();
        EXPECT_TRUE(log.contains("overlaps the backup folder"));
        KdBackup model;
        b.collectDatas(&model, nullptr);
        EXPECT_EQ(testsupport::snapshotFolder(f.folder), before) << overlapping.toStdString();
    }
    b.setTmpPathForRecovery(f.folder + QStringLiteral("-work")); // a sibling sharing its name's start is outside
    EXPECT_EQ(b.tmpPathForRecovery(), f.folder + QStringLiteral("-work"));
}
