// Conversations of the chat/handle/message layout, read from a backup as a user holds it: named
// participants, pieces placed at their U+FFFC, previews, rows that only a -wal holds; from iOS 11
// on, nanosecond dates, archived bodies, reactions, edits and unsent messages.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <limits>
#include <memory>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "AttributedBody.h"
#include "CContactCollection.h"
#include "CSMSCollection.h"
#include "CollectionSample.h"
#include "ibr/schemas.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdBackup.h"
#include "kddata/KdItems.h"
#include "kddata/KdSMSChatGroup.h"

namespace {

const QString kFffc = QString(QChar(0xFFFC));
const char kAttachmentDir[] = "Library/SMS/Attachments/ab/11/GUID1/";

QByteArray jpeg(int w, int h, QRgb left, QRgb right)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int x = 0; x < w; ++x)
        for (int y = 0; y < h; ++y)
            image.setPixel(x, y, x < w / 2 ? left : right);
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    image.save(&b, "PNG");
    return out;
}

using collsample::exec;

// A text as an SQL literal; a null one as NULL.
QString literal(const QString& text)
{
    return text.isNull() ? QStringLiteral("NULL") : QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
}

struct Msg {
    const char* chat;
    int handle; // 0: the owner in a group chat
    QString text;
    const char* service;
    qint64 date; // as stored: seconds since 2001, or nanoseconds from iOS 11 on
    int fromMe;
    QStringList attachments; // file names under kAttachmentDir
};

