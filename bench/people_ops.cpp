// tarvo-bench-ops: the everyday operations on the People table (bench_tables.h), on a Tarvo table
// or on the SQLite database that tarvo-bench-tables wrote, for the side-by-side comparison in
// bench/compare.
//
//   tarvo-bench-ops OPERATION (--tarvo DIR | --sqlite FILE) [--size N] [--count N] [--seed S]
//                   [--exclusive]
//
// Operations:
//   add           adds --count records (default 100,000; rows of the generator with seed S + 1)
//                 one by one: Tarvo through a cursor on the shared table (--exclusive: alone),
//                 SQLite with one prepared INSERT, a transaction per 1,000 records
//   find-primary  --count random look-ups (default 1,000,000) of IDs 1 .. --size (every 10th is
//                 deleted, so a tenth miss), reading the found record's fields except the memo:
//                 Tarvo FindKey on the primary index, SQLite a prepared indexed SELECT
//   find-name     the same by name (names of the generator's first --size records, as generated;
//                 both sides compare without case): FindKey on ByName, SELECT ... WHERE Name = ?
//                 COLLATE NOCASE
//   walk-primary  every record in primary order reading every field, the memo included
//   walk-name     the same in name order (ORDER BY Name COLLATE NOCASE)
//
// The keys are made before the clock starts. Printed on standard output: "seconds=" the time of
// the operation alone (opening the table or database included), and figures both sides must
// agree on: "rows=" records read or added, "hits=" look-ups that found their key, "text_bytes="
// the characters of the text and memo fields read.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_options.h"
#include "bench/bench_tables.h"
#include "engine/format/calendar.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo::bench {
namespace {

constexpr TSideProgram kProgram = {"tarvo-bench-ops", "add|find-primary|find-name|walk-primary|walk-name", true};

TSideOptions ParseOptions(int argc, char** argv) {
  TSideOptions options = ParseSideOptions(kProgram, argc, argv);
  if (options.count < 0) options.count = options.operation == "add" ? 100'000 : 1'000'000;
  return options;
}

// The keys of the look-ups, made before the clock starts: IDs, or the picked names packed in one
// buffer in record order, with each look-up's place in it.
struct TLookups {
  std::vector<std::int32_t> ids;
  std::string names;
  std::vector<std::uint32_t> name_ends;
  std::vector<std::uint32_t> name_of;  // look-up -> its name in names
  std::string_view Name(std::size_t i) const {
    const std::uint32_t n = name_of[i];
    const std::uint32_t begin = n == 0 ? 0 : name_ends[n - 1];
    return std::string_view(names).substr(begin, name_ends[n] - begin);
  }
};

TLookups MakeLookups(const TSideOptions& options, bool by_name) {
  TLookups lookups;
  TPicker picker(options.seed ^ 0x5EEDull);
  std::vector<std::uint32_t> picks(static_cast<std::size_t>(options.count));
  for (auto& pick : picks) pick = picker.Below(static_cast<std::uint32_t>(options.size));
  if (!by_name) {
    lookups.ids.reserve(picks.size());
    for (const std::uint32_t pick : picks) lookups.ids.push_back(static_cast<std::int32_t>(pick) + 1);
    return lookups;
  }
  // The generator's records in order, keeping only the picked names: the memory follows the
  // number of look-ups, not the size of the table.
  std::vector<std::uint32_t> order(picks.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return picks[a] < picks[b]; });
  lookups.name_ends.reserve(picks.size());
  lookups.name_of.resize(picks.size());
  TPeopleGenerator generator(options.seed);
  TPeopleRow row;
  std::size_t k = 0;
  for (std::uint32_t record = 0; k < order.size(); ++record) {
    generator.Next(row);
    for (; k < order.size() && picks[order[k]] == record; ++k) {
      lookups.names += row.name;
      lookups.name_ends.push_back(static_cast<std::uint32_t>(lookups.names.size()));
      lookups.name_of[order[k]] = static_cast<std::uint32_t>(k);
    }
  }
  return lookups;
}

std::string DateText(std::int32_t day_number) {
  const std::optional<TDate> date = DateFromDayNumber(day_number);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date->Year, date->Month, date->Day);
  return text;
}

// --- Tarvo ---------------------------------------------------------------------------------------

