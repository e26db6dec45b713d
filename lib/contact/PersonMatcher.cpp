#include "PersonMatcher_p.h"

#include <QString>

#include <algorithm>

namespace contactdb {

namespace {

const int32_t kPhoneProperty = 3;
const int32_t kMailProperty = 4;

bool isMail(const QByteArray& address)
{
    return address.contains('@');
}

QByteArray mailKey(const QByteArray& address)
{
    return QString::fromUtf8(address.trimmed()).toCaseFolded().toUtf8();
}

// The last kMinSuffixDigits digits as one number.
uint32_t suffixKey(const QByteArray& digits)
{
    uint32_t key = 0;
    for (int i = int(digits.size()) - PersonMatcher::kMinSuffixDigits; i < digits.size(); ++i)
        key = key * 10 + uint32_t(digits[i] - '0');
    return key;
}

} // namespace

QByteArray phoneDigits(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text)
        if (c >= '0' && c <= '9')
            out += c;
    return out;
}

PersonMatcher::PersonMatcher(const ContactRecordList* people)
{
    for (const addressbookdb* p = people ? people->first : nullptr; p; p = p->next) {
        for (const ContactMultiValue* v = p->values; v; v = v->next) {
            if (!v->value || !*v->value)
                continue;
            const QByteArray value(v->value);
            if (v->property == kMailProperty) {
                keep(m_mail, mailKey(value), p);
            } else if (v->property == kPhoneProperty) {
                const QByteArray digits = phoneDigits(value);
                if (digits.isEmpty())
                    continue;
                if (digits.size() < kMinSuffixDigits)
                    keep(m_shortPhones, digits, p);
                else
                    m_phones[suffixKey(digits)].push_back({digits, p});
            }
        }
    }
    for (auto& bucket : m_phones)
        std::stable_sort(bucket.second.begin(), bucket.second.end(),
                         [](const Phone& a, const Phone& b) { return a.person->rowid < b.person->rowid; });
}

void PersonMatcher::keep(QHash<QByteArray, const addressbookdb*>& index, const QByteArray& key,
                         const addressbookdb* person)
{
    const addressbookdb*& held = index[key];
    if (!held || person->rowid < held->rowid)
        held = person;
}

const addressbookdb* PersonMatcher::find(const QByteArray& address) const
{
    if (isMail(address))
        return m_mail.value(mailKey(address), nullptr);
    const QByteArray digits = phoneDigits(address);
    if (digits.isEmpty())
        return nullptr;
    if (digits.size() < kMinSuffixDigits)
        return m_shortPhones.value(digits, nullptr);
    const auto bucket = m_phones.find(suffixKey(digits));
    if (bucket == m_phones.end())
        return nullptr;
    for (const Phone& phone : bucket->second)
        if (phone.digits.endsWith(digits) || digits.endsWith(phone.digits))
            return phone.person;
    return nullptr;
}

} // namespace contactdb
