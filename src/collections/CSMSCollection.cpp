#include "CSMSCollection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "AttributedBody.h"
#include "BackupFiles.h"
#include "CIProgressCallback.h"
#include "CManifestRecord.h"
#include "CSubProgress.h"
#include "ContactIndex.h"
#include "PhoneNumberMatching.h"
#include "contact/IBackupContact.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "kddata/KdSMSChatGroup.h"
#include "utility/Log.h"

namespace {

const QChar kObjectReplacement(0xFFFC);
const char kHomeDomain[] = "HomeDomain";
const char kSmsDb[] = "Library/SMS/sms.db";
const char kSmsFolder[] = "Library/SMS/";

// Beyond this a 2001-based date is nanoseconds: as seconds it would lie 3,000 years away, as
// nanoseconds it is within two minutes of 2001.
const qint64 kNanosecondDates = 100000000000LL;
const qint64 kNanosecondsPerSecond = 1000000000;

// associated_message_type of a reaction given (2000 + kind) and taken back (3000 + kind).
const int kReactionGiven = 2000;
const int kReactionTaken = 3000;
const int kReactionKinds = 7;
const int kEmojiKind = 6;
const char* const kReactionNames[kReactionKinds] = {"love", "like", "dislike", "laugh", "emphasize", "question", "emoji"};
const char* const kReactionVerbs[kReactionKinds] = {"Loved", "Liked", "Disliked", "Laughed at", "Emphasized", "Questioned",
                                                    "Reacted to"};

bool isReaction(int type)
{
    return (type >= kReactionGiven && type < kReactionGiven + kReactionKinds)
        || (type >= kReactionTaken && type < kReactionTaken + kReactionKinds);
}

QString reactionName(int type, const QString& emoji)
{
    const int kind = type % 1000;
    if (kind == kEmojiKind && !emoji.isEmpty())
        return emoji;
    return QString::fromLatin1(kReactionNames[kind]);
}

QString reactionName(const ChatMessage& m)
{
    return reactionName(m.reactionType, m.reactionEmoji);
}

} // namespace

QString reactionLine(int type, const QString& emoji, const QString& target)
{
    if (!isReaction(type))
        return QString();
    const QString what = target.isEmpty() ? QStringLiteral("a message") : QStringLiteral("\u201C%1\u201D").arg(target);
    if (type >= kReactionTaken)
        return QStringLiteral("Removed a reaction (%1) from %2").arg(reactionName(type, emoji), what);
    const int kind = type % 1000;
    if (kind == kEmojiKind && !emoji.isEmpty())
        return QStringLiteral("Reacted %1 to %2").arg(emoji, what);
    return QStringLiteral("%1 %2").arg(QLatin1String(kReactionVerbs[kind]), what);
}

namespace {

// Rows of one second keep the order they were written in.
bool earlier(const ChatMessage& a, const ChatMessage& b)
{
    return a.date != b.date ? a.date < b.date : a.rowId < b.rowId;
}

// The column when the table has it, else NULL: one statement covers every release.
QString column(const QSet<QString>& columns, const char* name, const QString& expression = QString())
{
    if (!columns.contains(QLatin1String(name)))
        return QStringLiteral("NULL");
    return expression.isEmpty() ? QStringLiteral("m.") + QLatin1String(name) : expression;
}

QSet<QString> tableColumns(const QString& path, const char* table)
{
    QSet<QString> out;
    const evidencedb::SqlitePtr db(CISQLiteQuery::openReadOnly(path));
    if (!db)
        return out;
    const evidencedb::Statement st(db.get(), QByteArray("PRAGMA table_info(") + table + ")");
    while (st.ok() && sqlite3_step(st.handle()) == SQLITE_ROW)
        out.insert(CISQLiteQuery::columnText(st.handle(), 1).toLower());
    return out;
}

QString joined(const QStringList& parts)
{
    return parts.join(QStringLiteral(", "));
}

} // namespace

