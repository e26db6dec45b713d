// Calls of both stores as the user sees them: type and outcome texts with their sort values,
// names from the address book, newest first, dates from either epoch.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "CCalllistCollection.h"
#include "CallTypeText.h"
#include "CollectionSample.h"
#include "contact/IBackupContact.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"

namespace {

// Rows of a call table as the user sees them: name | number | date | type | outcome (sort).
QStringList callRows(const QString& domain, const QString& path, int ios, const QString& inserts)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w = collsample::phone(dir.filePath(QStringLiteral("backup")));
    QList<sample::SamplePerson> people(2);
    people[0].prefix = QStringLiteral("Dr.");
    people[0].last = QStringLiteral("Who");
    people[0].values = {{3, QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("+1 (415) 555-0100"), {}}};
    people[1].first = QStringLiteral("Mail");
    people[1].values = {{4, QString(), QStringLiteral("Mail@Example.com"), {}}};
    w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), [&](sqlite3* db) {
        return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb")) && sample::insertPeople(db, people, false);
    });
    EXPECT_FALSE(w.addDatabase(domain, path, [&](sqlite3* db) {
        return collsample::execAll(db, ibr::iosSchemaStatements(ios, path.section(QLatin1Char('/'), -1)) << inserts);
    }).isEmpty());
    EXPECT_TRUE(w.write());
    KdBackup model;
    return collsample::rows(collsample::collect<CCalllistCollection>(model.getCallHistory(), w.folder()), [](const KdAbstractItem* it) {
        return QStringList{it->value(0), it->value(1), it->sortValue(2).toDateTime().toString(Qt::ISODate), it->value(3),
                           it->value(4) + QStringLiteral(" (") + it->sortValue(4).toString() + QLatin1Char(')')};
    });
}

} // namespace

TEST(CalllistCollection, CallTypeTexts)
{
    const struct {
        int flags;
        const char* text;
    } cases[] = {{4, "Incoming Calls"}, {5, "Outgoing Calls"}, {16, "Incoming FaceTime"}, {17, "Outgoing FaceTime"},
                 {16 | 32, "Incoming FaceTime Audio"}, {17 | 64, "Outgoing FaceTime Video"}, {0, "Incoming Calls"},
                 {CallOutgoing | CallOtherApp | (1 << CallAppShift), "Outgoing WhatsApp"},
                 {CallOtherApp | (3 << CallAppShift), "Incoming Telegram"},
                 {CallOtherApp | (200 << CallAppShift), "Incoming App Call"}, // beyond the known apps
                 {CallOutgoing | CallOtherApp, "Outgoing App Call"}};
    for (const auto& c : cases)
        EXPECT_EQ(callTypeText(c.flags), QLatin1String(c.text)) << c.flags;
}

TEST(CalllistCollection, OlderStoreNewestFirstWithNamesAndOutcomes)
{
    const QStringList rows = callRows(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"), 8,
                                      QStringLiteral("INSERT INTO call (address, date, duration, flags) VALUES "
                                                     "('4155550100', 1300000000, 75, 4), ('+15550199', 1300000600, 0, 5), "
                                                     "('5550199', 1300001200, 0, 4), ('mail@example.com', 1300001800, 3700, 17)"));
    EXPECT_EQ(rows, (QStringList{
                        "Mail|mail@example.com|2011-03-13T07:36:40Z|Outgoing FaceTime|1:01:40 (3700)",
                        "|5550199|2011-03-13T07:26:40Z|Incoming Calls|Missed (0)",
                        "|+15550199|2011-03-13T07:16:40Z|Outgoing Calls|Canceled (-1)",
                        "Dr. Who|4155550100|2011-03-13T07:06:40Z|Incoming Calls|0:01:15 (75)",
                    }));
}

