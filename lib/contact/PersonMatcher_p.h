#pragma once

// Finds the address-book person behind a phone number or e-mail address, as the message and
// call databases store them.
//
// E-mail addresses match case-insensitively. Phone numbers are compared by their digits alone:
// equal digits match, and so does a number that ends with the other one when the shorter has at
// least kMinSuffixDigits digits, so national and international forms of one number meet
// ("+1 (415) 555-0100", "4155550100", "555-0100") while short tails ("0100") do not.

#include <QByteArray>
#include <QHash>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "contact/IBackupContact.h"

namespace contactdb {

// The ASCII digits of `text`, in order.
QByteArray phoneDigits(const QByteArray& text);

class PersonMatcher
{
public:
    static const int kMinSuffixDigits = 7;

    // Indexes the phone numbers (property 3) and e-mail addresses (property 4) of `people`;
    // null indexes nobody.
    explicit PersonMatcher(const ContactRecordList* people);

    // The person with the lowest ROWID whose number or e-mail address matches `address`; null
    // when none does.
    const addressbookdb* find(const QByteArray& address) const;

private:
    struct Phone {
        QByteArray digits;
        const addressbookdb* person;
    };

    void keep(QHash<QByteArray, const addressbookdb*>& index, const QByteArray& key, const addressbookdb* person);

    QHash<QByteArray, const addressbookdb*> m_mail;        // case-folded address
    QHash<QByteArray, const addressbookdb*> m_shortPhones; // fewer digits than a suffix needs
    // Numbers long enough for suffix matching, by their last kMinSuffixDigits digits (every
    // candidate shares them), each bucket in ROWID order.
    std::unordered_map<uint32_t, std::vector<Phone>> m_phones;
};

} // namespace contactdb
