#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <vector>

#include "kddata/CCommonUtils.h"
#include "CDeletedRecovery.h"
#include "CIProgressCallback.h"
#include "DuplicateTests.h"
#include "kddata/KdBackup.h"
#include "RecoveryConverters.h"
#include "TestSupport.h"

namespace {

class Recorder : public CIProgressCallback
{
public:
    explicit Recorder(int range) : m_range(range) {}
    void initRange(int r) override { m_range = r; }
    int range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        return int(steps.size()) < refuseFrom;
    }
    bool finish() override { return true; }
    double total() const
    {
        double t = 0;
        for (double s : steps)
            t += s;
        return t;
    }
    int m_range;
    int refuseFrom = 1 << 30;
    std::vector<double> steps;
};

} // namespace

TEST(RecoveryProgress, WrapperNeverExceedsItsShare)
{
    Recorder target(1000);
    ProgressWrapper w(&target, 10.0);
    EXPECT_DOUBLE_EQ(w.range(), 10.0);
    w.progress(4);
    w.progress(4);
    w.progress(4); // clamped to the 2 left
    w.finish();    // nothing left
    EXPECT_EQ(target.steps, (std::vector<double>{4, 4, 2, 0}));

    ProgressWrapper alone(nullptr, 5.0);
    EXPECT_TRUE(alone.progress(100));
    EXPECT_TRUE(alone.finish());
}

TEST(RecoveryDriver, SharesFollowDatabaseSizes)
{
    QTemporaryDir tmp;
    QDir dir(tmp.path());
    // Not databases at all: the scans find nothing, but the shares still follow the sizes.
    testsupport::writeFile(dir.filePath(QStringLiteral("AddressBook.sqlitedb")), QByteArray());
    testsupport::writeFile(dir.filePath(QStringLiteral("sms.db")), QByteArray(999, 'x'));
    testsupport::writeFile(dir.filePath(QStringLiteral("call_history.db")), QByteArray());
    const QStringList files{dir.filePath(QStringLiteral("AddressBook.sqlitedb")), dir.filePath(QStringLiteral("sms.db")),
                            dir.filePath(QStringLiteral("call_history.db"))};
    Recorder progress(1000);
    KdBackup backup;
    CDeletedRecovery().recover(files, &backup, &progress);
    EXPECT_NEAR(progress.total(), 999.0, 1e-9);
    EXPECT_EQ(backup.getNote()->count(0), 0);
}

TEST(RecoveryDriver, StopsAfterTheTypeThatWasRefused)
{
    QTemporaryDir tmp;
    QDir dir(tmp.path());
    QStringList files;
    for (const char* name : {"AddressBook.sqlitedb", "sms.db", "call_history.db", "Calendar.sqlitedb", "notes.sqlite", "Bookmarks.db"}) {
        testsupport::writeFile(dir.filePath(QLatin1String(name)), QByteArray(100, 'x'));
        files << dir.filePath(QLatin1String(name));
    }
    Recorder all(6000);
    KdBackup b1;
    CDeletedRecovery().recover(files, &b1, &all);
    EXPECT_NEAR(all.total(), 6000.0 * 600 / 601, 1e-6);

    Recorder refusing(6000);
    refusing.refuseFrom = 0; // every answer is "stop"
    KdBackup b2;
    CDeletedRecovery().recover(files, &b2, &refusing);
    // Only the first type ran to its finishing report.
    EXPECT_NEAR(refusing.total(), 6000.0 * 100 / 601, 1e-6);
}

// Duplicate tests ------------------------------------------------------------------------------

namespace {

KdAbstractItem* liveNote(const QString& title, const QString& content)
{
    KdNoteItem* n = KdNoteItem::createItem();
    n->setValue(title, 0);
    n->setValue(content, 2);
    return n;
}

} // namespace

TEST(DuplicateTests, NotesAndBookmarks)
{
    KdBackup backup;
    backup.getNote()->append(liveNote(QStringLiteral("x"), QStringLiteral("abc")));
    const QVector<KdAbstractItem*> none;
    NoteRecord blankTitle{0, QString(), QStringLiteral("abc")};
    EXPECT_TRUE(isDuplicateNote(&backup, none, &blankTitle));
    NoteRecord other{0, QStringLiteral("x"), QStringLiteral("abcd")};
    EXPECT_FALSE(isDuplicateNote(&backup, none, &other));

    // A fragment of a deleted note made earlier in the same conversion is dropped too.
    QVector<KdAbstractItem*> made{liveNote(QStringLiteral("t"), QStringLiteral("c"))};
    NoteRecord fragment{0, QStringLiteral("t"), QString()};
    EXPECT_TRUE(isDuplicateNote(&backup, made, &fragment));
    qDeleteAll(made);

    BookmarkRecord b{QString(), QStringLiteral("https://h/p")};
    EXPECT_FALSE(isDuplicateBookmark(&backup, none, &b));
}

