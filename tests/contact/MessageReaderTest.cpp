#include <gtest/gtest.h>

#include <QMap>
#include <QRegularExpression>

#include <cmath>
#include <cstdint>

#include "ContactFixture.h"
#include "TestSupport.h"
#include "ibr/schemas.h"
#include "../../lib/contact/MessageReader_p.h"

using namespace contacttest;

namespace {

const char kImg[] = "~/Library/SMS/Attachments/ab/11/GUID/IMG_0001.JPG";

void standInRead(sqlite3_context* c, int, sqlite3_value**)
{
    sqlite3_result_int(c, 1);
}

// An sms.db with the layout iOS 5 wrote (its read() function stood in), then `sql`.
QString makeSmsDb(const QTemporaryDir& dir, const QString& sql)
{
    const QString path = dir.filePath(QStringLiteral("sms.db"));
    EXPECT_TRUE(testsupport::makeDatabase(path, {}, [&](sqlite3* db) {
        sqlite3_create_function_v2(db, "read", 1, SQLITE_UTF8, nullptr, &standInRead, nullptr, nullptr, nullptr);
        QStringList schema = ibr::iosSchemaStatements(5, QStringLiteral("sms.db"));
        schema.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_sequence")); });
        return execAll(db, schema << sql);
    }));
    return path;
}

// Ann (1) and Bob (2) share a number in national and international form.
QString makeBook(const QTemporaryDir& dir)
{
    return contacttest::makeBook(dir, 5,
                                 {QStringLiteral("insert into ABPerson (ROWID, First) values (1, 'Ann'), (2, 'Bob')"),
                                  QStringLiteral("insert into ABMultiValue (record_id, property, identifier, value) values "
                                                 "(2, 3, 0, '+1 415 555 0100'), (1, 3, 0, '4155550100'), "
                                                 "(1, 4, 1, 'Ann@Example.com'), (2, 4, 1, 'friend@example.com')")});
}

// Group 1: SMS flags, the iMessage epoch and flags, a date tie. Group 2: an MMS whose text and
// files are parts stored out of order. Group 3: iMessage placeholders (char(65532)). Group 4:
// nothing worth showing. Then messages without a group or whose group does not exist.
const char kScenarioSql[] = R"(
insert into msg_group (ROWID, type) values (1, 0), (2, 0), (3, 0), (4, 0);
insert into group_member (ROWID, group_id, address, country) values (1, 1, '+1 (415) 555-0100', 'US'),
  (2, 2, '0100', 'us'), (3, 2, 'ANN@example.COM', ''), (4, 3, '555-0100', 'us'), (5, 4, '+15550000', 'us');
insert into message (ROWID, group_id, date, flags, is_madrid, madrid_flags, madrid_error, address, madrid_handle,
  country, subject, text) values
  (1, 1, 1300000100, 2, 0, 0, 0, '+14155550100', NULL, 'us', NULL, 'received'),
  (2, 1, 1300000000, 3, NULL, 0, 0, '+14155550100', NULL, 'us', NULL, 'sent'),
  (3, 1, 1300000200, 35, 0, 0, 0, '+14155550100', NULL, 'us', NULL, 'failed'),
  (4, 1, 350000000, 0, 1, 32773, 0, NULL, '+14155550100', NULL, NULL, 'from me'),
  (5, 1, 350000060, 0, 1, 5, 4, '+14155550100', '', NULL, NULL, 'error'),
  (6, 1, 1300000100, 2, 0, 0, 0, '+14155550100', NULL, 'us', NULL, 'tie'),
  (10, 2, 1300001000, 2, 0, 0, 0, '0100', NULL, 'us', 'Pics', NULL),
  (20, 3, 350001000, 0, 1, 0, 0, NULL, 'ann@example.com', NULL, NULL, 'word ' || char(65532) || ' word'),
  (21, 3, 350001001, 0, 1, 0, 0, NULL, 'ann@example.com', NULL, NULL, 'see' || char(65532)),
  (22, 3, 350001002, 0, 1, 0, 0, NULL, 'ann@example.com', NULL, NULL, NULL),
  (23, 3, 350001003, 0, 1, 0, 0, NULL, 'ann@example.com', NULL, NULL, '  ' || char(65532) || ' '),
  (24, 3, 1300000000, 2, 0, 0, 0, '555-0100', NULL, 'us', NULL, ''),
  (40, 4, 1300000000, 2, 0, 0, 0, '+15550000', NULL, 'us', NULL, NULL),
  (41, 4, 350000000, 0, 1, 0, 0, NULL, '+15550000', NULL, NULL, ' '),
  (30, 0, 1300002000, 2, 0, 0, 0, '555-0100', NULL, 'us', NULL, 'no group'),
  (31, NULL, 1300001000, 3, 0, 0, 0, '555-0100', NULL, 'us', NULL, 'null group'),
  (32, 99, 350002000, 0, 1, 32768, 0, NULL, 'FRIEND@example.com', NULL, NULL, 'lost group');
insert into msg_pieces (message_id, part_id, content_type, content_loc, data) values
  (10, 2, 'image/jpeg', 'photo.jpg', NULL), (10, 0, 'application/smil', 'mms.smil', '<smil/>'),
  (10, 1, 'text/plain', 'text_0.txt', CAST('Hello MMS' AS BLOB)), (10, 3, 'text/plain', NULL, '  '),
  (10, 4, 'video/3gpp', NULL, NULL);
insert into madrid_attachment (message_id, filename, mime_type, uti_type) values
  (20, '~/Library/SMS/Attachments/ab/11/GUID/IMG_0001.JPG', 'image/jpeg', NULL), (21, '~/a.jpg', 'image/jpeg', NULL),
  (21, '~/b.jpg', 'image/jpeg', NULL), (22, '~/c.mov', NULL, 'com.apple.quicktime-movie');
)";

