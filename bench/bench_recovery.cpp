// Deleted-record recovery at scale: a 100,000-message chat-layout database (a third of the
// messages deleted) with and without the indexes of its message tables, carved with its live rows
// and mapped as an extraction does, and the mapping alone; and the duplicate
// tests of 30,000 recovered notes against 100,000 live ones (a third with their title lost).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <memory>

#include <sqlite3.h>

#include "BulkMessages.h"
#include "DuplicateTests.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/KdBackup.h"
#include "kddata/KdItems.h"
#include "../lib/sqliterecovery/RecoveryContext_p.h"

namespace {

const int kMessages = 100000;
const int kLiveNotes = 100000;
const int kRecoveredNotes = 30000;

// A chat-layout sms.db of kMessages messages with every third one deleted (its join and
// attachment rows too), the indexes of the message tables kept or dropped afterwards.
QString writeMessages(const QTemporaryDir& dir, bool indexes)
{
    const QString path = dir.filePath(QStringLiteral("sms.db"));
    sqlite3* raw = nullptr;
    sqlite3_open(path.toUtf8().constData(), &raw);
    const evidencedb::SqlitePtr db(raw);
    sqlite3_exec(raw, "PRAGMA secure_delete = OFF; PRAGMA journal_mode = DELETE; PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
    sample::BulkMessages bulk;
    bulk.messages = kMessages;
    bulk.chats = 2000;
    bulk.attachmentEvery = 10;
    sample::writeBulkMessages(raw, bulk);
    sqlite3_exec(raw,
                 "BEGIN; DELETE FROM message_attachment_join WHERE message_id % 3 = 1; DELETE FROM attachment WHERE ROWID % 3 = 1; "
                 "DELETE FROM chat_message_join WHERE message_id % 3 = 1; DELETE FROM message WHERE ROWID % 3 = 1; COMMIT",
                 nullptr, nullptr, nullptr);
    if (!indexes)
        sqlite3_exec(raw,
                     "DROP INDEX IF EXISTS message_idx_handle; DROP INDEX IF EXISTS chat_message_join_idx_message_id; "
                     "DROP INDEX IF EXISTS message_idx_was_downgraded; DROP INDEX IF EXISTS message_idx_is_read; "
                     "DROP INDEX IF EXISTS message_idx_failed",
                     nullptr, nullptr, nullptr);
    return path;
}

// The whole recovery of the messages: carve (with its live rows), then map. args: 1 with the
// indexes, 0 without.
void BM_RecoverDeletedMessages(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = writeMessages(dir, state.range(0) != 0);
    int found = 0;
    for (auto _ : state) {
        SqliteRecovery recovery;
        found = recovery.scanRecoveryForType(1, {db}, nullptr);
    }
    state.counters["conversations"] = found;
}

// The mapping alone, carve and live rows done beforehand (with what the mapping asks of the
// carver: placements and link rows).
void BM_MapDeletedMessages(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString db = writeMessages(dir, state.range(0) != 0);
    sqlcarve::Options options = sqlrecovery::carveOptions(1);
    options.keepImage = true;
    const sqlcarve::Result carved = sqlcarve::carveFile(db.toStdString(), options);
    sqlrecovery::LiveDb live(carved.image);
    int found = 0;
    for (auto _ : state) {
        sqlrecovery::RecordStore store;
        found = sqlrecovery::mapType(1, carved, live, store);
    }
    state.counters["conversations"] = found;
}

void BM_DuplicateNotes(benchmark::State& state)
{
    KdBackup backup;
    for (int i = 0; i < kLiveNotes; ++i) {
        KdNoteItem* note = KdNoteItem::createItem();
        note->setValue(QStringLiteral("Note %1").arg(i % 5000), 0);
        note->setValue(QStringLiteral("Body of note %1").arg(i), 2);
        backup.getNote()->append(note);
    }
    std::vector<NoteRecord> records;
    for (int i = 0; i < kRecoveredNotes; ++i) {
        // Every other one repeats a live note; a third lost their title.
        const int n = i % 2 ? i : kLiveNotes + i;
        records.push_back({0, i % 3 == 0 ? QString() : QStringLiteral("Note %1").arg(n % 5000), QStringLiteral("Body of note %1").arg(n)});
    }
    int kept = 0;
    for (auto _ : state) {
        DuplicateCandidates candidates = noteCandidates(&backup);
        std::vector<std::unique_ptr<KdNoteItem>> made;
        kept = 0;
        for (const NoteRecord& r : records) {
            if (isDuplicateNote(candidates, &r))
                continue;
            made.emplace_back(KdNoteItem::createItem());
            made.back()->setValue(r.title, 0);
            made.back()->setValue(r.content, 2);
            candidates.add(made.back().get());
            ++kept;
        }
    }
    state.counters["kept"] = kept;
}

} // namespace

BENCHMARK(BM_RecoverDeletedMessages)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_MapDeletedMessages)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DuplicateNotes)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_MAIN();
