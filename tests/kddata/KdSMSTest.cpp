#include <gtest/gtest.h>

#include "TestSupport.h"

#include <iterator>

#include "kddata/KdSMSChatGroup.h"

TEST(KdSMS, ConversationKeepsMessagesAndPiecesInOrder)
{
    KdSMSChatGroup group;
    const QDateTime when(QDate(2013, 2, 3), QTime(4, 5, 6), Qt::UTC);
    for (int i = 0; i < 3; ++i) {
        auto* chat = new KdSMSChat;
        chat->setContent(QString("m%1").arg(i));
        chat->setMsgDate(when.addSecs(i));
        group.addChat(chat);
        if (i == 2)
            group.addChat(chat); // re-adding the last chat is ignored
    }
    group.addChat(nullptr);
    ASSERT_EQ(group.chats().size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(group.chats()[i]->content(), QString("m%1").arg(i));
        EXPECT_EQ(group.chats()[i]->msgDate(), when.addSecs(i));
    }

    struct PieceCase {
        const char* type;
        bool text;
        bool image;
    };
    const PieceCase pieces[] = {
        {"text", true, false},       {"text/plain", true, false},  {"image", false, true},
        {"image/jpeg", false, true}, {"video/mp4", false, false}, {"textual", false, false},
    };
    KdSMSChat* chat = group.chats()[0];
    for (const PieceCase& pc : pieces) {
        auto* piece = new KdSMSPiece;
        piece->setPieceType(pc.type);
        chat->addPiece(piece);
    }
    chat->addPiece(nullptr);
    ASSERT_EQ(chat->pieces().size(), int(std::size(pieces)));
    for (size_t i = 0; i < std::size(pieces); ++i) {
        const KdSMSPiece* piece = chat->pieces()[int(i)];
        SCOPED_TRACE(pieces[i].type);
        EXPECT_EQ(piece->pieceType(), pieces[i].type);
        EXPECT_EQ(piece->isText(), pieces[i].text);
        EXPECT_EQ(piece->isImage(), pieces[i].image);
    }

    QMap<QString, QString> ids;
    ids.insert("+15551234", "Ann");
    group.setAddrIds(ids);
    EXPECT_EQ(group.nameForAddr("+15551234"), "Ann");
    EXPECT_EQ(group.nameForAddr("+1999"), "+1999"); // unknown addresses name themselves
}
