#include "kddata/KdSMSChatGroup.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include "contact/IBackupContact.h"
#include "kddata/CCommonUtils.h"

namespace {

QString fromUtf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

void KdSMSPiece::setPieceType(const QString& type)
{
    m_type = type;
}

QString KdSMSPiece::pieceType() const
{
    return m_type;
}

void KdSMSPiece::setPieceLocation(const QString& location)
{
    m_location = location;
}

QString KdSMSPiece::pieceLocation() const
{
    return m_location;
}

void KdSMSPiece::setPieceData(const QByteArray& data)
{
    m_data = data;
}

QByteArray KdSMSPiece::pieceData() const
{
    if (m_data.isEmpty() && !m_candidates.isEmpty())
        return readAttachment(m_candidates);
    return m_data;
}

void KdSMSPiece::setPieceCandidates(const QList<QPair<QString, QString>>& candidates)
{
    m_candidates = candidates;
}

QByteArray KdSMSPiece::readAttachment(const QList<QPair<QString, QString>>& candidates)
{
    QByteArray bytes;
    for (const auto& candidate : candidates) {
        const QString& name = candidate.first;
        if (!bytes.isEmpty() && !name.contains(QLatin1String("preview")))
            continue;
        const QFileInfo info(candidate.second);
        if (!info.isFile() || info.size() == 0)
            continue; // nothing to read: the bytes taken so far stay
        QImage image;
        if (CCommonUtils::imageSafeLoad(image, candidate.second)) {
            if (name.contains(QLatin1String("left")))
                image = image.mirrored(true, false);
            bytes.clear();
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
        } else {
            QFile in(candidate.second);
            if (in.open(QIODevice::ReadOnly))
                bytes = in.readAll();
        }
    }
    return bytes;
}

void KdSMSPiece::setPieceFile(const QString& path)
{
    m_file = path;
}

QString KdSMSPiece::pieceFile() const
{
    return m_file;
}

bool KdSMSPiece::isText() const
{
    return m_type == QLatin1String("text") || m_type.startsWith(QLatin1String("text/"));
}

bool KdSMSPiece::isImage() const
{
    return m_type == QLatin1String("image") || m_type.startsWith(QLatin1String("image/"));
}

KdSMSChat::~KdSMSChat()
{
    qDeleteAll(m_pieces);
}

void KdSMSChat::addPiece(KdSMSPiece* piece)
{
    // A full membership test would make long conversations quadratic; re-adding the last one is
    // the slip worth catching.
    if (piece && (m_pieces.isEmpty() || m_pieces.constLast() != piece))
        m_pieces.append(piece);
}

const QList<KdSMSPiece*>& KdSMSChat::pieces() const
{
    return m_pieces;
}

void KdSMSChat::setNormalSMS(bool sms)
{
    m_normalSMS = sms;
}

bool KdSMSChat::isNormalSMS() const
{
    return m_normalSMS;
}

void KdSMSChat::setFromMe(bool fromMe)
{
    m_fromMe = fromMe;
}

bool KdSMSChat::isFromMe() const
{
    return m_fromMe;
}

void KdSMSChat::setSentDone(bool done)
{
    m_sentDone = done;
}

bool KdSMSChat::isSentDone() const
{
    return m_sentDone;
}

void KdSMSChat::setMsgDate(const QDateTime& date)
{
    m_date = date;
}

QDateTime KdSMSChat::msgDate() const
{
    return m_date;
}

void KdSMSChat::setSubject(const QString& subject)
{
    m_subject = subject;
}

QString KdSMSChat::subject() const
{
    return m_subject;
}

void KdSMSChat::setAddr(const QString& addr)
{
    m_addr = addr;
}

QString KdSMSChat::addr() const
{
    return m_addr;
}

void KdSMSChat::setContent(const QString& content)
{
    m_content = content;
}

QString KdSMSChat::content() const
{
    return m_content;
}

void KdSMSChat::setDeleted(bool deleted)
{
    m_deleted = deleted;
}

bool KdSMSChat::isDeleted() const
{
    return m_deleted;
}

void KdSMSChat::setPartial(bool partial)
{
    m_partial = partial;
}

bool KdSMSChat::isPartial() const
{
    return m_partial;
}

namespace {

bool sameParty(const KdSMSReaction& a, const KdSMSReaction& b)
{
    return a.fromMe == b.fromMe && (a.fromMe || a.addr == b.addr);
}

} // namespace

void KdSMSChat::addReaction(const KdSMSReaction& reaction)
{
    m_reactions.removeIf([&](const KdSMSReaction& r) { return sameParty(r, reaction); });
    m_reactions.append(reaction);
}

bool KdSMSChat::removeReaction(const KdSMSReaction& reaction)
{
    return m_reactions.removeIf([&](const KdSMSReaction& r) {
        return sameParty(r, reaction) && r.reaction == reaction.reaction;
    }) > 0;
}

const QList<KdSMSReaction>& KdSMSChat::reactions() const
{
    return m_reactions;
}

void KdSMSChat::setEditedDate(const QDateTime& date)
{
    m_editedDate = date;
}

QDateTime KdSMSChat::editedDate() const
{
    return m_editedDate;
}

void KdSMSChat::setUnsent(bool unsent)
{
    m_unsent = unsent;
}

bool KdSMSChat::isUnsent() const
{
    return m_unsent;
}

KdSMSChatGroup::~KdSMSChatGroup()
{
    qDeleteAll(m_chats);
}

void KdSMSChatGroup::addChat(KdSMSChat* chat)
{
    if (chat && (m_chats.isEmpty() || m_chats.constLast() != chat))
        m_chats.append(chat);
}

const QList<KdSMSChat*>& KdSMSChatGroup::chats() const
{
    return m_chats;
}

bool KdSMSChatGroup::fromSMSDb(const SmsConversationRecord* record)
{
    if (!record)
        return false;
    qDeleteAll(m_chats);
    m_chats.clear();
    for (const SmsMessageRecord* m = record->messages; m; m = m->next) {
        auto* chat = new KdSMSChat;
        chat->setMsgDate(CCommonUtils::buildDateTimeBaseUnix(m->date));
        chat->setFromMe(m->fromMe != 0);
        chat->setSentDone(m->sentDone != 0);
        chat->setNormalSMS(m->normalSms != 0);
        chat->setSubject(fromUtf8(m->subject));
        chat->setAddr(fromUtf8(m->address));
        if (!m->pieces)
            chat->setContent(fromUtf8(m->text));
        for (const SmsPieceRecord* p = m->pieces; p; p = p->next) {
            auto* piece = new KdSMSPiece;
            piece->setPieceType(fromUtf8(p->contentType));
            piece->setPieceLocation(fromUtf8(p->location));
            if (p->data && p->dataSize > 0)
                piece->setPieceData(QByteArray(reinterpret_cast<const char*>(p->data), p->dataSize));
            chat->addPiece(piece);
        }
        m_chats.append(chat);
    }
    return true;
}

void KdSMSChatGroup::setAddrIds(const QMap<QString, QString>& addrIds)
{
    m_addrIds = addrIds;
}

QMap<QString, QString> KdSMSChatGroup::addrIds() const
{
    return m_addrIds;
}

QString KdSMSChatGroup::nameForAddr(const QString& addr) const
{
    return m_addrIds.value(addr, addr);
}

void KdSMSChatGroup::setDeleted(bool deleted)
{
    m_deleted = deleted;
}

bool KdSMSChatGroup::isDeleted() const
{
    return m_deleted;
}
