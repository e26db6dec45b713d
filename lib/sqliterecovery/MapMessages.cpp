// Messages: deleted message rows grouped into conversations, for both sms.db layouts.
// - chat layout (chat, handle, message, attachment and the join tables): a message's
//   conversation is its chat_message_join row (deleted with it, or still live); participants come
//   from chat_handle_join and handle; attachments from message_attachment_join and attachment.
//   Those join rows are a few bytes long and seldom survive a deletion, so without one the
//   message's room name, its sender's chats, or its sender's one-to-one chat decide, and an
//   attachment is paired by its creation time; each only when exactly one answer fits.
// - group layout (message, msg_group, group_member, msg_pieces): the conversation is group_id,
//   participants are group_member rows, MMS parts are msg_pieces, iMessage files madrid_attachment.
// Rows of the lookup tables are taken live first, then from what was carved. Messages of one
// conversation are listed newest first (the converter adds them in reverse); conversations by
// their newest message, newest first.

#include "RecoveryContext_p.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

namespace sqlrecovery {

namespace {

const QChar kObjectReplacement(0xFFFC);

struct Group {
    QStringList addresses;
    std::vector<MessageRecord> messages;
    int newest = 0;
    // A one-to-one chat whose partner is known: a sender of another address is a message placed
    // here wrongly, and must not rename the whole thread.
    bool closed = false;
};

void addAddress(Group& g, const QString& a)
{
    if (!a.isEmpty() && !g.addresses.contains(a))
        g.addresses << a;
}

// Rows of a carved table whose integer column `col` equals `value`, indexed once.
class CarvedIndex
{
public:
    CarvedIndex(const CarvedTable& table, const char* column) : m_table(table)
    {
        const int c = table.col(column);
        for (const Row* row : table.rows)
            if (const auto v = integer(table, *row, c))
                m_rows.emplace(*v, row);
    }
    std::vector<const Row*> find(int64_t value) const
    {
        std::vector<const Row*> out;
        auto range = m_rows.equal_range(value);
        for (auto it = range.first; it != range.second; ++it)
            out.push_back(it->second);
        return out;
    }
    const CarvedTable& table() const { return m_table; }

private:
    const CarvedTable& m_table;
    std::multimap<int64_t, const Row*> m_rows;
};

// The pairs of a join table that outlive its rows: the rows carved, and the deleted entries of
// the table's indexes, each read by the columns its definition names. Newer layouts keep the
// message's date in chat_message_join; such a pair is checked against the message it names,
// and found by that date when the message lost its rowid.
class Links
{
public:
    struct Link {
        int64_t key = 0, value = 0;
        std::optional<int64_t> date;
        // Read from the bare remains of a two-integer cell: small numbers in any freed bytes read
        // as such, so a whole row or an index entry naming the key outranks it.
        bool salvaged = false;
    };

    Links(ScanContext& ctx, const char* table, const char* key, const char* value, const char* date = nullptr)
    {
        const CarvedTable& t = ctx.table(table);
        const int cKey = t.col(key), cValue = t.col(value), cDate = date ? t.col(date) : -1;
        // Newer layouts index each column alone too. Such an entry gives its column by the join
        // row's rowid: two of them make a pair, one completes a row that lost the other column.
        std::map<int64_t, std::set<int64_t>> keyOf, valueOf;
        for (const auto& index : ctx.live().rows("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?",
                                                 {QString::fromLatin1(table)})) {
            const std::string name = index.front().toString().toStdString();
            const std::vector<const Row*>& entries = ctx.indexEntries(name);
            if (entries.empty())
                continue;
            int iKey = -1, iValue = -1, iDate = -1;
            for (const auto& c : ctx.live().rows("SELECT seqno, name FROM pragma_index_info(?)", {QString::fromStdString(name)})) {
                const QString column = c[1].toString();
                const int at = c[0].toInt();
                iKey = column.compare(QLatin1String(key), Qt::CaseInsensitive) == 0 ? at : iKey;
                iValue = column.compare(QLatin1String(value), Qt::CaseInsensitive) == 0 ? at : iValue;
                iDate = date && column.compare(QLatin1String(date), Qt::CaseInsensitive) == 0 ? at : iDate;
            }
            for (const Row* e : entries) {
                const auto k = integerAt(*e, iKey), v = integerAt(*e, iValue);
                if (k && v)
                    add(k, v, iDate >= 0 ? integerAt(*e, iDate) : std::nullopt);
                else if (e->rowid && (k || v))
                    (k ? keyOf : valueOf)[*e->rowid].insert(k ? *k : *v);
            }
        }
        // A rowid given again since holds another pair: only a rowid with one value counts.
        auto only = [](const std::map<int64_t, std::set<int64_t>>& of, int64_t rowid) -> std::optional<int64_t> {
            auto it = of.find(rowid);
            return it != of.end() && it->second.size() == 1 ? std::optional<int64_t>(*it->second.begin()) : std::nullopt;
        };
        std::set<int64_t> rowsWithPair;
        for (const Row* row : t.rows) {
            auto k = integer(t, *row, cKey), v = integer(t, *row, cValue);
            if (row->rowid) {
                rowsWithPair.insert(*row->rowid);
                k = k ? k : only(keyOf, *row->rowid);
                v = v ? v : only(valueOf, *row->rowid);
            }
            add(k, v, cDate >= 0 ? integer(t, *row, cDate) : std::nullopt, row->salvaged);
        }
        for (const auto& [rowid, keys] : keyOf) {
            const auto v = only(valueOf, rowid);
            if (keys.size() == 1 && v && !rowsWithPair.count(rowid))
                add(*keys.begin(), v, std::nullopt);
        }
        std::stable_sort(m_byKey.begin(), m_byKey.end(), [](const Link& a, const Link& b) { return a.key < b.key; });
        for (const Link& l : m_byKey)
            if (l.date && *l.date != 0)
                m_byDate.emplace(*l.date, &l);
    }

