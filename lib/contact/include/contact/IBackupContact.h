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

// Progress hook passed to loadRecords (may be null).
struct ContactLoadHook;

class IBackupContact
{
public:
    enum Kind { Messages = 0, Contacts = 1, CallHistory = 2 };

    // Drops the records of an earlier load.
    virtual void clearRecords() = 0;
    // Reads `path` (and `secondPath`: the images database for contacts, the address book for
    // messages and calls). Returns the kind's record list, owned by the reader, or null when the
    // database cannot be read.
    virtual void* loadRecords(const char* path, const char* secondPath, int kind, ContactLoadHook* hook) = 0;

protected:
    virtual ~IBackupContact() = default;
    friend CONTACT_API void UninitBackupContact(IBackupContact** reader);
};

// Creates a reader in *reader (left null on failure) / releases it and sets *reader to null.
CONTACT_API void InitBackupContact(IBackupContact** reader);
CONTACT_API void UninitBackupContact(IBackupContact** reader);
