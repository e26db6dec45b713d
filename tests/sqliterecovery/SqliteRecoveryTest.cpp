#include "RecoveryFixture.h"
#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace {

using iosrecgen::Journal;
using recoverytest::OracleFixture;
using recoverytest::lost;
using recoverytest::integer;

struct Case {
    int type;
    int ios;
    Journal journal;
};
void PrintTo(const Case& c, std::ostream* os)
{
    static const char* const kTypes[] = {"contacts", "messages", "calls", "calendar", "notes", "bookmarks"};
    *os << kTypes[c.type] << "_ios" << c.ios << "_" << (c.journal == Journal::Wal ? "wal" : c.journal == Journal::Persist ? "persist" : "rollback");
}

std::vector<Case> allCases(std::initializer_list<Journal> journals)
{
    std::vector<Case> out;
    for (int type = 0; type < 6; ++type)
        for (int ios : iosrecgen::versionsFor(type))
            for (Journal j : journals)
                out.push_back({type, ios, j});
    return out;
}

// Records every step; answers false from step `refuseAt` on (never when negative).
struct RecordingProgress : ScanProgress {
    explicit RecordingProgress(double range, int refuseAt = -1) : m_range(range), m_refuseAt(refuseAt) {}
    double range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        sum += step;
        return m_refuseAt < 0 || int(steps.size()) <= m_refuseAt;
    }
    bool finish() override { return ++finishes > 0; }
    std::vector<double> steps;
    double sum = 0;
    int finishes = 0;
    double m_range;
    int m_refuseAt;
};

// Scans a generated database of one type whose deleted rows lie in the main file's free space.
void scanRollback(int type, iosrecgen::Options o, SqliteRecovery* recovery, iosrecgen::Expected* truth)
{
    QTemporaryDir dir;
    o.journal = Journal::Rollback;
    RecordingProgress progress(1.0);
    recovery->scanRecoveryForType(type, {iosrecgen::generate(type, dir.path(), o, truth)}, &progress);
}

class MappingTest : public ::testing::TestWithParam<Case>
{
};

// The mapping, fed what a perfect carver would find. Conversations list their newest message
// first.
TEST_P(MappingTest, RecoversEveryDeletedRowAndNoLiveOne)
{
    const Case c = GetParam();
    OracleFixture f(c.type, c.ios, c.journal);
    ASSERT_FALSE(f.db.isEmpty());
    EXPECT_TRUE(f.truth.warnings.isEmpty()) << f.truth.warnings.join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(f.carved.ok);
    const auto store = f.map(c.type);
    const Score s = f.scoreOf(c.type, store);
    EXPECT_EQ(s.whole, s.expected) << s.misses.join(QStringLiteral(", ")).toStdString();
    EXPECT_EQ(s.correct, s.reported);
    EXPECT_EQ(s.liveReported, 0);
    for (const auto& g : store.messageGroups)
        for (size_t i = 1; i < g.messages.size(); ++i)
            EXPECT_GE(g.messages[i - 1].date, g.messages[i].date);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, MappingTest, ::testing::ValuesIn(allCases({Journal::Rollback, Journal::Wal})));

// ---- the mapping's rules on damaged or unusual carved rows ---------------------------------

TEST(MappingRules, LostValuesStayEmptyAndAreNeverGuessed)
{
    OracleFixture f(2);
    auto calls = f.rowsOf("call");
    ASSERT_FALSE(calls.empty());
    calls.front()->values[f.column("call", "address")] = lost();
    calls.front()->values[f.column("call", "duration")] = lost();
    const auto store = f.map(2);
    ASSERT_EQ(store.calls.size(), f.truth.calls.size());
    EXPECT_TRUE(store.calls.front().address.isEmpty());
    EXPECT_EQ(store.calls.front().duration, 0);
    EXPECT_EQ(store.calls.front().date, f.truth.calls.front().date); // what survived is kept
}

