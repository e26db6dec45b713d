// An encrypted backup read by the driver: nothing decrypted outlives collectDatas, however it ends.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"

using testsupport::ProgressRecorder;

namespace {

QStringList filesUnder(const QString& folder)
{
    QStringList out;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories); it.hasNext();)
        out << it.next();
    return out;
}

} // namespace

TEST(EncryptedDriver, NoDecryptedFileSurvivesARunStoppedAnywhere)
{
    QTemporaryDir dir;
    sample::DemoOptions options;
    options.iosMajor = 17;
    options.password = "correct horse";
    const QString folder = dir.filePath(QStringLiteral("backup"));
    ASSERT_TRUE(sample::writeDemoBackup(folder, options));
    const auto evidence = testsupport::snapshotFolder(folder);
    const QString work = dir.filePath(QStringLiteral("work"));
    ASSERT_TRUE(QDir().mkpath(work + QStringLiteral("/dec")) && QDir().mkpath(work + QStringLiteral("/rec")));

    CiTunesBackup backup;
    ASSERT_TRUE(backup.parseFromPath(folder));
    ASSERT_TRUE(backup.isIndexLocked());
    EXPECT_TRUE(backup.files().isEmpty());
    QString why;
    EXPECT_EQ(backup.unlock("Correct horse", work, &why), CiTunesBackup::WrongPassword);
    EXPECT_FALSE(backup.isUnlocked());
    {   // Without the password nothing is read, and the run says so.
        KdBackup model;
        QStringList skipped;
        EXPECT_TRUE(backup.collectDatas(&model, nullptr, &skipped));
        EXPECT_EQ(model.getContact()->count(), 0);
        ASSERT_EQ(skipped.size(), 1);
        EXPECT_TRUE(skipped.first().contains(QLatin1String("encrypted")));
    }
    ASSERT_EQ(backup.unlock("correct horse", work, &why), CiTunesBackup::Unlocked) << why.toStdString();
    EXPECT_FALSE(backup.isIndexLocked());
    EXPECT_GT(backup.files().size(), 20);
    EXPECT_TRUE(filesUnder(work).isEmpty()) << "the decrypted index is removed once read";
    backup.setDecryptPath(work + QStringLiteral("/dec"));
    backup.setTmpPathForRecovery(work + QStringLiteral("/rec"));

    // Stopped in the decryption, in the categories, in the recovery, and not stopped at all.
    for (double stopAt : {100.0, 2000.0, 8000.0, 1e9}) {
        KdBackup model;
        ProgressRecorder p;
        bool sawCopies = false;
        p.answer = [&](int) {
            sawCopies = sawCopies || !filesUnder(work).isEmpty();
            return p.total < stopAt;
        };
        EXPECT_EQ(backup.collectDatas(&model, &p), stopAt > 1e8) << stopAt;
        EXPECT_TRUE(sawCopies) << stopAt;
        EXPECT_EQ(filesUnder(work), QStringList()) << stopAt;
        if (stopAt > 1e8) {
            EXPECT_GT(model.getContact()->count(KdData::LiveItems), 0);
            EXPECT_GT(model.getCallHistory()->count(KdData::DeletedItems), 0);
            EXPECT_NEAR(p.total, 9375.0, 1e-6);
        }
    }
    EXPECT_EQ(testsupport::snapshotFolder(folder), evidence);
}
