#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"

#include <QDir>
#include <QFileInfo>

#include "BackupFiles.h"

#include "kddata/CCommonUtils.h"
#include "CContactCollection.h"
#include "CDeletedRecovery.h"
#include "CSubProgress.h"
#include "CiTunesBackupManager.h"
#include "kddata/KdBackup.h"
#include "utility/Log.h"

namespace {

// Shares of the application's range: eleven categories and the recovery fill 9375 of 10000;
// the rest belongs to the application's own finish().
const int kTotalRange = 10000;
const int kCategoryShare = 625;
const int kRecoveryShare = 2500;

using CategoryRunner = void (*)(KdBackup* backup, CIProgressCallback* progress, const CiTunesBackupPrivate& d,
                                QStringList* skipped);

void runCollector(CIDataCollection& collector, CIProgressCallback* progress, const CiTunesBackupPrivate& d,
                  QStringList* skipped)
{
    collector.setProgress(progress);
    collector.collect(d.m_path, d.m_files, d.m_fileSuffix);
    if (skipped)
        *skipped << collector.problems();
}

void collectContacts(KdBackup* backup, CIProgressCallback* progress, const CiTunesBackupPrivate& d, QStringList* skipped)
{
    KdContactData* contacts = backup->getContact();
    if (!contacts)
        return;
    CContactCollection collector(contacts);
    runCollector(collector, progress, d, skipped);
}

// The fixed order of the categories. A category without a collector still takes its share, so
// the totals the application sees never change as collectors are added.
struct Category {
    const char* name;
    CategoryRunner run; // null: not read from backups yet
};
const Category kCategories[] = {
    {"camera roll", nullptr},
    {"photo stream", nullptr},
    {"contacts", &collectContacts},
    {"messages", nullptr},
    {"message attachments", nullptr},
    {"call history", nullptr},
    {"calendar", nullptr},
    {"notes", nullptr},
    {"reminders", nullptr},
    {"voice memos", nullptr},
    {"safari", nullptr},
};

// Copies the category databases, with the companions that hold their newest and their older
// pages, into the working folder: the scans and SQLite only ever see these copies.
void stageForRecovery(const CiTunesBackupPrivate& d, const QString& targetFolder, QStringList& copied, QStringList* skipped)
{
    static const char* const kDatabases[][2] = {
        {"HomeDomain", "Library/Safari/Bookmarks.db"},
        {"HomeDomain", "Library/Calendar/Calendar.sqlitedb"},
        {"WirelessDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"},
        {"HomeDomain", "Library/AddressBook/AddressBook.db"},
        {"HomeDomain", "Library/Notes/notes.db"},
        {"HomeDomain", "Library/Notes/notes.sqlite"},
        {"HomeDomain", "Library/SMS/sms.db"},
    };
    static const char* const kCompanions[] = {"-wal", "-shm", "-journal"};
    if (targetFolder.isEmpty() || isSameOrInside(targetFolder, d.m_path))
        return;
    const QDir source(d.m_path);
    const QDir target(targetFolder);
    // Copies one data file under the path's last component; false with the reason when the file
    // is there but could not be copied, true (and *present false) when the backup lacks it.
    auto copy = [&](const QString& domain, const QString& path, bool* present, QString* why) {
        const QString from = source.absoluteFilePath(backupFileName(domain, path) + d.m_fileSuffix);
        *present = QFileInfo::exists(from);
        return !*present || CCommonUtils::copyFile(from, target, path.section(QLatin1Char('/'), -1), why);
    };
    for (const auto& entry : kDatabases) {
        const QString domain = QLatin1String(entry[0]);
        const QString path = QLatin1String(entry[1]);
        const QString name = path.section(QLatin1Char('/'), -1);
        // The same name in two domains (call history): the first one found is scanned.
        if (copied.contains(target.absoluteFilePath(name)))
            continue;
        bool present = false;
        QString why;
        if (!copy(domain, path, &present, &why)) {
            Log("iTunesBackup", 1, "No working copy of %s: %s", path.toUtf8().constData(), why.toUtf8().constData());
            if (skipped)
                *skipped << QStringLiteral("deleted records in %1: no working copy (%2)").arg(name, why);
            continue;
        }
        if (!present)
            continue;
        for (const char* companion : kCompanions) {
            if (!copy(domain, path + QLatin1String(companion), &present, &why)) {
                Log("iTunesBackup", 1, "No working copy of %s%s: %s", path.toUtf8().constData(), companion,
                    why.toUtf8().constData());
                if (skipped)
                    *skipped << QStringLiteral("deleted records in %1%2: no working copy (%3)")
                                    .arg(name, QLatin1String(companion), why);
            }
        }
        copied.append(target.absoluteFilePath(name));
    }
}

} // namespace