TEST(MappingRules, FragmentsWithoutRowidRepeatNothingAndAreNoLiveRows)
{
    OracleFixture f(5);
    const size_t url = f.column("bookmarks", "url");
    sqlcarve::CarvedRow* deleted = nullptr;
    sqlcarve::CarvedRow* edited = nullptr; // an earlier version of a live bookmark
    for (auto* r : f.rowsOf("bookmarks"))
        (f.truth.liveTexts.contains(QString::fromStdString(r->values[url].bytes)) ? edited : deleted) = r;
    ASSERT_TRUE(deleted && edited);
    // The first bytes of a merged freeblock's row are gone: no rowid, first value lost.
    for (sqlcarve::CarvedRow fragment : {*deleted, *edited}) {
        fragment.rowid.reset();
        fragment.values[0] = lost();
        f.carved.rows.push_back(fragment);
    }
    const auto store = f.map(5);
    EXPECT_EQ(store.bookmarks.size(), f.truth.bookmarks.size());
    for (const auto& b : store.bookmarks)
        EXPECT_FALSE(f.truth.liveTexts.contains(b.url)) << b.url.toStdString();
}

// A deleted bookmark whose id now belongs to a different live bookmark.
TEST(MappingRules, RowidHandedOutAgainDoesNotHideTheDeletedRow)
{
    OracleFixture f(5);
    auto marks = f.rowsOf("bookmarks");
    ASSERT_FALSE(marks.empty());
    sqlcarve::CarvedRow reused = *marks.front();
    std::set<int64_t> carvedIds;
    for (const auto* m : marks)
        carvedIds.insert(*m->rowid);
    for (reused.rowid = 3; carvedIds.count(*reused.rowid); ++*reused.rowid) // the first live bookmark's id
        ;
    reused.values[f.column("bookmarks", "url")].bytes = "https://reused.example.org/only-here";
    reused.values[f.column("bookmarks", "title")].bytes = "Reused";
    f.carved.rows.push_back(reused);
    const auto store = f.map(5);
    EXPECT_TRUE(std::any_of(store.bookmarks.begin(), store.bookmarks.end(),
                            [](const BookmarkRecord& b) { return b.url == QLatin1String("https://reused.example.org/only-here"); }));
}

// A deleted bookmark names its folder: a live one by its row, one deleted with it by its carved
// row; when that row lost its id, only while it is the one such folder.
TEST(MappingRules, DeletedFolderNamesItsBookmarks)
{
    struct Case {
        bool keepsId;
        int folders;
        const char* named;
    };
    for (const Case& c : {Case{true, 1, "Old trips"}, Case{false, 1, "Old trips"}, Case{false, 2, ""}}) {
        OracleFixture f(5);
        const size_t url = f.column("bookmarks", "url"), parent = f.column("bookmarks", "parent");
        auto marks = f.rowsOf("bookmarks");
        // Deleted bookmarks only: the carve also holds earlier versions of live ones.
        std::set<std::string> deleted;
        for (const auto& b : f.truth.bookmarks)
            deleted.insert(b.url.toStdString());
        marks.erase(std::remove_if(marks.begin(), marks.end(), [&](const sqlcarve::CarvedRow* r) { return !deleted.count(r->values[url].bytes); }),
                    marks.end());
        ASSERT_GE(marks.size(), 1u);
        sqlcarve::CarvedRow folder = *marks.front();
        folder.rowid = c.keepsId ? std::optional<int64_t>(100000) : std::nullopt;
        folder.values[f.column("bookmarks", "id")] = sqlcarve::Value();
        folder.values[url] = sqlcarve::Value();
        folder.values[f.column("bookmarks", "type")] = integer(1);
        folder.values[f.column("bookmarks", "title")].bytes = "Old trips";
        const std::string moved = marks.front()->values[url].bytes;
        marks.front()->values[parent].integer = 100000;
        f.carved.rows.push_back(folder);
        if (c.folders == 2) {
            folder.values[f.column("bookmarks", "title")].bytes = "Recipes";
            f.carved.rows.push_back(folder);
        }
        const auto store = f.map(5);
        ASSERT_EQ(store.bookmarks.size(), f.truth.bookmarks.size());
        for (const auto& b : store.bookmarks)
            if (b.url.toStdString() == moved)
                EXPECT_EQ(b.folder, QLatin1String(c.named)) << c.keepsId << c.folders;
            else
                EXPECT_TRUE(b.folder == QLatin1String("BookmarksBar") || b.folder == QLatin1String("Travel")) << b.url.toStdString();
    }
}

