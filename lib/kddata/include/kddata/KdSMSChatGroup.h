#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include "kddata/KdDataGlobal.h"

struct SmsConversationRecord;

// One part of a message: a text fragment or an attachment.
class KDDATA_API KdSMSPiece
{
public:
    KdSMSPiece() = default;

    // "text", "text/plain", "image", or an attachment's MIME type ("image/jpeg", ...).
    void setPieceType(const QString& type);
    QString pieceType() const;
    // The attachment's location as the message database records it.
    void setPieceLocation(const QString& location);
    QString pieceLocation() const;
    // The bytes: UTF-8 text for a text piece, the file content for an attachment.
    void setPieceData(const QByteArray& data);
    QByteArray pieceData() const;
    // (file name, path) of the files that may hold an attachment, in name order. The bytes are
    // then read when pieceData() is asked, not held: a backup's pictures would not fit in memory.
    void setPieceCandidates(const QList<QPair<QString, QString>>& candidates);
    const QList<QPair<QString, QString>>& pieceCandidates() const { return m_candidates; }
    // The first candidate that reads, replaced by any later preview; a picture is decoded,
    // mirrored when its name says "left" (previews of received pictures face the other way) and
    // handed on as PNG, any other file as it is. Empty when none reads.
    static QByteArray readAttachment(const QList<QPair<QString, QString>>& candidates);
    // The file the attachment's bytes came from (a data file of the backup); empty when none.
    void setPieceFile(const QString& path);
    QString pieceFile() const;
    // The attachment's size when the file on disk does not tell it (an encrypted backup's data
    // file is larger than what it holds); -1: the file's own size.
    void setPieceFileSize(qint64 size) { m_fileSize = size; }
    qint64 pieceFileSize() const { return m_fileSize; }

    // "text" or any "text/..." type.
    bool isText() const;
    // "image" or any "image/..." type.
    bool isImage() const;

private:
    QString m_type;
    QString m_location;
    QString m_file;
    qint64 m_fileSize = -1;
    QByteArray m_data;
    QList<QPair<QString, QString>> m_candidates;
};

// A reaction ("tapback") that one party gave a message.
struct KdSMSReaction {
    QString addr;     // the reacting party's address; empty for the owner
    bool fromMe = false;
    QString reaction; // "love", "like", "dislike", "laugh", "emphasize", "question", or an emoji
    QDateTime date;
};

// One message of a conversation; owns its pieces.
class KDDATA_API KdSMSChat
{
public:
    KdSMSChat() = default;
    ~KdSMSChat();
    KdSMSChat(const KdSMSChat&) = delete;
    KdSMSChat& operator=(const KdSMSChat&) = delete;

    // Takes ownership; null, and the piece added last, are ignored. Add each piece once.
    void addPiece(KdSMSPiece* piece);
    const QList<KdSMSPiece*>& pieces() const;

    // True for an SMS, false for iMessage and other services.
    void setNormalSMS(bool sms);
    bool isNormalSMS() const;
    void setFromMe(bool fromMe);
    bool isFromMe() const;
    // True when the message was sent or received completely.
    void setSentDone(bool done);
    bool isSentDone() const;
    void setMsgDate(const QDateTime& date);
    QDateTime msgDate() const;
    void setSubject(const QString& subject);
    QString subject() const;
    // The other party's address (phone number or e-mail address).
    void setAddr(const QString& addr);
    QString addr() const;
    // The body, for messages without pieces.
    void setContent(const QString& content);
    QString content() const;
    // True for a message recovered from deleted records.
    void setDeleted(bool deleted);
    bool isDeleted() const;
    // True for a recovered message newer data overwrote in part: it shows what survived.
    void setPartial(bool partial);
    bool isPartial() const;
    // True for a recovered message that may be live: its page belongs to no tree of a damaged file.
    void setUncertain(bool uncertain) { m_uncertain = uncertain; }
    bool isUncertain() const { return m_uncertain; }
    // True for a recovered message placed in this conversation by its sender alone: nothing that
    // named its own conversation survived.
    void setConversationGuessed(bool guessed) { m_conversationGuessed = guessed; }
    bool isConversationGuessed() const { return m_conversationGuessed; }

    // A party keeps one reaction per message: a new one replaces that party's earlier one.
    void addReaction(const KdSMSReaction& reaction);
    // Takes back the party's reaction when it is of the same kind; false when there is none.
    bool removeReaction(const KdSMSReaction& reaction);
    // In the order given.
    const QList<KdSMSReaction>& reactions() const;
    // When the text was last changed; null for a message never edited.
    void setEditedDate(const QDateTime& date);
    QDateTime editedDate() const;
    // True for a message its sender took back ("unsent"); its text is usually gone.
    void setUnsent(bool unsent);
    bool isUnsent() const;

private:
    QList<KdSMSPiece*> m_pieces;
    QList<KdSMSReaction> m_reactions;
    QDateTime m_editedDate;
    QDateTime m_date;
    QString m_subject;
    QString m_addr;
    QString m_content;
    bool m_normalSMS = false;
    bool m_fromMe = false;
    bool m_sentDone = false;
    bool m_deleted = false;
    bool m_unsent = false;
    bool m_partial = false;
    bool m_uncertain = false;
    bool m_conversationGuessed = false;
};

// The detail of a conversation item; owns its messages.
class KDDATA_API KdSMSChatGroup
{
public:
    KdSMSChatGroup() = default;
    ~KdSMSChatGroup();
    KdSMSChatGroup(const KdSMSChatGroup&) = delete;
    KdSMSChatGroup& operator=(const KdSMSChatGroup&) = delete;

    // Takes ownership; null, and the chat added last, are ignored. Add each chat once.
    void addChat(KdSMSChat* chat);
    const QList<KdSMSChat*>& chats() const;

    // Participant address -> the name shown for it (the address itself when unnamed).
    void setAddrIds(const QMap<QString, QString>& addrIds);
    QMap<QString, QString> addrIds() const;
    // The name for an address, or the address itself when the map does not hold it.
    QString nameForAddr(const QString& addr) const;

    // Replaces the chats with one per message of a contact-library conversation record, in its
    // order, each with its pieces. Leaves the address names alone. False for a null record.
    bool fromSMSDb(const SmsConversationRecord* record);

    // True for a conversation recovered from deleted records.
    void setDeleted(bool deleted);
    bool isDeleted() const;

private:
    QList<KdSMSChat*> m_chats;
    QMap<QString, QString> m_addrIds;
    bool m_deleted = false;
};
