// The iOS 10+ index: the same records as Manifest.mbdb gives for the same files, rows that live
// only in its -wal, data files in sub-folders, and hostile rows and blobs.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "BackupFixture.h"
#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "KeyedArchive.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using sample::SampleBackupWriter;

namespace {

QStringList describe(const CiTunesBackup& b)
{
    QStringList out;
    for (const CManifestRecord* r : b.files())
        out << QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
                   .arg(r->domain, r->relativePath, r->hashName)
                   .arg(r->size)
                   .arg(r->mtime)
                   .arg(r->mode, 0, 8)
                   .arg(r->protectionClass);
    return out;
}

void fill(SampleBackupWriter& w)
{
    w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "sms");
    w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG"), "jpeg bytes");
    sample::MbdbRecord folder = mbdbRecord("HomeDomain", "Library/Notes");
    folder.mode = 040755;
    folder.mtime = 1500000000;
    folder.protectionClass = 3;
    w.addRawRecord(folder);
    w.addRawRecord(mbdbRecord("AppDomain-com.example.app", "Documents/x")); // application containers are never indexed
    w.addFile(QStringLiteral("HomeDomain"), QString::fromUtf8("Library/Caf\xc3\xa9.txt"), "u");
}

} // namespace

// Both index generations describe the same files alike; the iOS 10 one keeps its data files in
// sub-folders, and the -wal rows count as much as the others, without the folder being touched.
TEST(ManifestDb, SameRecordsAsTheOlderIndexWalRowsIncluded)
{
    TestBackup older(SampleBackupWriter::IndexKind::Mbdb, false);
    fill(older.w);
    ASSERT_TRUE(older.write());
    CiTunesBackup a;
    ASSERT_TRUE(a.parseFromPath(older.folder));

    for (bool wal : {false, true}) {
        SCOPED_TRACE(wal);
        TestBackup newer(SampleBackupWriter::IndexKind::ManifestDb, false);
        newer.w.manifestDbWal = wal;
        fill(newer.w);
        ASSERT_TRUE(newer.write());
        EXPECT_EQ(QFileInfo::exists(newer.file(QStringLiteral("Manifest.db-wal"))), wal);
        const auto before = testsupport::snapshotFolder(newer.folder);
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(newer.folder));
        EXPECT_EQ(testsupport::snapshotFolder(newer.folder), before);
        // The older index keeps no times of its own: compare all but that.
        QStringList expected = describe(a), got = describe(b);
        ASSERT_EQ(got.size(), 4);
        for (int i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].section(QLatin1Char('|'), 0, 3) + got[i].section(QLatin1Char('|'), 5),
                      expected[i].section(QLatin1Char('|'), 0, 3) + expected[i].section(QLatin1Char('|'), 5));
        }
        EXPECT_EQ(b.files()[2]->mtime, 1500000000);
        const QString sms = backupDataFile(b.path(), QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), QString());
        EXPECT_EQ(sms, QDir(b.path()).absoluteFilePath(b.files()[0]->hashName.left(2) + QLatin1Char('/') + b.files()[0]->hashName));
        EXPECT_TRUE(QFileInfo(sms).isFile());
    }
}

// Rows a hostile index could hold: a file name that is a path, a blob that is no archive, a
// domain that is none. Each record keeps what can be trusted; nothing is read outside the folder.
TEST(ManifestDb, HostileRowsKeepWhatCanBeTrusted)
{
    TestBackup f(SampleBackupWriter::IndexKind::ManifestDb, false);
    fill(f.w);
    ASSERT_TRUE(f.write());
    const QString db = f.file(QStringLiteral("Manifest.db"));
    ASSERT_TRUE(testsupport::makeDatabase(db, {"UPDATE Files SET fileID = '../../etc/passwd' WHERE relativePath = 'Library/SMS/sms.db';"
                                               "UPDATE Files SET file = x'62706c6973743030ffff' WHERE domain = 'MediaDomain';"
                                               "INSERT INTO Files VALUES ('0123', x'00ff', 'p', 1, NULL);"
                                               "INSERT INTO Files VALUES ('4567', NULL, NULL, NULL, NULL);"}));
    testsupport::LogCapture log;
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(f.folder));
    ASSERT_EQ(b.files().size(), 4);
    EXPECT_EQ(b.files()[0]->hashName, backupFileName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")));
    EXPECT_EQ(b.files()[1]->size, 0); // the blob is not read: size unknown, the file still listed
    EXPECT_EQ(b.files()[1]->mode, 0100644);
    EXPECT_TRUE(log.contains("1 records whose file name is not a hash"));
    EXPECT_TRUE(log.contains("2 records without a plausible domain left out"));

    // Without a table of files it is no index; an encrypted one still describes the device.
    ASSERT_TRUE(testsupport::makeDatabase(db, {QStringLiteral("DROP TABLE Files")}));
    EXPECT_FALSE(b.parseFromPath(f.folder));
    EXPECT_EQ(b.parseFailure(), CiTunesBackup::Unreadable);
    f.w.isEncrypted = true;
    ASSERT_TRUE(f.write());
    testsupport::writeFile(db, QByteArray(4096, '\x7f'));
    ASSERT_TRUE(b.parseFromPath(f.folder));
    EXPECT_TRUE(b.isEncrypted());
    EXPECT_TRUE(b.files().isEmpty());
    EXPECT_TRUE(b.parseProblem().contains(QLatin1String("encrypted"))) << b.parseProblem().toStdString();
}

