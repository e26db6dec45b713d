// The extract command end to end: what each category writes and in which order, selections,
// exported copies, the newer message and note layouts, and damage named as skipped work instead
// of fewer records in silence.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCollator>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QtEndian>

#include <algorithm>
#include <functional>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "AppSample.h"
#include "ibr/schemas.h"

using appsample::Demo;
using appsample::extract;
using appsample::json;
using testsupport::runCli;

namespace {

// A backup of sms.db in iOS `ios`'s layout: handle 1 (+15550100, `service`) in chat 1, and the
// rows `sql` adds. The caller adds files and writes it.
sample::SampleBackupWriter smsBackup(const QString& folder, int ios, const char* service, const QStringList& sql)
{
    sample::SampleBackupWriter w(folder);
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime(QDate(2015, 1, 2), QTime(3, 4), Qt::UTC));
    EXPECT_FALSE(w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), [&](sqlite3* db) {
        QStringList all = ibr::iosSchemaStatements(ios, QStringLiteral("sms.db")).filter(QStringLiteral("CREATE TABLE"));
        all.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_")); });
        all << QStringLiteral("INSERT INTO handle (ROWID, id, country, service) VALUES (1, '+15550100', 'us', '%1')").arg(QLatin1String(service))
            << QStringLiteral("INSERT INTO chat (ROWID, guid, chat_identifier) VALUES (1, 'c1', '+15550100')")
            << QStringLiteral("INSERT INTO chat_handle_join VALUES (1, 1)") << sql;
        for (const QString& s : all)
            if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                ADD_FAILURE() << s.toStdString() << ": " << sqlite3_errmsg(db);
                return false;
            }
        return true;
    }).isEmpty());
    return w;
}

