#include "RecoveryConverters.h"
#include "CBookmarkCollection.h"

#include "CNoteCollection.h"
#include "CReminderCollection.h"
#include "CSMSCollection.h"

#include <QCoreApplication>
#include <QList>
#include <QStringDecoder>
#include <QVector>

#include <algorithm>
#include <optional>
#include <vector>

#include <zlib.h>

#include "kddata/CCommonUtils.h"
#include "CallTypeText.h"
#include "ContactIndex.h"
#include "DuplicateTests.h"
#include "NoteStoreBody.h"
#include "kddata/KdBackup.h"

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("iTunesBackup", text);
}

void markDeleted(KdAbstractItem* item, bool partial, bool uncertain)
{
    item->setFlag(true, KdAbstractItem::DeletedFlag);
    item->setFlag(partial, KdAbstractItem::PartialFlag);
    item->setFlag(uncertain, KdAbstractItem::UncertainFlag);
    item->setSize(0);
}

bool readVarint(QByteArrayView data, qsizetype* pos, quint64* value)
{
    *value = 0;
    for (int i = 0; i < 10 && *pos < data.size(); ++i) {
        const quint8 byte = quint8(data.at((*pos)++));
        *value |= quint64(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

void putVarint(QByteArray* out, quint64 value)
{
    for (; value >= 0x80; value >>= 7)
        out->append(char((value & 0x7F) | 0x80));
    out->append(char(value));
}

// A protobuf message cut at its end, made whole again for the body reader: the fields before
// the cut are kept as they are; of the field the cut fell in, only the one on the way to the
// note's text (document 2, note 3, text 2) is kept, closed where it was cut.
QByteArray closeCut(QByteArrayView message, int depth)
{
    static const quint64 kPathToText[] = {2, 3, 2};
    QByteArray out;
    qsizetype pos = 0;
    while (pos < message.size()) {
        const qsizetype start = pos;
        quint64 key = 0, length = 0;
        if (!readVarint(message, &pos, &key))
            break;
        const int wireType = int(key & 7);
        if (wireType == 0) {
            if (!readVarint(message, &pos, &length))
                break;
        } else if (wireType == 1 || wireType == 5) {
            const qsizetype size = wireType == 1 ? 8 : 4;
            if (message.size() - pos < size)
                break;
            pos += size;
        } else if (wireType == 2) {
            if (!readVarint(message, &pos, &length))
                break;
            if (length > quint64(message.size() - pos)) {
                if ((key >> 3) == kPathToText[depth]) {
                    QByteArray inner;
                    if (depth == 2) {
                        // A character cut in two is left out.
                        QStringDecoder utf8(QStringDecoder::Utf8);
                        inner = QString(utf8(message.sliced(pos))).toUtf8();
                    } else {
                        inner = closeCut(message.sliced(pos), depth + 1);
                    }
                    putVarint(&out, key);
                    putVarint(&out, quint64(inner.size()));
                    out += inner;
                }
                break;
            }
            pos += qsizetype(length);
        } else {
            break;
        }
        out += message.sliced(start, pos - start);
    }
    return out;
}

// Items go before the live ones, keeping the order they have in `items`.
void prependAll(KdData* container, const QVector<KdAbstractItem*>& items)
{
    for (int i = items.size() - 1; i >= 0; --i)
        if (items[i])
            container->prepend(items[i]);
}

// Date column: text (empty for 0) and its sort value (set also for 0).
void setDate2001(KdAbstractItem* item, int column, int seconds, bool withTime)
{
    const QDateTime d = CCommonUtils::buildDateTimeBase2001(seconds);
    item->setValue(seconds == 0 ? QString() : CCommonUtils::datetimeToMinute(d, withTime), column);
    item->setSortValue(d, column);
}

// The shared shape of the converters with a duplicate test: most complete records are tested
// first so that fragments of a fuller record are dropped, then items keep record order.
template <typename Record, typename RecordAt>
QVector<KdAbstractItem*> convertWithDuplicateTest(
    KdBackup* backup, unsigned count, RecordAt recordAt, SqliteRecovery* recovery,
    int (*key)(const Record&), DuplicateCandidates (*candidatesOf)(KdBackup*),
    bool (*isDuplicate)(const DuplicateCandidates&, const Record*), KdAbstractItem* (*makeItem)(const Record&))
{
    QVector<KdAbstractItem*> made(int(count), nullptr);
    QVector<QPair<int, int>> order;
    order.reserve(int(count));
    for (unsigned i = 0; i < count; ++i) {
        const Record* r = recordAt(recovery, i);
        order.append(qMakePair(int(i), r ? key(*r) : 0));
    }
    std::sort(order.begin(), order.end(), byKeyDescending);
    DuplicateCandidates candidates = candidatesOf(backup);
    for (const auto& entry : order) {
        const Record* r = recordAt(recovery, unsigned(entry.first));
        if (!r || isDuplicate(candidates, r))
            continue;
        made[entry.first] = makeItem(*r);
        candidates.add(made[entry.first]);
    }
    return made;
}

int dateKey(int date)
{
    return date != 0 ? 1 : 0;
}

// Messages -------------------------------------------------------------------------------------

// The chat layout counts from 2001 (the library has already scaled nanoseconds to seconds). The
// group layout counts short messages from 1970 and iMessages from 2001. A layout that could not
// be read is told by the value: 2001 seconds reach 1e9 only in 2032, and the group layout's
// Unix dates are all past 2001 (1e9).
QDateTime messageDate(const MessageRecord& m, CDeletedRecovery::MessageLayout layout)
{
    using Layout = CDeletedRecovery::MessageLayout;
    bool from2001 = false;
    switch (layout) {
    case Layout::Chat:
        from2001 = true;
        break;
    case Layout::Group:
        from2001 = m.service != 0;
        break;
    case Layout::Unknown:
        from2001 = m.date < 1000000000;
        break;
    }
    return from2001 ? CCommonUtils::buildDateTimeBase2001(m.date) : CCommonUtils::buildDateTimeBaseUnix(m.date);
}

// Notes ----------------------------------------------------------------------------------------

KdAbstractItem* makeNote(const NoteRecord& r)
{
    KdNoteItem* item = KdNoteItem::createItem();
    item->setValue(r.title, 0);
    setDate2001(item, 1, r.date, true);
    item->setValue(r.content, 2);
    if (r.created)
        setDate2001(item, 3, r.created, true);
    if (!r.folder.isEmpty())
        item->setValue(r.folder, 4);
    markDeleted(item, r.partial, r.orphan);
    return item;
}

// Bookmarks ------------------------------------------------------------------------------------

KdAbstractItem* makeBookmark(const BookmarkRecord& r)
{
    KdSafariBookmarkItem* item = KdSafariBookmarkItem::createItem();
    item->setValue(r.title.isEmpty() ? urlHost(r.url) : r.title, 0);
    item->setValue(r.url, 1);
    if (r.history) {
        item->setBookmarkGroup(QStringLiteral("History"));
        if (r.visited != 0) {
            const QDateTime visited = CCommonUtils::buildDateTimeBase2001(r.visited);
            item->setValue(CCommonUtils::datetimeToMinute(visited, true), 3);
            item->setSortValue(visited, 3);
        }
    } else if (!r.folder.isEmpty()) {
        item->setBookmarkGroup(bookmarkGroup(r.folder));
    }
    markDeleted(item, r.partial, r.orphan);
    return item;
}

// Calendar events ------------------------------------------------------------------------------

KdAbstractItem* makeEvent(const CalendarRecord& r)
{
    KdCalendarItem* item = KdCalendarItem::createItem();
    item->setValue(r.summary, 0);
    item->setValue(r.location, 1);
    setDate2001(item, 2, r.start, r.allDay == 0);
    setDate2001(item, 3, r.end, r.allDay == 0);
    item->setValue(r.description, 4);
    markDeleted(item, r.partial, r.orphan);
    return item;
}

// Reminders ------------------------------------------------------------------------------------

QString priorityText(int priority)
{
    return CReminderQuery::priorityText(priority);
}

KdAbstractItem* makeReminder(const ReminderRecord& r)
{
    KdReminderItem* item = KdReminderItem::createItem();
    item->setValue(r.title, 0);
    item->setValue(r.listName, 1);
    item->setValue(r.completion > 0 ? tr("Completed") : tr("Uncompleted"), 2);
    setDate2001(item, 3, r.dueDate, true);
    item->setValue(r.location, 4);
    item->setValue(priorityText(r.priority), 5);
    item->setSortValue(r.priority, 5);
    item->setValue(r.notes, 6);
    markDeleted(item, r.partial, r.orphan);
    return item;
}

// Contacts -------------------------------------------------------------------------------------

KdAbstractItem* makeContact(const PersonRecord& r)
{
    auto* detail = new KdContactPrivate;
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        detail->textMember(i) = personText(r, i);
    for (const PersonPropertyRecord* p : r.properties) {
        if (!p)
            continue;
        auto* property = new KdContactProperty;
        detail->addProperty(property);
        property->setPropType(p->type);
        property->setPropLabel(p->label);
        property->setPropValue(p->value);
        property->setPropValueEntry(p->valueEntry);
    }
    KdContactItem* item = KdContactItem::createItem();
    const QString name = detail->contactName();
    item->setValue(name.isEmpty() ? tr("No Name") : name, 0);
    item->setValue(detail->organization, 1);
    item->setValue(detail->readProperty(3), 2);
    item->setValue(detail->readProperty(4), 3);
    item->setValue(detail->readProperty(22), 4);
    item->setDetailContent(detail);
    markDeleted(item, r.partial, r.orphan);
    return item;
}

const BookmarkRecord* bookmarkAt(SqliteRecovery* r, unsigned i) { return r->getBookmark(i); }
const CalendarRecord* eventAt(SqliteRecovery* r, unsigned i) { return r->getCalendar(i); }
const ReminderRecord* reminderAt(SqliteRecovery* r, unsigned i) { return r->getReminder(i); }
const PersonRecord* personAt(SqliteRecovery* r, unsigned i) { return r->getContact(i); }

} // namespace

QString noteTextUpToCut(const QByteArray& compressedStart)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 32) != Z_OK)
        return QString();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressedStart.constData()));
    stream.avail_in = uInt(compressedStart.size());
    QByteArray payload;
    char chunk[16 * 1024];
    int rc = Z_OK;
    // A stream cut short ends in Z_BUF_ERROR (no more input): what came out before it stands.
    while (rc == Z_OK && payload.size() <= notestore::kMaxInflatedBytes) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof(chunk);
        rc = inflate(&stream, Z_NO_FLUSH);
        payload.append(chunk, qsizetype(sizeof(chunk) - stream.avail_out));
    }
    inflateEnd(&stream);
    if (payload.size() > notestore::kMaxInflatedBytes)
        return QString();
    QString error;
    return notestore::noteText(closeCut(payload, 0), &error);
}

