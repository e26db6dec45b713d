#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

#include <sqlite3.h>

#include "CDeletedRecovery.h"
#include "CNoteCollection.h"
#include "DuplicateTests.h"
#include "RecoveryConverters.h"
#include "TestSupport.h"
#include "ibr/schemas.h"
#include "iosrecgen.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"
#include "kddata/KdItems.h"

using testsupport::ProgressRecorder;

namespace {

KdContactItem* liveContact(const QString& first, const QString& phone)
{
    auto* detail = new KdContactPrivate;
    detail->first = first;
    auto* p = new KdContactProperty;
    p->setPropType(KdContactProperty::Phone);
    p->setPropValue(phone);
    detail->addProperty(p);
    KdContactItem* item = KdContactItem::createItem();
    item->setValue(first, 0);
    item->setDetailContent(detail);
    return item;
}

QStringList writeFiles(const QTemporaryDir& tmp, const QStringList& names, const QByteArray& bytes)
{
    QStringList files;
    for (const QString& name : names) {
        files << QDir(tmp.path()).filePath(name);
        testsupport::writeFile(files.last(), bytes);
    }
    return files;
}

} // namespace

TEST(RecoveryProgress, WrapperNeverExceedsItsShare)
{
    ProgressRecorder target(1000);
    ProgressWrapper w(&target, 10.0);
    EXPECT_DOUBLE_EQ(w.range(), 10.0);
    for (int i = 0; i < 3; ++i)
        w.progress(4); // the third is clamped to the 2 left
    w.finish();
    EXPECT_EQ(target.steps, (std::vector<double>{4, 4, 2, 0}));
    ProgressWrapper alone(nullptr, 5.0);
    EXPECT_TRUE(alone.progress(100));
    EXPECT_TRUE(alone.finish());
}

// Shares follow the database sizes (plus one, so never zero); a refusal ends the run after the
// type that was refused. The files are no databases: the scans find nothing.
TEST(RecoveryDriver, SharesFollowSizesAndARefusalStopsAfterItsType)
{
    QTemporaryDir tmp;
    const QStringList names{QStringLiteral("AddressBook.sqlitedb"), QStringLiteral("sms.db"), QStringLiteral("call_history.db"),
                            QStringLiteral("Calendar.sqlitedb"), QStringLiteral("notes.sqlite"), QStringLiteral("Bookmarks.db")};
    const QStringList files = writeFiles(tmp, names, QByteArray(100, 'x'));
    for (bool refuse : {false, true}) {
        ProgressRecorder progress(6000);
        if (refuse)
            progress.answer = [](int) { return false; };
        KdBackup backup;
        QStringList skipped;
        EXPECT_EQ(CDeletedRecovery().recover(files, &backup, &progress, &skipped), !refuse);
        EXPECT_NEAR(progress.total, 6000.0 * (refuse ? 100 : 600) / 601, 1e-6) << refuse;
    }
    QTemporaryDir sized;
    const QStringList one = writeFiles(sized, {QStringLiteral("sms.db")}, QByteArray(999, 'x'));
    ProgressRecorder progress(1000);
    KdBackup backup;
    CDeletedRecovery().recover(one, &backup, &progress);
    EXPECT_NEAR(progress.total, 999.0, 1e-9);
}