    // The pairs naming `key`, in the order found.
    std::vector<const Link*> find(int64_t key) const
    {
        std::vector<const Link*> out;
        auto it = std::lower_bound(m_byKey.begin(), m_byKey.end(), key, [](const Link& l, int64_t k) { return l.key < k; });
        for (; it != m_byKey.end() && it->key == key; ++it)
            out.push_back(&*it);
        return out;
    }
    // The pair dated `date` when only one (key, value) is.
    const Link* dated(int64_t date) const
    {
        auto range = m_byDate.equal_range(date);
        const Link* found = nullptr;
        for (auto it = range.first; it != range.second; ++it) {
            if (found && (found->key != it->second->key || found->value != it->second->value))
                return nullptr;
            found = it->second;
        }
        return found;
    }

private:
    static std::optional<int64_t> integerAt(const Row& row, int i)
    {
        if (i < 0 || size_t(i) >= row.values.size() || row.values[size_t(i)].kind != sqlcarve::Value::Kind::Integer)
            return std::nullopt;
        return row.values[size_t(i)].integer;
    }
    void add(std::optional<int64_t> key, std::optional<int64_t> value, std::optional<int64_t> date, bool salvaged = false)
    {
        if (key && value)
            m_byKey.push_back({*key, *value, date, salvaged});
    }

