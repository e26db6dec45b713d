#pragma once

// The sample address book: its people are also the ground truth the tests compare with.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct sqlite3;

namespace sample {

struct SampleValue {
    int property;       // 3 phone, 4 e-mail, 5 postal address, 22 URL, ...
    QString label;      // as stored: "_$!<Mobile>!$_", "iPhone", a custom text, or "" for none
    QString value;      // "" for postal addresses
    QList<QPair<QString, QString>> entries; // postal address parts ("Street", ...)
};

struct SamplePerson {
    QString prefix, first, middle, last, suffix;
    QString organization, jobTitle, nickname, note;
    int kind = 0;           // 0 person, 1 organisation
    QString birthday;       // seconds since 2001-01-01 as the device stores it, or ""
    QList<SampleValue> values;
    bool thumbnail = false; // a PNG in ABThumbnailImage
    bool fullSizeOnly = false; // a PNG in ABFullSizeImage but no thumbnail
    bool deleted = false;   // inserted, then deleted (only with deleted rows)

    // Prefix, first, middle, last, suffix joined by one space (the contact's display name).
    QString displayName() const;
};

// The people the sample writes, live and deleted, in insertion order. `scale` adds generated
// people ("Person 0001", ...).
QList<SamplePerson> addressBookPeople(int scale = 1);

// The iOS layout version used for `database` under iOS `major`: the nearest one known.
int nearestSchemaVersion(int major, const QString& database);

// Creates the real tables of `database` ("AddressBook.sqlitedb", "AddressBookImages.sqlitedb")
// in `db`. The device's own SQL functions are registered as stand-ins; its full-text search
// table (a tokenizer only the device has) is left out.
bool createAddressBookTables(sqlite3* db, int iosMajor, const QString& database);

// Inserts people (ABPerson, ABMultiValue with labels and entries); deleted ones are inserted and
// then deleted. Returns false on an SQL error.
bool insertPeople(sqlite3* db, const QList<SamplePerson>& people, bool withDeleted);

// A small PNG (the thumbnails of the sample).
QByteArray samplePortrait(int seed);

} // namespace sample
