// Tables and measurements for the benchmarks of table-wide operations.
//
// The "People" table: ID (auto-increment, primary index), Name text(40) (about 30% of the records
// repeat an earlier record's name, some of them in other case), City text(30) (500 cities, some
// far more common than others), Amount float, Born date, Active boolean, Notes memo (on about 20%
// of the records, 100 to 3,000 characters); secondary indexes ByName (case-insensitive, not
// unique) and ByCityBorn (City, Born; not unique). After loading, every 10th record slot is
// deleted. The content depends only on the record count and the seed, through a generator of
// our own (not the standard library's distributions, whose results differ between libraries).
//
// Operations are measured in a child process (fork) so that the parent's memory (the benchmark
// library, earlier runs) does not hide what the operation itself takes; the pristine tables are
// built in a child too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "engine/format/table_definition.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/field_builder.h"

namespace tarvo {
class TDataDirectory;
class TDataSession;
}  // namespace tarvo

namespace tarvo::bench {

inline constexpr char kPeopleTable[] = "People";
inline constexpr std::uint64_t kDefaultSeed = 20240611;

// Field numbers (1-based) of the People table.
inline constexpr std::uint16_t kPeopleId = 1;
inline constexpr std::uint16_t kPeopleName = 2;
inline constexpr std::uint16_t kPeopleCity = 3;
inline constexpr std::uint16_t kPeopleAmount = 4;
inline constexpr std::uint16_t kPeopleBorn = 5;
inline constexpr std::uint16_t kPeopleActive = 6;
inline constexpr std::uint16_t kPeopleNotes = 7;

TTableDefinition PeopleDefinition();

// Random numbers for choosing keys, the same on both sides of a comparison (SplitMix64).
class TPicker {
 public:
  explicit TPicker(std::uint64_t seed) : state_(seed) {}
  std::uint32_t Below(std::uint32_t n) {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<std::uint32_t>(((z >> 32) * n) >> 32);
  }

 private:
  std::uint64_t state_;
};

// One record of the People table as the generator makes it (ID is the record's position, from 1).
struct TPeopleRow {
  std::string name;
  std::string city;
  std::uint32_t city_number = 0;  // which of the 500 cities
  double amount = 0;
  std::int32_t born = 0;  // day number, 0001-01-01 = day 1
  bool active = false;
  bool has_notes = false;
  std::string notes;
};

// The records of the People table one after the other: the same seed gives the same rows,
// whichever program writes them out.
class TPeopleGenerator {
 public:
  explicit TPeopleGenerator(std::uint64_t seed);
  // Fills `row` with the next record.
  void Next(TPeopleRow& row);
  static std::uint32_t CityCount();

 private:
  std::uint64_t seed_;
  std::uint64_t state_;
  std::uint64_t fresh_ = 0;  // names made up so far
};

// The name with ASCII letters upper-cased, hashed: rows whose names differ only in case agree.
std::uint64_t FoldedNameHash(std::string_view name);

// What a build put into the table.
struct TPeopleStats {
  std::int64_t added = 0;
  std::int64_t deleted = 0;
  std::int64_t notes = 0;  // records given a memo (deleted ones included)
  std::int64_t note_bytes = 0;
  std::int64_t repeated_names = 0;  // records whose name (without case) an earlier record has
  std::int64_t distinct_cities = 0;
  double load_seconds = 0;
  double delete_seconds = 0;
};

// Creates the People table with `count` records in `directory` (made when missing; an existing
// table of that name is replaced) and deletes every 10th slot. The records are written out after
// every `write_every` deletions (0: only at the end): with a large record cache full of deleted
// (modified) records, finding a record to evict walks the whole cache each time.
// The table is named `table` (default "People").
TPeopleStats BuildPeopleTable(const std::filesystem::path& directory, std::int32_t count,
                              std::uint64_t seed = kDefaultSeed, std::int32_t write_every = 1000,
                              const std::string& table = kPeopleTable);

// Creates the People table without records in `directory` (made when missing; an existing table
// of that name is replaced).
void CreateEmptyPeopleTable(const std::filesystem::path& directory, const std::string& table = kPeopleTable);

// The table files (every regular file) of `from` copied into `to`, which is emptied first.
void CopyTableFiles(const std::filesystem::path& from, const std::filesystem::path& to);
// Total bytes of the regular files in `directory` (not recursive).
std::int64_t DirectoryBytes(const std::filesystem::path& directory);

// One measured run in a child process.
struct TChildRun {
  bool ok = false;
  std::string error;                     // the exception's text, or how the child ended
  double seconds = 0;                    // wall time of the operation alone
  double start_rss_mb = 0;               // the child's resident memory when the operation began
  double peak_rss_mb = 0;                // its peak resident memory up to the operation's end
  double growth_mb = 0;                  // peak_rss_mb - start_rss_mb: what the operation added
  double child_maxrss_mb = 0;            // the child's ru_maxrss as wait4 reports it (whole life)
  double child_cpu_seconds = 0;          // the child's user + system time (whole life)
  std::map<std::string, double> values;  // figures the operation reported (see TChildValues)
};

// What an operation running in the child hands back besides its time.
using TChildValues = std::map<std::string, double>;

// Runs `operation` in a forked child: the peak is reset just before it starts (where the kernel
// allows) and read right after it ends; `after` (may be empty) runs after the measurement, e.g.
// to check the result, and may add values. The child leaves through _exit.
TChildRun RunInChild(const std::function<void(TChildValues&)>& operation,
                     const std::function<void(TChildValues&)>& after = {});

// The pristine People tables of this process, built once per count (in a child process) under a
// temporary directory that is removed when the process ends. With the environment variable
// TARVO_BENCH_CACHE naming a directory, the tables are kept there and reused by later runs (a
// stamp file records count, seed and generator version).
class TPristineTables {
 public:
  static TPristineTables& Instance();
  // The directory holding the pristine table of `count` records; builds it when needed (and
  // reports the build on stderr).
  const std::filesystem::path& Get(std::int32_t count);
  // A fresh working directory for one iteration (emptied).
  std::filesystem::path WorkDirectory(const std::string& name);
  ~TPristineTables();

 private:
  TPristineTables();
  std::filesystem::path root_;
  bool keep_ = false;
  std::map<std::int32_t, std::filesystem::path> built_;
};

// A session with one directory object on `directory`, released on destruction.
class TBenchEngine {
 public:
  explicit TBenchEngine(const std::filesystem::path& directory);
  ~TBenchEngine();
  TBenchEngine(const TBenchEngine&) = delete;
  TBenchEngine& operator=(const TBenchEngine&) = delete;
  TDataSession& Session() { return *session_; }
  TDataDirectory& Directory() { return *directory_; }

 private:
  std::unique_ptr<TDataSession> session_;
  TDataDirectory* directory_ = nullptr;
};

// Options that open the People table exclusively, as the maintenance operations require.
TCursorOpenOptions ExclusivePeople();

// The process's own peak resident memory (ru_maxrss) in MiB.
double SelfPeakMegabytes();

// Runs `main` for a program of the comparison: an exception ends it with status 1 after
// "NAME: what" on standard error.
int RunProgram(const char* name, int (*main)(int, char**), int argc, char** argv);

// An index over field numbers (fields: testing::Field and testing::Numbered).
TIndexDescriptor Index(const std::string& name, std::initializer_list<std::uint16_t> fields, bool unique,
                       bool case_insensitive = false);

}  // namespace tarvo::bench
