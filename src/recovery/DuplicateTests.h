#pragma once

#include <QPair>
#include <QVector>

#include "sqliterecovery/SqliteRecovery.h"

class KdAbstractItem;
class KdBackup;

// Whether a recovered record repeats a live item of its container or an item made earlier in the
// same conversion (`made`, indexed by record, null where nothing was made). A field that is
// blank in the record (empty text, date 0) matches anything.
bool isDuplicateNote(KdBackup* backup, const QVector<KdAbstractItem*>& made, const NoteRecord* record);
bool isDuplicateBookmark(KdBackup* backup, const QVector<KdAbstractItem*>& made, const BookmarkRecord* record);
bool isDuplicateEvent(KdBackup* backup, const QVector<KdAbstractItem*>& made, const CalendarRecord* record);
bool isDuplicateReminder(KdBackup* backup, const QVector<KdAbstractItem*>& made, const ReminderRecord* record);
bool isDuplicateContact(KdBackup* backup, const QVector<KdAbstractItem*>& made, const PersonRecord* record);

// (record index, completeness key), most complete first.
bool byKeyDescending(const QPair<int, int>& a, const QPair<int, int>& b);
// Contact items by name in the locale's collation; null positions first.
bool byNameAscending(const KdAbstractItem* a, const KdAbstractItem* b);
