// Building the People table (bench_tables.h): adding the records with their keys and blob values,
// then deleting every 10th slot, on an exclusive table whose caches are sized for a bulk load.
// The second argument is how many deletions pass between writing the records out (0: only at
// the end), which shows what a record cache full of modified records costs. Runs in a child
// process; reports the phases' times and the memory growth.
#include <benchmark/benchmark.h>

#include "bench/bench_tables.h"

namespace tarvo::bench {
namespace {

void BuildPeople(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  const auto write_every = static_cast<std::int32_t>(state.range(1));
  TChildRun run;
  for (auto _ : state) {
    const std::filesystem::path work = TPristineTables::Instance().WorkDirectory("build");
    run = RunInChild([&](TChildValues& values) {
      const TPeopleStats stats = BuildPeopleTable(work, count, kDefaultSeed, write_every);
      values["load_seconds"] = stats.load_seconds;
      values["delete_seconds"] = stats.delete_seconds;
      values["repeated_names"] = static_cast<double>(stats.repeated_names);
      values["notes"] = static_cast<double>(stats.notes);
    });
    if (!run.ok) {
      state.SkipWithError(("build failed: " + run.error).c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    state.counters["files_MB"] = static_cast<double>(DirectoryBytes(work)) / (1 << 20);
  }
  state.counters["records"] = count;
  state.counters["load_s"] = run.values["load_seconds"];
  state.counters["delete_s"] = run.values["delete_seconds"];
  state.counters["repeated_names"] = run.values["repeated_names"];
  state.counters["notes"] = run.values["notes"];
  state.counters["op_rss_growth_MB"] = run.growth_mb;
}

BENCHMARK(BuildPeople)
    ->Args({100'000, 1000})
    ->Args({100'000, 0})
    ->Args({200'000, 0})
    ->Args({1'000'000, 1000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo::bench

BENCHMARK_MAIN();
