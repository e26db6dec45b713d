#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

// Deleted records recovered from the iOS category databases. Texts are QString, numbers signed
// 32-bit; "2001 seconds" count from 2001-01-01 00:00 UTC, "Unix seconds" from 1970-01-01; a date
// of 0 means none. A record `partial` was built from rows newer data overwrote in part: it holds
// what survived, the rest reads as unknown (empty, 0).

struct NoteRecord {
    int date = 0; // 2001 seconds
    QString title;
    QString content;
    QByteArray compressedBody = {}; // NoteStore.sqlite: the body as stored (gzip of its protobuf), for the reader of that format
    // A partial record's body may be only the start that survived.
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
    int created = 0; // 2001 seconds; 0 when unknown
    QString folder = {}; // the title of the folder it was in, when its row or the folder's survives
};

struct BookmarkRecord {
    QString title;
    QString url;
    int visited = 0; // 2001 seconds of a History.db visit; 0 for a bookmark
    bool history = false;
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
    QString folder{};    // title of the folder row it sat in, as stored ("Root", "com.apple.ReadingList", …)
};

struct CalendarRecord {
    QString summary;
    QString location;
    QString description;
    int start = 0; // 2001 seconds
    int end = 0;   // 2001 seconds
    int allDay = 0;
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
};

struct ReminderRecord {
    QString title;
    QString location;
    QString listName;
    QString notes;
    int dueDate = 0;    // 2001 seconds
    int completion = 0; // > 0: completed
    int priority = 0;
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
};

struct CallhistoryRecord {
    QString address;
    int date = 0;     // Unix seconds
    int duration = 0; // seconds
    int flags = 0;    // bit 0: outgoing
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
};

// One multi-value of a person: a phone number, e-mail address, URL, postal address, ...
struct PersonPropertyRecord {
    int type = 0;       // the address book's property id (3 phone, 4 e-mail, 5 address, 22 URL, ...)
    int identifier = 0; // the multi-value's identifier inside the person
    QString label;
    QString value;
    QMap<QString, QString> valueEntry; // keyed parts of a compound value (street, city, ...)
};

// The thirteen texts follow the order of KdContactPrivate's text members.
struct PersonRecord {
    QString first;
    QString last;
    QString middle;
    QString prefix;
    QString suffix;
    QString nickname;
    QString firstPhonetic;
    QString middlePhonetic;
    QString lastPhonetic;
    QString jobTitle;
    QString organization; // the eleventh: shown beside the name
    QString department;
    QString note;
    std::vector<PersonPropertyRecord*> properties; // owned by the SqliteRecovery that made it
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
    int created = 0; // 2001 seconds of its creation; 0 when unknown
};

// The thirteen texts by position, 0 (first) to 12 (note), in the order above.
constexpr int kPersonTextCount = 13;
QString& personText(PersonRecord& record, int index);
const QString& personText(const PersonRecord& record, int index);

struct MessagePieceRecord {
    int kind = 0; // 0 an image (data is its location), otherwise text (data is the text)
    QString data;
};

struct MessageRecord {
    int service = 0; // 0: SMS
    QString address;
    int date = 0; // Unix seconds, or 2001 seconds in the newer layout
    QString subject;
    QString text;
    int fromMe = 0;
    int failure = 0; // 0: sent or received completely
    std::vector<MessagePieceRecord> pieces;
    bool partial = false;
    bool orphan = false; // from a page no tree of a damaged file reaches: it may be live
    // Shown in its sender's conversation because nothing that named its own survived (no join
    // row, index entry or room name): a group message may stand in the sender's one-to-one chat.
    bool conversationGuessed = false;
    // A reaction row: its associated_message_type (2000-2006 given, 3000-3006 taken back), its
    // emoji, and the text of the message it is for when that message is live or recovered.
    int reactionType = 0;
    QString reactionEmoji;
    QString reactionTarget;
};

struct MessageGroupRecord {
    QStringList addresses;
    std::vector<MessageRecord> messages;
};

// Progress sink of one scan; the caller's implementation maps it into its own range.
class ScanProgress
{
public:
    virtual double range() = 0;
    virtual bool progress(double step) = 0;
    virtual bool finish() = 0;

protected:
    ~ScanProgress() = default;
};

class SqliteRecoveryPrivate;

// Scans the iOS category databases for deleted records. Types: 0 contacts, 1 messages,
// 2 call history, 3 calendar events and reminders, 4 notes, 5 Safari bookmarks.
class SqliteRecovery
{
public:
    SqliteRecovery();
    ~SqliteRecovery();
    SqliteRecovery(const SqliteRecovery&) = delete;
    SqliteRecovery& operator=(const SqliteRecovery&) = delete;

    // The database in `files` that holds records of `type`; empty when none does.
    QString dbFileForType(int type, const QStringList& files) const;
    // Scans that database (and its -wal/-journal beside it); returns the number of records found,
    // or -1 when no database of the type is in `files`.
    int scanRecoveryForType(int type, const QStringList& files, ScanProgress* progress);
    // Reads the text of a message body archived as an attributed string (message.attributedBody,
    // where newer systems keep the text when message.text is empty); unset, such bodies are not
    // read and a deleted message without other text is not reported.
    void setBodyDecoder(std::function<QString(const QByteArray&)> decoder);
    // The tables of the database the last scan read (as its -wal has them), to tell its layout.
    QStringList tables() const;
    // What the scans so far could not read, one line each (database or companion, and why).
    QStringList problems() const;
    // Databases whose live trees the scans found damaged: the file's name, then the first fault.
    // SQLite reads past such faults without an error, so live items may be missing or doubled.
    QList<QPair<QString, QString>> damagedFiles() const;

    unsigned getContactCount() const;
    const PersonRecord* getContact(unsigned index) const;
    unsigned getMessageGroupCount() const;
    const MessageGroupRecord* getMessageGroup(unsigned index) const;
    unsigned getCallhistoryCount() const;
    const CallhistoryRecord* getCallhistory(unsigned index) const;
    unsigned getCalendarCount() const;
    const CalendarRecord* getCalendar(unsigned index) const;
    unsigned getReminderCount() const;
    const ReminderRecord* getReminder(unsigned index) const;
    unsigned getNoteCount() const;
    const NoteRecord* getNote(unsigned index) const;
    unsigned getBookmarkCount() const;
    const BookmarkRecord* getBookmark(unsigned index) const;

private:
    std::unique_ptr<SqliteRecoveryPrivate> d;
};
