#include "CContactCollection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include "BackupFiles.h"
#include "CIProgressCallback.h"
#include "contact/IBackupContact.h"
#include "kddata/KdContactPrivate.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

static const char kHomeDomain[] = "HomeDomain";

CContactCollection::CContactCollection(KdData* contacts) : m_pData(contacts) {}

void CContactCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files,
                                 const QString& fileSuffix)
{
    const QString home = QString::fromLatin1(kHomeDomain);
    QString name = QStringLiteral("Library/AddressBook/AddressBook.sqlitedb");
    QString addressBook = databaseFile(backupDir, home, name, fileSuffix);
    if (addressBook.isEmpty()) {
        name = QStringLiteral("Library/AddressBook/AddressBook.db");
        addressBook = databaseFile(backupDir, home, name, fileSuffix);
    }
    if (addressBook.isEmpty() || !readableDatabase(addressBook, QStringLiteral("contacts"), name, {"ABPerson"}))
        return;
    const QString imagesName = QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb");
    QString images = databaseFile(backupDir, home, imagesName, fileSuffix);
    // Without their pictures the people are still read; the loss is named.
    if (!images.isEmpty()
        && !readableDatabase(images, QStringLiteral("contacts"), imagesName, {"ABThumbnailImage", "ABFullSizeImage"}, &m_problems))
        images.clear();

    if (!readContacts(qobject_cast<KdContactData*>(m_pData), addressBook, images, m_pProgress))
        m_problems << QStringLiteral("contacts: the address book %1 could not be read").arg(QFileInfo(name).fileName());
}

bool readContacts(KdContactData* contacts, const QString& addressBookPath, const QString& imagesPath,
                  CIProgressCallback* progress)
{
    QList<KdContactItem*> items;
    IBackupContact* reader = contacts ? contacts->getContactReader() : nullptr;
    const ContactRecordList* list = nullptr;
    if (reader) {
        reader->clearRecords();
        list = static_cast<const ContactRecordList*>(
            reader->loadRecords(addressBookPath.toUtf8().constData(), imagesPath.toUtf8().constData(),
                                IBackupContact::Contacts, nullptr));
    }
    // No reader means no container to fill, not an unreadable database.
    const bool readable = !reader || list != nullptr;
    if (list && list->first) {
        int count = 0;
        for (const addressbookdb* r = list->first; r; r = r->next)
            ++count;
        const double step = progress ? double(progress->range()) / double(count) : 0.0;
        const QString noName = QCoreApplication::translate("iTunesBackup", "No Name");
        for (const addressbookdb* r = list->first; r; r = r->next) {
            KdContactItem* item = KdContactItem::createItem();
            KdContactPrivate* detail = new KdContactPrivate;
            detail->fromAddrBook(r, reader);
            const QString name = detail->contactName();
            item->setValue(name.isEmpty() ? noName : name, 0);
            item->setValue(detail->textMember(10), 1);
            item->setValue(detail->readProperty(KdContactProperty::Phone), 2);
            item->setValue(detail->readProperty(KdContactProperty::Email), 3);
            item->setValue(detail->readProperty(KdContactProperty::Url), 4);
            item->setDetailContent(detail);
            item->setSize(0);
            items.append(item);
            if (progress && !progress->progress(step))
                break;
        }
    }
    if (progress && !progress->finish()) {
        qDeleteAll(items);
        return readable;
    }
    std::stable_sort(items.begin(), items.end(), [](const KdContactItem* a, const KdContactItem* b) {
        return QString::localeAwareCompare(a->value(0), b->value(0)) < 0;
    });
    if (!contacts) {
        qDeleteAll(items);
        return readable;
    }
    for (KdContactItem* item : items)
        contacts->append(item);
    return readable;
}
