#include <gtest/gtest.h>

#include "TestSupport.h"
#include "contact/IBackupContact.h"
#include "kddata/KdBackup.h"

TEST(KdContactPrivate, ContactNameComposesNamePartsWithFallbacks)
{
    const struct {
        QStringList texts; // prefix, first, middle, last, suffix, organization, nickname
        const char* name;
    } cases[] = {
        {{"Dr.", "Ann", "B.", "Smith", "Jr."}, "Dr. Ann B. Smith Jr."},
        {{"", "Ann", "", "Smith", ""}, "Ann Smith"},
        {{"  ", "Ann", " ", "", ""}, "Ann"},
        {{"", "", "", "Smith", "", "Acme"}, "Smith"},
        {{"", "", "", "", "", "Acme", "Nick"}, "Acme"},
        {{"", "", "", "", "", "", "Nick"}, "Nick"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        KdContactPrivate d;
        QString* parts[] = {&d.prefix, &d.first, &d.middle, &d.last, &d.suffix, &d.organization, &d.nickname};
        for (int i = 0; i < c.texts.size(); ++i)
            *parts[i] = c.texts[i];
        EXPECT_EQ(d.contactName(), QString::fromUtf8(c.name)) << c.name;
    }
}

// Stored final, whichever of type and value is set first, so that a duplicate test can compare
// finalValue() of a raw text with the stored value.
TEST(KdContactProperty, FinalValueIsTheDisplayedFormAndIdempotent)
{
    const struct {
        int type;
        const char* value;
        const char* expected;
    } cases[] = {
        {KdContactProperty::Phone, "(555) 123-4567", "(555) 123-4567"}, {KdContactProperty::Phone, " +1 555 ", "+1 555"},
        {KdContactProperty::Email, "a@b.c\n", "a@b.c"},                 {KdContactProperty::Url, "http://x.y/", "http://x.y/"},
        {KdContactProperty::Date, "0", "2001-01-01"},                   {KdContactProperty::Date, "86400.5", "2001-01-02"},
        {KdContactProperty::Date, "-86400", "2000-12-31"},              {KdContactProperty::Date, "2012-05-06", "2012-05-06"},
        {KdContactProperty::Date, "1e300", "1e300"},                    {KdContactProperty::Date, "", ""},
    };
    for (const auto& c : cases) {
        const QString once = KdContactProperty::finalValue(c.type, c.value);
        EXPECT_EQ(once, QString::fromUtf8(c.expected)) << c.value;
        EXPECT_EQ(KdContactProperty::finalValue(c.type, once), once) << c.value;
        KdContactProperty typeFirst, valueFirst;
        typeFirst.setPropType(c.type);
        typeFirst.setPropValue(c.value);
        valueFirst.setPropValue(c.value);
        valueFirst.setPropType(c.type);
        EXPECT_EQ(typeFirst.propValue(), once) << c.value;
        EXPECT_EQ(valueFirst.propValue(), once) << c.value;
    }
}

TEST(KdContactProperty, LabelsAndCompoundValues)
{
    KdContactProperty p;
    for (const auto& [stored, shown] : {std::pair{"_$!<Mobile>!$_", "Mobile"}, {"work cell", "work cell"}, {"_$!<>!$_", ""}}) {
        p.setPropLabel(stored);
        EXPECT_EQ(p.labelText(), shown) << stored;
    }

    p.setPropType(KdContactProperty::Address);
    QMap<QString, QString> entry{{"Country", "France"}, {"CountryCode", "fr"}, {"ZIP", "75001"}, {"City", "Paris"},
                                 {"Street", "1 Rue X"}, {"Extra", "Bldg 2"},  {"State", " "}};
    p.setPropValueEntry(entry);
    EXPECT_EQ(p.propValue(), "");
    EXPECT_EQ(p.displayValue(), "1 Rue X, Paris, 75001, France, Bldg 2");
    entry.remove("Country");
    p.setPropValueEntry(entry);
    EXPECT_EQ(p.displayValue(), "1 Rue X, Paris, 75001, fr, Bldg 2");
    p.setPropValue("somewhere"); // a scalar value wins over entries
    EXPECT_EQ(p.displayValue(), "somewhere");
}

TEST(KdContactPrivate, ReadPropertyJoinsValuesOfOneType)
{
    KdContactPrivate d;
    for (const auto& [type, value] : {std::pair{3, "111"}, {4, "a@b.c"}, {3, "222"}, {3, ""}, {22, "http://w"}}) {
        auto* p = new KdContactProperty;
        p->setPropType(type);
        p->setPropValue(value);
        d.addProperty(p);
    }
    d.addProperty(nullptr);
    EXPECT_EQ(d.properties().size(), 5);
    EXPECT_EQ(d.readProperty(3), "111; 222");
    EXPECT_EQ(d.readProperty(4), "a@b.c");
    EXPECT_EQ(d.readProperty(5), "");
}

TEST(KdContactPrivate, FromAddrBookReadsNamesValuesEntriesAndImage)
{
    ContactValueEntry zip{"ZIP", "10001", nullptr};
    ContactValueEntry city{"City", "New York", &zip};
    ContactValueEntry nullKey{nullptr, "dropped", &city};
    ContactMultiValue address{5, 3, "_$!<Home>!$_", "", &nullKey, nullptr};
    ContactMultiValue mail{4, 1, "work", "ann@example.com", nullptr, &address};
    ContactMultiValue phone2{3, 4, nullptr, "+1 (212) 555-0100", nullptr, &mail};
    ContactMultiValue phone{3, 0, "mobile", "555-0199", nullptr, &phone2};

    const unsigned char png[] = {0x89, 'P', 'N', 'G', 0, 1, 2};
    addressbookdb rec{};
    rec.person = ContactPersonRecord{};
    const char** texts[] = {&rec.person.first, &rec.person.last, &rec.person.middle, &rec.person.prefix,
                            &rec.person.suffix, &rec.person.nickname, &rec.person.firstPhonetic,
                            &rec.person.middlePhonetic, &rec.person.lastPhonetic, &rec.person.jobTitle,
                            &rec.person.organization, &rec.person.department, &rec.person.note};
    const char* values[] = {"Ann", "Lee", "M", "Dr.", nullptr, "Annie", "an", "em", "lii", "CTO", "Acme \xC3\xA9", "R&D", "note"};
    for (size_t i = 0; i < std::size(texts); ++i)
        *texts[i] = values[i];
    rec.person.birthday = "1980-02-03";
    rec.values = &phone;
    rec.image = png;
    rec.imageSize = sizeof(png);
    rec.creationDate = 86400;

    KdContactPrivate d;
    auto* stale = new KdContactProperty;
    stale->setPropValue("stale");
    d.addProperty(stale);
    ASSERT_TRUE(d.fromAddrBook(&rec, nullptr));
    QStringList got; // by position: converters copy a recovered person's texts by position
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        got << d.textMember(i);
    EXPECT_EQ(got, QStringList({"Ann", "Lee", "M", "Dr.", "", "Annie", "an", "em", "lii", "CTO",
                                QString::fromUtf8("Acme \xC3\xA9"), "R&D", "note"}));
    EXPECT_EQ(d.birthday, "1980-02-03");
    EXPECT_EQ(d.image, QByteArray(reinterpret_cast<const char*>(png), sizeof(png)));
    EXPECT_EQ(d.creationDate, QDateTime(QDate(2001, 1, 2), QTime(0, 0), Qt::UTC));
    EXPECT_FALSE(d.modificationDate.isValid()); // 0: no date

    // The earlier property is replaced; the new ones keep the record's order.
    ASSERT_EQ(d.properties().size(), 4);
    EXPECT_EQ(d.properties()[0]->propLabel(), "mobile");
    EXPECT_EQ(d.properties()[1]->propLabel(), ""); // null label reads as empty
    EXPECT_EQ(d.readProperty(3), "555-0199; +1 (212) 555-0100");
    EXPECT_EQ(d.readProperty(4), "ann@example.com");
    EXPECT_EQ(d.properties()[3]->labelText(), "Home");
    EXPECT_EQ(d.properties()[3]->propValueEntry(), (QMap<QString, QString>{{"City", "New York"}, {"ZIP", "10001"}}));
}

TEST(KdContactPrivate, FromAddrBookSurvivesHostileRecords)
{
    KdContactPrivate d;
    EXPECT_FALSE(d.fromAddrBook(nullptr, nullptr));
    // Looped value and entry lists end at their caps instead of hanging.
    ContactValueEntry loopEntry{"Street", "s", nullptr};
    loopEntry.next = &loopEntry;
    ContactMultiValue loop{5, 0, "", "", &loopEntry, nullptr};
    loop.next = &loop;
    addressbookdb rec{};
    rec.person = ContactPersonRecord{};
    rec.values = &loop;
    rec.image = reinterpret_cast<const unsigned char*>("x");
    rec.imageSize = -5; // negative size: no image
    ASSERT_TRUE(d.fromAddrBook(&rec, nullptr));
    EXPECT_EQ(d.properties().size(), 1000);
    EXPECT_EQ(d.properties()[0]->displayValue(), "s");
    EXPECT_TRUE(d.image.isEmpty());
}
