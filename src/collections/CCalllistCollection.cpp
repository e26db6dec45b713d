#include "CCalllistCollection.h"

#include <QCoreApplication>

#include <algorithm>
#include <utility>

#include "CIProgressCallback.h"
#include "CallTypeText.h"
#include "contact/IBackupContact.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

namespace {

QString personName(const ContactPersonRecord* p)
{
    if (!p)
        return QString();
    QStringList parts;
    for (const char* word : {p->prefix, p->first, p->middle, p->last, p->suffix})
        if (word && *word)
            parts << QString::fromUtf8(word);
    return parts.join(QLatin1Char(' '));
}

KdCallHistoryItem* makeCallItem(const CallRecord& r)
{
    KdCallHistoryItem* item = KdCallHistoryItem::createItem();
    item->setValue(QString::fromUtf8(r.address ? r.address : ""), 1);
    const QDateTime start = CCommonUtils::buildDateTimeBaseUnix(r.date);
    item->setValue(CCommonUtils::datetimeToMinute(start, true), 2);
    item->setSortValue(start, 2);
    if (r.duration > 0) {
        item->setValue(CCommonUtils::durationToString(r.duration, true), 4);
        item->setSortValue(r.duration, 4);
    } else if (r.flags & CallOutgoing) {
        item->setValue(QCoreApplication::translate("iTunesBackup", "Canceled"), 4);
        item->setSortValue(-1, 4);
    } else {
        item->setValue(QCoreApplication::translate("iTunesBackup", "Missed"), 4);
        item->setSortValue(0, 4);
    }
    item->setValue(callTypeText(r.flags), 3);
    item->setValue(r.match ? personName(r.match->person) : QString(), 0);
    item->setSize(0);
    return item;
}

} // namespace

CCalllistCollection::CCalllistCollection(KdData* calls) : m_pData(calls) {}

void CCalllistCollection::collect(const QString& backupDir, const QList<CManifestRecord*>&, const QString& fileSuffix)
{
    const QString home = QStringLiteral("HomeDomain");
    // From iOS 8 on the calls moved into a Core Data store.
    static const std::pair<const char*, const char*> kCallDatabases[] = {
        {"WirelessDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistoryDB/CallHistory.storedata"},
    };
    QString callDb;
    QString callDbName;
    for (const auto& [domain, relativePath] : kCallDatabases) {
        callDb = databaseFile(backupDir, QLatin1String(domain), QLatin1String(relativePath), fileSuffix);
        callDbName = QLatin1String(relativePath);
        if (!callDb.isEmpty())
            break;
    }
    if (callDb.isEmpty() || !readableDatabase(callDb, QStringLiteral("calls"), callDbName, {"call", "ZCALLRECORD"}))
        return;
    // A missing address book is the contacts' to report.
    QString addressBook = databaseFile(backupDir, home, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), fileSuffix, Quiet);
    if (addressBook.isEmpty())
        addressBook = databaseFile(backupDir, home, QStringLiteral("Library/AddressBook/AddressBook.db"), fileSuffix, Quiet);
    readCallHistory(m_pData, callDb, addressBook, m_pProgress);
}

bool readCallHistory(KdData* calls, const QString& callDbPath, const QString& addressBookPath, CIProgressCallback* progress)
{
    bool result = false;
    QList<KdCallHistoryItem*> items;
    IBackupContact* reader = nullptr;
    InitBackupContact(&reader);
    if (reader) {
        const auto* list = static_cast<const CallRecordList*>(reader->loadRecords(
            callDbPath.toUtf8().constData(), addressBookPath.toUtf8().constData(), IBackupContact::CallHistory, nullptr));
        if (list && list->first) {
            int count = 0;
            for (const CallNode* n = list->first; n; n = n->next)
                count += n->record ? 1 : 0;
            const double step = progress && count ? double(progress->range()) / double(count) : 0.0;
            for (const CallNode* n = list->first; n; n = n->next) {
                if (!n->record)
                    continue;
                items.append(makeCallItem(*n->record));
                if (progress && !progress->progress(step))
                    break;
            }
            result = true;
        }
        reader->clearRecords();
        UninitBackupContact(&reader);
    }
    if (progress && !progress->finish()) {
        qDeleteAll(items);
        return false;
    }
    std::stable_sort(items.begin(), items.end(), [](const KdCallHistoryItem* a, const KdCallHistoryItem* b) {
        return b->sortValue(2).toDateTime() < a->sortValue(2).toDateTime();
    });
    for (KdCallHistoryItem* item : items) {
        if (calls)
            calls->append(item);
        else
            delete item;
    }
    return result;
}