// Handles: 1 +14155550100 (us), 2 +4420794600100 (country empty: takes "us"), 3 Bob@Example.com,
// 4 +15550000 (no contact). Chats: "+14155550100" (1), "chat77" (2, 3), "+15550000" (4).
bool buildChatDb(sqlite3* db, const std::vector<Msg>& messages)
{
    for (const QString& statement : ibr::iosSchemaStatements(8, QStringLiteral("sms.db")))
        if (!statement.contains(QLatin1String("TRIGGER")) && !statement.contains(QLatin1String("sqlite_")))
            if (!exec(db, statement))
                return false;
    exec(db, "INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) VALUES "
             "(1, '+14155550100', 'us', 'SMS', NULL), (2, '+4420794600100', '', 'SMS', NULL), "
             "(3, 'Bob@Example.com', 'us', 'iMessage', NULL), (4, '+15550000', 'us', 'SMS', NULL)");
    exec(db, "INSERT INTO chat (ROWID, guid, style, state, chat_identifier, service_name) VALUES "
             "(1, 'SMS;-;+14155550100', 45, 3, '+14155550100', 'SMS'), (2, 'iMessage;+;chat77', 43, 3, 'chat77', 'iMessage'), "
             "(3, 'SMS;-;+15550000', 45, 3, '+15550000', 'SMS')");
    exec(db, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (1, 1), (2, 2), (2, 3), (3, 4)");
    int attachment = 0;
    for (const Msg& m : messages) {
        if (!exec(db, QStringLiteral("INSERT INTO message (guid, text, handle_id, service, date, is_from_me, is_sent) VALUES (%1, %2, %3, %4, %5, %6, %6)")
                          .arg(literal(QString::number(m.date * 7 + m.handle)), literal(m.text), QString::number(m.handle),
                               literal(QString::fromUtf8(m.service)), QString::number(m.date), QString::number(m.fromMe))))
            return false;
        const qint64 row = sqlite3_last_insert_rowid(db);
        const int chat = QByteArray(m.chat) == "chat77" ? 2 : QByteArray(m.chat) == "+15550000" ? 3 : 1;
        exec(db, QStringLiteral("INSERT INTO chat_message_join VALUES (%1, %2)").arg(chat).arg(row));
        for (const QString& name : m.attachments) {
            ++attachment;
            exec(db, QStringLiteral("INSERT INTO attachment (ROWID, guid, filename, mime_type) VALUES (%1, 'a%1', '~/%2%3', 'image/png')")
                         .arg(attachment).arg(QLatin1String(kAttachmentDir), name));
            exec(db, QStringLiteral("INSERT INTO message_attachment_join VALUES (%1, %2)").arg(row).arg(attachment));
        }
    }
    return true;
}

const std::vector<Msg>& sampleMessages()
{
    static const std::vector<Msg> m = {
        {"+14155550100", 1, QStringLiteral("Hello"), "SMS", 400000000, 0, {}},
        {"+14155550100", 1, QStringLiteral("see ") + kFffc + QStringLiteral(" there"), "iMessage", 400000100, 1, {"IMG_0001.JPG"}},
        {"+14155550100", 1, kFffc, "iMessage", 400000200, 0, {"IMG_0002.JPG"}},
        {"+14155550100", 1, QString(), "SMS", 400000300, 0, {}}, // nothing to show: dropped
        {"+14155550100", 1, QStringLiteral("lower-case service"), "sms", 400000400LL * 1000000000, 0, {}},
        {"chat77", 0, QStringLiteral("owner in a group ") + kFffc, "iMessage", 400001000, 1, {"IMG_0002.JPG", "IMG_0001.JPG"}},
        {"chat77", 3, QStringLiteral("from Bob"), "iMessage", 400000900, 0, {}},
        {"+15550000", 4, QString(), "SMS", 400002000, 0, {}}, // the only message is dropped: no item
    };
    return m;
}

class SMSCollectionTest : public ::testing::Test
{
protected:
    // A backup with an address book naming two people, the sms.db, and attachment files.
    QString writeBackup(const std::function<void(sample::SampleBackupWriter&)>& addSmsDb, const QString& name = QStringLiteral("backup"))
    {
        sample::SampleBackupWriter w = collsample::phone(dir.filePath(name));
        QList<sample::SamplePerson> people(2);
        people[0].first = QStringLiteral("Ann");
        people[0].last = QStringLiteral("Example");
        people[0].values = {{3, QStringLiteral("_$!<Mobile>!$_"), QStringLiteral("(415) 555-0100"), {}}};
        people[1].first = QStringLiteral("Lon");
        people[1].values = {{3, QStringLiteral("_$!<Work>!$_"), QStringLiteral("207 946 00100"), {}}};
        w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), [&](sqlite3* db) {
            return sample::createAddressBookTables(db, 8, QStringLiteral("AddressBook.sqlitedb")) && sample::insertPeople(db, people, false);
        });
        addSmsDb(w);
        const QString media = QStringLiteral("MediaDomain");
        const QString at = QLatin1String(kAttachmentDir);
        w.addFile(media, at + QStringLiteral("IMG_0001.JPG"), jpeg(8, 4, qRgb(255, 0, 0), qRgb(0, 0, 255)));
        w.addFile(media, at + QStringLiteral("IMG_0002-preview-left.jpg"), jpeg(8, 4, qRgb(255, 0, 0), qRgb(0, 0, 255)));
        w.addFile(media, at + QStringLiteral("IMG_0002.JPG"), QByteArray("not a picture"));
        w.addFile(media, at + QStringLiteral("IMG_00020.JPG"), QByteArray("a different attachment"));
        EXPECT_TRUE(w.write());
        return w.folder();
    }

    // Keeps the collection, and the backup whose files it holds, for the test to ask.
    KdSMSData* collect(const QString& folder)
    {
        EXPECT_TRUE(parsed.parseFromPath(folder));
        CContactCollection contacts(model.getContact());
        contacts.collect(parsed.path(), parsed.files(), parsed.fileSuffix());
        messages = std::make_unique<CSMSCollection>(model.getMessage(), model.getContact());
        messages->collect(parsed.path(), parsed.files(), parsed.fileSuffix());
        return model.getMessage();
    }

    const KdSMSChatGroup* conversation(const QString& phones, const QString& emails = QString())
    {
        KdSMSData* data = model.getMessage();
        for (int i = 0; i < data->count(); ++i) {
            const auto* item = dynamic_cast<const KdSMSItem*>(data->at(i, false));
            if (item && item->value(1) == phones && item->value(2) == emails)
                return item->detailContent();
        }
        return nullptr;
    }

    QTemporaryDir dir;
    KdBackup model;
    CiTunesBackup parsed;
    std::unique_ptr<CSMSCollection> messages;
};

