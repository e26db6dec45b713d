#pragma once

// Builds iOS category databases with the real table layouts, fills them, deletes a known set of
// rows (secure_delete off, no VACUUM) and records what the recovery should find: the deleted
// rows in the record terms of SqliteRecovery, and texts of rows that stay live (or earlier
// versions of edited rows), which must never be reported as deleted.

#include "sqliterecovery/SqliteRecovery.h"
#include "sqlitecarve/Carver.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace iosrecgen {

enum class Journal { Rollback, Wal, Persist };

struct Options {
    int iosMajor = 8;      // layout version; 4 gives the older calendar and notes layouts
    Journal journal = Journal::Rollback;
    int rows = 48;         // rows of the category's main table
    int deleteEvery = 3;   // rows with index % deleteEvery == 1 are deleted
    bool editSome = true;  // also edit kept rows; their earlier versions stay in free space
    QString snapshotBefore; // non-empty: a copy of the database just before the edits and deletions
    // Messages of the chat layout: the first one's date (2001 seconds; 0 keeps the default of 2013),
    // whether dates are stored in nanoseconds as from iOS 11 on, and whether the indexes of the
    // message tables are kept (some databases lack them).
    int firstMessageDate = 0;
    bool messageNanoseconds = false;
    bool messageIndexes = true;
};

struct ExpectedPerson {
    PersonRecord person; // properties left empty; see `properties`
    std::vector<PersonPropertyRecord> properties;
    bool personDeleted = true; // false: a live person who lost some values
};

struct ExpectedMessage {
    MessageRecord message;
    QStringList groupAddresses; // participants the conversation should name
};

struct Expected {
    std::vector<ExpectedPerson> people;
    std::vector<ExpectedMessage> messages;
    std::vector<CallhistoryRecord> calls;
    std::vector<CalendarRecord> events;
    std::vector<ReminderRecord> reminders;
    std::vector<NoteRecord> notes;
    std::vector<BookmarkRecord> bookmarks;
    QStringList liveTexts; // never to be reported
    QStringList warnings;  // layout statements that could not run
};

// File name of the type's database ("AddressBook.sqlitedb", "sms.db", ...).
QString databaseName(int type, int iosMajor);

// Layout versions the generator can build for a type.
std::vector<int> versionsFor(int type);

// Writes the database of `type` into `folder` (with its -wal or -journal when the mode leaves
// one) and returns its path; empty on failure.
QString generate(int type, const QString& folder, const Options& options, Expected* expected);

// Whether `marker`'s UTF-8 bytes are still somewhere in the database or its companions.
bool bytesSurvive(const QString& databasePath, const QString& marker);

// A carve result as a perfect carver would give it: the rows of `tables` that are present in
// `before` and absent from `after` (two copies of the database), values exact, source freeblock.
sqlcarve::Result oracleCarve(const QString& before, const QString& after);

} // namespace iosrecgen
