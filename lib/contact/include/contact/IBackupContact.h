#pragma once

// Record reader of the contact library: reads the address book (and, in later kinds, the legacy
// message and call databases) into plain C structures that stay owned by the reader until
// clearRecords or its release.

#include <cstdint>

#if defined(_WIN32)
#  define CONTACT_API __declspec(dllexport)
#else
#  define CONTACT_API __attribute__((visibility("default")))
#endif

// Name parts of one person, as UTF-8 C strings (null or "" when absent). Positions matter:
// display names are composed from words 13, 1, 3, 2, 14 (prefix, first, middle, last, suffix).
struct ContactPersonRecord {
    const char* rowid;          // 0: the person's ROWID as text
    const char* first;          // 1
    const char* last;           // 2
    const char* middle;         // 3
    const char* firstPhonetic;  // 4
    const char* middlePhonetic; // 5
    const char* lastPhonetic;   // 6
    const char* organization;   // 7
    const char* department;     // 8
    const char* note;           // 9
    const char* birthday;       // 10: ISO 8601 date, or null
    const char* jobTitle;       // 11
    const char* nickname;       // 12
    const char* prefix;         // 13
    const char* suffix;         // 14
};

// One keyed part of a compound value (a postal address's "Street", "City", ...).
struct ContactValueEntry {
    const char* key;
    const char* value;
    ContactValueEntry* next;
};

// One multi-value of a person: phone (3), e-mail (4), postal address (5), date (12), URL (22), ...
struct ContactMultiValue {
    int32_t property;
    int32_t identifier;
    const char* label; // resolved label text ("mobile", "home", a custom text); "" when none
    const char* value; // "" for compound values
    ContactValueEntry* entries;
    ContactMultiValue* next;
};

// Kind 1 record: one person of the address book.
struct addressbookdb {
    int32_t rowid;
    int32_t kind;         // 0 person, 1 organisation
    addressbookdb* next;  // third word: next record, null ends the list
    ContactPersonRecord person;
    ContactMultiValue* values;
    const unsigned char* image; // thumbnail bytes from the images database, or null
    int32_t imageSize;
    int32_t creationDate;     // seconds since 2001-01-01, 0 when unknown
    int32_t modificationDate; // seconds since 2001-01-01, 0 when unknown
};

// Kind 1 list: the second word is the first record.
struct ContactRecordList {
    int32_t count;
    addressbookdb* first;
};

// ---- kind 0: the older message database (message, msg_group, group_member, msg_pieces,
// madrid_attachment). Texts are UTF-8 C strings ("" or null when absent).

// The address-book person an address was matched to.
struct SmsPersonMatch {
    const ContactPersonRecord* person; // 0: its name words
    int32_t personRowid;               // 1
};

// One participant of a conversation (a group_member row).
struct SmsAddressEntry {
    int32_t rowid;              // 0
    int32_t groupId;            // 1
    const char* address;        // 2: phone number or e-mail address as stored
    const char* country;        // 3: lower-case two-letter code, or ""
    int32_t personRowid;        // 4: the matched person's ROWID, 0 when none
    const SmsPersonMatch* match; // 5: null when no address-book person has this address
};

struct SmsAddressNode {
    SmsAddressEntry* entry; // 0
    SmsAddressNode* next;   // 1
};

// One part of a message in display order: a text fragment or an attachment.
struct SmsPieceRecord {
    const char* contentType;   // "text/plain", "image/jpeg", ...
    const char* location;      // an attachment's location as recorded; "" for text
    const unsigned char* data; // text bytes, or the attachment's bytes from the piece hook; may be null
    int32_t dataSize;
    SmsPieceRecord* next;
};

