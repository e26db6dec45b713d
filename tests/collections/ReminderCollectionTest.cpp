// Reminders of the calendar database: which items are reminders, every column with its sort
// value, alarm locations in both alarm layouts, order by list, progress.

#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>

#include "CReminderCollection.h"
#include "CalendarSample.h"
#include "kddata/KdBackup.h"

using namespace calsample;

namespace {

// "groceries" sorts after "Reminders" by code unit, before it in any locale; the default list
// sorts by the name shown. Buy milk's first alarm has no location, its second one has.
bool buildReminders(sqlite3* db, int major)
{
    return createLayout(db, major)
        && exec(db, "INSERT INTO Calendar (ROWID, title, supported_entity_types) VALUES (1, 'Home', 4), "
                    "(2, 'DEFAULT_TASK_CALENDAR_NAME', 8), (3, 'groceries', 8), (4, 'Errands', 8), (5, 'Mixed', 0)")
        && exec(db, QStringLiteral("INSERT INTO CalendarItem (ROWID, summary, description, priority, start_date, "
                                   "completion_date, end_date, calendar_id) VALUES "
                                   "(11, 'Buy milk', '2 litres', 5, 400000000, NULL, NULL, 3), "
                                   "(12, 'Pay rent', NULL, 1, 0, 400000100, NULL, 2), "
                                   "(13, 'Renew passport', 'form B', 9, %1, 0, NULL, 4), "
                                   "(14, 'Water plants', NULL, 7, NULL, 1, NULL, 5), "
                                   "(15, 'Meeting', NULL, 0, 400000000, NULL, 400003600, 1), "
                                   "(16, 'Mixed event', NULL, 0, 400000000, NULL, 400003600, 5), "
                                   "(17, 'Call bank', NULL, 0, NULL, NULL, NULL, 2)").arg(at(2014, 6, 1, 9)))
        && exec(db, QStringLiteral("INSERT INTO Alarm (ROWID, %1) VALUES (1, 11), (2, 11), (3, 15)")
                        .arg(QLatin1String(major >= 9 ? "calendaritem_owner_id" : "owner_id")))
        && exec(db, "INSERT INTO Location (title, alarm_owner_id) VALUES ('Corner shop', 2), ('Office', 3)")
        // As devices store it: the due date in due_date, start_date empty.
        && exec(db, "UPDATE CalendarItem SET due_date = 400200000 WHERE ROWID = 17");
}

// Columns title|list|status|due|location|priority|notes, then the due and priority sort values.
QStringList reminders(KdBackup& model, const QString& folder, CIProgressCallback* progress = nullptr,
                      QStringList* lines = nullptr, QStringList* problems = nullptr)
{
    return rows(collect<CReminderCollection>(model.getReminder(), folder, progress, lines, problems), {3, 5});
}

class ReminderCollectionTest : public ::testing::TestWithParam<int>
{
protected:
    // As the program runs: in a locale that would put "groceries" before "Reminders".
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    QTemporaryDir dir;
    KdBackup model;
};

} // namespace

TEST_P(ReminderCollectionTest, RemindersOfEveryLayoutByListWithTheirAlarmLocation)
{
    const QString folder = writeBackup(dir, [](sqlite3* db) { return buildReminders(db, GetParam()); });
    EXPECT_EQ(reminders(model, folder), (QStringList{
        "Renew passport|Errands|Uncompleted|2014-06-01 09:00||Low|form B|2014-06-01T09:00:00Z|9",
        "Water plants|Mixed|Completed|||7|||7",
        "Pay rent|Reminders|Completed|||High|||1",
        "Call bank|Reminders|Uncompleted|2013-09-06 22:40||None||2013-09-06T22:40:00Z|0",
        "Buy milk|groceries|Uncompleted|2013-09-04 15:06|Corner shop|Medium|2 litres|2013-09-04T15:06:40Z|5"}));
}

INSTANTIATE_TEST_SUITE_P(Ios, ReminderCollectionTest, ::testing::Values(6, 7, 8, 9, 10, 11));