TEST(MappingRules, NanosecondMessageDatesBecomeSeconds)
{
    OracleFixture f(1, 9);
    auto rows = f.rowsOf("message");
    ASSERT_FALSE(rows.empty());
    for (auto* r : rows)
        r->values[f.column("message", "date")].integer *= 1000000000LL;
    const auto store = f.map(1);
    ASSERT_FALSE(store.messageGroups.empty());
    for (const auto& g : store.messageGroups)
        for (const auto& m : g.messages) {
            EXPECT_GE(m.date, 400000000);
            EXPECT_LT(m.date, 400000000 + 48 * 600);
        }
}

// Two copies of one deleted message: one kept its rowid and little else, the other its text but
// not its rowid. The message is reported once, with its text.
TEST(MappingRules, AFragmentWithTheRowidKeepsTheOtherCopysText)
{
    OracleFixture f(1, 9);
    auto rows = f.rowsOf("message");
    ASSERT_FALSE(rows.empty());
    const size_t cGuid = f.column("message", "guid"), cText = f.column("message", "text");
    sqlcarve::CarvedRow fragment = *rows.front();
    const std::string text = fragment.values[cText].bytes;
    ASSERT_FALSE(text.empty());
    for (size_t i = 0; i < fragment.values.size(); ++i)
        if (i != cGuid)
            fragment.values[i] = lost();
    rows.front()->rowid.reset();
    f.carved.rows.push_back(fragment);
    const auto store = f.map(1);
    int found = 0;
    for (const auto& g : store.messageGroups)
        for (const auto& m : g.messages)
            found += m.text.toStdString() == text;
    EXPECT_EQ(found, 1);
}

// A deleted reaction (newer releases leave its text empty) is reported for what it was: its kind
// and the text of the message it was for, live or deleted with it; found by either form of
// associated_message_guid, and named by nothing when that message is gone.
TEST(MappingRules, DeletedReactionsNameTheirKindAndMessage)
{
    // The chat layout as it is from iOS 10 on: with the columns that tie a reaction to its message.
    OracleFixture f(1, 9);
    f.live(QStringLiteral("ALTER TABLE message ADD COLUMN associated_message_guid TEXT; "
                          "ALTER TABLE message ADD COLUMN associated_message_type INTEGER DEFAULT 0; "
                          "INSERT INTO message (ROWID, guid, text) VALUES (100000, 'LIVE-1', 'See you at noon')"));
    for (auto& t : f.carved.tables)
        if (t.name == "message")
            t.columns.insert(t.columns.end(), {{"associated_message_guid", "TEXT"}, {"associated_message_type", "INTEGER"}});
    const size_t cText = f.column("message", "text"), cGuid = f.column("message", "guid"),
                 cType = f.column("message", "associated_message_type"), cTarget = f.column("message", "associated_message_guid");
    // Deleted messages only: the carve also holds earlier versions of edited live ones.
    std::set<std::string> deleted;
    for (const auto& m : f.truth.messages)
        deleted.insert(m.message.text.toStdString());
    std::vector<sqlcarve::CarvedRow*> rows;
    for (auto* r : f.rowsOf("message")) {
        r->values.resize(r->values.size() + 2);
        if (deleted.count(r->values[cText].bytes))
            rows.push_back(r);
    }
    ASSERT_GE(rows.size(), 4u);
    const std::string deletedText = rows[3]->values[cText].bytes;
    const struct {
        int type;
        std::string target, wantTarget;
    } cases[] = {{2001, "p:0/LIVE-1", "See you at noon"}, {3000, "bp:" + rows[3]->values[cGuid].bytes, deletedText}, {2004, "p:0/GONE", ""}};
    for (size_t i = 0; i < 3; ++i) {
        auto& values = rows[i]->values;
        values[cText] = sqlcarve::Value();
        values[cType] = integer(cases[i].type);
        values[cTarget] = recoverytest::value(sqlcarve::Value::Kind::Text, 0, cases[i].target);
    }
    std::map<int, const MessageRecord*> reactions;
    const auto store = f.map(1);
    for (const auto& g : store.messageGroups)
        for (const auto& m : g.messages)
            if (m.reactionType)
                reactions[m.reactionType] = &m;
    ASSERT_EQ(reactions.size(), 3u);
    for (const auto& c : cases) {
        const MessageRecord& m = *reactions[c.type];
        EXPECT_EQ(m.reactionTarget, QString::fromStdString(c.wantTarget).remove(QChar(0xFFFC)).trimmed()) << c.type;
        EXPECT_TRUE(m.text.isEmpty()) << c.type;
    }
}

