// Deleted-record carver: throughput, peak memory and recall/precision on generated databases.
//
//   bench_carver                       small scenarios (what CI runs)
//   IBR_BENCH_LARGE=1 bench_carver     adds the 240 MB database with one million message rows,
//                                      30% deleted, built once into the cache folder
//   IBR_BENCH_CACHE=DIR                cache folder (default: <build>/bench-cache)
//   IBR_CORPUS_VERBOSE=1               BM_Corpus lists each miss, false and wrong-table row
//
// Peak memory is measured in a child process that only carves, so the generator and the ground
// truth held by this process do not count.

#include <benchmark/benchmark.h>

#include "CorpusScore.h"
#include "carvegen.h"
#include "sqlitecarve/Carver.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>
#include <utility>


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

// Carves in a child process and returns its peak resident memory in MB (-1 on failure). The child
// reports its own high-water mark: a fork's rusage would also count the pages it shared with this
// process (the ground truth) before exec.
double childPeakMb(const std::string& db)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1); // the shell's would be its own
    if (n <= 0)
        return -1;
    self[n] = '\0';
    const std::string cmd = "'" + std::string(self) + "' --carve-only '" + db + "'";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe)
        return -1;
    double kb = -1;
    if (std::fscanf(pipe, "%lf", &kb) != 1)
        kb = -1;
    return pclose(pipe) == 0 && kb >= 0 ? kb / 1024.0 : -1;
}

// Peak resident memory of this process in kB, from /proc.
long ownPeakKb()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1)
            break;
    std::fclose(f);
    return kb;
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
    if (std::getenv("IBR_BENCH_EXAMPLES"))
        for (const std::string& e : s.examples)
            std::fprintf(stderr, "  %s\n", e.c_str());
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
    // IBR_BENCH_LARGE_ROWS scales the database down, e.g. for a profiler run.
    const char* rowsEnv = std::getenv("IBR_BENCH_LARGE_ROWS");
    const int rows = rowsEnv ? std::max(1000, std::atoi(rowsEnv)) : 1000000;
    carvegen::Scenario s = scenario(carvegen::Mode::Rollback, "generic", rows, 0, 1);
    s.bulk = true;
    // IBR_BENCH_LARGE_TABLE picks another table, e.g. "contact", whose rowids no index keeps.
    const char* tableEnv = std::getenv("IBR_BENCH_LARGE_TABLE");
    s.onlyTable = tableEnv ? tableEnv : "message";
    s.textMax = 56; // about 240 bytes a row, indexes included
    const std::string name = s.onlyTable == "message" ? "messages" : s.onlyTable;
    runScenario(state, rows == 1000000 && !tableEnv ? "million-messages" : name + "-" + std::to_string(rows), s, true);
}

// The public forensic corpus's deleted-content categories, scored against their answer keys.
void BM_Corpus(benchmark::State& state)
{
#ifdef IBR_TEST_DATA_DIR
    const std::vector<corpusscore::Case> cases = corpusscore::loadCases(IBR_TEST_DATA_DIR "/sqlite-corpus");
#else
    const std::vector<corpusscore::Case> cases;
#endif
    if (cases.empty()) {
        state.SkipWithError("no corpus");
        return;
    }
    std::vector<sqlcarve::Result> results(cases.size());
    for (auto _ : state)
        for (size_t i = 0; i < cases.size(); ++i)
            results[i] = corpusscore::carveCase(cases[i]);
    corpusscore::Score s;
    std::string log;
    for (size_t i = 0; i < cases.size(); ++i)
        s.add(corpusscore::scoreCase(cases[i], results[i], corpusscore::verbose() ? &log : nullptr));
    state.counters["deleted"] = s.deleted;
    state.counters["whole"] = s.whole;
    state.counters["partial"] = s.partial;
    state.counters["survive"] = s.survive;
    state.counters["precision"] = s.precision();
    state.counters["wrongTable"] = s.wrongTable;
    static bool told = false; // the library calls this more than once while it sizes the run
    if (!std::exchange(told, true))
        std::fprintf(stderr, "corpus\n%s%s\n", log.c_str(), corpusscore::describe(s).c_str());
}

BENCHMARK(BM_Corpus)->Unit(benchmark::kMillisecond);
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
        std::printf("%ld\n", ownPeakKb());
        return r.ok ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
