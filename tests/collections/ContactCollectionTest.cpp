// Contacts of the address book read from a backup: live contacts with their details in the
// locale's order, from either file name and index, progress and cancellation.

#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "CContactCollection.h"
#include "CollectionSample.h"
#include "kddata/KdBackup.h"

using testsupport::ProgressRecorder;

namespace {

const QString kBook = QStringLiteral("Library/AddressBook/AddressBook.sqlitedb");

// A backup that holds only an address book, at `bookPath`.
QString writeAddressBookBackup(const QTemporaryDir& dir, const QString& bookPath,
                               sample::SampleBackupWriter::IndexKind kind = sample::SampleBackupWriter::IndexKind::Mbdb)
{
    sample::SampleBackupWriter writer = collsample::phone(dir.filePath(QStringLiteral("backup")));
    writer.indexKind = kind;
    EXPECT_FALSE(writer.addDatabase(QStringLiteral("HomeDomain"), bookPath, [&](sqlite3* db) {
        return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb"))
            && sample::insertPeople(db, sample::addressBookPeople(), true);
    }).isEmpty());
    EXPECT_TRUE(writer.write());
    return writer.folder();
}

QStringList expectedNames()
{
    QStringList names;
    for (const sample::SamplePerson& p : sample::addressBookPeople()) {
        const QString n = p.displayName().isEmpty() ? p.organization : p.displayName();
        if (!p.deleted)
            names << (n.isEmpty() ? QStringLiteral("No Name") : n);
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) { return QString::localeAwareCompare(a, b) < 0; });
    return names;
}

QStringList column(KdData* data, int col)
{
    return collsample::rows(data, [col](const KdAbstractItem* item) { return QStringList{item->value(col)}; });
}

class ContactCollectionTest : public ::testing::Test
{
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    KdContactData* collect(const QString& folder, CIProgressCallback* progress = nullptr)
    {
        collsample::collect<CContactCollection>(backup.getContact(), folder, progress);
        return backup.getContact();
    }

    QTemporaryDir dir;
    KdBackup backup;
};

} // namespace

// Column texts and their order are checked through the command-line export; here the details
// behind them, from either address book name and either index.
TEST_F(ContactCollectionTest, EveryLiveContactWithItsDetails)
{
    KdContactData* contacts = collect(writeAddressBookBackup(dir, kBook));
    const QStringList names = column(contacts, 0);
    EXPECT_EQ(names, expectedNames());
    const auto* john = static_cast<const KdContactItem*>(contacts->at(names.indexOf(QStringLiteral("Dr. John Quincy Appleseed Jr.")), false));
    ASSERT_NE(john, nullptr);
    EXPECT_EQ(john->value(1), QStringLiteral("Orchard Growers Ltd."));
    EXPECT_EQ(john->size(), 0u);
    ASSERT_NE(john->detailContent(), nullptr);
    QStringList cities;
    for (const KdContactProperty* p : john->detailContent()->properties())
        if (p->propType() == KdContactProperty::Address)
            cities << p->propValueEntry().value(QStringLiteral("City"));
    EXPECT_EQ(cities.size(), 2);
    EXPECT_FALSE(cities.contains(QString()));

    backup.getContact()->clear();
    QTemporaryDir legacy;
    const QString folder = writeAddressBookBackup(legacy, QStringLiteral("Library/AddressBook/AddressBook.db"),
                                                  sample::SampleBackupWriter::IndexKind::Legacy);
    EXPECT_EQ(column(collect(folder), 0), expectedNames());
}

// A refusal stops the reading and keeps what was made; a refused finish keeps nothing.
TEST_F(ContactCollectionTest, ProgressAndCancellation)
{
    const QString folder = writeAddressBookBackup(dir, kBook);
    ProgressRecorder full(90);
    EXPECT_EQ(collect(folder, &full)->count(), expectedNames().size());
    EXPECT_EQ(full.steps, std::vector<double>(size_t(expectedNames().size()), 90.0 / expectedNames().size()));
    EXPECT_EQ(full.finishes, 1);

    backup.getContact()->clear();
    ProgressRecorder refusing;
    refusing.answer = [](int call) { return call < 3; };
    EXPECT_EQ(collect(folder, &refusing)->count(), 3);
    EXPECT_EQ(refusing.steps.size(), 3u);

    KdContactItem* before = KdContactItem::createItem();
    before->setValue(QStringLiteral("Already there"), 0);
    backup.getContact()->clear();
    backup.getContact()->append(before);
    ProgressRecorder refusedFinish;
    refusedFinish.finishAnswer = false;
    EXPECT_EQ(column(collect(folder, &refusedFinish), 0), QStringList{QStringLiteral("Already there")});
}

TEST_F(ContactCollectionTest, NoAddressBookMeansNoItemsAndNoProgress)
{
    sample::SampleBackupWriter writer = collsample::phone(dir.filePath(QStringLiteral("empty")));
    writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Notes/other.txt"), "x");
    ASSERT_TRUE(writer.write());
    ProgressRecorder p;
    EXPECT_EQ(collect(writer.folder(), &p)->count(), 0);
    EXPECT_TRUE(p.steps.empty());
    EXPECT_EQ(p.finishes, 0);

    ProgressRecorder noContainer; // no container to fill is no unreadable database
    EXPECT_TRUE(readContacts(nullptr, QStringLiteral("/nonexistent/AddressBook.sqlitedb"), QString(), &noContainer));
    EXPECT_EQ(noContainer.finishes, 1);
    KdContactData contacts;
    EXPECT_FALSE(readContacts(&contacts, dir.filePath(QStringLiteral("missing.sqlitedb")), QString(), nullptr));
    EXPECT_EQ(contacts.count(), 0);
}
