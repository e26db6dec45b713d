#include "RecoveryScore.h"
#include "sqliterecovery/SqliteRecovery.h"
#include "TestSupport.h"
#include "iosrecgen.h"

#include "../../lib/sqliterecovery/RecoveryContext_p.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace {

const char* journalName(iosrecgen::Journal j)
{
    switch (j) {
    case iosrecgen::Journal::Rollback:
        return "rollback";
    case iosrecgen::Journal::Wal:
        return "wal";
    case iosrecgen::Journal::Persist:
        return "persist";
    }
    return "?";
}

const char* const kTypeNames[] = {"contacts", "messages", "calls", "calendar", "notes", "bookmarks"};

struct Case {
    int type;
    int ios;
    iosrecgen::Journal journal;
};

std::vector<Case> allCases(std::initializer_list<iosrecgen::Journal> journals)
{
    std::vector<Case> out;
    for (int type = 0; type < 6; ++type)
        for (int ios : iosrecgen::versionsFor(type))
            for (auto j : journals)
                out.push_back({type, ios, j});
    return out;
}

std::string caseName(const Case& c)
{
    return std::string(kTypeNames[c.type]) + "_ios" + std::to_string(c.ios) + "_" + journalName(c.journal);
}

// Records every call; answers false from call `refuseAt` on (never when negative).
class RecordingProgress : public ScanProgress
{
public:
    explicit RecordingProgress(double range, int refuseAt = -1) : m_range(range), m_refuseAt(refuseAt) {}
    double range() override { return m_range; }
    bool progress(double step) override
    {
        steps.push_back(step);
        return m_refuseAt < 0 || int(steps.size()) <= m_refuseAt;
    }
    bool finish() override
    {
        ++finishes;
        return true;
    }
    double sum() const
    {
        double s = 0;
        for (double x : steps)
            s += x;
        return s;
    }
    std::vector<double> steps;
    int finishes = 0;

private:
    double m_range;
    int m_refuseAt;
};

bool carverWorks()
{
    static const bool works = [] {
        QTemporaryDir dir;
        iosrecgen::Options o;
        o.rows = 8;
        const QString db = iosrecgen::generate(2, dir.path(), o, nullptr);
        return sqlcarve::carveFile(db.toStdString()).ok;
    }();
    return works;
}

} // namespace

// ---- the mapping, fed what a perfect carver would find ---------------------------------------

class MappingTest : public ::testing::TestWithParam<Case>
{
};

TEST_P(MappingTest, RecoversEveryDeletedRowAndNoLiveOne)
{
    const Case c = GetParam();
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.iosMajor = c.ios;
    o.journal = c.journal;
    o.snapshotBefore = dir.filePath(QStringLiteral("before.snapshot"));
    iosrecgen::Expected truth;
    const QString db = iosrecgen::generate(c.type, dir.path(), o, &truth);
    ASSERT_FALSE(db.isEmpty());
    EXPECT_TRUE(truth.warnings.isEmpty()) << truth.warnings.join(QLatin1Char('\n')).toStdString();

    const sqlcarve::Result oracle = iosrecgen::oracleCarve(o.snapshotBefore, db);
    ASSERT_TRUE(oracle.ok);
    sqlrecovery::RecordStore store;
    sqlrecovery::mapType(c.type, oracle, db, store);
    const std::vector<ScoredItem> reported = reportedItems(c.type, StoreView(store));
    const Score s = score(expectedItems(c.type, truth), reported, truth.liveTexts, db);
    std::printf("[mapping] %-28s %s\n", caseName(c).c_str(), s.summary().toUtf8().constData());
    EXPECT_EQ(s.whole, s.expected) << s.misses.join(QStringLiteral(", ")).toStdString();
    EXPECT_EQ(s.correct, s.reported);
    EXPECT_EQ(s.liveReported, 0);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, MappingTest,
                         ::testing::ValuesIn(allCases({iosrecgen::Journal::Rollback, iosrecgen::Journal::Wal})),
                         [](const ::testing::TestParamInfo<Case>& info) { return caseName(info.param); });

// ---- the mapping's rules on damaged or unusual carved rows ---------------------------------

namespace {

struct OracleFixture {
    QTemporaryDir dir;
    QString db;
    iosrecgen::Expected truth;
    sqlcarve::Result carved;

    explicit OracleFixture(int type, int ios = 8)
    {
        iosrecgen::Options o;
        o.iosMajor = ios;
        o.snapshotBefore = dir.filePath(QStringLiteral("before.snapshot"));
        db = iosrecgen::generate(type, dir.path(), o, &truth);
        carved = iosrecgen::oracleCarve(o.snapshotBefore, db);
    }

