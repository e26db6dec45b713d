// Address book: deleted ABPerson rows with their deleted ABMultiValue rows (and the keyed parts
// of compound values from ABMultiValueEntry). Deleted multi-values of a person who still exists
// are reported too, as a record carrying that person's names and only the deleted values, so a
// removed phone number of a kept contact is not lost; the duplicate test downstream keeps such a
// record apart from the live contact because of the extra value. Multi-values whose person row
// is gone for good become a nameless record per former person.

#include "RecoveryContext_p.h"

#include "contact/AddressBookLabels.h"

#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace sqlrecovery {

namespace {

// ABPerson columns in the order of PersonRecord's thirteen texts.
const char* const kPersonColumns[13] = {"First",         "Last",           "Middle",       "Prefix",   "Suffix",
                                        "Nickname",      "FirstPhonetic",  "MiddlePhonetic", "LastPhonetic",
                                        "JobTitle",      "Organization",   "Department",   "Note"};

// Properties whose value is text (or keyed parts): phone, e-mail, postal address, instant
// message, URL, related name, social profile. Dates (12) are numbers and are left out.
const std::set<int> kTextProperties = {3, 4, 5, 13, 22, 23, 46};

// Rowid → text of a small lookup table (labels, entry keys), live rows first, then deleted ones.
std::map<int64_t, QString> lookupTable(ScanContext& ctx, const char* name)
{
    std::map<int64_t, QString> out;
    for (const auto& r : ctx.live().rows(std::string("SELECT rowid, value FROM ") + name))
        if (r.size() == 2)
            out[r[0].toLongLong()] = r[1].toString();
    const CarvedTable& t = ctx.table(name);
    const int value = t.col("value");
    for (const Row* row : t.rows) {
        const auto id = rowidOf(t, *row);
        if (id && isKnown(*row, value) && !out.count(*id))
            out[*id] = text(*row, value);
    }
    return out;
}

bool hasText(const PersonRecord& p)
{
    for (int i = 0; i < 13; ++i)
        if (!personText(p, i).isEmpty())
            return true;
    return false;
}

} // namespace

