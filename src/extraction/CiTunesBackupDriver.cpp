#include "CiTunesBackup.h"
#include "CiTunesBackupPrivate.h"
#include "CategoryRun.h"

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
#include "CISQLiteQuery.h"
#include "CSubProgress.h"
#include "CiTunesBackupManager.h"
#include "kddata/KdBackup.h"
#include "utility/Log.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "kddata/KdSMSChatGroup.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Shares of the application's range: decryption, eleven categories and the recovery fill 9375 of 10000;
// the rest belongs to the application's own finish().
const int kTotalRange = 10000;
const int kCategoryShare = 625;
// An encrypted backup's decryption takes its share from the categories'.
const int kDecryptShare = 825;
const int kEncryptedCategoryShare = 550;
const int kRecoveryShare = 2500;

using Source = CategorySource;

using CategoryRunner = void (*)(KdBackup* backup, CIProgressCallback* progress, const Source& d, QStringList* skipped, int category);

void runCollector(CIDataCollection& collector, CIProgressCallback* progress, const Source& source, QStringList* skipped, int category)
{
    collector.setProgress(progress);
    collector.setIndex(&source.files, source.indexRoot.isEmpty() ? source.root : source.indexRoot,
                       KdData::machineName(category).replace(QLatin1Char('_'), QLatin1Char(' ')));
    const uint64_t damageBefore = evidencedb::damageSeen();
    CISQLiteQuery::takeUnfitted(); // what earlier work on this thread left
    collector.collect(source.root, source.files, source.fileSuffix);
    collector.reportDamage(damageBefore);
    collector.reportUnfitted();
    if (skipped)
        *skipped << collector.problems();
}

void collectContacts(KdBackup* backup, CIProgressCallback* progress, const Source& d, QStringList* skipped, int category)
{
    KdContactData* contacts = backup->getContact();
    if (!contacts)
        return;
    CContactCollection collector(contacts);
    runCollector(collector, progress, d, skipped, category);
}

void collectMessages(KdBackup* backup, CIProgressCallback* progress, const Source& d, QStringList* skipped, int category)
{
    // Contacts come first in the order below, so participants can be named.
    CSMSCollection collector(backup->getMessage(), backup->getContact());
    collector.setPieceReader(d.pieceReader);
    runCollector(collector, progress, d, skipped, category);
}

// A category whose collector needs nothing but its container.
template <class Collector, class Container, Container* (KdBackup::*container)() const>
void collectInto(KdBackup* backup, CIProgressCallback* progress, const Source& d, QStringList* skipped, int category)
{
    Collector collector((backup->*container)());
    runCollector(collector, progress, d, skipped, category);
}

void collectSafari(KdBackup* backup, CIProgressCallback* progress, const Source& d, QStringList* skipped, int category)
{
    CBookmarkCollection collector(backup->getSafariBookmark());
    runCollector(collector, progress, d, skipped, category);
    addDefaultBookmarks(backup->getSafariBookmark(), d.productType);
}

// The fixed order of the categories; each takes the same share of the progress.
struct Category {
    const char* name;
    CategoryRunner run;
    int category; // KdData::Category
};
const Category kCategories[] = {
    {"camera roll", &collectInto<CPhotoCollection, KdData, &KdBackup::getCamareRoll>, KdData::CameraRoll},
    {"photo stream", &collectInto<CPhotoStreamCollection, KdData, &KdBackup::getPhotoStream>, KdData::PhotoStream},
    {"contacts", &collectContacts, KdData::Contacts},
    {"messages", &collectMessages, KdData::Messages},
    {"message attachments", &collectInto<CSMSAttachmentsCollection, KdData, &KdBackup::getMessageAttachment>,
     KdData::MessageAttachments},
    {"call history", &collectInto<CCalllistCollection, KdData, &KdBackup::getCallHistory>, KdData::CallHistory},
    {"calendar", &collectInto<CCalendarCollection, KdData, &KdBackup::getCalendar>, KdData::Calendar},
    {"notes", &collectInto<CNoteCollection, KdData, &KdBackup::getNote>, KdData::Notes},
    {"reminders", &collectInto<CReminderCollection, KdData, &KdBackup::getReminder>, KdData::Reminders},
    {"voice memos", &collectInto<CVoiceMemoCollection, KdData, &KdBackup::getVoiceMemo>, KdData::VoiceMemos},
    {"safari", &collectSafari, KdData::SafariBookmarks},
};

thread_local QList<int> t_selection;

} // namespace

CategorySelection::CategorySelection(const QList<int>& categories) : m_previous(t_selection)
{
    t_selection = categories;
}

CategorySelection::~CategorySelection()
{
    t_selection = m_previous;
}

QList<int> CategorySelection::current()
{
    return t_selection;
}

QList<int> categoriesToRead(const QList<int>& selected)
{
    QList<int> out = selected;
    if ((out.contains(KdData::Messages) || out.contains(KdData::CallHistory)) && !out.contains(KdData::Contacts))
        out << KdData::Contacts;
    return out;
}

void remapItemFiles(KdBackup* backup, const QString& folder, const std::function<QString(const QString&)>& map)
{
    const QString prefix = QDir::cleanPath(folder) + QLatin1Char('/');
    for (int category : KdBackup::categories()) {
        KdData* data = backup ? backup->getKdData(category) : nullptr;
        for (int row = 0; data && row < data->count(KdData::AllItems); ++row) {
            KdAbstractItem* item = data->at(row, false);
            if (auto* file = dynamic_cast<KdFileItem*>(item)) {
                if (file->filePath().startsWith(prefix))
                    file->setFilePath(map(file->filePath()));
            } else if (auto* sms = dynamic_cast<KdSMSItem*>(item); sms && sms->detailContent()) {
                for (KdSMSChat* chat : sms->detailContent()->chats())
                    for (KdSMSPiece* piece : chat ? chat->pieces() : QList<KdSMSPiece*>()) {
                        if (!piece || !piece->pieceFile().startsWith(prefix))
                            continue;
                        piece->setPieceFileSize(QFileInfo(piece->pieceFile()).size());
                        piece->setPieceFile(map(piece->pieceFile()));
                        // Their bytes were read while the files were there, or are not read.
                        piece->setPieceCandidates({});
                    }
            }
        }
    }
}