// Calls found only among deleted records: before the live calls, in the library's order, with
// Unix dates, types and durations as the Call History columns show them.
TEST(RecoveryConverters, DeletedCalls)
{
    const struct {
        CallhistoryRecord record;
        const char* name;
        const char* date;
        const char* type;
        const char* duration;
        int durationKey;
    } cases[] = {
        {{QStringLiteral("+15550100"), 1300000000, 75, 1 | 4}, "Ann", "2011-03-13 07:06", "Outgoing Calls", "0:01:15", 75},
        {{QStringLiteral("+15550111"), 1300086400, 0, 4}, "", "2011-03-14 07:06", "Incoming Calls", "Missed", 0},
        {{QStringLiteral("+15550122"), 1300172800, 0, 1 | 4}, "", "2011-03-15 07:06", "Outgoing Calls", "Canceled", -1},
        {{QStringLiteral("+15550133"), 1300259200, 3725, 16 | 4}, "", "2011-03-16 07:06", "Incoming FaceTime", "1:02:05", 3725},
    };
    QTemporaryDir tmp;
    const QString db = tmp.filePath(QStringLiteral("call_history.db"));
    std::vector<CallhistoryRecord> calls;
    for (const auto& c : cases)
        calls.push_back(c.record);
    ASSERT_TRUE(testsupport::makeDatabase(db, {}, [&](sqlite3* h) { return testsupport::insertDeletedCalls(h, calls); }));

    KdBackup backup;
    backup.getContact()->append(liveContact(QStringLiteral("Ann"), QStringLiteral("+1 555 0100")));
    KdCallHistoryItem* live = KdCallHistoryItem::createItem();
    live->setValue(QStringLiteral("live"), 1);
    backup.getCallHistory()->append(live);
    ProgressRecorder progress(100);
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));

    SqliteRecovery reference;
    ProgressWrapper silent(nullptr, 0);
    ASSERT_EQ(reference.scanRecoveryForType(2, {db}, &silent), int(std::size(cases)));
    KdData* items = backup.getCallHistory();
    ASSERT_EQ(items->count(KdData::AllItems), int(std::size(cases)) + 1);
    EXPECT_EQ(items->at(int(std::size(cases)), false), live);
    for (unsigned i = 0; i < std::size(cases); ++i) {
        const KdAbstractItem* item = items->at(int(i), false);
        const QString address = reference.getCallhistory(i)->address;
        EXPECT_EQ(item->value(1), address) << "not in the library's order at " << i;
        for (const auto& c : cases) {
            if (c.record.address != address)
                continue;
            SCOPED_TRACE(c.record.address.toStdString());
            EXPECT_TRUE(item->isDeleted());
            EXPECT_EQ(item->value(0), QLatin1String(c.name));
            EXPECT_EQ(item->value(2), QLatin1String(c.date));
            EXPECT_EQ(item->sortValue(2).toDateTime(), CCommonUtils::buildDateTimeBaseUnix(c.record.date));
            EXPECT_EQ(item->value(3), QLatin1String(c.type));
            EXPECT_EQ(item->value(4), QLatin1String(c.duration));
            EXPECT_EQ(item->sortValue(4).toInt(), c.durationKey);
        }
    }
}

// The older message layout keeps SMS dates from 1970 and iMessage dates from 2001.
TEST(RecoveryConverters, DeletedMessageDatesFollowTheirEpoch)
{
    QTemporaryDir tmp;
    iosrecgen::Options options;
    options.iosMajor = 5;
    options.rows = 24;
    iosrecgen::Expected expected;
    const QString db = iosrecgen::generate(1, tmp.path(), options, &expected);
    ASSERT_FALSE(db.isEmpty());
    QList<QDateTime> dates;
    for (const iosrecgen::ExpectedMessage& m : expected.messages)
        dates << (m.message.service == 0 ? CCommonUtils::buildDateTimeBaseUnix(m.message.date)
                                         : CCommonUtils::buildDateTimeBase2001(m.message.date));

    KdBackup backup;
    ProgressRecorder progress(100);
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
    int sms = 0, other = 0;
    for (int i = 0; i < backup.getMessage()->count(KdData::AllItems); ++i) {
        const auto* item = static_cast<const KdSMSItem*>(backup.getMessage()->at(i, false));
        ASSERT_TRUE(item->isDeleted());
        QDateTime previous;
        for (const KdSMSChat* chat : item->detailContent()->chats()) {
            EXPECT_TRUE(dates.contains(chat->msgDate())) << chat->msgDate().toString(Qt::ISODate).toStdString();
            EXPECT_FALSE(chat->msgDate() < previous) << "a conversation reads oldest first";
            previous = chat->msgDate();
            ++(chat->isNormalSMS() ? sms : other);
        }
    }
    EXPECT_GT(sms, 0);
    EXPECT_GT(other, 0);
}

