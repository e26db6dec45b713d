#include <gtest/gtest.h>

#include "TestSupport.h"

#include <QBrush>
#include <QDateTime>
#include <QFont>

#include "kddata/KdBackup.h"

namespace {

// Implicit sharing makes ownership observable: a value copied into an owned object keeps the
// test's copy shared until that object is destroyed.
template <typename T>
bool stillShared(const T& marker)
{
    return !marker.isDetached();
}

class CountedNote : public KdNoteItem
{
public:
    explicit CountedNote(int* deaths) : m_deaths(deaths) {}
    ~CountedNote() override { ++*m_deaths; }

private:
    int* m_deaths;
};

KdNoteItem* note(const QString& title, bool deleted = false)
{
    KdNoteItem* item = KdNoteItem::createItem();
    item->setValue(title, 0);
    item->setFlag(deleted, KdAbstractItem::DeletedFlag);
    return item;
}

QStringList titles(const KdData* data)
{
    QStringList out;
    for (int i = 0; i < data->count(0); ++i)
        out << data->at(i, false)->value(0);
    return out;
}

} // namespace

TEST(KdAbstractItem, ValuesSortValuesFlagsAndSize)
{
    std::unique_ptr<KdCalendarItem> item(KdCalendarItem::createItem());
    EXPECT_EQ(item->value(3), QString());
    EXPECT_FALSE(item->sortValue(3).isValid());

    item->setValue("late", 4);
    item->setValue("first", 0);
    item->setValue("ignored", -1);
    item->setValue("ignored", KdAbstractItem::MaxColumns);
    EXPECT_EQ(item->value(0), "first");
    EXPECT_EQ(item->value(4), "late");
    EXPECT_EQ(item->value(2), QString()); // gap stays empty
    EXPECT_EQ(item->valueCount(), 5);

    const QDateTime dt(QDate(2013, 5, 6), QTime(7, 8), Qt::UTC);
    item->setSortValue(dt, 2);
    EXPECT_EQ(item->sortValue(2).toDateTime(), dt);
    EXPECT_FALSE(item->sortValue(-1).isValid());

    item->setFlag(true, 0);
    item->setFlag(true, 31);
    item->setFlag(true, 32); // out of range: ignored
    EXPECT_TRUE(item->isDeleted());
    EXPECT_TRUE(item->flag(31));
    EXPECT_FALSE(item->flag(32));
    EXPECT_FALSE(item->flag(-1));
    item->setFlag(false, 0);
    EXPECT_FALSE(item->isDeleted());
    EXPECT_TRUE(item->flag(31));
    item->setSize(Q_UINT64_C(5000000000)); // beyond 32 bits
    EXPECT_EQ(item->size(), Q_UINT64_C(5000000000));
}

TEST(KdData, AppendPrependCountAndAt)
{
    KdData data(KdData::Notes);
    EXPECT_EQ(data.count(0), 0);
    EXPECT_EQ(data.at(0, false), nullptr);

    data.append(note("b"));
    data.append(note("c", true));
    data.prepend(note("a", true));
    data.append(nullptr);
    data.prepend(nullptr);
    EXPECT_EQ(titles(&data), QStringList({"a", "b", "c"}));

    EXPECT_EQ(data.count(KdData::AllItems), 3);
    EXPECT_EQ(data.count(KdData::DeletedItems), 2);
    EXPECT_EQ(data.count(KdData::LiveItems), 1);
    EXPECT_EQ(data.count(99), 3);

    EXPECT_EQ(data.at(1, true)->value(0), "c"); // second deleted item
    EXPECT_EQ(data.at(2, true), nullptr);
    EXPECT_EQ(data.at(-1, false), nullptr);
    EXPECT_EQ(data.at(3, false), nullptr);

    // Adding an item the container already holds must not make it owned twice.
    KdAbstractItem* b = data.at(1, false);
    data.append(b);
    data.prepend(b);
    EXPECT_EQ(data.count(0), 3);
    EXPECT_EQ(data.indexOf(b), 1);

    KdAbstractItem* taken = data.takeAt(1);
    EXPECT_EQ(taken, b);
    EXPECT_EQ(data.indexOf(b), -1);
    EXPECT_EQ(titles(&data), QStringList({"a", "c"}));
    data.append(taken); // may come back after being taken
    EXPECT_EQ(titles(&data), QStringList({"a", "c", "b"}));
}