    std::vector<Link> m_byKey;
    std::multimap<int64_t, const Link*> m_byDate;
};

// The live rows of a two-column join table by their first column, read in one pass on first use:
// a search per recovered message scans the whole table when the database lacks the index on that
// column (some do), which made large databases take minutes.
class LiveJoin
{
public:
    LiveJoin(ScanContext& ctx, const char* table, const char* key, const char* value)
        : m_ctx(ctx), m_sql(std::string("SELECT ") + key + ", " + value + " FROM " + table)
    {
    }
    // The values joined to `key`, smallest first.
    const std::vector<int64_t>& find(int64_t key)
    {
        if (!m_loaded) {
            m_loaded = true;
            for (const auto& r : m_ctx.live().rows(m_sql))
                if (r.size() == 2 && r[0].isValid() && r[1].isValid())
                    m_rows[r[0].toLongLong()].push_back(r[1].toLongLong());
            for (auto& e : m_rows)
                std::sort(e.second.begin(), e.second.end());
        }
        auto it = m_rows.find(key);
        return it == m_rows.end() ? m_none : it->second;
    }

private:
    ScanContext& m_ctx;
    std::string m_sql;
    bool m_loaded = false;
    std::unordered_map<int64_t, std::vector<int64_t>> m_rows;
    const std::vector<int64_t> m_none;
};

// The live rows of a table whose first selected column is one of `keys`, by that key, in rowid
// order, read in one pass (the same reason as LiveJoin; only the wanted rows are kept).
std::unordered_map<int64_t, std::vector<std::vector<QVariant>>> liveRowsOf(ScanContext& ctx, const std::string& sql,
                                                                          const std::set<int64_t>& keys)
{
    std::unordered_map<int64_t, std::vector<std::vector<QVariant>>> out;
    if (keys.empty())
        return out;
    for (auto& r : ctx.live().rows(sql))
        if (!r.empty() && r[0].isValid() && keys.count(r[0].toLongLong()))
            out[r[0].toLongLong()].push_back(std::move(r));
    return out;
}

// Text of `column` of the row `rowid` of `table`: live first, then a carved copy.
QString lookupText(ScanContext& ctx, const char* table, const char* column, int64_t rowid,
                   std::map<int64_t, QString>& cache)
{
    auto it = cache.find(rowid);
    if (it != cache.end())
        return it->second;
    QString value = ctx.live()
                        .value(std::string("SELECT ") + column + " FROM " + table + " WHERE rowid = ?",
                               {QVariant(qint64(rowid))})
                        .toString();
    if (value.isEmpty()) {
        const CarvedTable& t = ctx.table(table);
        if (const Row* row = ctx.deletedByRowid(table, rowid))
            value = text(*row, t.col(column));
    }
    cache[rowid] = value;
    return value;
}

// Orders the groups newest first and hands them to the store; returns how many were added.
int finish(std::map<QString, Group>& groups, RecordStore& store)
{
    std::vector<Group*> order;
    for (auto& e : groups) {
        Group& g = e.second;
        std::stable_sort(g.messages.begin(), g.messages.end(),
                         [](const MessageRecord& a, const MessageRecord& b) { return a.date > b.date; });
        g.newest = g.messages.empty() ? 0 : g.messages.front().date;
        for (const MessageRecord& m : g.messages)
            if (!g.closed)
                addAddress(g, m.address);
        order.push_back(&g);
    }
    std::stable_sort(order.begin(), order.end(), [](const Group* a, const Group* b) { return a->newest > b->newest; });
    int added = 0;
    for (Group* g : order) {
        if (g->messages.empty())
            continue;
        MessageGroupRecord r;
        r.addresses = g->addresses;
        r.messages = std::move(g->messages);
        store.messageGroups.push_back(std::move(r));
        ++added;
    }
    return added;
}

bool worthReporting(const MessageRecord& m)
{
    return !m.text.isEmpty() || !m.subject.isEmpty() || !m.pieces.empty() || m.reactionType != 0;
}

// associated_message_type of a reaction given (2000-2006) or taken back (3000-3006); other
// associated rows (stickers, app balloons) are messages of their own.
bool isReactionRow(int type)
{
    return (type >= 2000 && type <= 2006) || (type >= 3000 && type <= 3006);
}

// The guid of the message a reaction is for: associated_message_guid is "p:<part>/<guid>" or
// "bp:<guid>".
QString reactionTargetGuid(const QString& associated)
{
    const int slash = associated.indexOf(QLatin1Char('/'));
    if (slash >= 0)
        return associated.mid(slash + 1);
    return associated.startsWith(QLatin1String("bp:")) ? associated.mid(3) : associated;
}

// Text split at the object replacement characters, the n-th attachment in the n-th place;
// attachments without a place follow at the end.
void buildPieces(MessageRecord& m, const QString& text, const std::vector<QString>& attachments)
{
    if (attachments.empty()) {
        m.text = QString(text).remove(kObjectReplacement);
        return;
    }
    m.text = text;
    const QStringList parts = text.split(kObjectReplacement);
    size_t used = 0;
    for (int i = 0; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        if (!part.isEmpty())
            m.pieces.push_back({1, part});
        if (i < parts.size() - 1 && used < attachments.size())
            m.pieces.push_back({0, attachments[used++]});
    }
    for (; used < attachments.size(); ++used)
        m.pieces.push_back({0, attachments[used]});
}

// chat.style of a one-to-one conversation (43 is a group).
const int64_t kOneToOneStyle = 45;
// How far apart a message's date and its attachment's created_date may lie and still be paired
// when their join row is gone: the device stamps both when the message arrives or is sent.
const int kAttachmentWindow = 30;

// Every chat of the database, live and recovered, with what ties a deleted message to one when
// its chat_message_join row is gone: the participants (chat_handle_join, live and recovered),
// the one-to-one partner's identifier and the room name of a group.
class ChatDirectory
{
public:
    explicit ChatDirectory(ScanContext& ctx) : m_ctx(ctx)
    {
        for (const auto& r : ctx.live().rows("SELECT ROWID, style, chat_identifier, service_name, room_name FROM chat")) {
            Chat& c = m_chats[r[0].toLongLong()];
            if (r[1].isValid())
                c.style = r[1].toLongLong();
            c.identifier = r[2].toString();
            c.service = r[3].toString();
            c.room = r[4].toString();
        }
        const CarvedTable& chats = ctx.table("chat");
        for (const Row* row : chats.rows) {
            const auto id = rowidOf(chats, *row);
            if (!id || m_chats.count(*id))
                continue; // a live chat's earlier version says nothing new
            Chat& c = m_chats[*id];
            c.style = integer(chats, *row, chats.col("style"));
            c.identifier = text(*row, chats.col("chat_identifier"));
            c.service = text(*row, chats.col("service_name"));
            c.room = text(*row, chats.col("room_name"));
        }
        auto join = [this](int64_t chat, int64_t handle) {
            m_chats[chat].handles.insert(handle);
            m_chatsOfHandle[handle].insert(chat);
        };
        for (const auto& r : ctx.live().rows("SELECT chat_id, handle_id FROM chat_handle_join"))
            join(r[0].toLongLong(), r[1].toLongLong());
        const CarvedTable& chj = ctx.table("chat_handle_join");
        for (const Row* row : chj.rows) {
            const auto chat = integer(chj, *row, chj.col("chat_id"));
            const auto handle = integer(chj, *row, chj.col("handle_id"));
            if (chat && handle)
                join(*chat, *handle);
        }
    }

    std::set<int64_t> participants(int64_t chat) const
    {
        auto it = m_chats.find(chat);
        return it == m_chats.end() ? std::set<int64_t>() : it->second.handles;
    }

    // The one chat that what survives of a deleted message points at; none when more than one
    // fits. `roomNames` is the message's cache of its group chats' room names.
    std::optional<int64_t> chatFor(std::optional<int64_t> handle, const QString& roomNames)
    {
        if (!roomNames.isEmpty()) {
            // A group message: its sender may well have a one-to-one chat too, so only the room counts.
            std::vector<int64_t> rooms;
            for (const auto& c : m_chats)
                if (c.second.room == roomNames)
                    rooms.push_back(c.first);
            return single(rooms);
        }
        if (!handle || *handle <= 0)
            return std::nullopt;
        // The sender's chats: those it joined, and the one-to-one chats named after it (their
        // joins may be gone with them).
        std::set<int64_t> candidates;
        auto it = m_chatsOfHandle.find(*handle);
        if (it != m_chatsOfHandle.end())
            candidates = it->second;
        const QString id = handleText(*handle, "id");
        const QString service = handleText(*handle, "service");
        for (const auto& c : m_chats)
            if (isNamedAfter(c.second, id, service))
                candidates.insert(c.first);
        if (candidates.size() == 1)
            return *candidates.begin();
        // A sender in several conversations: the one-to-one chat with them, when only one.
        std::vector<int64_t> direct;
        for (int64_t chat : candidates)
            if (isOneToOneWith(m_chats[chat], *handle) || isNamedAfter(m_chats[chat], id, service))
                direct.push_back(chat);
        return single(direct);
    }