// One message, its date normalised to Unix seconds whatever the row stored.
struct SmsMessageRecord {
    int32_t rowid;         // 0: never 0 for a read row
    const char* address;   // 1: the other party (SMS address or iMessage handle)
    const char* text;      // 2: the body when the message has no pieces
    int32_t date;          // 3: Unix seconds
    const char* subject;   // 4
    int32_t fromMe;        // 5
    int32_t sentDone;      // 6: 0 when sending or delivery failed
    int32_t normalSms;     // 7: 1 SMS/MMS, 0 iMessage
    SmsPieceRecord* pieces; // 8: null when the message is plain text
    SmsMessageRecord* next; // 9: the next message of the conversation, in date order
};

// One conversation (a msg_group, or the messages of one address that have no group).
struct SmsConversationRecord {
    SmsAddressNode* addresses;    // 0
    int32_t groupId;              // 1: 0 for messages without a group
    SmsMessageRecord* messages;   // 2: the first message; null when the conversation is empty
    int32_t messageCount;         // 3
    SmsMessageRecord* newest;     // 4: its date (word 3) orders the conversations
    SmsConversationRecord* next;  // 5
};

// Kind 0 list: the first word is the first conversation.
struct SmsRecordList {
    SmsConversationRecord* first;
    int32_t count;
};

// ---- kind 2: calls, from call_history.db or the newer Core Data store (CallHistory.storedata).

// Call flags: bit 0 the owner called, bit 4 a FaceTime call; bits 5 and 6 say which kind of
// FaceTime call when the store knows (audio, video). Bit 7 marks a call made through another
// app (iOS 10 on); bits 8 to 15 then say which, for callAppName.
enum CallFlag : int32_t {
    CallOutgoing = 1,
    CallFaceTime = 16,
    CallFaceTimeAudio = 32,
    CallFaceTimeVideo = 64,
    CallOtherApp = 128,
    CallAppShift = 8,
    CallAppMask = 0xFF00
};

// Name of the app of a CallOtherApp call ("WhatsApp"); null when the store named an app we do
// not know.
CONTACT_API const char* callAppName(int32_t flags);

struct CallRecord {
    int32_t rowid;               // 0
    const char* address;         // 1: the other party's number or address, as stored
    int32_t date;                // 2: start, Unix seconds
    int32_t duration;            // 3: seconds
    int32_t flags;               // 4: CallFlag bits
    const char* country;         // 5: lower-case two-letter code, or ""
    const SmsPersonMatch* match; // 6: the address-book person of the number; null when none
};

struct CallNode {
    CallRecord* record; // 0: may be null (skipped)
    CallNode* next;     // 1
};

// Kind 2 list: the third word is the first node.
struct CallRecordList {
    int32_t count;
    int32_t layout; // 0 call_history.db, 1 CallHistory.storedata
    CallNode* first;
};

// Fetches attachment bytes for the kind 0 reader. `read` gets an ignored first argument, the
// location, out pointers for the bytes and their size, and `reader`; it answers 1 when it found
// bytes (which stay valid until its next call) and 0 otherwise.
struct PieceHook {
    void* reader;
    int (*read)(void* unused, const char* location, const unsigned char** data, int32_t* size, void* reader);
    void (*release)(void* reader);
};
using ContactLoadHook = PieceHook;

class IBackupContact
{
public:
    enum Kind { Messages = 0, Contacts = 1, CallHistory = 2 };

    // Drops the records of an earlier load.
    virtual void clearRecords() = 0;
    // Reads `path` (and `secondPath`: the images database for contacts, the address book for
    // messages and calls). Returns the kind's record list (ContactRecordList, SmsRecordList),
    // owned by the reader, or null when the database cannot be read. `hook` fetches attachment
    // bytes for kind 0 and may be null.
    virtual void* loadRecords(const char* path, const char* secondPath, int kind, ContactLoadHook* hook) = 0;

protected:
    virtual ~IBackupContact() = default;
    friend CONTACT_API void UninitBackupContact(IBackupContact** reader);
};

// Creates a reader in *reader (left null on failure) / releases it and sets *reader to null.
CONTACT_API void InitBackupContact(IBackupContact** reader);
CONTACT_API void UninitBackupContact(IBackupContact** reader);
