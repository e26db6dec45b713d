#include <gtest/gtest.h>

#include <QBrush>
#include <QDateTime>
#include <QFont>

#include "TestSupport.h"
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

// An item titled `title` in column 0; `sortKey` is column `sortColumn`'s sort value when that is set.
template <typename T = KdNoteItem>
T* item(const QString& title, bool deleted = false, int sortColumn = -1, const QVariant& sortKey = {})
{
    T* made = T::createItem();
    made->setValue(title, 0);
    made->setFlag(deleted, KdAbstractItem::DeletedFlag);
    if (sortColumn >= 0)
        made->setSortValue(sortKey, sortColumn);
    return made;
}

QStringList titles(const KdData* data)
{
    QStringList out;
    for (int i = 0; i < data->count(); ++i)
        out << data->at(i, false)->value(0);
    return out;
}

} // namespace

TEST(KdAbstractItem, ValuesSortValuesFlagsAndSize)
{
    std::unique_ptr<KdCalendarItem> item(KdCalendarItem::createItem());
    item->setValue("late", 4);
    item->setValue("first", 0);
    item->setValue("ignored", -1);
    item->setValue("ignored", KdAbstractItem::MaxColumns);
    EXPECT_EQ(item->value(0), "first");
    EXPECT_EQ(item->value(4), "late");
    EXPECT_EQ(item->value(2), QString()); // a gap stays empty
    EXPECT_EQ(item->valueCount(), 5);

    item->setFlag(true, 0);
    item->setFlag(true, 31);
    item->setFlag(true, 32); // out of range: ignored
    EXPECT_TRUE(item->isDeleted());
    EXPECT_FALSE(item->flag(32));
    item->setFlag(false, 0);
    EXPECT_FALSE(item->isDeleted());
    EXPECT_TRUE(item->flag(31));
    item->setSize(Q_UINT64_C(5000000000)); // beyond 32 bits
    EXPECT_EQ(item->size(), Q_UINT64_C(5000000000));
}

