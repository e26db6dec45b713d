#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "CiTunesBackup.h"
#include "CiTunesBackupManager.h"
#include "CollectionsFixture.h"
#include "kddata/KdBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using collectionstest::ProgressRecorder;

namespace {

class DriverTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_folder = s_dir->filePath(QStringLiteral("demo"));
        QString error;
        ASSERT_TRUE(sample::writeDemoBackup(s_folder, sample::DemoOptions(), &error)) << error.toStdString();
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(backup.parseFromPath(s_folder)); }

    static int liveContacts()
    {
        int n = 0;
        for (const sample::SamplePerson& p : sample::addressBookPeople())
            n += p.deleted ? 0 : 1;
        return n;
    }

    static QTemporaryDir* s_dir;
    static QString s_folder;
    CiTunesBackup backup;
    KdBackup model;
};

QTemporaryDir* DriverTest::s_dir = nullptr;
QString DriverTest::s_folder;

} // namespace

TEST_F(DriverTest, SharesAddUpTo6875AfterCategoriesAnd9375AfterRecovery)
{
    ProgressRecorder p;
    EXPECT_TRUE(backup.collectDatas(&model, &p));
    EXPECT_EQ(p.range(), 10000);
    EXPECT_EQ(p.inits, 1);
    EXPECT_EQ(p.finishes, 1);
    EXPECT_NEAR(p.total, 9375.0, 1e-6);
    // Without a working folder the recovery reports its whole share in one step.
    ASSERT_FALSE(p.steps.empty());
    EXPECT_NEAR(p.steps.back(), 2500.0, 1e-9);
    EXPECT_NEAR(p.total - p.steps.back(), 6875.0, 1e-6);
    EXPECT_EQ(model.getContact()->count(0), liveContacts());
}

TEST_F(DriverTest, RefusingFromTheFirstReportStopsAfterTheFirstCategory)
{
    ProgressRecorder p;
    p.answer = [](int) { return false; };
    EXPECT_FALSE(backup.collectDatas(&model, &p));
    EXPECT_NEAR(p.total, 625.0, 1e-9);
    EXPECT_EQ(p.finishes, 0);
    EXPECT_EQ(model.getContact()->count(0), 0);
}

TEST_F(DriverTest, OneRefusalDuringContactsCutsOnlyThatCategoryShort)
{
    ProgressRecorder p;
    double seen = 0.0;
    bool refused = false;
    // Refuse the first report inside the contacts share (after camera roll and photo stream).
    p.answer = [&](int call) {
        const double before = seen;
        seen = p.total;
        if (!refused && before >= 1250.0 - 1e-9 && call > 1) {
            refused = true;
            return false;
        }
        return true;
    };
    EXPECT_TRUE(backup.collectDatas(&model, &p));
    EXPECT_TRUE(refused);
    EXPECT_EQ(model.getContact()->count(0), 1);
    EXPECT_NEAR(p.total, 9375.0, 1e-6);
    EXPECT_EQ(p.finishes, 1);
}

TEST_F(DriverTest, NullCallbackRunsEverything)
{
    EXPECT_TRUE(backup.collectDatas(&model, nullptr));
    EXPECT_EQ(model.getContact()->count(0), liveContacts());
    EXPECT_TRUE(backup.collectDatas(&model, nullptr)); // a second run adds the items again
    EXPECT_EQ(model.getContact()->count(0), 2 * liveContacts());
    EXPECT_EQ(model.getContact()->count(KdData::DeletedItems), 0); // no working folder: no recovery
}

TEST_F(DriverTest, WorkingFolderIsClearedAndStagedWhileTheBackupStaysByteIdentical)
{
    QTemporaryDir work;
    ASSERT_TRUE(testsupport::writeFile(work.filePath(QStringLiteral("stale/leftover.db")), "old"));
    backup.setTmpPathForRecovery(work.path());
    const auto before = testsupport::snapshotFolder(s_folder);

    ProgressRecorder p;
    EXPECT_TRUE(backup.collectDatas(&model, &p));
    EXPECT_NEAR(p.total, 9375.0, 1e-6);
    EXPECT_FALSE(QFile::exists(work.filePath(QStringLiteral("stale/leftover.db"))));
    EXPECT_TRUE(QFile::exists(work.filePath(QStringLiteral("AddressBook.sqlitedb"))));
    EXPECT_EQ(model.getContact()->count(KdData::LiveItems), liveContacts());

    EXPECT_EQ(testsupport::snapshotFolder(s_folder), before);
}

TEST_F(DriverTest, CollectInfosFillsTheSixProperties)
{
    backup.collectInfos(&model);
    EXPECT_EQ(model.backupProperty(KdBackup::DeviceName), QStringLiteral("Demo iPhone"));
    EXPECT_EQ(model.backupProperty(KdBackup::BackupDate), QStringLiteral("2016-03-14 09:26"));
    EXPECT_EQ(model.backupProperty(KdBackup::ProductVersion), QStringLiteral("8.4.1"));
    EXPECT_EQ(model.backupProperty(KdBackup::SerialNumber), QStringLiteral("C39KQ0ABFFT9"));
    EXPECT_EQ(model.backupProperty(KdBackup::DeviceTypeName), QStringLiteral("iPhone 5S")); // marketing name
    EXPECT_EQ(model.backupProperty(KdBackup::ITunesVersion), QStringLiteral("12.3.2.35"));
    backup.collectInfos(nullptr);
}

TEST(DriverWithoutInfoPlist, BackupDateFallsBackTo2001)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter writer(dir.filePath(QStringLiteral("b")));
    writer.setDevice(QStringLiteral("P"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime());
    writer.writeInfoPlist = false;
    writer.manifestDate = QDateTime();
    writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/x.txt"), "x");
    ASSERT_TRUE(writer.write());
    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(writer.folder()));
    KdBackup model;
    backup.collectInfos(&model);
    EXPECT_EQ(model.backupProperty(KdBackup::BackupDate), QStringLiteral("2001-01-01 00:00"));
    EXPECT_TRUE(backup.collectDatas(&model, nullptr)); // no category database at all
    EXPECT_EQ(model.getContact()->count(0), 0);
}