    std::vector<sqlcarve::CarvedRow*> rowsOf(const std::string& table)
    {
        std::vector<sqlcarve::CarvedRow*> out;
        for (auto& r : carved.rows)
            if (r.table == table)
                out.push_back(&r);
        return out;
    }

    int column(const std::string& table, const std::string& name) const
    {
        for (const auto& t : carved.tables)
            if (t.name == table)
                for (size_t i = 0; i < t.columns.size(); ++i)
                    if (t.columns[i].name == name)
                        return int(i);
        return -1;
    }

    sqlrecovery::RecordStore map(int type, bool salvageLinks = true)
    {
        sqlrecovery::RecordStore store;
        sqlrecovery::mapType(type, carved, db, store, true, salvageLinks);
        return store;
    }

    void drop(const std::string& table)
    {
        carved.rows.erase(std::remove_if(carved.rows.begin(), carved.rows.end(),
                                         [&](const sqlcarve::CarvedRow& r) { return r.table == table; }),
                          carved.rows.end());
    }

    // Changes the live database (what the device kept) behind the carve result.
    void live(const QString& sql)
    {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(db.toUtf8().constData(), &h), SQLITE_OK);
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(h, sql.toUtf8().constData(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(h);
    }

    Score scoreOf(int type, const sqlrecovery::RecordStore& store)
    {
        return score(expectedItems(type, truth), reportedItems(type, StoreView(store)), truth.liveTexts, db);
    }
};

sqlcarve::Value lost()
{
    sqlcarve::Value v;
    v.kind = sqlcarve::Value::Kind::Lost;
    return v;
}

} // namespace

TEST(MappingRules, LostValuesStayEmptyAndAreNeverGuessed)
{
    OracleFixture f(2);
    auto calls = f.rowsOf("call");
    ASSERT_FALSE(calls.empty());
    const int address = f.column("call", "address"), duration = f.column("call", "duration");
    calls.front()->values[size_t(address)] = lost();
    calls.front()->values[size_t(duration)] = lost();
    const auto store = f.map(2);
    ASSERT_EQ(store.calls.size(), f.truth.calls.size());
    const CallhistoryRecord& c = store.calls.front();
    EXPECT_TRUE(c.address.isEmpty());
    EXPECT_EQ(c.duration, 0);
    EXPECT_EQ(c.date, f.truth.calls.front().date); // what survived is kept
}

TEST(MappingRules, FragmentsWithoutRowidRepeatNothingAndAreNoLiveRows)
{
    OracleFixture f(5);
    const int url = f.column("bookmarks", "url");
    sqlcarve::CarvedRow* deleted = nullptr;
    sqlcarve::CarvedRow* edited = nullptr; // an earlier version of a live bookmark
    for (auto* r : f.rowsOf("bookmarks")) {
        const QString u = QString::fromStdString(r->values[size_t(url)].bytes);
        (f.truth.liveTexts.contains(u) ? edited : deleted) = r;
    }
    ASSERT_TRUE(deleted && edited);
    // The first bytes of a merged freeblock's row are gone: no rowid, first value lost.
    for (sqlcarve::CarvedRow* source : {deleted, edited}) {
        sqlcarve::CarvedRow fragment = *source;
        fragment.rowid.reset();
        fragment.values[0] = lost();
        f.carved.rows.push_back(fragment);
    }
    const auto store = f.map(5);
    EXPECT_EQ(store.bookmarks.size(), f.truth.bookmarks.size());
    for (const auto& b : store.bookmarks)
        EXPECT_FALSE(f.truth.liveTexts.contains(b.url)) << b.url.toStdString();
}

TEST(MappingRules, RowidHandedOutAgainDoesNotHideTheDeletedRow)
{
    OracleFixture f(5);
    auto marks = f.rowsOf("bookmarks");
    ASSERT_FALSE(marks.empty());
    // A deleted bookmark whose id now belongs to a different live bookmark.
    sqlcarve::CarvedRow reused = *marks.front();
    std::set<int64_t> carvedIds;
    for (const auto* m : marks)
        carvedIds.insert(*m->rowid);
    for (int64_t id = 3;; ++id)
        if (!carvedIds.count(id)) { // a live bookmark's id
            reused.rowid = id;
            break;
        }
    const QString url = QStringLiteral("https://reused.example.org/only-here");
    reused.values[size_t(f.column("bookmarks", "url"))].bytes = url.toStdString();
    reused.values[size_t(f.column("bookmarks", "title"))].bytes = "Reused";
    f.carved.rows.push_back(reused);
    const auto store = f.map(5);
    bool found = false;
    for (const auto& b : store.bookmarks)
        found = found || b.url == url;
    EXPECT_TRUE(found);
}

TEST(MappingRules, NanosecondMessageDatesBecomeSeconds)
{
    OracleFixture f(1, 9);
    const int date = f.column("message", "date");
    auto rows = f.rowsOf("message");
    ASSERT_FALSE(rows.empty());
    for (auto* r : rows)
        r->values[size_t(date)].integer *= 1000000000LL;
    const auto store = f.map(1);
    ASSERT_FALSE(store.messageGroups.empty());
    for (const auto& g : store.messageGroups)
        for (const auto& m : g.messages) {
            EXPECT_GT(m.date, 400000000 - 1);
            EXPECT_LT(m.date, 400000000 + 48 * 600);
        }
}

TEST(MappingRules, ConversationsListNewestMessageFirstAndNameTheirParticipants)
{
    OracleFixture f(1, 8);
    const auto store = f.map(1);
    ASSERT_FALSE(store.messageGroups.empty());
    for (const auto& g : store.messageGroups) {
        EXPECT_FALSE(g.addresses.isEmpty());
        for (size_t i = 1; i < g.messages.size(); ++i)
            EXPECT_GE(g.messages[i - 1].date, g.messages[i].date);
    }
}

TEST(MappingRules, ContactLabelsAreReadableAndAddressesKeepTheirParts)
{
    OracleFixture f(0, 8);
    const auto store = f.map(0);
    bool sawAddress = false, sawMobile = false, sawCustom = false;
    for (const auto& p : store.contacts)
        for (const PersonPropertyRecord* v : p.properties) {
            sawMobile = sawMobile || v->label == QLatin1String("mobile");
            sawCustom = sawCustom || v->label == QLatin1String("Summer house");
            if (v->type == 5) {
                sawAddress = true;
                EXPECT_TRUE(v->value.isEmpty());
                EXPECT_TRUE(v->valueEntry.contains(QStringLiteral("Street")));
                EXPECT_TRUE(v->valueEntry.contains(QStringLiteral("City")));
            }
        }
    EXPECT_TRUE(sawAddress);
    EXPECT_TRUE(sawMobile);
    EXPECT_TRUE(sawCustom);
}

// ---- messages whose link rows (chat, participants, attachments) did not survive -----------------

namespace {

// Rowid of the carved (deleted) row of `table` whose `column` holds `value`; 0 when none.
int64_t carvedRowid(OracleFixture& f, const std::string& table, const std::string& column, const std::string& value)
{
    const int c = f.column(table, column);
    for (auto* r : f.rowsOf(table))
        if (r->values[size_t(c)].bytes == value)
            return r->rowid.value_or(0);
    return 0;
}

int countWithParticipant(const iosrecgen::Expected& truth, const QString& address)
{
    return int(std::count_if(truth.messages.begin(), truth.messages.end(),
                             [&](const iosrecgen::ExpectedMessage& m) { return m.groupAddresses.contains(address); }));
}

} // namespace

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
        bool keepRoomNames;
        bool lostGroupWhole;
    } cases[] = {
        {"each sender in one chat", false, false, false, true, true},
        {"one-to-one chat beside a group", true, false, false, true, true},
        {"one-to-one chat named after its partner", true, true, false, true, true},
        {"group message found by its room", false, false, true, true, true},
        {"group message without its room", false, false, true, false, false},
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
            const int64_t h = carvedRowid(f, "handle", "id", friend5.toStdString());
            ASSERT_GT(h, 0);
            f.live(QStringLiteral("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (1, %1)").arg(h));
        }
        if (!c.keepRoomNames)
            for (auto* r : f.rowsOf("message"))
                r->values[size_t(f.column("message", "cache_roomnames"))] = sqlcarve::Value();
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
                if (!want.contains(friend5) || c.lostGroupWhole) {
                    EXPECT_EQ(got, want) << c.name << ": " << m.text.toStdString();
                }
            }
        const int lostGroup = countWithParticipant(f.truth, friend5);
        ASSERT_GT(lostGroup, 0);
        EXPECT_EQ(s.whole, s.expected - (c.lostGroupWhole ? 0 : lostGroup)) << c.name << ": " << s.summary().toStdString();
        EXPECT_EQ(s.correct, s.reported) << c.name;
    }
}