// ---- messages whose link rows (chat, participants, attachments) did not survive -----------------

// Without its chat_message_join row a deleted message still finds its conversation when what
// survives names exactly one: its sender's only chat, its sender's one-to-one chat beside a group,
// or the room name it cached; otherwise it stays apart rather than join a wrong conversation.
// The live link rows some cases add take the rowids of deleted ones, which must not hide them.
TEST(MessageLinks, ConversationOfAMessageWhoseJoinRowIsLost)
{
    const QString friend5 = QStringLiteral("friend5@example.com");
    const struct {
        const char* name;
        bool alsoInGroup;     // the senders of chats 1 and 4 take part in a live group as well
        bool lostDirectJoins; // and their one-to-one chats lost their chat_handle_join rows
        bool friendElsewhere; // the lost group's sender also sits in a live chat with someone else
        bool keepRoomNames;   // false: the lost group's messages cannot be placed
    } cases[] = {
        {"each sender in one chat", false, false, false, true},
        {"one-to-one chat beside a group", true, false, false, true},
        {"one-to-one chat named after its partner", true, true, false, true},
        {"group message found by its room", false, false, true, true},
        {"group message without its room", false, false, true, false},
    };
    for (const auto& c : cases) {
        OracleFixture f(1, 8);
        f.drop("chat_message_join");
        if (c.alsoInGroup)
            f.live(QStringLiteral("INSERT INTO chat (guid, style, state, chat_identifier, service_name, room_name) "
                                  "VALUES ('SMS;+;chat1', 43, 3, 'chat1', 'SMS', 'chat1'); "
                                  "INSERT INTO chat_handle_join (chat_id, handle_id) SELECT last_insert_rowid(), ROWID "
                                  "FROM handle WHERE id IN ('+15551001', '+15551004')"));
        if (c.lostDirectJoins)
            f.live(QStringLiteral("DELETE FROM chat_handle_join WHERE chat_id IN (SELECT ROWID FROM chat WHERE "
                                  "chat_identifier IN ('+15551001', '+15551004'))"));
        if (c.friendElsewhere) {
            int64_t h = 0;
            for (auto* r : f.rowsOf("handle"))
                if (r->values[f.column("handle", "id")].bytes == friend5.toStdString())
                    h = r->rowid.value_or(0);
            ASSERT_GT(h, 0);
            f.live(QStringLiteral("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (1, %1)").arg(h));
        }
        if (!c.keepRoomNames)
            for (auto* r : f.rowsOf("message"))
                r->values[f.column("message", "cache_roomnames")] = sqlcarve::Value();
        const auto store = f.map(1, false);
        const Score s = f.scoreOf(1, store);
        // A conversation names exactly its own participants: no message joined a wrong one.
        std::map<QString, QStringList> participants;
        for (const auto& m : f.truth.messages)
            participants[m.message.text] = m.groupAddresses;
        for (const auto& g : store.messageGroups)
            for (const auto& m : g.messages) {
                QStringList want = participants[m.text], got = g.addresses;
                want.sort();
                got.sort();
                EXPECT_TRUE(got == want || (want.contains(friend5) && !c.keepRoomNames)) << c.name << ": " << m.text.toStdString();
            }
        const int lostGroup = int(std::count_if(f.truth.messages.begin(), f.truth.messages.end(),
                                                [&](const iosrecgen::ExpectedMessage& m) { return m.groupAddresses.contains(friend5); }));
        ASSERT_GT(lostGroup, 0);
        EXPECT_EQ(s.whole, s.expected - (c.keepRoomNames ? 0 : lostGroup)) << c.name << ": " << s.summary().toStdString();
        EXPECT_EQ(s.correct, s.reported) << c.name;
    }
}

