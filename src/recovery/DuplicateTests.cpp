#include "DuplicateTests.h"

#include <functional>

#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"
#include "kddata/KdContactPrivate.h"
#include "kddata/KdItems.h"

namespace {

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

DuplicateCandidates::DuplicateCandidates(KdData* container, Fields fields) : m_fieldsOf(fields)
{
    const int n = container ? container->count(0) : 0;
    m_all.reserve(n);
    m_fields.reserve(n);
    for (int i = 0; i < n; ++i)
        add(container->at(i, false));
}

QVector<QString> DuplicateCandidates::project(const QVector<QString>& fields, quint64 mask)
{
    QVector<QString> key;
    for (int f = 0; f < fields.size() && f < 64; ++f)
        if (mask & (quint64(1) << f))
            key.append(fields[f]);
    return key;
}

void DuplicateCandidates::add(const KdAbstractItem* item)
{
    if (!item)
        return;
    m_all.append(item);
    m_fields.append(m_fieldsOf(item));
    if (m_fields.last().isEmpty())
        return;
    for (auto it = m_byMask.begin(); it != m_byMask.end(); ++it)
        it.value().insert(project(m_fields.last(), it.key()), item);
}

const QMultiHash<QVector<QString>, const KdAbstractItem*>& DuplicateCandidates::indexFor(quint64 mask) const
{
    auto it = m_byMask.find(mask);
    if (it != m_byMask.end())
        return it.value();
    QMultiHash<QVector<QString>, const KdAbstractItem*> index;
    index.reserve(m_all.size());
    for (int i = 0; i < m_all.size(); ++i)
        if (!m_fields[i].isEmpty())
            index.insert(project(m_fields[i], mask), m_all[i]);
    return m_byMask.insert(mask, std::move(index)).value();
}

namespace {

// A date field as compared: the instant, or a text no record's date equals when there is none.
QString dateField(const QDateTime& d)
{
    return d.isValid() ? QString::number(d.toMSecsSinceEpoch()) : QStringLiteral("-");
}

QString recordDate(int seconds2001)
{
    return seconds2001 == 0 ? QString() : dateField(CCommonUtils::buildDateTimeBase2001(seconds2001));
}

QString itemDate(const KdAbstractItem* item, int column)
{
    return dateField(item->sortValue(column).toDateTime());
}

const KdContactPrivate* contactDetail(const KdAbstractItem* item)
{
    if (item->itemType() != KdAbstractItem::ContactItem)
        return nullptr;
    return static_cast<const KdContactItem*>(item)->detailContent();
}

QVector<QString> noteFields(const KdAbstractItem* item)
{
    return {item->value(0), item->value(2)};
}

QVector<QString> bookmarkFields(const KdAbstractItem* item)
{
    return {item->value(0), item->value(1), itemDate(item, 3)};
}

QVector<QString> eventFields(const KdAbstractItem* item)
{
    return {item->value(0), item->value(1), item->value(4), itemDate(item, 2), itemDate(item, 3)};
}

// The priority is always compared, 0 included.
QVector<QString> reminderFields(const KdAbstractItem* item)
{
    return {QString::number(item->sortValue(5).toInt()), item->value(0), item->value(4), item->value(6), item->value(1),
            itemDate(item, 3)};
}

QVector<QString> contactFields(const KdAbstractItem* item)
{
    const KdContactPrivate* d = contactDetail(item);
    QVector<QString> fields;
    if (!d)
        return fields;
    fields.reserve(KdContactPrivate::TextCount);
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        fields.append(d->textMember(i));
    return fields;
}

bool always(const KdAbstractItem*)
{
    return true;
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
    return DuplicateCandidates(backup->getNote(), &noteFields);
}

bool isDuplicateNote(const DuplicateCandidates& c, const NoteRecord* record)
{
    return c.any({record->title, record->content}, &always);
}

DuplicateCandidates bookmarkCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getSafariBookmark(), &bookmarkFields);
}

// A visit is the same only at the same time: a page is visited under one title many times.
bool isDuplicateBookmark(const DuplicateCandidates& c, const BookmarkRecord* record)
{
    return c.any({record->title, record->url, recordDate(record->visited)}, &always);
}

DuplicateCandidates eventCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getCalendar(), &eventFields);
}

bool isDuplicateEvent(const DuplicateCandidates& c, const CalendarRecord* record)
{
    return c.any({record->summary, record->location, record->description, recordDate(record->start), recordDate(record->end)},
                 &always);
}

DuplicateCandidates reminderCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getReminder(), &reminderFields);
}

bool isDuplicateReminder(const DuplicateCandidates& c, const ReminderRecord* record)
{
    return c.any({QString::number(record->priority), record->title, record->location, record->notes, record->listName,
                  recordDate(record->dueDate)},
                 &always);
}

DuplicateCandidates contactCandidates(KdBackup* backup)
{
    return DuplicateCandidates(backup->getContact(), &contactFields);
}

bool isDuplicateContact(const DuplicateCandidates& c, const PersonRecord* record)
{
    QVector<QString> texts(KdContactPrivate::TextCount);
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        texts[i] = personText(*record, i);
    return c.any(texts, [record](const KdAbstractItem* item) {
        const KdContactPrivate* detail = contactDetail(item);
        // An older copy of a contact keeps its creation date: another one is another person.
        if (detail && record->created && detail->creationDate.isValid()
            && qAbs(detail->creationDate.secsTo(CCommonUtils::buildDateTimeBase2001(record->created))) > 1)
            return false;
        return detail && propertiesMatch(record, detail);
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