// Every value of `sql`'s first column, as bytes. Opened for writing: a WAL file without its -wal
// does not open read-only.
QList<QByteArray> column(const QString& database, const char* sql)
{
    QList<QByteArray> out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK)
            while (sqlite3_step(stmt) == SQLITE_ROW)
                out << QByteArray(static_cast<const char*>(sqlite3_column_blob(stmt, 0)), sqlite3_column_bytes(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

} // namespace

// The collected contacts as the command-line program writes them, whatever its locale.
TEST(ExtractCommand, ContactsInRootCollationOrderWithTheirValues)
{
    const Demo demo;
    const auto before = testsupport::snapshotFolder(demo.backup);
    const testsupport::CliRun r = extract(demo.backup, demo.out, {}, {{QStringLiteral("LC_ALL"), QStringLiteral("C")}});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testsupport::snapshotFolder(demo.backup), before);
    EXPECT_EQ(QDir(demo.out).entryList(QDir::Files).size(), 12); // every category has its file

    QStringList names, expected;
    QMap<QString, QStringList> values;
    for (const QJsonValue v : json(demo.out + QStringLiteral("/contacts.json"))[QStringLiteral("items")].toArray()) {
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

// CSV files as spreadsheets read them: RFC 4180 quoting (a line break stays inside its field),
// cells that would run as formulas kept as text, deleted rows marked, recovered calls named after
// the live contact with their number. Only the selected categories are written, and the summary
// gives no counts for the others.
TEST(ExtractCommand, CsvQuotesFieldsAndMarksDeletedRows)
{
    QTemporaryDir tmp;
    sample::SampleBackupWriter w(tmp.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"),
                QDateTime(QDate(2015, 1, 2), QTime(3, 4), Qt::UTC));
    sample::SamplePerson ann, bob, carol;
    ann.first = QStringLiteral("Ann");
    ann.last = QStringLiteral("O\"Neil");
    ann.organization = QStringLiteral("Line one\nLine two");
    ann.values = {{3, QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("+1 555 0100"), {}},
                  {4, QString(), QStringLiteral("ann@example.com"), {}}};
    bob.first = QStringLiteral("Bob");
    bob.organization = QStringLiteral("Acme, Inc.");
    // Cells a spreadsheet would run stay text; a phone number is left as it is.
    carol.first = QStringLiteral("@SUM(1)");
    carol.organization = QStringLiteral("-2+3+cmd|' /C calc'!A0");
    carol.values = {{3, QString(), QStringLiteral("+1 (555) 0101"), {}}, {4, QString(), QStringLiteral("=HYPERLINK(\"x\")"), {}}};
    ASSERT_FALSE(w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"),
                               [&](sqlite3* db) {
                                   return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb"))
                                       && sample::insertPeople(db, {bob, ann, carol}, false);
                               })
                     .isEmpty());
    ASSERT_FALSE(w.addDatabase(QStringLiteral("WirelessDomain"), QStringLiteral("Library/CallHistory/call_history.db"),
                               [](sqlite3* db) {
                                   return testsupport::insertDeletedCalls(db, {{QStringLiteral("+15550100"), 1300000000, 75, 5}});
                               })
                     .isEmpty());
    ASSERT_TRUE(w.write());

    const QString out = tmp.filePath(QStringLiteral("out"));
    const testsupport::CliRun r = extract(w.folder(), out, {QStringLiteral("--format=csv"), QStringLiteral("--categories"),
                                                           QStringLiteral("contacts,calls"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name), (QStringList{QStringLiteral("calls.csv"), QStringLiteral("contacts.csv")}));
    EXPECT_EQ(testsupport::readFile(QDir(out).filePath(QStringLiteral("contacts.csv"))),
              QByteArray("Name,Organization,Phone Numbers,E-mail Addresses,Web Addresses,Deleted,File\r\n"
                         "'@SUM(1),'-2+3+cmd|' /C calc'!A0,+1 (555) 0101,\"'=HYPERLINK(\"\"x\"\")\",,no,\r\n"
                         "\"Ann O\"\"Neil\",\"Line one\nLine two\",+1 555 0100,ann@example.com,,no,\r\n"
                         "Bob,\"Acme, Inc.\",,,,no,\r\n"));
    EXPECT_EQ(testsupport::readFile(QDir(out).filePath(QStringLiteral("calls.csv"))),
              QByteArray("Name,Number,Date,Type,Duration,Deleted,File\r\n"
                         "\"Ann O\"\"Neil\",+15550100,2011-03-13T07:06:40Z,Outgoing Calls,0:01:15,yes,\r\n"));
    const QJsonObject summary = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(summary.value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(summary[QStringLiteral("categories")][QStringLiteral("messages")].toObject(),
              (QJsonObject{{QStringLiteral("title"), QStringLiteral("Messages")}, {QStringLiteral("extracted"), false}}));
}

TEST(ExtractCommand, SelectedCategoriesWithoutDeletedRecordsAndBadArguments)
{
    const Demo demo;
    const testsupport::CliRun text =
        extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("calls"), QStringLiteral("--no-deleted")});
    EXPECT_TRUE(text.out.contains(QByteArray("  Messages").leftJustified(25) + "not extracted\n")) << text.out.constData();
    EXPECT_TRUE(text.out.contains(QByteArray("  Call History").leftJustified(25) + "    18 items (0 deleted)\n")) << text.out.constData();
    EXPECT_FALSE(text.err.contains("earlier run")) << text.err.constData();
    // Lists an earlier run left beside this one's are named, not passed off as this backup's.
    const testsupport::CliRun again =
        extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("notes"), QStringLiteral("--no-deleted")});
    EXPECT_TRUE(again.err.contains("also holds files of an earlier run, not of this one: calls.json\n")) << again.err.constData();
    // Nothing to keep decrypted in a backup that is not encrypted: said, and nothing made.
    const QString kept = demo.dir.filePath(QStringLiteral("kept"));
    const testsupport::CliRun plain = extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("calls"),
                                                                     QStringLiteral("--no-deleted"), QStringLiteral("--keep-decrypted"), kept});
    EXPECT_EQ(plain.exitCode, 0) << plain.err.constData();
    EXPECT_TRUE(plain.err.contains("note: --keep-decrypted is ignored: the backup is not encrypted")) << plain.err.constData();
    EXPECT_FALSE(QFileInfo::exists(kept));

    const auto before = testsupport::snapshotFolder(demo.backup);
    const QString bad = demo.dir.filePath(QStringLiteral("bad"));
    const QStringList cases[] = {
        {},
        {QStringLiteral("--out"), bad, QStringLiteral("--format"), QStringLiteral("xml")},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories"), QStringLiteral("nope")},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories"), QString()},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories=,")},
        {QStringLiteral("--out"), bad, QStringLiteral("--format"), QString()},
        {QStringLiteral("--out"), bad, QStringLiteral("--bogus")},
        {QStringLiteral("--out"), demo.backup + QStringLiteral("/x")}, // never into the evidence
    };
    for (const QStringList& extra : cases)
        EXPECT_EQ(runCli(QStringList{QStringLiteral("extract"), demo.backup} + extra).exitCode, 2) << extra.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(QFileInfo::exists(bad));
    EXPECT_EQ(testsupport::snapshotFolder(demo.backup), before);
    EXPECT_EQ(extract(demo.dir.filePath(QStringLiteral("missing")), demo.out).exitCode, 4);
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
    sample::SampleBackupWriter w = smsBackup(
        dir.filePath(QStringLiteral("backup")), 8, "SMS",
        {QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date, is_from_me, is_sent) VALUES "
                        "(1, 'm1', 'Hi, \"you\"' || char(10) || 'there', 1, 'SMS', 0, 0, 0), (2, 'm2', char(65532), 1, 'iMessage', 60, 1, 1)"),
         QStringLiteral("INSERT INTO chat_message_join VALUES (1, 1), (1, 2)"),
         QStringLiteral("INSERT INTO attachment (ROWID, guid, filename, mime_type) VALUES (1, 'a1', '~/Library/SMS/Attachments/01/A/IMG_1.JPG', 'image/jpeg')"),
         QStringLiteral("INSERT INTO message_attachment_join VALUES (2, 1)")});
    const QString media = QStringLiteral("MediaDomain");
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/01/A/IMG_1.JPG"), QByteArray("first\0bytes", 11));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/02/B/IMG_1.JPG"), QByteArray("second"));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/03/a\\..\\..\\escape.JPG"), QByteArray("third"));
    // Names no file system or listing takes as they are: a line break, more than 255 bytes.
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/04/line\nbreak.JPG"), QByteArray("fourth"));
    w.addFile(media, QStringLiteral("Library/SMS/Attachments/05/%1.JPG").arg(QString(130, QChar(0x00e9))), QByteArray("fifth"));
    ASSERT_TRUE(w.write());

    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(testsupport::writeFile(out + QStringLiteral("/message_attachments/IMG_1.JPG"), "already here"));
    const QStringList options = {QStringLiteral("--format"), QStringLiteral("csv"), QStringLiteral("--export-files"), QStringLiteral("--no-deleted"),
                                 QStringLiteral("--categories")};
    const testsupport::CliRun r = extract(w.folder(), out, options + QStringList{QStringLiteral("messages,message_attachments")});
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
    const testsupport::CliRun again = extract(w.folder(), out, options + QStringList{QStringLiteral("message_attachments")});
    ASSERT_EQ(again.exitCode, 0) << again.err.constData();
    EXPECT_EQ(copies.entryList(QDir::Files | QDir::Hidden, QDir::Name), before);
    EXPECT_EQ(testsupport::readFile(copies.filePath(QStringLiteral("IMG_1 (3).JPG"))), QByteArray("second"));
}

