#pragma once

#include <QHash>
#include <QPair>
#include <QString>
#include <QVector>

#include "sqliterecovery/SqliteRecovery.h"

class KdAbstractItem;
class KdBackup;
class KdData;

// The items a recovered record is tested against (a container's live items, then the items made
// so far). A record matches an item when each of its compared fields is blank or equal to the
// item's; the items are hashed by the fields a record has, once per such set of fields, so each
// test is a lookup instead of a walk over all of them (100,000 live items and 30,000 recovered
// records with a blank title would otherwise take minutes).
class DuplicateCandidates
{
public:
    // The compared fields of an item as texts; an item with none never matches.
    using Fields = QVector<QString> (*)(const KdAbstractItem*);
    DuplicateCandidates(KdData* container, Fields fields);
    void add(const KdAbstractItem* item);
    // Calls `repeats` on the items whose fields equal the record's non-empty `wanted` fields (an
    // empty one matches anything) until one answers true.
    template <class Test> bool any(const QVector<QString>& wanted, const Test& repeats) const
    {
        quint64 mask = 0;
        QVector<QString> key;
        for (int f = 0; f < wanted.size() && f < 64; ++f)
            if (!wanted[f].isEmpty()) {
                mask |= quint64(1) << f;
                key.append(wanted[f]);
            }
        if (mask == 0) {
            for (const KdAbstractItem* item : m_all)
                if (repeats(item))
                    return true;
            return false;
        }
        const QMultiHash<QVector<QString>, const KdAbstractItem*>& index = indexFor(mask);
        for (auto it = index.constFind(key); it != index.constEnd() && it.key() == key; ++it)
            if (repeats(it.value()))
                return true;
        return false;
    }

private:
    const QMultiHash<QVector<QString>, const KdAbstractItem*>& indexFor(quint64 mask) const;
    static QVector<QString> project(const QVector<QString>& fields, quint64 mask);

    Fields m_fieldsOf;
    QVector<const KdAbstractItem*> m_all;
    QVector<QVector<QString>> m_fields; // of m_all, in order
    // Per set of fields a record had (bit f: field f): the items by those fields.
    mutable QHash<quint64, QMultiHash<QVector<QString>, const KdAbstractItem*>> m_byMask;
};

// The same tests over an index: each category's key and test, for its conversion loop.
DuplicateCandidates noteCandidates(KdBackup* backup);
bool isDuplicateNote(const DuplicateCandidates& c, const NoteRecord* record);
DuplicateCandidates bookmarkCandidates(KdBackup* backup);
bool isDuplicateBookmark(const DuplicateCandidates& c, const BookmarkRecord* record);
DuplicateCandidates eventCandidates(KdBackup* backup);
bool isDuplicateEvent(const DuplicateCandidates& c, const CalendarRecord* record);
DuplicateCandidates reminderCandidates(KdBackup* backup);
bool isDuplicateReminder(const DuplicateCandidates& c, const ReminderRecord* record);
DuplicateCandidates contactCandidates(KdBackup* backup);
bool isDuplicateContact(const DuplicateCandidates& c, const PersonRecord* record);

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
