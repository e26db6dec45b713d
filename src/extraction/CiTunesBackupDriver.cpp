#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"

#include "kddata/CCommonUtils.h"
#include "CBookmarkCollection.h"
#include "CCalendarCollection.h"
#include "CCalllistCollection.h"
#include "CContactCollection.h"
#include "CMediaCollections.h"
#include "CNoteCollection.h"
#include "CReminderCollection.h"
#include "CSMSCollection.h"
#include "CVoiceMemoCollection.h"
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

void collectMessages(KdBackup* backup, CIProgressCallback* progress, const CiTunesBackupPrivate& d, QStringList* skipped)
{
    // Contacts come first in the order below, so participants can be named.
    CSMSCollection collector(backup->getMessage(), backup->getContact());
    runCollector(collector, progress, d, skipped);
}

// A category whose collector needs nothing but its container.
template <class Collector, class Container, Container* (KdBackup::*container)() const>
void collectInto(KdBackup* backup, CIProgressCallback* progress, const CiTunesBackupPrivate& d, QStringList* skipped)
{
    Collector collector((backup->*container)());
    runCollector(collector, progress, d, skipped);
}

void collectSafari(KdBackup* backup, CIProgressCallback* progress, const CiTunesBackupPrivate& d, QStringList* skipped)
{
    CBookmarkCollection collector(backup->getSafariBookmark());
    runCollector(collector, progress, d, skipped);
    addDefaultBookmarks(backup->getSafariBookmark(), d.m_productType);
}

// The fixed order of the categories; each takes the same share of the progress.
struct Category {
    const char* name;
    CategoryRunner run;
};
const Category kCategories[] = {
    {"camera roll", &collectInto<CPhotoCollection, KdData, &KdBackup::getCamareRoll>},
    {"photo stream", &collectInto<CPhotoStreamCollection, KdData, &KdBackup::getPhotoStream>},
    {"contacts", &collectContacts},
    {"messages", &collectMessages},
    {"message attachments", &collectInto<CSMSAttachmentsCollection, KdData, &KdBackup::getMessageAttachment>},
    {"call history", &collectInto<CCalllistCollection, KdData, &KdBackup::getCallHistory>},
    {"calendar", &collectInto<CCalendarCollection, KdData, &KdBackup::getCalendar>},
    {"notes", &collectInto<CNoteCollection, KdData, &KdBackup::getNote>},
    {"reminders", &collectInto<CReminderCollection, KdData, &KdBackup::getReminder>},
    {"voice memos", &collectInto<CVoiceMemoCollection, KdData, &KdBackup::getVoiceMemo>},
    {"safari", &collectSafari},
};

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
        d->stageRecoveryDatabases(m_tmpPathForRecovery, copied, skipped);
    }
    if (copied.isEmpty() || !backup)
        return true;
    CDeletedRecovery recovery;
    return recovery.recover(copied, backup, progress, skipped);
}
