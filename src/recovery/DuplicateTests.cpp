#include "DuplicateTests.h"

#include <functional>

#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"
#include "kddata/KdContactPrivate.h"
#include "kddata/KdItems.h"

namespace {

bool textMatches(const QString& field, const QString& itemValue)
{
    return field.isEmpty() || field == itemValue;
}

bool dateMatches(int field, const QVariant& itemSortValue)
{
    return field == 0 || CCommonUtils::buildDateTimeBase2001(field) == itemSortValue.toDateTime();
}

bool propertiesMatch(const PersonRecord* record, const KdContactPrivate* detail)
{
    for (const PersonPropertyRecord* wanted : record->properties) {
        if (!wanted)
            continue;
        bool found = false;
        for (const KdContactProperty* have : detail->properties()) {
            if (have->propType() != wanted->type || have->propLabel() != wanted->label)
                continue;
            if (!wanted->value.isEmpty() && KdContactProperty::finalValue(wanted->type, wanted->value) != have->propValue())
                continue;
            bool entriesMatch = true;
            if (!wanted->valueEntry.isEmpty()) {
                const QMap<QString, QString> entry = have->propValueEntry();
                for (auto it = wanted->valueEntry.constBegin(); it != wanted->valueEntry.constEnd(); ++it) {
                    auto h = entry.constFind(it.key());
                    if (h == entry.constEnd() || h.value() != it.value()) {
                        entriesMatch = false;
                        break;
                    }
                }
            }
            if (entriesMatch) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

} // namespace

static_assert(kPersonTextCount == KdContactPrivate::TextCount, "one text per detail member");

DuplicateCandidates::DuplicateCandidates(KdData* container, Key key, int keys) : m_key(key), m_byKey(keys)
{
    const int n = container ? container->count(0) : 0;
    m_all.reserve(n);
    for (int i = 0; i < n; ++i)
        add(container->at(i, false));
}

void DuplicateCandidates::add(const KdAbstractItem* item)
{
    if (!item)
        return;
    m_all.append(item);
    for (int k = 0; k < m_byKey.size(); ++k) {
        const QString text = m_key(item, k);
        if (!text.isEmpty())
            m_byKey[k].insert(text, item);
    }
}

namespace {

QString firstColumn(const KdAbstractItem* item, int)
{
    return item->value(0);
}

QString secondColumn(const KdAbstractItem* item, int)
{
    return item->value(1);
}

const KdContactPrivate* contactDetail(const KdAbstractItem* item)
{
    if (item->itemType() != KdAbstractItem::ContactItem)
        return nullptr;
    return static_cast<const KdContactItem*>(item)->detailContent();
}

// Every text of a contact is a key: a recovered person is looked up by the rarest it has.
QString contactText(const KdAbstractItem* item, int which)
{
    const KdContactPrivate* d = contactDetail(item);
    return d ? d->textMember(which) : QString();
}

template <class Record>
bool overMade(KdBackup* backup, const QVector<KdAbstractItem*>& made, const Record* record,
              DuplicateCandidates (*candidates)(KdBackup*), bool (*test)(const DuplicateCandidates&, const Record*))
{
    DuplicateCandidates c = candidates(backup);
    for (const KdAbstractItem* item : made)
        c.add(item);
    return test(c, record);
}

} // namespace

DuplicateCandidates noteCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getNote(), &firstColumn);
}

bool isDuplicateNote(const DuplicateCandidates& c, const NoteRecord* record)
{
    return c.any({record->title}, [record](const KdAbstractItem* item) {
        return textMatches(record->title, item->value(0)) && textMatches(record->content, item->value(2));
    });
}

DuplicateCandidates bookmarkCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getSafariBookmark(), &secondColumn);
}

bool isDuplicateBookmark(const DuplicateCandidates& c, const BookmarkRecord* record)
{
    // A visit is the same only at the same time: a page is visited under one title many times.
    const QDateTime visited = record->visited != 0 ? CCommonUtils::buildDateTimeBase2001(record->visited) : QDateTime();
    return c.any({record->url}, [record, &visited](const KdAbstractItem* item) {
        return textMatches(record->title, item->value(0)) && textMatches(record->url, item->value(1))
            && (!visited.isValid() || item->sortValue(3).toDateTime() == visited);
    });
}

DuplicateCandidates eventCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getCalendar(), &firstColumn);
}

bool isDuplicateEvent(const DuplicateCandidates& c, const CalendarRecord* record)
{
    return c.any({record->summary}, [record](const KdAbstractItem* item) {
        return textMatches(record->summary, item->value(0)) && textMatches(record->location, item->value(1))
            && textMatches(record->description, item->value(4)) && dateMatches(record->start, item->sortValue(2))
            && dateMatches(record->end, item->sortValue(3));
    });
}

DuplicateCandidates reminderCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getReminder(), &firstColumn);
}

bool isDuplicateReminder(const DuplicateCandidates& c, const ReminderRecord* record)
{
    return c.any({record->title}, [record](const KdAbstractItem* item) {
        // The priority is always compared, 0 included.
        return record->priority == item->sortValue(5).toInt() && textMatches(record->title, item->value(0))
            && textMatches(record->location, item->value(4)) && textMatches(record->notes, item->value(6))
            && textMatches(record->listName, item->value(1)) && dateMatches(record->dueDate, item->sortValue(3));
    });
}

DuplicateCandidates contactCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getContact(), &contactText, KdContactPrivate::TextCount);
}

bool isDuplicateContact(const DuplicateCandidates& c, const PersonRecord* record)
{
    QVector<QString> texts(KdContactPrivate::TextCount);
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        texts[i] = personText(*record, i);
    return c.any(texts, [&](const KdAbstractItem* item) {
        const KdContactPrivate* detail = contactDetail(item);
        if (!detail)
            return false;
        for (int i = 0; i < KdContactPrivate::TextCount; ++i)
            if (!textMatches(texts[i], detail->textMember(i)))
                return false;
        return propertiesMatch(record, detail);
    });
}

bool isDuplicateNote(KdBackup* backup, const QVector<KdAbstractItem*>& made, const NoteRecord* record)
{
    return overMade<NoteRecord>(backup, made, record, &noteCandidates, &isDuplicateNote);
}

bool isDuplicateBookmark(KdBackup* backup, const QVector<KdAbstractItem*>& made, const BookmarkRecord* record)
{
    return overMade<BookmarkRecord>(backup, made, record, &bookmarkCandidates, &isDuplicateBookmark);
}

bool isDuplicateEvent(KdBackup* backup, const QVector<KdAbstractItem*>& made, const CalendarRecord* record)
{
    return overMade<CalendarRecord>(backup, made, record, &eventCandidates, &isDuplicateEvent);
}

bool isDuplicateReminder(KdBackup* backup, const QVector<KdAbstractItem*>& made, const ReminderRecord* record)
{
    return overMade<ReminderRecord>(backup, made, record, &reminderCandidates, &isDuplicateReminder);
}

bool isDuplicateContact(KdBackup* backup, const QVector<KdAbstractItem*>& made, const PersonRecord* record)
{
    return overMade<PersonRecord>(backup, made, record, &contactCandidates, &isDuplicateContact);
}

bool byKeyDescending(const QPair<int, int>& a, const QPair<int, int>& b)
{
    return a.second > b.second;
}

bool byNameAscending(const KdAbstractItem* a, const KdAbstractItem* b)
{
    if (!a)
        return b != nullptr;
    if (!b)
        return false;
    return QString::localeAwareCompare(a->value(0), b->value(0)) < 0;
}