// The conversation export of iOS 16 messages: reactions on the message they are for, edit dates
// and unsent marks, each only where there is one.
TEST(ExtractCommand, ReactionsEditsAndUnsentInTheConversationJson)
{
    QTemporaryDir dir;
    // 700000000 s after 2001 is 2023-03-08T20:26:40Z; dates in nanoseconds as iOS 11 on keep them.
    sample::SampleBackupWriter w = smsBackup(
        dir.filePath(QStringLiteral("backup")), 12, "iMessage",
        {QStringLiteral("ALTER TABLE message ADD COLUMN date_edited INTEGER DEFAULT 0"),
         QStringLiteral("ALTER TABLE message ADD COLUMN date_retracted INTEGER DEFAULT 0"),
         QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date, date_edited, date_retracted, is_from_me, "
                        "associated_message_type, associated_message_guid) VALUES "
                        "(1, 'm1', 'fixed typo', 1, 'iMessage', 700000000000000000, 700000060000000000, 0, 1, 0, NULL), "
                        "(2, 'm2', NULL, 1, 'iMessage', 700000100000000000, 700000110000000000, 700000110000000000, 1, 0, NULL), "
                        "(3, 'm3', NULL, 1, 'iMessage', 700000200000000000, 0, 0, 0, 2001, 'p:0/m1'), "
                        "(4, 'm4', NULL, 1, 'iMessage', 700000300000000000, 0, 0, 1, 2003, 'p:0/m1')"),
         QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id) VALUES (1, 1), (1, 2), (1, 3), (1, 4)")});
    ASSERT_TRUE(w.write());

    const QString out = dir.filePath(QStringLiteral("out"));
    const testsupport::CliRun r = extract(w.folder(), out, {QStringLiteral("--categories"), QStringLiteral("messages"), QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray items = json(out + QStringLiteral("/messages.json"))[QStringLiteral("items")].toArray();
    ASSERT_EQ(items.size(), 1);
    const QJsonArray messages = items[0][QStringLiteral("detail")][QStringLiteral("messages")].toArray();
    ASSERT_EQ(messages.size(), 2); // the reactions are not messages
    const QJsonObject edited = messages[0].toObject(), unsent = messages[1].toObject();
    EXPECT_EQ(edited[QStringLiteral("date")].toString(), QStringLiteral("2023-03-08T20:26:40Z"));
    EXPECT_EQ(edited[QStringLiteral("edited")].toString(), QStringLiteral("2023-03-08T20:27:40Z"));
    EXPECT_FALSE(edited.contains(QStringLiteral("unsent")));
    const QJsonArray reactions = edited[QStringLiteral("reactions")].toArray();
    ASSERT_EQ(reactions.size(), 2);
    EXPECT_EQ(reactions[0][QStringLiteral("from")].toString(), QStringLiteral("+15550100"));
    EXPECT_EQ(reactions[0][QStringLiteral("reaction")].toString(), QStringLiteral("like"));
    EXPECT_TRUE(reactions[1][QStringLiteral("fromMe")].toBool());
    EXPECT_EQ(reactions[1][QStringLiteral("reaction")].toString(), QStringLiteral("laugh"));

    EXPECT_TRUE(unsent[QStringLiteral("unsent")].toBool());
    EXPECT_FALSE(unsent.contains(QStringLiteral("text")));
    EXPECT_FALSE(unsent.contains(QStringLiteral("edited")));
    EXPECT_FALSE(unsent.contains(QStringLiteral("reactions")));
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
    ASSERT_EQ(extract(w.folder(), out, {QStringLiteral("--categories"), QStringLiteral("calls")}).exitCode, 0);
    QMap<QString, QJsonObject> byNumber;
    for (const QJsonValue v : json(out + QStringLiteral("/calls.json"))[QStringLiteral("items")].toArray())
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
        const char* path;
        const char* line;
    } missing[] = {
        {"Library/SMS/sms.db", "skipped: messages: sms.db is listed in the backup's index but missing from the folder"},
        {"Library/AddressBook/AddressBook.sqlitedb",
         "skipped: contacts: AddressBook.sqlitedb is listed in the backup's index but missing from the folder"},
        {"Library/Calendar/Calendar.sqlitedb", "skipped: calendar: Calendar.sqlitedb is listed in the backup's index but missing from the folder"},
    };
    for (const int ios : {8, 17}) {
        SCOPED_TRACE(ios);
        const Demo demo(ios);
        for (const auto& m : missing)
            ASSERT_TRUE(QFile::remove(demo.dataFile("HomeDomain", m.path))) << m.path;
        const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--no-deleted")});
        EXPECT_EQ(r.exitCode, 3) << r.err.constData();
        for (const auto& m : missing)
            EXPECT_EQ(r.err.count(m.line), 1) << r.err.constData();
        EXPECT_TRUE(r.err.contains("skipped: reminders: Calendar.sqlitedb is listed")) << r.err.constData();
        EXPECT_EQ(r.err.count("AddressBook.sqlitedb"), 1) << r.err.constData(); // the contacts' line only
        EXPECT_GT(json(demo.out + QStringLiteral("/notes.json"))[QStringLiteral("count")].toInt(), 0);
    }
}

// Files that are there but empty or damaged are named too, not read as holding nothing; what
// else the category holds is still read.
TEST(ExtractCommand, EmptyOrDamagedFilesAreNamedAsSkipped)
{
    const struct {
        const char* path;
        QByteArray bytes;
        const char* line;
    } damaged[] = {
        {"Library/SMS/sms.db", "", "skipped: messages: sms.db is empty (0 bytes)"},
        {"Library/Safari/History.plist", "", "skipped: safari: Library/Safari/History.plist is not a property list that can be read"},
        {"Library/Safari/Bookmarks.plist", QByteArray(3000, '\x5a'), "skipped: safari: Library/Safari/Bookmarks.plist is not a property list"},
        {"Library/AddressBook/AddressBookImages.sqlitedb", QByteArray(8192, '\x17'),
         "skipped: contacts: AddressBookImages.sqlitedb is not a database that can be read"},
    };
    const Demo demo(17);
    for (const auto& d : damaged)
        ASSERT_TRUE(testsupport::writeFile(demo.dataFile("HomeDomain", d.path), d.bytes)) << d.path;
    const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--no-deleted")});
    EXPECT_EQ(r.exitCode, 3) << r.err.constData();
    for (const auto& d : damaged)
        EXPECT_EQ(r.err.count(d.line), 1) << d.line << "\n" << r.err.constData();
    EXPECT_GT(json(demo.out + QStringLiteral("/contacts.json"))[QStringLiteral("count")].toInt(), 0);
    EXPECT_GT(json(demo.out + QStringLiteral("/safari.json"))[QStringLiteral("count")].toInt(), 0);
}

// A database whose header was wiped is read with one rebuilt from its pages, live and deleted
// records alike, and says so.
TEST(ExtractCommand, ADatabaseWithItsHeaderWipedReadsAsBefore)
{
    const Demo demo(17);
    const testsupport::CliRun before = extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("messages")});
    ASSERT_EQ(before.exitCode, 0) << before.err.constData();
    const QJsonDocument intact = json(demo.out + QStringLiteral("/messages.json"));
    QFile sms(demo.dataFile("HomeDomain", "Library/SMS/sms.db"));
    ASSERT_TRUE(sms.open(QIODevice::ReadWrite) && sms.write(QByteArray(100, '\0')) == 100);
    sms.close();
    const QString out = demo.out + QStringLiteral("-wiped");
    const testsupport::CliRun r = extract(demo.backup, out, {QStringLiteral("--categories"), QStringLiteral("messages")});
    EXPECT_EQ(r.exitCode, 3) << r.err.constData();
    EXPECT_TRUE(r.err.contains("skipped: messages: sms.db: its header is damaged: read with one rebuilt from its pages (4096-byte pages)"))
        << r.err.constData();
    const QJsonDocument read = json(out + QStringLiteral("/messages.json"));
    EXPECT_EQ(read[QStringLiteral("count")].toInt(), intact[QStringLiteral("count")].toInt());
    EXPECT_EQ(read[QStringLiteral("deleted")].toInt(), intact[QStringLiteral("deleted")].toInt());
    EXPECT_GT(read[QStringLiteral("deleted")].toInt(), 0);
}