// The chat layout counts from 2001 whatever the year: past 2021 a 1970-based reading still looks
// like a plausible date (1992), and from iOS 11 on the count is in nanoseconds.
TEST(RecoveryConverters, ChatLayoutMessagesAreDatedFrom2001)
{
    const QDateTime june2023(QDate(2023, 6, 1), QTime(9, 0), Qt::UTC);
    const struct {
        int ios;
        bool nanoseconds;
    } cases[] = {{6, false}, {8, false}, {9, true}};
    for (const auto& c : cases) {
        QTemporaryDir tmp;
        iosrecgen::Options options;
        options.iosMajor = c.ios;
        options.rows = 24;
        options.firstMessageDate = int(CCommonUtils::buildDateTimeBase2001(0).secsTo(june2023));
        options.messageNanoseconds = c.nanoseconds;
        iosrecgen::Expected expected;
        const QString db = iosrecgen::generate(1, tmp.path(), options, &expected);
        ASSERT_FALSE(db.isEmpty());
        QList<QDateTime> dates;
        for (const iosrecgen::ExpectedMessage& m : expected.messages)
            dates << CCommonUtils::buildDateTimeBase2001(m.message.date);

        KdBackup backup;
        ProgressRecorder progress(100);
        ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
        // The carver also finds cut rows whose dates are any bytes, and some rows are overwritten.
        int dated = 0;
        for (int i = 0; i < backup.getMessage()->count(KdData::AllItems); ++i)
            for (const KdSMSChat* chat : static_cast<const KdSMSItem*>(backup.getMessage()->at(i, false))->detailContent()->chats()) {
                dated += dates.contains(chat->msgDate()) ? 1 : 0;
                EXPECT_NE(chat->msgDate().date().year(), 1992) << c.ios; // 2023 read from 1970
            }
        EXPECT_GE(dated * 2, dates.size()) << c.ios;
    }
}

// A long deleted message whose first overflow page became a freelist trunk keeps the start of its
// text that survived, marked partial, rather than being left out for want of a text.
TEST(RecoveryConverters, DeletedMessageCutShortKeepsItsStart)
{
    QTemporaryDir tmp;
    const QString db = QDir(tmp.path()).filePath(QStringLiteral("sms.db"));
    QStringList sql = ibr::iosSchemaStatements(12, QStringLiteral("sms.db")).filter(QStringLiteral("CREATE TABLE"));
    sql.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_")); });
    sql.prepend(QStringLiteral("PRAGMA secure_delete = OFF"));
    sql << QStringLiteral("INSERT INTO handle (ROWID, id, service) VALUES (1, '+14155550101', 'SMS')")
        << QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date, is_from_me) VALUES "
                          "(1, 'kept', 'a short one', 1, 'SMS', 600000000000000000, 0), "
                          "(3, 'also', 'another one', 1, 'SMS', 600000200000000000, 1), "
                          "(2, 'long', 'The long one: ' || replace(hex(zeroblob(3000)), '00', 'lorem ipsum '), 1, 'SMS', "
                          "600000100000000000, 0)")
        << QStringLiteral("DELETE FROM message WHERE ROWID = 2");
    ASSERT_TRUE(testsupport::makeDatabase(db, sql));
    KdBackup backup;
    ProgressRecorder progress(100);
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
    int found = 0;
    for (int i = 0; i < backup.getMessage()->count(KdData::AllItems); ++i)
        for (const KdSMSChat* chat : static_cast<const KdSMSItem*>(backup.getMessage()->at(i, false))->detailContent()->chats())
            if (chat->content().startsWith(QLatin1String("The long one: lorem ipsum"))) {
                ++found;
                EXPECT_LT(chat->content().size(), 36014); // its tail is gone
            }
    EXPECT_EQ(found, 1);
}