// Serves attachment bytes from one buffer that every call overwrites, as the real hook does.
struct FakeParts {
    QMap<QByteArray, QByteArray> files{{"10-2.jpg", "JPEG"}, {kImg, "IMG1"}, {"~/a.jpg", "A"}, {"~/b.jpg", "B"}};
    QByteArray buffer;
    QStringList asked;
    PieceHook hook{this, &FakeParts::read, nullptr};

    static int read(void*, const char* location, const unsigned char** data, int32_t* size, void* self)
    {
        auto* parts = static_cast<FakeParts*>(self);
        parts->asked << QString::fromUtf8(location);
        parts->buffer = parts->files.value(location);
        *data = reinterpret_cast<const unsigned char*>(parts->buffer.constData());
        *size = int32_t(parts->buffer.size());
        return !parts->buffer.isEmpty();
    }
};

QString describe(const SmsMessageRecord* m)
{
    QString line = QStringLiteral("%1 %2 %3 %4 %5 %6").arg(m->rowid).arg(m->date)
                       .arg(m->normalSms ? "sms" : "imsg", m->fromMe ? "me" : "them", m->sentDone ? "done" : "failed",
                            str(m->address));
    if (m->subject && *m->subject)
        line += QStringLiteral(" (") + str(m->subject) + ')';
    if (!m->pieces)
        return line + QStringLiteral(" '") + str(m->text) + '\'';
    EXPECT_EQ(str(m->text), QString());
    QStringList pieces;
    for (const SmsPieceRecord* p = m->pieces; p; p = p->next) {
        const QByteArray data = p->data ? QByteArray(reinterpret_cast<const char*>(p->data), p->dataSize) : QByteArray("-");
        pieces << QStringLiteral("%1 %2 %3").arg(str(p->contentType), str(p->location), QString::fromUtf8(data)).simplified();
    }
    return line + QStringLiteral(" [") + pieces.join(QStringLiteral(" | ")) + ']';
}