TEST(DuplicateTests, EventsAndReminders)
{
    KdBackup backup;
    KdCalendarItem* e = KdCalendarItem::createItem();
    e->setValue(QStringLiteral("Dentist"), 0);
    e->setValue(QStringLiteral("Main St"), 1);
    e->setSortValue(CCommonUtils::buildDateTimeBase2001(5000), 2);
    e->setSortValue(CCommonUtils::buildDateTimeBase2001(8600), 3);
    backup.getCalendar()->append(e);
    const QVector<KdAbstractItem*> none;
    CalendarRecord noStart{QStringLiteral("Dentist"), QStringLiteral("Main St"), QString(), 0, 0, 0};
    EXPECT_TRUE(isDuplicateEvent(&backup, none, &noStart));
    CalendarRecord moved{QStringLiteral("Dentist"), QString(), QString(), 5001, 0, 0};
    EXPECT_FALSE(isDuplicateEvent(&backup, none, &moved));

    KdReminderItem* r = KdReminderItem::createItem();
    r->setValue(QStringLiteral("Call mum"), 0);
    r->setValue(QStringLiteral("Family"), 1);
    r->setSortValue(1, 5);
    backup.getReminder()->append(r);
    ReminderRecord samePriority{QStringLiteral("Call mum"), QString(), QStringLiteral("Family"), QString(), 0, 1, 1};
    EXPECT_TRUE(isDuplicateReminder(&backup, none, &samePriority)); // completion is not compared
    ReminderRecord otherPriority = samePriority;
    otherPriority.priority = 5;
    EXPECT_FALSE(isDuplicateReminder(&backup, none, &otherPriority));
}

TEST(DuplicateTests, ContactsCompareNamesAndProperties)
{
    KdBackup backup;
    auto* detail = new KdContactPrivate;
    detail->first = QStringLiteral("Zoë");
    detail->last = QStringLiteral("Adams");
    auto* phone = new KdContactProperty;
    phone->setPropType(3);
    phone->setPropLabel(QStringLiteral("mobile"));
    phone->setPropValue(QStringLiteral("+44 20 7946 0000"));
    detail->addProperty(phone);
    KdContactItem* live = KdContactItem::createItem();
    live->setDetailContent(detail);
    backup.getContact()->append(live);
    const QVector<KdAbstractItem*> none;

    PersonRecord same;
    same.first = QStringLiteral("Zoë");
    same.last = QStringLiteral("Adams");
    PersonPropertyRecord samePhone{3, 0, QStringLiteral("mobile"), QStringLiteral("+44 20 7946 0000"), {}};
    same.properties.push_back(&samePhone);
    EXPECT_TRUE(isDuplicateContact(&backup, none, &same));

    PersonRecord morePhones = same;
    PersonPropertyRecord second{3, 1, QStringLiteral("home"), QStringLiteral("0161 496 0000"), {}};
    morePhones.properties.push_back(&second);
    EXPECT_FALSE(isDuplicateContact(&backup, none, &morePhones));

    PersonRecord unlabelled = same;
    PersonPropertyRecord noLabel{3, 0, QString(), QStringLiteral("+44 20 7946 0000"), {}};
    unlabelled.properties = {&noLabel};
    EXPECT_FALSE(isDuplicateContact(&backup, none, &unlabelled)); // an empty label matches only an empty label
}

TEST(DuplicateTests, Orders)
{
    EXPECT_TRUE(byKeyDescending(qMakePair(0, 9), qMakePair(1, 3)));
    EXPECT_FALSE(byKeyDescending(qMakePair(0, 3), qMakePair(1, 3)));
    KdContactItem* a = KdContactItem::createItem();
    a->setValue(QStringLiteral("émile"), 0);
    KdContactItem* b = KdContactItem::createItem();
    b->setValue(QStringLiteral("Fanny"), 0);
    EXPECT_TRUE(byNameAscending(nullptr, a));
    EXPECT_FALSE(byNameAscending(a, nullptr));
    EXPECT_FALSE(byNameAscending(nullptr, nullptr));
    EXPECT_EQ(byNameAscending(a, b), QString::localeAwareCompare(a->value(0), b->value(0)) < 0);
    delete a;
    delete b;
}

TEST(RecoveryConverters, UrlHost)
{
    const struct {
        const char* url;
        const char* host;
    } cases[] = {
        {"https://h/p", "h"},
        {"https://example.org", "example.org"},
        {"example.org", "example.org"},
        {"/path/only", "/path/only"},
        {"ftp://host:21/dir/file", "host:21"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(urlHost(QLatin1String(c.url)), QLatin1String(c.host)) << c.url;
}

TEST(RecoveryConverters, CompletenessKeysCountTheComparedFields)
{
    // A note's date is not compared, so it must not make a fragment look fuller than the
    // record it repeats: ("ab", "", dated) must sort after ("ab", "c", undated).
    EXPECT_EQ(completenessKey(NoteRecord{500, QStringLiteral("ab"), QString()}), 2);
    EXPECT_EQ(completenessKey(NoteRecord{0, QStringLiteral("ab"), QStringLiteral("c")}), 3);
    EXPECT_EQ(completenessKey(BookmarkRecord{QStringLiteral("t"), QStringLiteral("u")}), 2);
    EXPECT_EQ(completenessKey(CalendarRecord{QStringLiteral("s"), QString(), QStringLiteral("d"), 7, 0, 1}), 3);
    EXPECT_EQ(completenessKey(ReminderRecord{QStringLiteral("t"), QString(), QStringLiteral("l"), QString(), 9, 1, 5}), 3);
    PersonRecord p;
    p.first = QStringLiteral("Ann");
    p.note = QStringLiteral("xy");
    EXPECT_EQ(completenessKey(p), 5);
}
