#pragma once

#include <QString>

#include "CDeletedRecovery.h"

class KdBackup;

// Each turns the records of one recovered type into items flagged deleted, placed before the
// live items of their container; returns the library's record count (duplicates included).
int convertContacts(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertMessages(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertCalls(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertCalendar(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertReminders(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertCalendarAndReminders(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertNotes(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);
int convertBookmarks(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver);

// Completeness of a recovered record: the lengths of the texts its duplicate test compares, plus
// 1 per date that is set. Records are tested most complete first.
int completenessKey(const NoteRecord& r);
int completenessKey(const BookmarkRecord& r);
int completenessKey(const CalendarRecord& r);
int completenessKey(const ReminderRecord& r);
int completenessKey(const PersonRecord& r); // the thirteen texts, not the properties

// The text of a NoteStore body (gzip of its protobuf) of which only the start survived, as far
// as it goes; empty when too little is left.
QString noteTextUpToCut(const QByteArray& compressedStart);

// Host part of a URL, shown for a bookmark without a title.
QString urlHost(const QString& url);
