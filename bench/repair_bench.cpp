// Repair of a 1,000,000-record table: Name (text, 20), Count (integer, primary index), Born
// (date), Rate (float) and a memo on every fifth record; secondary indexes ByName
// (case-insensitive) and ByBorn; every tenth slot deleted. The table is built once per process;
// each iteration repairs a fresh copy of its three files. Reports the time, the process's peak
// resident memory (getrusage, building included) and the peak during the repairs alone.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>
#include "bench/bench_tables.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo {
namespace {

constexpr std::int32_t kRecords = 1'000'000;
constexpr std::uint16_t kMemoField = 5;

// The kernel's high-water mark of the resident set can be reset: the peak of one phase alone.
void ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

double PeakResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

std::filesystem::path BenchDir(const char* kind) {
  return std::filesystem::temp_directory_path() /
         ("tarvo_repair_bench_" + std::string(kind) + "_" + std::to_string(::getpid()));
}

// The source table, built once.
const std::filesystem::path& SourceTable() {
  static const std::filesystem::path dir = [] {
    const std::filesystem::path path = BenchDir("source");
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    TDataSession session;
    TDataDirectory* directory = session.GetDirectory("", path.string());
    TTableDefinition definition;
    // The memo is field kMemoField.
    definition.fields =
        testing::Numbered({testing::Field("Name", kTypeText, 20), testing::Field("Count", kTypeInt32),
                           testing::Field("Born", kTypeDate), testing::Field("Rate", kTypeFloat),
                           testing::Field("Memo", kTypeBlob, 0, kSubTypeMemo)});
    definition.indexes = {bench::Index("", {2}, true), bench::Index("ByName", {1}, false, true),
                          bench::Index("ByBorn", {3}, false)};
    definition.blob_block_size = 512;
    directory->CreateTable("Bench", definition);
    {
      TDataCursor cursor(session, *directory);
      TCursorOpenOptions options;
      options.table_name = "Bench";
      options.exclusive = true;
      cursor.Open(options);
      const auto& fields = cursor.Descriptors();
      std::mt19937 random(42);
      std::uniform_int_distribution<int> letter(0, 51);
      std::uniform_int_distribution<int> day(693'000, 740'000);
      std::uniform_int_distribution<int> memo_size(50, 1500);
      std::string name(12, 'a');
      for (std::int32_t i = 0; i < kRecords; ++i) {
        std::vector<std::byte> record = cursor.NewRecordBuffer();
        for (char& c : name) {
          const int l = letter(random);
          c = static_cast<char>(l < 26 ? 'a' + l : 'A' + l - 26);
        }
        PutText(FieldSlot(record, fields[0]), name, 0, 0, 0);
        PutInt32(FieldSlot(record, fields[1]), i * 7 + 3);
        PutDate(FieldSlot(record, fields[2]), day(random));
        PutFloat(FieldSlot(record, fields[3]), i * 0.25);
        if (i % 5 == 0) {
          std::vector<std::byte> value(static_cast<std::size_t>(memo_size(random)));
          for (std::size_t k = 0; k < value.size(); ++k) value[k] = static_cast<std::byte>('a' + k % 26);
          cursor.SetBlobField(record, kMemoField, value);
        }
        cursor.AddRecord(record, false);
      }
      for (std::int32_t slot = 10, deleted = 0; slot <= kRecords; slot += 10) {
        if (!cursor.GoToSlot(slot)) continue;
        cursor.DeleteRecord(cursor.CurrentRecord(), false);
        // Written now and then: a cache full of changed records makes every further read slow.
        if (++deleted % 1000 == 0) cursor.Table().WriteAll(false, false);
      }
      cursor.Close();
    }
    (void)session.ReleaseDirectory(directory);
    return path;
  }();
  return dir;
}

void RepairLargeTable(benchmark::State& state) {
  const std::filesystem::path& source = SourceTable();
  const std::filesystem::path copy = BenchDir("copy");
  double repair_peak = 0;
  std::int64_t findings = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(copy);
    std::filesystem::create_directories(copy);
    for (const auto& entry : std::filesystem::directory_iterator(source)) {
      std::filesystem::copy_file(entry.path(), copy / entry.path().filename());
    }
    TDataSession session;
    TDataDirectory* directory = session.GetDirectory("", copy.string());
    ResetPeakResident();
    state.ResumeTiming();
    {
      TDataCursor cursor(session, *directory);
      TCursorOpenOptions open;
      open.table_name = "Bench";
      open.exclusive = true;
      TRepairCallbacks callbacks;
      callbacks.log = [&](const std::string&) { ++findings; };
      RepairTable(cursor, open, {}, callbacks);
    }
    state.PauseTiming();
    repair_peak = std::max(repair_peak, PeakResidentMegabytes());
    (void)session.ReleaseDirectory(directory);
    state.ResumeTiming();
  }
  std::filesystem::remove_all(copy);
  state.counters["records"] = kRecords;
  state.counters["log_lines_per_run"] =
      static_cast<double>(findings) / static_cast<double>(state.iterations());
  state.counters["peak_rss_MB"] = bench::SelfPeakMegabytes();
  state.counters["repair_peak_rss_MB"] = repair_peak;
}

BENCHMARK(RepairLargeTable)->Iterations(2)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(tarvo::BenchDir("source"));
  return 0;
}
