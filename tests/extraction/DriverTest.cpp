#include <algorithm>
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"

using testsupport::ProgressRecorder;

namespace {

int liveContacts()
{
    int n = 0;
    for (const sample::SamplePerson& p : sample::addressBookPeople())
        n += p.deleted ? 0 : 1;
    return n;
}

// Eleven category shares of 625 and the recovery's 2500 fill 9375 of the 10000 reported; the
// rest belongs to the application's own finish().
class DriverTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        ASSERT_TRUE(sample::writeDemoBackup(s_dir->filePath(QStringLiteral("demo"))));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(backup.parseFromPath(s_dir->filePath(QStringLiteral("demo")))); }

    static QTemporaryDir* s_dir;
    CiTunesBackup backup;
    KdBackup model;
};

QTemporaryDir* DriverTest::s_dir = nullptr;

} // namespace

TEST_F(DriverTest, SharesAddUpTo9375AndTheWorkingFolderIsClearedAndFilled)
{
    {   // Without a working folder the recovery reports its whole share in one step.
        ProgressRecorder p;
        EXPECT_TRUE(backup.collectDatas(&model, &p));
        EXPECT_EQ(p.range(), 10000);
        EXPECT_EQ(p.inits, 1);
        EXPECT_EQ(p.finishes, 1);
        EXPECT_NEAR(p.total, 9375.0, 1e-6);
        EXPECT_NEAR(p.steps.back(), 2500.0, 1e-9);
        EXPECT_EQ(model.getContact()->count(KdData::LiveItems), liveContacts());
        EXPECT_EQ(model.getContact()->count(KdData::DeletedItems), 0);
    }
    QTemporaryDir work;
    ASSERT_TRUE(testsupport::writeFile(work.filePath(QStringLiteral("stale/leftover.db")), "old"));
    backup.setTmpPathForRecovery(work.path());
    const auto before = testsupport::snapshotFolder(backup.path());
    KdBackup recovered;
    ProgressRecorder p;
    EXPECT_TRUE(backup.collectDatas(&recovered, &p));
    EXPECT_NEAR(p.total, 9375.0, 1e-6);
    EXPECT_FALSE(QFile::exists(work.filePath(QStringLiteral("stale/leftover.db"))));
    EXPECT_TRUE(QFile::exists(work.filePath(QStringLiteral("AddressBook.sqlitedb"))));
    EXPECT_EQ(recovered.getContact()->count(KdData::LiveItems), liveContacts());
    EXPECT_GT(recovered.getCallHistory()->count(KdData::DeletedItems), 0);
    EXPECT_EQ(testsupport::snapshotFolder(backup.path()), before);
}

TEST_F(DriverTest, RefusalsStopTheRunOrCutOneCategoryShort)
{
    ProgressRecorder first;
    first.answer = [](int) { return false; };
    EXPECT_FALSE(backup.collectDatas(&model, &first));
    EXPECT_NEAR(first.total, 625.0, 1e-9); // the first category's finish is refused
    EXPECT_EQ(first.finishes, 0);
    EXPECT_EQ(model.getContact()->count(), 0);

    // One refusal inside the contacts share (after camera roll and photo stream) ends the
    // reading of contacts only; the run goes on.
    ProgressRecorder p;
    int refusedAt = 0;
    p.answer = [&](int call) {
        if (refusedAt == 0 && p.total > 1250.0 + 1e-6) { // the first step past the two photo shares
            refusedAt = call;
            return false;
        }
        return true;
    };
    KdBackup cut;
    EXPECT_TRUE(backup.collectDatas(&cut, &p));
    EXPECT_GT(refusedAt, 0);
    EXPECT_EQ(cut.getContact()->count(), 1);
    EXPECT_NEAR(p.total, 9375.0, 1e-6);
    EXPECT_EQ(p.finishes, 1);
}

