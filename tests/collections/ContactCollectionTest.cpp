#include <gtest/gtest.h>

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "CContactCollection.h"
#include "CManifestRecord.h"
#include "CiTunesBackup.h"
#include "CollectionsFixture.h"
#include "kddata/KdBackup.h"
#include "SampleBackup.h"

using collectionstest::ProgressRecorder;

namespace {

// A backup that holds only an address book (at `bookPath`) and, optionally, its images.
QString writeAddressBookBackup(const QTemporaryDir& dir, const QString& bookPath, bool withImages,
                               sample::SampleBackupWriter::IndexKind kind = sample::SampleBackupWriter::IndexKind::Mbdb)
{
    const QString folder = dir.filePath(QStringLiteral("backup"));
    sample::SampleBackupWriter writer(folder);
    writer.indexKind = kind;
    writer.setDevice(QStringLiteral("Test Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"),
                     QDateTime(QDate(2015, 1, 2), QTime(3, 4), Qt::UTC));
    const QList<sample::SamplePerson> people = sample::addressBookPeople();
    const QString home = QStringLiteral("HomeDomain");
    EXPECT_FALSE(writer.addDatabase(home, bookPath, [&](sqlite3* db) {
        return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb"))
               && sample::insertPeople(db, people, true);
    }).isEmpty());
    if (withImages) {
        EXPECT_FALSE(writer.addDatabase(home, QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb"), [&](sqlite3* db) {
            if (!sample::createAddressBookTables(db, 8, QStringLiteral("AddressBookImages.sqlitedb")))
                return false;
            const QByteArray png = sample::samplePortrait(1).toHex();
            return sqlite3_exec(db, ("insert into ABThumbnailImage (record_id, format, data) values (1, 0, x'" + png + "')").constData(),
                                nullptr, nullptr, nullptr) == SQLITE_OK;
        }).isEmpty());
    }
    EXPECT_TRUE(writer.write());
    return folder;
}

QStringList expectedNames()
{
    QStringList names;
    for (const sample::SamplePerson& p : sample::addressBookPeople()) {
        if (p.deleted)
            continue;
        QString n = p.displayName();
        if (n.isEmpty())
            n = p.organization;
        if (n.isEmpty())
            n = QStringLiteral("No Name");
        names << n;
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) { return QString::localeAwareCompare(a, b) < 0; });
    return names;
}

QStringList column(KdData* data, int col)
{
    QStringList out;
    for (int i = 0; i < data->count(0); ++i)
        out << data->at(i, false)->value(col);
    return out;
}

class ContactCollectionTest : public ::testing::Test
{
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    KdContactData* collect(const QString& folder, CIProgressCallback* progress = nullptr)
    {
        CiTunesBackup b;
        EXPECT_TRUE(b.parseFromPath(folder));
        CContactCollection c(backup.getContact());
        c.setProgress(progress);
        c.collect(b.path(), b.files(), b.fileSuffix());
        return backup.getContact();
    }

    QTemporaryDir dir;
    KdBackup backup;
};

} // namespace

