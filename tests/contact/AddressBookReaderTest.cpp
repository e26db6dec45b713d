#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <algorithm>

#include "AddressBookSample.h"
#include "ContactFixture.h"
#include "TestSupport.h"
#include "../../lib/contact/AddressBookReader_p.h"
#include "../../lib/contact/ReadOnlyDatabase_p.h"

using namespace contacttest;

namespace {

struct BuiltBook {
    QString book;
    QString images;
};

// The sample address book and images database under one iOS layout.
BuiltBook buildSample(const QTemporaryDir& dir, int iosMajor)
{
    BuiltBook b{dir.filePath(QStringLiteral("AddressBook.sqlitedb")),
                dir.filePath(QStringLiteral("AddressBookImages.sqlitedb"))};
    const QList<sample::SamplePerson> people = sample::addressBookPeople();
    EXPECT_TRUE(testsupport::makeDatabase(b.book, {}, [&](sqlite3* db) {
        return sample::createAddressBookTables(db, iosMajor, QStringLiteral("AddressBook.sqlitedb"))
               && sample::insertPeople(db, people, true);
    }));
    // People get ROWIDs in insertion order. John (1) has thumbnail formats 2 and 0, Zoë only a
    // full-size image.
    int zoe = 1;
    while (people[zoe - 1].first != QStringLiteral("Zoë"))
        ++zoe;
    makeBook(dir, iosMajor,
             {QStringLiteral("insert into ABThumbnailImage (record_id, format, data) values (1, 2, x'0202'), (1, 0, x'0101'), (99, 0, x'09')"),
              QStringLiteral("insert into ABFullSizeImage (record_id, data) values (%1, x'050505'), (1, x'ffff')").arg(zoe)},
             QStringLiteral("AddressBookImages.sqlitedb"));
    return b;
}

QMap<QString, QString> entries(const ContactMultiValue* v)
{
    QMap<QString, QString> out;
    for (const ContactValueEntry* e : chain(v->entries))
        out.insert(str(e->key), str(e->value));
    return out;
}

} // namespace

TEST(ContactLabels, WrappedLabelsBecomeLowerCaseWords)
{
    const struct {
        const char* stored;
        const char* expected;
    } cases[] = {
        {"_$!<Mobile>!$_", "mobile"},   {"_$!<Home>!$_", "home"},         {"_$!<HomeFAX>!$_", "home fax"},
        {"_$!<HomePage>!$_", "home page"}, {"iPhone", "iPhone"},           {"Shanghai office", "Shanghai office"},
        {"_$!<>!$_", ""},               {"_$!<Mobile>", "_$!<Mobile>"},   {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(contactdb::resolveLabel(QString::fromUtf8(c.stored)), QString::fromUtf8(c.expected)) << c.stored;
}

TEST(ContactLabels, BirthdaySecondsBecomeIsoDatesAndPathsBecomeReadOnlyUris)
{
    EXPECT_EQ(contactdb::birthdayText("0"), QByteArray("2001-01-01"));
    EXPECT_EQ(contactdb::birthdayText("-504057600.000000"), QByteArray("1985-01-11"));
    EXPECT_EQ(contactdb::birthdayText("1985-01-12"), QByteArray("1985-01-12"));
    EXPECT_TRUE(contactdb::birthdayText(QByteArray()).isNull());
    EXPECT_TRUE(contactdb::birthdayText("1e300").isNull()); // damage, not a date
    EXPECT_EQ(contactdb::immutableUri(QStringLiteral("/tmp/a b/c?d#e%f/É.db")),
              QByteArray("file:/tmp/a%20b/c%3Fd%23e%25f/%C3%89.db?immutable=1&mode=ro"));
}

class AddressBookLayouts : public ::testing::TestWithParam<int>
{
};

TEST_P(AddressBookLayouts, ReadsPeopleValuesLabelsEntriesAndImages)
{
    QTemporaryDir dir;
    const BuiltBook b = buildSample(dir, GetParam());
    Reader reader;
    const ContactRecordList* list = reader.contacts(b.book, b.images);
    ASSERT_NE(list, nullptr);

    QList<sample::SamplePerson> live;
    for (const sample::SamplePerson& p : sample::addressBookPeople())
        if (!p.deleted)
            live << p;
    const auto recs = records(list);
    ASSERT_EQ(int(recs.size()), live.size());
    EXPECT_EQ(list->count, int32_t(recs.size()));

    for (int i = 0; i < live.size(); ++i) {
        const sample::SamplePerson& p = live[i];
        const addressbookdb* r = recs[size_t(i)];
        SCOPED_TRACE(p.displayName().toStdString());
        const QStringList got{str(r->person.first),  str(r->person.last),         str(r->person.middle),
                              str(r->person.prefix), str(r->person.suffix),       str(r->person.organization),
                              str(r->person.jobTitle), str(r->person.nickname)};
        EXPECT_EQ(got, QStringList({p.first, p.last, p.middle, p.prefix, p.suffix, p.organization, p.jobTitle,
                                    p.nickname}));
        EXPECT_EQ(r->kind, p.kind);
        EXPECT_EQ(str(r->person.rowid), QString::number(r->rowid));

        // Values come grouped by property, each group in identifier order.
        QList<sample::SampleValue> wanted = p.values;
        std::stable_sort(wanted.begin(), wanted.end(),
                         [](const sample::SampleValue& a, const sample::SampleValue& b) { return a.property < b.property; });
        const auto vs = chain(r->values);
        ASSERT_EQ(int(vs.size()), wanted.size());
        for (int k = 0; k < wanted.size(); ++k) {
            const sample::SampleValue& want = wanted[k];
            EXPECT_EQ(vs[size_t(k)]->property, want.property);
            EXPECT_EQ(str(vs[size_t(k)]->value), want.value);
            EXPECT_EQ(str(vs[size_t(k)]->label), contactdb::resolveLabel(want.label));
            QMap<QString, QString> wantEntries;
            for (const auto& e : want.entries)
                wantEntries.insert(e.first, e.second);
            EXPECT_EQ(entries(vs[size_t(k)]), wantEntries);
        }
    }

    // Smallest thumbnail format wins over larger ones and over the full-size image; people with
    // only a full-size image get that; the others none.
    const addressbookdb* john = recs[0];
    ASSERT_EQ(john->imageSize, 2);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(john->image), 2), QByteArray("\x01\x01"));
    const addressbookdb* zoe = recs[4];
    ASSERT_EQ(zoe->imageSize, 3);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(zoe->image), 3), QByteArray("\x05\x05\x05"));
    EXPECT_EQ(recs[1]->image, nullptr);
    EXPECT_EQ(str(john->person.birthday), QStringLiteral("1985-01-11"));
    EXPECT_GT(john->creationDate, 0);
}

