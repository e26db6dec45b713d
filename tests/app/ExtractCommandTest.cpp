#include <gtest/gtest.h>

#include <QCollator>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCoreApplication>
#include <QProcess>
#include <QFileInfo>
#include <QFile>
#include <QtEndian>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "ibr/schemas.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using testsupport::runCli;

namespace {

// An iOS 17 demo backup in a folder of its own, with room for the output beside it.
struct Demo17 {
    QTemporaryDir dir;
    QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    Demo17()
    {
        sample::DemoOptions options;
        options.iosMajor = 17;
        EXPECT_TRUE(sample::writeDemoBackup(backup, options));
    }
    // Where the backup keeps domain/path (iOS 10 on: in a sub-folder named by its first two digits).
    QString dataFile(const char* domain, const char* path) const
    {
        const QString name = sample::hashedName(QLatin1String(domain), QLatin1String(path));
        return backup + QLatin1Char('/') + name.left(2) + QLatin1Char('/') + name;
    }
};

} // namespace

// The collected contacts as the command-line program writes them, whatever its locale.
TEST(ExtractCommand, ContactsInRootCollationOrderWithTheirValues)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(sample::writeDemoBackup(backup));
    const auto before = testsupport::snapshotFolder(backup);
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out}, {{QStringLiteral("LC_ALL"), QStringLiteral("C")}});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testsupport::snapshotFolder(backup), before);
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 12); // every category has its file

    QStringList names, expected;
    QMap<QString, QStringList> values;
    for (const QJsonValue v : QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/contacts.json")))[QStringLiteral("items")].toArray()) {
        if (v[QStringLiteral("deleted")].toBool())
            continue;
        const QJsonValue columns = v[QStringLiteral("values")];
        names << columns[QStringLiteral("Name")].toString();
        for (const char* column : {"Phone Numbers", "E-mail Addresses", "Web Addresses"})
            values[names.last()] << columns[QLatin1String(column)].toString();
    }
    for (const sample::SamplePerson& p : sample::addressBookPeople()) {
        if (p.deleted)
            continue;
        QString name = p.displayName().isEmpty() ? p.organization : p.displayName();
        name = name.isEmpty() ? QStringLiteral("No Name") : name;
        expected << name;
        QStringList byProperty[3];
        for (const sample::SampleValue& v : p.values)
            if (v.property == 3 || v.property == 4 || v.property == 22)
                byProperty[v.property == 3 ? 0 : v.property == 4 ? 1 : 2] << v.value;
        EXPECT_EQ(values.value(name), QStringList({byProperty[0].join(QStringLiteral("; ")), byProperty[1].join(QStringLiteral("; ")),
                                                   byProperty[2].join(QStringLiteral("; "))}))
            << name.toStdString();
    }
    const QCollator root(QLocale(QLocale::English, QLocale::UnitedStates));
    std::stable_sort(expected.begin(), expected.end(), root);
    EXPECT_EQ(names, expected); // case and accents do not sort last
}