// Without its message_attachment_join row a deleted attachment goes with the one message dated
// within moments of its creation, and with none when another message, deleted or live, is as near.
TEST(MessageLinks, AttachmentPairedByItsCreationTime)
{
    enum Neighbour { None, Deleted, Live, SecondVersion, IndexEntry };
    for (Neighbour n : {None, Deleted, Live, SecondVersion, IndexEntry}) {
        OracleFixture f(1, 8);
        f.drop("message_attachment_join");
        const size_t text = f.column("message", "text"), date = f.column("message", "date");
        sqlcarve::CarvedRow* target = nullptr;
        sqlcarve::CarvedRow* other = nullptr;
        for (auto* r : f.rowsOf("message"))
            (QString::fromStdString(r->values[text].bytes).contains(QChar(0xFFFC)) ? target : other) = r;
        ASSERT_TRUE(target && other);
        const int64_t when = target->values[date].integer;
        const QString start = QString::fromStdString(target->values[text].bytes).left(12);
        if (n == Deleted)
            other->values[date].integer = when + 10;
        if (n == Live)
            f.live(QStringLiteral("UPDATE message SET date = %1 WHERE ROWID = (SELECT min(ROWID) FROM message)").arg(when + 10));
        if (n == IndexEntry) {
            // The join row survives as an entry of its index, and the message has a second
            // place: the picture it names is given once, not again by its creation time.
            int64_t picture = 0;
            for (auto* r : f.rowsOf("attachment"))
                if (std::llabs(r->values[f.column("attachment", "created_date")].integer - when) <= 30)
                    picture = r->rowid.value_or(0);
            ASSERT_GT(picture, 0);
            target->values[text].bytes += "\xEF\xBF\xBC";
            sqlcarve::CarvedRow entry;
            entry.table = "sqlite_autoindex_message_attachment_join_1";
            entry.indexEntry = true;
            entry.rowid = 1000;
            entry.values = {integer(*target->rowid), integer(picture), integer(1000)};
            f.carved.rows.push_back(entry);
        }
        if (n == SecondVersion) {
            // An earlier copy of the same message (same guid) without its rowid is no rival.
            sqlcarve::CarvedRow copy = *target;
            copy.rowid.reset();
            copy.values[f.column("message", "cache_roomnames")] = sqlcarve::Value();
            f.carved.rows.push_back(copy);
        }
        const auto store = f.map(1, false);
        int reported = 0, images = 0;
        bool withImage = false;
        for (const auto& g : store.messageGroups)
            for (const auto& m : g.messages)
                if (m.date == int(when) && m.text.startsWith(start)) {
                    ++reported;
                    images += int(std::count_if(m.pieces.begin(), m.pieces.end(), [](const MessagePieceRecord& p) { return p.kind == 0; }));
                    withImage = images > 0;
                }
        EXPECT_EQ(reported, 1) << "case " << n;
        EXPECT_EQ(images, n == None || n == SecondVersion || n == IndexEntry ? 1 : 0) << "case " << n;
        const Score s = f.scoreOf(1, store);
        EXPECT_TRUE(s.whole == s.expected || !withImage || n == IndexEntry) << s.summary().toStdString();
    }
}

// ---- the whole scan, with the real carver ------------------------------------------------------

class RecoveryTest : public ::testing::TestWithParam<Case>
{
};