QString urlHost(const QString& url)
{
    const int scheme = url.indexOf(QLatin1String("://"));
    const int start = scheme < 0 ? 0 : scheme + 3;
    const int slash = url.indexOf(QLatin1Char('/'), start);
    if (slash <= 0)
        return url.mid(start);
    return url.mid(start, slash - start);
}

// The note's date is not among the fields its duplicate test compares, so it adds nothing.
int completenessKey(const NoteRecord& r)
{
    return r.title.size() + r.content.size();
}

int completenessKey(const BookmarkRecord& r)
{
    return r.title.size() + r.url.size();
}

int completenessKey(const CalendarRecord& r)
{
    return r.summary.size() + r.location.size() + r.description.size() + dateKey(r.start) + dateKey(r.end);
}

int completenessKey(const ReminderRecord& r)
{
    return r.title.size() + r.location.size() + r.listName.size() + r.notes.size() + dateKey(r.dueDate);
}

int completenessKey(const PersonRecord& r)
{
    int key = 0;
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        key += personText(r, i).size();
    return key;
}

int convertNotes(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery*)
{
    const unsigned n = recovery->getNoteCount();
    // The older layouts keep a body as an HTML fragment: it is compared with the live notes, and
    // shown, as the text they show.
    std::vector<std::optional<NoteRecord>> read(n);
    for (unsigned i = 0; i < n; ++i) {
        if (const NoteRecord* r = recovery->getNote(i)) {
            read[i] = *r;
            NoteRecord& note = *read[i];
            if (r->compressedBody.isEmpty()) {
                note.content = CNoteQuery::plainBodyText(r->content);
            } else if (note.content.isEmpty()) {
                // Read before the test against the live notes: a note whose own row is gone has
                // only its body to tell it by.
                QString error;
                note.content = notestore::bodyText(r->compressedBody, &error);
                if (note.content.isEmpty() && r->partial)
                    note.content = noteTextUpToCut(r->compressedBody);
                // The device titles a note by its first line.
                if (note.title.isEmpty())
                    note.title = note.content.section(QLatin1Char('\n'), 0, 0).trimmed();
            }
        }
    }
    auto noteAt = [&read](SqliteRecovery*, unsigned i) { return read[i] ? &*read[i] : nullptr; };
    prependAll(backup->getNote(), convertWithDuplicateTest<NoteRecord>(backup, n, noteAt, recovery, &completenessKey,
                                                                      &noteCandidates, &isDuplicateNote, &makeNote));
    return int(n);
}

