#include <gtest/gtest.h>

#include "TestSupport.h"
#include "kddata/KdSMSChatGroup.h"

TEST(KdSMS, ConversationKeepsMessagesAndPiecesInOrder)
{
    KdSMSChatGroup group;
    for (int i = 0; i < 3; ++i) {
        auto* chat = new KdSMSChat;
        chat->setContent(QString("m%1").arg(i));
        group.addChat(chat);
        if (i == 2)
            group.addChat(chat); // re-adding the last chat is ignored
    }
    group.addChat(nullptr);
    QStringList contents;
    for (const KdSMSChat* chat : group.chats())
        contents << chat->content();
    EXPECT_EQ(contents, QStringList({"m0", "m1", "m2"}));

    const struct {
        const char* type;
        bool text;
        bool image;
    } pieces[] = {
        {"text", true, false},       {"text/plain", true, false}, {"image", false, true},
        {"image/jpeg", false, true}, {"video/mp4", false, false}, {"textual", false, false},
    };
    KdSMSChat* chat = group.chats()[0];
    for (const auto& pc : pieces) {
        auto* piece = new KdSMSPiece;
        piece->setPieceType(pc.type);
        chat->addPiece(piece);
    }
    chat->addPiece(nullptr);
    ASSERT_EQ(chat->pieces().size(), int(std::size(pieces)));
    for (int i = 0; i < chat->pieces().size(); ++i) {
        EXPECT_EQ(chat->pieces()[i]->pieceType(), pieces[i].type);
        EXPECT_EQ(chat->pieces()[i]->isText(), pieces[i].text) << pieces[i].type;
        EXPECT_EQ(chat->pieces()[i]->isImage(), pieces[i].image) << pieces[i].type;
    }

    group.setAddrIds({{"+15551234", "Ann"}});
    EXPECT_EQ(group.nameForAddr("+15551234"), "Ann");
    EXPECT_EQ(group.nameForAddr("+1999"), "+1999"); // unknown addresses name themselves
}