TEST(KdData, PrependingAListBackwardsKeepsItsOrderBeforeLiveItems)
{
    KdData data(KdData::Notes);
    data.append(note("live1"));
    data.append(note("live2"));
    const QStringList recovered = {"r0", "r1", "r2"};
    for (int i = recovered.size() - 1; i >= 0; --i)
        data.prepend(note(recovered[i], true));
    EXPECT_EQ(titles(&data), QStringList({"r0", "r1", "r2", "live1", "live2"}));
}

TEST(KdData, InsertionsReachViewsAsRowSignals)
{
    KdData data(KdData::Notes);
    QList<int> inserted;
    QObject::connect(&data, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted << first << last; });
    data.append(note("x"));
    data.prepend(note("y"));
    data.append(nullptr);
    EXPECT_EQ(inserted, QList<int>({0, 0, 0, 0})); // prepend inserts at row 0 too
    EXPECT_EQ(data.rowCount(), 2);
    data.append(note("z"));
    EXPECT_EQ(inserted.mid(4), QList<int>({2, 2}));

    QList<int> changed;
    QObject::connect(&data, &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& tl, const QModelIndex& br) { changed << tl.row() << br.row() << br.column(); });
    data.itemChanged(1);
    data.itemChanged(5);
    EXPECT_EQ(changed, QList<int>({1, 1, 2}));
}

TEST(KdData, DestructionDeletesItems)
{
    int deaths = 0;
    {
        KdData data(KdData::Notes);
        data.append(new CountedNote(&deaths));
        data.prepend(new CountedNote(&deaths));
        KdAbstractItem* keep = data.takeAt(0);
        EXPECT_EQ(deaths, 0);
        delete keep;
        EXPECT_EQ(deaths, 1);
    }
    EXPECT_EQ(deaths, 2);

    KdData data(KdData::Notes);
    data.append(new CountedNote(&deaths));
    data.clear();
    EXPECT_EQ(deaths, 3);
    EXPECT_EQ(data.count(0), 0);
}

