#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"

// Copies of a backup hand their state around; a copy that parses again must not take its
// siblings' file lists away (they may be iterating them).
TEST(BackupCopies, AReparsedCopyLeavesItsSiblingsTheirFiles)
{
    QTemporaryDir tmp;
    const QString first = tmp.filePath(QStringLiteral("first"));
    const QString second = tmp.filePath(QStringLiteral("second"));
    for (const QString& folder : {first, second}) {
        sample::SampleBackupWriter w(folder);
        w.setDevice(folder == first ? QStringLiteral("First") : QStringLiteral("Second"), QStringLiteral("iPhone5,2"),
                    QStringLiteral("7.1"), QDateTime(QDate(2014, 1, 2), QTime(3, 4, 5), Qt::UTC));
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "x");
        if (folder == second)
            w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Notes/notes.sqlite"), "y");
        ASSERT_TRUE(w.write());
    }
    CiTunesBackup original;
    ASSERT_TRUE(original.parseFromPath(first));
    CiTunesBackup copy(original), assigned;
    assigned = copy;
    const CiTunesBackup& same = assigned;
    assigned = same; // self-assignment keeps the state
    const CManifestRecord* held = copy.files().first();
    ASSERT_TRUE(original.parseFromPath(second));
    EXPECT_EQ(original.files().size(), 2);
    EXPECT_EQ(original.deviceName(), QStringLiteral("Second"));
    ASSERT_EQ(copy.files().size(), 1);
    EXPECT_EQ(copy.files().first(), held);
    EXPECT_EQ(held->relativePath, QStringLiteral("Library/SMS/sms.db"));
    EXPECT_EQ(copy.deviceName(), QStringLiteral("First"));
    ASSERT_EQ(assigned.files().size(), 1);
    EXPECT_EQ(assigned.files().first(), held);
}
