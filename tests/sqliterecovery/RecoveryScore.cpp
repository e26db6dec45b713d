#include "RecoveryScore.h"

#include "../../lib/sqliterecovery/RecoveryContext_p.h"

#include <map>

namespace {

const QString kSep = QStringLiteral("|");

QString personFields(const PersonRecord& p, const std::vector<const PersonPropertyRecord*>& props)
{
    QStringList f = {p.first,          p.last,         p.middle,       p.prefix,        p.suffix,
                     p.nickname,       p.firstPhonetic, p.middlePhonetic, p.lastPhonetic, p.jobTitle,
                     p.organization,   p.department,   p.note};
    QStringList values;
    for (const PersonPropertyRecord* v : props) {
        QStringList parts;
        for (auto it = v->valueEntry.begin(); it != v->valueEntry.end(); ++it)
            parts << it.key() + QLatin1Char('=') + it.value();
        values << QStringLiteral("%1/%2/%3/%4").arg(v->type).arg(v->label, v->value, parts.join(QLatin1Char(',')));
    }
    values.sort();
    return f.join(kSep) + QStringLiteral("#") + values.join(kSep);
}

QString personKey(const PersonRecord& p, const std::vector<const PersonPropertyRecord*>& props)
{
    if (!p.first.isEmpty())
        return p.first;
    return props.empty() ? QString() : props.front()->value;
}

QString messageKey(const MessageRecord& m)
{
    if (!m.text.isEmpty())
        return m.text;
    QStringList parts;
    for (const auto& piece : m.pieces)
        parts << piece.data;
    return parts.join(kSep);
}

QString messageFields(const MessageRecord& m)
{
    QStringList pieces;
    for (const auto& p : m.pieces)
        pieces << QStringLiteral("%1:%2").arg(p.kind).arg(p.data);
    return QStringList{QString::number(m.service), m.address, QString::number(m.date), m.subject, m.text,
                       QString::number(m.fromMe), QString::number(m.failure), pieces.join(QLatin1Char(','))}
        .join(kSep);
}

QString n(int v) { return QString::number(v); }

} // namespace

unsigned StoreView::getContactCount() const { return unsigned(m_store.contacts.size()); }
const PersonRecord* StoreView::getContact(unsigned i) const { return &m_store.contacts[i]; }
unsigned StoreView::getMessageGroupCount() const { return unsigned(m_store.messageGroups.size()); }
const MessageGroupRecord* StoreView::getMessageGroup(unsigned i) const { return &m_store.messageGroups[i]; }
unsigned StoreView::getCallhistoryCount() const { return unsigned(m_store.calls.size()); }
const CallhistoryRecord* StoreView::getCallhistory(unsigned i) const { return &m_store.calls[i]; }
unsigned StoreView::getCalendarCount() const { return unsigned(m_store.calendars.size()); }
const CalendarRecord* StoreView::getCalendar(unsigned i) const { return &m_store.calendars[i]; }
unsigned StoreView::getReminderCount() const { return unsigned(m_store.reminders.size()); }
const ReminderRecord* StoreView::getReminder(unsigned i) const { return &m_store.reminders[i]; }
unsigned StoreView::getNoteCount() const { return unsigned(m_store.notes.size()); }
const NoteRecord* StoreView::getNote(unsigned i) const { return &m_store.notes[i]; }
unsigned StoreView::getBookmarkCount() const { return unsigned(m_store.bookmarks.size()); }
const BookmarkRecord* StoreView::getBookmark(unsigned i) const { return &m_store.bookmarks[i]; }

QString Score::summary() const
{
    return QStringLiteral("expected %1, bytes survive %2, whole %3 (%4%), partial %5, reported %6, precision %7%, "
                          "live reported %8")
        .arg(expected)
        .arg(survived)
        .arg(whole)
        .arg(recall() * 100, 0, 'f', 1)
        .arg(partial)
        .arg(reported)
        .arg(precision() * 100, 0, 'f', 1)
        .arg(liveReported);
}

std::vector<ScoredItem> expectedItems(int type, const iosrecgen::Expected& e)
{
    std::vector<ScoredItem> out;
    switch (type) {
    case 0:
        for (const auto& p : e.people) {
            std::vector<const PersonPropertyRecord*> props;
            for (const auto& v : p.properties)
                props.push_back(&v);
            out.push_back({personKey(p.person, props), personFields(p.person, props), {}});
        }
        break;
    case 1:
        for (const auto& m : e.messages)
            out.push_back({messageKey(m.message), messageFields(m.message), m.groupAddresses});
        break;
    case 2:
        for (const auto& c : e.calls)
            out.push_back({c.address, QStringList{c.address, n(c.date), n(c.duration), n(c.flags)}.join(kSep), {}});
        break;
    case 3:
        for (const auto& c : e.events)
            out.push_back({c.summary,
                           QStringList{c.summary, c.location, c.description, n(c.start), n(c.end), n(c.allDay)}.join(kSep),
                           {}});
        for (const auto& r : e.reminders)
            out.push_back({r.title,
                           QStringList{r.title, r.location, r.listName, r.notes, n(r.dueDate), n(r.completion), n(r.priority)}
                               .join(kSep),
                           {}});
        break;
    case 4:
        for (const auto& x : e.notes)
            out.push_back({x.title, QStringList{n(x.date), x.title, x.content}.join(kSep), {}});
        break;
    case 5:
        for (const auto& b : e.bookmarks)
            out.push_back({b.url, QStringList{b.title, b.url}.join(kSep), {}});
        break;
    default:
        break;
    }
    return out;
}