// Per conversation: its group and participants ("address/country=person"), then its messages.
QList<QStringList> conversations(const SmsRecordList* list)
{
    QList<QStringList> out;
    int count = 0;
    for (const SmsConversationRecord* c = list ? list->first : nullptr; c; c = c->next, ++count) {
        QStringList members;
        for (const SmsAddressNode* n = c->addresses; n; n = n->next) {
            const SmsAddressEntry* e = n->entry;
            EXPECT_EQ(e->personRowid, e->match ? e->match->personRowid : 0);
            members << QStringLiteral("%1/%2=%3").arg(str(e->address), str(e->country),
                                                      e->match ? str(e->match->person->first) : QStringLiteral("-"));
        }
        QStringList lines{QStringLiteral("group %1: ").arg(c->groupId) + members.join(QStringLiteral(", "))};
        int messages = 0;
        const SmsMessageRecord* last = nullptr;
        for (const SmsMessageRecord* m = c->messages; m; m = m->next, ++messages)
            lines << describe(last = m);
        EXPECT_EQ(c->messageCount, messages);
        EXPECT_EQ(c->newest, last);
        out << lines;
    }
    EXPECT_EQ(list ? list->count : 0, count);
    return out;
}

const QList<QStringList> kScenario = {
    {"group 1: +1 (415) 555-0100/us=Ann",
     "2 1300000000 sms me done +14155550100 'sent'",
     "1 1300000100 sms them done +14155550100 'received'",
     "6 1300000100 sms them done +14155550100 'tie'",
     "3 1300000200 sms me failed +14155550100 'failed'",
     "4 1328307200 imsg me done +14155550100 'from me'",
     "5 1328307260 imsg them failed +14155550100 'error'"},
    {"group 2: 0100/us=-, ANN@example.COM/=Ann",
     "10 1300001000 sms them done 0100 (Pics) [text/plain Hello MMS | image/jpeg 10-2.jpg JPEG | video/3gpp 10-4.3gp -]"},
    {"group 3: 555-0100/us=Ann",
     QStringLiteral("20 1328308200 imsg them done ann@example.com [text/plain word | image/jpeg %1 IMG1 | text/plain word]")
         .arg(kImg),
     "21 1328308201 imsg them done ann@example.com [text/plain see | image/jpeg ~/a.jpg A]",
     "22 1328308202 imsg them done ann@example.com [video/quicktime ~/c.mov -]"},
    {"group 0: 555-0100/us=Ann",
     "31 1300001000 sms me done 555-0100 'null group'",
     "30 1300002000 sms them done 555-0100 'no group'"},
    {"group 0: FRIEND@example.com/=Bob",
     "32 1328309200 imsg me done FRIEND@example.com 'lost group'"},
};

} // namespace

TEST(MessageReader, ReadsConversationsPiecesAndParticipants)
{
    QTemporaryDir dir;
    const QString db = makeSmsDb(dir, kScenarioSql), book = makeBook(dir);
    FakeParts parts;
    Reader reader;
    const SmsRecordList* list = reader.messages(db, book, &parts.hook);
    parts.buffer.fill('x'); // the records hold copies
    EXPECT_EQ(conversations(list), kScenario);
    // Attachments the text does not show are not fetched.
    parts.asked.sort();
    EXPECT_EQ(parts.asked, QStringList({"10-2.jpg", "10-4.3gp", "~/Library/SMS/Attachments/ab/11/GUID/IMG_0001.JPG",
                                        "~/a.jpg", "~/c.mov"}));

    // Without a hook or an address book: the same messages, no bytes and no people.
    for (const QString& noBook : {QString(), dir.filePath(QStringLiteral("missing.sqlitedb")), db}) {
        QList<QStringList> expected = kScenario;
        for (QStringList& c : expected)
            for (QString& line : c)
                line.replace(QRegularExpression(QStringLiteral("=\\w+")), QStringLiteral("=-"))
                    .replace(QRegularExpression(QStringLiteral(" (JPEG|IMG1|A)\\b")), QStringLiteral(" -"));
        EXPECT_EQ(conversations(reader.messages(db, noBook)), expected) << noBook.toStdString();
    }
}

