// The index of the address book's phone numbers and e-mail addresses that names participants.

#include <gtest/gtest.h>

#include "ContactIndex.h"
#include "TestSupport.h"
#include "kddata/KdBackup.h"

namespace {

KdContactItem* contact(const QString& first, const QList<QPair<int, QString>>& properties)
{
    KdContactItem* item = KdContactItem::createItem();
    auto* detail = new KdContactPrivate;
    detail->first = first;
    for (const auto& p : properties) {
        auto* property = new KdContactProperty;
        property->setPropType(p.first);
        property->setPropValue(p.second);
        detail->addProperty(property);
    }
    item->setDetailContent(detail);
    item->setValue(first, 0);
    return item;
}

} // namespace

// Items of other classes are passed over; a null container adds nothing.
TEST(ContactIndex, KeysPhonesWithoutPunctuationAndMailsAsStored)
{
    KdContactData contacts;
    contacts.append(contact(QStringLiteral("Ann"), {{3, QStringLiteral("(1) 2-3 4")}, {3, QStringLiteral("+1 (415) 555-0100")}}));
    contacts.append(KdFileItem::createItem());
    contacts.append(contact(QStringLiteral("Bob"), {{4, QStringLiteral("Shared@Example.com")}, {22, QStringLiteral("http://x")}}));
    contacts.append(contact(QStringLiteral("Cy"), {{5, QString()}, {22, QStringLiteral("http://y")}})); // no address
    contacts.append(contact(QStringLiteral("Dee"), {{4, QStringLiteral("Shared@Example.com")}, {3, QStringLiteral("1.2")}}));

    QStringList names = {QStringLiteral("earlier")};
    QMap<QString, int> index;
    index.insert(QStringLiteral("kept"), 0);
    buildContactIndex(&contacts, &names, &index);
    buildContactIndex(nullptr, &names, &index);

    EXPECT_EQ(names, (QStringList{QStringLiteral("earlier"), QStringLiteral("Ann"), QStringLiteral("Bob"), QStringLiteral("Dee")}));
    EXPECT_EQ(index.value(QStringLiteral("1234")), 1);
    EXPECT_EQ(index.value(QStringLiteral("+14155550100")), 1);
    EXPECT_EQ(index.value(QStringLiteral("Shared@Example.com")), 3); // the later contact wins
    EXPECT_EQ(index.value(QStringLiteral("1.2")), 3);                 // only "-", " ", "(" and ")" go
    EXPECT_EQ(index.value(QStringLiteral("kept")), 0);
    EXPECT_EQ(index.size(), 5);
    EXPECT_EQ(contactIndexPhoneKey(QStringLiteral(" (0) 1-2 ")), QStringLiteral("012"));
}