template <class R>
std::vector<ScoredItem> reportedItems(int type, const R& r)
{
    std::vector<ScoredItem> out;
    switch (type) {
    case 0:
        for (unsigned i = 0; i < r.getContactCount(); ++i) {
            const PersonRecord* p = r.getContact(i);
            std::vector<const PersonPropertyRecord*> props(p->properties.begin(), p->properties.end());
            out.push_back({personKey(*p, props), personFields(*p, props), {}});
        }
        break;
    case 1:
        for (unsigned g = 0; g < r.getMessageGroupCount(); ++g) {
            const MessageGroupRecord* group = r.getMessageGroup(g);
            for (const MessageRecord& m : group->messages)
                out.push_back({messageKey(m), messageFields(m), group->addresses});
        }
        break;
    case 2:
        for (unsigned i = 0; i < r.getCallhistoryCount(); ++i) {
            const CallhistoryRecord* c = r.getCallhistory(i);
            out.push_back({c->address, QStringList{c->address, n(c->date), n(c->duration), n(c->flags)}.join(kSep), {}});
        }
        break;
    case 3:
        for (unsigned i = 0; i < r.getCalendarCount(); ++i) {
            const CalendarRecord* c = r.getCalendar(i);
            out.push_back({c->summary,
                           QStringList{c->summary, c->location, c->description, n(c->start), n(c->end), n(c->allDay)}.join(kSep),
                           {}});
        }
        for (unsigned i = 0; i < r.getReminderCount(); ++i) {
            const ReminderRecord* x = r.getReminder(i);
            out.push_back({x->title,
                           QStringList{x->title, x->location, x->listName, x->notes, n(x->dueDate), n(x->completion),
                                       n(x->priority)}
                               .join(kSep),
                           {}});
        }
        break;
    case 4:
        for (unsigned i = 0; i < r.getNoteCount(); ++i) {
            const NoteRecord* x = r.getNote(i);
            out.push_back({x->title, QStringList{n(x->date), x->title, x->content}.join(kSep), {}});
        }
        break;
    case 5:
        for (unsigned i = 0; i < r.getBookmarkCount(); ++i) {
            const BookmarkRecord* b = r.getBookmark(i);
            out.push_back({b->url, QStringList{b->title, b->url}.join(kSep), {}});
        }
        break;
    default:
        break;
    }
    return out;
}

template std::vector<ScoredItem> reportedItems<SqliteRecovery>(int, const SqliteRecovery&);
template std::vector<ScoredItem> reportedItems<StoreView>(int, const StoreView&);

Score score(const std::vector<ScoredItem>& expected, const std::vector<ScoredItem>& reported,
            const QStringList& liveTexts, const QString& databasePath)
{
    Score s;
    s.expected = int(expected.size());
    s.reported = int(reported.size());
    std::multimap<QString, size_t> byKey;
    for (size_t i = 0; i < expected.size(); ++i) {
        byKey.emplace(expected[i].key, i);
        if (iosrecgen::bytesSurvive(databasePath, expected[i].key.section(QLatin1Char('|'), 0, 0)))
            ++s.survived;
    }
    std::vector<int> state(expected.size(), 0); // 0 missed, 1 partial, 2 whole
    for (const ScoredItem& r : reported) {
        bool matched = false;
        auto range = byKey.equal_range(r.key);
        for (auto it = range.first; it != range.second; ++it) {
            const ScoredItem& e = expected[it->second];
            bool contextOk = true;
            for (const QString& c : e.context)
                contextOk = contextOk && r.context.contains(c);
            const int st = (r.fields == e.fields && contextOk) ? 2 : 1;
            if (state[it->second] >= st)
                continue;
            state[it->second] = st;
            matched = true;
            break;
        }
        if (matched) {
            ++s.correct;
            continue;
        }
        if (!r.key.isEmpty() && liveTexts.contains(r.key))
            ++s.liveReported;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        if (state[i] == 2)
            ++s.whole;
        else {
            if (state[i] == 1)
                ++s.partial;
            s.misses << expected[i].key.left(40);
        }
    }
    return s;
}