// Without its message_attachment_join row a deleted attachment goes with the one message dated
// within moments of its creation, and with none when another message, deleted or live, is as near.
TEST(MessageLinks, AttachmentPairedByItsCreationTime)
{
    enum Neighbour { None, Deleted, Live, SecondVersion };
    for (Neighbour n : {None, Deleted, Live, SecondVersion}) {
        OracleFixture f(1, 8);
        f.drop("message_attachment_join");
        const int text = f.column("message", "text"), date = f.column("message", "date");
        sqlcarve::CarvedRow* target = nullptr;
        sqlcarve::CarvedRow* other = nullptr;
        for (auto* r : f.rowsOf("message"))
            (QString::fromStdString(r->values[size_t(text)].bytes).contains(QChar(0xFFFC)) ? target : other) = r;
        ASSERT_TRUE(target && other);
        const int64_t when = target->values[size_t(date)].integer;
        const QString start = QString::fromStdString(target->values[size_t(text)].bytes).left(12);
        if (n == Deleted)
            other->values[size_t(date)].integer = when + 10;
        if (n == Live)
            f.live(QStringLiteral("UPDATE message SET date = %1 WHERE ROWID = (SELECT min(ROWID) FROM message)").arg(when + 10));
        if (n == SecondVersion) {
            // An earlier copy of the same message (same guid) without its rowid is no rival.
            sqlcarve::CarvedRow copy = *target;
            copy.rowid.reset();
            copy.values[size_t(f.column("message", "cache_roomnames"))] = sqlcarve::Value();
            f.carved.rows.push_back(copy);
            target = nullptr; // the vector may have moved
        }
        const auto store = f.map(1, false);
        int reported = 0;
        bool withImage = false;
        for (const auto& g : store.messageGroups)
            for (const auto& m : g.messages)
                if (m.date == int(when) && m.text.startsWith(start)) {
                    ++reported;
                    for (const auto& p : m.pieces)
                        withImage = withImage || p.kind == 0;
                }
        EXPECT_EQ(reported, 1) << "case " << n;
        EXPECT_EQ(withImage, n == None || n == SecondVersion) << "case " << n;
        if (n == None || n == SecondVersion) {
            const Score s = f.scoreOf(1, store);
            EXPECT_EQ(s.whole, s.expected) << s.summary().toStdString();
        }
    }
}

