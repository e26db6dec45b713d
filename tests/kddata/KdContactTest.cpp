#include <gtest/gtest.h>

#include "TestSupport.h"

#include <iterator>
#include <vector>

#include "contact/IBackupContact.h"
#include "kddata/KdBackup.h"
#include "sqliterecovery/SqliteRecovery.h"
#include "TestSupport.h"

namespace {

ContactPersonRecord emptyPerson()
{
    ContactPersonRecord p{};
    return p;
}

} // namespace

TEST(KdContactPrivate, TextMembersFollowTheRecoveryRecordOrder)
{
    // Converters copy a recovered person's thirteen texts by position.
    PersonRecord rec;
    QString* recTexts[] = {&rec.first,          &rec.last,           &rec.middle,       &rec.prefix,
                           &rec.suffix,         &rec.nickname,       &rec.firstPhonetic, &rec.middlePhonetic,
                           &rec.lastPhonetic,   &rec.jobTitle,       &rec.organization, &rec.department,
                           &rec.note};
    static_assert(std::size(recTexts) == KdContactPrivate::TextCount, "thirteen texts");
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        *recTexts[i] = QString("t%1").arg(i);

    KdContactPrivate detail;
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        detail.textMember(i) = *recTexts[i];
    const QString* named[] = {&detail.first,         &detail.last,          &detail.middle,
                              &detail.prefix,        &detail.suffix,        &detail.nickname,
                              &detail.firstPhonetic, &detail.middlePhonetic, &detail.lastPhonetic,
                              &detail.jobTitle,      &detail.organization,  &detail.department,
                              &detail.note};
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        EXPECT_EQ(*named[i], *recTexts[i]) << i;
    const KdContactPrivate& cdetail = detail;
    EXPECT_EQ(&cdetail.textMember(0), &detail.first);
    EXPECT_EQ(&cdetail.textMember(12), &detail.note);
    detail.textMember(13) = "stray";
    EXPECT_EQ(detail.textMember(-1), QString());
    EXPECT_EQ(detail.textMember(13), QString());
}

