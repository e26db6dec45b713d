// Conversations of the chat/handle/message layout, read from a backup as a user holds it: named
// participants, pieces placed at their U+FFFC, previews, rows that only a -wal holds.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "AddressBookSample.h"
#include "CContactCollection.h"
#include "CSMSCollection.h"
#include "CiTunesBackup.h"
#include "SampleBackup.h"
#include "TestSupport.h"
#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"
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

bool exec(sqlite3* db, const QString& sql)
{
    char* error = nullptr;
    const bool ok = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        ADD_FAILURE() << sql.toStdString() << ": " << (error ? error : "");
    sqlite3_free(error);
    return ok;
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
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO message (guid, text, handle_id, service, date, is_from_me, is_sent) VALUES (?,?,?,?,?,?,?)",
                           -1, &st, nullptr);
        const QByteArray text = m.text.toUtf8();
        sqlite3_bind_text(st, 1, QByteArray::number(qint64(m.date) * 7 + m.handle).constData(), -1, SQLITE_TRANSIENT);
        if (m.text.isNull())
            sqlite3_bind_null(st, 2);
        else
            sqlite3_bind_text(st, 2, text.constData(), text.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, m.handle);
        sqlite3_bind_text(st, 4, m.service, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 5, m.date);
        sqlite3_bind_int(st, 6, m.fromMe);
        sqlite3_bind_int(st, 7, m.fromMe);
        const bool ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_finalize(st);
        if (!ok)
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
    QString writeBackup(const std::function<void(sample::SampleBackupWriter&)>& addSmsDb)
    {
        sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
        w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone6,1"), QStringLiteral("8.1"), QDateTime::currentDateTimeUtc());
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

    KdSMSData* collect(const QString& folder)
    {
        CiTunesBackup b;
        EXPECT_TRUE(b.parseFromPath(folder));
        CContactCollection contacts(model.getContact());
        contacts.collect(b.path(), b.files(), b.fileSuffix());
        CSMSCollection messages(model.getMessage(), model.getContact());
        messages.collect(b.path(), b.files(), b.fileSuffix());
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

    EXPECT_EQ(testsupport::snapshotFolder(folder), before);
}

// Some main files hold only their first page: the schema and every row are in the -wal.
TEST_F(SMSCollectionTest, RowsThatOnlyTheWalHoldsAreReadFromACopy)
{
    QTemporaryDir build;
    const QString path = build.filePath(QStringLiteral("sms.db"));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &raw), SQLITE_OK);
    const evidencedb::SqlitePtr db(raw);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    exec(raw, "PRAGMA journal_mode=WAL");
    exec(raw, "PRAGMA wal_autocheckpoint=0");
    ASSERT_TRUE(buildChatDb(raw, sampleMessages()));
    auto read = [](const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray main = read(path), wal = read(path + QStringLiteral("-wal"));
    ASSERT_LE(main.size(), 4096);
    ASSERT_GT(wal.size(), 0);
    const QString folder = writeBackup([&](sample::SampleBackupWriter& w) {
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), main);
        w.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db-wal"), wal);
    });
    const auto before = testsupport::snapshotFolder(folder);
    EXPECT_EQ(collect(folder)->count(), 2);
    ASSERT_TRUE(conversation(QStringLiteral("+14155550100")));
    EXPECT_EQ(conversation(QStringLiteral("+14155550100"))->chats().size(), 4);
    EXPECT_EQ(testsupport::snapshotFolder(folder), before); // nothing written, no -shm beside it
}

TEST_F(SMSCollectionTest, ReadPieceTakesBaseNamesAtTheirBoundaryAndPrefersPreviews)
{
    const QString folder = writeBackup([](sample::SampleBackupWriter& w) {
        w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                      [](sqlite3* db) { return buildChatDb(db, {}); });
    });
    CiTunesBackup b;
    ASSERT_TRUE(b.parseFromPath(folder));
    CSMSCollection c(model.getMessage(), nullptr);
    c.collect(b.path(), b.files(), b.fileSuffix());
    // No folder in the location: any folder's file of that base name.
    EXPECT_FALSE(c.readPiece(QStringLiteral("IMG_0001.JPG")).isEmpty());
    // "IMG_0002" takes its preview, never "IMG_00020.JPG".
    QImage image;
    EXPECT_TRUE(image.loadFromData(c.readPiece(QStringLiteral("IMG_0002.png"))));
    EXPECT_TRUE(c.readPiece(QStringLiteral("~/Library/SMS/Attachments/ff/IMG_0001.JPG")).isEmpty()); // another folder
    EXPECT_TRUE(c.readPiece(QStringLiteral("IMG_9")).isEmpty());
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
            for (const QString& s : ibr::iosSchemaStatements(5, QStringLiteral("sms.db")))
                if (!s.contains(QLatin1String("sqlite_")) && !exec(db, s))
                    return false;
            return exec(db, "INSERT INTO msg_group (ROWID, type) VALUES (1, 0), (2, 0);"
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
