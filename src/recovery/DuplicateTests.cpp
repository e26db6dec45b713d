#include "DuplicateTests.h"

#include <functional>

#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"

namespace {

bool textMatches(const QString& field, const QString& itemValue)
{
    return field.isEmpty() || field == itemValue;
}

bool dateMatches(int field, const QVariant& itemSortValue)
{
    return field == 0 || CCommonUtils::buildDateTimeBase2001(field) == itemSortValue.toDateTime();
}

// Live items of the container first, then the items made so far in this conversion.
bool repeatsAny(KdData* container, const QVector<KdAbstractItem*>& made,
                const std::function<bool(const KdAbstractItem*)>& repeats)
{
    if (container) {
        const int n = container->count(0);
        for (int i = 0; i < n; ++i) {
            const KdAbstractItem* item = container->at(i, false);
            if (item && repeats(item))
                return true;
        }
    }
    for (const KdAbstractItem* item : made)
        if (item && repeats(item))
            return true;
    return false;
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

bool isDuplicateNote(KdBackup* backup, const QVector<KdAbstractItem*>& made, const NoteRecord* record)
{
    return repeatsAny(backup->getNote(), made, [record](const KdAbstractItem* item) {
        return textMatches(record->title, item->value(0)) && textMatches(record->content, item->value(2));
    });
}

bool isDuplicateBookmark(KdBackup* backup, const QVector<KdAbstractItem*>& made, const BookmarkRecord* record)
{
    return repeatsAny(backup->getSafariBookmark(), made, [record](const KdAbstractItem* item) {
        return textMatches(record->title, item->value(0)) && textMatches(record->url, item->value(1));
    });
}

bool isDuplicateEvent(KdBackup* backup, const QVector<KdAbstractItem*>& made, const CalendarRecord* record)
{
    return repeatsAny(backup->getCalendar(), made, [record](const KdAbstractItem* item) {
        return textMatches(record->summary, item->value(0)) && textMatches(record->location, item->value(1))
            && textMatches(record->description, item->value(4)) && dateMatches(record->start, item->sortValue(2))
            && dateMatches(record->end, item->sortValue(3));
    });
}

bool isDuplicateReminder(KdBackup* backup, const QVector<KdAbstractItem*>& made, const ReminderRecord* record)
{
    return repeatsAny(backup->getReminder(), made, [record](const KdAbstractItem* item) {
        // The priority is always compared, 0 included.
        return record->priority == item->sortValue(5).toInt() && textMatches(record->title, item->value(0))
            && textMatches(record->location, item->value(4)) && textMatches(record->notes, item->value(6))
            && textMatches(record->listName, item->value(1)) && dateMatches(record->dueDate, item->sortValue(3));
    });
}

bool isDuplicateContact(KdBackup* backup, const QVector<KdAbstractItem*>& made, const PersonRecord* record)
{
    return repeatsAny(backup->getContact(), made, [record](const KdAbstractItem* item) {
        if (item->itemType() != KdAbstractItem::ContactItem)
            return false;
        const KdContactPrivate* detail = static_cast<const KdContactItem*>(item)->detailContent();
        if (!detail)
            return false;
        for (int i = 0; i < KdContactPrivate::TextCount; ++i)
            if (!textMatches(personText(*record, i), detail->textMember(i)))
                return false;
        return propertiesMatch(record, detail);
    });
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