int convertBookmarks(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery*)
{
    const unsigned n = recovery->getBookmarkCount();
    prependAll(backup->getSafariBookmark(),
               convertWithDuplicateTest<BookmarkRecord>(backup, n, &bookmarkAt, recovery, &completenessKey,
                                                        &bookmarkCandidates, &isDuplicateBookmark, &makeBookmark));
    return int(n);
}

int convertCalendar(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery*)
{
    const unsigned n = recovery->getCalendarCount();
    prependAll(backup->getCalendar(), convertWithDuplicateTest<CalendarRecord>(backup, n, &eventAt, recovery,
                                                                              &completenessKey, &eventCandidates, &isDuplicateEvent, &makeEvent));
    return int(n);
}

int convertReminders(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery*)
{
    const unsigned n = recovery->getReminderCount();
    prependAll(backup->getReminder(),
               convertWithDuplicateTest<ReminderRecord>(backup, n, &reminderAt, recovery, &completenessKey,
                                                        &reminderCandidates, &isDuplicateReminder, &makeReminder));
    return int(n);
}

int convertCalendarAndReminders(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver)
{
    return convertCalendar(backup, recovery, driver) + convertReminders(backup, recovery, driver);
}

int convertContacts(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver)
{
    const unsigned n = recovery->getContactCount();
    QVector<KdAbstractItem*> made = convertWithDuplicateTest<PersonRecord>(
        backup, n, &personAt, recovery, &completenessKey, &contactCandidates, &isDuplicateContact, &makeContact);
    std::sort(made.begin(), made.end(), byNameAscending);
    prependAll(backup->getContact(), made);
    buildContactIndex(backup->getContact(), &driver->m_contactNames, &driver->m_contactIndex);
    return int(n);
}

