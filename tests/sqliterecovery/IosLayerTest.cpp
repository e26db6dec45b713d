#include "RecoveryScore.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> describe(const sqlrecovery::RecordStore& store)
{
    std::vector<std::string> out;
    for (const MessageGroupRecord& group : store.messageGroups) {
        out.push_back("group " + group.addresses.join(QLatin1Char(',')).toStdString());
        for (const MessageRecord& m : group.messages) {
            QString line = QStringLiteral("%1 %2 %3 %4 %5").arg(m.date).arg(m.address, m.subject, m.text).arg(m.service);
            for (const MessagePieceRecord& p : m.pieces)
                line += QStringLiteral(" [%1 %2]").arg(p.kind).arg(p.data);
            out.push_back(line.toStdString());
        }
    }
    return out;
}

bool exec(const QString& db, const QString& sql, int* count = nullptr)
{
    sqlite3* h = nullptr;
    bool ok = sqlite3_open(db.toUtf8().constData(), &h) == SQLITE_OK
        && sqlite3_exec(
               h, sql.toUtf8().constData(),
               [](void* n, int, char** v, char**) { return *static_cast<int*>(n) = std::atoi(v[0]), 0; }, count, nullptr)
            == SQLITE_OK;
    sqlite3_close(h);
    return ok;
}

} // namespace

// Deleted messages whose join rows the device left behind live: their conversations and
// attachments come from the live join tables, and must be the same whether or not the database
// keeps the indexes of its message tables.
TEST(IosLayer, ChatMessagesAreTheSameWithoutTheMessageIndexes)
{
    for (int ios : {6, 8, 9}) {
        std::vector<std::string> found[2];
        for (bool indexes : {false, true}) {
            QTemporaryDir dir;
            iosrecgen::Options o;
            o.iosMajor = ios;
            o.rows = 120;
            o.messageIndexes = indexes;
            o.snapshotBefore = dir.filePath(QStringLiteral("before.snapshot"));
            iosrecgen::Expected truth;
            const QString db = iosrecgen::generate(1, dir.path(), o, &truth);
            ASSERT_FALSE(db.isEmpty());
            sqlcarve::Result carved = iosrecgen::oracleCarve(o.snapshotBefore, db);
            carved.rows.erase(std::remove_if(carved.rows.begin(), carved.rows.end(),
                                             [](const sqlcarve::CarvedRow& r) {
                                                 return r.table == "chat_message_join" || r.table == "message_attachment_join";
                                             }),
                              carved.rows.end());
            int left = -1;
            ASSERT_TRUE(exec(db, QStringLiteral("ATTACH '%1' AS b; "
                                                "INSERT INTO chat_message_join SELECT * FROM b.chat_message_join WHERE message_id NOT IN "
                                                "(SELECT message_id FROM chat_message_join); "
                                                "INSERT INTO message_attachment_join SELECT * FROM b.message_attachment_join WHERE "
                                                "message_id NOT IN (SELECT message_id FROM message_attachment_join);")
                                     .arg(o.snapshotBefore)));
            ASSERT_TRUE(exec(db,
                             QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL AND "
                                            "tbl_name IN ('message', 'chat_message_join', 'message_attachment_join')"),
                             &left));
            if (!indexes) {
                EXPECT_EQ(left, 0) << ios;
            }
            sqlrecovery::RecordStore store;
            sqlrecovery::mapType(1, carved, db, store);
            const Score s = score(expectedItems(1, truth), reportedItems(1, store), truth.liveTexts);
            EXPECT_EQ(s.whole, s.expected) << ios << " " << indexes << ": " << s.misses.join(QStringLiteral(", ")).toStdString();
            found[indexes] = describe(store);
        }
        EXPECT_EQ(found[0], found[1]) << ios;
    }
}
