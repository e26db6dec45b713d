#include "kddata/KdContactPrivate.h"

#include <cmath>

#include "kddata/CCommonUtils.h"
#include "contact/IBackupContact.h"
#include "utility/Log.h"

namespace {

// The contact library hands out linked lists; a damaged or hostile address book could loop them.
const int kMaxValuesPerContact = 1000;
const int kMaxEntriesPerValue = 64;
const qint64 kMaxImageBytes = 64LL * 1024 * 1024;

const QLatin1String kLabelOpen("_$!<");
const QLatin1String kLabelClose(">!$_");

// Order in which the parts of a compound value are shown; other keys follow in key order.
const char* const kEntryOrder[] = {"Street", "SubLocality", "City", "SubAdministrativeArea",
                                   "State", "ZIP", "Country"};

QString fromUtf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

void KdContactProperty::setPropType(int type)
{
    m_type = type;
    m_value = finalValue(m_type, m_value);
}

int KdContactProperty::propType() const
{
    return m_type;
}

void KdContactProperty::setPropLabel(const QString& label)
{
    m_label = label;
}

QString KdContactProperty::propLabel() const
{
    return m_label;
}

void KdContactProperty::setPropValue(const QString& value)
{
    // Stored final so that propValue() compares equal to finalValue() of the raw text, whichever
    // of type and value is set first.
    m_value = finalValue(m_type, value);
}

QString KdContactProperty::propValue() const
{
    return m_value;
}

void KdContactProperty::setPropValueEntry(const QMap<QString, QString>& entry)
{
    m_entry = entry;
}

QMap<QString, QString> KdContactProperty::propValueEntry() const
{
    return m_entry;
}

QString KdContactProperty::labelText() const
{
    if (m_label.size() >= kLabelOpen.size() + kLabelClose.size() && m_label.startsWith(kLabelOpen)
        && m_label.endsWith(kLabelClose))
        return m_label.mid(kLabelOpen.size(), m_label.size() - kLabelOpen.size() - kLabelClose.size());
    return m_label;
}

QString KdContactProperty::displayValue() const
{
    if (!m_value.isEmpty() || m_entry.isEmpty())
        return m_value;
    QStringList parts;
    QMap<QString, QString> rest = m_entry;
    for (const char* key : kEntryOrder) {
        const QString k = QLatin1String(key);
        const QString v = rest.take(k).trimmed();
        if (!v.isEmpty())
            parts << v;
    }
    // The country code only repeats the country's name.
    if (m_entry.contains(QStringLiteral("Country")))
        rest.remove(QStringLiteral("CountryCode"));
    for (auto it = rest.cbegin(); it != rest.cend(); ++it) {
        const QString v = it.value().trimmed();
        if (!v.isEmpty())
            parts << v;
    }
    return parts.join(QStringLiteral(", "));
}

QString KdContactProperty::finalValue(int type, const QString& value)
{
    const QString trimmed = value.trimmed();
    if (type != Date || trimmed.isEmpty())
        return trimmed;
    bool ok = false;
    const double seconds = trimmed.toDouble(&ok);
    // Beyond about ±3000 years the text is no date of ours; leave it readable as it is.
    if (!ok || !std::isfinite(seconds) || std::fabs(seconds) > 1e11)
        return trimmed;
    const QDateTime dt = CCommonUtils::buildDateTimeBase2001(qint64(std::floor(seconds)));
    return CCommonUtils::datetimeToMinute(dt, false);
}

KdContactPrivate::~KdContactPrivate()
{
    qDeleteAll(m_properties);
}

const char* KdContactPrivate::textName(int index)
{
    static const char* const kNames[TextCount] = {
        "first",        "last",         "middle",   "prefix",       "suffix",     "nickname", "firstPhonetic",
        "middlePhonetic", "lastPhonetic", "jobTitle", "organization", "department", "note"};
    return index >= 0 && index < TextCount ? kNames[index] : "";
}

QString& KdContactPrivate::textMember(int index)
{
    switch (index) {
    case 0: return first;
    case 1: return last;
    case 2: return middle;
    case 3: return prefix;
    case 4: return suffix;
    case 5: return nickname;
    case 6: return firstPhonetic;
    case 7: return middlePhonetic;
    case 8: return lastPhonetic;
    case 9: return jobTitle;
    case 10: return organization;
    case 11: return department;
    case 12: return note;
    default: break;
    }
    // Writes through an out-of-range index must not leak into a later read.
    static thread_local QString scratch;
    scratch.clear();
    return scratch;
}

const QString& KdContactPrivate::textMember(int index) const
{
    return const_cast<KdContactPrivate*>(this)->textMember(index);
}

void KdContactPrivate::addProperty(KdContactProperty* property)
{
    if (property && (m_properties.isEmpty() || m_properties.constLast() != property))
        m_properties.append(property);
}

const QList<KdContactProperty*>& KdContactPrivate::properties() const
{
    return m_properties;
}

QString KdContactPrivate::contactName() const
{
    QStringList parts;
    for (const QString* p : {&prefix, &first, &middle, &last, &suffix}) {
        const QString t = p->trimmed();
        if (!t.isEmpty())
            parts << t;
    }
    if (!parts.isEmpty())
        return parts.join(QLatin1Char(' '));
    const QString org = organization.trimmed();
    if (!org.isEmpty())
        return org;
    return nickname.trimmed();
}

QString KdContactPrivate::readProperty(int type) const
{
    QStringList values;
    for (const KdContactProperty* p : m_properties) {
        if (p->propType() != type)
            continue;
        const QString v = p->displayValue();
        if (!v.isEmpty())
            values << v;
    }
    return values.join(QStringLiteral("; "));
}

bool KdContactPrivate::fromAddrBook(const addressbookdb* record, IBackupContact* reader)
{
    Q_UNUSED(reader);
    if (!record)
        return false;

    const ContactPersonRecord& p = record->person;
    first = fromUtf8(p.first);
    last = fromUtf8(p.last);
    middle = fromUtf8(p.middle);
    prefix = fromUtf8(p.prefix);
    suffix = fromUtf8(p.suffix);
    nickname = fromUtf8(p.nickname);
    firstPhonetic = fromUtf8(p.firstPhonetic);
    middlePhonetic = fromUtf8(p.middlePhonetic);
    lastPhonetic = fromUtf8(p.lastPhonetic);
    jobTitle = fromUtf8(p.jobTitle);
    organization = fromUtf8(p.organization);
    department = fromUtf8(p.department);
    note = fromUtf8(p.note);
    birthday = fromUtf8(p.birthday);

    image.clear();
    if (record->image && record->imageSize > 0 && record->imageSize <= kMaxImageBytes)
        image = QByteArray(reinterpret_cast<const char*>(record->image), record->imageSize);
    creationDate = record->creationDate ? CCommonUtils::buildDateTimeBase2001(record->creationDate) : QDateTime();
    modificationDate =
        record->modificationDate ? CCommonUtils::buildDateTimeBase2001(record->modificationDate) : QDateTime();

    qDeleteAll(m_properties);
    m_properties.clear();
    int seen = 0;
    for (const ContactMultiValue* mv = record->values; mv; mv = mv->next) {
        if (++seen > kMaxValuesPerContact) {
            Log("KdData", 1, " contact %d: more than %d values, rest ignored", int(record->rowid),
                kMaxValuesPerContact);
            break;
        }
        auto* prop = new KdContactProperty;
        prop->setPropType(mv->property);
        prop->setPropLabel(fromUtf8(mv->label));
        prop->setPropValue(fromUtf8(mv->value));
        QMap<QString, QString> entry;
        int entries = 0;
        for (const ContactValueEntry* e = mv->entries; e && entries < kMaxEntriesPerValue; e = e->next, ++entries) {
            const QString key = fromUtf8(e->key);
            if (!key.isEmpty())
                entry.insert(key, fromUtf8(e->value));
        }
        prop->setPropValueEntry(entry);
        m_properties.append(prop);
    }
    return true;
}
