// Calls of both stores as the user sees them: type and outcome texts with their sort values,
// names from the address book, newest first, dates from either epoch.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "CCalllistCollection.h"
#include "CallTypeText.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "ibr/schemas.h"
#include "kddata/KdBackup.h"

namespace {

bool run(sqlite3* db, QStringList sql)
{
    for (const QString& s : sql)
        if (!s.contains(QLatin1String("sqlite_")) && sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << s.toStdString() << ": " << sqlite3_errmsg(db);
            return false;
        }
    return true;
}

// Rows of a call table as the user sees them: name | number | date | type | outcome (sort).
QStringList callRows(const QString& domain, const QString& path, int ios, const QStringList& inserts)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
    QList<sample::SamplePerson> people(2);
    people[0].prefix = QStringLiteral("Dr.");
    people[0].last = QStringLiteral("Who");
    people[0].values = {{3, QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("+1 (415) 555-0100"), {}}};
    people[1].first = QStringLiteral("Mail");
    people[1].values = {{4, QString(), QStringLiteral("Mail@Example.com"), {}}};
    w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), [&](sqlite3* db) {
        return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb")) && sample::insertPeople(db, people, false);
    });
    const QString name = path.section(QLatin1Char('/'), -1);
    EXPECT_FALSE(w.addDatabase(domain, path, [&](sqlite3* db) {
        return run(db, ibr::iosSchemaStatements(ios, name)) && run(db, inserts);
    }).isEmpty());
    EXPECT_TRUE(w.write());
    CiTunesBackup b;
    EXPECT_TRUE(b.parseFromPath(w.folder()));
    KdBackup model;
    CCalllistCollection c(model.getCallHistory());
    c.collect(b.path(), b.files(), b.fileSuffix());
    QStringList rows;
    KdData* calls = model.getCallHistory();
    for (int i = 0; i < calls->count(); ++i) {
        const KdAbstractItem* it = calls->at(i, false);
        rows << QStringList{it->value(0), it->value(1), it->sortValue(2).toDateTime().toString(Qt::ISODate), it->value(3),
                            it->value(4) + QStringLiteral(" (") + it->sortValue(4).toString() + QLatin1Char(')')}
                    .join(QLatin1Char('|'));
    }
    return rows;
}

} // namespace

TEST(CalllistCollection, CallTypeTexts)
{
    const struct {
        int flags;
        const char* text;
    } cases[] = {{4, "Incoming Calls"}, {5, "Outgoing Calls"}, {16, "Incoming FaceTime"}, {17, "Outgoing FaceTime"},
                 {16 | 32, "Incoming FaceTime Audio"}, {17 | 64, "Outgoing FaceTime Video"}, {0, "Incoming Calls"}};
    for (const auto& c : cases)
        EXPECT_EQ(callTypeText(c.flags), QLatin1String(c.text)) << c.flags;
}

TEST(CalllistCollection, OlderStoreNewestFirstWithNamesAndOutcomes)
{
    const QStringList rows = callRows(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"), 8,
                                      {QStringLiteral("INSERT INTO call (address, date, duration, flags) VALUES "
                                                      "('4155550100', 1300000000, 75, 4), ('+15550199', 1300000600, 0, 5), "
                                                      "('5550199', 1300001200, 0, 4), ('mail@example.com', 1300001800, 3700, 17)")});
    EXPECT_EQ(rows, (QStringList{
                        "Mail|mail@example.com|2011-03-13T07:36:40Z|Outgoing FaceTime|1:01:40 (3700)",
                        "|5550199|2011-03-13T07:26:40Z|Incoming Calls|Missed (0)",
                        "|+15550199|2011-03-13T07:16:40Z|Outgoing Calls|Canceled (-1)",
                        "Dr. Who|4155550100|2011-03-13T07:06:40Z|Incoming Calls|0:01:15 (75)",
                    }));
}

// From iOS 8 on: a Core Data store, dates from 2001, the number in a blob, FaceTime kinds.
TEST(CalllistCollection, CoreDataStoreOfNewerDevices)
{
    const QStringList rows = callRows(
        QStringLiteral("HomeDomain"), QStringLiteral("Library/CallHistoryDB/CallHistory.storedata"), 9,
        {QStringLiteral("INSERT INTO ZCALLRECORD (Z_PK, Z_ENT, ZADDRESS, ZDATE, ZDURATION, ZORIGINATED, ZANSWERED, ZCALLTYPE) VALUES "
                        "(1, 2, CAST('+14155550100' AS BLOB), 400000000.5, 61.9, 1, 1, 1), "
                        "(2, 2, 'mail@example.com', 400000100, 0, 0, 0, 16), "
                        "(3, 2, NULL, 400000200, 12, 0, 1, 8)")});
    EXPECT_EQ(rows, (QStringList{
                        "||2013-09-04T15:10:00Z|Incoming FaceTime Video|0:00:12 (12)",
                        "Mail|mail@example.com|2013-09-04T15:08:20Z|Incoming FaceTime Audio|Missed (0)",
                        "Dr. Who|+14155550100|2013-09-04T15:06:40Z|Outgoing Calls|0:01:01 (61)",
                    }));
}