// Deleted contacts come before the live ones, in name order, whatever order the scan found them in.
TEST(RecoveryConverters, DeletedContactsInNameOrder)
{
    QTemporaryDir tmp;
    iosrecgen::Options options;
    options.rows = 24;
    iosrecgen::Expected expected;
    const QString db = iosrecgen::generate(0, tmp.path(), options, &expected);
    ASSERT_FALSE(db.isEmpty());
    KdBackup backup;
    backup.getContact()->append(liveContact(QStringLiteral("Aaron"), QStringLiteral("+1 555 0199")));
    ProgressRecorder progress;
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
    const KdData* contacts = backup.getContact();
    const int deleted = contacts->count(KdData::DeletedItems);
    ASSERT_GT(deleted, 2);
    EXPECT_EQ(contacts->at(deleted, false)->value(0), QStringLiteral("Aaron"));
    for (int i = 1; i < deleted; ++i)
        EXPECT_LE(QString::localeAwareCompare(contacts->at(i - 1, false)->value(0), contacts->at(i, false)->value(0)), 0)
            << contacts->at(i - 1, false)->value(0).toStdString() << " before " << contacts->at(i, false)->value(0).toStdString();
}

// Deleted notes of the older layouts read as the live ones do: their HTML bodies as text, with the
// date they were created; a deleted note that repeats a live one in that text is no deletion.
TEST(RecoveryConverters, DeletedNotesReadLikeLiveOnes)
{
    for (int ios : {5, 8}) {
        QTemporaryDir tmp;
        iosrecgen::Options options;
        options.iosMajor = ios;
        options.rows = 24;
        options.deleteEvery = 4;
        options.journal = iosrecgen::Journal::Rollback;
        iosrecgen::Expected expected;
        const QString db = iosrecgen::generate(4, tmp.path(), options, &expected);
        ASSERT_FALSE(db.isEmpty());
        const NoteRecord* repeated = nullptr;
        for (const NoteRecord& n : expected.notes)
            if (!repeated && n.content.contains(QLatin1String("<div>")))
                repeated = &n;
        ASSERT_NE(repeated, nullptr);
        KdBackup backup;
        KdNoteItem* live = KdNoteItem::createItem();
        live->setValue(repeated->title, 0);
        live->setValue(CNoteQuery(nullptr).bodyText(repeated->content), 2);
        backup.getNote()->append(live);
        ProgressRecorder progress;
        ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
        const KdData* notes = backup.getNote();
        int withText = 0;
        for (int i = 0; i < notes->count(KdData::DeletedItems); ++i) {
            const KdAbstractItem* n = notes->at(i, false);
            EXPECT_NE(n->value(0), repeated->title) << ios;
            EXPECT_FALSE(n->value(2).contains(QLatin1Char('<'))) << ios << ": " << n->value(2).toStdString();
            EXPECT_FALSE(n->value(3).isEmpty()) << ios << ": " << n->value(0).toStdString();
            withText += n->value(2).contains(n->value(0));
        }
        EXPECT_GT(withText, 0) << ios;
    }
}

