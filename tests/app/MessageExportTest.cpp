// The conversation export of iOS 16 messages: reactions on the message they are for, edit dates
// and unsent marks, each only where there is one.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "SampleBackup.h"
#include "TestSupport.h"
#include "ibr/schemas.h"

using testsupport::runCli;

TEST(MessageExport, ReactionsEditsAndUnsentInTheConversationJson)
{
    QTemporaryDir dir;
    sample::SampleBackupWriter w(dir.filePath(QStringLiteral("backup")));
    w.setDevice(QStringLiteral("Phone"), QStringLiteral("iPhone15,2"), QStringLiteral("16.3"), QDateTime(QDate(2023, 3, 1), QTime(3, 4), Qt::UTC));
    ASSERT_FALSE(w.addDatabase(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), [](sqlite3* db) {
        QStringList sql = ibr::iosSchemaStatements(12, QStringLiteral("sms.db")).filter(QStringLiteral("CREATE TABLE"));
        sql.removeIf([](const QString& s) { return s.contains(QLatin1String("sqlite_")); });
        // 700000000 s after 2001 is 2023-03-08T20:26:40Z; dates in nanoseconds as iOS 11 on keep them.
        sql << QStringLiteral("ALTER TABLE message ADD COLUMN date_edited INTEGER DEFAULT 0")
            << QStringLiteral("ALTER TABLE message ADD COLUMN date_retracted INTEGER DEFAULT 0")
            << QStringLiteral("INSERT INTO handle (ROWID, id, country, service) VALUES (1, '+15550100', 'us', 'iMessage')")
            << QStringLiteral("INSERT INTO chat (ROWID, guid, chat_identifier) VALUES (1, 'c1', '+15550100')")
            << QStringLiteral("INSERT INTO chat_handle_join VALUES (1, 1)")
            << QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date, date_edited, date_retracted, is_from_me, "
                              "associated_message_type, associated_message_guid) VALUES "
                              "(1, 'm1', 'fixed typo', 1, 'iMessage', 700000000000000000, 700000060000000000, 0, 1, 0, NULL), "
                              "(2, 'm2', NULL, 1, 'iMessage', 700000100000000000, 700000110000000000, 700000110000000000, 1, 0, NULL), "
                              "(3, 'm3', NULL, 1, 'iMessage', 700000200000000000, 0, 0, 0, 2001, 'p:0/m1'), "
                              "(4, 'm4', NULL, 1, 'iMessage', 700000300000000000, 0, 0, 1, 2003, 'p:0/m1')")
            << QStringLiteral("INSERT INTO chat_message_join (chat_id, message_id) VALUES (1, 1), (1, 2), (1, 3), (1, 4)");
        for (const QString& s : sql)
            if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                ADD_FAILURE() << s.toStdString() << ": " << sqlite3_errmsg(db);
                return false;
            }
        return true;
    }).isEmpty());
    ASSERT_TRUE(w.write());

    const QString out = dir.filePath(QStringLiteral("out"));
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), w.folder(), QStringLiteral("--out"), out,
                                          QStringLiteral("--categories"), QStringLiteral("messages"), QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QJsonArray items = QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/messages.json")))[QStringLiteral("items")].toArray();
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