// ---- queries -------------------------------------------------------------------------------

CChatQuery::CChatQuery(QMap<QString, QVector<ChatHandle>>* target) : m_pTarget(target)
{
    m_countSqls << QStringLiteral("select count(*) from chat inner join chat_handle_join chj on chat.rowid = chj.chat_id "
                                  "inner join handle on chj.handle_id = handle.rowid");
    m_sqls << QStringLiteral("select chat_identifier, handle_id, id, country, uncanonicalized_id from chat inner join "
                             "chat_handle_join chj on chat.rowid = chj.chat_id inner join handle on chj.handle_id = "
                             "handle.rowid order by chat_identifier");
}

bool CChatQuery::handleRow(sqlite3_stmt* stmt)
{
    ChatHandle h;
    h.handleId = columnInt(stmt, 1);
    h.id = columnText(stmt, 2);
    h.country = columnText(stmt, 3);
    h.uncanonicalizedId = columnText(stmt, 4);
    (*m_pTarget)[columnText(stmt, 0)].append(h);
    return true;
}

CMessageQuery::CMessageQuery(QMap<QString, QVector<ChatMessage>>* target, const QSet<QString>& columns)
    : m_pTarget(target)
{
    // "p:0/GUID" names a part of the message, "bp:GUID" the whole of it.
    const QString targetGuid = QStringLiteral("case when instr(m.associated_message_guid, '/') > 0 then "
                                              "substr(m.associated_message_guid, instr(m.associated_message_guid, '/') + 1) "
                                              "when substr(m.associated_message_guid, 1, 3) = 'bp:' then "
                                              "substr(m.associated_message_guid, 4) else m.associated_message_guid end");
    const QString reactionRange = QStringLiteral("(m.associated_message_type between %1 and %2 or m.associated_message_type "
                                                 "between %3 and %4)")
                                      .arg(kReactionGiven).arg(kReactionGiven + kReactionKinds - 1)
                                      .arg(kReactionTaken).arg(kReactionTaken + kReactionKinds - 1);
    // Looked up for reaction rows only, through guid's unique index.
    const QString targetRow = columns.contains(QStringLiteral("associated_message_guid"))
        ? QStringLiteral("case when %1 then (select t.rowid from message as t where t.guid = %2) end").arg(reactionRange, targetGuid)
        : QString();
    m_countSqls << QStringLiteral("select count(*) from chat inner join chat_message_join cmj on cmj.chat_id = chat.rowid "
                                  "inner join message on message.rowid = cmj.message_id");
    // Unsorted: seconds and nanoseconds sort together only once they are one unit, and sorting
    // each chat afterwards costs a fraction of SQLite sorting every row with its text.
    m_sqls << QStringLiteral("select chat.chat_identifier, m.rowid, m.handle_id, m.text, m.subject, m.service, m.date, "
                             "m.is_from_me, m.is_sent, %1, %2, %3, %4, %5, %6 from chat inner join chat_message_join cmj on "
                             "cmj.chat_id = chat.rowid inner join message as m on m.rowid = cmj.message_id")
                  .arg(column(columns, "attributedbody"), column(columns, "date_edited"), column(columns, "date_retracted"),
                       column(columns, "associated_message_type"), column(columns, "associated_message_guid", targetRow),
                       column(columns, "associated_message_emoji"));
}