bool runCategories(KdBackup* backup, CIProgressCallback* categoryProgress, const CategorySource& source, QStringList* skipped,
                   const QStringList& only)
{
    for (const Category& category : kCategories) {
        if (!only.isEmpty() && !only.contains(QLatin1String(category.name)))
            continue;
        categoryProgress->initRange(100);
        if (category.run && backup)
            category.run(backup, categoryProgress, source, skipped, category.category);
        if (!categoryProgress->finish()) {
            Log("iTunesBackup", 1, " collectDatas stopped after %s", category.name);
            return false;
        }
    }
    return true;
}

void CiTunesBackup::collectInfos(KdBackup* backup) const
{
    if (!backup)
        return;
    backup->setBackupProperty(d->m_deviceName, KdBackup::DeviceName);
    backup->setBackupProperty(CCommonUtils::datetimeToMinute(backupDateTime(), true), KdBackup::BackupDate);
    backup->setBackupDateTime(backupDateTime());
    backup->setBackupProperty(d->m_productVersion, KdBackup::ProductVersion);
    backup->setBackupProperty(d->m_serialNumber, KdBackup::SerialNumber);
    backup->setBackupProperty(modelName(), KdBackup::DeviceTypeName);
    backup->setBackupProperty(d->m_iTunesVersion, KdBackup::ITunesVersion);
}

namespace {

// Nothing decrypted outlives the run: the copies go however collectDatas ends.
class DecryptedFolders
{
public:
    DecryptedFolders(bool active, QStringList folders) : m_active(active), m_folders(std::move(folders)) {}
    ~DecryptedFolders()
    {
        if (!m_active)
            return;
        for (const QString& f : m_folders)
            if (!f.isEmpty())
                CCommonUtils::clearDir(f);
    }
    DecryptedFolders(const DecryptedFolders&) = delete;
    DecryptedFolders& operator=(const DecryptedFolders&) = delete;

private:
    bool m_active;
    QStringList m_folders;
};

} // namespace

bool CiTunesBackup::collectDatas(KdBackup* backup, CIProgressCallback* progress, QStringList* skipped) const
{
    const bool encrypted = d->m_isEncrypted;
    CSubProgress decryptProgress(progress, kDecryptShare);
    CSubProgress categoryProgress(progress, encrypted ? kEncryptedCategoryShare : kCategoryShare);
    if (progress)
        progress->initRange(kTotalRange);
    Log("iTunesBackup", 0, "Start to collect data for: %s", d->m_path.toUtf8().constData());

    const DecryptedFolders cleanup(encrypted, {m_decryptPath, m_tmpPathForRecovery});
    Source source{d->m_path, d->m_files, d->m_fileSuffix, d->m_productType};
    source.indexRoot = d->m_path;
    if (encrypted) {
        decryptProgress.initRange(100);
        const QString why = !isUnlocked()           ? QStringLiteral("it was not unlocked with its password")
                            : m_decryptPath.isEmpty() ? QStringLiteral("there is no private folder to decrypt its files in")
                                                      : QString();
        if (!why.isEmpty()) {
            Log("iTunesBackup", 0, "Encrypted backup %s not read: %s", d->m_path.toUtf8().constData(), why.toUtf8().constData());
            if (skipped)
                *skipped << QStringLiteral("every category: the backup is encrypted and %1").arg(why);
            return progress ? progress->finish() : true;
        }
        CCommonUtils::clearDir(m_decryptPath);
        if (!d->decryptForReading(m_decryptPath, &decryptProgress, skipped)) {
            Log("iTunesBackup", 1, " collectDatas stopped while decrypting");
            return false;
        }
        source.root = m_decryptPath;
        if (!m_keepDecryptedPath.isEmpty())
            d->keepDecrypted(m_decryptPath, m_keepDecryptedPath, skipped);
        if (!decryptProgress.finish())
            return false;
    }

    const QList<int> selected = CategorySelection::current();
    const QList<int> read = categoriesToRead(selected);
    QStringList only;
    for (const Category& c : kCategories)
        if (read.contains(c.category))
            only << QLatin1String(c.name);
    if ((selected.isEmpty() || !only.isEmpty()) && !runCategories(backup, &categoryProgress, source, skipped, only))
        return false;
    // The items name the backup's own data files, not the copies that go with the run.
    if (encrypted && backup) {
        const QDir copies(m_decryptPath);
        remapItemFiles(backup, m_decryptPath, [&](const QString& path) { return QDir(d->m_path).filePath(copies.relativeFilePath(path)); });
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
    const QList<int> selected = CategorySelection::current();
    const QList<int> types = CDeletedRecovery::typesForCategories(selected);
    if (!selected.isEmpty() && types.isEmpty())
        return true; // no selected category has deleted records to search
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
        d->stageRecoveryDatabases(m_tmpPathForRecovery, d->m_isEncrypted ? m_decryptPath : d->m_path, copied, skipped);
    }
    if (copied.isEmpty() || !backup)
        return true;
    CDeletedRecovery recovery;
    recovery.setTypes(types);
    return recovery.recover(copied, backup, progress, skipped);
}