TEST_F(ContactCollectionTest, EveryLiveContactWithColumnsInLocaleAwareNameOrder)
{
    KdContactData* contacts = collect(writeAddressBookBackup(dir, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), true));
    const QStringList names = column(contacts, 0);
    EXPECT_EQ(names, expectedNames());
    // Case and accents do not push names behind "Z" as code-unit order would.
    EXPECT_LT(names.indexOf(QStringLiteral("anna Cole")), names.indexOf(QStringLiteral("Ethan Zhao")));
    EXPECT_LT(names.indexOf(QStringLiteral("Émilie Dubois")), names.indexOf(QStringLiteral("emma Larsen")));
    EXPECT_LT(names.indexOf(QStringLiteral("emma Larsen")), names.indexOf(QStringLiteral("Ethan Zhao")));

    const int john = names.indexOf(QStringLiteral("Dr. John Quincy Appleseed Jr."));
    ASSERT_GE(john, 0);
    const KdAbstractItem* item = contacts->at(john, false);
    EXPECT_EQ(item->value(1), QStringLiteral("Orchard Growers Ltd."));
    EXPECT_EQ(item->value(2), QStringLiteral("+1 (415) 555-0100; 415-555-0199; +44 20 7946 0100"));
    EXPECT_EQ(item->value(3), QStringLiteral("john@example.com; j.appleseed@orchard.example"));
    EXPECT_EQ(item->value(4), QStringLiteral("https://appleseed.example; http://blog.example.org/john"));
    EXPECT_EQ(item->size(), 0u);
    const KdContactPrivate* detail = static_cast<const KdContactItem*>(item)->detailContent();
    ASSERT_NE(detail, nullptr);
    EXPECT_FALSE(detail->image.isEmpty());
    int addresses = 0;
    for (const KdContactProperty* p : detail->properties())
        if (p->propType() == KdContactProperty::Address) {
            ++addresses;
            EXPECT_FALSE(p->propValueEntry().value(QStringLiteral("City")).isEmpty());
        }
    EXPECT_EQ(addresses, 2);

    const KdAbstractItem* nameless = contacts->at(names.indexOf(QStringLiteral("No Name")), false);
    ASSERT_NE(nameless, nullptr);
    EXPECT_EQ(nameless->value(2), QStringLiteral("+1 555 0142"));
    EXPECT_EQ(nameless->value(3), QStringLiteral("unknown@example.net"));
}

TEST_F(ContactCollectionTest, OlderAddressBookNameAndLegacyIndexAreRead)
{
    KdContactData* contacts = collect(writeAddressBookBackup(dir, QStringLiteral("Library/AddressBook/AddressBook.db"), false,
                                                             sample::SampleBackupWriter::IndexKind::Legacy));
    EXPECT_EQ(column(contacts, 0), expectedNames());
}

TEST_F(ContactCollectionTest, NoAddressBookMeansNoItemsAndNoProgress)
{
    const QString folder = dir.filePath(QStringLiteral("empty"));
    sample::SampleBackupWriter writer(folder);
    writer.setDevice(QStringLiteral("P"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
    writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Notes/other.txt"), "x");
    ASSERT_TRUE(writer.write());
    ProgressRecorder p;
    EXPECT_EQ(collect(folder, &p)->count(0), 0);
    EXPECT_TRUE(p.steps.empty());
    EXPECT_EQ(p.finishes, 0);
}

TEST_F(ContactCollectionTest, RefusedFinishLeavesTheContainerAsItWas)
{
    const QString folder = writeAddressBookBackup(dir, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), false);
    KdContactItem* before = KdContactItem::createItem();
    before->setValue(QStringLiteral("Already there"), 0);
    backup.getContact()->append(before);
    ProgressRecorder p;
    p.finishAnswer = false;
    KdContactData* contacts = collect(folder, &p);
    EXPECT_EQ(column(contacts, 0), QStringList{QStringLiteral("Already there")});
    EXPECT_EQ(p.finishes, 1);
}

TEST_F(ContactCollectionTest, CancelledReadingKeepsTheContactsMadeSoFar)
{
    const QString folder = writeAddressBookBackup(dir, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), false);
    ProgressRecorder p(100);
    p.answer = [](int call) { return call < 3; };
    EXPECT_EQ(collect(folder, &p)->count(0), 3);
    EXPECT_EQ(p.steps.size(), 3u);
    EXPECT_EQ(p.finishes, 1);

    ProgressRecorder full(90);
    backup.getContact()->clear();
    EXPECT_EQ(collect(folder, &full)->count(0), expectedNames().size());
    EXPECT_EQ(int(full.steps.size()), expectedNames().size());
    EXPECT_NEAR(full.total, 90.0, 1e-9);
}

TEST_F(ContactCollectionTest, ReadContactsWithoutContainerOrDatabase)
{
    ProgressRecorder p;
    readContacts(nullptr, QStringLiteral("/nonexistent/AddressBook.sqlitedb"), QString(), &p);
    EXPECT_EQ(p.finishes, 1);
    KdContactData contacts;
    readContacts(&contacts, dir.filePath(QStringLiteral("missing.sqlitedb")), QString(), nullptr);
    EXPECT_EQ(contacts.count(0), 0);
}
