#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

#include <string>
#include <unordered_map>

#include "CIDataCollection.h"
#include "CISQLiteQuery.h"

class KdContactData;
class KdSMSChat;
class KdSMSData;

// Fetches the bytes of a message attachment by the location the message database records.
class CSMSPieceReader
{
public:
    // Empty when nothing is found. The array belongs to the reader and stays valid until its
    // next call.
    virtual const QByteArray& readPiece(const QString& location) = 0;
    // The file the attachment at `location` is kept in (not its preview), for the user to open;
    // empty when unknown.
    virtual QString pieceFile(const QString& /*location*/) { return QString(); }

protected:
    ~CSMSPieceReader() = default;
};

struct ChatHandle {
    int handleId = 0;
    QString id;      // phone number or e-mail address
    QString country; // lower-case two-letter code as stored
    QString uncanonicalizedId;
};

struct ChatMessage {
    int rowId = 0;
    int handleId = 0;
    QString text; // message.text, or the text of message.attributedBody when that is empty
    QString subject;
    QString service;
    qint64 date = 0;       // seconds since 2001-01-01 00:00 UTC
    qint64 editedDate = 0; // the same; 0 for a message never edited
    int isFromMe = 0;
    int isSent = 0;
    bool unsent = false;
    bool unreadBody = false; // an attributedBody whose text could not be read
    // A reaction row: its associated_message_type (2000-2006 given, 3000-3006 taken back), the
    // row of the message it is for (0 when the database does not hold it) and, for an emoji
    // reaction, the emoji. 0 for an ordinary message.
    int reactionType = 0;
    int targetRowId = 0;
    QString reactionEmoji;
};

// A reaction shown as a line of its own: "Liked a message", or with the text of the message it
// is for, "Liked “…”". Empty when `type` is no reaction's associated_message_type.
QString reactionLine(int type, const QString& emoji, const QString& target = QString());

struct MessagePiece {
    QString fileName; // the attachment's location as recorded
    QString mimeType;
};

// Participants of every chat (chat identifier -> handles, in row order).
class CChatQuery : public CISQLiteQuery
{
public:
    explicit CChatQuery(QMap<QString, QVector<ChatHandle>>* target);
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    QMap<QString, QVector<ChatHandle>>* m_pTarget;
};

// Messages of every chat, in no order. `columns` (lower case) are those the message table has:
// the columns of later releases that it lacks are read as NULL.
class CMessageQuery : public CISQLiteQuery
{
public:
    explicit CMessageQuery(QMap<QString, QVector<ChatMessage>>* target, const QSet<QString>& columns = {});
    bool handleRow(sqlite3_stmt* stmt) override;
    // Bodies whose text was neither in message.text nor readable from message.attributedBody.
    int unreadBodies() const { return m_unreadBodies; }

private:
    QMap<QString, QVector<ChatMessage>>* m_pTarget;
    int m_unreadBodies = 0;
    QString m_lastService;
    std::unordered_map<std::string, QVector<ChatMessage>*> m_byIdentifier; // into *m_pTarget
};

// Attachments of every message, in attachment row order.
class CMsgPieceQuery : public CISQLiteQuery
{
public:
    explicit CMsgPieceQuery(QMap<int, QVector<MessagePiece>>* target);
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    QMap<int, QVector<MessagePiece>>* m_pTarget;
};

// The SMS and iMessage conversations of a backup: the chat/handle/message layout is read here,
// the older message/msg_group layout by the contact library's record reader.
class CSMSCollection : public CIDataCollection, public CSMSPieceReader
{
public:
    // Where the oldest layout's pieces are read from instead of the files the index names (a
    // device's copied message folder); not owned.
    void setPieceReader(CSMSPieceReader* reader) { m_pieceReader = reader; }
    // Neither is owned; `contacts` (filled before messages) may be null.
    CSMSCollection(KdSMSData* messages, KdContactData* contacts);
    ~CSMSCollection() override = default;

    void collect(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix) override;
    const QByteArray& readPiece(const QString& location) override;
    QString pieceFile(const QString& location) override;

    // The older layout through the contact library's reader; shared with device extraction,
    // which passes its own piece reader.
    static void readLegacyMessages(KdSMSData* messages, const QString& smsDbPath, const QString& addressBookPath,
                                   CSMSPieceReader* reader, CIProgressCallback* progress);
    // "prefix first middle last suffix" of a person record, empty parts left out.
    static QString legacyDisplayName(const void* personRecord);

    // sms.db keeps dates as seconds since 2001 up to iOS 10 and as nanoseconds since 2001 from
    // iOS 11 on, and a row may hold both: the unit is decided per value.
    static qint64 secondsSince2001(qint64 stored);

    // Text and attachment pieces of one message: the n-th U+FFFC is replaced by the n-th
    // attachment; without any U+FFFC the text comes first, then every attachment. False when
    // cancelled.
    bool addPieces(KdSMSChat* chat, const QString& text, const QVector<MessagePiece>& pieces,
                   CIProgressCallback* progress, double step);

private:
    void findAddressBook(const QString& backupDir, const QString& fileSuffix);
    void buildAttachmentMap(const QString& backupDir, const QList<CManifestRecord*>& files, const QString& fileSuffix);
    bool readChatDatabase(const QString& path);
    bool loadQueries(const QString& path, double fraction);
    void buildConversations(double fraction);
    void addAttachmentPiece(KdSMSChat* chat, const MessagePiece& piece);
    // Keys of m_attachmentFiles that may hold the attachment at `location`, in key order.
    QStringList candidateKeys(const QString& location) const;
    // The same as (file name, data file) pairs.
    QList<QPair<QString, QString>> candidateFiles(const QString& location) const;

    KdContactData* m_pContacts;
    QMap<QString, QVector<ChatHandle>> m_chatHandles;
    QMap<QString, QVector<ChatMessage>> m_chatMessages;
    QMap<int, QVector<MessagePiece>> m_messagePieces;
    KdSMSData* m_pData;
    QMap<QString, QString> m_attachmentFiles; // device relative path -> data file
    QMap<QString, QStringList> m_attachmentNames; // file name -> its keys in m_attachmentFiles
    CSMSPieceReader* m_pieceReader = nullptr;
    QString m_addressBookPath;
    QByteArray m_pieceBuffer;
};