TEST(ExtractCommand, SelectedCategoriesAndFormatsAndBadArguments)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(sample::writeDemoBackup(backup));
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--format=csv"),
                                          QStringLiteral("--categories"), QStringLiteral("contacts,calls"), QStringLiteral("--json"),
                                          QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name), (QStringList{QStringLiteral("calls.csv"), QStringLiteral("contacts.csv")}));
    const QJsonObject summary = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(summary.value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(summary[QStringLiteral("categories")][QStringLiteral("calls")][QStringLiteral("deleted")].toInt(-1), 0);
    // The others were not searched: no counts of zero for them.
    EXPECT_EQ(summary[QStringLiteral("categories")][QStringLiteral("messages")].toObject(),
              (QJsonObject{{QStringLiteral("title"), QStringLiteral("Messages")}, {QStringLiteral("extracted"), false}}));
    const testsupport::CliRun text = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--categories"),
                                             QStringLiteral("calls"), QStringLiteral("--no-deleted")});
    EXPECT_TRUE(text.out.contains(QByteArray("  Messages").leftJustified(25) + "not extracted\n")) << text.out.constData();
    EXPECT_TRUE(text.out.contains(QByteArray("  Call History").leftJustified(25) + "    18 items (0 deleted)\n")) << text.out.constData();

    const auto before = testsupport::snapshotFolder(backup);
    const QString bad = dir.filePath(QStringLiteral("bad"));
    const QStringList cases[] = {
        {},
        {QStringLiteral("--out"), bad, QStringLiteral("--format"), QStringLiteral("xml")},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories"), QStringLiteral("nope")},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories"), QString()},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories=,")},
        {QStringLiteral("--out"), bad, QStringLiteral("--format"), QString()},
        {QStringLiteral("--out"), bad, QStringLiteral("--bogus")},
        {QStringLiteral("--out"), backup + QStringLiteral("/x")}, // never into the evidence
    };
    for (const QStringList& extra : cases)
        EXPECT_EQ(runCli(QStringList{QStringLiteral("extract"), backup} + extra).exitCode, 2) << extra.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(QFileInfo::exists(bad));
    EXPECT_EQ(testsupport::snapshotFolder(backup), before);
    EXPECT_EQ(runCli({QStringLiteral("extract"), dir.filePath(QStringLiteral("missing")), QStringLiteral("--out"), out}).exitCode, 4);
}

// A selection limits the search for deleted records to its categories, and an encrypted
// backup has only their databases decrypted.
TEST(ExtractCommand, DeletedRecordsAndDecryptionFollowTheSelectedCategories)
{
    // A plain backup, an encrypted one, and a device's file-system copy.
    for (const int source : {0, 1, 2}) {
        const bool encrypted = source == 1;
        QTemporaryDir dir;
        const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out")),
                      kept = dir.filePath(QStringLiteral("kept"));
        sample::DemoOptions options;
        if (encrypted)
            options.password = "pw";
        ASSERT_TRUE(source == 2 ? sample::writeDemoDevice(backup, options) : sample::writeDemoBackup(backup, options));
        ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("pw")), "pw\n"));
        QStringList args = {source == 2 ? QStringLiteral("device") : QStringLiteral("extract"), backup, QStringLiteral("--out"), out,
                            QStringLiteral("--categories"), QStringLiteral("contacts"), QStringLiteral("--json")};
        if (encrypted)
            args << QStringLiteral("--password-file") << dir.filePath(QStringLiteral("pw")) << QStringLiteral("--keep-decrypted") << kept;
        const testsupport::CliRun r = runCli(args);
        ASSERT_EQ(r.exitCode, 0) << r.err.constData();
        const QJsonObject categories = QJsonDocument::fromJson(r.out).object()[QStringLiteral("categories")].toObject();
        EXPECT_GT(categories[QStringLiteral("contacts")][QStringLiteral("deleted")].toInt(), 0) << source;
        for (const char* other : {"messages", "calls", "calendar", "notes"})
            EXPECT_FALSE(categories[QLatin1String(other)][QStringLiteral("extracted")].toBool(true)) << other << " " << source;
        if (encrypted) {
            EXPECT_TRUE(QFileInfo::exists(kept + QStringLiteral("/HomeDomain/Library/AddressBook/AddressBook.sqlitedb")));
            EXPECT_FALSE(QFileInfo::exists(kept + QStringLiteral("/HomeDomain/Library/SMS/sms.db")));
        }
    }
}