// ---- the whole scan, with the real carver ------------------------------------------------------

class RecoveryTest : public ::testing::TestWithParam<Case>
{
};

TEST_P(RecoveryTest, ScoresAgainstWhatWasDeleted)
{
    if (!carverWorks())
        GTEST_SKIP() << "the carver does not read databases yet";
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
    const int found = recovery.scanRecoveryForType(c.type, {dir.filePath(QStringLiteral("unrelated.db")), db}, &progress);
    const Score s = score(expectedItems(c.type, truth), reportedItems(c.type, recovery), truth.liveTexts, db);
    std::printf("[recovery] %-28s %s\n", caseName(c).c_str(), s.summary().toUtf8().constData());
    EXPECT_GE(found, 0);
    EXPECT_EQ(s.liveReported, 0);
    EXPECT_NEAR(progress.sum(), 1000.0, 1e-6);
    if (!s.misses.isEmpty())
        std::printf("           not whole: %s\n", s.misses.join(QStringLiteral(", ")).toUtf8().constData());
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, RecoveryTest,
                         ::testing::ValuesIn(allCases({iosrecgen::Journal::Rollback, iosrecgen::Journal::Wal,
                                                       iosrecgen::Journal::Persist})),
                         [](const ::testing::TestParamInfo<Case>& info) { return caseName(info.param); });

// ---- the public interface ----------------------------------------------------------------------

