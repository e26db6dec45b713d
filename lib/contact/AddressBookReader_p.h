#pragma once

// Reads the address book database (AddressBook.sqlitedb, or the older AddressBook.db) and its
// images database into kind-1 records. The layouts written by iOS 5 to 9 share the tables used
// here; columns a layout lacks read as NULL.
//
//   ABPerson             ROWID, First, Last, Middle, ..., Prefix, Suffix, CreationDate, ...
//   ABMultiValue         UID, record_id -> ABPerson.ROWID, property, identifier, label, value
//   ABMultiValueLabel    ROWID (= ABMultiValue.label), value ("_$!<Mobile>!$_" or a custom text)
//   ABMultiValueEntry    parent_id -> ABMultiValue.UID, key, value (one part of a compound value)
//   ABMultiValueEntryKey ROWID (= ABMultiValueEntry.key), value ("Street", "City", ...)
//   ABThumbnailImage     record_id -> ABPerson.ROWID, format, data   (images database)
//   ABFullSizeImage      record_id, data                            (fallback for thumbnails)

#include <QByteArray>
#include <QHash>
#include <QString>

#include "contact/IBackupContact.h"
#include "ReadOnlyDatabase_p.h"
#include "RecordArena_p.h"

namespace contactdb {



// "_$!<Mobile>!$_" -> "mobile", "_$!<HomeFAX>!$_" -> "home fax"; other labels unchanged.
QString resolveLabel(const QString& stored);

// Birthday as stored (seconds since 2001-01-01, as text) -> "yyyy-MM-dd"; ISO texts unchanged;
// a null array for NULL or unreadable values.
QByteArray birthdayText(const QByteArray& stored);

class AddressBookReader
{
public:
    explicit AddressBookReader(RecordArena& arena) : m_arena(arena) {}

    // Null when the address book cannot be opened or has no ABPerson table. A missing or
    // unreadable images database only leaves the records without pictures.
    ContactRecordList* read(const QString& addressBookPath, const QString& imagesPath);

    // Persons by ROWID after read(); kinds that name people (messages, calls) look them up here.
    addressbookdb* person(int rowid) const { return m_byRowid.value(rowid, nullptr); }

private:
    bool readPeople(const ReadOnlyDatabase& db, ContactRecordList* list);
    void readMultiValues(const ReadOnlyDatabase& db);
    void readImages(const QString& imagesPath);

    RecordArena& m_arena;
    QHash<int, addressbookdb*> m_byRowid;
};

} // namespace contactdb
