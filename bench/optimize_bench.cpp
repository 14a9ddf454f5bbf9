// Optimizing the People table (bench_tables.h) of 100,000 and 1,000,000 records, every 10th slot
// deleted, in primary order with backups kept (as the maintenance application runs it). Each
// iteration works on a fresh copy of the pristine files and runs the operation in a child
// process. Reports the operation's wall time, the child's resident memory growth during the
// operation, its whole-life peak, and the parent's own peak.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_tables.h"
#include "engine/maintenance/optimize.h"
#include "engine/tables/data_cursor.h"

namespace tarvo::bench {
namespace {

void Optimize(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  const std::filesystem::path& pristine = TPristineTables::Instance().Get(count);
  TChildRun run;
  std::int64_t in_bytes = 0;
  for (auto _ : state) {
    const std::filesystem::path work = TPristineTables::Instance().WorkDirectory("optimize");
    CopyTableFiles(pristine, work);
    in_bytes = DirectoryBytes(work);
    run = RunInChild(
        [&](TChildValues&) {
          TBenchEngine engine(work);
          TDataCursor cursor(engine.Session(), engine.Directory());
          OptimizeTable(cursor, ExclusivePeople(), "", false, {});
        },
        [&](TChildValues& values) {
          TBenchEngine engine(work);
          TDataCursor cursor(engine.Session(), engine.Directory());
          cursor.Open(ExclusivePeople());
          values["records_after"] = cursor.RecordCount();
          values["slots_after"] = cursor.Table().DataFile().RecordSlotCount();
          cursor.Close();
        });
    if (!run.ok) {
      state.SkipWithError(("optimize failed: " + run.error).c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    state.counters["out_MB"] = static_cast<double>(DirectoryBytes(work)) / (1 << 20);  // with backups
  }
  state.counters["records"] = count;
  state.counters["records_after"] = run.values["records_after"];
  state.counters["slots_after"] = run.values["slots_after"];
  state.counters["in_MB"] = static_cast<double>(in_bytes) / (1 << 20);
  state.counters["op_rss_growth_MB"] = run.growth_mb;
  state.counters["child_peak_rss_MB"] = run.child_maxrss_mb;
  state.counters["child_cpu_s"] = run.child_cpu_seconds;
  state.counters["self_peak_rss_MB"] = SelfPeakMegabytes();
}

BENCHMARK(Optimize)->Arg(100'000)->Arg(1'000'000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo::bench

BENCHMARK_MAIN();