TEST(DuplicateTests, NotesBookmarksEventsAndReminders)
{
    KdBackup backup;
    KdNoteItem* note = KdNoteItem::createItem();
    note->setValue(QStringLiteral("x"), 0);
    note->setValue(QStringLiteral("abc"), 2);
    backup.getNote()->append(note);
    KdCalendarItem* event = KdCalendarItem::createItem();
    event->setValue(QStringLiteral("Dentist"), 0);
    event->setValue(QStringLiteral("Main St"), 1);
    event->setSortValue(CCommonUtils::buildDateTimeBase2001(5000), 2);
    event->setSortValue(CCommonUtils::buildDateTimeBase2001(8600), 3);
    backup.getCalendar()->append(event);
    KdReminderItem* reminder = KdReminderItem::createItem();
    reminder->setValue(QStringLiteral("Call mum"), 0);
    reminder->setValue(QStringLiteral("Family"), 1);
    reminder->setSortValue(1, 5);
    backup.getReminder()->append(reminder);
    const QVector<KdAbstractItem*> none;

    const NoteRecord blankTitle{0, QString(), QStringLiteral("abc")}, longer{0, QStringLiteral("x"), QStringLiteral("abcd")};
    EXPECT_TRUE(isDuplicateNote(&backup, none, &blankTitle)); // an empty field matches anything
    EXPECT_FALSE(isDuplicateNote(&backup, none, &longer));
    const BookmarkRecord bookmark{QString(), QStringLiteral("https://h/p")};
    EXPECT_FALSE(isDuplicateBookmark(&backup, none, &bookmark));
    const CalendarRecord noStart{QStringLiteral("Dentist"), QStringLiteral("Main St"), QString(), 0, 0, 0};
    const CalendarRecord moved{QStringLiteral("Dentist"), QString(), QString(), 5001, 0, 0};
    EXPECT_TRUE(isDuplicateEvent(&backup, none, &noStart));
    EXPECT_FALSE(isDuplicateEvent(&backup, none, &moved));
    ReminderRecord samePriority{QStringLiteral("Call mum"), QString(), QStringLiteral("Family"), QString(), 0, 1, 1};
    EXPECT_TRUE(isDuplicateReminder(&backup, none, &samePriority)); // completion is not compared
    samePriority.priority = 5;
    EXPECT_FALSE(isDuplicateReminder(&backup, none, &samePriority));

    // A fragment of a deleted note made earlier in the same conversion is dropped too.
    KdNoteItem* made = KdNoteItem::createItem();
    made->setValue(QStringLiteral("t"), 0);
    const NoteRecord fragment{0, QStringLiteral("t"), QString()};
    EXPECT_TRUE(isDuplicateNote(&backup, {made}, &fragment));
    delete made;
}

TEST(DuplicateTests, ContactsCompareNamesAndProperties)
{
    KdBackup backup;
    KdContactItem* live = liveContact(QStringLiteral("Zoë"), QStringLiteral("+44 20 7946 0000"));
    live->detailContent()->last = QStringLiteral("Adams");
    live->detailContent()->properties()[0]->setPropLabel(QStringLiteral("mobile"));
    backup.getContact()->append(live);
    const QVector<KdAbstractItem*> none;

    PersonPropertyRecord samePhone{3, 0, QStringLiteral("mobile"), QStringLiteral("+44 20 7946 0000"), {}};
    PersonPropertyRecord second{3, 1, QStringLiteral("home"), QStringLiteral("0161 496 0000"), {}};
    PersonPropertyRecord noLabel{3, 0, QString(), QStringLiteral("+44 20 7946 0000"), {}};
    PersonRecord same;
    same.first = QStringLiteral("Zoë");
    same.last = QStringLiteral("Adams");
    const struct {
        std::vector<PersonPropertyRecord*> properties;
        bool duplicate;
    } cases[] = {
        {{&samePhone}, true},
        {{&samePhone, &second}, false},
        {{&noLabel}, false}, // an empty label matches only an empty label
    };
    for (const auto& c : cases) {
        same.properties = c.properties;
        EXPECT_EQ(isDuplicateContact(&backup, none, &same), c.duplicate) << c.properties.size();
    }

    // A person of the same name created at another time is someone else, however little survives.
    live->detailContent()->creationDate = CCommonUtils::buildDateTimeBase2001(400000000);
    same.properties.clear();
    for (const auto& [created, duplicate] : {std::pair{0, true}, {400000000, true}, {400000001, true}, {450000000, false}}) {
        same.created = created;
        EXPECT_EQ(isDuplicateContact(&backup, none, &same), duplicate) << created;
    }
}