// A message database cut short: its live rows lie on pages no tree reaches any more. They come back
// marked as live or deleted unknown, never as deleted; the rows its free space held stay deleted.
TEST(ExtractCommand, RowsOfADamagedDatabaseAreNotCalledDeleted)
{
    const Demo demo(17);
    QFile sms(demo.dataFile("HomeDomain", "Library/SMS/sms.db"));
    ASSERT_TRUE(sms.open(QIODevice::ReadWrite) && sms.size() > 50000 && sms.resize(50000));
    sms.close();
    const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--format"), QStringLiteral("csv,json")});
    EXPECT_TRUE(r.err.contains("skipped: messages: sms.db is not a database that can be read")) << r.err.constData();
    int unknown = 0;
    for (const QByteArray& line : testsupport::readFile(demo.out + QStringLiteral("/messages.csv")).split('\n')) {
        if (line.contains("Message 22 says hello")) { // live in the intact file
            EXPECT_TRUE(line.contains(",unknown,")) << line.constData();
        }
        unknown += line.contains(",unknown,");
    }
    EXPECT_GE(unknown, 3);
    EXPECT_TRUE(testsupport::readFile(demo.out + QStringLiteral("/messages.json")).contains("\"uncertain\": true"));
    // The counts tell them apart from the deleted.
    EXPECT_GE(json(demo.out + QStringLiteral("/messages.json"))[QStringLiteral("uncertain")].toInt(), 1);
    EXPECT_TRUE(r.out.contains(" of them possibly live)")) << r.out.constData();
}