void CiTunesBackup::collectInfos(KdBackup* backup) const
{
    if (!backup)
        return;
    backup->setBackupProperty(d->m_deviceName, KdBackup::DeviceName);
    backup->setBackupProperty(CCommonUtils::datetimeToMinute(backupDateTime(), true), KdBackup::BackupDate);
    backup->setBackupProperty(d->m_productVersion, KdBackup::ProductVersion);
    backup->setBackupProperty(d->m_serialNumber, KdBackup::SerialNumber);
    backup->setBackupProperty(CiTunesBackupManager::deviceTypeName(d->m_pManager, d->m_productType),
                              KdBackup::DeviceTypeName);
    backup->setBackupProperty(d->m_iTunesVersion, KdBackup::ITunesVersion);
}

bool CiTunesBackup::collectDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped) const
{
    CSubProgress categoryProgress(progress, kCategoryShare);
    if (progress)
        progress->initRange(kTotalRange);
    Log("iTunesBackup", 0, "Start to collect data for: %s", d->m_path.toUtf8().constData());

    for (const Category& category : kCategories) {
        categoryProgress.initRange(100);
        if (category.run && backup)
            category.run(backup, &categoryProgress, *d, skipped);
        if (!categoryProgress.finish()) {
            Log("iTunesBackup", 1, " collectDatas stopped after %s", category.name);
            return false;
        }
    }

    CSubProgress recoveryProgress(progress, kRecoveryShare);
    recoveryProgress.initRange(100);
    const bool recovered = recoveryDeleted(backup, &recoveryProgress, skipped);
    if (!recovered || !recoveryProgress.finish()) {
        Log("iTunesBackup", 1, " collectDatas stopped during the deleted-record search");
        return false;
    }

    if (progress)
        return progress->finish();
    return true;
}

bool CiTunesBackup::recoveryDeleted(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped) const
{
    QStringList copied;
    // The folder is emptied first: it may never be, hold or lie inside the backup (the setter
    // checks too, but the backup may have been parsed after the folder was set).
    const bool overlaps = !m_tmpPathForRecovery.isEmpty()
        && (isSameOrInside(m_tmpPathForRecovery, d->m_path) || isSameOrInside(d->m_path, m_tmpPathForRecovery));
    if (overlaps) {
        Log("iTunesBackup", 0, "Recovery folder %s overlaps the backup folder %s: not used",
            m_tmpPathForRecovery.toUtf8().constData(), d->m_path.toUtf8().constData());
        if (skipped)
            *skipped << QStringLiteral("deleted records: the working folder %1 overlaps the backup folder")
                            .arg(m_tmpPathForRecovery);
    }
    if (!m_tmpPathForRecovery.isEmpty() && !overlaps) {
        CCommonUtils::clearDir(m_tmpPathForRecovery);
        stageForRecovery(*d, m_tmpPathForRecovery, copied, skipped);
    }
    if (copied.isEmpty() || !backup)
        return true;
    CDeletedRecovery recovery;
    return recovery.recover(copied, backup, progress, skipped);
}