bool CMessageQuery::handleRow(sqlite3_stmt* stmt)
{
    ChatMessage m;
    m.rowId = columnInt(stmt, 1);
    m.handleId = columnInt(stmt, 2);
    m.text = columnText(stmt, 3);
    m.subject = columnText(stmt, 4);
    // A handful of services over a million rows: share one string per service.
    const QString service = columnText(stmt, 5);
    if (service != m_lastService)
        m_lastService = service;
    m.service = m_lastService;
    m.date = CSMSCollection::secondsSince2001(sqlite3_column_int64(stmt, 6));
    m.isFromMe = columnInt(stmt, 7);
    m.isSent = columnInt(stmt, 8);
    if (m.text.isEmpty() && sqlite3_column_type(stmt, 9) != SQLITE_NULL) {
        const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, 9));
        const int size = sqlite3_column_bytes(stmt, 9);
        bool read = false;
        if (blob && size > 0)
            m.text = textFromAttributedBody(QByteArray::fromRawData(blob, size), &read);
        m.unreadBody = !read;
        if (!read)
            ++m_unreadBodies;
    }
    m.editedDate = CSMSCollection::secondsSince2001(sqlite3_column_int64(stmt, 10));
    m.unsent = sqlite3_column_int64(stmt, 11) != 0;
    const int type = columnInt(stmt, 12);
    if (isReaction(type)) {
        m.reactionType = type;
        m.targetRowId = columnInt(stmt, 13);
        m.reactionEmoji = columnText(stmt, 14);
    }
    // Rows come in no chat order; finding a chat by its raw bytes spares a string and a tree
    // search per row (identifiers fit the short-string buffer).
    const char* key = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    std::string raw(key ? key : "", key ? size_t(sqlite3_column_bytes(stmt, 0)) : 0);
    auto found = m_byIdentifier.find(raw);
    if (found == m_byIdentifier.end())
        found = m_byIdentifier.emplace(std::move(raw), &(*m_pTarget)[columnText(stmt, 0)]).first;
    found->second->append(std::move(m));
    return true;
}

CMsgPieceQuery::CMsgPieceQuery(QMap<int, QVector<MessagePiece>>* target) : m_pTarget(target)
{
    m_countSqls << QStringLiteral("select count(*) from message as m inner join message_attachment_join as maj on m.rowid = "
                                  "maj.message_id inner join attachment as a on a.rowid = maj.attachment_id order by a.rowid");
    m_sqls << QStringLiteral("select message_id, a.filename, a.mime_type from message as m inner join "
                             "message_attachment_join as maj on m.rowid = maj.message_id inner join attachment as a on "
                             "a.rowid = maj.attachment_id order by a.rowid");
}

bool CMsgPieceQuery::handleRow(sqlite3_stmt* stmt)
{
    MessagePiece p;
    p.fileName = columnText(stmt, 1);
    p.mimeType = columnText(stmt, 2);
    (*m_pTarget)[columnInt(stmt, 0)].append(p);
    return true;
}

// ---- the collection ------------------------------------------------------------------------

CSMSCollection::CSMSCollection(KdSMSData* messages, KdContactData* contacts) : m_pContacts(contacts), m_pData(messages) {}

void CSMSCollection::collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix)
{
    findAddressBook(backupDir, fileSuffix);
    buildAttachmentMap(backupDir, files, fileSuffix);
    const QString smsDb = databaseFile(backupDir, QString::fromLatin1(kHomeDomain), QString::fromLatin1(kSmsDb), fileSuffix);
    if (smsDb.isEmpty() || !readableDatabase(smsDb, QStringLiteral("messages"), QString::fromLatin1(kSmsDb), {"message"}))
        return;
    if (!readChatDatabase(smsDb))
        readLegacyMessages(m_pData, smsDb, m_addressBookPath, m_pieceReader ? m_pieceReader : this, m_pProgress);
}

void CSMSCollection::findAddressBook(const QString& backupDir, const QString& fileSuffix)
{
    const QString home = QString::fromLatin1(kHomeDomain);
    // A missing address book is the contacts' to report.
    m_addressBookPath = databaseFile(backupDir, home, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), fileSuffix, Quiet);
    if (m_addressBookPath.isEmpty())
        m_addressBookPath = databaseFile(backupDir, home, QStringLiteral("Library/AddressBook/AddressBook.db"), fileSuffix, Quiet);
}

