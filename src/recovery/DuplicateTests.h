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
// so far), found by one text every duplicate shares instead of a walk over all of them: a backup
// with 10,000 contacts and as many recovered would otherwise take minutes.
class DuplicateCandidates
{
public:
    using Key = QString (*)(const KdAbstractItem*, int which);
    // `keys` texts per item, each indexed on its own.
    DuplicateCandidates(KdData* container, Key key, int keys = 1);
    void add(const KdAbstractItem* item);
    // Calls `repeats` on the items that share one of the record's non-empty key texts (the
    // rarest), or on every item when the record has none (a blank field matches anything),
    // until one answers true.
    template <class Test> bool any(const QVector<QString>& keys, const Test& repeats) const
    {
        int best = -1;
        int fewest = 0;
        for (int k = 0; k < keys.size() && k < m_byKey.size(); ++k) {
            if (keys[k].isEmpty())
                continue;
            const int n = int(m_byKey[k].count(keys[k]));
            if (best < 0 || n < fewest)
                best = k, fewest = n;
        }
        if (best < 0) {
            for (const KdAbstractItem* item : m_all)
                if (repeats(item))
                    return true;
            return false;
        }
        const QMultiHash<QString, const KdAbstractItem*>& index = m_byKey[best];
        for (auto it = index.constFind(keys[best]); it != index.constEnd() && it.key() == keys[best]; ++it)
            if (repeats(it.value()))
                return true;
        return false;
    }

private:
    Key m_key;
    QVector<const KdAbstractItem*> m_all;
    QVector<QMultiHash<QString, const KdAbstractItem*>> m_byKey;
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
