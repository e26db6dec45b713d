#include "MessageReader_p.h"

#include <QHash>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "AddressBookReader_p.h"
#include "PersonMatcher_p.h"
#include "ReadOnlyDatabase_p.h"
#include "utility/Log.h"

namespace contactdb {

namespace {

const char kModule[] = "BackupContact";
const char kEmpty[] = "";
const double kUnixOf2001 = 978307200.0;
const char kPlaceholder[] = "\xEF\xBF\xBC"; // U+FFFC: where an iMessage shows an attachment
const int kPlaceholderBytes = 3;
const qint64 kFromMeFlag = 0x1;
const qint64 kFailedFlag = 0x20;
const qint64 kMadridFromMeFlag = 0x8000;

int32_t clampInt32(double v)
{
    if (std::isnan(v))
        return 0;
    const double low = std::numeric_limits<int32_t>::min(), high = std::numeric_limits<int32_t>::max();
    return int32_t(std::clamp(v, low, high));
}

int32_t clampInt32(qint64 v)
{
    return int32_t(std::clamp<qint64>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

bool isBlank(const QByteArray& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// A short run of letters and digits, so a hostile name cannot turn a location into a path.
bool isExtension(const QByteArray& ext)
{
    if (ext.isEmpty() || ext.size() > 8)
        return false;
    return std::all_of(ext.begin(), ext.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// "Image/JPEG; name=a.jpg" -> "image/jpeg"
QByteArray baseType(const QByteArray& type)
{
    const int semicolon = int(type.indexOf(';'));
    return (semicolon < 0 ? type : type.left(semicolon)).trimmed().toLower();
}

QByteArray extensionOfType(const QByteArray& lowerType)
{
    static const char* const known[][2] = {
        {"image/jpeg", "jpg"},      {"image/jpg", "jpg"},        {"image/pjpeg", "jpg"},
        {"image/png", "png"},       {"image/gif", "gif"},        {"image/bmp", "bmp"},
        {"image/tiff", "tiff"},     {"video/3gpp", "3gp"},       {"video/3gpp2", "3g2"},
        {"video/mp4", "mp4"},       {"video/quicktime", "mov"},  {"audio/amr", "amr"},
        {"audio/mp4", "m4a"},       {"audio/mpeg", "mp3"},       {"audio/aac", "aac"},
        {"audio/wav", "wav"},       {"audio/x-wav", "wav"},      {"text/x-vcard", "vcf"},
        {"text/vcard", "vcf"},      {"text/directory", "vcf"},   {"text/x-vcalendar", "vcs"},
        {"text/calendar", "ics"},   {"text/plain", "txt"},
    };
    for (const auto& k : known)
        if (lowerType == k[0])
            return k[1];
    const QByteArray subtype = lowerType.mid(lowerType.indexOf('/') + 1);
    return lowerType.contains('/') && isExtension(subtype) ? subtype : QByteArray();
}

// Cards and calendars are text/* by type but files to the person reading the message.
bool isTextPart(const QByteArray& lowerType)
{
    return lowerType.startsWith("text/") && !lowerType.contains("card") && !lowerType.contains("calendar")
           && lowerType != "text/directory";
}

// madrid_attachment rows without a MIME type still name the kind by UTI.
QByteArray typeOfUti(const QByteArray& uti)
{
    static const char* const known[][2] = {
        {"public.jpeg", "image/jpeg"},     {"public.png", "image/png"},
        {"com.compuserve.gif", "image/gif"}, {"public.tiff", "image/tiff"},
        {"com.apple.quicktime-movie", "video/quicktime"}, {"public.mpeg-4", "video/mp4"},
        {"public.vcard", "text/vcard"},    {"com.apple.coreaudio-format", "audio/x-caf"},
    };
    for (const auto& k : known)
        if (uti == k[0])
            return k[1];
    return QByteArray();
}

struct Attachment {
    QByteArray location;
    QByteArray type;
};

// One message row as read; becomes a record only when it has something to show.
struct Row {
    qint64 rowid = 0;
    qint64 group = 0;
    QByteArray address;
    QByteArray text;
    QByteArray subject;
    QByteArray country;
    int32_t date = 0;
    bool iMessage = false;
    bool fromMe = false;
    bool sentDone = true;
    SmsPieceRecord* pieces = nullptr; // in display order
    SmsPieceRecord* lastPiece = nullptr;
    int firstAttachment = 0; // iMessage attachments: a run of Load::m_attachments
    int attachmentCount = 0;
};

struct Conversation {
    qint64 group = 0; // 0: the messages of `address` that have no group
    QByteArray address;
    QByteArray country;
    std::vector<int> rows;
    std::vector<SmsAddressEntry*> members;
};

class Load
{
public:
    Load(RecordArena& arena, const PieceHook* hook) : m_arena(arena), m_hook(hook && hook->read ? hook : nullptr) {}

    bool readMessages(const ReadOnlyDatabase& db);
    void readParts(const ReadOnlyDatabase& db);
    void readAttachments(const ReadOnlyDatabase& db);
    void readGroups(const ReadOnlyDatabase& db);
    // Composes the pieces, drops messages with nothing to show and puts the others into their
    // group's conversation, or their address's when they have no group.
    void arrange();
    void readMembers(const ReadOnlyDatabase& db, const PersonMatcher& matcher);
    SmsRecordList* records();
    int messageCount() const { return m_kept; }

private:
    Row* row(qint64 rowid);
    void append(Row& r, SmsPieceRecord* piece);
    SmsPieceRecord* textPiece(const QByteArray& type, const QByteArray& text);
    SmsPieceRecord* attachmentPiece(const QByteArray& type, const QByteArray& location);
    void composeIMessage(Row& r);
    void appendAttachment(Row& r, int n);
    SmsAddressEntry* entry(qint64 rowid, qint64 group, const QByteArray& address, const QByteArray& country,
                           const PersonMatcher& matcher);
    const char* text(const QByteArray& utf8) { return utf8.isEmpty() ? kEmpty : m_arena.text(utf8); }
    const char* shared(QHash<QByteArray, const char*>& pool, const QByteArray& utf8);
    SmsMessageRecord* record(const Row& r);

    RecordArena& m_arena;
    const PieceHook* m_hook;
    std::vector<Row> m_rows; // in ROWID order
    std::vector<Attachment> m_attachments;
    std::vector<Conversation> m_conversations;
    QHash<qint64, int> m_groupIndex;
    QHash<QByteArray, const char*> m_addresses;
    QHash<QByteArray, const char*> m_types;
    QHash<QByteArray, const SmsPersonMatch*> m_matches;
    QHash<const addressbookdb*, const SmsPersonMatch*> m_persons;
    int m_kept = 0;
};

Row* Load::row(qint64 rowid)
{
    const auto at = std::lower_bound(m_rows.begin(), m_rows.end(), rowid,
                                     [](const Row& r, qint64 id) { return r.rowid < id; });
    return at != m_rows.end() && at->rowid == rowid ? &*at : nullptr;
}

const char* Load::shared(QHash<QByteArray, const char*>& pool, const QByteArray& utf8)
{
    if (utf8.isEmpty())
        return kEmpty;
    const char*& held = pool[utf8];
    if (!held)
        held = m_arena.text(utf8);
    return held;
}

void Load::append(Row& r, SmsPieceRecord* piece)
{
    if (r.lastPiece)
        r.lastPiece->next = piece;
    else
        r.pieces = piece;
    r.lastPiece = piece;
}

SmsPieceRecord* Load::textPiece(const QByteArray& type, const QByteArray& text)
{
    SmsPieceRecord* p = m_arena.make<SmsPieceRecord>();
    p->contentType = shared(m_types, type.isEmpty() ? QByteArray("text/plain") : type);
    p->location = kEmpty;
    p->data = m_arena.bytes(text);
    p->dataSize = int32_t(text.size());
    return p;
}

SmsPieceRecord* Load::attachmentPiece(const QByteArray& type, const QByteArray& location)
{
    SmsPieceRecord* p = m_arena.make<SmsPieceRecord>();
    p->contentType = shared(m_types, type.isEmpty() ? QByteArray("application/octet-stream") : type);
    p->location = text(location);
    if (!m_hook || location.isEmpty())
        return p;
    const unsigned char* data = nullptr;
    int32_t size = 0;
    if (m_hook->read(nullptr, p->location, &data, &size, m_hook->reader) && data && size > 0) {
        // The hook's buffer is reused by its next call.
        p->data = m_arena.bytes(QByteArray(reinterpret_cast<const char*>(data), size));
        p->dataSize = size;
    }
    return p;
}

bool Load::readMessages(const ReadOnlyDatabase& db)
{
    enum { Rowid, Address, Date, Text, Flags, Group, Subject, Country, Handle, MadridFlags, MadridError, IsMadrid };
    static const char* const columns[] = {"address", "date",          "text",         "flags",        "group_id", "subject",
                                          "country", "madrid_handle", "madrid_flags", "madrid_error", "is_madrid"};
    QByteArray sql = "select ROWID";
    for (const char* column : columns)
        sql += ", " + columnOrNull(db, "message", column);
    Statement s(db, sql + " from message order by ROWID");
    if (!s.ok()) {
        Log(kModule, 0, "The message table of %s cannot be read", db.path().toUtf8().constData());
        return false;
    }
    while (s.next()) {
        Row r;
        r.rowid = s.int64(Rowid);
        r.iMessage = s.int64(IsMadrid) != 0;
        r.group = s.int64(Group);
        const QByteArray handle = r.iMessage ? s.text(Handle) : QByteArray();
        r.address = handle.isEmpty() ? s.text(Address) : handle;
        r.text = s.text(Text);
        r.subject = s.text(Subject);
        r.country = s.text(Country);
        r.date = messageDate(sqlite3_column_double(s.handle(), Date), r.iMessage);
        if (r.iMessage) {
            r.fromMe = (s.int64(MadridFlags) & kMadridFromMeFlag) != 0;
            r.sentDone = s.int64(MadridError) == 0;
        } else {
            const qint64 flags = s.int64(Flags);
            r.fromMe = (flags & kFromMeFlag) != 0;
            r.sentDone = (flags & kFailedFlag) == 0;
        }
        m_rows.push_back(std::move(r));
    }
    return true;
}

void Load::readParts(const ReadOnlyDatabase& db)
{
    if (!db.hasTable("msg_pieces"))
        return;
    if (!db.hasColumn("msg_pieces", "message_id")) {
        Log(kModule, 1, " msg_pieces of %s has no message_id column; no MMS parts read",
            db.path().toUtf8().constData());
        return;
    }
    const QByteArray part = columnOrNull(db, "msg_pieces", "part_id");
    Statement s(db, "select message_id, " + part + ", " + columnOrNull(db, "msg_pieces", "content_type") + ", "
                        + columnOrNull(db, "msg_pieces", "content_loc") + ", " + columnOrNull(db, "msg_pieces", "data")
                        + " from msg_pieces order by message_id, " + part + ", ROWID");
    if (!s.ok())
        Log(kModule, 1, " msg_pieces of %s cannot be read; no MMS parts read", db.path().toUtf8().constData());
    while (s.next()) {
        Row* r = row(s.int64(0));
        if (!r || r->iMessage)
            continue;
        const QByteArray type = s.text(2).trimmed();
        const QByteArray base = baseType(type);
        if (base == "application/smil")
            continue; // the layout of the slides, not content
        if (isTextPart(base)) {
            const QByteArray data = s.blob(4);
            if (!isBlank(data))
                append(*r, textPiece(type, data));
        } else {
            append(*r, attachmentPiece(type, partLocation(r->rowid, s.int64(1), type, s.text(3))));
        }
    }
}

void Load::readAttachments(const ReadOnlyDatabase& db)
{
    if (!db.hasTable("madrid_attachment"))
        return;
    if (!db.hasColumn("madrid_attachment", "message_id")) {
        Log(kModule, 1, " madrid_attachment of %s has no message_id column; no iMessage attachments read",
            db.path().toUtf8().constData());
        return;
    }
    Statement s(db, "select message_id, " + columnOrNull(db, "madrid_attachment", "filename") + ", "
                        + columnOrNull(db, "madrid_attachment", "mime_type") + ", "
                        + columnOrNull(db, "madrid_attachment", "uti_type")
                        + " from madrid_attachment order by message_id, ROWID");
    if (!s.ok())
        Log(kModule, 1, " madrid_attachment of %s cannot be read", db.path().toUtf8().constData());
    while (s.next()) {
        Row* r = row(s.int64(0));
        if (!r || !r->iMessage)
            continue;
        // Rows come ordered by message, so each message's attachments are one run; ids stored
        // as mixed types could split it, and a stray second run is left out.
        if (r->attachmentCount == 0)
            r->firstAttachment = int(m_attachments.size());
        else if (r->firstAttachment + r->attachmentCount != int(m_attachments.size()))
            continue;
        QByteArray type = s.text(2).trimmed();
        if (type.isEmpty())
            type = typeOfUti(s.text(3).trimmed());
        m_attachments.push_back({s.text(1), type});
        ++r->attachmentCount;
    }
}

// The text around each placeholder is a text piece, each placeholder the next attachment.
void Load::composeIMessage(Row& r)
{
    QList<QByteArray> parts;
    for (int from = 0;;) {
        const int at = int(r.text.indexOf(kPlaceholder, from));
        parts << r.text.mid(from, at < 0 ? -1 : at - from);
        if (at < 0)
            break;
        from = at + kPlaceholderBytes;
    }
    const int placeholders = int(parts.size()) - 1;
    for (int i = 0; i < parts.size(); ++i) {
        const QByteArray trimmed = parts[i].trimmed();
        if (!trimmed.isEmpty())
            append(r, textPiece("text/plain", trimmed));
        if (i < placeholders && i < r.attachmentCount)
            appendAttachment(r, i);
    }
    // Without placeholders every attachment follows the text.
    if (placeholders == 0)
        for (int a = 0; a < r.attachmentCount; ++a)
            appendAttachment(r, a);
}

void Load::appendAttachment(Row& r, int n)
{
    const Attachment& a = m_attachments[size_t(r.firstAttachment + n)];
    append(r, attachmentPiece(a.type, a.location));
}

void Load::readGroups(const ReadOnlyDatabase& db)
{
    if (db.hasTable("msg_group")) {
        Statement s(db, "select ROWID from msg_group order by ROWID");
        while (s.next()) {
            const qint64 group = s.int64(0);
            if (group == 0)
                continue; // group_id 0 means "no group"
            m_groupIndex.insert(group, int(m_conversations.size()));
            m_conversations.push_back(Conversation{group, {}, {}, {}, {}});
        }
    }
}

void Load::arrange()
{
    QHash<QByteArray, int> byAddress;
    for (int i = 0; i < int(m_rows.size()); ++i) {
        Row& r = m_rows[size_t(i)];
        if (r.iMessage && r.attachmentCount > 0)
            composeIMessage(r);
        if (!r.pieces) {
            if (r.text.contains(kPlaceholder))
                r.text.replace(kPlaceholder, ""); // attachments that are not there
            if (isBlank(r.text))
                continue; // nothing to show
        }
        ++m_kept;
        int index = r.group != 0 ? m_groupIndex.value(r.group, -1) : -1;
        if (index < 0) {
            const QByteArray key = r.address.isNull() ? QByteArray("") : r.address;
            index = byAddress.value(key, -1);
            if (index < 0) {
                index = int(m_conversations.size());
                byAddress.insert(key, index);
                m_conversations.push_back(Conversation{0, key, r.country, {}, {}});
            }
        }
        m_conversations[size_t(index)].rows.push_back(i);
    }
}

SmsAddressEntry* Load::entry(qint64 rowid, qint64 group, const QByteArray& address, const QByteArray& country,
                             const PersonMatcher& matcher)
{
    SmsAddressEntry* e = m_arena.make<SmsAddressEntry>();
    e->rowid = clampInt32(rowid);
    e->groupId = clampInt32(group);
    e->address = shared(m_addresses, address);
    e->country = text(country.trimmed().toLower());
    const auto known = m_matches.constFind(address);
    const SmsPersonMatch* match = nullptr;
    if (known != m_matches.constEnd()) {
        match = known.value();
    } else {
        if (const addressbookdb* person = matcher.find(address)) {
            const SmsPersonMatch*& held = m_persons[person];
            if (!held) {
                SmsPersonMatch* m = m_arena.make<SmsPersonMatch>();
                m->person = &person->person;
                m->personRowid = person->rowid;
                held = m;
            }
            match = held;
        }
        m_matches.insert(address, match);
    }
    e->match = match;
    e->personRowid = match ? match->personRowid : 0;
    return e;
}

void Load::readMembers(const ReadOnlyDatabase& db, const PersonMatcher& matcher)
{
    if (db.hasTable("group_member") && db.hasColumn("group_member", "group_id")) {
        Statement s(db, "select ROWID, group_id, " + columnOrNull(db, "group_member", "address") + ", "
                            + columnOrNull(db, "group_member", "country") + " from group_member order by ROWID");
        while (s.next()) {
            const int index = m_groupIndex.value(s.int64(1), -1);
            if (index < 0 || m_conversations[size_t(index)].rows.empty())
                continue;
            Conversation& c = m_conversations[size_t(index)];
            c.members.push_back(entry(s.int64(0), s.int64(1), s.text(2), s.text(3), matcher));
        }
    }
    for (Conversation& c : m_conversations)
        if (c.group == 0 && !c.rows.empty())
            c.members.push_back(entry(0, 0, c.address, c.country, matcher));
}

SmsMessageRecord* Load::record(const Row& r)
{
    SmsMessageRecord* m = m_arena.make<SmsMessageRecord>();
    m->rowid = clampInt32(std::max<qint64>(r.rowid, 1)); // 0 would read as "no row"
    m->address = shared(m_addresses, r.address);
    m->text = r.pieces ? kEmpty : text(r.text);
    m->date = r.date;
    m->subject = text(r.subject);
    m->fromMe = r.fromMe;
    m->sentDone = r.sentDone;
    m->normalSms = !r.iMessage;
    m->pieces = r.pieces;
    return m;
}

SmsRecordList* Load::records()
{
    SmsRecordList* list = m_arena.make<SmsRecordList>();
    SmsConversationRecord* lastConversation = nullptr;
    for (Conversation& c : m_conversations) {
        if (c.rows.empty())
            continue;
        // Rows are in ROWID order, so a stable sort breaks date ties by ROWID.
        std::stable_sort(c.rows.begin(), c.rows.end(),
                         [this](int a, int b) { return m_rows[size_t(a)].date < m_rows[size_t(b)].date; });
        SmsConversationRecord* conversation = m_arena.make<SmsConversationRecord>();
        conversation->groupId = clampInt32(c.group);
        SmsAddressNode* lastNode = nullptr;
        for (SmsAddressEntry* e : c.members) {
            SmsAddressNode* node = m_arena.make<SmsAddressNode>();
            node->entry = e;
            (lastNode ? lastNode->next : conversation->addresses) = node;
            lastNode = node;
        }
        for (const int index : c.rows) {
            SmsMessageRecord* m = record(m_rows[size_t(index)]);
            (conversation->newest ? conversation->newest->next : conversation->messages) = m;
            conversation->newest = m;
            ++conversation->messageCount;
        }
        (lastConversation ? lastConversation->next : list->first) = conversation;
        lastConversation = conversation;
        ++list->count;
    }
    return list;
}

} // namespace

int32_t messageDate(double stored, bool iMessage)
{
    if (std::isnan(stored))
        return 0;
    if (std::fabs(stored) > 1e12)
        return clampInt32(stored / 1e9 + kUnixOf2001);
    return clampInt32(iMessage ? stored + kUnixOf2001 : stored);
}

QByteArray partLocation(qint64 messageId, qint64 partId, const QByteArray& contentType, const QByteArray& contentLoc)
{
    const int dot = int(contentLoc.lastIndexOf('.'));
    QByteArray ext = dot >= 0 ? contentLoc.mid(dot + 1) : QByteArray();
    if (!isExtension(ext))
        ext = extensionOfType(baseType(contentType));
    QByteArray location = QByteArray::number(messageId) + '-' + QByteArray::number(partId);
    return ext.isEmpty() ? location : location + '.' + ext;
}

SmsRecordList* MessageReader::read(const QString& smsDb, const QString& addressBook, const PieceHook* hook)
{
    ReadOnlyDatabase db;
    if (!db.open(smsDb, kModule))
        return nullptr;
    if (!db.hasTable("message")) {
        Log(kModule, 0, "No message table in %s", smsDb.toUtf8().constData());
        return nullptr;
    }
    Load load(m_arena, hook);
    if (!load.readMessages(db))
        return nullptr;
    load.readParts(db);
    load.readAttachments(db);
    load.readGroups(db);
    load.arrange();

    const ContactRecordList* people = nullptr;
    if (!addressBook.isEmpty()) {
        AddressBookReader book(m_arena);
        people = book.read(addressBook, QString());
        if (!people)
            Log(kModule, 1, " participants of %s left unmatched", smsDb.toUtf8().constData());
    }
    load.readMembers(db, PersonMatcher(people));
    SmsRecordList* list = load.records();
    Log(kModule, 1, " %d conversations, %d messages read from %s", int(list->count), load.messageCount(),
        smsDb.toUtf8().constData());
    return list;
}

} // namespace contactdb
