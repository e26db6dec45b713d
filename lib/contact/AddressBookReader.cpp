#include "AddressBookReader_p.h"

#include "contact/AddressBookLabels.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include "utility/Log.h"


namespace contactdb {

static const char kModule[] = "BackupContact";

// ABPerson columns in the order of the person record's name words (ContactPersonRecord).
static const char* const kPersonWordColumns[] = {
    "First",        "Last",       "Middle",   "FirstPhonetic", "MiddlePhonetic",
    "LastPhonetic", "Organization", "Department", "Note",       "Birthday",
    "JobTitle",     "Nickname",   "Prefix",   "Suffix",
};
static const int kPersonWordCount = int(sizeof(kPersonWordColumns) / sizeof(kPersonWordColumns[0]));
static const int kBirthdayWord = 9; // index into kPersonWordColumns
static const char* const kPersonExtraColumns[] = {"Kind", "CreationDate", "ModificationDate"};

QString resolveLabel(const QString& stored)
{
    return addressBookLabelText(stored);
}

QByteArray birthdayText(const QByteArray& stored)
{
    if (stored.isNull())
        return QByteArray();
    const QByteArray trimmed = stored.trimmed();
    bool numeric = false;
    const double seconds = trimmed.toDouble(&numeric);
    if (!numeric)
        return trimmed.isEmpty() ? QByteArray() : trimmed; // already a date text
    // Outside +-10000 years is not a birthday but damage.
    if (seconds < -3.2e11 || seconds > 3.2e11)
        return QByteArray();
    const QDateTime base(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return base.addSecs(qint64(seconds)).date().toString(Qt::ISODate).toUtf8();
}

ContactRecordList* AddressBookReader::read(const QString& addressBookPath, const QString& imagesPath)
{
    m_byRowid.clear();
    ReadOnlyDatabase db;
    if (!db.open(addressBookPath, kModule))
        return nullptr;
    if (!db.hasTable("ABPerson")) {
        Log(kModule, 0, "No ABPerson table in %s", addressBookPath.toUtf8().constData());
        return nullptr;
    }
    ContactRecordList* list = m_arena.make<ContactRecordList>();
    if (!readPeople(db, list))
        return nullptr;
    if (db.hasTable("ABMultiValue"))
        readMultiValues(db);
    if (!imagesPath.isEmpty())
        readImages(imagesPath);
    Log(kModule, 1, " %d contacts read from %s", int(list->count), addressBookPath.toUtf8().constData());
    return list;
}

bool AddressBookReader::readPeople(const ReadOnlyDatabase& db, ContactRecordList* list)
{
    QByteArray sql = "select ROWID";
    for (const char* column : kPersonWordColumns)
        sql += ", " + columnOrNull(db, "ABPerson", column);
    for (const char* column : kPersonExtraColumns)
        sql += ", " + columnOrNull(db, "ABPerson", column);
    sql += " from ABPerson order by ROWID";

    Statement s(db, sql);
    if (!s.ok())
        return false;
    addressbookdb* last = nullptr;
    while (s.next()) {
        addressbookdb* r = m_arena.make<addressbookdb>();
        r->rowid = int32_t(s.int64(0));
        ContactPersonRecord& p = r->person;
        p.rowid = m_arena.text(QByteArray::number(r->rowid));
        const char** words[] = {&p.first,        &p.last,     &p.middle,   &p.firstPhonetic, &p.middlePhonetic,
                                &p.lastPhonetic, &p.organization, &p.department, &p.note,     &p.birthday,
                                &p.jobTitle,     &p.nickname, &p.prefix,   &p.suffix};
        static_assert(sizeof(words) / sizeof(words[0]) == kPersonWordCount, "one column per name word");
        for (int w = 0; w < kPersonWordCount; ++w) {
            const QByteArray value = s.text(1 + w);
            *words[w] = m_arena.text(w == kBirthdayWord ? birthdayText(value) : value);
        }
        r->kind = int32_t(s.int64(1 + kPersonWordCount));
        r->creationDate = int32_t(s.int64(2 + kPersonWordCount));
        r->modificationDate = int32_t(s.int64(3 + kPersonWordCount));

        if (m_byRowid.contains(r->rowid))
            continue; // a damaged file can repeat a ROWID; the first row stands
        m_byRowid.insert(r->rowid, r);
        if (last)
            last->next = r;
        else
            list->first = r;
        last = r;
        ++list->count;
    }
    return true;
}

void AddressBookReader::readMultiValues(const ReadOnlyDatabase& db)
{
    QHash<qint64, QByteArray> labels;
    if (db.hasTable("ABMultiValueLabel")) {
        Statement s(db, "select ROWID, value from ABMultiValueLabel");
        while (s.next())
            labels.insert(s.int64(0), resolveLabel(QString::fromUtf8(s.text(1))).toUtf8());
    }
    QHash<qint64, const char*> entryKeys;
    if (db.hasTable("ABMultiValueEntryKey")) {
        Statement s(db, "select ROWID, value from ABMultiValueEntryKey");
        while (s.next())
            entryKeys.insert(s.int64(0), m_arena.text(s.text(1).isNull() ? QByteArray("") : s.text(1)));
    }

    QHash<qint64, ContactMultiValue*> byUid;
    QHash<addressbookdb*, ContactMultiValue*> lastOfPerson;
    const QByteArray identifier = columnOrNull(db, "ABMultiValue", "identifier");
    const QByteArray label = columnOrNull(db, "ABMultiValue", "label");
    Statement s(db, "select UID, record_id, property, " + identifier + ", " + label
                        + ", value from ABMultiValue order by record_id, property, " + identifier + ", UID");
    while (s.next()) {
        addressbookdb* owner = person(int(s.int64(1)));
        if (!owner)
            continue; // values of deleted or unknown people
        ContactMultiValue* v = m_arena.make<ContactMultiValue>();
        v->property = int32_t(s.int64(2));
        v->identifier = int32_t(s.int64(3));
        v->label = m_arena.text(s.isNull(4) ? QByteArray("") : labels.value(s.int64(4), QByteArray("")));
        const QByteArray value = s.text(5);
        v->value = m_arena.text(value.isNull() ? QByteArray("") : value);
        byUid.insert(s.int64(0), v);
        if (ContactMultiValue* tail = lastOfPerson.value(owner))
            tail->next = v;
        else
            owner->values = v;
        lastOfPerson.insert(owner, v);
    }

    if (!db.hasTable("ABMultiValueEntry"))
        return;
    QHash<ContactMultiValue*, ContactValueEntry*> lastEntry;
    Statement e(db, "select parent_id, key, value from ABMultiValueEntry order by parent_id, ROWID");
    while (e.next()) {
        ContactMultiValue* parent = byUid.value(e.int64(0), nullptr);
        if (!parent)
            continue;
        ContactValueEntry* entry = m_arena.make<ContactValueEntry>();
        entry->key = entryKeys.value(e.int64(1), "");
        const QByteArray value = e.text(2);
        entry->value = m_arena.text(value.isNull() ? QByteArray("") : value);
        if (ContactValueEntry* tail = lastEntry.value(parent))
            tail->next = entry;
        else
            parent->entries = entry;
        lastEntry.insert(parent, entry);
    }
}

void AddressBookReader::readImages(const QString& imagesPath)
{
    ReadOnlyDatabase db;
    if (!db.open(imagesPath, kModule))
        return;
    // Thumbnails first (smallest format first); full-size images only for people without one.
    const char* const queries[][2] = {
        {"ABThumbnailImage", "select record_id, data from ABThumbnailImage order by record_id, format, ROWID"},
        {"ABFullSizeImage", "select record_id, data from ABFullSizeImage order by record_id, ROWID"},
    };
    for (const auto& q : queries) {
        if (!db.hasTable(q[0]))
            continue;
        Statement s(db, q[1]);
        while (s.next()) {
            addressbookdb* owner = person(int(s.int64(0)));
            if (!owner || owner->image)
                continue;
            const QByteArray data = s.blob(1);
            if (data.isEmpty())
                continue;
            owner->image = m_arena.bytes(data);
            owner->imageSize = int32_t(data.size());
        }
    }
}

} // namespace contactdb
