#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include "kddata/KdDataGlobal.h"

struct addressbookdb;
class IBackupContact;

// One multi-value of a contact: a phone number, an e-mail address, a postal address, ...
class KDDATA_API KdContactProperty
{
public:
    // Address book property codes.
    enum PropertyType {
        Phone = 3,
        Email = 4,
        Address = 5,
        Date = 12,
        InstantMessage = 13,
        Url = 22,
        RelatedName = 23,
        SocialProfile = 46
    };

    KdContactProperty() = default;

    void setPropType(int type);
    int propType() const;
    // The label as stored ("mobile", "_$!<Home>!$_", a custom text); "" when none.
    void setPropLabel(const QString& label);
    QString propLabel() const;
    // The value in its displayed form (see finalValue); "" for compound values.
    void setPropValue(const QString& value);
    QString propValue() const;
    // Keyed parts of a compound value ("Street", "City", "ZIP", "Country", ...).
    void setPropValueEntry(const QMap<QString, QString>& entry);
    QMap<QString, QString> propValueEntry() const;

    // The label without the address book's "_$!<" ... ">!$_" wrapper.
    QString labelText() const;
    // What a reader sees: the value, or for a compound value its parts composed into one line
    // (street, city, state, ZIP, country, then any other part in key order; ", " between them).
    QString displayValue() const;

    // The displayed form of a stored scalar value. Idempotent, so a value that is already final
    // stays as it is. Dates (type 12) stored as seconds since 2001-01-01 become "yyyy-MM-dd";
    // every other type is only trimmed of surrounding white space (phone numbers keep their
    // punctuation). Compound values are composed by displayValue(), not here.
    static QString finalValue(int type, const QString& value);

private:
    int m_type = 0;
    QString m_label;
    QString m_value;
    QMap<QString, QString> m_entry;
};

// The detail of a contact. The first thirteen members are its texts, in a fixed order that the
// record recovery library mirrors; textMember(i) reaches them by position.
class KDDATA_API KdContactPrivate
{
public:
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
    QString organization; // the eleventh: shown in contact column 1
    QString department;
    QString note;

    // Beyond the thirteen texts.
    QString birthday; // ISO 8601 date as stored, or ""
    QByteArray image; // thumbnail bytes, or empty
    QDateTime creationDate;     // invalid when unknown
    QDateTime modificationDate; // invalid when unknown

    static const int TextCount = 13;

    KdContactPrivate() = default;
    ~KdContactPrivate();
    KdContactPrivate(const KdContactPrivate&) = delete;
    KdContactPrivate& operator=(const KdContactPrivate&) = delete;

    // The text member at position 0..12 in declaration order; out of range reaches a scratch
    // text that is always emptied.
    QString& textMember(int index);
    const QString& textMember(int index) const;
    // The text's name in exports: "first", "last", ..., "note".
    static const char* textName(int index);

    // Takes ownership; null is ignored.
    void addProperty(KdContactProperty* property);
    const QList<KdContactProperty*>& properties() const;

    // Prefix, first, middle, last and suffix, the non-empty ones joined by one space. Without
    // any of them: the organization, then the nickname; "" when all are empty.
    QString contactName() const;
    // The displayValue() of every property of `type`, in order, non-empty ones joined by "; ".
    QString readProperty(int type) const;

    // Fills this detail from one contact-library record (texts, multi-values with labels and
    // entries, thumbnail, dates). `reader` may be null: the record carries everything. False
    // when record is null. Linked lists are followed up to a fixed length.
    bool fromAddrBook(const addressbookdb* record, IBackupContact* reader);

private:
    QList<KdContactProperty*> m_properties;
};