// Progress belongs to the reminders alone; a refusal keeps what was read, still ordered.
TEST_F(ReminderCollectionTest, ProgressAndCancellation)
{
    const QString folder = writeBackup(dir, [](sqlite3* db) { return buildReminders(db, 8); });
    testsupport::ProgressRecorder full(90);
    EXPECT_EQ(reminders(model, folder, &full).size(), 5);
    EXPECT_EQ(full.steps, std::vector<double>(5, 18.0));

    model.getReminder()->clear();
    testsupport::ProgressRecorder refusing;
    refusing.answer = [](int call) { return call < 2; };
    const QStringList read = reminders(model, folder, &refusing);
    ASSERT_EQ(read.size(), 2);
    EXPECT_TRUE(read[0].startsWith(QStringLiteral("Pay rent|")) && read[1].startsWith(QStringLiteral("Buy milk|")));
}

// The stores of iOS 13 on: each Data-*.sqlite of the reminders' group is read, lists by name,
// completion and due date from their own columns, reminders marked for deletion marked deleted.
TEST(ReminderStore, RemindersOfEveryStoreWithTheirLists)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w = phone(dir.filePath(QStringLiteral("backup")), true);
    const QString group = QStringLiteral("AppDomainGroup-group.com.apple.reminders");
    const char* const stores[][2] = {
        {"Container_v1/Stores/Data-7A3F.sqlite",
         "INSERT INTO ZREMCDBASELIST (Z_PK, ZNAME) VALUES (1, 'Groceries'), (2, 'Work');"
         "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZNOTES, ZCOMPLETED, ZDUEDATE, ZPRIORITY, ZLIST, ZMARKEDFORDELETION) VALUES "
         "(1, 'Report', 'Q3', 0, 700000000.9, 1, 2, 0), (2, 'Milk', NULL, 1, NULL, 0, 1, 0), (3, 'Old idea', NULL, 0, NULL, 9, 1, 1), "
         "(4, 'Renew the passport before the trip', NULL, 0, NULL, 0, 2, 0);"
         "DELETE FROM ZREMCDREMINDER WHERE Z_PK = 4"},
        {"Container_v1/Stores/Data-local.sqlite",
         "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZCOMPLETED, ZPRIORITY, ZLIST, ZMARKEDFORDELETION) VALUES (1, 'No list', 0, 5, NULL, 0)"},
    };
    for (const auto& s : stores)
        ASSERT_FALSE(w.addDatabase(group, QLatin1String(s[0]), [&](sqlite3* db) {
            return exec(db, QStringLiteral(
                "CREATE TABLE ZREMCDBASELIST (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZNAME VARCHAR, ZMARKEDFORDELETION INTEGER);"
                "CREATE TABLE ZREMCDREMINDER (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCOMPLETED INTEGER, ZFLAGGED INTEGER, "
                "ZMARKEDFORDELETION INTEGER, ZPRIORITY INTEGER, ZLIST INTEGER, ZCOMPLETIONDATE TIMESTAMP, ZDUEDATE TIMESTAMP, "
                "ZTITLE VARCHAR, ZNOTES VARCHAR);") + QLatin1String(s[1]));
        }).isEmpty());
    w.addFile(group, QStringLiteral("Container_v1/Stores/Data-7A3F.sqlite-shm"), QByteArray(32768, '\0'));
    ASSERT_TRUE(w.write());
    KdBackup model;
    EXPECT_EQ(collsample::rows(collect<CReminderCollection>(model.getReminder(), w.folder()), [](const KdAbstractItem* r) {
                  return QStringList{r->value(0), r->value(1), r->value(2), r->value(3), r->value(5), r->value(6),
                                     r->isDeleted() ? QStringLiteral("deleted") : QString()};
              }),
              (QStringList{"Milk|Groceries|Completed||None||", "Old idea|Groceries|Uncompleted||Low||deleted",
                           "Report|Work|Uncompleted|2023-03-08 20:26|High|Q3|", "No list||Uncompleted||Medium||"}));

    // The whole run also stages every store for the deleted-record scan.
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(w.folder()));
    QTemporaryDir work;
    b.setTmpPathForRecovery(work.path());
    KdBackup full;
    ASSERT_TRUE(b.collectDatas(&full, nullptr));
    const KdData* all = full.getReminder();
    ASSERT_EQ(all->count(KdData::DeletedItems), 2); // the one marked for deletion, the one deleted
    EXPECT_EQ(all->at(0, false)->value(0), QStringLiteral("Renew the passport before the trip"));
    EXPECT_EQ(all->at(0, false)->value(1), QStringLiteral("Work"));
}