TEST(SqliteRecoveryApi, PicksEachTypesDatabaseByFileName)
{
    SqliteRecovery r;
    const QStringList files = {QStringLiteral("/w/sms.db"),          QStringLiteral("/w/AddressBook.db"),
                               QStringLiteral("/w/AddressBook.sqlitedb"), QStringLiteral("/w/CALL_HISTORY.DB"),
                               QStringLiteral("/w/Calendar.sqlitedb"), QStringLiteral("/w/notes.sqlite"),
                               QStringLiteral("/w/notes.db"),        QStringLiteral("/w/Bookmarks.db"),
                               QStringLiteral("/w/sms.db-wal"),      QStringLiteral("/w/xsms.db")};
    const struct {
        int type;
        const char* want;
    } table[] = {
        {0, "/w/AddressBook.sqlitedb"}, {1, "/w/sms.db"},   {2, "/w/CALL_HISTORY.DB"}, {3, "/w/Calendar.sqlitedb"},
        {4, "/w/notes.db"},             {5, "/w/Bookmarks.db"}, {6, ""},               {-1, ""},
    };
    for (const auto& row : table)
        EXPECT_EQ(r.dbFileForType(row.type, files).toStdString(), row.want) << "type " << row.type;
    EXPECT_EQ(r.dbFileForType(0, {QStringLiteral("/w/AddressBook.db")}), QStringLiteral("/w/AddressBook.db"));
    EXPECT_EQ(r.dbFileForType(4, {QStringLiteral("/w/notes.sqlite")}), QStringLiteral("/w/notes.sqlite"));
    EXPECT_TRUE(r.dbFileForType(1, {}).isEmpty());
}

TEST(SqliteRecoveryApi, MissingDatabaseReportsItsShareAndFindsNothing)
{
    SqliteRecovery r;
    RecordingProgress progress(250.0);
    EXPECT_EQ(r.scanRecoveryForType(1, {QStringLiteral("/nonexistent/Calendar.sqlitedb")}, &progress), -1);
    EXPECT_EQ(r.getMessageGroupCount(), 0u);
    EXPECT_NEAR(progress.sum(), 250.0, 1e-9);
    EXPECT_EQ(r.scanRecoveryForType(2, {QStringLiteral("/nonexistent/call_history.db")}, nullptr), 0);
    EXPECT_EQ(r.getCallhistoryCount(), 0u);
    EXPECT_EQ(r.getCallhistory(0), nullptr);
}

TEST(SqliteRecoveryApi, GarbageOrTruncatedFilesGiveNoRecordsAndNoCrash)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    const QString real = iosrecgen::generate(1, dir.filePath(QStringLiteral("real")), o, nullptr);
    const QByteArray bytes = testsupport::readFile(real);
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
        const int found = r.scanRecoveryForType(1, {path}, &progress);
        EXPECT_GE(found, 0) << "case " << i;
        if (i < 4) {
            EXPECT_EQ(r.getMessageGroupCount(), 0u) << "case " << i;
        }
        EXPECT_NEAR(progress.sum(), 10.0, 1e-9) << "case " << i;
    }
}

TEST(SqliteRecoveryApi, ProgressAddsUpToTheRangeAndAFalseAnswerStops)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.rows = 400;
    const QString db = iosrecgen::generate(1, dir.path(), o, nullptr);
    {
        SqliteRecovery r;
        RecordingProgress progress(625.0);
        r.scanRecoveryForType(1, {db}, &progress);
        EXPECT_NEAR(progress.sum(), 625.0, 1e-6);
        for (double step : progress.steps)
            EXPECT_GT(step, 0.0);
        EXPECT_EQ(progress.finishes, 0); // the caller finishes its own share
    }
    {
        SqliteRecovery r;
        RecordingProgress refusing(625.0, 0); // refuses its first call
        r.scanRecoveryForType(1, {db}, &refusing);
        EXPECT_EQ(refusing.steps.size(), 1u);
        EXPECT_EQ(r.getMessageGroupCount(), 0u);
    }
}

TEST(SqliteRecoveryApi, EachScanReplacesOnlyItsOwnTypesRecords)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    const QString calls = iosrecgen::generate(2, dir.filePath(QStringLiteral("a")), o, nullptr);
    const QString notes = iosrecgen::generate(4, dir.filePath(QStringLiteral("b")), o, nullptr);
    SqliteRecovery r;
    const QStringList files = {calls, notes};
    r.scanRecoveryForType(2, files, nullptr);
    const unsigned callCount = r.getCallhistoryCount();
    r.scanRecoveryForType(4, files, nullptr);
    EXPECT_EQ(r.getCallhistoryCount(), callCount);
    r.scanRecoveryForType(2, files, nullptr);
    EXPECT_EQ(r.getCallhistoryCount(), callCount); // not doubled
}

TEST(SqliteRecoveryApi, NeverWritesBesideTheEvidence)
{
    QTemporaryDir dir;
    iosrecgen::Options o;
    o.journal = iosrecgen::Journal::Wal;
    const QString db = iosrecgen::generate(0, dir.path(), o, nullptr);
    const auto before = testsupport::snapshotFolder(dir.path());
    SqliteRecovery r;
    r.scanRecoveryForType(0, {db}, nullptr);
    EXPECT_EQ(testsupport::snapshotFolder(dir.path()), before);
}