TEST_P(RecoveryTest, ReportsNoLiveRecordAndAllItsProgress)
{
    const Case c = GetParam();
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.iosMajor = c.ios;
    o.journal = c.journal;
    iosrecgen::Expected truth;
    const QString db = iosrecgen::generate(c.type, dir.path(), o, &truth);
    ASSERT_FALSE(db.isEmpty());
    SqliteRecovery recovery;
    RecordingProgress progress(1000.0);
    EXPECT_GE(recovery.scanRecoveryForType(c.type, {dir.filePath(QStringLiteral("unrelated.db")), db}, &progress), 0);
    const Score s = score(expectedItems(c.type, truth), reportedItems(c.type, recovery), truth.liveTexts);
    EXPECT_EQ(s.liveReported, 0) << s.summary().toStdString();
    EXPECT_NEAR(progress.sum, 1000.0, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, RecoveryTest, ::testing::ValuesIn(allCases({Journal::Rollback, Journal::Wal, Journal::Persist})));

// Deleted people of rollback-journal address books, whose records lie only in the main file's
// free space. On iOS 8 the last part of each address (a short ZIP text) lost its record header
// to the freeblock's; on iOS 5 most multi-values survive only as deleted index entries.
TEST(SqliteRecoveryScan, RollbackAddressBooksGiveBackTheirPeople)
{
    const struct {
        int ios;
        int minWhole; // of 24
    } cases[] = {{8, 22}, {5, 16}};
    for (const auto& c : cases) {
        iosrecgen::Options o;
        o.iosMajor = c.ios;
        iosrecgen::Expected truth;
        SqliteRecovery recovery;
        scanRollback(0, o, &recovery, &truth);
        const Score s = score(expectedItems(0, truth), reportedItems(0, recovery), truth.liveTexts);
        EXPECT_GE(s.whole, c.minWhole) << "iOS " << c.ios << ": " << s.summary().toStdString();
        EXPECT_EQ(s.liveReported, 0);
    }
}

// Edited notes leave their earlier bodies in free space beside the deleted notes' rows; a body
// that lost its rowid may be given one a deleted note points to, but its own owner column says
// whose it is. Whatever comes back with a note's title is that note's text.
TEST(SqliteRecoveryScan, DeletedNotesKeepTheirOwnBodies)
{
    for (int ios : {8, 9}) {
        for (int rows : {24, 48, 96}) {
            iosrecgen::Options o;
            o.iosMajor = ios;
            o.rows = rows;
            o.deleteEvery = 4;
            iosrecgen::Expected truth;
            SqliteRecovery recovery;
            scanRollback(4, o, &recovery, &truth);
            std::map<QString, QString> expected;
            for (const NoteRecord& n : truth.notes)
                expected[n.title] = n.content;
            for (unsigned i = 0; i < recovery.getNoteCount(); ++i) {
                const NoteRecord* n = recovery.getNote(i);
                if (n->title.isEmpty() || n->content.isEmpty() || !expected.count(n->title))
                    continue;
                EXPECT_TRUE(expected[n->title].startsWith(n->content)) << "iOS " << ios << ", " << rows << " rows: "
                                                                      << n->title.toStdString() << " holds "
                                                                      << n->content.left(40).toStdString();
            }
        }
    }
}

// ---- the public interface ----------------------------------------------------------------------

TEST(SqliteRecoveryApi, PicksEachTypesDatabaseByFileName)
{
    SqliteRecovery r;
    const QStringList files = {QStringLiteral("/w/sms.db"),           QStringLiteral("/w/AddressBook.db"), QStringLiteral("/w/AddressBook.sqlitedb"),
                               QStringLiteral("/w/CALL_HISTORY.DB"),  QStringLiteral("/w/Calendar.sqlitedb"), QStringLiteral("/w/notes.sqlite"),
                               QStringLiteral("/w/notes.db"),         QStringLiteral("/w/Bookmarks.db"),   QStringLiteral("/w/sms.db-wal"),
                               QStringLiteral("/w/xsms.db")};
    const struct {
        int type;
        QStringList files;
        const char* want;
    } table[] = {
        {0, files, "/w/AddressBook.sqlitedb"}, {1, files, "/w/sms.db"},     {2, files, "/w/CALL_HISTORY.DB"},
        {3, files, "/w/Calendar.sqlitedb"},    {4, files, "/w/notes.db"},   {5, files, "/w/Bookmarks.db"},
        {6, files, ""},                        {-1, files, ""},             {0, {QStringLiteral("/w/AddressBook.db")}, "/w/AddressBook.db"},
        {4, {QStringLiteral("/w/notes.sqlite")}, "/w/notes.sqlite"},        {1, {}, ""},
    };
    for (const auto& row : table)
        EXPECT_EQ(r.dbFileForType(row.type, row.files).toStdString(), row.want) << "type " << row.type;
}

// A database that is missing, garbage or cut short finds nothing (or what its intact part
// holds) and still reports its whole share of progress.
TEST(SqliteRecoveryApi, MissingGarbageOrTruncatedFilesGiveNoRecordsAndNoCrash)
{
    QTemporaryDir dir;
    const QByteArray bytes = testsupport::readFile(iosrecgen::generate(1, dir.filePath(QStringLiteral("real")), iosrecgen::Options(), nullptr));
    ASSERT_GT(bytes.size(), 8192);
    QByteArray noise(40000, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) ^ (i >> 3));
    const QList<QByteArray> bodies = {QByteArray(), noise, QByteArray("SQLite format 3").append('\0').append(noise),
                                      bytes.left(100), bytes.left(bytes.size() / 2), bytes.left(4096 + 17)};
    for (int i = 0; i < bodies.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("case%1/sms.db").arg(i));
        ASSERT_TRUE(testsupport::writeFile(path, bodies[i]));
        SqliteRecovery r;
        RecordingProgress progress(10.0);
        EXPECT_GE(r.scanRecoveryForType(1, {path}, &progress), 0) << "case " << i;
        EXPECT_TRUE(i >= 4 || r.getMessageGroupCount() == 0) << "case " << i;
        EXPECT_NEAR(progress.sum, 10.0, 1e-9) << "case " << i;
        // Said of the file by its name, never by the folder it was read from (a working copy).
        for (const QString& problem : r.problems())
            EXPECT_FALSE(problem.contains(dir.path())) << problem.toStdString();
        EXPECT_TRUE(i != 4 || r.problems().join(QLatin1Char('\n')).contains(QLatin1String("sms.db: it ends before")))
            << r.problems().join(QLatin1Char('\n')).toStdString();
    }
    SqliteRecovery r;
    RecordingProgress progress(250.0);
    EXPECT_EQ(r.scanRecoveryForType(1, {QStringLiteral("/nonexistent/Calendar.sqlitedb")}, &progress), -1);
    EXPECT_NEAR(progress.sum, 250.0, 1e-9);
    EXPECT_EQ(r.scanRecoveryForType(2, {QStringLiteral("/nonexistent/call_history.db")}, nullptr), 0);
    EXPECT_EQ(r.getCallhistoryCount(), 0u);
    EXPECT_EQ(r.getCallhistory(0), nullptr);
}

