#include <gtest/gtest.h>

#include "TestSupport.h"
#include "contact/IBackupContact.h"
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
        EXPECT_EQ(chat->pieces()[i]->isText(), pieces[i].text) << pieces[i].type;
        EXPECT_EQ(chat->pieces()[i]->isImage(), pieces[i].image) << pieces[i].type;
    }

    group.setAddrIds({{"+15551234", "Ann"}});
    EXPECT_EQ(group.nameForAddr("+15551234"), "Ann");
    EXPECT_EQ(group.nameForAddr("+1999"), "+1999"); // unknown addresses name themselves
}

TEST(KdSMS, FromSMSDbTakesEveryMessageAndPieceInOrder)
{
    SmsPieceRecord image{"image/jpeg", "10-2.jpg", reinterpret_cast<const unsigned char*>("\xff\xd8\x00\x01"), 4, nullptr};
    SmsPieceRecord text{"text/plain", "", reinterpret_cast<const unsigned char*>("Hi"), 2, &image};
    SmsMessageRecord mms{10, "+15550100", "", 1300000000, "Pics", 0, 1, 1, &text, nullptr};
    SmsMessageRecord plain{4, "ann@example.com", "Hello", 1328307200, nullptr, 1, 0, 0, nullptr, &mms};
    const SmsConversationRecord record{nullptr, 3, &plain, 2, &mms, nullptr};

    KdSMSChatGroup group;
    EXPECT_FALSE(group.fromSMSDb(nullptr));
    group.setAddrIds({{"+15550100", "Bo"}});
    for (int load = 0; load < 2; ++load) // a second load replaces the chats
        ASSERT_TRUE(group.fromSMSDb(&record));
    EXPECT_EQ(group.nameForAddr("+15550100"), "Bo");
    QStringList got;
    for (const KdSMSChat* c : group.chats()) {
        QStringList line{c->msgDate().toString(Qt::ISODate), c->addr(), c->subject(), c->content(),
                         QString::number(c->isFromMe() + 2 * c->isSentDone() + 4 * c->isNormalSMS())};
        for (const KdSMSPiece* p : c->pieces())
            line << p->pieceType() + ' ' + p->pieceLocation() + ' ' + p->pieceData().toHex();
        got << line.join('|');
    }
    EXPECT_EQ(got, QStringList({"2012-02-03T22:13:20Z|ann@example.com||Hello|1",
                                "2011-03-13T07:06:40Z|+15550100|Pics||6|text/plain  4869|image/jpeg 10-2.jpg ffd80001"}));
}