QStringList pieceTexts(const KdSMSChat* chat)
{
    QStringList out;
    for (const KdSMSPiece* p : chat->pieces())
        out << (p->pieceLocation().isEmpty() ? QString::fromUtf8(p->pieceData()) : QStringLiteral("[") + p->pieceLocation().section(QLatin1Char('/'), -1) + QStringLiteral("]"));
    return out;
}

} // namespace

TEST_F(SMSCollectionTest, ConversationsMessagesAndPiecesComeOutAsTheDatabaseHoldsThem)
{
    const QString folder = writeBackup([](sample::SampleBackupWriter& w) {
        w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                      [](sqlite3* db) { return buildChatDb(db, sampleMessages()); });
    });
    const auto before = testsupport::snapshotFolder(folder);
    KdSMSData* data = collect(folder);
    ASSERT_EQ(data->count(), 2); // the chat whose only message is empty adds no item

    const KdSMSChatGroup* ann = conversation(QStringLiteral("+14155550100"));
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->nameForAddr(QStringLiteral("+14155550100")), QStringLiteral("Ann Example"));
    ASSERT_EQ(ann->chats().size(), 4);
    const KdSMSChat* hello = ann->chats()[0];
    EXPECT_EQ(hello->content(), QStringLiteral("Hello"));
    EXPECT_EQ(hello->msgDate(), QDateTime(QDate(2013, 9, 4), QTime(15, 6, 40), Qt::UTC));
    EXPECT_TRUE(hello->isNormalSMS());
    EXPECT_FALSE(hello->isFromMe());
    EXPECT_EQ(hello->addr(), QStringLiteral("+14155550100"));

    const KdSMSChat* see = ann->chats()[1];
    EXPECT_TRUE(see->content().isEmpty());
    EXPECT_EQ(pieceTexts(see), (QStringList{"see", "[IMG_0001.JPG]", "there"}));
    EXPECT_TRUE(see->isFromMe() && see->isSentDone() && !see->isNormalSMS());
    // A picture is handed on decoded; the file it came from stays known for the user.
    QImage shown;
    ASSERT_TRUE(shown.loadFromData(see->pieces()[1]->pieceData()));
    EXPECT_EQ(shown.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_TRUE(see->pieces()[1]->pieceFile().endsWith(sample::hashedName(QStringLiteral("MediaDomain"),
                                                                          QLatin1String(kAttachmentDir) + QStringLiteral("IMG_0001.JPG"))));

    // Only a placeholder: one piece, the left preview mirrored (red comes to the right).
    const KdSMSChat* only = ann->chats()[2];
    ASSERT_EQ(pieceTexts(only), QStringList{"[IMG_0002.JPG]"});
    ASSERT_TRUE(shown.loadFromData(only->pieces()[0]->pieceData()));
    EXPECT_EQ(shown.pixel(0, 0), qRgb(0, 0, 255));
    EXPECT_TRUE(only->pieces()[0]->pieceFile().endsWith(
        sample::hashedName(QStringLiteral("MediaDomain"), QLatin1String(kAttachmentDir) + QStringLiteral("IMG_0002.JPG"))));

    EXPECT_FALSE(ann->chats()[3]->isNormalSMS()); // "sms" is not "SMS"
    EXPECT_EQ(ann->chats()[3]->msgDate(), QDateTime(QDate(2013, 9, 4), QTime(15, 13, 20), Qt::UTC)); // from nanoseconds

    // The group, in date order: Bob's message is the older one.
    const KdSMSChatGroup* group = conversation(QStringLiteral("+4420794600100"), QStringLiteral("Bob@Example.com"));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->chats().size(), 2);
    EXPECT_EQ(group->chats()[0]->content(), QStringLiteral("from Bob"));
    const KdSMSChat* owner = group->chats()[1];
    EXPECT_TRUE(owner->isFromMe());
    EXPECT_TRUE(owner->addr().isEmpty());
    // Two attachments, one placeholder: the first attachment only.
    EXPECT_EQ(pieceTexts(owner), (QStringList{"owner in a group", "[IMG_0002.JPG]"}));
    // The handle without a country takes "us": "+44..." keeps its plus and is named by suffix.
    EXPECT_EQ(group->nameForAddr(QStringLiteral("+4420794600100")), QStringLiteral("Lon"));
    EXPECT_EQ(group->nameForAddr(QStringLiteral("Bob@Example.com")), QStringLiteral("Bob@Example.com"));

    // A location without a folder takes any folder's file of that base name; "IMG_0002" takes its
    // preview, never "IMG_00020.JPG".
    EXPECT_FALSE(messages->readPiece(QStringLiteral("IMG_0001.JPG")).isEmpty());
    EXPECT_TRUE(shown.loadFromData(messages->readPiece(QStringLiteral("IMG_0002.png"))));
    EXPECT_TRUE(messages->readPiece(QStringLiteral("~/Library/SMS/Attachments/ff/IMG_0001.JPG")).isEmpty()); // another folder
    EXPECT_TRUE(messages->readPiece(QStringLiteral("IMG_9")).isEmpty());
    EXPECT_EQ(testsupport::snapshotFolder(folder), before);
}