TEST(KdContactPrivate, ContactNameComposesNamePartsWithFallbacks)
{
    struct Case {
        const char* what;
        QStringList texts; // prefix, first, middle, last, suffix, organization, nickname
        const char* name;
    };
    const Case cases[] = {
        {"all parts in order", {"Dr.", "Ann", "B.", "Smith", "Jr."}, "Dr. Ann B. Smith Jr."},
        {"two parts, no stray blanks", {"", "Ann", "", "Smith", ""}, "Ann Smith"},
        {"blank-only parts skipped", {"  ", "Ann", " ", "", ""}, "Ann"},
        {"last only", {"", "", "", "Smith", "", "Acme"}, "Smith"},
        {"organization when no personal name", {"", "", "", "", "", "Acme", "Nick"}, "Acme"},
        {"nickname after organization", {"", "", "", "", "", "", "Nick"}, "Nick"},
        {"nothing", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KdContactPrivate d;
        QString* parts[] = {&d.prefix, &d.first, &d.middle, &d.last, &d.suffix, &d.organization, &d.nickname};
        for (int i = 0; i < c.texts.size(); ++i)
            *parts[i] = c.texts[i];
        EXPECT_EQ(d.contactName(), QString::fromUtf8(c.name));
    }
}

TEST(KdContactProperty, FinalValueIsTheDisplayedFormAndIdempotent)
{
    struct Case {
        int type;
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {KdContactProperty::Phone, "(555) 123-4567", "(555) 123-4567"}, // punctuation kept
        {KdContactProperty::Phone, " +1 555 ", "+1 555"},
        {KdContactProperty::Email, "a@b.c\n", "a@b.c"},
        {KdContactProperty::Url, "http://x.y/", "http://x.y/"},
        {KdContactProperty::Date, "0", "2001-01-01"},
        {KdContactProperty::Date, "86400.5", "2001-01-02"},
        {KdContactProperty::Date, "-86400", "2000-12-31"},
        {KdContactProperty::Date, "2012-05-06", "2012-05-06"}, // already final
        {KdContactProperty::Date, "1e300", "1e300"},           // no date of ours
        {KdContactProperty::Date, "", ""},
        {KdContactProperty::Address, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const QString once = KdContactProperty::finalValue(c.type, c.value);
        EXPECT_EQ(once, QString::fromUtf8(c.expected));
        EXPECT_EQ(KdContactProperty::finalValue(c.type, once), once);
    }
}

TEST(KdContactProperty, StoredValueIsFinalWhicheverIsSetFirst)
{
    KdContactProperty typeFirst;
    typeFirst.setPropType(KdContactProperty::Date);
    typeFirst.setPropValue("0");
    KdContactProperty valueFirst;
    valueFirst.setPropValue("0");
    valueFirst.setPropType(KdContactProperty::Date);
    EXPECT_EQ(typeFirst.propValue(), "2001-01-01");
    EXPECT_EQ(valueFirst.propValue(), "2001-01-01");
    // What a duplicate test compares: finalValue of the raw text against the stored value.
    EXPECT_EQ(KdContactProperty::finalValue(12, "0"), typeFirst.propValue());

    KdContactProperty label;
    label.setPropLabel("_$!<Mobile>!$_");
    EXPECT_EQ(label.labelText(), "Mobile");
    label.setPropLabel("work cell");
    EXPECT_EQ(label.labelText(), "work cell");
    label.setPropLabel("_$!<>!$_");
    EXPECT_EQ(label.labelText(), "");
}

TEST(KdContactProperty, CompoundValuesComposeFromEntries)
{
    KdContactProperty addr;
    addr.setPropType(KdContactProperty::Address);
    QMap<QString, QString> entry;
    entry.insert("Country", "France");
    entry.insert("CountryCode", "fr");
    entry.insert("ZIP", "75001");
    entry.insert("City", "Paris");
    entry.insert("Street", "1 Rue X");
    entry.insert("Extra", "Bldg 2");
    entry.insert("State", " ");
    addr.setPropValueEntry(entry);
    EXPECT_EQ(addr.propValue(), "");
    EXPECT_EQ(addr.displayValue(), "1 Rue X, Paris, 75001, France, Bldg 2");

    entry.remove("Country");
    addr.setPropValueEntry(entry);
    EXPECT_EQ(addr.displayValue(), "1 Rue X, Paris, 75001, fr, Bldg 2");

    // A scalar value wins over entries.
    addr.setPropValue("somewhere");
    EXPECT_EQ(addr.displayValue(), "somewhere");
}

TEST(KdContactPrivate, ReadPropertyJoinsValuesOfOneType)
{
    KdContactPrivate d;
    auto add = [&](int type, const QString& value) {
        auto* p = new KdContactProperty;
        p->setPropType(type);
        p->setPropValue(value);
        d.addProperty(p);
    };
    add(3, "111");
    add(4, "a@b.c");
    add(3, "222");
    add(3, "");
    add(22, "http://w");
    d.addProperty(nullptr);
    EXPECT_EQ(d.properties().size(), 5);
    EXPECT_EQ(d.readProperty(3), "111; 222");
    EXPECT_EQ(d.readProperty(4), "a@b.c");
    EXPECT_EQ(d.readProperty(22), "http://w");
    EXPECT_EQ(d.readProperty(5), "");
}

TEST(KdContactPrivate, FromAddrBookReadsNamesValuesEntriesAndImage)
{
    ContactValueEntry zip{"ZIP", "10001", nullptr};
    ContactValueEntry city{"City", "New York", &zip};
    ContactValueEntry nullKey{nullptr, "dropped", &city};
    ContactMultiValue address{5, 3, "_$!<Home>!$_", "", &nullKey, nullptr};
    ContactMultiValue url{22, 2, "", "http://ann.example/", nullptr, &address};
    ContactMultiValue mail{4, 1, "work", "ann@example.com", nullptr, &url};
    ContactMultiValue phone2{3, 4, nullptr, "+1 (212) 555-0100", nullptr, &mail};
    ContactMultiValue phone{3, 0, "mobile", "555-0199", nullptr, &phone2};

    const unsigned char png[] = {0x89, 'P', 'N', 'G', 0, 1, 2};
    addressbookdb rec{};
    rec.rowid = 7;
    rec.person = emptyPerson();
    rec.person.rowid = "7";
    rec.person.first = "Ann";
    rec.person.last = "Lee";
    rec.person.middle = "M";
    rec.person.firstPhonetic = "an";
    rec.person.middlePhonetic = "em";
    rec.person.lastPhonetic = "lii";
    rec.person.organization = "Acme \xC3\xA9"; // UTF-8
    rec.person.department = "R&D";
    rec.person.note = "note";
    rec.person.birthday = "1980-02-03";
    rec.person.jobTitle = "CTO";
    rec.person.nickname = "Annie";
    rec.person.prefix = "Dr.";
    rec.person.suffix = nullptr;
    rec.values = &phone;
    rec.image = png;
    rec.imageSize = sizeof(png);
    rec.creationDate = 86400;
    rec.modificationDate = 0;

    KdContactPrivate d;
    auto* stale = new KdContactProperty;
    stale->setPropType(3);
    stale->setPropValue("stale");
    d.addProperty(stale);
    ASSERT_TRUE(d.fromAddrBook(&rec, nullptr));

    QStringList texts;
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        texts << d.textMember(i);
    EXPECT_EQ(texts, QStringList({"Ann", "Lee", "M", "Dr.", "", "Annie", "an", "em", "lii", "CTO",
                                  QString::fromUtf8("Acme \xC3\xA9"), "R&D", "note"}));
    EXPECT_EQ(d.birthday, "1980-02-03");
    EXPECT_EQ(d.contactName(), "Dr. Ann M Lee");
    EXPECT_EQ(d.image, QByteArray(reinterpret_cast<const char*>(png), sizeof(png)));
    EXPECT_EQ(d.creationDate, QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
    EXPECT_FALSE(d.modificationDate.isValid());

    // The earlier property is replaced, the new ones keep the record's order.
    ASSERT_EQ(d.properties().size(), 5);
    const KdContactProperty* p0 = d.properties()[0];
    EXPECT_EQ(p0->propType(), 3);
    EXPECT_EQ(p0->propLabel(), "mobile");
    EXPECT_EQ(p0->propValue(), "555-0199");
    EXPECT_EQ(d.properties()[1]->propLabel(), ""); // null label reads as empty
    EXPECT_EQ(d.readProperty(3), "555-0199; +1 (212) 555-0100");
    EXPECT_EQ(d.readProperty(4), "ann@example.com");
    EXPECT_EQ(d.readProperty(22), "http://ann.example/");
    const KdContactProperty* home = d.properties()[4];
    EXPECT_EQ(home->propType(), 5);
    EXPECT_EQ(home->labelText(), "Home");
    QMap<QString, QString> expected;
    expected.insert("City", "New York");
    expected.insert("ZIP", "10001");
    EXPECT_EQ(home->propValueEntry(), expected);
    EXPECT_EQ(d.readProperty(5), "New York, 10001");
}

TEST(KdContactPrivate, FromAddrBookSurvivesHostileRecords)
{
    KdContactPrivate d;
    EXPECT_FALSE(d.fromAddrBook(nullptr, nullptr));

    // A looped value list ends at the cap instead of hanging; a looped entry list likewise.
    ContactValueEntry loopEntry{"Street", "s", nullptr};
    loopEntry.next = &loopEntry;
    ContactMultiValue loop{5, 0, "", "", &loopEntry, nullptr};
    loop.next = &loop;
    addressbookdb rec{};
    rec.person = emptyPerson();
    rec.values = &loop;
    rec.image = reinterpret_cast<const unsigned char*>("x");
    rec.imageSize = -5; // negative size: no image
    testsupport::LogCapture log;
    ASSERT_TRUE(d.fromAddrBook(&rec, nullptr));
    EXPECT_GT(d.properties().size(), 0);
    EXPECT_LE(d.properties().size(), 1000);
    EXPECT_TRUE(log.contains("values, rest ignored"));
    EXPECT_EQ(d.properties()[0]->displayValue(), "s");
    EXPECT_TRUE(d.image.isEmpty());
    EXPECT_EQ(d.contactName(), "");
}