TEST(SqliteRecoveryApi, ProgressAddsUpToTheRangeAndAFalseAnswerStops)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.rows = 400;
    const QString db = iosrecgen::generate(1, dir.path(), o, nullptr);
    SqliteRecovery r;
    RecordingProgress progress(625.0);
    r.scanRecoveryForType(1, {db}, &progress);
    EXPECT_NEAR(progress.sum, 625.0, 1e-6);
    EXPECT_TRUE(std::all_of(progress.steps.begin(), progress.steps.end(), [](double s) { return s > 0; }));
    EXPECT_EQ(progress.finishes, 0); // the caller finishes its own share
    SqliteRecovery refused;
    RecordingProgress refusing(625.0, 0); // refuses its first call
    refused.scanRecoveryForType(1, {db}, &refusing);
    EXPECT_EQ(refusing.steps.size(), 1u);
    EXPECT_EQ(refused.getMessageGroupCount(), 0u);
}

TEST(SqliteRecoveryApi, EachScanReplacesOnlyItsOwnTypesRecordsAndWritesNothing)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.journal = Journal::Wal;
    const QStringList files = {iosrecgen::generate(2, dir.filePath(QStringLiteral("a")), o, nullptr),
                               iosrecgen::generate(4, dir.filePath(QStringLiteral("b")), o, nullptr)};
    const auto before = testsupport::snapshotFolder(dir.path());
    SqliteRecovery r;
    r.scanRecoveryForType(2, files, nullptr);
    const unsigned callCount = r.getCallhistoryCount();
    EXPECT_GT(callCount, 0u);
    r.scanRecoveryForType(4, files, nullptr);
    EXPECT_EQ(r.getCallhistoryCount(), callCount);
    r.scanRecoveryForType(2, files, nullptr);
    EXPECT_EQ(r.getCallhistoryCount(), callCount); // not doubled
    EXPECT_EQ(testsupport::snapshotFolder(dir.path()), before);
}

} // namespace