// The iOS 17 demo as the newer layouts keep it: every conversation names its participants, live or
// recovered, by contact name else by number or address; live messages are dated alike from seconds
// and nanoseconds, and the text only an archived body holds comes out. Its notes lie in
// NoteStore's -wal alone, as on the device.
TEST(ExtractCommand, Ios17ConversationsGiveWhatTheNewerLayoutsHold)
{
    const Demo demo(17);
    const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("messages")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    QStringList texts;
    int deleted = 0;
    for (const QJsonValue chat : json(demo.out + QStringLiteral("/messages.json"))[QStringLiteral("items")].toArray()) {
        deleted += chat[QStringLiteral("deleted")].toBool();
        EXPECT_FALSE(chat[QStringLiteral("values")][QStringLiteral("Participants")].toString().isEmpty())
            << QJsonDocument(chat.toObject()).toJson().constData();
        for (const QJsonValue m : chat[QStringLiteral("detail")][QStringLiteral("messages")].toArray()) {
            if (m[QStringLiteral("deleted")].toBool())
                continue;
            texts << m[QStringLiteral("text")].toString();
            // A wrong unit lands in 2001 or centuries on.
            const int year = QDateTime::fromString(m[QStringLiteral("date")].toString(), Qt::ISODate).date().year();
            EXPECT_TRUE(year >= 2010 && year <= 2020) << m[QStringLiteral("date")].toString().toStdString();
        }
    }
    EXPECT_GE(deleted, 1);
    const QString smsDb = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    EXPECT_FALSE(column(smsDb, "SELECT date FROM message WHERE date > 100000000000").isEmpty());
    const QList<QByteArray> bodies = column(smsDb, "SELECT attributedBody FROM message WHERE text IS NULL AND "
                                                   "attributedBody IS NOT NULL AND date_retracted = 0");
    ASSERT_EQ(bodies.size(), 1);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [&](const QString& t) { return t.size() > 8 && bodies.first().contains(t.toUtf8()); }), 1);

    const QString mainOnly = demo.dir.filePath(QStringLiteral("NoteStore.sqlite"));
    ASSERT_TRUE(QFile::copy(demo.dataFile("AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite"), mainOnly));
    EXPECT_EQ(column(mainOnly, "SELECT count(*) FROM ZICCLOUDSYNCINGOBJECT").value(0).toInt(), 0);
    EXPECT_FALSE(column(mainOnly, "SELECT name FROM sqlite_master WHERE name = 'ZICNOTEDATA'").isEmpty());
}