TEST(KdData, ColumnHeadersPerCategory)
{
    struct Case {
        int category;
        const char* machineName;
        QStringList headers;
    };
    const Case cases[] = {
        {KdData::Contacts, "contacts", {"Name", "Organization", "Phone Numbers", "E-mail Addresses", "Web Addresses"}},
        {KdData::Messages, "messages", {"Participants", "Phone Numbers", "E-mail Addresses"}},
        {KdData::MessageAttachments, "message_attachments", {"Name", "Size", "Path"}},
        {KdData::CallHistory, "calls", {"Name", "Number", "Date", "Type", "Duration"}},
        {KdData::Calendar, "calendar", {"Title", "Location", "Start", "End", "Description"}},
        {KdData::Reminders, "reminders", {"Title", "List", "Status", "Due Date", "Location", "Priority", "Notes"}},
        {KdData::Notes, "notes", {"Title", "Modified", "Content"}},
        {KdData::SafariBookmarks, "safari", {"Title", "Address", "Group"}},
        {KdData::CameraRoll, "camera_roll", {"Name", "Size", "Path"}},
        {KdData::PhotoStream, "photo_stream", {"Name", "Size", "Path"}},
        {KdData::PhotoLibrary, "photo_library", {"Name", "Size", "Path"}},
        {KdData::VoiceMemos, "voice_memos", {"Name", "Size", "Duration"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machineName);
        KdData data(c.category);
        EXPECT_EQ(data.machineName(), QLatin1String(c.machineName));
        EXPECT_EQ(KdData::categoryFromName(QLatin1String(c.machineName)), c.category);
        EXPECT_FALSE(data.title().isEmpty());
        ASSERT_EQ(data.columnCount(), c.headers.size());
        for (int col = 0; col < c.headers.size(); ++col)
            EXPECT_EQ(data.headerData(col, Qt::Horizontal).toString(), c.headers[col]);
        EXPECT_FALSE(data.headerData(c.headers.size(), Qt::Horizontal).isValid());
        data.append(KdNoteItem::createItem());
        EXPECT_EQ(data.columnCount(data.index(0, 0)), 0); // a table: no children
    }
    EXPECT_EQ(KdData::categoryFromName("nope"), -1);
    EXPECT_EQ(KdData::categoryFromName(""), -1);
    EXPECT_EQ(KdData::machineName(KdData::CategoryCount), QString());
}

TEST(KdData, DataRolesShowTextsSortKeysAndDeletedMarks)
{
    KdData calls(KdData::CallHistory);
    KdCallHistoryItem* live = KdCallHistoryItem::createItem();
    live->setValue("Ann", 0);
    live->setValue("0:01:05", 4);
    live->setSortValue(65, 4);
    KdCallHistoryItem* gone = KdCallHistoryItem::createItem();
    gone->setValue("Bob", 0);
    gone->setFlag(true, 0);
    calls.append(live);
    calls.append(gone);

    const QModelIndex name0 = calls.index(0, 0);
    const QModelIndex dur0 = calls.index(0, 4);
    EXPECT_EQ(calls.data(name0).toString(), "Ann");
    EXPECT_EQ(calls.data(dur0, KdData::SortRole).toInt(), 65);
    EXPECT_EQ(calls.data(name0, KdData::SortRole).toString(), "Ann"); // falls back to the text
    EXPECT_EQ(calls.data(calls.index(0, 2)).toString(), QString());

    EXPECT_FALSE(calls.data(name0, KdData::DeletedRole).toBool());
    EXPECT_FALSE(calls.data(name0, Qt::ForegroundRole).isValid());
    const QModelIndex name1 = calls.index(1, 0);
    EXPECT_TRUE(calls.data(name1, KdData::DeletedRole).toBool());
    EXPECT_EQ(calls.data(name1, Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    EXPECT_TRUE(calls.data(name1, Qt::FontRole).value<QFont>().italic());
    EXPECT_EQ(calls.data(name1, KdData::ItemRole).value<quintptr>(), reinterpret_cast<quintptr>(gone));

    EXPECT_FALSE(calls.data(calls.index(2, 0)).isValid());
    EXPECT_FALSE(calls.data(QModelIndex()).isValid());
    EXPECT_EQ(calls.rowCount(name0), 0);
}

TEST(KdData, FileAndBookmarkColumnsFillFromItemFields)
{
    KdData roll(KdData::CameraRoll);
    KdFileItem* file = KdFileItem::createItem();
    file->setValue("IMG_0001.JPG", 0);
    file->setFilePath("/backup/ab/abcdef");
    file->setSize(1536);
    roll.append(file);
    EXPECT_EQ(roll.data(roll.index(0, 1)).toString(), "1.5 KB");
    EXPECT_EQ(roll.data(roll.index(0, 1), KdData::SortRole).toULongLong(), 1536u);
    EXPECT_EQ(roll.data(roll.index(0, 2)).toString(), "/backup/ab/abcdef");
    EXPECT_EQ(roll.data(roll.index(0, 0), KdData::FilePathRole).toString(), "/backup/ab/abcdef");
    EXPECT_EQ(roll.data(roll.index(0, 0), KdData::SizeRole).toULongLong(), 1536u);

    // A voice memo's columns are set by its collector; the model adds nothing.
    KdData memos(KdData::VoiceMemos);
    KdVoiceMemoItem* memo = KdVoiceMemoItem::createItem();
    memo->setSize(999);
    memos.append(memo);
    EXPECT_EQ(memos.data(memos.index(0, 1)).toString(), QString());
    EXPECT_EQ(memos.data(memos.index(0, 2)).toString(), QString());

    KdData safari(KdData::SafariBookmarks);
    KdSafariBookmarkItem* bm = KdSafariBookmarkItem::createItem();
    bm->setValue("h", 0);
    bm->setBookmarkGroup("Reading List");
    safari.append(bm);
    EXPECT_EQ(safari.data(safari.index(0, 2)).toString(), "Reading List");
}

TEST(KdData, SortOrdersBySortValueKindAndKeepsTies)
{
    KdData calls(KdData::CallHistory);
    struct Row {
        const char* name;
        QVariant key;
    };
    const Row rows[] = {
        {"late", QDateTime(QDate(2014, 1, 1), QTime(0, 0), Qt::UTC)},
        {"none", QVariant()},
        {"early", QDateTime(QDate(2012, 1, 1), QTime(0, 0), Qt::UTC)},
        {"tieA", QDateTime(QDate(2013, 1, 1), QTime(0, 0), Qt::UTC)},
        {"tieB", QDateTime(QDate(2013, 1, 1), QTime(0, 0), Qt::UTC)},
    };
    for (const Row& r : rows) {
        KdCallHistoryItem* item = KdCallHistoryItem::createItem();
        item->setValue(r.name, 0);
        if (r.key.isValid())
            item->setSortValue(r.key, 2);
        else
            item->setValue(QString(), 2);
        calls.append(item);
    }
    QPersistentModelIndex watched = calls.index(0, 0); // "late"
    calls.sort(2, Qt::AscendingOrder);
    // An item without a key sorts by its (empty) text, which the date kind reads as invalid.
    EXPECT_EQ(titles(&calls), QStringList({"none", "early", "tieA", "tieB", "late"}));
    EXPECT_EQ(watched.row(), 4);
    calls.sort(2, Qt::DescendingOrder);
    EXPECT_EQ(titles(&calls), QStringList({"late", "tieA", "tieB", "early", "none"}));

    // Numbers compare as numbers, not as texts: -1 ("Canceled") < 0 ("Missed") < 9 < 10.
    KdData durations(KdData::CallHistory);
    for (int d : {10, -1, 9, 0}) {
        KdCallHistoryItem* item = KdCallHistoryItem::createItem();
        item->setValue(QString::number(d), 0);
        item->setSortValue(d, 4);
        durations.append(item);
    }
    durations.sort(4);
    EXPECT_EQ(titles(&durations), QStringList({"-1", "0", "9", "10"}));

    // File sizes sort by bytes, not by their text.
    KdData roll(KdData::CameraRoll);
    for (quint64 s : {2048u, 512u, 1048576u}) {
        KdFileItem* f = KdFileItem::createItem();
        f->setValue(QString::number(s), 0);
        f->setSize(s);
        roll.append(f);
    }
    roll.sort(1);
    EXPECT_EQ(titles(&roll), QStringList({"512", "2048", "1048576"}));
}

TEST(KdData, TextSortFollowsTheLocaleCollation)
{
    const QStringList names = {"b", "A", "\u00e9", "a", "B", "e", "", "z"};
    KdData contacts(KdData::Contacts);
    for (const QString& n : names) {
        KdContactItem* item = KdContactItem::createItem();
        item->setValue(n, 0);
        contacts.append(item);
    }
    QStringList expected = names;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const QString& a, const QString& b) { return QString::localeAwareCompare(a, b) < 0; });
    contacts.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(titles(&contacts), expected);
    contacts.sort(0, Qt::DescendingOrder);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(titles(&contacts), expected);
    contacts.sort(7); // no such column: nothing moves
    EXPECT_EQ(titles(&contacts), expected);
}

TEST(KdBackup, CategoriesMapToTheirContainers)
{
    KdBackup backup;
    struct Case {
        KdData* got;
        int category;
    };
    const Case cases[] = {
        {backup.getCamareRoll(), KdData::CameraRoll},
        {backup.getPhotoStream(), KdData::PhotoStream},
        {backup.getPhotoLibrary(), KdData::PhotoLibrary},
        {backup.getVoiceMemo(), KdData::VoiceMemos},
        {backup.getMessage(), KdData::Messages},
        {backup.getMessageAttachment(), KdData::MessageAttachments},
        {backup.getContact(), KdData::Contacts},
        {backup.getCallHistory(), KdData::CallHistory},
        {backup.getCalendar(), KdData::Calendar},
        {backup.getReminder(), KdData::Reminders},
        {backup.getNote(), KdData::Notes},
        {backup.getSafariBookmark(), KdData::SafariBookmarks},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.got, nullptr);
        EXPECT_EQ(c.got->category(), c.category);
        EXPECT_EQ(backup.getKdData(c.category), c.got);
    }
    // The device media table relies on these numbers.
    EXPECT_EQ(backup.getKdData(0), backup.getCamareRoll());
    EXPECT_EQ(backup.getKdData(1), backup.getPhotoStream());
    EXPECT_EQ(backup.getKdData(2), backup.getPhotoLibrary());
    EXPECT_EQ(backup.getKdData(5), backup.getMessageAttachment());
    EXPECT_EQ(backup.getKdData(-1), nullptr);
    EXPECT_EQ(backup.getKdData(KdData::CategoryCount), nullptr);

    const QList<int> order = KdBackup::categories();
    QStringList names;
    for (int c : order)
        names << KdData::machineName(c);
    EXPECT_EQ(names, QStringList({"contacts", "messages", "message_attachments", "calls", "calendar", "reminders",
                                  "notes", "safari", "camera_roll", "photo_stream", "photo_library",
                                  "voice_memos"}));
}

