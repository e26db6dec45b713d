// Manifest.mbdb indexing speed against simply reading the file's bytes.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <unistd.h>

#include "CiTunesBackupPrivate.h"
#include "SampleBackup.h"

namespace {

const int kRecords = 500000;

struct Fixture {
    QTemporaryDir tmp;
    QString mbdb;
    qint64 bytes = 0;

    Fixture()
    {
        sample::SampleBackupWriter w(tmp.filePath(QStringLiteral("b")));
        w.setDevice(QStringLiteral("Bench"), QStringLiteral("iPhone7,2"), QStringLiteral("8.4"), QDateTime::currentDateTimeUtc());
        const char* domains[] = {"HomeDomain", "MediaDomain", "CameraRollDomain", "AppDomain-com.example.app"};
        for (int i = 0; i < kRecords; ++i) {
            sample::MbdbRecord r;
            r.domain = domains[(i / 1000) % 4];
            r.path = "Media/DCIM/" + QByteArray::number(100 + i / 1000) + "APPLE/IMG_" + QByteArray::number(i) + ".JPG";
            r.digest = QByteArray(20, char(i));
            r.size = 1000 + i;
            if (i % 10 == 0)
                r.properties.append(qMakePair(QByteArray("com.apple.assetsd.UUID"), QByteArray(16, 'u')));
            w.addRawRecord(r);
        }
        w.write();
        mbdb = QDir(w.folder()).filePath(QStringLiteral("Manifest.mbdb"));
        bytes = QFile(mbdb).size();
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// Resident memory now, in KiB.
long rssKb()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_ReadBytesOnly(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state) {
        QFile file(f.mbdb);
        file.open(QIODevice::ReadOnly);
        QByteArray all = file.readAll();
        benchmark::DoNotOptimize(all.data());
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
}

void BM_ParseManifestMbdb(benchmark::State& state)
{
    Fixture& f = fixture();
    qint64 records = 0;
    double indexMb = 0;
    double heapMb = 0; // bytes the index itself holds on the heap
    for (auto _ : state) {
        const size_t heapBefore = mallinfo2().uordblks;
        const long before = rssKb();
        CiTunesBackupPrivate d(nullptr);
        d.parseManifestMbdb(f.mbdb);
        records = d.m_files.size();
        indexMb = std::max(indexMb, double(rssKb() - before) / 1024.0); // resident growth, mapped file included
        heapMb = std::max(heapMb, double(mallinfo2().uordblks - heapBefore) / (1024.0 * 1024.0));
        benchmark::DoNotOptimize(records);
    }
    state.SetBytesProcessed(state.iterations() * f.bytes);
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.counters["indexed"] = double(records);
    state.counters["rss_growth_MB"] = indexMb;
    state.counters["index_heap_MB"] = heapMb;
    state.counters["file_MB"] = double(f.bytes) / (1024.0 * 1024.0);
}

} // namespace

BENCHMARK(BM_ReadBytesOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseManifestMbdb)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
