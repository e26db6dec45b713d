// Calendar events from both layouts of the calendar database: exact texts and sort values, the
// event's own time zone, all-day dates, which items are events, unreadable databases.

#include <gtest/gtest.h>

#include <ctime>

#include "CCalendarCollection.h"
#include "CReminderCollection.h"
#include "CalendarSample.h"
#include "kddata/KdBackup.h"

using namespace calsample;

namespace {

// Columns title|location|start|end|description, then the start and end sort values.
QStringList events(KdBackup& model, const QString& folder, QStringList* lines = nullptr, QStringList* problems = nullptr)
{
    return rows(collect<CCalendarCollection>(model.getCalendar(), folder, nullptr, lines, problems), {2, 3});
}

class CalendarCollectionTest : public ::testing::TestWithParam<int>
{
protected:
    QTemporaryDir dir;
    KdBackup model;
};

} // namespace

TEST_P(CalendarCollectionTest, EventsOfEveryCalendaritemLayoutInTheirOwnZone)
{
    const QString folder = writeBackup(dir, [](sqlite3* db) {
        return createLayout(db, GetParam())
            && exec(db, "INSERT INTO Calendar (ROWID, title, supported_entity_types) VALUES (1, 'Home', 4), "
                        "(2, 'DEFAULT_TASK_CALENDAR_NAME', 8), (3, 'Mixed', 0)")
            && exec(db, "INSERT INTO Location (ROWID, title) VALUES (7, 'Main St 5')")
            && exec(db, QStringLiteral("INSERT INTO CalendarItem (summary, location_id, description, start_date, start_tz, "
                                       "end_date, all_day, calendar_id) VALUES "
                                       "('Dentist', 7, 'Bring card', 400000000.7, 'Europe/Paris', 400003600, 0, 1), "
                                       "('Holiday', NULL, NULL, %1, '_float', %2, 1, 1), "
                                       "('Call NY', NULL, '', %3, 'America/New_York', %4, 0, 3), "
                                       "('Ski trip', NULL, NULL, %5, 'Europe/Paris', %6, 1, 1), "
                                       "('Task with an end', NULL, NULL, 400000500, NULL, 400000900, 0, 2), "
                                       "('Undated', NULL, NULL, 400000600, NULL, NULL, 0, 3), "
                                       "(NULL, NULL, NULL, NULL, NULL, NULL, NULL, 1), "
                                       "('Far future', NULL, NULL, 1e15, 'Mars/Olympus', 1e15, 0, 1), "
                                       "('Born', NULL, NULL, -2351160000, NULL, -2351156400, 0, 1), "
                                       "('Centenary', NULL, NULL, 3160803600.5, NULL, 3160807200, 0, 1)")
                                .arg(at(2013, 12, 25)).arg(at(2013, 12, 26)).arg(at(2014, 1, 10, 3, 30))
                                .arg(at(2014, 1, 10, 4, 15)).arg(at(2014, 2, 28, 23)).arg(at(2014, 3, 1, 23)));
    });
    // The viewer's zone moves nothing: at UTC-10 a shift would take midnight to the day before.
    const QByteArray viewer = qgetenv("TZ");
    qputenv("TZ", "Pacific/Honolulu");
    tzset();
    const QStringList found = events(model, folder);
    if (viewer.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", viewer);
    tzset();
    EXPECT_EQ(found, (QStringList{
        "||2001-01-01 00:00|2001-01-01 00:00||2001-01-01T00:00:00Z|2001-01-01T00:00:00Z",
        // Beyond what 32 bits of seconds reach on either side.
        "Born||1926-07-01 12:00|1926-07-01 13:00||1926-07-01T12:00:00Z|1926-07-01T13:00:00Z",
        "Dentist|Main St 5|2013-09-04 17:06|2013-09-04 18:06|Bring card|2013-09-04T15:06:40Z|2013-09-04T16:06:40Z",
        "Holiday||2013-12-25|2013-12-26||2013-12-25T00:00:00Z|2013-12-26T00:00:00Z",
        "Call NY||2014-01-09 22:30|2014-01-09 23:15||2014-01-10T03:30:00Z|2014-01-10T04:15:00Z",
        "Ski trip||2014-03-01|2014-03-02||2014-02-28T23:00:00Z|2014-03-01T23:00:00Z",
        "Centenary||2101-03-01 09:00|2101-03-01 10:00||2101-03-01T09:00:00Z|2101-03-01T10:00:00Z",
        // Damage is held at a bound; an unknown zone reads as UTC.
        "Far future||5169-11-16 09:46|5169-11-16 09:46||5169-11-16T09:46:40Z|5169-11-16T09:46:40Z"}));
}

INSTANTIATE_TEST_SUITE_P(Ios, CalendarCollectionTest, ::testing::Values(6, 7, 8, 9, 10, 11));

// Events come from the event table; that layout holds no reminders.
TEST_F(CalendarCollectionTest, TheOlderLayoutIsReadFromItsEventTable)
{
    const QString folder = writeBackup(dir, [](sqlite3* db) {
        return createLayout(db, 0)
            && exec(db, "INSERT INTO Event (summary, location, description, start_date, start_tz, end_date, all_day) "
                        "VALUES ('Later', 'Cafe', 'Lunch', 400090000, 'UTC', 400093600, 0), "
                        "('Sooner', NULL, NULL, 400000000, NULL, 400086400, 1)");
    });
    EXPECT_EQ(events(model, folder), (QStringList{
        "Sooner||2013-09-04|2013-09-05||2013-09-04T15:06:40Z|2013-09-05T15:06:40Z",
        "Later|Cafe|2013-09-05 16:06|2013-09-05 17:06|Lunch|2013-09-05T16:06:40Z|2013-09-05T17:06:40Z"}));
    EXPECT_EQ(collect<CReminderCollection>(model.getReminder(), folder)->count(), 0);
}

// Events and reminders alike: one line and nothing read; a file that is no database is a problem.
TEST_F(CalendarCollectionTest, MissingOrNoDatabaseGivesOneLineAndNothing)
{
    for (const QByteArray& raw : {QByteArray(), QByteArray("not a database at all")}) {
        const QString folder = writeBackup(dir, {}, raw);
        const QString path = QDir(folder).filePath(sample::hashedName(QStringLiteral("HomeDomain"), kDatabase));
        for (const auto& [data, read] : {std::pair{model.getCalendar(), &collect<CCalendarCollection>},
                                         std::pair{model.getReminder(), &collect<CReminderCollection>}}) {
            QStringList lines, problems;
            EXPECT_EQ(read(data, folder, nullptr, &lines, &problems)->count(), 0);
            ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
            EXPECT_TRUE(lines[0].startsWith(raw.isEmpty() ? "Not exists: " + path : QStringLiteral("Fail to read db file: ")));
            EXPECT_EQ(problems.size(), raw.isEmpty() ? 0 : 1);
        }
        QDir(folder).removeRecursively();
    }
}

// Devices keep the calendar in WAL mode: the main file may hold nothing but its first page.
TEST_F(CalendarCollectionTest, RowsOnlyTheWalHoldsAreRead)
{
    const WalFiles files = walDatabase([](sqlite3* db) {
        return createLayout(db, 8) && exec(db, "INSERT INTO Calendar (ROWID, title, supported_entity_types) VALUES (1, 'Home', 4)")
            && exec(db, "INSERT INTO CalendarItem (summary, start_date, end_date, calendar_id) VALUES ('In the wal', 0, 60, 1)");
    });
    ASSERT_LE(files.database.size(), 4096);
    const QString folder = writeBackup(dir, {}, files.database, files.wal);
    const auto before = testsupport::snapshotFolder(folder);
    EXPECT_EQ(events(model, folder),
              QStringList{"In the wal||2001-01-01 00:00|2001-01-01 00:01||2001-01-01T00:00:00Z|2001-01-01T00:01:00Z"});
    EXPECT_EQ(testsupport::snapshotFolder(folder), before);
}