void CSMSCollection::buildAttachmentMap(const QString& backupDir, const QList<CManifestRecord*>& files,
                                        const QString& fileSuffix)
{
    m_attachmentFiles.clear();
    m_attachmentNames.clear();
    for (const CManifestRecord* record : files) {
        if (!record || record->size == 0 || !record->relativePath.startsWith(QLatin1String(kSmsFolder)))
            continue;
        if (!m_attachmentFiles.contains(record->relativePath))
            m_attachmentNames[record->relativePath.section(QLatin1Char('/'), -1)] << record->relativePath;
        m_attachmentFiles[record->relativePath] = backupDataFile(backupDir, record->hashName, fileSuffix);
    }
}

bool CSMSCollection::readChatDatabase(const QString& path)
{
    const int probe = CISQLiteQuery::probeSchema(
        path, QStringLiteral("select count(*) from message left join chat_message_join as cmj on message.rowid = "
                             "cmj.message_id left join chat on cmj.chat_id = chat.rowid"));
    if (probe < 0)
        return false;
    if (loadQueries(path, 0.6))
        buildConversations(0.4);
    return true;
}

bool CSMSCollection::loadQueries(const QString& path, double fraction)
{
    const int span = m_pProgress ? int(double(m_pProgress->range()) * fraction / 3.0) : 100;
    CSubProgress sub(m_pProgress, span);
    CChatQuery chats(&m_chatHandles);
    CMessageQuery messages(&m_chatMessages, tableColumns(path, "message"));
    CMsgPieceQuery pieces(&m_messagePieces);
    bool going = true;
    for (CISQLiteQuery* query : std::initializer_list<CISQLiteQuery*>{&chats, &messages, &pieces}) {
        sub.initRange(100);
        query->run({path}, &sub);
        going = sub.finish();
        if (!going)
            return false;
    }
    for (auto& chat : m_chatMessages)
        std::sort(chat.begin(), chat.end(), &earlier);
    if (messages.unreadBodies() > 0)
        Log("iTunesBackup", 0, "%s (sms.db): %d message(s) with no message.text and an unreadable "
            "message.attributedBody, kept without their text", path.toUtf8().constData(), messages.unreadBodies());
    return going;
}

qint64 CSMSCollection::secondsSince2001(qint64 stored)
{
    // No abs(): the most negative value has no positive counterpart.
    return stored > kNanosecondDates || stored < -kNanosecondDates ? stored / kNanosecondsPerSecond : stored;
}