// Companions SQLite would apply are applied on a copy, the backup never written: a -wal holding the
// schema and every row (some main files hold only their first page), and the hot -journal of a
// writer stopped mid-transaction (rolled back: its half-made change is not read).
TEST_F(SMSCollectionTest, CompanionsAreAppliedOnACopy)
{
    const collsample::WalFiles wal = collsample::walDatabase([](sqlite3* db) { return buildChatDb(db, sampleMessages()); });
    ASSERT_LE(wal.database.size(), 4096);
    ASSERT_GT(wal.wal.size(), 0);
    const QString path = dir.filePath(QStringLiteral("sms.db"));
    ASSERT_TRUE(testsupport::makeDatabase(path, {}, [](sqlite3* db) { return buildChatDb(db, sampleMessages()); }));
    const testsupport::HotJournal hot = testsupport::hotJournal(
        path, QStringLiteral("UPDATE message SET text = 'TAMPERED ' || text; DELETE FROM chat_message_join"));
    ASSERT_FALSE(hot.journal.isEmpty());
    const struct {
        const char* companion;
        QByteArray database, bytes;
    } cases[] = {{"-wal", wal.database, wal.wal}, {"-journal", hot.database, hot.journal}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.companion);
        model.getMessage()->clear();
        const QString folder = writeBackup([&](sample::SampleBackupWriter& w) {
            w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), c.database);
            w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db") + QLatin1String(c.companion), c.bytes);
        }, QLatin1String(c.companion));
        const auto before = testsupport::snapshotFolder(folder);
        EXPECT_EQ(collect(folder)->count(), 2);
        EXPECT_EQ(messages->problems(), QStringList());
        const KdSMSChatGroup* ann = conversation(QStringLiteral("+14155550100"));
        ASSERT_TRUE(ann);
        ASSERT_EQ(ann->chats().size(), 4);
        EXPECT_EQ(ann->chats()[0]->content(), QStringLiteral("Hello"));
        EXPECT_EQ(testsupport::snapshotFolder(folder), before); // nothing written, no -shm beside it
    }
}

namespace {
void standInRead(sqlite3_context* c, int, sqlite3_value**)
{
    sqlite3_result_int(c, 1);
}
} // namespace