TEST(RecoveryConverters, UrlHostAndCompletenessKeys)
{
    const struct {
        const char* url;
        const char* host;
    } hosts[] = {
        {"https://h/p", "h"}, {"https://example.org", "example.org"}, {"example.org", "example.org"},
        {"/path/only", "/path/only"}, {"ftp://host:21/dir/file", "host:21"},
    };
    for (const auto& c : hosts)
        EXPECT_EQ(urlHost(QLatin1String(c.url)), QLatin1String(c.host)) << c.url;

    // A note's date is not compared, so it must not make a fragment look fuller than the record
    // it repeats: ("ab", "", dated) must sort after ("ab", "c", undated).
    EXPECT_EQ(completenessKey(NoteRecord{500, QStringLiteral("ab"), QString()}), 2);
    EXPECT_EQ(completenessKey(NoteRecord{0, QStringLiteral("ab"), QStringLiteral("c")}), 3);
    EXPECT_EQ(completenessKey(CalendarRecord{QStringLiteral("s"), QString(), QStringLiteral("d"), 7, 0, 1}), 3);
    EXPECT_EQ(completenessKey(ReminderRecord{QStringLiteral("t"), QString(), QStringLiteral("l"), QString(), 9, 1, 5}), 3);
    PersonRecord p;
    p.first = QStringLiteral("Ann");
    p.note = QStringLiteral("xy");
    EXPECT_EQ(completenessKey(p), 5);
}

namespace {

// Statements that build a database of an iOS release's layout (SQLite makes its own tables).
QStringList layoutSql(int ios, const QString& name)
{
    QStringList sql{QStringLiteral("PRAGMA secure_delete = OFF")};
    for (const QString& s : ibr::iosSchemaStatements(ios, name))
        if (!s.contains(QLatin1String("sqlite_")))
            sql << s;
    return sql;
}

// The deleted Safari items as "title|address|group|visited", sorted.
QStringList deletedSafari(KdBackup& backup)
{
    QStringList got;
    const KdData* safari = backup.getSafariBookmark();
    for (int i = 0; i < safari->count(KdData::AllItems); ++i) {
        const auto* item = static_cast<const KdSafariBookmarkItem*>(safari->at(i, false));
        if (item->isDeleted())
            got << QStringList{item->value(0), item->value(1), item->bookmarkGroup(), item->value(3)}.join(QLatin1Char('|'));
    }
    got.sort();
    return got;
}

} // namespace

// Safari visits deleted from History.db come back in the history group with their time, named
// by their page whether the page is still there or was deleted too; a visit still live is not
// reported again. On a phone upgraded since, visits written before the upgrade added columns
// (NOT NULL, with a default) come back the same.
TEST(RecoveryConverters, DeletedVisitsOfHistoryDb)
{
    for (const bool upgraded : {false, true}) {
        QTemporaryDir tmp;
        const QString db = QDir(tmp.path()).filePath(QStringLiteral("History.db"));
        QStringList sql = layoutSql(upgraded ? 9 : 11, QStringLiteral("History.db"));
        sql.replaceInStrings(QLatin1String("visit_count_score INTEGER NOT NULL"), QLatin1String("visit_count_score INTEGER NOT NULL DEFAULT 0"));
        sql << QStringLiteral("INSERT INTO history_items (id, url, visit_count, daily_visit_counts, should_recompute_derived_visit_counts) "
                              "VALUES (1, 'https://kept.example/page', 2, x'', 0), (2, 'https://gone.example/secret', 1, x'', 0)")
            << QStringLiteral("INSERT INTO history_visits (id, history_item, visit_time, title) VALUES "
                              "(1, 1, 500000000, 'Kept page'), (2, 1, 500086400, 'Kept page'), (3, 2, 500090000, 'Secret page')");
        if (upgraded)
            sql << QStringLiteral("ALTER TABLE history_visits ADD COLUMN attributes INTEGER NOT NULL DEFAULT 0")
                << QStringLiteral("ALTER TABLE history_visits ADD COLUMN score INTEGER NOT NULL DEFAULT 0");
        sql << QStringLiteral("DELETE FROM history_visits WHERE id IN (2, 3)") << QStringLiteral("DELETE FROM history_items WHERE id = 2");
        ASSERT_TRUE(testsupport::makeDatabase(db, sql));

        KdBackup backup;
        KdSafariBookmarkItem* live = KdSafariBookmarkItem::createItem();
        live->setValue(QStringLiteral("Kept page"), 0);
        live->setValue(QStringLiteral("https://kept.example/page"), 1);
        live->setSortValue(CCommonUtils::buildDateTimeBase2001(500000000), 3);
        backup.getSafariBookmark()->append(live);
        ProgressRecorder progress;
        ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
        EXPECT_EQ(deletedSafari(backup), (QStringList{"Kept page|https://kept.example/page|History|2016-11-06 00:53",
                                                      "Secret page|https://gone.example/secret|History|2016-11-06 01:53"}))
            << (upgraded ? "upgraded" : "as created");
    }
}