// Reads every field of the cursor's current record (the memo too when `with_memo`).
void ReadTarvoRecord(TDataCursor& cursor, bool with_memo, TSideResult& result) {
  const auto& f = cursor.Descriptors();
  const std::vector<std::byte>& record = cursor.CurrentRecord();
  const std::int32_t id = RecordAutoIncrement(record);
  const std::optional<std::string> name = GetText(ConstFieldSlot(record, f[kPeopleName - 1]));
  const std::optional<std::string> city = GetText(ConstFieldSlot(record, f[kPeopleCity - 1]));
  const std::optional<double> amount = GetFloat(ConstFieldSlot(record, f[kPeopleAmount - 1]));
  const std::optional<std::int32_t> born = GetDate(ConstFieldSlot(record, f[kPeopleBorn - 1]));
  const std::optional<bool> active = GetBoolean(ConstFieldSlot(record, f[kPeopleActive - 1]));
  (void)id;
  (void)amount;
  (void)born;
  (void)active;
  result.text_bytes += static_cast<std::int64_t>(name.value_or("").size() + city.value_or("").size());
  if (with_memo && !IsNull(ConstFieldSlot(record, f[kPeopleNotes - 1]))) {
    result.text_bytes += static_cast<std::int64_t>(cursor.ReadBlobField(kPeopleNotes).size());
  }
}

TSideResult RunTarvo(const TSideOptions& options, const TLookups& lookups) {
  TSideResult result;
  TBenchEngine engine(options.tarvo_directory);
  TDataCursor cursor(engine.Session(), engine.Directory());
  TCursorOpenOptions open;
  open.table_name = kPeopleTable;
  open.exclusive = options.exclusive;
  cursor.Open(open);
  const auto& f = cursor.Descriptors();
  const std::string& op = options.operation;
  if (op == "add") {
    TPeopleGenerator generator(options.seed + 1);
    TPeopleRow row;
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    for (std::int32_t i = 0; i < options.count; ++i) {
      std::fill(record.begin(), record.end(), std::byte{0});
      generator.Next(row);
      PutText(FieldSlot(record, f[kPeopleName - 1]), row.name, 0, 0, 0);
      PutText(FieldSlot(record, f[kPeopleCity - 1]), row.city, 0, 0, 0);
      PutFloat(FieldSlot(record, f[kPeopleAmount - 1]), row.amount);
      PutDate(FieldSlot(record, f[kPeopleBorn - 1]), row.born);
      PutBoolean(FieldSlot(record, f[kPeopleActive - 1]), row.active ? 1 : 0);
      if (row.has_notes) cursor.SetBlobField(record, kPeopleNotes, std::as_bytes(std::span(row.notes)));
      (void)cursor.AddRecord(record, false);
      ++result.rows;
      result.text_bytes += static_cast<std::int64_t>(row.name.size() + row.city.size() + row.notes.size());
    }
  } else if (op == "find-primary" || op == "find-name") {
    const bool by_name = op == "find-name";
    cursor.SelectIndex(by_name ? "ByName" : "");
    std::vector<std::byte> key = cursor.NewRecordBuffer();
    for (std::size_t i = 0; i < static_cast<std::size_t>(options.count); ++i) {
      if (by_name) {
        PutText(FieldSlot(key, f[kPeopleName - 1]), lookups.Name(i), 0, 0, 0);
      } else {
        SetRecordAutoIncrement(key, lookups.ids[i]);
      }
      if (cursor.FindKey(key)) {
        ++result.hits;
        ReadTarvoRecord(cursor, false, result);
      }
    }
    result.rows = options.count;
  } else if (op == "walk-primary" || op == "walk-name") {
    cursor.SelectIndex(op == "walk-name" ? "ByName" : "");
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      ReadTarvoRecord(cursor, true, result);
      ++result.rows;
    }
  } else {
    Usage(kProgram, "unknown operation " + op);
  }
  cursor.Close();
  return result;
}

// --- SQLite --------------------------------------------------------------------------------------

