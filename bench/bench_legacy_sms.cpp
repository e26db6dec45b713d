// Loading a large older-layout sms.db (kind 0 of the contact library) with its address book.
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <malloc.h>

#include "AddressBookSample.h"
#include "TestSupport.h"
#include "contact/IBackupContact.h"
#include "ibr/schemas.h"

namespace {

const int kMessages = 1000000;
const int kGroups = 20000;
const int kPeople = 10000;

bool exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QByteArray number(int n)
{
    return "+1415" + QByteArray::number(5000000 + n);
}

// Groups of one participant each; 5% MMS (smil, text, photo), 30% iMessage of which one in ten
// shows a photo, 1% without a group. Triggers are left out: they only slow the writing.
bool writeSmsDb(sqlite3* db)
{
    exec(db, "PRAGMA journal_mode = OFF");
    exec(db, "PRAGMA synchronous = OFF");
    for (const QString& s : ibr::iosSchemaStatements(5, QStringLiteral("sms.db")))
        if (!s.startsWith(QLatin1String("CREATE TRIGGER")) && !s.contains(QLatin1String("sqlite_sequence")))
            if (!exec(db, s.toUtf8().constData()))
                return false;
    exec(db, "BEGIN");
    sqlite3_stmt *group = nullptr, *member = nullptr, *msg = nullptr, *piece = nullptr, *att = nullptr;
    sqlite3_prepare_v2(db, "insert into msg_group (ROWID, type) values (?, 0)", -1, &group, nullptr);
    sqlite3_prepare_v2(db, "insert into group_member (group_id, address, country) values (?, ?, 'us')", -1, &member, nullptr);
    sqlite3_prepare_v2(db, "insert into message (ROWID, address, date, text, flags, group_id, country, madrid_handle, "
                           "madrid_flags, madrid_error, is_madrid) values (?, ?, ?, ?, ?, ?, 'us', ?, ?, 0, ?)", -1, &msg, nullptr);
    sqlite3_prepare_v2(db, "insert into msg_pieces (message_id, part_id, content_type, content_loc, data) values (?, ?, ?, ?, ?)",
                       -1, &piece, nullptr);
    sqlite3_prepare_v2(db, "insert into madrid_attachment (message_id, filename, mime_type) values (?, ?, 'image/jpeg')", -1, &att,
                       nullptr);
    auto run = [](sqlite3_stmt* s) {
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
        return ok;
    };
    bool ok = group && member && msg && piece && att;
    for (int g = 1; ok && g <= kGroups; ++g) {
        const QByteArray address = number(g);
        sqlite3_bind_int(group, 1, g);
        sqlite3_bind_int(member, 1, g);
        sqlite3_bind_text(member, 2, address.constData(), int(address.size()), SQLITE_TRANSIENT);
        ok = run(group) && run(member);
    }
    const QByteArray mark = "\xEF\xBF\xBC";
    for (int i = 1; ok && i <= kMessages; ++i) {
        const int g = int((qint64(i) * 7919) % kGroups) + 1;
        const bool iMessage = i % 10 < 3, mms = !iMessage && i % 20 == 5, photo = iMessage && i % 100 == 1;
        const QByteArray address = number(g);
        const QByteArray text =
            mms ? QByteArray() : "Message " + QByteArray::number(i) + " with some ordinary words" + (photo ? mark : QByteArray());
        sqlite3_bind_int(msg, 1, i);
        sqlite3_bind_text(msg, 2, address.constData(), int(address.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(msg, 3, iMessage ? 300000000 + i * 30 : 1278307200 + i * 30);
        if (text.isNull())
            sqlite3_bind_null(msg, 4);
        else
            sqlite3_bind_text(msg, 4, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(msg, 5, 2 + i % 2);
        sqlite3_bind_int(msg, 6, i % 100 == 50 ? 0 : g);
        sqlite3_bind_text(msg, 7, address.constData(), int(address.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(msg, 8, i % 2 ? 0x8000 : 0);
        sqlite3_bind_int(msg, 9, iMessage ? 1 : 0);
        ok = run(msg);
        if (mms) {
            const char* const types[] = {"application/smil", "text/plain", "image/jpeg"};
            const char* const locs[] = {"mms.smil", "text_0.txt", "IMG_0001.jpg"};
            for (int p = 0; ok && p < 3; ++p) {
                sqlite3_bind_int(piece, 1, i);
                sqlite3_bind_int(piece, 2, p);
                sqlite3_bind_text(piece, 3, types[p], -1, SQLITE_STATIC);
                sqlite3_bind_text(piece, 4, locs[p], -1, SQLITE_STATIC);
                sqlite3_bind_blob(piece, 5, p == 1 ? "MMS text" : "", p == 1 ? 8 : 0, SQLITE_STATIC);
                ok = run(piece);
            }
        }
        if (photo) {
            const QByteArray file = "~/Library/SMS/Attachments/ab/11/G" + QByteArray::number(i) + "/IMG_0001.JPG";
            sqlite3_bind_int(att, 1, i);
            sqlite3_bind_text(att, 2, file.constData(), int(file.size()), SQLITE_TRANSIENT);
            ok = run(att);
        }
    }
    for (sqlite3_stmt* s : {group, member, msg, piece, att})
        sqlite3_finalize(s);
    return ok && exec(db, "COMMIT");
}

bool writeBook(sqlite3* db)
{
    if (!sample::createAddressBookTables(db, 5, QStringLiteral("AddressBook.sqlitedb")) || !exec(db, "BEGIN"))
        return false;
    for (int p = 1; p <= kPeople; ++p) {
        // Every other person has the national form of a group's number.
        const QByteArray sql = "insert into ABPerson (ROWID, First) values (" + QByteArray::number(p) + ", 'P');"
                               "insert into ABMultiValue (record_id, property, identifier, value) values ("
                               + QByteArray::number(p) + ", 3, 0, '" + number(p * 2).mid(2) + "')";
        if (!exec(db, sql.constData()))
            return false;
    }
    return exec(db, "COMMIT");
}

struct Fixture {
    QTemporaryDir tmp;
    QString sms = tmp.filePath(QStringLiteral("sms.db"));
    QString book = tmp.filePath(QStringLiteral("AddressBook.sqlitedb"));
    bool ok = testsupport::makeDatabase(sms, {}, writeSmsDb) && testsupport::makeDatabase(book, {}, writeBook);
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

int fakeRead(void*, const char*, const unsigned char** data, int32_t* size, void*)
{
    static const unsigned char jpeg[64] = {0xff, 0xd8};
    *data = jpeg;
    *size = int32_t(sizeof jpeg);
    return 1;
}

void BM_LoadLegacySms(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("sample databases not written");
        return;
    }
    PieceHook hook{nullptr, &fakeRead, nullptr};
    IBackupContact* reader = nullptr;
    InitBackupContact(&reader);
    double messages = 0, conversations = 0, matched = 0, heapMb = 0;
    for (auto _ : state) {
        const size_t heapBefore = mallinfo2().uordblks;
        const auto* list = static_cast<const SmsRecordList*>(reader->loadRecords(
            f.sms.toUtf8().constData(), f.book.toUtf8().constData(), IBackupContact::Messages, &hook));
        heapMb = double(mallinfo2().uordblks - heapBefore) / (1024.0 * 1024.0);
        state.PauseTiming();
        messages = conversations = matched = 0;
        for (const SmsConversationRecord* c = list ? list->first : nullptr; c; c = c->next) {
            ++conversations;
            messages += c->messageCount;
            matched += c->addresses && c->addresses->entry->match ? 1 : 0;
        }
        reader->clearRecords();
        state.ResumeTiming();
    }
    UninitBackupContact(&reader);
    state.counters["messages"] = messages;
    state.counters["conversations"] = conversations;
    state.counters["matched"] = matched;
    state.counters["records_heap_MB"] = heapMb;
}

} // namespace

BENCHMARK(BM_LoadLegacySms)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