// A deleted bookmark shows the group of its folder as a live one would.
TEST(RecoveryConverters, DeletedBookmarksKeepTheirFolder)
{
    QTemporaryDir tmp;
    const QString db = QDir(tmp.path()).filePath(QStringLiteral("Bookmarks.db"));
    QStringList sql = layoutSql(8, QStringLiteral("Bookmarks.db"));
    sql << QStringLiteral("INSERT INTO bookmarks (id, parent, type, title, url, order_index) VALUES "
                          "(0, NULL, 1, 'Root', NULL, 0), (1, 0, 1, 'BookmarksBar', NULL, 0), "
                          "(2, 0, 1, 'com.apple.ReadingList', NULL, 1), (3, 0, 1, 'Old trips', NULL, 2), "
                          "(10, 0, 0, 'Top page', 'https://top.example/', 0), (11, 2, 0, 'Saved article', 'https://read.example/a', 0), "
                          "(12, 3, 0, 'Lisbon hotel', 'https://hotel.example/lisbon', 0), (13, 1, 0, 'Bar page', 'https://bar.example/', 0), "
                          "(14, 1, 0, 'Kept', 'https://kept.example/', 1)")
        << QStringLiteral("DELETE FROM bookmarks WHERE id IN (10, 11, 12, 13)");
    ASSERT_TRUE(testsupport::makeDatabase(db, sql));

    KdBackup backup;
    ProgressRecorder progress;
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
    EXPECT_EQ(deletedSafari(backup), (QStringList{"Bar page|https://bar.example/|BookmarksBar|", "Lisbon hotel|https://hotel.example/lisbon|Old trips|",
                                                  "Saved article|https://read.example/a|Reading List|", "Top page|https://top.example/||"}));
}