void ReadSqliteRow(sqlite3_stmt* row, int columns, TSideResult& result) {
  for (int c = 0; c < columns; ++c) {
    switch (sqlite3_column_type(row, c)) {
      case SQLITE_INTEGER:
        (void)sqlite3_column_int64(row, c);
        break;
      case SQLITE_FLOAT:
        (void)sqlite3_column_double(row, c);
        break;
      case SQLITE_TEXT:
        (void)sqlite3_column_text(row, c);
        // The date is text here and a number in the Tarvo table: only names, cities and notes count.
        if (c == kPeopleName - 1 || c == kPeopleCity - 1 || c == kPeopleNotes - 1) {
          result.text_bytes += sqlite3_column_bytes(row, c);
        }
        break;
      default:
        break;
    }
  }
}

TSideResult RunSqlite(const TSideOptions& options, const TLookups& lookups) {
  TSideResult result;
  TSqliteDatabase db(options.sqlite_file);
  const std::string table = "\"" + std::string(kPeopleTable) + "\"";
  const std::string& op = options.operation;
  if (op == "add") {
    sqlite3_stmt* insert = db.Prepare("INSERT INTO " + table +
                                      "(Name, City, Amount, Born, Active, Notes) VALUES (?, ?, ?, ?, ?, ?)");
    TPeopleGenerator generator(options.seed + 1);
    TPeopleRow row;
    for (std::int32_t i = 0; i < options.count; ++i) {
      if (i % 1000 == 0) db.Execute("BEGIN");
      generator.Next(row);
      const std::string born = DateText(row.born);
      sqlite3_bind_text(insert, 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, row.city.data(), static_cast<int>(row.city.size()), SQLITE_STATIC);
      sqlite3_bind_double(insert, 3, row.amount);
      sqlite3_bind_text(insert, 4, born.data(), static_cast<int>(born.size()), SQLITE_STATIC);
      sqlite3_bind_int(insert, 5, row.active ? 1 : 0);
      if (row.has_notes) {
        sqlite3_bind_text(insert, 6, row.notes.data(), static_cast<int>(row.notes.size()), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(insert, 6);
      }
      (void)db.Step(insert);
      sqlite3_reset(insert);
      ++result.rows;
      result.text_bytes += static_cast<std::int64_t>(row.name.size() + row.city.size() + row.notes.size());
      if (i % 1000 == 999 || i + 1 == options.count) db.Execute("COMMIT");
    }
  } else if (op == "find-primary" || op == "find-name") {
    const bool by_name = op == "find-name";
    sqlite3_stmt* select = db.Prepare("SELECT ID, Name, City, Amount, Born, Active FROM " + table +
                                      (by_name ? " WHERE Name = ?1 COLLATE NOCASE" : " WHERE ID = ?1"));
    for (std::size_t i = 0; i < static_cast<std::size_t>(options.count); ++i) {
      if (by_name) {
        const std::string_view name = lookups.Name(i);
        sqlite3_bind_text(select, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
      } else {
        sqlite3_bind_int(select, 1, lookups.ids[i]);
      }
      if (db.Step(select)) {
        ++result.hits;
        ReadSqliteRow(select, 6, result);
      }
      sqlite3_reset(select);
    }
    result.rows = options.count;
  } else if (op == "walk-primary" || op == "walk-name") {
    sqlite3_stmt* select = db.Prepare("SELECT * FROM " + table +
                                      (op == "walk-name" ? " ORDER BY Name COLLATE NOCASE" : " ORDER BY ID"));
    while (db.Step(select)) {
      ReadSqliteRow(select, 7, result);
      ++result.rows;
    }
  } else {
    Usage(kProgram, "unknown operation " + op);
  }
  return result;
}

int Main(int argc, char** argv) {
  const TSideOptions options = ParseOptions(argc, argv);
  const std::string& op = options.operation;
  TLookups lookups;
  if (op == "find-primary" || op == "find-name") lookups = MakeLookups(options, op == "find-name");
  const auto started = std::chrono::steady_clock::now();
  const TSideResult result =
      options.tarvo_directory.empty() ? RunSqlite(options, lookups) : RunTarvo(options, lookups);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  PrintSideResult(seconds, result);
  return 0;
}

}  // namespace
}  // namespace tarvo::bench

int main(int argc, char** argv) {
  return tarvo::bench::RunProgram("tarvo-bench-ops", tarvo::bench::Main, argc, argv);
}