// One CSV row per message, and attachment files copied out under their own names: never over
// another file, never outside the output folder, byte for byte, with the device's time.
TEST(ExtractCommand, MessagesCsvAndExportedFiles)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime(QDate(2015, 1, 2), QTime(3, 4), Qt::UTC));
    ASSERT_FALSE(w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), [](sqlite3* db) {
        QStringList sql = ibr::iosSchemaStatements(8, QStringLiteral("sms.db")).filter(QStringLiteral("CREATE TABLE"));
        sql.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_")); });
        sql << QStringLiteral("INSERT INTO handle (ROWID, id, country, service) VALUES (1, '+15550100', 'us', 'SMS')")
            << QStringLiteral("INSERT INTO chat (ROWID, guid, chat_identifier) VALUES (1, 'c1', '+15550100')")
            << QStringLiteral("INSERT INTO chat_handle_join VALUES (1, 1)")
            << QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date, is_from_me, is_sent) VALUES "
                              "(1, 'm1', 'Hi, \"you\"' || char(10) || 'there', 1, 'SMS', 0, 0, 0), "
                              "(2, 'm2', char(65532), 1, 'iMessage', 60, 1, 1)")
            << QStringLiteral("INSERT INTO chat_message_join VALUES (1, 1), (1, 2)")
            << QStringLiteral("INSERT INTO attachment (ROWID, guid, filename, mime_type) VALUES (1, 'a1', '~/Library/SMS/Attachments/01/A/IMG_1.JPG', 'image/jpeg')")
            << QStringLiteral("INSERT INTO message_attachment_join VALUES (2, 1)");
        for (const QString& s : sql)
            if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                ADD_FAILURE() << s.toStdString() << ": " << sqlite3_errmsg(db);
                return false;
            }
        return true;
    }).isEmpty());
    const QString media = QStringLiteral("MediaDomain");
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/01/A/IMG_1.JPG"), QByteArray("first\0bytes", 11));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/02/B/IMG_1.JPG"), QByteArray("second"));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/03/a\\..\\..\\escape.JPG"), QByteArray("third"));
    // Names no file system or listing takes as they are: a line break, more than 255 bytes.
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/04/line\nbreak.JPG"), QByteArray("fourth"));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/05/%1.JPG").arg(QString(130, QChar(0x00e9))), QByteArray("fifth"));
    ASSERT_TRUE(w.write());

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out + QStringLiteral("/message_attachments")));
    ASSERT_TRUE(testsupport::writeFile(out + QStringLiteral("/message_attachments/IMG_1.JPG"), "already here"));
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), w.folder(), QStringLiteral("--out"), out, QStringLiteral("--format"),
                                          QStringLiteral("csv"), QStringLiteral("--categories"), QStringLiteral("messages,message_attachments"),
                                          QStringLiteral("--export-files"), QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.contains("\n7 file(s) written\n")) << r.out.constData(); // two lists, five copies
    EXPECT_EQ(testsupport::readFile(out + QStringLiteral("/messages.csv")),
              QByteArray("Conversation,Date,Direction,Sender,Service,Text,Attachments,Deleted,Edited,Unsent,Reactions,Conversation Guessed\r\n"
                         "5550100,2001-01-01T00:00:00Z,received,5550100,SMS,\"Hi, \"\"you\"\"\nthere\",,no,,no,,no\r\n"
                         "5550100,2001-01-01T00:01:00Z,sent,me,iMessage,,IMG_1.JPG,no,,no,,no\r\n"));
    const QDir copies(out + QStringLiteral("/message_attachments"));
    EXPECT_EQ(copies.entryList(QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("IMG_1 (2).JPG"), QStringLiteral("IMG_1 (3).JPG"), QStringLiteral("IMG_1.JPG"),
                           QStringLiteral("a_.._.._escape.JPG"), QStringLiteral("line_break.JPG"), QString(119, QChar(0x00e9)) + QStringLiteral(".JPG")}));
    EXPECT_EQ(testsupport::readFile(copies.filePath(QStringLiteral("IMG_1.JPG"))), QByteArray("already here"));
    EXPECT_EQ(testsupport::readFile(copies.filePath(QStringLiteral("IMG_1 (2).JPG"))), QByteArray("first\0bytes", 11));
    EXPECT_EQ(testsupport::readFile(copies.filePath(QStringLiteral("a_.._.._escape.JPG"))), QByteArray("third"));
    EXPECT_EQ(QFileInfo(copies.filePath(QStringLiteral("a_.._.._escape.JPG"))).lastModified().toSecsSinceEpoch(), 1400000000);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("escape.JPG"))));
    // Again into the same folder: the copies of the first run stand, none is added beside them. A
    // staged copy a killed run left is cleared; one of a run still going (this test) is not.
    QProcess gone;
    gone.start(QStringLiteral("true"), QStringList());
    ASSERT_TRUE(gone.waitForStarted());
    const qint64 gonePid = gone.processId();
    gone.waitForFinished();
    const QString running = QStringLiteral(".ibreader-copy-%1").arg(QCoreApplication::applicationPid());
    for (const QString& name : {QStringLiteral(".ibreader-copy-%1").arg(gonePid), running})
        ASSERT_TRUE(testsupport::writeFile(copies.filePath(name), "partial copy"));
    QStringList before = copies.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    before.removeOne(QStringLiteral(".ibreader-copy-%1").arg(gonePid));
    const testsupport::CliRun again = runCli({QStringLiteral("extract"), w.folder(), QStringLiteral("--out"), out, QStringLiteral("--format"),
                                              QStringLiteral("csv"), QStringLiteral("--categories"), QStringLiteral("message_attachments"),
                                              QStringLiteral("--export-files"), QStringLiteral("--no-deleted")});
    ASSERT_EQ(again.exitCode, 0) << again.err.constData();
    EXPECT_EQ(copies.entryList(QDir::Files | QDir::Hidden, QDir::Name), before);
    EXPECT_EQ(testsupport::readFile(copies.filePath(QStringLiteral("IMG_1 (3).JPG"))), QByteArray("second"));
}

