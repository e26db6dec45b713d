// Messages: deleted message rows grouped into conversations, for both sms.db layouts.
// - chat layout (chat, handle, message, attachment and the join tables): a message's
//   conversation is its chat_message_join row (deleted with it, or still live); participants come
//   from chat_handle_join and handle; attachments from message_attachment_join and attachment.
// - group layout (message, msg_group, group_member, msg_pieces): the conversation is group_id,
//   participants are group_member rows, MMS parts are msg_pieces, iMessage files madrid_attachment.
// Rows of the lookup tables are taken live first, then from what was carved. Messages of one
// conversation are listed newest first (the converter adds them in reverse); conversations by
// their newest message, newest first.

#include "RecoveryContext_p.h"

#include <algorithm>
#include <map>
#include <set>

namespace sqlrecovery {

namespace {

const QChar kObjectReplacement(0xFFFC);

struct Group {
    QStringList addresses;
    std::vector<MessageRecord> messages;
    int newest = 0;
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

std::vector<MessageGroupRecord> finish(std::map<QString, Group>& groups)
{
    std::vector<Group*> order;
    for (auto& e : groups) {
        Group& g = e.second;
        std::stable_sort(g.messages.begin(), g.messages.end(),
                         [](const MessageRecord& a, const MessageRecord& b) { return a.date > b.date; });
        g.newest = g.messages.empty() ? 0 : g.messages.front().date;
        for (const MessageRecord& m : g.messages)
            addAddress(g, m.address);
        order.push_back(&g);
    }
    std::stable_sort(order.begin(), order.end(), [](const Group* a, const Group* b) { return a->newest > b->newest; });
    std::vector<MessageGroupRecord> out;
    for (Group* g : order) {
        if (g->messages.empty())
            continue;
        MessageGroupRecord r;
        r.addresses = g->addresses;
        r.messages = std::move(g->messages);
        out.push_back(std::move(r));
    }
    return out;
}

bool worthReporting(const MessageRecord& m)
{
    return !m.text.isEmpty() || !m.subject.isEmpty() || !m.pieces.empty();
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

int mapChatLayout(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("handle", {{"message", "handle_id"}, {"chat_handle_join", "handle_id"}});
    ctx.inferRowids("chat", {{"chat_message_join", "chat_id"}, {"chat_handle_join", "chat_id"}});
    ctx.inferRowids("message", {{"chat_message_join", "message_id"}, {"message_attachment_join", "message_id"}});
    ctx.inferRowids("attachment", {{"message_attachment_join", "attachment_id"}});
    const CarvedTable& messages = ctx.table("message");
    const CarvedIndex cmj(ctx.table("chat_message_join"), "message_id");
    const CarvedIndex chj(ctx.table("chat_handle_join"), "chat_id");
    const CarvedIndex maj(ctx.table("message_attachment_join"), "message_id");
    std::map<int64_t, QString> handleIds, chatIdentifiers, attachmentFiles;

    const int cText = messages.col("text"), cHandle = messages.col("handle_id"), cSubject = messages.col("subject"),
              cService = messages.col("service"), cDate = messages.col("date"), cFromMe = messages.col("is_from_me"),
              cSent = messages.col("is_sent"), cError = messages.col("error");

    std::map<QString, Group> groups;
    std::map<int64_t, bool> chatFilled;
    for (const Row* row : messages.rows) {
        const auto rowid = rowidOf(messages, *row);
        MessageRecord m;
        const QString service = text(*row, cService);
        m.service = service.isEmpty() || service == QLatin1String("SMS") ? 0 : 1;
        const auto handle = integer(messages, *row, cHandle);
        if (handle && *handle > 0)
            m.address = lookupText(ctx, "handle", "id", *handle, handleIds);
        m.date = seconds(real(*row, cDate));
        m.subject = text(*row, cSubject);
        m.fromMe = toInt32(integer(messages, *row, cFromMe)) != 0 ? 1 : 0;
        const int error = toInt32(integer(messages, *row, cError));
        const auto sent = integer(messages, *row, cSent);
        m.failure = error != 0 ? error : (m.fromMe && sent && *sent == 0 ? 1 : 0);

        std::vector<QString> files;
        std::optional<int64_t> chat;
        if (rowid) {
            std::set<int64_t> attachmentIds;
            for (const Row* j : maj.find(*rowid))
                if (const auto a = integer(maj.table(), *j, maj.table().col("attachment_id")))
                    attachmentIds.insert(*a);
            for (const auto& r : ctx.live().rows("SELECT attachment_id FROM message_attachment_join WHERE message_id = ?",
                                                 {QVariant(qint64(*rowid))}))
                attachmentIds.insert(r.front().toLongLong());
            for (int64_t a : attachmentIds) {
                const QString f = lookupText(ctx, "attachment", "filename", a, attachmentFiles);
                if (!f.isEmpty())
                    files.push_back(f);
            }
            for (const Row* j : cmj.find(*rowid))
                if ((chat = integer(cmj.table(), *j, cmj.table().col("chat_id"))))
                    break;
            if (!chat) {
                const QVariant c = ctx.live().value("SELECT chat_id FROM chat_message_join WHERE message_id = ?",
                                                    {QVariant(qint64(*rowid))});
                if (c.isValid())
                    chat = c.toLongLong();
            }
        }
        if (!chat && handle && *handle > 0) {
            // The join row is tiny and rarely survives a deletion; a sender who takes part in
            // exactly one conversation names it.
            const auto chats = ctx.live().rows("SELECT DISTINCT chat_id FROM chat_handle_join WHERE handle_id = ?",
                                               {QVariant(qint64(*handle))});
            if (chats.size() == 1)
                chat = chats.front().front().toLongLong();
        }
        buildPieces(m, text(*row, cText), files);
        if (!worthReporting(m))
            continue;

        QString key;
        if (chat)
            key = QStringLiteral("chat:%1").arg(*chat);
        else if (handle && *handle > 0)
            key = QStringLiteral("handle:%1").arg(*handle);
        else
            key = QStringLiteral("unknown");
        Group& g = groups[key];
        if (chat && !chatFilled[*chat]) {
            chatFilled[*chat] = true;
            std::set<int64_t> handles;
            for (const Row* j : chj.find(*chat))
                if (const auto h = integer(chj.table(), *j, chj.table().col("handle_id")))
                    handles.insert(*h);
            for (const auto& r : ctx.live().rows("SELECT handle_id FROM chat_handle_join WHERE chat_id = ?",
                                                 {QVariant(qint64(*chat))}))
                handles.insert(r.front().toLongLong());
            for (int64_t h : handles)
                addAddress(g, lookupText(ctx, "handle", "id", h, handleIds));
            if (g.addresses.isEmpty())
                addAddress(g, lookupText(ctx, "chat", "chat_identifier", *chat, chatIdentifiers));
        }
        g.messages.push_back(std::move(m));
    }
    int added = 0;
    for (auto& r : finish(groups)) {
        out.messageGroups.push_back(std::move(r));
        ++added;
    }
    return added;
}

int mapGroupLayout(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("message", {{"msg_pieces", "message_id"}, {"madrid_attachment", "message_id"}});
    ctx.inferRowids("msg_group", {{"message", "group_id"}, {"group_member", "group_id"}});
    const CarvedTable& messages = ctx.table("message");
    const CarvedIndex members(ctx.table("group_member"), "group_id");
    const CarvedIndex pieces(ctx.table("msg_pieces"), "message_id");
    const CarvedIndex madridFiles(ctx.table("madrid_attachment"), "message_id");

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
            for (const auto& r : ctx.live().rows("SELECT part_id, content_type, data, content_loc FROM msg_pieces WHERE "
                                                 "message_id = ? ORDER BY part_id",
                                                 {QVariant(qint64(*rowid))})) {
                seenParts.insert(r[0].toLongLong());
                addPart(r[0].toLongLong(), r[1].toString(), QString::fromUtf8(r[2].toByteArray()), r[3].toString());
            }
            for (const Row* p : pieces.find(*rowid)) {
                const auto partId = integer(pt, *p, pt.col("part_id"));
                if (partId && seenParts.count(*partId))
                    continue;
                addPart(partId.value_or(0), text(*p, pt.col("content_type")), text(*p, pt.col("data")),
                        text(*p, pt.col("content_loc")));
            }
            for (const auto& r : ctx.live().rows("SELECT filename FROM madrid_attachment WHERE message_id = ?",
                                                 {QVariant(qint64(*rowid))}))
                if (!r.front().toString().isEmpty())
                    parts.push_back({1 << 30, 0, r.front().toString()});
            const CarvedTable& mt = madridFiles.table();
            for (const Row* a : madridFiles.find(*rowid)) {
                const QString f = text(*a, mt.col("filename"));
                if (!f.isEmpty())
                    parts.push_back({1 << 30, 0, f});
            }
            std::stable_sort(parts.begin(), parts.end(), [](const Piece& a, const Piece& b) { return a.order < b.order; });
        }
        const QString body = text(*row, cText);
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
    int added = 0;
    for (auto& r : finish(groups)) {
        out.messageGroups.push_back(std::move(r));
        ++added;
    }
    return added;
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