TEST(KdData, AppendPrependTakeCountAndAt)
{
    KdData data(KdData::Notes);
    QList<int> inserted;
    QObject::connect(&data, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) { inserted << first << last; });
    data.append(item("b"));
    data.append(item("c", true));
    data.prepend(item("a", true));
    data.append(nullptr);
    data.prepend(nullptr);
    EXPECT_EQ(titles(&data), QStringList({"a", "b", "c"}));
    EXPECT_EQ(inserted, QList<int>({0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(data.count(KdData::AllItems), 3);
    EXPECT_EQ(data.count(KdData::DeletedItems), 2);
    EXPECT_EQ(data.count(KdData::LiveItems), 1);
    EXPECT_EQ(data.at(1, true)->value(0), "c"); // second deleted item
    for (int i : {2, -1})
        EXPECT_EQ(data.at(i, true), nullptr) << i;
    EXPECT_EQ(data.at(3, false), nullptr);

    // An item the container already holds is not held twice; a taken one may come back.
    KdAbstractItem* b = data.at(1, false);
    data.append(b);
    data.prepend(b);
    EXPECT_EQ(data.count(), 3);
    EXPECT_EQ(data.takeAt(1), b);
    EXPECT_EQ(data.indexOf(b), -1);
    data.append(b);
    EXPECT_EQ(titles(&data), QStringList({"a", "c", "b"}));

    QList<int> changed;
    QObject::connect(&data, &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& tl, const QModelIndex& br) { changed << tl.row() << br.row() << br.column(); });
    data.itemChanged(1);
    data.itemChanged(5);
    EXPECT_EQ(changed, QList<int>({1, 1, 4}));
}

TEST(KdData, DeletesTheItemsItHolds)
{
    int deaths = 0;
    {
        KdData data(KdData::Notes);
        data.append(new CountedNote(&deaths));
        data.prepend(new CountedNote(&deaths));
        delete data.takeAt(0);
        EXPECT_EQ(deaths, 1);
        data.append(new CountedNote(&deaths));
        data.clear();
        EXPECT_EQ(deaths, 3);
        data.append(new CountedNote(&deaths));
    }
    EXPECT_EQ(deaths, 4);
}

TEST(KdData, DataRolesShowTextsSortKeysAndDeletedMarks)
{
    KdData calls(KdData::CallHistory);
    KdCallHistoryItem* gone = item<KdCallHistoryItem>(QString(), true);
    calls.append(item<KdCallHistoryItem>("Ann", false, 4, 65));
    calls.append(gone);

    const QModelIndex name0 = calls.index(0, 0), name1 = calls.index(1, 0);
    EXPECT_EQ(calls.data(name0).toString(), "Ann");
    EXPECT_EQ(calls.data(calls.index(0, 4), KdData::SortRole).toInt(), 65);
    EXPECT_EQ(calls.data(name0, KdData::SortRole).toString(), "Ann"); // falls back to the text
    EXPECT_FALSE(calls.data(name0, KdData::DeletedRole).toBool());
    EXPECT_FALSE(calls.data(name0, Qt::ForegroundRole).isValid());
    EXPECT_TRUE(calls.data(name1, KdData::DeletedRole).toBool());
    EXPECT_EQ(calls.data(name1, Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    EXPECT_TRUE(calls.data(name1, Qt::FontRole).value<QFont>().italic());
    EXPECT_EQ(calls.data(name1, KdData::ItemRole).value<quintptr>(), reinterpret_cast<quintptr>(gone));
    EXPECT_FALSE(calls.data(calls.index(2, 0)).isValid());

    KdData roll(KdData::CameraRoll);
    KdFileItem* file = KdFileItem::createItem();
    file->setFilePath("/backup/ab/abcdef");
    file->setSize(1536);
    roll.append(file);
    EXPECT_EQ(roll.data(roll.index(0, 1)).toString(), "1.5 KB");
    EXPECT_EQ(roll.data(roll.index(0, 1), KdData::SortRole).toULongLong(), 1536u);
    EXPECT_EQ(roll.data(roll.index(0, 2)).toString(), "/backup/ab/abcdef");
    EXPECT_EQ(roll.data(roll.index(0, 0), KdData::FilePathRole).toString(), "/backup/ab/abcdef");
    EXPECT_EQ(roll.data(roll.index(0, 0), KdData::SizeRole).toULongLong(), 1536u);

    KdData memos(KdData::VoiceMemos); // its collector sets the columns; the model adds nothing
    KdVoiceMemoItem* memo = KdVoiceMemoItem::createItem();
    memo->setSize(999);
    memos.append(memo);
    EXPECT_EQ(memos.data(memos.index(0, 1)).toString(), QString());
}

TEST(KdData, SortOrdersBySortValueKindAndKeepsTies)
{
    KdData calls(KdData::CallHistory);
    const std::pair<const char*, QVariant> rows[] = {
        {"late", QDateTime(QDate(2014, 1, 1), QTime(0, 0), Qt::UTC)},
        {"none", QVariant()},
        {"early", QDateTime(QDate(2012, 1, 1), QTime(0, 0), Qt::UTC)},
        {"tieA", QDateTime(QDate(2013, 1, 1), QTime(0, 0), Qt::UTC)},
        {"tieB", QDateTime(QDate(2013, 1, 1), QTime(0, 0), Qt::UTC)},
    };
    for (const auto& [name, key] : rows)
        calls.append(item<KdCallHistoryItem>(name, false, 2, key));
    QPersistentModelIndex watched = calls.index(0, 0); // "late"
    calls.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(titles(&calls), QStringList({"none", "early", "tieA", "tieB", "late"}));
    EXPECT_EQ(watched.row(), 4);
    calls.sort(2, Qt::DescendingOrder);
    EXPECT_EQ(titles(&calls), QStringList({"late", "tieA", "tieB", "early", "none"}));

    // Numbers compare as numbers: -1 ("Canceled") < 0 ("Missed") < 9 < 10; sizes by bytes.
    KdData durations(KdData::CallHistory);
    for (int d : {10, -1, 9, 0})
        durations.append(item<KdCallHistoryItem>(QString::number(d), false, 4, d));
    durations.sort(4);
    EXPECT_EQ(titles(&durations), QStringList({"-1", "0", "9", "10"}));
    KdData roll(KdData::CameraRoll);
    for (quint64 s : {2048u, 512u, 1048576u}) {
        KdFileItem* f = item<KdFileItem>(QString::number(s));
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
    for (const QString& n : names)
        contacts.append(item<KdContactItem>(n));
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

TEST(KdBackup, CategoriesMapToTheirContainersInExportOrder)
{
    KdBackup backup;
    for (int c = 0; c < KdData::CategoryCount; ++c)
        EXPECT_EQ(backup.getKdData(c)->category(), c);
    // The device media table relies on these numbers.
    EXPECT_EQ(backup.getKdData(0), backup.getCamareRoll());
    EXPECT_EQ(backup.getKdData(5), backup.getMessageAttachment());
    EXPECT_EQ(backup.getKdData(-1), nullptr);
    EXPECT_EQ(backup.getKdData(KdData::CategoryCount), nullptr);
    QStringList names;
    for (int c : KdBackup::categories())
        names << KdData::machineName(c);
    EXPECT_EQ(names, QStringList({"contacts", "messages", "message_attachments", "calls", "calendar", "reminders",
                                  "notes", "safari", "camera_roll", "photo_stream", "photo_library", "voice_memos"}));
}

TEST(KdBackup, DeletingTheBackupDeletesContainersItemsAndDetails)
{
    const QByteArray pieceMarker("piece-bytes");
    const QString noteMarker("contact-note"), pathMarker("/tmp/file");
    const QMap<QString, QString> entryMarker{{"City", "Paris"}};
    int noteDeaths = 0;
    auto* backup = new KdBackup;
    auto* group = new KdSMSChatGroup;
    auto* chat = new KdSMSChat;
    auto* piece = new KdSMSPiece;
    piece->setPieceData(pieceMarker);
    chat->addPiece(piece);
    group->addChat(chat);
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
    KdFileItem* file = KdFileItem::createItem();
    file->setFilePath(pathMarker);
    backup->getKdData(KdData::PhotoLibrary)->append(file);
    backup->getNote()->append(new CountedNote(&noteDeaths));
    auto shared = [&] {
        return QList<bool>{stillShared(pieceMarker), stillShared(noteMarker), stillShared(entryMarker), stillShared(pathMarker)};
    };
    EXPECT_EQ(shared(), QList<bool>(4, true));
    int containersGone = 0;
    for (int c = 0; c < KdData::CategoryCount; ++c)
        QObject::connect(backup->getKdData(c), &QObject::destroyed, [&] { ++containersGone; });
    delete backup;
    EXPECT_EQ(containersGone, int(KdData::CategoryCount));
    EXPECT_EQ(noteDeaths, 1);
    EXPECT_EQ(shared(), QList<bool>(4, false)); // every detail freed with its item
}

TEST(KdItems, ReplacingADetailDeletesTheOldOne)
{
    const QString first("old-detail");
    std::unique_ptr<KdContactItem> item(KdContactItem::createItem());
    auto* a = new KdContactPrivate;
    a->note = first;
    item->setDetailContent(a);
    item->setDetailContent(a); // the same detail again: kept, not freed
    EXPECT_EQ(item->detailContent(), a);
    EXPECT_TRUE(stillShared(first));
    item->setDetailContent(new KdContactPrivate);
    EXPECT_FALSE(stillShared(first));
}