TEST(MessageReader, WithoutPartTablesMessagesKeepTheirText)
{
    QTemporaryDir dir;
    const QString db = makeSmsDb(dir, kScenarioSql + QStringLiteral("drop table msg_pieces; drop table madrid_attachment;"));
    Reader reader;
    const QList<QStringList> got = conversations(reader.messages(db));
    ASSERT_EQ(got.size(), 4); // the MMS had only parts
    EXPECT_EQ(got[1], QStringList({"group 3: 555-0100/us=-",
                                   "20 1328308200 imsg them done ann@example.com 'word  word'",
                                   "21 1328308201 imsg them done ann@example.com 'see'"}));
}

TEST(MessageReader, DamagedAndOlderDatabasesGivePartialResults)
{
    QTemporaryDir dir;
    const QString db = makeSmsDb(dir, QStringLiteral(R"(
        insert into message (ROWID) values (1);
        insert into message (ROWID, text, date, group_id, flags, madrid_flags) values
          (2, 'huge', 9e18, 9223372036854775807, -1, -1),
          (3, 'tiny', -9e18, -5, 0, 0), (5000000000, 'big', NULL, NULL, NULL, NULL);
        insert into msg_pieces (message_id) values (1), (NULL), (77);
        insert into madrid_attachment (message_id) values (NULL), (2);
        insert into group_member (ROWID) values (1);
        insert into msg_group (ROWID) values (0);)"));
    Reader reader;
    EXPECT_EQ(conversations(reader.messages(db)),
              QList<QStringList>({{"group 0: /=-",
                                   "3 -2147483648 sms them done  'tiny'",
                                   "1 0 sms them done  [application/octet-stream 1-0 -]",
                                   "2147483647 0 sms them done  'big'",
                                   "2 2147483647 sms me failed  'huge'"}}));

    const QString older = dir.filePath(QStringLiteral("older.db")), none = dir.filePath(QStringLiteral("none.db"));
    ASSERT_TRUE(testsupport::makeDatabase(
        older, {QStringLiteral("create table message (ROWID INTEGER PRIMARY KEY, address TEXT, text TEXT)"),
                QStringLiteral("insert into message values (7, '112', 'hi')")}));
    EXPECT_EQ(conversations(reader.messages(older)), QList<QStringList>({{"group 0: 112/=-", "7 0 sms them done 112 'hi'"}}));

    ASSERT_TRUE(testsupport::makeDatabase(none, {QStringLiteral("create table msg_group (ROWID INTEGER PRIMARY KEY)")}));
    for (const QString& path : {none, dir.filePath(QStringLiteral("missing.db"))}) {
        testsupport::LogCapture log;
        EXPECT_EQ(reader.messages(path), nullptr);
        EXPECT_FALSE(log.lines().empty());
    }
}

TEST(MessageReader, DatesAndPartLocations)
{
    const struct {
        double stored;
        bool iMessage;
        int32_t unix;
    } dates[] = {{350000000, true, 1328307200}, {3.5e17, true, 1328307200}, {3.5e17, false, 1328307200},
                 {3e9, false, INT32_MAX},        {-9e18, true, INT32_MIN},   {std::nan(""), true, 0}};
    for (const auto& d : dates)
        EXPECT_EQ(contactdb::messageDate(d.stored, d.iMessage), d.unix) << d.stored << " " << d.iMessage;

    const char* const parts[][3] = {
        {"image/jpeg", "IMG_0001.JPG", "9-2.JPG"}, {"image/jpeg", "", "9-2.jpg"},     {"IMAGE/PNG", "../x/passwd", "9-2.png"},
        {"video/3gpp", "clip", "9-2.3gp"},         {"text/x-vcard", "", "9-2.vcf"},   {"image/heic", "", "9-2.heic"},
        {"application/x-odd-type", "", "9-2"},     {"", "", "9-2"},                   {"Image/JPEG; name=a", "a", "9-2.jpg"}};
    for (const auto& p : parts)
        EXPECT_EQ(contactdb::partLocation(9, 2, p[0], p[1]), QByteArray(p[2])) << p[0];
}
