#include "RecoveryFixture.h"
#include "ibr/schemas.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>


#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace recoverytest;

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

} // namespace

// Deleted messages whose join rows the device left behind live: their conversations and
// attachments come from the live join tables, and must be the same whether or not the database
// keeps the indexes of its message tables.
TEST(IosLayer, ChatMessagesAreTheSameWithoutTheMessageIndexes)
{
    for (int ios : {6, 8, 9}) {
        std::vector<std::string> found[2];
        for (bool indexes : {false, true}) {
            iosrecgen::Options o;
            o.iosMajor = ios;
            o.rows = 120;
            o.messageIndexes = indexes;
            OracleFixture f(1, o);
            const QString& db = f.db;
            ASSERT_FALSE(db.isEmpty());
            f.drop("chat_message_join");
            f.drop("message_attachment_join");
            int left = -1;
            ASSERT_TRUE(exec(db, QStringLiteral("ATTACH '%1' AS b; "
                                                "INSERT INTO chat_message_join SELECT * FROM b.chat_message_join WHERE message_id NOT IN "
                                                "(SELECT message_id FROM chat_message_join); "
                                                "INSERT INTO message_attachment_join SELECT * FROM b.message_attachment_join WHERE "
                                                "message_id NOT IN (SELECT message_id FROM message_attachment_join);")
                                     .arg(f.options.snapshotBefore)));
            ASSERT_TRUE(exec(db,
                             QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL AND "
                                            "tbl_name IN ('message', 'chat_message_join', 'message_attachment_join')"),
                             &left));
            if (!indexes) {
                EXPECT_EQ(left, 0) << ios;
            }
            const sqlrecovery::RecordStore store = f.map(1);
            const Score s = f.scoreOf(1, store);
            EXPECT_EQ(s.whole, s.expected) << ios << " " << indexes << ": " << s.misses.join(QStringLiteral(", ")).toStdString();
            found[indexes] = describe(store);
        }
        EXPECT_EQ(found[0], found[1]) << ios;
    }
}