TEST(KdBackup, DeletingTheBackupDeletesContainersItemsAndDetails)
{
    const QByteArray pieceMarker("piece-bytes");
    const QString noteMarker = QString::fromLatin1("contact-note");
    QMap<QString, QString> entryMarker;
    entryMarker.insert("City", "Paris");
    QMap<QString, QString> addrMarker;
    addrMarker.insert("+33", "Ann");
    const QString bookmarkMarker = QString::fromLatin1("folder");
    const QString pathMarker = QString::fromLatin1("/tmp/file");
    int noteDeaths = 0;

    auto* backup = new KdBackup;
    {
        auto* group = new KdSMSChatGroup;
        auto* chat = new KdSMSChat;
        auto* piece = new KdSMSPiece;
        piece->setPieceData(pieceMarker);
        chat->addPiece(piece);
        group->addChat(chat);
        group->setAddrIds(addrMarker);
        KdSMSItem* sms = KdSMSItem::createItem();
        sms->setDetailContent(group);
        backup->getMessage()->append(sms);

        auto* detail = new KdContactPrivate;
        detail->note = noteMarker;
        auto* prop = new KdContactProperty;
        prop->setPropValueEntry(entryMarker);
        detail->addProperty(prop);
        KdContactItem* contact = KdContactItem::createItem();
        contact->setDetailContent(detail);
        backup->getContact()->prepend(contact);

        KdSafariBookmarkItem* bm = KdSafariBookmarkItem::createItem();
        bm->setBookmarkGroup(bookmarkMarker);
        backup->getSafariBookmark()->append(bm);
        KdFileItem* file = KdFileItem::createItem();
        file->setFilePath(pathMarker);
        backup->getKdData(KdData::PhotoLibrary)->append(file);
        backup->getNote()->append(new CountedNote(&noteDeaths));
    }
    auto shared = [&] {
        return QList<bool>{stillShared(pieceMarker),    stillShared(noteMarker), stillShared(entryMarker),
                           stillShared(addrMarker),     stillShared(bookmarkMarker), stillShared(pathMarker)};
    };
    EXPECT_EQ(shared(), QList<bool>(6, true));

    int containersGone = 0;
    for (int c = 0; c < KdData::CategoryCount; ++c)
        QObject::connect(backup->getKdData(c), &QObject::destroyed, [&] { ++containersGone; });
    delete backup;
    EXPECT_EQ(containersGone, int(KdData::CategoryCount));
    EXPECT_EQ(noteDeaths, 1);
    EXPECT_EQ(shared(), QList<bool>(6, false)); // every detail freed with its item
}

TEST(KdItems, ReplacingADetailDeletesTheOldOne)
{
    const QString first = QString::fromLatin1("old-detail");
    std::unique_ptr<KdContactItem> item(KdContactItem::createItem());
    auto* a = new KdContactPrivate;
    a->note = first;
    item->setDetailContent(a);
    item->setDetailContent(a); // same detail again: kept, not freed
    EXPECT_EQ(item->detailContent(), a);
    EXPECT_TRUE(stillShared(first));
    item->setDetailContent(new KdContactPrivate);
    EXPECT_FALSE(stillShared(first));

    const QByteArray marker("m");
    std::unique_ptr<KdSMSItem> sms(KdSMSItem::createItem());
    auto* g = new KdSMSChatGroup;
    auto* c = new KdSMSChat;
    auto* p = new KdSMSPiece;
    p->setPieceData(marker);
    c->addPiece(p);
    g->addChat(c);
    sms->setDetailContent(g);
    sms->setDetailContent(nullptr);
    EXPECT_EQ(sms->detailContent(), nullptr);
    EXPECT_FALSE(stillShared(marker));
}