// A deleted call whose name ran on into pages newer rows took comes back with what survived, and
// says so; a whole one does not.
TEST(ExtractCommand, DeletedCallCutShortIsMarkedPartial)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("call_history.db"));
    QStringList sql = ibr::iosSchemaStatements(6, QStringLiteral("call_history.db")).filter(QStringLiteral("CREATE TABLE"));
    sql.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_")); });
    sql << QStringLiteral("INSERT INTO call (address, date, duration, flags, id, name) VALUES (1, 1300000000, 60, 4, -1, 'Kept'), "
                          "(2, 1300100000, 30, 5, -1, 'Whole'), (3, 1300200000, 90, 4, -1, hex(zeroblob(3000)))")
        << QStringLiteral("DELETE FROM call WHERE ROWID > 1")
        << QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                          "INSERT INTO _SqliteDatabaseProperties (key, value) SELECT i, hex(randomblob(20)) FROM n");
    ASSERT_TRUE(testsupport::makeDatabase(db, QStringList{QStringLiteral("PRAGMA secure_delete = OFF")} + sql));
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone5,1"), QStringLiteral("6.1"), QDateTime(QDate(2013, 1, 2), QTime(3, 4), Qt::UTC));
    w.addFile(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"), testsupport::readFile(db));
    ASSERT_TRUE(w.write());

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(runCli({QStringLiteral("extract"), w.folder(), QStringLiteral("--out"), out, QStringLiteral("--categories"), QStringLiteral("calls")}).exitCode, 0);
    QMap<QString, QJsonObject> byNumber;
    for (const QJsonValue v : QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/calls.json")))[QStringLiteral("items")].toArray())
        byNumber[v[QStringLiteral("values")][QStringLiteral("Number")].toString()] = v.toObject();
    ASSERT_EQ(byNumber.size(), 3);
    EXPECT_TRUE(byNumber[QStringLiteral("3")][QStringLiteral("deleted")].toBool());
    EXPECT_TRUE(byNumber[QStringLiteral("3")][QStringLiteral("partial")].toBool());
    EXPECT_TRUE(byNumber[QStringLiteral("2")][QStringLiteral("deleted")].toBool());
    EXPECT_FALSE(byNumber[QStringLiteral("2")].contains(QStringLiteral("partial")));
    EXPECT_FALSE(byNumber[QStringLiteral("1")].contains(QStringLiteral("partial")));
}

// A database the index lists but the folder lacks is reported as skipped, once, for the category
// that reads it; the others still come out.
TEST(ExtractCommand, DatabasesListedButMissingAreNamedAsSkipped)
{
    const struct {
        const char* domain;
        const char* path;
        const char* line;
    } missing[] = {
        {"HomeDomain", "Library/SMS/sms.db", "skipped: messages: sms.db is listed in the backup's index but missing from the folder"},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
         "skipped: contacts: AddressBook.sqlitedb is listed in the backup's index but missing from the folder"},
        {"HomeDomain", "Library/Calendar/Calendar.sqlitedb",
         "skipped: calendar: Calendar.sqlitedb is listed in the backup's index but missing from the folder"},
    };
    for (const int ios : {8, 17}) {
        SCOPED_TRACE(ios);
        QTemporaryDir dir;
        const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
        sample::DemoOptions options;
        options.iosMajor = ios;
        ASSERT_TRUE(sample::writeDemoBackup(backup, options));
        for (const auto& m : missing) {
            const QString name = sample::hashedName(QLatin1String(m.domain), QLatin1String(m.path));
            ASSERT_TRUE(QFile::remove(backup + QLatin1Char('/') + name) || QFile::remove(backup + QLatin1Char('/') + name.left(2) + QLatin1Char('/') + name))
                << m.path;
        }
        const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--no-deleted")});
        EXPECT_EQ(r.exitCode, 3) << r.err.constData();
        for (const auto& m : missing)
            EXPECT_EQ(r.err.count(m.line), 1) << r.err.constData();
        EXPECT_TRUE(r.err.contains("skipped: reminders: Calendar.sqlitedb is listed")) << r.err.constData();
        EXPECT_EQ(r.err.count("AddressBook.sqlitedb"), 1) << r.err.constData(); // the contacts' line only
        EXPECT_GT(QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/notes.json")))[QStringLiteral("count")].toInt(), 0);
    }
}

// A message database cut short: its live rows lie on pages no tree reaches any more. They come back
// marked as live or deleted unknown, never as deleted; the rows its free space held stay deleted.
TEST(ExtractCommand, RowsOfADamagedDatabaseAreNotCalledDeleted)
{
    const Demo17 demo;
    const QString &backup = demo.backup, &out = demo.out;
    QFile sms(demo.dataFile("HomeDomain", "Library/SMS/sms.db"));
    ASSERT_TRUE(sms.open(QIODevice::ReadWrite) && sms.size() > 50000 && sms.resize(50000));
    sms.close();
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--format"), QStringLiteral("csv,json")});
    EXPECT_TRUE(r.err.contains("skipped: messages: sms.db is not a database that can be read")) << r.err.constData();
    const QList<QByteArray> lines = testsupport::readFile(out + QStringLiteral("/messages.csv")).split('\n');
    int unknown = 0;
    for (const QByteArray& line : lines) {
        if (line.contains("Message 22 says hello")) { // live in the intact file
            EXPECT_TRUE(line.contains(",unknown,")) << line.constData();
        }
        unknown += line.contains(",unknown,");
    }
    EXPECT_GE(unknown, 3);
    EXPECT_TRUE(testsupport::readFile(out + QStringLiteral("/messages.json")).contains("\"uncertain\": true"));
    // The counts tell them apart from the deleted.
    EXPECT_GE(QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/messages.json")))[QStringLiteral("uncertain")].toInt(), 1);
    EXPECT_TRUE(r.out.contains(" of them possibly live)")) << r.out.constData();
}

// A conversation names its participants whether it is live or recovered: by contact name, else
// by number or address.
TEST(ExtractCommand, EveryConversationNamesItsParticipants)
{
    const Demo17 demo;
    const QString &backup = demo.backup, &out = demo.out;
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--categories"),
                                          QStringLiteral("messages")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray items = QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/messages.json")))[QStringLiteral("items")].toArray();
    int deleted = 0;
    for (const QJsonValue& item : items) {
        deleted += item[QStringLiteral("deleted")].toBool();
        EXPECT_FALSE(item[QStringLiteral("values")][QStringLiteral("Participants")].toString().isEmpty()) << QJsonDocument(item.toObject()).toJson().constData();
    }
    EXPECT_GE(deleted, 1);
}

// Files the index lists but the folder lacks are named, one line per category; the rest keep
// the device's modification times, recordings of iOS 14 on (in their app group) too.
TEST(ExtractCommand, MissingMediaAreNamedAndTheRestKeepTheirTimes)
{
    const Demo17 demo;
    const QString &backup = demo.backup, &out = demo.out;
    const struct {
        const char* domain;
        const char* path;
        const char* line;
    } missing[] = {
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", "camera roll: 1 file(s) listed in the backup's index are missing from the folder (IMG_0001.JPG)"},
        {"MediaDomain", "Library/SMS/Attachments/00/IMG_0.JPG", "message attachments: 1 file(s) listed"},
        {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/20160218 101500.m4a", "voice memos: 1 file(s) listed"},
    };
    for (const auto& m : missing)
        ASSERT_TRUE(QFile::remove(demo.dataFile(m.domain, m.path))) << m.path;
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--export-files")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.count("skipped:"), 3) << r.err.constData();
    for (const auto& m : missing)
        EXPECT_TRUE(r.err.contains(m.line)) << m.line << "\n" << r.err.constData();
    const QFileInfoList memos = QDir(out + QStringLiteral("/voice_memos")).entryInfoList(QDir::Files);
    ASSERT_FALSE(memos.isEmpty());
    for (const QFileInfo& memo : memos)
        EXPECT_LT(memo.lastModified().date().year(), 2020) << memo.fileName().toStdString();
}

// Newer systems keep many message texts only as archived attributed strings: a deleted one still
// comes back with its text.
TEST(ExtractCommand, DeletedMessagesKeptAsAttributedStringsKeepTheirText)
{
    const Demo17 demo;
    const QString sms = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(sms.toUtf8().constData(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "select ROWID from message where text is null and attributedBody is not null limit 1", -1, &st, nullptr);
    const int64_t rowid = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    const std::string del = "PRAGMA secure_delete=OFF; DELETE FROM chat_message_join WHERE message_id=" + std::to_string(rowid)
                            + "; DELETE FROM message WHERE ROWID=" + std::to_string(rowid);
    EXPECT_EQ(sqlite3_exec(db, del.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_GT(rowid, 0);
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), demo.backup, QStringLiteral("--out"), demo.out, QStringLiteral("--categories"),
                                          QStringLiteral("messages"), QStringLiteral("--format"), QStringLiteral("csv")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QByteArray csv = testsupport::readFile(demo.out + QStringLiteral("/messages.csv"));
    const QByteArray said = "Message " + QByteArray::number(rowid - 1) + " says hello";
    bool deleted = false;
    for (const QByteArray& line : csv.split('\n'))
        deleted = deleted || (line.contains(said) && line.contains(",yes,"));
    EXPECT_TRUE(deleted) << said.constData() << "\n" << csv.constData();
}

// A page that is not what its tree says ends SQLite's queries as if the rows ended there: the
// category says so instead of listing fewer records in silence.
TEST(ExtractCommand, ADamagedPageIsNamedAsSkippedWork)
{
    const Demo17 demo;
    const QString &backup = demo.backup, &out = demo.out;
    const QString path = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    const auto [root, pageSize] = testsupport::treeRoot(path, "message");
    ASSERT_GT(root, 1);
    QFile sms(path);
    ASSERT_TRUE(sms.open(QIODevice::ReadWrite) && sms.seek(qint64(root - 1) * pageSize));
    sms.write(QByteArray(pageSize, '\xff'));
    sms.close();
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("skipped: messages: sms.db is damaged (Page %1: ").arg(root).toUtf8())) << r.err.constData();
    EXPECT_EQ(r.err.count("skipped:"), 1) << r.err.constData();
}

// A child pointer written over with its neighbour's raises no error in SQLite: the page it
// pointed to is never read and its sibling is read twice. The search for deleted records walks
// the trees and names the damage.
TEST(ExtractCommand, ATreeThatReachesAPageTwiceIsNamedAsSkippedWork)
{
    const Demo17 demo;
    const QString path = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        // Enough messages that their tree has an interior root.
        const int rc = sqlite3_exec(db, "pragma journal_mode = delete; with recursive n(i) as (select 1 union all select i + 1 "
                                        "from n where i < 400) insert into message (guid, text, date) select 'pad-' || i, "
                                        "'padding ' || i, 0 from n", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK);
    }
    const auto [root, pageSize] = testsupport::treeRoot(path, "message");
    QFile sms(path);
    ASSERT_TRUE(sms.open(QIODevice::ReadWrite) && sms.seek(qint64(root - 1) * pageSize));
    QByteArray page = sms.read(pageSize);
    const auto u16 = [&](int at) { return int(uchar(page[at])) << 8 | int(uchar(page[at + 1])); };
    ASSERT_EQ(uchar(page[0]), 0x05) << "the messages need an interior root";
    ASSERT_GE(u16(3), 2);
    const int first = u16(12), second = u16(14);
    const int lostPage = int(qFromBigEndian<quint32>(page.constData() + first));
    const int twice = int(qFromBigEndian<quint32>(page.constData() + second));
    page.replace(first, 4, page.mid(second, 4));
    ASSERT_TRUE(sms.seek(qint64(root - 1) * pageSize));
    sms.write(page);
    sms.close();
    ASSERT_NE(lostPage, twice);
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), demo.backup, QStringLiteral("--out"), demo.out});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("skipped: deleted records: sms.db is damaged (page %1 reached twice (tree of page %2)): ")
                                   .arg(twice).arg(root).toUtf8())) << r.err.constData();
    EXPECT_EQ(r.err.count("skipped:"), 1) << r.err.constData();
}

