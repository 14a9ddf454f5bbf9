// Adding 1,000,000 records (text, integer, date) to an exclusive table with a primary index on
// the integer and two secondary indexes (the text case-insensitive, the date), through the
// cursor. Reports the time and the peak resident memory of the process.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include "bench/bench_tables.h"

#include <filesystem>
#include <random>
#include <string>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo {
namespace {

void AddRecords(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tarvo_add_bench_" + std::to_string(::getpid()));
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    TDataSession session;
    TDataDirectory* directory = session.GetDirectory("", dir.string());
    TTableDefinition definition;
    definition.fields =
        testing::Numbered({testing::Field("Name", kTypeText, 30), testing::Field("Count", kTypeInt32),
                           testing::Field("Born", kTypeDate)});
    definition.indexes = {bench::Index("", {2}, true), bench::Index("ByName", {1}, false, true),
                          bench::Index("ByBorn", {3}, false)};
    directory->CreateTable("Bench", definition);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> letter(0, 51);
    std::uniform_int_distribution<int> day(693'000, 740'000);
    {
      TDataCursor cursor(session, *directory);
      TCursorOpenOptions options;
      options.table_name = "Bench";
      options.exclusive = true;
      cursor.Open(options);
      const auto& fields = cursor.Descriptors();
      std::vector<std::byte> record = cursor.NewRecordBuffer();
      std::string name(12, 'a');
      state.ResumeTiming();
      for (std::int32_t i = 0; i < count; ++i) {
        for (char& c : name)
          c = static_cast<char>(letter(random) < 26 ? 'a' + letter(random) % 26 : 'A' + letter(random) % 26);
        PutText(FieldSlot(record, fields[0]), name, 0, 0, 0);
        PutInt32(FieldSlot(record, fields[1]), i * 7 + 3);
        PutDate(FieldSlot(record, fields[2]), day(random));
        cursor.AddRecord(record, false);
      }
      cursor.Close();  // the last opener writes everything
      state.PauseTiming();
    }
    (void)session.ReleaseDirectory(directory);
    state.ResumeTiming();
  }
  std::filesystem::remove_all(dir);
  state.counters["records"] = count;
  state.counters["peak_rss_MB"] = bench::SelfPeakMegabytes();
}

BENCHMARK(AddRecords)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo

BENCHMARK_MAIN();