    QString handleText(int64_t handle, const char* column)
    {
        return lookupText(m_ctx, "handle", column, handle, m_handleTexts[column]);
    }

    bool oneToOne(int64_t chat) const
    {
        auto it = m_chats.find(chat);
        return it != m_chats.end() && it->second.style && *it->second.style == kOneToOneStyle;
    }

    // The partner a one-to-one chat is named after; a group's identifier is its room, no address.
    QString partner(int64_t chat) const
    {
        auto it = m_chats.find(chat);
        if (it == m_chats.end() || (it->second.style && *it->second.style != kOneToOneStyle))
            return QString();
        return it->second.identifier;
    }

private:
    struct Chat {
        std::set<int64_t> handles;
        std::optional<int64_t> style;
        QString identifier, service, room;
    };

    static std::optional<int64_t> single(const std::vector<int64_t>& v)
    {
        return v.size() == 1 ? std::optional<int64_t>(v.front()) : std::nullopt;
    }

    // Known group chats never are; otherwise the handle must be the only participant known.
    static bool isOneToOneWith(const Chat& chat, int64_t handle)
    {
        if (chat.style && *chat.style != kOneToOneStyle)
            return false;
        return chat.handles == std::set<int64_t>{handle};
    }

    // A one-to-one chat carries its partner's address (on the same service) as its identifier;
    // every participant it still knows has that address.
    bool isNamedAfter(const Chat& chat, const QString& id, const QString& service)
    {
        if (id.isEmpty() || !chat.style || *chat.style != kOneToOneStyle || chat.identifier != id
            || (!service.isEmpty() && !chat.service.isEmpty() && chat.service != service))
            return false;
        for (int64_t h : chat.handles)
            if (handleText(h, "id") != id)
                return false;
        return true;
    }