int convertCalls(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver)
{
    const unsigned n = recovery->getCallhistoryCount();
    QVector<KdAbstractItem*> items;
    for (unsigned i = 0; i < n; ++i) {
        const CallhistoryRecord* r = recovery->getCallhistory(i);
        if (!r)
            continue;
        KdCallHistoryItem* item = KdCallHistoryItem::createItem();
        auto found = driver->m_contactIndex.constFind(r->address);
        if (found != driver->m_contactIndex.constEnd() && found.value() >= 0
            && found.value() < driver->m_contactNames.size())
            item->setValue(driver->m_contactNames.at(found.value()), 0);
        item->setValue(r->address, 1);
        const QDateTime d = CCommonUtils::buildDateTimeBaseUnix(r->date);
        item->setValue(r->date == 0 ? QString() : CCommonUtils::datetimeToMinute(d, true), 2);
        item->setSortValue(d, 2);
        item->setValue(callTypeText(r->flags), 3);
        if (r->duration > 0) {
            item->setValue(CCommonUtils::durationToString(r->duration, true), 4);
            item->setSortValue(r->duration, 4);
        } else if (r->flags & 1) {
            item->setValue(tr("Canceled"), 4);
            item->setSortValue(-1, 4);
        } else {
            item->setValue(tr("Missed"), 4);
            item->setSortValue(0, 4);
        }
        markDeleted(item, r->partial, r->orphan);
        items.append(item);
    }
    prependAll(backup->getCallHistory(), items);
    return int(n);
}