TEST_F(DriverTest, NullCallbackRunsEverythingAndARunAddsItemsAgain)
{
    EXPECT_TRUE(backup.collectDatas(&model, nullptr));
    EXPECT_TRUE(backup.collectDatas(&model, nullptr));
    EXPECT_EQ(model.getContact()->count(), 2 * liveContacts());
}

TEST_F(DriverTest, CollectInfosFillsTheSixProperties)
{
    backup.collectInfos(&model);
    QStringList properties;
    for (int i = 0; i < KdBackup::PropertyCount; ++i)
        properties << model.backupProperty(i);
    EXPECT_EQ(properties, (QStringList{QStringLiteral("Demo iPhone"), QStringLiteral("2016-03-14 09:26"), QStringLiteral("8.4.1"),
                                       QStringLiteral("C39KQ0ABFFT9"), QStringLiteral("iPhone 5S"), QStringLiteral("12.3.2.35")}));
    backup.collectInfos(nullptr);
}

namespace {

struct BadDatabases {
    const char* name;
    QByteArray (*content)();
};
void PrintTo(const BadDatabases& c, std::ostream* os) { *os << c.name; }

class BadDatabaseTest : public ::testing::TestWithParam<BadDatabases>
{
};

QByteArray foreignDatabase()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.db"));
    EXPECT_TRUE(testsupport::makeDatabase(path, {QStringLiteral("CREATE TABLE unrelated(a, b)"), QStringLiteral("INSERT INTO unrelated VALUES (1, 2)")}));
    return testsupport::readFile(path);
}

} // namespace

// Every category database missing its content, of another application, or garbage: each such
// category is empty and named in the log, the files still come out, the run ends normally.
TEST_P(BadDatabaseTest, EachCategoryEmptyTheRestStillExtracted)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
    const QByteArray bad = GetParam().content();
    const struct {
        const char* domain;
        const char* path;
    } databases[] = {{"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"}, {"HomeDomain", "Library/SMS/sms.db"},
                     {"WirelessDomain", "Library/CallHistory/call_history.db"}, {"HomeDomain", "Library/Calendar/Calendar.sqlitedb"},
                     {"HomeDomain", "Library/Notes/notes.sqlite"},           {"HomeDomain", "Library/Safari/Bookmarks.db"},
                     {"MediaDomain", "Media/Recordings/Recordings.db"}};
    QStringList dataFiles;
    for (const auto& d : databases)
        dataFiles << QFileInfo(w.addFile(QLatin1String(d.domain), QLatin1String(d.path), bad)).fileName();
    w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG"), QByteArray("picture"));
    ASSERT_TRUE(w.write());

    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(w.folder()));
    testsupport::LogCapture log;
    KdBackup model;
    QStringList skipped;
    EXPECT_TRUE(backup.collectDatas(&model, nullptr, &skipped));
    for (int category : KdBackup::categories()) {
        // Safari always lists the factory bookmarks.
        if (category != KdData::CameraRoll && category != KdData::SafariBookmarks) {
            EXPECT_EQ(model.getKdData(category)->count(KdData::LiveItems), 0) << category;
        }
    }
    EXPECT_EQ(model.getSafariBookmark()->count(), 5);
    EXPECT_EQ(model.getCamareRoll()->count(), 1);
    for (const QString& file : dataFiles)
        EXPECT_TRUE(log.contains(file.toStdString())) << file.toStdString() << " is never named";
    // And the run says what it skipped, by the device's file name.
    for (const auto& d : databases) {
        const QString name = QFileInfo(QLatin1String(d.path)).fileName();
        EXPECT_TRUE(std::any_of(skipped.begin(), skipped.end(), [&](const QString& line) { return line.contains(name); }))
            << name.toStdString() << " not in " << skipped.join(QLatin1Char('\n')).toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, BadDatabaseTest,
                         ::testing::Values(BadDatabases{"garbage", [] { return QByteArray(8192, '\x5a'); }},
                                           BadDatabases{"empty_file", [] { return QByteArray(); }},
                                           BadDatabases{"foreign_schema", &foreignDatabase}));
