// Live message extraction against SQLite itself stepping through the same three queries' rows:
// 1,000,000 messages in 20,000 conversations, one in a hundred with an attachment.
#include <benchmark/benchmark.h>

#include <QDir>

#include <memory>
#include <QTemporaryDir>

#include <sqlite3.h>
#include <sys/resource.h>

#include "BackupFiles.h"
#include "CManifestRecord.h"
#include "CSMSCollection.h"
#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"
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
        auto exec = [raw](const QString& sql) { sqlite3_exec(raw, sql.toUtf8().constData(), nullptr, nullptr, nullptr); };
        exec(QStringLiteral("PRAGMA journal_mode=OFF"));
        exec(QStringLiteral("PRAGMA synchronous=OFF"));
        for (const QString& s : ibr::iosSchemaStatements(8, QStringLiteral("sms.db")))
            if (!s.contains(QLatin1String("TRIGGER")) && !s.contains(QLatin1String("sqlite_")))
                exec(s);
        exec(QStringLiteral("BEGIN"));
        evidencedb::Statement handle(raw, "INSERT INTO handle (ROWID, id, country, service) VALUES (?, ?, 'us', 'SMS')");
        evidencedb::Statement chat(raw, "INSERT INTO chat (ROWID, guid, chat_identifier) VALUES (?, ?, ?)");
        evidencedb::Statement chj(raw, "INSERT INTO chat_handle_join VALUES (?, ?)");
        for (int c = 1; c <= kChats; ++c) {
            const QByteArray id = "+1555" + QByteArray::number(1000000 + c);
            sqlite3_bind_int(handle.handle(), 1, c);
            sqlite3_bind_text(handle.handle(), 2, id.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_step(handle.handle());
            sqlite3_reset(handle.handle());
            sqlite3_bind_int(chat.handle(), 1, c);
            sqlite3_bind_text(chat.handle(), 2, ("SMS;-;" + id).constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(chat.handle(), 3, id.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_step(chat.handle());
            sqlite3_reset(chat.handle());
            sqlite3_bind_int(chj.handle(), 1, c);
            sqlite3_bind_int(chj.handle(), 2, c);
            sqlite3_step(chj.handle());
            sqlite3_reset(chj.handle());
        }
        evidencedb::Statement message(raw, "INSERT INTO message (ROWID, guid, text, handle_id, service, date, is_from_me, is_sent) "
                                           "VALUES (?, ?, ?, ?, 'SMS', ?, ?, ?)");
        evidencedb::Statement cmj(raw, "INSERT INTO chat_message_join VALUES (?, ?)");
        evidencedb::Statement attachment(raw, "INSERT INTO attachment (ROWID, guid, filename, mime_type) VALUES (?, ?, ?, 'image/jpeg')");
        evidencedb::Statement maj(raw, "INSERT INTO message_attachment_join VALUES (?, ?)");
        const QString fffc(QChar(0xFFFC));
        for (int m = 1; m <= kMessages; ++m) {
            const int c = 1 + m % kChats;
            const bool withFile = m % 100 == 0;
            const QByteArray text = (QStringLiteral("Message %1 of a long conversation, with some words in it ").arg(m)
                                     + (withFile ? fffc : QString())).toUtf8();
            sqlite3_bind_int(message.handle(), 1, m);
            sqlite3_bind_text(message.handle(), 2, QByteArray::number(m).constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(message.handle(), 3, text.constData(), text.size(), SQLITE_TRANSIENT);
            sqlite3_bind_int(message.handle(), 4, c);
            sqlite3_bind_int64(message.handle(), 5, 400000000LL + m * 60);
            sqlite3_bind_int(message.handle(), 6, m % 2);
            sqlite3_bind_int(message.handle(), 7, m % 2);
            sqlite3_step(message.handle());
            sqlite3_reset(message.handle());
            sqlite3_bind_int(cmj.handle(), 1, c);
            sqlite3_bind_int(cmj.handle(), 2, m);
            sqlite3_step(cmj.handle());
            sqlite3_reset(cmj.handle());
            if (withFile) {
                const QString path = QStringLiteral("Library/SMS/Attachments/%1/%2/IMG_%3.JPG").arg(m % 256, 2, 16, QLatin1Char('0')).arg(m).arg(m);
                const QByteArray stored = ("~/" + path).toUtf8();
                sqlite3_bind_int(attachment.handle(), 1, m);
                sqlite3_bind_text(attachment.handle(), 2, QByteArray::number(m).constData(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(attachment.handle(), 3, stored.constData(), -1, SQLITE_TRANSIENT);
                sqlite3_step(attachment.handle());
                sqlite3_reset(attachment.handle());
                sqlite3_bind_int(maj.handle(), 1, m);
                sqlite3_bind_int(maj.handle(), 2, m);
                sqlite3_step(maj.handle());
                sqlite3_reset(maj.handle());
                // Indexed, data file not written: the lookup is measured, not picture decoding.
                auto* r = new CManifestRecord;
                r->domain = QStringLiteral("MediaDomain");
                r->relativePath = path;
                r->hashName = backupFileName(r->domain, path);
                r->size = 1000;
                files.append(r);
            }
        }
        exec(QStringLiteral("COMMIT"));
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