// Files the index lists but the folder lacks are named, one line per category; the rest keep
// the device's modification times, recordings of iOS 14 on (in their app group) too.
TEST(ExtractCommand, MissingMediaAreNamedAndTheRestKeepTheirTimes)
{
    const Demo demo(17);
    const struct {
        const char* domain;
        const char* path;
        const char* line;
    } missing[] = {
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", "camera roll: 1 file(s) listed in the backup's index are missing from the folder (IMG_0001.JPG)"},
        {"MediaDomain", "Library/SMS/Attachments/00/IMG_0.JPG", "message attachments: 1 file(s) listed"},
        {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/20160218 101500.m4a", "voice memos: 1 file(s) listed"},
        // There, but a pipe: named as unreadable, not as missing.
        {"MediaDomain", "Media/DCIM/100APPLE/IMG_0003.JPG", "camera roll: 1 file(s) in the backup folder cannot be read (IMG_0003.JPG)"},
    };
    for (const auto& m : missing)
        ASSERT_TRUE(QFile::remove(demo.dataFile(m.domain, m.path))) << m.path;
    ASSERT_EQ(::mkfifo(QFile::encodeName(demo.dataFile(missing[3].domain, missing[3].path)).constData(), 0644), 0);
    const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--export-files")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.count("skipped:"), 4) << r.err.constData();
    for (const auto& m : missing)
        EXPECT_TRUE(r.err.contains(m.line)) << m.line << "\n" << r.err.constData();
    const QFileInfoList memos = QDir(demo.out + QStringLiteral("/voice_memos")).entryInfoList(QDir::Files);
    ASSERT_FALSE(memos.isEmpty());
    for (const QFileInfo& memo : memos)
        EXPECT_LT(memo.lastModified().date().year(), 2020) << memo.fileName().toStdString();
}

// Newer systems keep many message texts only as archived attributed strings: a deleted one still
// comes back with its text.
TEST(ExtractCommand, DeletedMessagesKeptAsAttributedStringsKeepTheirText)
{
    const Demo demo(17);
    const QString sms = demo.dataFile("HomeDomain", "Library/SMS/sms.db");
    const QList<QByteArray> rowids = column(sms, "select ROWID from message where text is null and attributedBody is not null limit 1");
    ASSERT_EQ(rowids.size(), 1);
    const int64_t rowid = rowids.first().toLongLong();
    ASSERT_TRUE(testsupport::makeDatabase(sms, {QStringLiteral("PRAGMA secure_delete=OFF"),
                                                QStringLiteral("DELETE FROM chat_message_join WHERE message_id=%1").arg(rowid),
                                                QStringLiteral("DELETE FROM message WHERE ROWID=%1").arg(rowid)}));
    const testsupport::CliRun r = extract(demo.backup, demo.out, {QStringLiteral("--categories"), QStringLiteral("messages"), QStringLiteral("--format"),
                                                                 QStringLiteral("csv")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QByteArray csv = testsupport::readFile(demo.out + QStringLiteral("/messages.csv"));
    const QByteArray said = "Message " + QByteArray::number(rowid - 1) + " says hello";
    bool deleted = false;
    for (const QByteArray& line : csv.split('\n'))
        deleted = deleted || (line.contains(said) && line.contains(",yes,"));
    EXPECT_TRUE(deleted) << said.constData() << "\n" << csv.constData();
}

// Damage that ends SQLite's queries as if the rows ended there, or that SQLite never reads, is
// named as the category's skipped work instead of fewer records in silence.
TEST(ExtractCommand, DamageSqlitePassesOverIsNamedAsSkippedWork)
{
    const struct {
        const char* name;
        std::function<QByteArray(const QString& sms)> damage; // gives the line the run must write
    } cases[] = {
        {"a page that is not what its tree says",
         [](const QString& path) {
             const auto [root, pageSize] = testsupport::treeRoot(path, "message");
             QFile sms(path);
             EXPECT_TRUE(root > 1 && sms.open(QIODevice::ReadWrite) && sms.seek(qint64(root - 1) * pageSize));
             sms.write(QByteArray(pageSize, '\xff'));
             return QStringLiteral("skipped: messages: sms.db is damaged (Page %1: ").arg(root).toUtf8();
         }},
        // A child pointer written over with its neighbour's: the page it pointed to is never read
        // and its sibling is read twice. The search for deleted records walks the trees.
        {"a tree that reaches a page twice",
         [](const QString& path) {
             // Enough messages that their tree has an interior root.
             EXPECT_TRUE(testsupport::makeDatabase(
                 path, {QStringLiteral("pragma journal_mode = delete"),
                        QStringLiteral("with recursive n(i) as (select 1 union all select i + 1 from n where i < 400) "
                                       "insert into message (guid, text, date) select 'pad-' || i, 'padding ' || i, 0 from n")}));
             const auto [root, pageSize] = testsupport::treeRoot(path, "message");
             QFile sms(path);
             EXPECT_TRUE(sms.open(QIODevice::ReadWrite) && sms.seek(qint64(root - 1) * pageSize));
             QByteArray page = sms.read(pageSize);
             const auto u16 = [&](int at) { return int(uchar(page[at])) << 8 | int(uchar(page[at + 1])); };
             EXPECT_EQ(uchar(page[0]), 0x05) << "the messages need an interior root";
             EXPECT_GE(u16(3), 2);
             const int first = u16(12), second = u16(14);
             EXPECT_NE(qFromBigEndian<quint32>(page.constData() + first), qFromBigEndian<quint32>(page.constData() + second));
             const int twice = int(qFromBigEndian<quint32>(page.constData() + second));
             page.replace(first, 4, page.mid(second, 4));
             sms.seek(qint64(root - 1) * pageSize);
             sms.write(page);
             return QStringLiteral("skipped: deleted records: sms.db is damaged (page %1 reached twice (tree of page %2)): ").arg(twice).arg(root).toUtf8();
         }},
        {"a layout none of the statements fits",
         [](const QString& path) {
             EXPECT_TRUE(testsupport::makeDatabase(path, {QStringLiteral("pragma journal_mode = delete"),
                                                          QStringLiteral("alter table message drop column text")}));
             return QByteArray("skipped: messages: sms.db is not laid out as its items are read (no such column: m.text)");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Demo demo(17);
        const QByteArray line = c.damage(demo.dataFile("HomeDomain", "Library/SMS/sms.db"));
        const testsupport::CliRun r = extract(demo.backup, demo.out);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_TRUE(r.err.contains(line)) << r.err.constData();
        EXPECT_EQ(r.err.count("skipped:"), 1) << r.err.constData();
    }
}

// An output folder that cannot be made is named with the reason before anything is extracted.
TEST(ExtractCommand, AnOutputFolderThatCannotBeMadeStopsTheRunFirst)
{
    const Demo demo;
    const QString device = demo.dir.filePath(QStringLiteral("device"));
    ASSERT_TRUE(sample::writeDemoDevice(device));
    const QString file = demo.dir.filePath(QStringLiteral("afile"));
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
            const testsupport::CliRun r = runCli({command, command == QLatin1String("device") ? device : demo.backup, QStringLiteral("--out"), c.out});
            EXPECT_EQ(r.exitCode, 1) << command.toStdString();
            EXPECT_EQ(r.err, c.message) << command.toStdString();
            EXPECT_EQ(r.out, QByteArray()) << command.toStdString(); // no summary of an extraction
        }
    EXPECT_EQ(testsupport::readFile(file), QByteArray("x"));
}