// The Core Data store of iOS 9 to 17, dates from 2001 and seconds cut to whole ones, gives the
// same calls: the CallRecord entity's number is looked up by name (rows of another entity are
// left out), the number is a blob before iOS 17 and text after, and the provider column appears
// in iOS 10.
TEST(CalllistCollection, CoreDataStoreLayoutsOfEveryRelease)
{
    const struct {
        int ios;
        int callEntity;
        int otherEntity; // the call entity's number in another release
    } layouts[] = {{9, 2, 4}, {10, 3, 2}, {11, 5, 3}, {17, 2, 5}};
    for (const auto& l : layouts) {
        const bool textAddress = l.ios >= 17, provider = l.ios >= 10;
        const auto address = [&](const char* a) {
            return textAddress ? QStringLiteral("'%1'").arg(QLatin1String(a)) : QStringLiteral("CAST('%1' AS BLOB)").arg(QLatin1String(a));
        };
        const QString providerColumn = provider ? QStringLiteral(", ZSERVICE_PROVIDER") : QString();
        const auto providerValue = [&](const char* p) { return provider ? QStringLiteral(", '%1'").arg(QLatin1String(p)) : QString(); };
        const QStringList rows = callRows(
            QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistoryDB/CallHistory.storedata"), l.ios,
            QStringLiteral("INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (%1, 'CallRecord', 0, 3), "
                           "(%2, 'Handle', 0, 1);").arg(l.callEntity).arg(l.otherEntity)
                + QStringLiteral("INSERT INTO ZCALLRECORD (Z_PK, Z_ENT, ZADDRESS, ZDATE, ZDURATION, ZORIGINATED, ZANSWERED, "
                                 "ZCALLTYPE%1) VALUES (1, %2, %3, 400000000.5, 61.9, 1, 1, 1%4), (2, %2, %5, 400000100, 0, 0, 0, 16%6), "
                                 "(3, %7, %3, 400000200, 5, 1, 1, 1%4), (4, %2, NULL, 400000300, 12, 0, 1, 8%6)")
                      .arg(providerColumn).arg(l.callEntity).arg(address("+14155550100"), providerValue("com.apple.Telephony"),
                                                                  address("mail@example.com"), providerValue("com.apple.FaceTime"))
                      .arg(l.otherEntity));
        EXPECT_EQ(rows, (QStringList{
                            "||2013-09-04T15:11:40Z|Incoming FaceTime Video|0:00:12 (12)",
                            "Mail|mail@example.com|2013-09-04T15:08:20Z|Incoming FaceTime Audio|Missed (0)",
                            "Dr. Who|+14155550100|2013-09-04T15:06:40Z|Outgoing Calls|0:01:01 (61)",
                        }))
            << "iOS " << l.ios;
    }
}

// From iOS 10 calls of other apps share the store, named by ZSERVICE_PROVIDER.
TEST(CalllistCollection, CallsOfOtherAppsAreNamedForTheApp)
{
    const QStringList rows = callRows(
        QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistoryDB/CallHistory.storedata"), 17,
        QStringLiteral("INSERT INTO ZCALLRECORD (Z_PK, Z_ENT, ZADDRESS, ZDATE, ZDURATION, ZORIGINATED, ZANSWERED, ZCALLTYPE, "
                       "ZSERVICE_PROVIDER) VALUES (1, 2, 'alice', 400000000, 30, 1, 1, 1, 'net.whatsapp.WhatsApp'), "
                       "(2, 2, 'bob', 400000100, 30, 0, 1, 1, 'com.example.voip'), "
                       "(3, 2, 'carol', 400000200, 30, 0, 1, 8, 'com.apple.FaceTime'), "
                       "(4, 2, 'dave', 400000300, 30, 1, 1, 1, 'com.apple.FaceTime'), "
                       "(5, 2, 'erin', 400000400, 30, 1, 1, 1, NULL)"));
    QStringList types;
    for (const QString& row : rows)
        types << row.section(QLatin1Char('|'), 1, 1) + ": " + row.section(QLatin1Char('|'), 3, 3);
    EXPECT_EQ(types, (QStringList{"erin: Outgoing Calls", "dave: Outgoing FaceTime", "carol: Incoming FaceTime Video",
                                  "bob: Incoming App Call", "alice: Outgoing WhatsApp"}));
}