void CSMSCollection::buildConversations(double fraction)
{
    const int span = m_pProgress ? int(double(m_pProgress->range()) * fraction) : 100;
    CSubProgress sub(m_pProgress, span);
    qint64 total = 0;
    for (const auto& messages : m_chatMessages)
        total += messages.size();
    for (const auto& pieces : m_messagePieces)
        total += pieces.size();
    sub.initRange(100);
    const double step = total ? double(sub.range()) / double(total) : 0.0;

    QMap<int, ChatHandle> participants;
    QString defaultCountry;
    for (const auto& handles : m_chatHandles)
        for (const ChatHandle& h : handles) {
            participants[h.handleId] = h;
            if (defaultCountry.isEmpty() && !h.country.isEmpty())
                defaultCountry = h.country;
        }

    QStringList names;
    QMap<QString, int> index;
    buildContactIndex(m_pContacts, &names, &index);

    // A reaction is attached to its message when a chat holds that message; otherwise it stays
    // a line of its own.
    QSet<int> targets;
    for (const auto& messages : m_chatMessages)
        for (const ChatMessage& m : messages)
            if (m.reactionType && m.targetRowId)
                targets.insert(m.targetRowId);
    QSet<int> heldTargets;
    if (!targets.isEmpty())
        for (const auto& messages : m_chatMessages)
            for (const ChatMessage& m : messages)
                if (!m.reactionType && targets.contains(m.rowId))
                    heldTargets.insert(m.rowId);
    QHash<int, KdSMSChat*> targetChats;
    std::vector<std::pair<ChatMessage, QString>> attached; // with the reacting party's address
    QList<KdSMSItem*> items; // handed on once the reactions are in place

    for (auto chatIt = m_chatMessages.begin(); chatIt != m_chatMessages.end(); ++chatIt) {
        if (!sub.progress(0.0))
            break;
        auto* group = new KdSMSChatGroup;
        for (ChatMessage& m : chatIt.value()) {
            if (!sub.progress(step))
                break;
            const QString addr = participants.value(m.handleId).id;
            if (m.reactionType && heldTargets.contains(m.targetRowId)) {
                QString party = m.isFromMe ? QString() : addr;
                attached.emplace_back(std::move(m), std::move(party));
                continue;
            }
            auto* chat = new KdSMSChat;
            chat->setSubject(m.subject);
            chat->setMsgDate(CCommonUtils::buildDateTimeBase2001(m.date));
            chat->setFromMe(m.isFromMe != 0);
            chat->setSentDone(m.isSent != 0);
            chat->setNormalSMS(m.service == QLatin1String("SMS"));
            // Taking a message back stamps date_edited too; the edits went with the text.
            if (m.editedDate && !m.unsent)
                chat->setEditedDate(CCommonUtils::buildDateTimeBase2001(m.editedDate));
            chat->setUnsent(m.unsent);
            const auto pieces = m_messagePieces.constFind(m.rowId);
            if (m.reactionType) {
                // Older releases wrote what the reaction was ("Liked “…”") into the row itself.
                chat->setContent(m.text.isEmpty() ? reactionLine(m.reactionType, m.reactionEmoji) : m.text);
            } else if (pieces != m_messagePieces.constEnd()) {
                addPieces(chat, m.text, pieces.value(), &sub, step);
            } else {
                QString content = m.text;
                content.remove(kObjectReplacement);
                chat->setContent(content);
            }
            // An unsent message, or one whose body did not read, shows that there was one; a
            // message reacted to shows where the reactions belong.
            if (chat->content().isEmpty() && chat->pieces().isEmpty() && !m.unsent && !m.unreadBody
                && !heldTargets.contains(m.rowId)) {
                delete chat;
                continue;
            }
            chat->setAddr(addr);
            group->addChat(chat);
            if (heldTargets.contains(m.rowId))
                targetChats.insert(m.rowId, chat);
        }
        chatIt.value() = QVector<ChatMessage>(); // the messages live on in the chats: not held twice
        if (group->chats().isEmpty()) {
            delete group;
            continue;
        }
        QStringList displayNames, phones, emails;
        QMap<QString, QString> addrIds;
        for (const ChatHandle& h : m_chatHandles.value(chatIt.key())) {
            QStringList& list = h.id.contains(QLatin1Char('@')) ? emails : phones;
            if (!list.contains(h.id))
                list << h.id;
            const QString number = h.uncanonicalizedId.isEmpty() ? h.id : h.uncanonicalizedId;
            const QString country = h.country.isEmpty() ? defaultCountry : h.country;
            const QString display = resolveAddress(number, country, names, index);
            if (!displayNames.contains(display))
                displayNames << display;
            addrIds[h.id] = display;
        }
        KdSMSItem* item = KdSMSItem::createItem();
        item->setValue(joined(displayNames), 0);
        item->setValue(joined(phones), 1);
        item->setValue(joined(emails), 2);
        group->setAddrIds(addrIds);
        item->setDetailContent(group);
        item->setSize(0);
        items.append(item);
    }

    // In date order across chats, so that a reaction taken back meets the one it cancels.
    std::sort(attached.begin(), attached.end(), [](const auto& a, const auto& b) { return earlier(a.first, b.first); });
    for (const auto& [m, addr] : attached) {
        KdSMSChat* target = targetChats.value(m.targetRowId); // null only after a cancel
        if (!target)
            continue;
        KdSMSReaction reaction;
        reaction.addr = addr;
        reaction.fromMe = m.isFromMe != 0;
        reaction.reaction = reactionName(m);
        reaction.date = CCommonUtils::buildDateTimeBase2001(m.date);
        if (m.reactionType >= kReactionTaken)
            target->removeReaction(reaction);
        else
            target->addReaction(reaction);
    }
    for (KdSMSItem* item : items) {
        if (m_pData)
            m_pData->append(item);
        else
            delete item;
    }
}