// A damaged page ends SQLite's scan of the index without a word: the rest is read past it, and
// what the page held is read back from its bytes.
TEST(ManifestDb, ADamagedPageLosesNoFileAndIsSaid)
{
    TestBackup f(SampleBackupWriter::IndexKind::ManifestDb, false);
    fill(f.w);
    for (int i = 0; i < 200; ++i)
        f.w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/DCIM/101APPLE/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')), "jpeg");
    QString error;
    ASSERT_TRUE(f.w.write(&error)) << error.toStdString();
    const QString db = f.file(QStringLiteral("Manifest.db"));
    CiTunesBackup whole;
    ASSERT_TRUE(whole.parseFromPath(f.folder));
    QStringList expected = describe(whole);
    expected.sort();
    ASSERT_EQ(expected.size(), 204);
    const QByteArray pristine = testsupport::readFile(db);
    const auto [root, pageSize] = testsupport::treeRoot(db, "Files");
    const int rootAt = (root - 1) * pageSize;
    ASSERT_EQ(uchar(pristine[rootAt]), 0x05) << "the files need an interior root";
    const auto u16 = [&](int at) { return int(uchar(pristine[at])) << 8 | int(uchar(pristine[at + 1])); };
    const int cell = u16(rootAt + 12 + 2);
    const int middleLeaf = int(uchar(pristine[rootAt + cell + 3])) | int(uchar(pristine[rootAt + cell + 2])) << 8;
    for (const int page : {middleLeaf, root}) {
        SCOPED_TRACE(page);
        QByteArray damaged = pristine;
        damaged[(page - 1) * pageSize] = '\x99';
        ASSERT_TRUE(testsupport::writeFile(db, damaged));
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        QStringList got = describe(b);
        got.sort();
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(b.parseProblem().contains(QStringLiteral("Manifest.db is damaged (Page %1: ").arg(page))) << b.parseProblem().toStdString();
    }
}

