// Deleted-record carver: throughput, peak memory and recall/precision on generated databases.
//
//   bench_carver                       small scenarios (what CI runs)
//   IBR_BENCH_LARGE=1 bench_carver     adds the 240 MB database with one million message rows,
//                                      30% deleted, built once into the cache folder
//   IBR_BENCH_CACHE=DIR                cache folder (default: <build>/bench-cache)
//
// Peak memory is measured in a child process that only carves, so the generator and the ground
// truth held by this process do not count.

#include <benchmark/benchmark.h>

#include "carvegen.h"
#include "sqlitecarve/Carver.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

std::string cacheDir()
{
    if (const char* dir = std::getenv("IBR_BENCH_CACHE"))
        return dir;
#ifdef IBR_BINARY_DIR
    return std::string(IBR_BINARY_DIR) + "/bench-cache";
#else
    return QDir::tempPath().toStdString() + "/ibreader-bench-cache";
#endif
}

struct Prepared {
    carvegen::GroundTruth truth;
    std::string error;
    uint64_t bytes = 0;
};

// Builds a scenario once per cache folder; later runs load the stored truth.
Prepared& prepare(const std::string& name, const carvegen::Scenario& scenario)
{
    static std::map<std::string, Prepared> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return it->second;
    Prepared& p = cache[name];
    const std::string folder = cacheDir() + "/" + name;
    const std::string truthFile = folder + "/truth.bin";
    if (!QFileInfo::exists(QString::fromStdString(truthFile)) || !carvegen::loadTruth(truthFile, &p.truth)) {
        std::fprintf(stderr, "building %s in %s ...\n", name.c_str(), folder.c_str());
        if (!carvegen::generate(scenario, folder, &p.truth, &p.error))
            return p;
        carvegen::saveTruth(p.truth, truthFile);
        carvegen::loadTruth(truthFile, &p.truth); // keep only the deleted rows in memory
    }
    for (const std::string& f : {p.truth.dbPath, p.truth.walPath, p.truth.journalPath})
        if (!f.empty())
            p.bytes += uint64_t(QFileInfo(QString::fromStdString(f)).size());
    return p;
}

// Carves in a child process and returns its peak resident memory in MB (-1 on failure).
double childPeakMb(const std::string& db)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string self = "/proc/self/exe";
        execl(self.c_str(), "bench_carver", "--carve-only", db.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return double(ru.ru_maxrss) / 1024.0;
}

void report(benchmark::State& state, const std::string& name, const Prepared& p, const sqlcarve::Result& result)
{
    const carvegen::Score s = carvegen::score(p.truth, result.rows);
    state.counters["surviving"] = s.all.expected;
    state.counters["recall_whole"] = s.all.wholeRate();
    state.counters["recall_values"] = s.all.valuesRate();
    state.counters["recall_prefix_lost"] = s.prefixLost.valuesRate();
    state.counters["recall_overflow"] = s.overflow.valuesRate();
    state.counters["precision"] = s.total.rate();
    for (const auto& [source, precision] : s.bySource)
        state.counters["precision_" + source] = precision.rate();
    std::fprintf(stderr, "%s\n%s", name.c_str(), carvegen::describe(s).c_str());
}

void runScenario(benchmark::State& state, const std::string& name, const carvegen::Scenario& scenario, bool peak)
{
    Prepared& p = prepare(name, scenario);
    if (!p.error.empty()) {
        state.SkipWithError(p.error.c_str());
        return;
    }
    sqlcarve::Result last;
    for (auto _ : state) {
        sqlcarve::Options opt;
        uint64_t rows = 0;
        opt.onRow = [&](const sqlcarve::CarvedRow&) { ++rows; };
        const sqlcarve::Result r = sqlcarve::carveFile(p.truth.dbPath, opt);
        benchmark::DoNotOptimize(rows);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.bytes));
    state.counters["MB"] = double(p.bytes) / 1e6;
    state.counters["MB_per_s"] = benchmark::Counter(double(p.bytes) / 1e6 * double(state.iterations()), benchmark::Counter::kIsRate);
    if (peak)
        state.counters["peak_MB"] = childPeakMb(p.truth.dbPath);
    last = sqlcarve::carveFile(p.truth.dbPath);
    report(state, name, p, last);
}

carvegen::Scenario scenario(carvegen::Mode mode, const char* layout, int rows, int overflowEvery, int perCommit)
{
    carvegen::Scenario s;
    s.mode = mode;
    s.layout = layout;
    s.rows = rows;
    s.overflowEvery = overflowEvery;
    s.rowsPerCommit = perCommit;
    return s;
}

void BM_Rollback(benchmark::State& state)
{
    runScenario(state, "rollback-generic-20k", scenario(carvegen::Mode::Rollback, "generic", 20000, 0, 200), false);
}
void BM_RollbackOverflow(benchmark::State& state)
{
    runScenario(state, "rollback-overflow-5k", scenario(carvegen::Mode::Rollback, "generic", 5000, 9, 100), false);
}
void BM_Wal(benchmark::State& state)
{
    runScenario(state, "wal-generic-4k", scenario(carvegen::Mode::Wal, "generic", 4000, 0, 1), false);
}
void BM_PersistJournal(benchmark::State& state)
{
    runScenario(state, "persist-generic-10k", scenario(carvegen::Mode::PersistJournal, "generic", 10000, 0, 500), false);
}
void BM_SmsIos9(benchmark::State& state)
{
    runScenario(state, "rollback-sms9-10k", scenario(carvegen::Mode::Rollback, "sms.db", 10000, 0, 200), false);
}
void BM_MillionMessages(benchmark::State& state)
{
    if (!std::getenv("IBR_BENCH_LARGE")) {
        state.SkipWithError("set IBR_BENCH_LARGE=1 to build and scan the 240 MB database");
        return;
    }
    carvegen::Scenario s = scenario(carvegen::Mode::Rollback, "generic", 1000000, 0, 1);
    s.bulk = true;
    s.onlyTable = "message";
    runScenario(state, "million-messages", s, true);
}

BENCHMARK(BM_Rollback)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RollbackOverflow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PersistJournal)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmsIos9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MillionMessages)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--carve-only") == 0) {
        sqlcarve::Options opt;
        uint64_t rows = 0;
        opt.onRow = [&](const sqlcarve::CarvedRow&) { ++rows; };
        const sqlcarve::Result r = sqlcarve::carveFile(argv[2], opt);
        return r.ok ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