bool CSMSCollection::addPieces(KdSMSChat* chat, const QString& text, const QVector<MessagePiece>& pieces,
                               CIProgressCallback* progress, double step)
{
    if (!text.contains(kObjectReplacement)) {
        const QString trimmed = text.trimmed();
        if (!trimmed.isEmpty()) {
            auto* piece = new KdSMSPiece;
            piece->setPieceType(QStringLiteral("text/plain"));
            piece->setPieceData(trimmed.toUtf8());
            chat->addPiece(piece);
        }
        for (const MessagePiece& piece : pieces) {
            if (progress && !progress->progress(step))
                return false;
            addAttachmentPiece(chat, piece);
        }
        return true;
    }
    const QStringList parts = text.split(kObjectReplacement);
    for (int i = 0; i < parts.size(); ++i) {
        if (progress && !progress->progress(step))
            return false;
        const QString trimmed = parts[i].trimmed();
        if (!trimmed.isEmpty()) {
            auto* piece = new KdSMSPiece;
            piece->setPieceType(QStringLiteral("text/plain"));
            piece->setPieceData(trimmed.toUtf8());
            chat->addPiece(piece);
        }
        if (i < parts.size() - 1 && i < pieces.size())
            addAttachmentPiece(chat, pieces[i]);
    }
    return true;
}

void CSMSCollection::addAttachmentPiece(KdSMSChat* chat, const MessagePiece& attachment)
{
    auto* piece = new KdSMSPiece;
    piece->setPieceType(attachment.mimeType);
    // The bytes readPiece() would give, read when asked for.
    piece->setPieceCandidates(candidateFiles(attachment.fileName));
    piece->setPieceLocation(attachment.fileName);
    piece->setPieceFile(pieceFile(attachment.fileName));
    chat->addPiece(piece);
}

