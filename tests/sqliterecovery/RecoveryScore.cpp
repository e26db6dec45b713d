#include "RecoveryScore.h"

#include <map>

namespace {

const QString kSep = QStringLiteral("|");

QString n(int v) { return QString::number(v); }

ScoredItem item(const PersonRecord& p, const std::vector<const PersonPropertyRecord*>& props)
{
    const QStringList f = {p.first,         p.last,           p.middle,       p.prefix,   p.suffix,       p.nickname, p.firstPhonetic,
                           p.middlePhonetic, p.lastPhonetic,  p.jobTitle,     p.organization, p.department, p.note};
    QStringList values;
    for (const PersonPropertyRecord* v : props) {
        QStringList parts;
        for (auto it = v->valueEntry.begin(); it != v->valueEntry.end(); ++it)
            parts << it.key() + QLatin1Char('=') + it.value();
        values << QStringLiteral("%1/%2/%3/%4").arg(v->type).arg(v->label, v->value, parts.join(QLatin1Char(',')));
    }
    values.sort();
    const QString key = !p.first.isEmpty() ? p.first : props.empty() ? QString() : props.front()->value;
    return {key, f.join(kSep) + QStringLiteral("#") + values.join(kSep), {}};
}

ScoredItem item(const MessageRecord& m, const QStringList& participants)
{
    QStringList pieces, data;
    for (const auto& p : m.pieces) {
        pieces << QStringLiteral("%1:%2").arg(p.kind).arg(p.data);
        data << p.data;
    }
    return {m.text.isEmpty() ? data.join(kSep) : m.text,
            QStringList{n(m.service), m.address, n(m.date), m.subject, m.text, n(m.fromMe), n(m.failure), pieces.join(QLatin1Char(','))}.join(kSep),
            participants};
}

ScoredItem item(const CallhistoryRecord& c) { return {c.address, QStringList{c.address, n(c.date), n(c.duration), n(c.flags)}.join(kSep), {}}; }
ScoredItem item(const CalendarRecord& c)
{
    return {c.summary, QStringList{c.summary, c.location, c.description, n(c.start), n(c.end), n(c.allDay)}.join(kSep), {}};
}
ScoredItem item(const ReminderRecord& r)
{
    return {r.title, QStringList{r.title, r.location, r.listName, r.notes, n(r.dueDate), n(r.completion), n(r.priority)}.join(kSep), {}};
}
ScoredItem item(const NoteRecord& x) { return {x.title, QStringList{n(x.date), x.title, x.content}.join(kSep), {}}; }
ScoredItem item(const BookmarkRecord& b) { return {b.url, QStringList{b.title, b.url}.join(kSep), {}}; }

template <class C> void addAll(std::vector<ScoredItem>& out, const C& records)
{
    for (const auto& r : records)
        out.push_back(item(r));
}

} // namespace

QString Score::summary() const
{
    return QStringLiteral("expected %1, whole %2, partial %3, reported %4, precision %5%, live reported %6")
        .arg(expected)
        .arg(whole)
        .arg(partial)
        .arg(reported)
        .arg(precision() * 100, 0, 'f', 1)
        .arg(liveReported);
}

std::vector<ScoredItem> expectedItems(int type, const iosrecgen::Expected& e)
{
    std::vector<ScoredItem> out;
    if (type == 0)
        for (const auto& p : e.people) {
            std::vector<const PersonPropertyRecord*> props;
            for (const auto& v : p.properties)
                props.push_back(&v);
            out.push_back(item(p.person, props));
        }
    if (type == 1)
        for (const auto& m : e.messages)
            out.push_back(item(m.message, m.groupAddresses));
    if (type == 2)
        addAll(out, e.calls);
    if (type == 3)
        addAll(out, e.events), addAll(out, e.reminders);
    if (type == 4)
        addAll(out, e.notes);
    if (type == 5)
        addAll(out, e.bookmarks);
    return out;
}

std::vector<ScoredItem> reportedItems(int type, const sqlrecovery::RecordStore& s)
{
    std::vector<ScoredItem> out;
    if (type == 0)
        for (const PersonRecord& p : s.contacts)
            out.push_back(item(p, std::vector<const PersonPropertyRecord*>(p.properties.begin(), p.properties.end())));
    if (type == 1)
        for (const MessageGroupRecord& g : s.messageGroups)
            for (const MessageRecord& m : g.messages)
                out.push_back(item(m, g.addresses));
    if (type == 2)
        addAll(out, s.calls);
    if (type == 3)
        addAll(out, s.calendars), addAll(out, s.reminders);
    if (type == 4)
        addAll(out, s.notes);
    if (type == 5)
        addAll(out, s.bookmarks);
    return out;
}

std::vector<ScoredItem> reportedItems(int type, const SqliteRecovery& r)
{
    sqlrecovery::RecordStore s; // copies: the contacts' properties stay owned by `r`
    const auto copy = [&r](auto& to, unsigned count, auto get) {
        for (unsigned i = 0; i < count; ++i)
            to.push_back(*(r.*get)(i));
    };
    copy(s.contacts, r.getContactCount(), &SqliteRecovery::getContact);
    copy(s.messageGroups, r.getMessageGroupCount(), &SqliteRecovery::getMessageGroup);
    copy(s.calls, r.getCallhistoryCount(), &SqliteRecovery::getCallhistory);
    copy(s.calendars, r.getCalendarCount(), &SqliteRecovery::getCalendar);
    copy(s.reminders, r.getReminderCount(), &SqliteRecovery::getReminder);
    copy(s.notes, r.getNoteCount(), &SqliteRecovery::getNote);
    copy(s.bookmarks, r.getBookmarkCount(), &SqliteRecovery::getBookmark);
    return reportedItems(type, s);
}

Score score(const std::vector<ScoredItem>& expected, const std::vector<ScoredItem>& reported, const QStringList& liveTexts)
{
    Score s;
    s.expected = int(expected.size());
    s.reported = int(reported.size());
    std::multimap<QString, size_t> byKey;
    for (size_t i = 0; i < expected.size(); ++i)
        byKey.emplace(expected[i].key, i);
    std::vector<int> state(expected.size(), 0); // 0 missed, 1 partial, 2 whole
    for (const ScoredItem& r : reported) {
        bool matched = false;
        for (auto [it, end] = byKey.equal_range(r.key); it != end && !matched; ++it) {
            const ScoredItem& e = expected[it->second];
            bool contextOk = true;
            for (const QString& c : e.context)
                contextOk = contextOk && r.context.contains(c);
            const int st = (r.fields == e.fields && contextOk) ? 2 : 1;
            if (state[it->second] < st)
                state[it->second] = st, matched = true;
        }
        s.correct += matched;
        s.liveReported += !matched && !r.key.isEmpty() && liveTexts.contains(r.key);
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        s.whole += state[i] == 2;
        s.partial += state[i] == 1;
        if (state[i] != 2)
            s.misses << expected[i].key.left(40);
    }
    return s;
}