// The newer layout (iOS 11 on) keeps each message's date in its chat_message_join row and in
// an index of it, and its delete trigger clears the message's cached room names before the row
// goes. Deleted messages of a group whose senders also have one-to-one chats must land in the
// group whichever of that survives; a rowid only inferred from the row's place, which a join
// row dated otherwise disproves, must not take the message to that row's chat. A deleted
// message that lost its rowid and shares its text with a live one is still no live row: its guid
// differs.
TEST(IosLayer, NewerLayoutDeletedMessagesKeepTheirConversation)
{
    QTemporaryDir dir;
    const QString db = dir.filePath(QStringLiteral("sms.db"));
    QString sql = QStringLiteral("PRAGMA secure_delete = 0; PRAGMA page_size = 4096;");
    for (const QString& statement : ibr::iosSchemaStatements(12, QStringLiteral("sms.db")))
        // Skipped: SQLite makes its own sqlite_ tables, and only the device defines those functions.
        if (!statement.contains(QLatin1String("attachment_path")) && !statement.contains(QLatin1String("sqlite_")))
            sql += statement + QLatin1Char(';');
    sql += QStringLiteral("INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001', 'iMessage'), (2, '+15550002', 'iMessage');"
                          "INSERT INTO chat (ROWID, guid, style, chat_identifier, service_name, room_name) VALUES "
                          "(1, 'iMessage;-;+15550001', 45, '+15550001', 'iMessage', NULL), "
                          "(2, 'iMessage;-;+15550002', 45, '+15550002', 'iMessage', NULL), "
                          "(3, 'iMessage;+;chat3', 43, 'chat3', 'iMessage', 'chat3');"
                          "INSERT INTO chat_handle_join VALUES (1, 1), (2, 2), (3, 1), (3, 2);"
                          "INSERT INTO attachment (ROWID, guid, original_guid, filename, created_date) VALUES (1, 'A1', 'A1', 'old.jpg', 1000);");
    // Message n goes to chat n % 3 + 1 from handle n % 2 + 1 (chat 1 and 2: their partner).
    for (int n = 1; n <= 90; ++n) {
        const int chat = n % 3 + 1, handle = chat == 3 ? n % 2 + 1 : chat;
        const qint64 date = 600000000000000000LL + qint64(n) * 61000000000LL;
        sql += QStringLiteral("INSERT INTO message (ROWID, guid, text, handle_id, service, date) VALUES "
                              "(%1, 'GUID-%1', 'message %1 of chat %2', %3, 'iMessage', %4);"
                              "INSERT INTO chat_message_join VALUES (%2, %1, %4);")
                   .arg(n)
                   .arg(chat)
                   .arg(handle)
                   .arg(date);
    }
    sql += QStringLiteral("DELETE FROM chat_message_join WHERE message_id % 2 = 0;");
    ASSERT_TRUE(exec(db, sql));

    const QStringList direct[] = {{QStringLiteral("+15550001")}, {QStringLiteral("+15550002")}};
    const QStringList group = {QStringLiteral("+15550001"), QStringLiteral("+15550002")};
    // Messages not named by anything left of their join rows (nor by their room names) may go
    // to their sender's one-to-one chat: only those that are named are checked.
    // A message placed by its sender alone says so; with nothing left, every one does. Entries
    // of the one-column indexes name a conversation by the join row's rowid: with one another,
    // or with a join row that lost its chat.
    // A copy of a message moved elsewhere gets a rowid from its new place: the one its cell gave
    // another copy stands.
    // A group message whose join rows name a one-to-one chat does not make its sender a party
    // to that chat's thread.
    // Two integers salvaged from freed bytes yield to a whole join row where the message's date
    // cannot tell them apart, and alone they name no chat the sender is not in, nor an
    // attachment made at another time.
    enum Gone { Nothing, JoinRows, JoinRowsAndRoomNames, GuessedRowid, LiveText, Everything, PairsGone, ChatsLost, MovedCopy, WrongLink, Salvaged };
    int reported[11] = {};
    for (Gone gone : {Nothing, JoinRows, JoinRowsAndRoomNames, GuessedRowid, LiveText, Everything, PairsGone, ChatsLost, MovedCopy, WrongLink, Salvaged}) {
        sqlcarve::Result carved = sqlcarve::carveFile(db.toStdString(), sqlrecovery::carveOptions(1));
        const size_t rooms = columnOf(carved, "message", "cache_roomnames"), text = columnOf(carved, "message", "text"),
                     date = columnOf(carved, "message", "date");
        std::set<int64_t> named, chatOfRow;
        std::map<int64_t, int64_t> messageOfRow;
        for (const auto& r : carved.rows)
            if (r.indexEntry && r.rowid && r.values[0].kind == sqlcarve::Value::Kind::Integer) {
                if (r.table == "chat_message_join_idx_chat_id")
                    chatOfRow.insert(*r.rowid);
                if (r.table == "chat_message_join_idx_message_id_only")
                    messageOfRow[*r.rowid] = r.values[0].integer;
            }
        const bool oneColumn = gone == PairsGone || gone == ChatsLost;
        for (auto& r : carved.rows) {
            if (r.table == "message" && (gone == JoinRowsAndRoomNames || gone == Everything || oneColumn))
                r.values[rooms] = sqlcarve::Value();
            if (r.table == "chat_message_join" && gone == ChatsLost) {
                r.values[0] = lost();
                if (r.rowid && chatOfRow.count(*r.rowid))
                    named.insert(r.values[1].integer);
            }
            if (gone == WrongLink && r.values.size() >= 3 && r.values[0].kind == sqlcarve::Value::Kind::Integer
                && ((r.table == "chat_message_join" || r.table == "sqlite_autoindex_chat_message_join_1") ? r.values[1].integer == 2
                    : r.table == "chat_message_join_idx_message_date_id_chat_id"                        ? r.values[2].integer == 2
                                                                                                          : false))
                r.values[0].integer = 2; // message 2 was of chat 3, from +15550001
            if (gone == Salvaged && r.table == "chat_message_join" && r.values[1].integer == 4)
                r.table = "gone"; // message 4, of chat 2 from +15550002, keeps only the salvaged pair
            if (gone == Salvaged && r.table == "message" && r.rowid == 2)
                r.values[date].kind = sqlcarve::Value::Kind::Lost;
            if (gone == Salvaged && r.table == "chat_message_join" && r.values[1].integer == 2) {
                r.rowid.reset(); // without rowid or date, only being whole tells it from the salvaged pair
                r.values[2].kind = sqlcarve::Value::Kind::Lost;
            }
            if (oneColumn)
                continue;
            if (r.table == "message" && gone == MovedCopy && r.rowid == 8)
                r.table = "lost"; // its rowid is free: the moved copy's place gives it
            if (r.table == "message" && gone == GuessedRowid && r.rowid == 6) {
                r.rowid = 8; // message 8 (lost below) was of chat 3, and its join row is dated otherwise
                r.rowidInferred = true;
            } else if (r.table == "message" && gone == GuessedRowid && r.rowid == 8) {
                r.table = "lost";
            } else if (r.table == "message" && gone == LiveText && r.rowid == 2) {
                r.rowid.reset();
                r.values[0] = lost();
                r.values[text].bytes = "message 1 of chat 2"; // live
            }
            // Both keep the chat first: a join whose chat is lost names nothing.
            if (((r.table == "chat_message_join_idx_message_date_id_chat_id" && gone != Salvaged)
                 || (r.table == "chat_message_join" && gone != JoinRows && gone != JoinRowsAndRoomNames))
                && r.values[0].kind == sqlcarve::Value::Kind::Integer)
                named.insert(r.values[r.indexEntry ? 2 : 1].integer);
            if (r.table == "message" && r.rowid && r.values[rooms].kind == sqlcarve::Value::Kind::Text)
                named.insert(*r.rowid);
        }
        if (gone == MovedCopy) {
            auto original = std::find_if(carved.rows.begin(), carved.rows.end(),
                                         [](const sqlcarve::CarvedRow& r) { return r.table == "message" && r.rowid == 6; });
            ASSERT_NE(original, carved.rows.end());
            sqlcarve::CarvedRow moved = *original;
            moved.rowid.reset();
            moved.values[0] = lost();
            // Each lost a value the other kept: neither stands for the other.
            moved.values.back().kind = sqlcarve::Value::Kind::Lost;
            original->values[original->values.size() - 2].kind = sqlcarve::Value::Kind::Lost;
            original->rowidInferred = true; // the carver's guess, right here
            moved.placement = sqlcarve::CarvedRow::Placement{7, 9};
            carved.rows.insert(carved.rows.begin(), moved);
        }
        if (gone == Salvaged) {
            sqlcarve::CarvedRow junk;
            junk.table = "chat_message_join";
            junk.salvaged = true;
            junk.values = {integer(1), integer(2), lost()}; // message 2 is of chat 3
            carved.rows.insert(carved.rows.begin(), junk);
            junk.values[1] = integer(4); // chat 1 is +15550001's alone
            carved.rows.insert(carved.rows.begin(), junk);
            junk.table = "message_attachment_join";
            junk.values = {integer(4), integer(1)}; // made long before message 4
            carved.rows.insert(carved.rows.begin(), junk);
        }
        if (gone == PairsGone)
            for (const auto& [row, message] : messageOfRow)
                if (chatOfRow.count(row))
                    named.insert(message);
        carved.rows.erase(std::remove_if(carved.rows.begin(), carved.rows.end(),
                                         [gone](const sqlcarve::CarvedRow& r) {
                                             if (r.table == "chat_message_join")
                                                 return gone == JoinRows || gone == JoinRowsAndRoomNames || gone == Everything || gone == PairsGone;
                                             if (!r.indexEntry)
                                                 return false;
                                             return gone == Everything || gone == Salvaged || (gone == ChatsLost && r.table != "chat_message_join_idx_chat_id")
                                                 || (gone == PairsGone && r.table.find("_only") == std::string::npos
                                                     && r.table != "chat_message_join_idx_chat_id");
                                         }),
                          carved.rows.end());
        if (gone == Everything)
            named.clear();
        sqlrecovery::RecordStore store;
        sqlrecovery::mapType(1, carved, db, store);
        int checkedGroup = 0;
        for (const MessageGroupRecord& g : store.messageGroups)
            for (const MessageRecord& m : g.messages) {
                const int n = m.text.section(QLatin1Char(' '), 1, 1).toInt(), chat = m.text.section(QLatin1Char(' '), 4, 4).toInt();
                ASSERT_TRUE(chat >= 1 && chat <= 3) << m.text.toStdString();
                ++reported[gone];
                EXPECT_TRUE(m.pieces.empty()) << gone << ": " << m.text.toStdString();
                EXPECT_FALSE(m.conversationGuessed && named.count(n)) << gone << ": " << m.text.toStdString();
                EXPECT_TRUE(gone != Everything || m.conversationGuessed) << m.text.toStdString();
                if ((chat == 3 && !named.count(n)) || n % 2 == 1 || (gone == WrongLink && n == 2))
                    continue;
                checkedGroup += chat == 3 ? 1 : 0;
                QStringList got = g.addresses;
                got.sort();
                EXPECT_EQ(got.join(QLatin1Char(',')).toStdString(), (chat == 3 ? group : direct[chat - 1]).join(QLatin1Char(',')).toStdString())
                    << gone << ": " << m.text.toStdString();
            }
        EXPECT_EQ(reported[gone] + (gone == GuessedRowid || gone == MovedCopy ? 1 : 0), reported[Nothing]) << gone;
        EXPECT_GE(checkedGroup, gone == Everything ? 0 : 10) << gone;
    }
}