// The index is read as SQLite reads it once a hot -journal is rolled back, on a private copy;
// what SQLite would skip without a word (-wal frames whose checksum fails, a -journal without its
// header) is a problem the user sees. The folder is never written.
TEST(ManifestDb, CompanionsAppliedOnACopyOrTheirLossNamed)
{
    TestBackup clean(SampleBackupWriter::IndexKind::ManifestDb, false);
    fill(clean.w);
    ASSERT_TRUE(clean.write());
    CiTunesBackup reference;
    ASSERT_TRUE(reference.parseFromPath(clean.folder));
    const QStringList all = describe(reference);
    ASSERT_EQ(all.size(), 4);
    const testsupport::HotJournal hot = testsupport::hotJournal(
        clean.file(QStringLiteral("Manifest.db")),
        QStringLiteral("UPDATE Files SET relativePath = 'ZZZ' || relativePath; DELETE FROM Files WHERE domain = 'MediaDomain'"));
    ASSERT_FALSE(hot.journal.isEmpty());
    QByteArray headerless = hot.journal;
    headerless[0] = 'X';
    // A byte the checksum of the first record counts, changed: SQLite stops its rollback there.
    QByteArray unsummed = hot.journal;
    const auto be32 = [&](int at) { return uint32_t(uchar(unsummed[at])) << 24 | uint32_t(uchar(unsummed[at + 1])) << 16 | uint32_t(uchar(unsummed[at + 2])) << 8 | uchar(unsummed[at + 3]); };
    const int flipped = int(be32(20) + 4 + be32(24) - 200);
    ASSERT_LT(flipped, unsummed.size());
    unsummed[flipped] = char(unsummed[flipped] ^ 0x5a);

    struct Case {
        const char* name;
        int walFlip; // the -wal's byte changed; -1: no -wal
        QByteArray journal;
        int records; // -1: not checked
        const char* problem; // nullptr: none
    };
    const Case cases[] = {
        {"first -wal frame's checksum flipped", 48, {}, 2, "Manifest.db: its -wal was not applied whole (frame 1 of "},
        {"-wal magic changed", 0, {}, 2, "Manifest.db: its -wal was not applied whole (its header is not a -wal's"},
        {"hot -journal", -1, hot.journal, 4, nullptr},
        {"-journal without its header", -1, headerless, -1, "Manifest.db: its -journal holds no journal header"},
        {"-journal record failing its checksum", -1, unsummed, -1,
         "Manifest.db: its -journal was not rolled back whole (record 1 fails its checksum: it and the records after it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestBackup f(SampleBackupWriter::IndexKind::ManifestDb, false);
        f.w.manifestDbWal = c.walFlip >= 0;
        fill(f.w);
        ASSERT_TRUE(f.write());
        const QString db = f.file(QStringLiteral("Manifest.db"));
        if (c.walFlip >= 0) {
            QByteArray wal = testsupport::readFile(db + QStringLiteral("-wal"));
            ASSERT_GT(wal.size(), 48);
            wal[c.walFlip] = char(wal[c.walFlip] ^ 0xff);
            ASSERT_TRUE(testsupport::writeFile(db + QStringLiteral("-wal"), wal));
        } else {
            ASSERT_TRUE(testsupport::writeFile(db, hot.database));
            ASSERT_TRUE(testsupport::writeFile(db + QStringLiteral("-journal"), c.journal));
        }
        const auto before = testsupport::snapshotFolder(f.folder);
        CiTunesBackup b;
        ASSERT_TRUE(b.parseFromPath(f.folder));
        EXPECT_EQ(testsupport::snapshotFolder(f.folder), before);
        if (c.records == 4) {
            EXPECT_EQ(describe(b), all);
        } else if (c.records >= 0) {
            EXPECT_EQ(b.files().size(), c.records);
        }
        if (c.problem) {
            EXPECT_TRUE(b.parseProblem().contains(QLatin1String(c.problem))) << b.parseProblem().toStdString();
        } else {
            EXPECT_EQ(b.parseProblem(), QString());
        }
    }
}

// References that point nowhere or in circles, and values of the wrong kind, are missing values.
TEST(KeyedArchiveTest, ReferencesAreResolvedWithinBounds)
{
    sample::MbdbRecord r = mbdbRecord("HomeDomain", "a");
    r.size = 42;
    const QByteArray good = SampleBackupWriter::fileArchive(r);
    const KeyedArchive archive(good);
    ASSERT_TRUE(archive.isValid());
    qint64 v = 0;
    EXPECT_TRUE(archive.integer(archive.root(), "Size", &v));
    EXPECT_EQ(v, 42);
    EXPECT_EQ(archive.string(archive.root(), "RelativePath"), QStringLiteral("a"));
    EXPECT_EQ(archive.className(archive.root()), QStringLiteral("MBFile"));
    EXPECT_FALSE(archive.integer(archive.root(), "RelativePath", &v));
    EXPECT_FALSE(archive.integer(archive.root(), "Missing", &v));

    // A reference past the objects, and one to itself.
    QByteArray dangling = good;
    const qsizetype uid = dangling.indexOf(QByteArray("\x80\x02", 2)); // RelativePath's UID 2
    ASSERT_GT(uid, 0);
    dangling[uid + 1] = char(0x7f);
    EXPECT_TRUE(KeyedArchive(dangling).isValid());
    EXPECT_EQ(KeyedArchive(dangling).string(KeyedArchive(dangling).root(), "RelativePath"), QString());
    for (const QByteArray& bad : {QByteArray(), QByteArray("bplist00"), good.left(good.size() / 2), QByteArray(300, '\0')})
        EXPECT_FALSE(KeyedArchive(bad).isValid());
}