    ScanContext& m_ctx;
    std::map<int64_t, Chat> m_chats;
    std::map<int64_t, std::set<int64_t>> m_chatsOfHandle;
    std::map<std::string, std::map<int64_t, QString>> m_handleTexts;
};

struct PendingMessage {
    MessageRecord record;
    QString text;
    std::vector<QString> files;
    std::optional<int64_t> chat;
    std::optional<int64_t> handle;
    QString targetGuid; // a reaction's: the message it is for
    int weight = 0; // how much of the row survived: of two versions of one message the fuller wins
};

int weight(const CarvedTable& table, const Row& row)
{
    int known = 0;
    for (size_t i = 0; i < row.values.size(); ++i)
        known += isKnown(row, int(i)) ? 1 : 0;
    // The rowid decides only between copies alike: the versions share one read from any cell.
    return known * 2 + (rowidOf(table, row) ? 1 : 0);
}

// Deleted attachments whose message_attachment_join row is gone, paired with the deleted
// message they were sent with: the message has an attachment place left over and is the only
// message (deleted or live) dated within the window of the attachment's creation, and the
// attachment is one of no more candidates than the message has places for. Attachments in
// `given` went to a message already.
void pairOrphanAttachments(ScanContext& ctx, std::vector<PendingMessage>& messages, const CarvedTable& jt,
                           const std::set<int64_t>& given)
{
    const CarvedTable& attachments = ctx.table("attachment");
    const int cFile = attachments.col("filename"), cCreated = attachments.col("created_date");
    if (cFile < 0 || cCreated < 0)
        return;
    // Attachments already tied to a message the mapping knows by rowid. A recovered join row
    // naming a message that is neither live nor recovered with its rowid leaves it open.
    std::set<int64_t> known;
    const CarvedTable& carvedMessages = ctx.table("message");
    for (const Row* row : carvedMessages.rows)
        if (const auto id = rowidOf(carvedMessages, *row))
            known.insert(*id);
    std::set<int64_t> joined;
    for (const Row* j : jt.rows) {
        const auto a = integer(jt, *j, jt.col("attachment_id"));
        const auto m = integer(jt, *j, jt.col("message_id"));
        if (a && (!m || known.count(*m) || ctx.live().hasRowid("message", *m)))
            joined.insert(*a);
    }
    for (const auto& r : ctx.live().rows("SELECT attachment_id FROM message_attachment_join"))
        joined.insert(r.front().toLongLong());
    joined.insert(given.begin(), given.end());

    auto openPlaces = [](const PendingMessage& m) {
        return int(m.text.count(kObjectReplacement)) - int(m.files.size());
    };
    struct Claim {
        int created;
        int64_t rowid;
        QString file;
    };
    std::map<size_t, std::vector<Claim>> claims;
    // The recovered messages by date, so each attachment finds those of its window at once.
    std::vector<std::pair<int64_t, size_t>> byDate;
    for (size_t i = 0; i < messages.size(); ++i)
        if (messages[i].record.date > 0)
            byDate.emplace_back(messages[i].record.date, i);
    std::sort(byDate.begin(), byDate.end());
    // The live messages' dates, read once: the table has no index on them.
    std::vector<int64_t> liveDates;
    std::vector<double> liveRealDates;
    bool datesRead = false;
    auto liveDateWithin = [&](int64_t lo, int64_t hi) {
        if (!datesRead) {
            datesRead = true;
            for (const auto& r : ctx.live().rows("SELECT date FROM message WHERE date IS NOT NULL")) {
                if (r.front().typeId() == QMetaType::LongLong)
                    liveDates.push_back(r.front().toLongLong());
                else if (r.front().typeId() == QMetaType::Double)
                    liveRealDates.push_back(r.front().toDouble());
            }
            std::sort(liveDates.begin(), liveDates.end());
            std::sort(liveRealDates.begin(), liveRealDates.end());
        }
        auto i = std::lower_bound(liveDates.begin(), liveDates.end(), lo);
        auto r = std::lower_bound(liveRealDates.begin(), liveRealDates.end(), double(lo));
        return (i != liveDates.end() && *i <= hi) || (r != liveRealDates.end() && *r <= double(hi));
    };
    for (const Row* row : attachments.rows) {
        const auto rowid = rowidOf(attachments, *row);
        const QString file = text(*row, cFile);
        const int created = seconds(real(*row, cCreated));
        if (!rowid || joined.count(*rowid) || file.isEmpty() || created <= 0)
            continue;
        const auto first = std::lower_bound(byDate.begin(), byDate.end(),
                                            std::make_pair(int64_t(created) - kAttachmentWindow, size_t(0)));
        const auto last = std::upper_bound(byDate.begin(), byDate.end(),
                                           std::make_pair(int64_t(created) + kAttachmentWindow, std::numeric_limits<size_t>::max()));
        if (last - first != 1 || openPlaces(messages[first->second]) <= 0)
            continue;
        const size_t owner = first->second;
        // A live message in the window could be the owner as well (seconds or nanoseconds).
        const int64_t lo = int64_t(created) - kAttachmentWindow, hi = int64_t(created) + kAttachmentWindow;
        if (liveDateWithin(lo, hi) || liveDateWithin(lo * 1000000000LL, hi * 1000000000LL))
            continue;
        claims[owner].push_back({created, *rowid, file});
    }
    for (auto& entry : claims) {
        PendingMessage& m = messages[entry.first];
        if (int(entry.second.size()) > openPlaces(m))
            continue;
        std::sort(entry.second.begin(), entry.second.end(),
                  [](const Claim& a, const Claim& b) { return std::tie(a.created, a.rowid) < std::tie(b.created, b.rowid); });
        for (const Claim& c : entry.second)
            m.files.push_back(c.file);
    }
}

int mapChatLayout(ScanContext& ctx, RecordStore& out)
{
    for (const char* link : {"chat_handle_join", "chat_message_join", "message_attachment_join"})
        ctx.salvageLinks(link);
    ctx.inferRowids("handle", {{"message", "handle_id"}, {"chat_handle_join", "handle_id"}});
    ctx.inferRowids("chat", {{"chat_message_join", "chat_id"}, {"chat_handle_join", "chat_id"}});
    ctx.inferRowids("message", {{"chat_message_join", "message_id"}, {"message_attachment_join", "message_id"}});
    ctx.inferRowids("attachment", {{"message_attachment_join", "attachment_id"}});
    const CarvedTable& messages = ctx.table("message");
    const Links chatLinks(ctx, "chat_message_join", "message_id", "chat_id", "message_date");
    const Links attachmentLinks(ctx, "message_attachment_join", "message_id", "attachment_id");
    ChatDirectory chats(ctx);
    std::map<int64_t, QString> attachmentFiles;
    LiveJoin liveAttachments(ctx, "message_attachment_join", "message_id", "attachment_id");
    LiveJoin liveChats(ctx, "chat_message_join", "message_id", "chat_id");

    const int cText = messages.col("text"), cHandle = messages.col("handle_id"), cSubject = messages.col("subject"),
              cService = messages.col("service"), cDate = messages.col("date"), cFromMe = messages.col("is_from_me"),
              cSent = messages.col("is_sent"), cError = messages.col("error"), cRooms = messages.col("cache_roomnames"),
              cBody = messages.col("attributedBody"), cAssociated = messages.col("associated_message_type"),
              cAssociatedGuid = messages.col("associated_message_guid"), cEmoji = messages.col("associated_message_emoji");

    std::vector<PendingMessage> pending;
    // guid is unique per message: rows sharing one are versions of the same message (a trigger
    // rewrote it, e.g. to cache its room names), to be reported once. What they tell of its
    // place counts together: newer layouts clear cache_roomnames in the delete itself, so only
    // an earlier version keeps it, and one version may have kept the rowid another lost.
    // The version kept is the fullest; a copy that kept the text while the kept one lost it
    // gives it its text.
    struct Versions {
        std::optional<int64_t> rowid; // read, not inferred from the row's place
        QString rooms;
        QString text; // the longest
    };
    std::map<QString, size_t> byGuid;
    std::map<QString, Versions> versions;
    std::set<int64_t> givenAttachments; // attachments a message found by its rowid
    // An attachment is made when its message comes: a salvaged pair whose attachment is dated
    // otherwise is two numbers that only look like one.
    const CarvedTable& attachments = ctx.table("attachment");
    const int cCreated = attachments.col("created_date");
    auto createdNear = [&](int64_t attachment, int date) {
        std::optional<double> created;
        const QVariant live = ctx.live().value("SELECT created_date FROM attachment WHERE rowid = ?", {QVariant(qint64(attachment))});
        if (live.isValid() && !live.isNull())
            created = live.toDouble();
        else if (const Row* row = ctx.deletedByRowid("attachment", attachment))
            created = real(*row, cCreated);
        return date == 0 || !created || *created == 0 || std::abs(int64_t(seconds(created)) - date) <= kAttachmentWindow;
    };
    const int cGuid = messages.col("guid");
    for (const Row* row : messages.rows) {
        const QString guid = text(*row, cGuid);
        if (guid.isEmpty())
            continue;
        Versions& v = versions[guid];
        // Only a rowid the row's cell or an index entry gave: one inferred from placement is
        // another row's when the copy was moved.
        if (!v.rowid && row->rowid && !row->rowidInferred)
            v.rowid = row->rowid;
        if (v.rooms.isEmpty())
            v.rooms = text(*row, cRooms);
        const QString shown = shownText(*row, cText);
        if (shown.size() > v.text.size())
            v.text = shown;
    }
    for (const Row* row : messages.rows) {
        const QString guid = text(*row, cGuid);
        PendingMessage p;
        p.weight = weight(messages, *row);
        if (!guid.isEmpty()) {
            auto seen = byGuid.find(guid);
            if (seen != byGuid.end() && pending[seen->second].weight >= p.weight)
                continue;
        }
        const Versions* all = guid.isEmpty() ? nullptr : &versions[guid];
        // Plain values: with a reset std::optional here GCC warns of a maybe-uninitialized read.
        const auto own = rowidOf(messages, *row);
        bool known = own.has_value(), guessed = row->rowidInferred || !row->rowid;
        int64_t rowid = own.value_or(0);
        if (all && all->rowid) {
            known = true;
            rowid = *all->rowid;
            guessed = false;
        }
        MessageRecord& m = p.record;
        m.partial = lostSomeValue(messages, *row);
        m.orphan = fromOrphanPage(*row);
        const QString service = text(*row, cService);
        m.service = service.isEmpty() || service == QLatin1String("SMS") ? 0 : 1;
        p.handle = integer(messages, *row, cHandle);
        if (p.handle && *p.handle > 0)
            m.address = chats.handleText(*p.handle, "id");
        m.date = seconds(real(*row, cDate));
        m.subject = text(*row, cSubject);
        m.fromMe = toInt32(integer(messages, *row, cFromMe)) != 0 ? 1 : 0;
        const int error = toInt32(integer(messages, *row, cError));
        const auto sent = integer(messages, *row, cSent);
        m.failure = error != 0 ? error : (m.fromMe && sent && *sent == 0 ? 1 : 0);
        const int associated = toInt32(integer(messages, *row, cAssociated));
        if (isReactionRow(associated)) {
            m.reactionType = associated;
            m.reactionEmoji = text(*row, cEmoji);
            p.targetGuid = reactionTargetGuid(text(*row, cAssociatedGuid));
        }
        p.text = shownText(*row, cText);
        // Only a text this copy lost: an edited message's versions hold different texts.
        const bool textLost = cText < 0 || size_t(cText) >= row->values.size() || row->values[size_t(cText)].isLost();
        if (all && textLost && all->text.size() > p.text.size())
            p.text = all->text;
        if (p.text.isEmpty() && out.bodyText && cBody >= 0 && size_t(cBody) < row->values.size()
            && row->values[size_t(cBody)].kind == sqlcarve::Value::Kind::Blob) {
            const std::string& body = row->values[size_t(cBody)].bytes;
            p.text = out.bodyText(QByteArray(body.data(), qsizetype(body.size())));
        }

        // A link dated otherwise is another message's: it disproves a rowid that was only
        // inferred from the row's place, and is passed over for one that was read.
        const int64_t date = integer(messages, *row, cDate).value_or(0); // 0: unknown
        auto otherDate = [date](const Links::Link* l) { return date != 0 && l->date.value_or(0) != 0 && *l->date != date; };
        if (known && guessed) {
            const auto named = chatLinks.find(rowid);
            known = std::none_of(named.begin(), named.end(), otherDate);
        }
        if (known) {
            const Links::Link* best = nullptr;
            // Small numbers in freed bytes read as a salvaged pair: one naming a chat its sender
            // is no party to is not taken.
            auto senderOutside = [&](const Links::Link* l) {
                if (!l->salvaged || !p.handle || *p.handle <= 0)
                    return false;
                const std::set<int64_t> parties = chats.participants(l->value);
                return !parties.empty() && !parties.count(*p.handle);
            };
            for (const Links::Link* l : chatLinks.find(rowid)) {
                if (otherDate(l) || senderOutside(l))
                    continue;
                if (date != 0 && l->date.value_or(0) == date) {
                    best = l;
                    break;
                }
                if (!best || (best->salvaged && !l->salvaged))
                    best = l;
            }
            if (best)
                p.chat = best->value;
            if (!p.chat) {
                const std::vector<int64_t>& c = liveChats.find(rowid);
                if (!c.empty())
                    p.chat = c.front();
            }
        }
        if (!p.chat && date != 0) {
            const Links::Link* l = chatLinks.dated(date);
            if (l && (known ? rowid == l->key : !ctx.live().hasRowid("message", l->key))) {
                p.chat = l->value;
                known = true;
                rowid = l->key;
            }
        }
        if (known) {
            std::set<int64_t> attachmentIds;
            for (const Links::Link* l : attachmentLinks.find(rowid))
                if (!l->salvaged || createdNear(l->value, m.date))
                    attachmentIds.insert(l->value);
            for (int64_t a : liveAttachments.find(rowid))
                attachmentIds.insert(a);
            for (int64_t a : attachmentIds) {
                const QString f = lookupText(ctx, "attachment", "filename", a, attachmentFiles);
                if (!f.isEmpty())
                    p.files.push_back(f);
            }
            givenAttachments.insert(attachmentIds.begin(), attachmentIds.end());
        }
        // The join row is tiny and rarely survives a deletion.
        if (!p.chat) {
            const QString rooms = all ? all->rooms : text(*row, cRooms);
            p.chat = chats.chatFor(p.handle, rooms);
            // A room name is the message's own; a sender is in every conversation of theirs.
            m.conversationGuessed = p.chat && rooms.isEmpty();
        }
        auto seen = guid.isEmpty() ? byGuid.end() : byGuid.find(guid);
        if (seen != byGuid.end()) {
            pending[seen->second] = std::move(p);
            continue;
        }
        if (!guid.isEmpty())
            byGuid.emplace(guid, pending.size());
        pending.push_back(std::move(p));
    }
    pairOrphanAttachments(ctx, pending, ctx.table("message_attachment_join"), givenAttachments);
    // A deleted reaction names the message it was for: live, or recovered with it.
    for (PendingMessage& p : pending) {
        if (p.targetGuid.isEmpty())
            continue;
        QString target;
        const auto live = ctx.live().rows(cBody >= 0 ? "SELECT text, attributedBody FROM message WHERE guid = ?"
                                                     : "SELECT text FROM message WHERE guid = ?",
                                          {p.targetGuid});
        if (!live.empty()) {
            target = live.front().front().toString();
            if (target.isEmpty() && live.front().size() > 1 && out.bodyText)
                target = out.bodyText(live.front()[1].toByteArray());
        }
        if (target.isEmpty()) {
            auto it = byGuid.find(p.targetGuid);
            if (it != byGuid.end() && !pending[it->second].record.reactionType)
                target = pending[it->second].text;
        }
        p.record.reactionTarget = target.remove(kObjectReplacement).trimmed();
    }

    std::map<QString, Group> groups;
    std::map<int64_t, bool> chatFilled;
    for (PendingMessage& p : pending) {
        MessageRecord& m = p.record;
        buildPieces(m, p.text, p.files);
        if (!worthReporting(m))
            continue;
        QString key;
        if (p.chat)
            key = QStringLiteral("chat:%1").arg(*p.chat);
        else if (p.handle && *p.handle > 0)
            key = QStringLiteral("handle:%1").arg(*p.handle);
        else
            key = QStringLiteral("unknown");
        Group& g = groups[key];
        if (p.chat && !chatFilled[*p.chat]) {
            chatFilled[*p.chat] = true;
            for (int64_t h : chats.participants(*p.chat))
                addAddress(g, chats.handleText(h, "id"));
            if (g.addresses.isEmpty())
                addAddress(g, chats.partner(*p.chat));
            g.closed = chats.oneToOne(*p.chat) && g.addresses.size() == 1;
        }
        g.messages.push_back(std::move(m));
    }
    return finish(groups, out);
}

int mapGroupLayout(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("message", {{"msg_pieces", "message_id"}, {"madrid_attachment", "message_id"}});
    ctx.inferRowids("msg_group", {{"message", "group_id"}, {"group_member", "group_id"}});
    const CarvedTable& messages = ctx.table("message");
    const CarvedIndex members(ctx.table("group_member"), "group_id");
    const CarvedIndex pieces(ctx.table("msg_pieces"), "message_id");
    const CarvedIndex madridFiles(ctx.table("madrid_attachment"), "message_id");
    std::set<int64_t> rowids;
    for (const Row* row : messages.rows)
        if (const auto rowid = rowidOf(messages, *row))
            rowids.insert(*rowid);
    auto livePieces = liveRowsOf(
        ctx, "SELECT message_id, part_id, content_type, data, content_loc FROM msg_pieces ORDER BY rowid", rowids);
    for (auto& e : livePieces)
        std::stable_sort(e.second.begin(), e.second.end(), [](const std::vector<QVariant>& a, const std::vector<QVariant>& b) {
            return a[1].toLongLong() < b[1].toLongLong();
        });
    const auto liveMadridFiles = liveRowsOf(ctx, "SELECT message_id, filename FROM madrid_attachment ORDER BY rowid", rowids);
    const std::vector<std::vector<QVariant>> noRows;
    auto liveOf = [&noRows](const auto& rows, int64_t key) -> const std::vector<std::vector<QVariant>>& {
        auto it = rows.find(key);
        return it == rows.end() ? noRows : it->second;
    };

    const int cAddress = messages.col("address"), cDate = messages.col("date"), cText = messages.col("text"),
              cFlags = messages.col("flags"), cGroup = messages.col("group_id"), cSubject = messages.col("subject"),
              cMadrid = messages.col("is_madrid"), cHandle = messages.col("madrid_handle"),
              cMadridFlags = messages.col("madrid_flags"), cMadridError = messages.col("madrid_error");

    struct Piece {
        int64_t order;
        int kind;
        QString data;
    };
    std::map<QString, Group> groups;
    std::map<int64_t, bool> groupFilled;
    for (const Row* row : messages.rows) {
        const auto rowid = rowidOf(messages, *row);
        MessageRecord m;
        m.partial = lostSomeValue(messages, *row);
        m.orphan = fromOrphanPage(*row);
        const bool madrid = toInt32(integer(messages, *row, cMadrid)) != 0;
        m.service = madrid ? 1 : 0;
        m.address = text(*row, madrid ? cHandle : cAddress);
        if (m.address.isEmpty())
            m.address = text(*row, madrid ? cAddress : cHandle);
        m.date = seconds(real(*row, cDate));
        m.subject = text(*row, cSubject);
        // Short messages: flags 3 sent, 2 received, bit 5 a failure. iMessages: bit 15 of
        // madrid_flags marks the device owner's side, madrid_error a failure.
        const int flags = toInt32(integer(messages, *row, cFlags));
        const int madridFlags = toInt32(integer(messages, *row, cMadridFlags));
        m.fromMe = madrid ? ((madridFlags & 0x8000) ? 1 : 0) : ((flags & 1) ? 1 : 0);
        m.failure = madrid ? toInt32(integer(messages, *row, cMadridError)) : ((flags & 32) ? 1 : 0);

        std::vector<Piece> parts;
        if (rowid) {
            const CarvedTable& pt = pieces.table();
            auto addPart = [&](int64_t partId, const QString& type, const QString& dataText, const QString& location) {
                if (type.startsWith(QLatin1String("text/"), Qt::CaseInsensitive)) {
                    if (!dataText.isEmpty())
                        parts.push_back({partId, 1, dataText});
                } else if (!type.contains(QLatin1String("smil"), Qt::CaseInsensitive) && !location.isEmpty()) {
                    parts.push_back({partId, 0, location});
                }
            };
            std::set<int64_t> seenParts;
            for (const auto& r : liveOf(livePieces, *rowid)) {
                seenParts.insert(r[1].toLongLong());
                addPart(r[1].toLongLong(), r[2].toString(), QString::fromUtf8(r[3].toByteArray()), r[4].toString());
            }
            for (const Row* p : pieces.find(*rowid)) {
                const auto partId = integer(pt, *p, pt.col("part_id"));
                if (partId && seenParts.count(*partId))
                    continue;
                m.partial = m.partial || lostSomeValue(pt, *p);
                addPart(partId.value_or(0), text(*p, pt.col("content_type")), text(*p, pt.col("data")),
                        text(*p, pt.col("content_loc")));
            }
            for (const auto& r : liveOf(liveMadridFiles, *rowid))
                if (!r[1].toString().isEmpty())
                    parts.push_back({1 << 30, 0, r[1].toString()});
            const CarvedTable& mt = madridFiles.table();
            for (const Row* a : madridFiles.find(*rowid)) {
                m.partial = m.partial || lostSomeValue(mt, *a);
                const QString f = text(*a, mt.col("filename"));
                if (!f.isEmpty())
                    parts.push_back({1 << 30, 0, f});
            }
            std::stable_sort(parts.begin(), parts.end(), [](const Piece& a, const Piece& b) { return a.order < b.order; });
        }
        const QString body = shownText(*row, cText);
        if (parts.empty() || madrid) {
            std::vector<QString> files;
            for (const Piece& p : parts)
                if (p.kind == 0)
                    files.push_back(p.data);
            buildPieces(m, body, files);
        } else {
            m.text = body;
            for (const Piece& p : parts)
                m.pieces.push_back({p.kind, p.data});
        }
        if (!worthReporting(m))
            continue;

        const auto group = integer(messages, *row, cGroup);
        const QString key = group ? QStringLiteral("group:%1").arg(*group) : QStringLiteral("address:") + m.address;
        Group& g = groups[key];
        if (group && !groupFilled[*group]) {
            groupFilled[*group] = true;
            for (const auto& r : ctx.live().rows("SELECT address FROM group_member WHERE group_id = ? ORDER BY rowid",
                                                 {QVariant(qint64(*group))}))
                addAddress(g, r.front().toString());
            const CarvedTable& gt = members.table();
            for (const Row* member : members.find(*group))
                addAddress(g, text(*member, gt.col("address")));
        }
        g.messages.push_back(std::move(m));
    }
    return finish(groups, out);
}

} // namespace

int mapMessages(ScanContext& ctx, RecordStore& out)
{
    if (!ctx.table("message").exists())
        return 0;
    if (ctx.hasTable("chat_message_join") || ctx.hasTable("handle"))
        return mapChatLayout(ctx, out);
    return mapGroupLayout(ctx, out);
}

} // namespace sqlrecovery