// Notes deleted from NoteStore.sqlite: each body read in its own format and titled by its first
// line (the note rows, wide as they are, are out of the carver's reach); a deleted body of a
// note still there is an earlier version of it, not a deleted note.
TEST(RecoveryConverters, DeletedNotesOfNoteStore)
{
    auto gzip = [](const char* name) {
        QFile f(QStringLiteral(IBR_TEST_DATA_DIR "/notestore/") + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray bodies[] = {gzip("url_gzipped.bin"), gzip("url_gzipped.bin"), gzip("simple_note_protobuf_gzipped.bin")};
    QTemporaryDir tmp;
    const QString db = QDir(tmp.path()).filePath(QStringLiteral("NoteStore.sqlite"));
    QStringList sql = layoutSql(15, QStringLiteral("NoteStore.sqlite"));
    sql << QStringLiteral("INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (9, 'ICNote', 0, 3)")
        << QStringLiteral("INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, Z_ENT, ZTITLE1, ZSNIPPET) VALUES (1, 9, 'Kept', 'still here'), "
                          "(2, 9, 'Links', 'Link test'), (3, 9, 'Plain', 'Title')");
    ASSERT_TRUE(testsupport::makeDatabase(db, sql, [&](sqlite3* h) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, "INSERT INTO ZICNOTEDATA (Z_PK, Z_ENT, ZNOTE, ZDATA) VALUES (?, 8, ?, ?)", -1, &st, nullptr);
        for (int i = 1; i <= 3; ++i) {
            sqlite3_bind_int(st, 1, i);
            sqlite3_bind_int(st, 2, i == 2 ? 1 : i); // row 2: an older body of the note kept
            sqlite3_bind_blob(st, 3, bodies[i - 1].constData(), int(bodies[i - 1].size()), SQLITE_TRANSIENT);
            if (sqlite3_step(st) != SQLITE_DONE)
                return false;
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        return sqlite3_exec(h, "DELETE FROM ZICNOTEDATA WHERE Z_PK IN (2, 3); DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = 3",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    }));

    // A body whose note row is gone is told from the live notes by its text, read first.
    for (const bool withLive : {false, true}) {
        KdBackup backup;
        if (withLive) {
            KdNoteItem* live = KdNoteItem::createItem();
            live->setValue(QStringLiteral("Kept"), 0);
            live->setValue(QStringLiteral("still here"), 2);
            backup.getNote()->append(live);
        }
        ProgressRecorder progress;
        ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
        QStringList got;
        const KdData* notes = backup.getNote();
        for (int i = 0; i < notes->count(KdData::AllItems); ++i)
            got << notes->at(i, false)->value(0) + QLatin1Char('|') + notes->at(i, false)->value(2);
        EXPECT_EQ(got, withLive ? QStringList({"Title|Title", "Kept|still here"}) : QStringList{"Title|Title"});
    }
}

// Reminders deleted from a store of iOS 13 on come back with their list, due date and state.
TEST(RecoveryConverters, DeletedRemindersOfTheirOwnStore)
{
    QTemporaryDir tmp;
    const QString db = QDir(tmp.path()).filePath(QStringLiteral("Data-7A3F.sqlite"));
    ASSERT_TRUE(testsupport::makeDatabase(db, {
        QStringLiteral("PRAGMA secure_delete = OFF"),
        QStringLiteral("CREATE TABLE ZREMCDBASELIST (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZNAME VARCHAR)"),
        QStringLiteral("CREATE TABLE ZREMCDREMINDER (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCOMPLETED INTEGER, "
                       "ZPRIORITY INTEGER, ZLIST INTEGER, ZCOMPLETIONDATE TIMESTAMP, ZDUEDATE TIMESTAMP, ZTITLE VARCHAR, ZNOTES VARCHAR)"),
        QStringLiteral("INSERT INTO ZREMCDBASELIST VALUES (1, 20, 1, 'Groceries')"),
        QStringLiteral("INSERT INTO ZREMCDREMINDER VALUES (1, 21, 1, 0, 0, 1, NULL, NULL, 'Milk, still to buy', NULL), "
                       "(2, 21, 1, 1, 1, 1, 700000500, 700000000, 'Call the plumber about the leak', 'before Friday')"),
        QStringLiteral("DELETE FROM ZREMCDREMINDER WHERE Z_PK = 2")}));
    KdBackup backup;
    ProgressRecorder progress;
    ASSERT_TRUE(CDeletedRecovery().recover({db}, &backup, &progress));
    const KdData* reminders = backup.getReminder();
    ASSERT_EQ(reminders->count(KdData::AllItems), 1);
    const KdAbstractItem* r = reminders->at(0, false);
    EXPECT_TRUE(r->isDeleted());
    EXPECT_EQ(QStringList({r->value(0), r->value(1), r->value(2), r->value(3), r->value(6)}),
              QStringList({"Call the plumber about the leak", "Groceries", "Completed", "2023-03-08 20:26", "before Friday"}));
}