int convertMessages(KdBackup* backup, SqliteRecovery* recovery, CDeletedRecovery* driver)
{
    const unsigned n = recovery->getMessageGroupCount();
    QVector<KdAbstractItem*> items;
    for (unsigned g = 0; g < n; ++g) {
        const MessageGroupRecord* record = recovery->getMessageGroup(g);
        if (!record)
            continue;
        KdSMSItem* item = KdSMSItem::createItem();
        markDeleted(item, std::any_of(record->messages.begin(), record->messages.end(), [](const MessageRecord& m) { return m.partial; }),
                    std::all_of(record->messages.begin(), record->messages.end(), [](const MessageRecord& m) { return m.orphan; }));
        auto* group = new KdSMSChatGroup;
        group->setDeleted(true);

        for (auto m = record->messages.rbegin(); m != record->messages.rend(); ++m) {
            auto* chat = new KdSMSChat;
            group->addChat(chat);
            chat->setNormalSMS(m->service == 0);
            chat->setFromMe(m->fromMe != 0);
            chat->setSentDone(m->failure == 0);
            chat->setDeleted(true);
            chat->setPartial(m->partial);
            chat->setUncertain(m->orphan);
            chat->setConversationGuessed(m->conversationGuessed);
            chat->setMsgDate(messageDate(*m, driver->m_messageLayout));
            chat->setSubject(m->subject);
            chat->setAddr(m->address);
            // Newer releases leave a reaction's own text empty: the line says what it was for.
            if (m->pieces.empty() && m->text.isEmpty() && m->reactionType)
                chat->setContent(reactionLine(m->reactionType, m->reactionEmoji, m->reactionTarget));
            else if (m->pieces.empty())
                chat->setContent(m->text);
            for (const MessagePieceRecord& p : m->pieces) {
                if (p.data.isEmpty())
                    continue;
                auto* piece = new KdSMSPiece;
                chat->addPiece(piece);
                if (p.kind == 0) {
                    piece->setPieceType(QStringLiteral("image"));
                    piece->setPieceLocation(p.data);
                } else {
                    piece->setPieceType(QStringLiteral("text"));
                    piece->setPieceData(p.data.toUtf8());
                }
            }
        }

        QMap<QString, QString> addrIds;
        QStringList names, numbers, emails;
        for (const QString& address : record->addresses) {
            if (address.contains(QLatin1Char('@')))
                emails << address;
            else
                numbers << address;
            QString name = address; // as live conversations show one no contact names
            auto exact = driver->m_contactIndex.constFind(address);
            if (exact != driver->m_contactIndex.constEnd()) {
                name = driver->m_contactNames.value(exact.value());
            } else if (address.startsWith(QLatin1Char('+')) || address.startsWith(QLatin1Char('0'))) {
                // A number written with its country or trunk prefix finds the contact that
                // stored only its tail.
                for (auto it = driver->m_contactIndex.constBegin(); it != driver->m_contactIndex.constEnd(); ++it) {
                    if (it.key().isEmpty() || !address.endsWith(it.key()))
                        continue;
                    name = driver->m_contactNames.value(it.value());
                    break;
                }
            }
            if (name.isEmpty())
                name = address;
            if (!names.contains(name))
                names << name;
            addrIds[address] = name;
        }
        group->setAddrIds(addrIds);
        item->setValue(names.join(QStringLiteral(", ")), 0);
        item->setValue(numbers.join(QStringLiteral(", ")), 1);
        item->setValue(emails.join(QStringLiteral(", ")), 2);
        item->setDetailContent(group);
        item->setSize(0);
        items.append(item);
    }
    prependAll(backup->getMessage(), items);
    return int(n);
}