QStringList CSMSCollection::candidateKeys(const QString& location) const
{
    QStringList keys;
    const QString base = QFileInfo(location).completeBaseName();
    if (base.isEmpty())
        return keys;
    const bool hasFolder = location.contains(QLatin1Char('/'));
    // Names that start with the base sit together in name order: no walk over every file.
    for (auto it = m_attachmentNames.lowerBound(base); it != m_attachmentNames.constEnd() && it.key().startsWith(base); ++it) {
        const QString& name = it.key();
        // "12-1" must not take "12-10.jpg": the base ends at a dot, a dash or the name's end.
        if (name.size() > base.size() && name[base.size()] != QLatin1Char('.') && name[base.size()] != QLatin1Char('-'))
            continue;
        for (const QString& key : it.value())
            if (!hasFolder || location.contains(QStringView(key).left(qMax(int(key.size() - name.size() - 1), 0))))
                keys << key;
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

QList<QPair<QString, QString>> CSMSCollection::candidateFiles(const QString& location) const
{
    QList<QPair<QString, QString>> out;
    for (const QString& key : candidateKeys(location))
        out.append({key.mid(key.lastIndexOf(QLatin1Char('/')) + 1), m_attachmentFiles.value(key)});
    return out;
}

const QByteArray& CSMSCollection::readPiece(const QString& location)
{
    m_pieceBuffer = KdSMSPiece::readAttachment(candidateFiles(location));
    return m_pieceBuffer;
}

QString CSMSCollection::pieceFile(const QString& location)
{
    const QStringList keys = candidateKeys(location);
    for (const QString& key : keys)
        if (!key.mid(key.lastIndexOf(QLatin1Char('/')) + 1).contains(QLatin1String("preview")))
            return m_attachmentFiles.value(key);
    return keys.isEmpty() ? QString() : m_attachmentFiles.value(keys.first());
}

// ---- the older layout ----------------------------------------------------------------------

namespace {

int readPieceHook(void*, const char* location, const unsigned char** data, int32_t* size, void* reader)
{
    if (!reader || !location || !data || !size)
        return 0;
    const QByteArray& bytes = static_cast<CSMSPieceReader*>(reader)->readPiece(QString::fromUtf8(location));
    if (bytes.isEmpty())
        return 0;
    *data = reinterpret_cast<const unsigned char*>(bytes.constData());
    *size = int32_t(bytes.size());
    return 1;
}

void releasePieceHook(void*) {}

} // namespace

void CSMSCollection::readLegacyMessages(KdSMSData* messages, const QString& smsDbPath, const QString& addressBookPath,
                                        CSMSPieceReader* reader, CIProgressCallback* progress)
{
    IBackupContact* r = messages ? messages->getSMSReader() : nullptr;
    if (!r)
        return;
    r->clearRecords();
    PieceHook hook{reader, &readPieceHook, &releasePieceHook};
    const auto* list = static_cast<const SmsRecordList*>(r->loadRecords(
        smsDbPath.toUtf8().constData(), addressBookPath.toUtf8().constData(), IBackupContact::Messages, reader ? &hook : nullptr));
    if (!list)
        return;
    std::vector<const SmsConversationRecord*> taken;
    for (const SmsConversationRecord* c = list->first; c; c = c->next)
        if (c->messages && c->messages->rowid != 0)
            taken.push_back(c);
    const double step = progress && !taken.empty() ? double(progress->range()) / double(taken.size()) : 0.0;
    std::stable_sort(taken.begin(), taken.end(), [](const SmsConversationRecord* a, const SmsConversationRecord* b) {
        const int ka = a->newest ? a->newest->date : 0;
        const int kb = b->newest ? b->newest->date : 0;
        return ka > kb;
    });
    for (const SmsConversationRecord* c : taken) {
        QStringList displayNames, phones, emails;
        QMap<QString, QString> addrIds;
        for (const SmsAddressNode* node = c->addresses; node; node = node->next) {
            const SmsAddressEntry* entry = node->entry;
            if (!entry)
                continue;
            const QString address = QString::fromUtf8(entry->address ? entry->address : "");
            if (!address.isEmpty())
                (address.contains(QLatin1Char('@')) ? emails : phones) << address;
            QString name = entry->match ? legacyDisplayName(entry->match->person) : QString();
            if (name.isEmpty()) // a person with no name parts, an organisation
                name = address;
            displayNames << name;
            addrIds[address] = name;
        }
        KdSMSItem* item = KdSMSItem::createItem();
        item->setValue(joined(displayNames), 0);
        item->setValue(joined(phones), 1);
        item->setValue(joined(emails), 2);
        auto* group = new KdSMSChatGroup;
        group->fromSMSDb(c);
        if (reader)
            for (KdSMSChat* chat : group->chats())
                for (KdSMSPiece* piece : chat->pieces())
                    if (!piece->isText() && !piece->pieceLocation().isEmpty())
                        piece->setPieceFile(reader->pieceFile(piece->pieceLocation()));
        group->setAddrIds(addrIds);
        item->setDetailContent(group);
        item->setSize(0);
        messages->append(item);
        if (progress && !progress->progress(step))
            break;
    }
}

QString CSMSCollection::legacyDisplayName(const void* personRecord)
{
    const auto* person = static_cast<const ContactPersonRecord*>(personRecord);
    if (!person)
        return QString();
    QStringList parts;
    for (const char* word : {person->prefix, person->first, person->middle, person->last, person->suffix})
        if (word && *word)
            parts << QString::fromUtf8(word);
    return parts.join(QLatin1Char(' '));
}
