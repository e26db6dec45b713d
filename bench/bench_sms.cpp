// Live message extraction against SQLite itself stepping through the same three queries' rows:
// 1,000,000 messages in 20,000 conversations, one in a hundred with an attachment.
#include <benchmark/benchmark.h>

#include <QDir>

#include <memory>
#include <QTemporaryDir>

#include <sqlite3.h>
#include <sys/resource.h>

#include "BackupFiles.h"
#include "BulkMessages.h"
#include "CManifestRecord.h"
#include "CSMSCollection.h"
#include "evidencedb/EvidenceDatabase.h"
#include "kddata/KdData.h"

namespace {

const int kMessages = 1000000;
const int kChats = 20000;

struct Fixture {
    QTemporaryDir tmp;
    QString smsDb;
    QList<CManifestRecord*> files;

    Fixture()
    {
        smsDb = QDir(tmp.path()).filePath(backupFileName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")));
        sqlite3* raw = nullptr;
        sqlite3_open(smsDb.toUtf8().constData(), &raw);
        const evidencedb::SqlitePtr db(raw);
        sqlite3_exec(raw, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
        sample::BulkMessages bulk;
        bulk.messages = kMessages;
        bulk.chats = kChats;
        sample::writeBulkMessages(raw, bulk);
        // Indexed, data files not written: the lookup is measured, not picture decoding.
        for (const QString& path : bulk.attachmentPaths) {
            auto* r = new CManifestRecord;
            r->domain = QStringLiteral("MediaDomain");
            r->relativePath = path;
            r->hashName = backupFileName(r->domain, path);
            r->size = 1000;
            files.append(r);
        }
    }
    ~Fixture() { qDeleteAll(files); }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void BM_SqliteStepsTheThreeQueries(benchmark::State& state)
{
    Fixture& f = fixture();
    const QStringList sql = {
        QStringLiteral("select chat_identifier, handle_id, id, country, uncanonicalized_id from chat inner join chat_handle_join chj on "
                       "chat.rowid = chj.chat_id inner join handle on chj.handle_id = handle.rowid order by chat_identifier"),
        QStringLiteral("select chat.chat_identifier, m.rowid, m.handle_id, m.text, m.subject, m.service, m.date, m.is_from_me, "
                       "m.is_sent from chat inner join chat_message_join cmj on cmj.chat_id = chat.rowid inner join message as m on "
                       "m.rowid = cmj.message_id order by date"),
        QStringLiteral("select message_id, a.filename, a.mime_type from message as m inner join message_attachment_join as maj on "
                       "m.rowid = maj.message_id inner join attachment as a on a.rowid = maj.attachment_id order by a.rowid")};
    for (auto _ : state) {
        const evidencedb::SqlitePtr db(evidencedb::openImmutable(f.smsDb));
        qint64 bytes = 0;
        for (const QString& s : sql)
            for (evidencedb::Statement st(db.get(), s.toUtf8()); st.next();)
                for (int c = 0; c < sqlite3_column_count(st.handle()); ++c)
                    bytes += sqlite3_column_bytes(st.handle(), c);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["messages"] = kMessages;
}

void BM_CollectMessages(benchmark::State& state)
{
    Fixture& f = fixture();
    int conversations = 0;
    for (auto _ : state) {
        auto data = std::make_unique<KdSMSData>();
        {
            CSMSCollection c(data.get(), nullptr);
            c.collect(QFileInfo(f.smsDb).absolutePath(), f.files, QString());
        }
        conversations = data->count();
        state.PauseTiming(); // the model's teardown is the caller's, at its end
        data.reset();
        state.ResumeTiming();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["conversations"] = conversations;
    state.counters["peak_rss_mb"] = double(usage.ru_maxrss) / 1024.0;
}

} // namespace

BENCHMARK(BM_SqliteStepsTheThreeQueries)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CollectMessages)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