int mapContacts(ScanContext& ctx, RecordStore& out)
{
    ctx.inferRowids("ABPerson", {{"ABMultiValue", "record_id"}});
    ctx.inferRowids("ABMultiValue", {{"ABMultiValueEntry", "parent_id"}});
    const CarvedTable& people = ctx.table("ABPerson");
    const CarvedTable& values = ctx.table("ABMultiValue");
    const CarvedTable& entries = ctx.table("ABMultiValueEntry");
    if (!people.exists() && !values.exists())
        return 0;

    const std::map<int64_t, QString> labels = lookupTable(ctx, "ABMultiValueLabel");
    const std::map<int64_t, QString> keys = lookupTable(ctx, "ABMultiValueEntryKey");

    // Keyed parts of deleted compound values, by their multi-value's UID.
    std::map<int64_t, QMap<QString, QString>> entryParts;
    std::set<int64_t> partialParts; // UIDs some of whose parts came from rows cut short
    {
        const int parent = entries.col("parent_id"), key = entries.col("key"), value = entries.col("value");
        for (const Row* row : entries.rows) {
            const auto p = integer(entries, *row, parent);
            const auto k = integer(entries, *row, key);
            if (!p || !k || !isKnown(*row, value))
                continue;
            auto it = keys.find(*k);
            if (it == keys.end())
                continue;
            entryParts[*p].insert(it->second, text(*row, value));
            if (lostSomeValue(entries, *row))
                partialParts.insert(*p);
        }
    }

    struct Pending {
        PersonRecord person;
        std::vector<PersonPropertyRecord> props;
    };
    std::map<int64_t, Pending> deletedPeople; // by ROWID
    std::vector<Pending> withoutRowid;
    for (const Row* row : people.rows) {
        Pending p;
        for (int i = 0; i < 13; ++i)
            personText(p.person, i) = text(*row, people.col(kPersonColumns[i]));
        p.person.partial = lostSomeValue(people, *row);
        p.person.orphan = fromOrphanPage(*row);
        p.person.created = seconds(real(*row, people.col("CreationDate")));
        const auto id = rowidOf(people, *row);
        if (id)
            deletedPeople[*id] = std::move(p);
        else
            withoutRowid.push_back(std::move(p));
    }

    std::map<int64_t, Pending> livePeople, orphans;
    std::vector<Pending> lostOwner;
    auto attach = [&](const PersonPropertyRecord& prop, bool partial, std::optional<int64_t> owner) {
        if (!owner) {
            Pending p;
            p.person.partial = partial;
            p.props.push_back(prop);
            lostOwner.push_back(std::move(p));
            return;
        }
        auto dp = deletedPeople.find(*owner);
        if (dp != deletedPeople.end()) {
            dp->second.person.partial = dp->second.person.partial || partial;
            dp->second.props.push_back(prop);
            return;
        }
        if (ctx.live().hasRowid("ABPerson", *owner)) {
            // Re-inserted with a new UID when the contact was edited: not a deletion.
            const auto same = ctx.live().value(
                "SELECT 1 FROM ABMultiValue WHERE record_id = ? AND property = ? AND value IS ?",
                {QVariant(qint64(*owner)), QVariant(qint64(prop.type)),
                 prop.value.isEmpty() ? QVariant() : QVariant(prop.value)});
            if (same.isValid() && !prop.value.isEmpty())
                return;
            Pending& lp = livePeople[*owner];
            if (lp.props.empty()) {
                std::string sql = "SELECT ";
                for (int i = 0; i < 13; ++i)
                    sql += std::string(i ? ", " : "") + kPersonColumns[i];
                sql += " FROM ABPerson WHERE rowid = ?";
                const auto live = ctx.live().rows(sql, {QVariant(qint64(*owner))});
                if (!live.empty())
                    for (int i = 0; i < 13 && size_t(i) < live.front().size(); ++i)
                        personText(lp.person, i) = live.front()[size_t(i)].toString();
            }
            lp.props.push_back(prop);
            lp.person.partial = lp.person.partial || partial;
            return;
        }
        Pending& orphan = orphans[*owner];
        orphan.props.push_back(prop);
        orphan.person.partial = orphan.person.partial || partial;
    };
    // The compound value's keyed parts, deleted and live, go with its UID.
    auto addParts = [&](PersonPropertyRecord& prop, int64_t uid, bool& partial) {
        auto it = entryParts.find(uid);
        if (it != entryParts.end()) {
            prop.valueEntry = it->second;
            partial = partial || partialParts.count(uid);
        }
        for (const auto& r : ctx.live().rows("SELECT k.value, e.value FROM ABMultiValueEntry e JOIN "
                                             "ABMultiValueEntryKey k ON k.rowid = e.key WHERE e.parent_id = ?",
                                             {QVariant(qint64(uid))}))
            if (r.size() == 2 && !prop.valueEntry.contains(r[0].toString()))
                prop.valueEntry.insert(r[0].toString(), r[1].toString());
    };

    const int cRecord = values.col("record_id"), cProperty = values.col("property"),
              cIdentifier = values.col("identifier"), cLabel = values.col("label"), cValue = values.col("value");
    std::set<int64_t> carvedUids;
    std::set<std::tuple<int64_t, int64_t, QString>> carvedWithoutUid; // owner, property, value
    for (const Row* row : values.rows) {
        const auto property = integer(values, *row, cProperty);
        if (!property || !kTextProperties.count(int(*property)))
            continue;
        PersonPropertyRecord prop;
        prop.type = int(*property);
        prop.identifier = toInt32(integer(values, *row, cIdentifier));
        if (const auto l = integer(values, *row, cLabel)) {
            auto it = labels.find(*l);
            if (it != labels.end())
                prop.label = addressBookLabelText(it->second);
        }
        prop.value = text(*row, cValue);
        bool partial = lostSomeValue(values, *row);
        const auto owner = integer(values, *row, cRecord);
        if (const auto uid = rowidOf(values, *row)) {
            carvedUids.insert(*uid);
            addParts(prop, *uid, partial);
        } else if (owner) {
            carvedWithoutUid.insert({*owner, prop.type, prop.value});
        }
        if (prop.value.isEmpty() && prop.valueEntry.isEmpty())
            continue;
        attach(prop, partial, owner);
    }

    // Multi-values whose rows are gone but whose deleted index entries survive, by UID: the
    // record_id entry names the owner, the property/value entry the rest, the label entry the
    // label. The identifier is in no index; it stays 0.
    struct FromIndex {
        std::optional<int64_t> owner, property, label;
        std::optional<QString> value;
        bool conflict = false; // entries of an earlier use of the UID disagree: nothing is trusted
    };
    std::map<int64_t, FromIndex> fromIndex;
    auto note = [](auto& slot, const auto& v, bool& conflict) {
        if (slot && *slot != v)
            conflict = true;
        slot = v;
    };
    auto intValue = [](const sqlcarve::Value& v) {
        return v.kind == sqlcarve::Value::Kind::Integer ? std::optional<int64_t>(v.integer) : std::nullopt;
    };
    for (const Row* e : ctx.indexEntries("ABMultiValueRecordIDIndex"))
        if (e->rowid && e->values.size() == 2)
            if (const auto v = intValue(e->values[0])) {
                FromIndex& f = fromIndex[*e->rowid];
                note(f.owner, *v, f.conflict);
            }
    for (const Row* e : ctx.indexEntries("ABMultiValueLabelIndex"))
        if (e->rowid && e->values.size() == 2)
            if (const auto v = intValue(e->values[0])) {
                FromIndex& f = fromIndex[*e->rowid];
                note(f.label, *v, f.conflict);
            }
    for (const Row* e : ctx.indexEntries("ABMultiValuePropertyValueIndex")) {
        if (!e->rowid || e->values.size() != 3)
            continue;
        const auto property = intValue(e->values[0]);
        const sqlcarve::Value& v = e->values[1];
        if (!property || (v.kind != sqlcarve::Value::Kind::Text && v.kind != sqlcarve::Value::Kind::Null))
            continue;
        FromIndex& f = fromIndex[*e->rowid];
        note(f.property, *property, f.conflict);
        note(f.value, QString::fromStdString(v.bytes), f.conflict);
    }
    for (const auto& [uid, f] : fromIndex) {
        if (f.conflict || !f.owner || !f.property || !f.value || !kTextProperties.count(int(*f.property))
            || carvedUids.count(uid) || ctx.live().hasRowid("ABMultiValue", uid)
            || carvedWithoutUid.count({*f.owner, *f.property, *f.value}))
            continue;
        PersonPropertyRecord prop;
        prop.type = int(*f.property);
        prop.value = *f.value;
        bool partial = !f.label;
        if (f.label) {
            auto it = labels.find(*f.label);
            if (it != labels.end())
                prop.label = addressBookLabelText(it->second);
        }
        addParts(prop, uid, partial);
        if (prop.value.isEmpty() && prop.valueEntry.isEmpty())
            continue;
        attach(prop, partial, f.owner);
    }

    int added = 0;
    auto addRecord = [&](Pending& p) {
        if (!hasText(p.person) && p.props.empty())
            return;
        std::stable_sort(p.props.begin(), p.props.end(), [](const PersonPropertyRecord& a, const PersonPropertyRecord& b) {
            return a.type != b.type ? a.type < b.type : a.identifier < b.identifier;
        });
        out.contacts.push_back(std::move(p.person));
        PersonRecord& person = out.contacts.back();
        for (auto& prop : p.props) {
            out.properties.push_back(std::move(prop));
            person.properties.push_back(&out.properties.back());
        }
        ++added;
    };
    for (auto& e : deletedPeople)
        addRecord(e.second);
    for (auto& p : withoutRowid)
        addRecord(p);
    for (auto& e : livePeople)
        addRecord(e.second);
    for (auto& e : orphans)
        addRecord(e.second);
    for (auto& p : lostOwner)
        addRecord(p);
    return added;
}

} // namespace sqlrecovery
