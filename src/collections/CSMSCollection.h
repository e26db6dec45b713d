#pragma once

#include <QByteArray>
#include <QMap>
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
    QString text;
    QString subject;
    QString service;
    int date = 0; // seconds since 2001-01-01 00:00 UTC
    int isFromMe = 0;
    int isSent = 0;
};

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

// Messages of every chat, in date order.
class CMessageQuery : public CISQLiteQuery
{
public:
    explicit CMessageQuery(QMap<QString, QVector<ChatMessage>>* target);
    bool handleRow(sqlite3_stmt* stmt) override;

private:
    QMap<QString, QVector<ChatMessage>>* m_pTarget;
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

    // Text and attachment pieces of one message: the n-th U+FFFC is replaced by the n-th
    // attachment; without any U+FFFC every attachment is shown. False when cancelled.
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
    QString m_addressBookPath;
    QByteArray m_pieceBuffer;
};
