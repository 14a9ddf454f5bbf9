// Restructuring the People table (bench_tables.h) of 100,000 and 1,000,000 records by the copy
// way: Name grows from 40 to 50 characters and a new Rating field is appended, so every record is
// converted into a new table. Each iteration works on a fresh copy of the pristine files and runs
// the operation in a child process. Reports the operation's wall time, the child's resident
// memory growth during the operation, its whole-life peak, and the parent's own peak.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_tables.h"
#include "engine/format/field_types.h"
#include "engine/maintenance/optimize.h"
#include "engine/maintenance/restructure.h"
#include "engine/tables/data_cursor.h"

namespace tarvo::bench {
namespace {

// The table's own definition with Name widened and a field added.
TRestructureRequest WiderPeople(TDataCursor& cursor) {
  cursor.Open(ExclusivePeople());
  const TTableDefinition d = DefinitionOf(cursor.Table());
  cursor.Close();
  TRestructureRequest r = RequestFromDefinition(d);
  for (TFieldDescriptor& field : r.fields) {
    if (field.FieldNumber == kPeopleName) field.FieldSize = 50;
  }
  TFieldDescriptor rating = testing::Field("Rating", kTypeInt16);
  rating.FieldNumber = static_cast<std::uint16_t>(r.fields.size() + 1);
  r.fields.push_back(rating);
  return r;
}

void Restructure(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  const std::filesystem::path& pristine = TPristineTables::Instance().Get(count);
  TChildRun run;
  std::int64_t in_bytes = 0;
  for (auto _ : state) {
    const std::filesystem::path work = TPristineTables::Instance().WorkDirectory("restructure");
    CopyTableFiles(pristine, work);
    in_bytes = DirectoryBytes(work);
    run = RunInChild(
        [&](TChildValues& values) {
          TBenchEngine engine(work);
          TDataCursor cursor(engine.Session(), engine.Directory());
          const TRestructureRequest request = WiderPeople(cursor);
          std::int64_t losses = 0;
          TRestructureCallbacks callbacks;
          callbacks.data_lost = [&](std::uint8_t, const std::string&, bool&, bool&) { ++losses; };
          const TRestructureWay way = RestructureTable(cursor, ExclusivePeople(), request, callbacks);
          values["way"] = static_cast<double>(way);
          values["losses"] = static_cast<double>(losses);
        },
        [&](TChildValues& values) {
          TBenchEngine engine(work);
          TDataCursor cursor(engine.Session(), engine.Directory());
          cursor.Open(ExclusivePeople());
          values["records_after"] = cursor.RecordCount();
          values["fields_after"] = cursor.FieldCount();
          cursor.Close();
        });
    if (!run.ok) {
      state.SkipWithError(("restructure failed: " + run.error).c_str());
      break;
    }
    if (run.values["way"] != static_cast<double>(TRestructureWay::kCopy)) {
      state.SkipWithError("the restructure did not take the copy way");
      break;
    }
    state.SetIterationTime(run.seconds);
    state.counters["out_MB"] = static_cast<double>(DirectoryBytes(work)) / (1 << 20);  // with backups
  }
  state.counters["records"] = count;
  state.counters["records_after"] = run.values["records_after"];
  state.counters["fields_after"] = run.values["fields_after"];
  state.counters["losses"] = run.values["losses"];
  state.counters["in_MB"] = static_cast<double>(in_bytes) / (1 << 20);
  state.counters["op_rss_growth_MB"] = run.growth_mb;
  state.counters["child_peak_rss_MB"] = run.child_maxrss_mb;
  state.counters["child_cpu_s"] = run.child_cpu_seconds;
  state.counters["self_peak_rss_MB"] = SelfPeakMegabytes();
}

BENCHMARK(Restructure)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo::bench

BENCHMARK_MAIN();
