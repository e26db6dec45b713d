// Manifest.db indexing speed against SQLite alone selecting the same rows.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <malloc.h>

#include <sqlite3.h>

#include "CiTunesBackupPrivate.h"
#include "SampleBackup.h"

namespace {

const int kRecords = 500000;

struct Fixture {
    QTemporaryDir tmp;
    QString db;

    Fixture()
    {
        sample::SampleBackupWriter w(tmp.filePath(QStringLiteral("b")));
        w.indexKind = sample::SampleBackupWriter::IndexKind::ManifestDb;
        w.setDevice(QStringLiteral("Bench"), QStringLiteral("iPhone14,2"), QStringLiteral("17.6.1"), QDateTime::currentDateTimeUtc());
        const char* domains[] = {"HomeDomain", "MediaDomain", "CameraRollDomain", "AppDomain-com.example.app"};
        for (int i = 0; i < kRecords; ++i) {
            sample::MbdbRecord r;
            r.domain = domains[(i / 1000) % 4];
            r.path = "Media/DCIM/" + QByteArray::number(100 + i / 1000) + "APPLE/IMG_" + QByteArray::number(i) + ".HEIC";
            r.size = 1000 + i;
            r.mtime = quint32(1600000000 + i);
            w.addRawRecord(r);
        }
        w.write();
        db = QDir(w.folder()).filePath(QStringLiteral("Manifest.db"));
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// The floor: SQLite stepping the same statement and touching every column, blobs unparsed.
void BM_SqliteSelectOnly(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(QFile::encodeName(f.db).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "select fileID, domain, relativePath, flags, file from Files", -1, &st, nullptr);
        qint64 bytes = 0;
        while (sqlite3_step(st) == SQLITE_ROW)
            for (int c = 0; c < 5; ++c)
                bytes += sqlite3_column_bytes(st, c);
        sqlite3_finalize(st);
        sqlite3_close(db);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_ParseManifestDb(benchmark::State& state)
{
    Fixture& f = fixture();
    qint64 records = 0;
    double heapMb = 0;
    for (auto _ : state) {
        const size_t heapBefore = mallinfo2().uordblks;
        CiTunesBackupPrivate d(nullptr);
        d.parseManifestDb(f.db);
        records = d.m_files.size();
        heapMb = std::max(heapMb, double(mallinfo2().uordblks - heapBefore) / (1024.0 * 1024.0));
        benchmark::DoNotOptimize(records);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.counters["indexed"] = double(records);
    state.counters["index_heap_MB"] = heapMb;
}

} // namespace

BENCHMARK(BM_SqliteSelectOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseManifestDb)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