// A database whose layout none of the statements fits (a column gone) gives no items: said so.
TEST(ExtractCommand, ADatabaseLaidOutOtherwiseIsNamedAsSkippedWork)
{
    const Demo17 demo;
    const QString path = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "pragma journal_mode = delete; alter table message drop column text", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), demo.backup, QStringLiteral("--out"), demo.out});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(r.err.contains("skipped: messages: sms.db is not laid out as its items are read (no such column: m.text)")) << r.err.constData();
}

// An output folder that cannot be made is named with the reason before anything is extracted.
TEST(ExtractCommand, AnOutputFolderThatCannotBeMadeStopsTheRunFirst)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), device = dir.filePath(QStringLiteral("device"));
    ASSERT_TRUE(sample::writeDemoBackup(backup));
    ASSERT_TRUE(sample::writeDemoDevice(device));
    const QString file = dir.filePath(QStringLiteral("afile"));
    ASSERT_TRUE(testsupport::writeFile(file, "x"));
    const struct {
        QString out;
        QByteArray message;
    } cases[] = {
        {file, "ibreader: " + file.toUtf8() + " exists and is not a folder\n"},
        {file + QStringLiteral("/sub"), "ibreader: cannot create " + file.toUtf8() + "/sub: " + file.toUtf8() + " is not a folder\n"},
    };
    for (const auto& c : cases)
        for (const QString& command : {QStringLiteral("extract"), QStringLiteral("device")}) {
            const testsupport::CliRun r = runCli({command, command == QLatin1String("device") ? device : backup, QStringLiteral("--out"), c.out});
            EXPECT_EQ(r.exitCode, 1) << command.toStdString();
            EXPECT_EQ(r.err, c.message) << command.toStdString();
            EXPECT_EQ(r.out, QByteArray()) << command.toStdString(); // no summary of an extraction
        }
    EXPECT_EQ(testsupport::readFile(file), QByteArray("x"));
}