// Named by the iOS major version alone: the test list then shows ".../5", ".../8", ".../16".
INSTANTIATE_TEST_SUITE_P(Ios, AddressBookLayouts, ::testing::Values(5, 8, 15, 16),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

// The older layout lacks optional columns and tables; values and entries that point at nothing
// are dropped, labels and keys that point at nothing read as empty.
TEST(AddressBookReader, OlderLayoutAndDanglingReferences)
{
    QTemporaryDir dir;
    const QString old = dir.filePath(QStringLiteral("AddressBook.db"));
    ASSERT_TRUE(testsupport::makeDatabase(
        old, {QStringLiteral("create table ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT)"),
              QStringLiteral("create table ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, value TEXT)"),
              QStringLiteral("insert into ABPerson values (7, 'Ada', 'Lovelace')"),
              QStringLiteral("insert into ABMultiValue values (1, 7, 3, '555-0001')"),
              QStringLiteral("insert into ABMultiValue values (2, 42, 3, 'orphan')")}));
    const QString book = makeBook(dir, 8,
                                  {QStringLiteral("insert into ABPerson (ROWID, First) values (1, 'Bo')"),
                                   QStringLiteral("insert into ABMultiValue (UID, record_id, property, identifier, label, value) "
                                                  "values (10, 1, 3, 0, 999, '1')"),
                                   QStringLiteral("insert into ABMultiValueEntry (parent_id, key, value) values (10, 77, 'x')"),
                                   QStringLiteral("insert into ABMultiValueEntry (parent_id, key, value) values (11, 1, 'y')")});
    Reader reader;
    const auto ada = records(reader.contacts(old));
    ASSERT_EQ(ada.size(), 1u);
    EXPECT_EQ(str(ada[0]->person.first), QStringLiteral("Ada"));
    EXPECT_EQ(ada[0]->person.prefix, nullptr);
    EXPECT_EQ(ada[0]->kind, 0);
    ASSERT_EQ(chain(ada[0]->values).size(), 1u);
    EXPECT_EQ(str(ada[0]->values->value), QStringLiteral("555-0001"));
    EXPECT_EQ(str(ada[0]->values->label), QString());

    const auto bo = records(reader.contacts(book));
    ASSERT_EQ(bo.size(), 1u);
    ASSERT_EQ(chain(bo[0]->values).size(), 1u);
    const ContactMultiValue* v = bo[0]->values;
    EXPECT_EQ(str(v->label), QString());    // unknown label id
    ASSERT_NE(v->entries, nullptr);          // unknown key id keeps the value under ""
    EXPECT_EQ(str(v->entries->key), QString());
    EXPECT_EQ(v->entries->next, nullptr);    // the entry of a missing parent is dropped
}

TEST(AddressBookReader, UnreadableBooksGiveNoListAndUnreadableImagesNoPictures)
{
    QTemporaryDir dir;
    const QString garbage = dir.filePath(QStringLiteral("garbage.sqlitedb")), noPeople = dir.filePath(QStringLiteral("other.sqlitedb")),
                  empty = dir.filePath(QStringLiteral("empty.sqlitedb")), missing = dir.filePath(QStringLiteral("missing.sqlitedb"));
    ASSERT_TRUE(testsupport::writeFile(garbage, QByteArray(8192, 'x')));
    ASSERT_TRUE(testsupport::makeDatabase(noPeople, {QStringLiteral("create table t(x)")}));
    ASSERT_TRUE(testsupport::writeFile(empty, QByteArray()));
    Reader reader;
    for (const QString& path : {missing, garbage, noPeople, empty, QString()})
        EXPECT_EQ(reader.contacts(path), nullptr) << path.toStdString();
    EXPECT_FALSE(QFile::exists(missing));

    const BuiltBook b = buildSample(dir, 8);
    ASSERT_TRUE(testsupport::writeFile(b.images, QByteArray("not a database")));
    for (const QString& images : {b.images, missing}) {
        const auto recs = records(reader.contacts(b.book, images));
        ASSERT_FALSE(recs.empty());
        for (const addressbookdb* r : recs)
            EXPECT_EQ(r->image, nullptr);
    }
}

TEST(AddressBookReader, EvidenceIsNeverWrittenNorItsJournalReplayed)
{
    // A WAL database whose newest person lives only in the -wal file, copied while its writer is
    // open (as a backup of a running device leaves it), into a folder whose name ends URIs.
    QTemporaryDir dir, evidence;
    const QString book = dir.filePath(QStringLiteral("AddressBook.sqlitedb"));
    sqlite3* db = nullptr;
    ASSERT_TRUE(testsupport::makeDatabase(
        book, {QStringLiteral("pragma journal_mode=wal"), QStringLiteral("create table ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT)"),
               QStringLiteral("insert into ABPerson values (1, 'Checkpointed')"), QStringLiteral("pragma wal_checkpoint(truncate)"),
               QStringLiteral("pragma wal_autocheckpoint=0"), QStringLiteral("insert into ABPerson values (2, 'OnlyInWal')")},
        {}, &db));
    const QString copy = evidence.filePath(QStringLiteral("odd ?#% name/AddressBook.sqlitedb"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(copy).path()));
    ASSERT_TRUE(QFile::copy(book, copy));
    ASSERT_TRUE(QFile::copy(book + QStringLiteral("-wal"), copy + QStringLiteral("-wal")));
    sqlite3_close(db);
    const auto before = testsupport::snapshotFolder(evidence.path());
    Reader reader;
    const auto recs = records(reader.contacts(copy));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(str(recs[0]->person.first), QStringLiteral("Checkpointed"));
    EXPECT_EQ(testsupport::snapshotFolder(evidence.path()), before);
}

// Unreadable databases and unknown kinds give nothing, with a log line as the only report.
// Records stay valid until cleared; reloads are independent.
TEST(BackupContactReader, KindsAndRecordLifetimes)
{
    Reader reader;
    for (int kind : {0, 2, 3, -1}) {
        testsupport::LogCapture log;
        EXPECT_EQ(reader->loadRecords("/nonexistent", "", kind, nullptr), nullptr);
        EXPECT_FALSE(log.lines().empty()) << kind;
    }
    EXPECT_EQ(reader->loadRecords(nullptr, nullptr, 1, nullptr), nullptr);
    IBackupContact* none = nullptr;
    UninitBackupContact(&none); // releasing nothing is harmless
    UninitBackupContact(nullptr);
    InitBackupContact(nullptr);

    QTemporaryDir dir;
    const BuiltBook b = buildSample(dir, 8);
    const ContactRecordList* first = reader.contacts(b.book);
    const ContactRecordList* second = reader.contacts(b.book);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, first);
    EXPECT_EQ(str(first->first->person.first), QStringLiteral("John")); // still readable
    const size_t count = records(second).size();
    reader->clearRecords();
    EXPECT_EQ(records(reader.contacts(b.book)).size(), count);
}