// The older layout goes through the contact library: conversations newest first, participants
// named from the address book, an MMS picture found under Library/SMS/Parts/ by its location.
TEST_F(SMSCollectionTest, OlderLayoutConversationsNewestFirstWithPartsFiles)
{
    const QString folder = writeBackup([](sample::SampleBackupWriter& w) {
        w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), [](sqlite3* db) {
            sqlite3_create_function_v2(db, "read", 1, SQLITE_UTF8, nullptr, &standInRead, nullptr, nullptr, nullptr);
            return collsample::execAll(db, ibr::iosSchemaStatements(5, QStringLiteral("sms.db")))
                && exec(db, "INSERT INTO msg_group (ROWID, type) VALUES (1, 0), (2, 0);"
                            "INSERT INTO group_member (group_id, address, country) VALUES (1, '+14155550100', 'us'), (2, 'bob@example.com', 'us');"
                            "INSERT INTO message (ROWID, group_id, date, flags, address, text) VALUES "
                            "(1, 1, 1300000000, 2, '+14155550100', 'Old SMS'), (2, 1, 1300000060, 3, '+14155550100', NULL);"
                            "INSERT INTO msg_pieces (message_id, data, part_id, content_type, content_loc) VALUES "
                            "(2, CAST('caption' AS BLOB), 1, 'text/plain', 'text_0.txt'), (2, NULL, 2, 'image/png', 'IMG_7.png');"
                            "INSERT INTO message (ROWID, group_id, date, flags, is_madrid, madrid_flags, madrid_handle, text) VALUES "
                            "(3, 2, 330000000, 0, 1, 36869, 'bob@example.com', 'newest, an iMessage')");
        });
        w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Parts/0c/01/2-2.png"),
                  jpeg(4, 2, qRgb(0, 255, 0), qRgb(0, 255, 0)));
    });
    KdSMSData* data = collect(folder);
    ASSERT_EQ(data->count(), 2);
    // 330000000 seconds after 2001 (an iMessage) is later than 1300000060 after 1970.
    EXPECT_EQ(data->at(0, false)->value(2), QStringLiteral("bob@example.com"));
    const auto* ann = dynamic_cast<const KdSMSItem*>(data->at(1, false));
    ASSERT_TRUE(ann && ann->detailContent());
    EXPECT_EQ(ann->value(0), QStringLiteral("Ann Example"));
    const QList<KdSMSChat*>& chats = ann->detailContent()->chats();
    ASSERT_EQ(chats.size(), 2);
    EXPECT_EQ(chats[0]->content(), QStringLiteral("Old SMS"));
    EXPECT_FALSE(chats[0]->isFromMe());
    EXPECT_EQ(chats[0]->msgDate(), QDateTime::fromSecsSinceEpoch(1300000000, Qt::UTC));
    ASSERT_EQ(pieceTexts(chats[1]), (QStringList{"caption", "[2-2.png]"}));
    EXPECT_TRUE(chats[1]->isFromMe());
    QImage picture;
    ASSERT_TRUE(picture.loadFromData(chats[1]->pieces()[1]->pieceData()));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(0, 255, 0));
    EXPECT_TRUE(chats[1]->pieces()[1]->pieceFile().endsWith(
        sample::hashedName(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Parts/0c/01/2-2.png"))));
}

// ---- iOS 11 on: nanosecond dates, archived bodies, reactions, edits ------------------------

namespace {

// An attributedBody as sms.db keeps it: the class chain, the "+" string, the attribute runs.
QByteArray archivedBody(const QByteArray& utf8, const QByteArray& stringClasses = QByteArray("\x08NSString"))
{
    QByteArray length;
    if (utf8.size() < 0x80) {
        length.append(char(utf8.size()));
    } else if (utf8.size() < 0x8000) {
        length.append(char(0x81)).append(char(utf8.size() & 0xFF)).append(char(utf8.size() >> 8));
    } else {
        length.append(char(0x82));
        for (int i = 0; i < 4; ++i)
            length.append(char((utf8.size() >> (8 * i)) & 0xFF));
    }
    return QByteArray("\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84\x19NSMutableAttributedString\x00"
                      "\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject\x00\x85\x92\x84\x84\x84",
                      78)
        + stringClasses + QByteArray("\x01\x94\x84\x01+", 5) + length + utf8
        + QByteArray("\x86\x84\x02iI\x01\x05\x92\x84\x84\x84\x0cNSDictionary\x00\x86\x86", 28);
}

} // namespace

TEST(AttributedBodyTest, TextIsReadWithinTheBytesOrNotAtAll)
{
    const QByteArray longText = QString(QStringLiteral("é%1 ")).repeated(60).toUtf8(); // over 127 bytes
    const QByteArray hugeText(40000, 'x');
    QByteArray negative = archivedBody("abc");
    negative.replace(negative.indexOf("+\x03") + 1, 1, QByteArray("\x82\xff\xff\xff\xff", 5));
    QByteArray pastEnd = archivedBody("abc");
    pastEnd[pastEnd.indexOf("+\x03") + 1] = char(0x7f);
    struct Case {
        const char* name;
        QByteArray blob;
        QString text;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"short", archivedBody("Hello"), QStringLiteral("Hello"), true},
        {"two-byte length", archivedBody(longText), QString::fromUtf8(longText), true},
        {"four-byte length", archivedBody(hugeText), QString::fromLatin1(hugeText), true},
        {"empty text", archivedBody(""), QString(), true},
        {"mutable string", archivedBody("hi", QByteArray("\x0fNSMutableString\x01\x84\x84\x08NSString")), "hi", true},
        {"string class far from its type", archivedBody("hi", QByteArray("\x08NSString", 9) + QByteArray(5, '\0')), QString(), false},
        {"negative length", negative, QString(), false},
        {"length past the end", pastEnd, QString(), false},
        {"no signature", archivedBody("Hello").mid(1), QString(), false},
        {"signature only", QByteArray("\x04\x0bstreamtyped", 13), QString(), false},
        {"empty", QByteArray(), QString(), false},
    };
    for (const Case& c : cases) {
        bool ok = !c.ok;
        EXPECT_EQ(textFromAttributedBody(c.blob, &ok), c.text) << c.name;
        EXPECT_EQ(ok, c.ok) << c.name;
    }
    // Cut anywhere, a body reads either whole or not at all.
    const QByteArray whole = archivedBody(longText);
    const qsizetype textEnd = whole.indexOf(longText) + longText.size();
    for (qsizetype cut = 0; cut < whole.size(); ++cut) {
        bool ok = false;
        const QString text = textFromAttributedBody(whole.left(cut), &ok);
        EXPECT_EQ(ok, cut >= textEnd) << cut;
        EXPECT_EQ(text, ok ? QString::fromUtf8(longText) : QString()) << cut;
    }
}

TEST(SMSDateTest, EachValueIsSecondsOrNanosecondsByItsSize)
{
    const struct {
        qint64 stored, seconds;
    } cases[] = {
        {0, 0},
        {700000000, 700000000},                   // iOS 10 and before
        {700000000LL * 1000000000, 700000000},    // iOS 11 on
        {-31536000LL * 1000000000, -31536000},    // 2000 in nanoseconds
        {100000000000LL, 100000000000LL},         // the largest taken as seconds
        {100000000001LL, 100},                    // the smallest taken as nanoseconds
        {std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::min() / 1000000000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CSMSCollection::secondsSince2001(c.stored), c.seconds) << c.stored;
}

namespace {

void noOpFunction(sqlite3_context* c, int, sqlite3_value**)
{
    sqlite3_result_null(c);
}

struct Row {
    const char* guid;
    int handle; // 1 +14155550100, 3 Bob@Example.com
    const char* text; // null: NULL
    QByteArray body;  // attributedBody; empty: NULL
    qint64 date, edited, retracted; // as stored
    int fromMe;
    int reaction;         // associated_message_type
    const char* reactsTo; // associated_message_guid
};

// The iOS 12 layout as a device writes it, with the columns iOS 16 added; every row in one chat
// of handles 1 and 3, and an attachment for the messages "G-PIC" and "G-CAPTION".
bool buildModernChatDb(sqlite3* db, const std::vector<Row>& rows)
{
    // The layout's triggers call functions only the device has.
    for (const char* name : {"delete_attachment_path", "before_delete_attachment_path"})
        sqlite3_create_function_v2(db, name, -1, SQLITE_UTF8, nullptr, &noOpFunction, nullptr, nullptr, nullptr);
    if (!collsample::execAll(db, ibr::iosSchemaStatements(12, QStringLiteral("sms.db"))))
        return false;
    exec(db, "ALTER TABLE message ADD COLUMN date_edited INTEGER DEFAULT 0");
    exec(db, "ALTER TABLE message ADD COLUMN date_retracted INTEGER DEFAULT 0");
    exec(db, "ALTER TABLE message ADD COLUMN associated_message_emoji TEXT"); // iOS 18
    exec(db, "INSERT INTO handle (ROWID, id, country, service) VALUES (1, '+14155550100', 'us', 'iMessage'), "
             "(3, 'Bob@Example.com', 'us', 'iMessage')");
    exec(db, "INSERT INTO chat (ROWID, guid, style, state, chat_identifier, service_name) VALUES "
             "(1, 'iMessage;+;chat9', 43, 3, 'chat9', 'iMessage')");
    exec(db, "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (1, 1), (1, 3)");
    for (const Row& r : rows) {
        const QString body = r.body.isEmpty() ? QStringLiteral("NULL") : QStringLiteral("x'%1'").arg(QLatin1String(r.body.toHex()));
        if (!exec(db, QStringLiteral("INSERT INTO message (guid, text, attributedBody, handle_id, service, date, date_edited, date_retracted, "
                                     "is_from_me, is_sent, associated_message_type, associated_message_guid) "
                                     "VALUES (%1, %2, %3, %4, 'iMessage', %5, %6, %7, %8, %8, %9, %10)")
                          .arg(literal(QString::fromUtf8(r.guid)), literal(QString::fromUtf8(r.text)), body, QString::number(r.handle),
                               QString::number(r.date), QString::number(r.edited), QString::number(r.retracted), QString::number(r.fromMe),
                               QString::number(r.reaction), literal(QString::fromUtf8(r.reactsTo))))
            || !exec(db, QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id) VALUES (1, last_insert_rowid())")))
            return false;
    }
    exec(db, "UPDATE message SET associated_message_emoji = '\xf0\x9f\x8e\x89' WHERE associated_message_type % 1000 = 6");
    return exec(db, "INSERT INTO attachment (ROWID, guid, original_guid, filename, mime_type) VALUES "
                    "(1, 'at1', 'at1', '~/Library/SMS/Attachments/ab/12/GUID/IMG_0001.HEIC', 'image/heic');"
                    "INSERT INTO message_attachment_join SELECT rowid, 1 FROM message WHERE guid IN ('G-PIC', 'G-CAPTION')");
}

const qint64 kNs = 1000000000;

} // namespace

TEST_F(SMSCollectionTest, NewerLayoutReadsDatesBodiesReactionsEditsAndUnsent)
{
    const qint64 t = 700000000; // 2023-03-08 20:26:40 UTC in seconds since 2001
    const QByteArray longText = QString(QStringLiteral("a long message ")).repeated(20).toUtf8();
    const std::vector<Row> rows = {
        // Listed out of date order: nanoseconds and seconds sort as one.
        {"G-LATE", 1, "seconds, listed first", {}, t + 100, 0, 0, 0, 0, nullptr},
        {"G1", 1, "plain", {}, t * kNs, 0, 0, 0, 0, nullptr},
        {"G2", 3, nullptr, archivedBody("from the body"), (t + 10) * kNs, 0, 0, 0, 0, nullptr},
        {"G3", 3, "", archivedBody(longText), (t + 20) * kNs, 0, 0, 0, 0, nullptr},
        {"G-EDIT", 0, "edited text", {}, (t + 30) * kNs, t + 35, 0, 1, 0, nullptr}, // edit date in seconds
        {"G-UNSENT", 1, nullptr, {}, (t + 40) * kNs, (t + 41) * kNs, (t + 41) * kNs, 0, 0, nullptr},
        {"G-PIC", 1, "\xef\xbf\xbc", {}, (t + 50) * kNs, 0, 0, 0, 0, nullptr},
        {"G-CAPTION", 3, "caption without a placeholder", {}, (t + 55) * kNs, 0, 0, 0, 0, nullptr},
        {"G-BAD", 1, nullptr, QByteArray("\x04\x0bstreamtyped garbage"), (t + 60) * kNs, 0, 0, 0, 0, nullptr},
        // Reactions on G1: Bob likes, then takes it back; the owner loves; Ann laughs, then
        // changes her mind to a question; a reaction to a message the database lacks.
        {"R1", 3, nullptr, {}, (t + 200) * kNs, 0, 0, 0, 2001, "p:0/G1"},
        {"R2", 0, nullptr, {}, (t + 201) * kNs, 0, 0, 1, 2000, "bp:G1"},
        {"R3", 3, nullptr, {}, (t + 202) * kNs, 0, 0, 0, 3001, "p:0/G1"},
        {"R4", 1, nullptr, {}, (t + 203) * kNs, 0, 0, 0, 2003, "p:0/G1"},
        {"R5", 1, nullptr, {}, (t + 204) * kNs, 0, 0, 0, 2005, "p:0/G1"},
        {"R6", 3, nullptr, {}, (t + 205) * kNs, 0, 0, 0, 2002, "p:0/G2"},
        {"R7", 3, nullptr, {}, (t + 206) * kNs, 0, 0, 0, 3000, "p:0/G2"}, // takes back a love never given
        {"R8", 1, nullptr, {}, (t + 207) * kNs, 0, 0, 0, 2006, "p:0/G3"},
        {"R-LOST", 1, nullptr, {}, (t + 300) * kNs, 0, 0, 0, 2001, "p:0/NOT-HERE"},
    };
    const QString folder = writeBackup([&](sample::SampleBackupWriter& w) {
        w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                      [&](sqlite3* db) { return buildModernChatDb(db, rows); });
        w.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments/ab/12/GUID/IMG_0001.HEIC"),
                  QByteArray("heic bytes"));
    });
    // iOS 10 on keep data files in the sub-folder named by their first two digits.
    const QString hash = sample::hashedName(QStringLiteral("MediaDomain"),
                                            QStringLiteral("Library/SMS/Attachments/ab/12/GUID/IMG_0001.HEIC"));
    ASSERT_TRUE(QDir(folder).mkdir(hash.left(2)));
    ASSERT_TRUE(QFile::rename(folder + QLatin1Char('/') + hash, folder + QLatin1Char('/') + hash.left(2) + QLatin1Char('/') + hash));

    testsupport::LogCapture log;
    ASSERT_EQ(collect(folder)->count(), 1);
    const KdSMSChatGroup* chat = conversation(QStringLiteral("+14155550100"), QStringLiteral("Bob@Example.com"));
    ASSERT_TRUE(chat);
    auto at = [&](qint64 seconds) { return CCommonUtils::buildDateTimeBase2001(seconds); };
    QStringList contents;
    for (const KdSMSChat* c : chat->chats())
        contents << (c->pieces().isEmpty() ? c->content() : pieceTexts(c).join(QLatin1Char('|')));
    EXPECT_EQ(contents, (QStringList{"plain", "from the body", QString::fromUtf8(longText), "edited text", "",
                                     "[IMG_0001.HEIC]", "caption without a placeholder|[IMG_0001.HEIC]", "",
                                     "seconds, listed first", "Liked a message"}));
    ASSERT_EQ(chat->chats().size(), 10);
    const QList<KdSMSChat*>& c = chat->chats();
    EXPECT_EQ(c[0]->msgDate(), at(t));
    EXPECT_EQ(c[8]->msgDate(), at(t + 100));

    // One reaction per party; a take-back cancels only its own kind.
    auto reactions = [](const KdSMSChat* m) {
        QStringList out;
        for (const KdSMSReaction& r : m->reactions())
            out << (r.fromMe ? QStringLiteral("me") : r.addr) + QLatin1Char(':') + r.reaction;
        return out;
    };
    EXPECT_EQ(reactions(c[0]), (QStringList{"me:love", "+14155550100:question"}));
    EXPECT_EQ(c[0]->reactions()[1].date, at(t + 204));
    EXPECT_EQ(reactions(c[1]), QStringList{"Bob@Example.com:dislike"});
    EXPECT_EQ(reactions(c[2]), QStringList{QStringLiteral("+14155550100:") + QString::fromUtf8("\xf0\x9f\x8e\x89")});

    EXPECT_FALSE(c[0]->editedDate().isValid());
    EXPECT_EQ(c[3]->editedDate(), at(t + 35));
    EXPECT_TRUE(c[4]->isUnsent());
    EXPECT_FALSE(c[4]->editedDate().isValid());
    EXPECT_FALSE(c[3]->isUnsent());
    EXPECT_EQ(c[4]->msgDate(), at(t + 40));

    EXPECT_EQ(c[5]->pieces()[0]->pieceData(), QByteArray("heic bytes"));
    EXPECT_TRUE(c[5]->pieces()[0]->pieceFile().endsWith(hash.left(2) + QLatin1Char('/') + hash));
    // The unreadable body keeps its message, and says so.
    EXPECT_TRUE(log.contains("attributedBody"));
}
