// tarvo import TABLE FILE.jsonl: adds one record per line of a JSON Lines file (record_json.h),
// blob values included. FILE is read as a stream, so a pipe, a FIFO or "-" (standard input)
// serves as well as a file.
// A value for the auto-increment field is kept (1 to 2147483647, not the identifier of a record
// in use); a record without one gets the next value. The first record that cannot be stored as
// given, or that the engine refuses (duplicate key, required field, limit), stops the import
// with its line number and the field or the engine's message; the records before it stay.
// Whatever cuts the import off, the table holds what it held plus a prefix of the records
// (import_table.h).
#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/record_json.h"
#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/import_table.h"

namespace tarvo::cli {

namespace {

struct TImportArgs {
  std::string table;
  std::string input;
};

// The size of a regular file, for the progress; 0 for anything else (a pipe has no size).
std::uintmax_t InputSize(const std::string& input) {
  std::error_code error;
  if (input == "-" || !std::filesystem::is_regular_file(input, error)) return 0;
  const std::uintmax_t size = std::filesystem::file_size(input, error);
  return error ? 0 : size;
}

// Refuses a record whose auto-increment value is the identifier of a record in use.
void CheckIdentifier(TImportTarget& target, std::span<const std::byte> record) {
  for (const TFieldDescriptor& d : target.Cursor().Descriptors()) {
    if (!IsAutoIncrement(d.FieldType, d.FieldSubType)) continue;
    const std::int32_t id = RecordAutoIncrement(record);
    if (target.IdentifierInUse(id)) {
      throw EFieldValueError(d.FieldName, std::to_string(id) + " is the value of another record");
    }
    return;
  }
}

// The line of record `record` (from 0), given the lines after gaps; `last_line` for -1.
long LineOf(std::int64_t record, long last_line,
            const std::vector<std::pair<std::int64_t, long>>& lines_after_gaps) {
  if (record < 0) return last_line;
  auto after =
      std::upper_bound(lines_after_gaps.begin(), lines_after_gaps.end(), std::pair(record, LONG_MAX));
  if (after == lines_after_gaps.begin()) return static_cast<long>(record + 1);
  --after;
  return after->second + static_cast<long>(record - after->first);
}

int RunImport(const TImportArgs& args, const TCliState& state) {
  std::ifstream file;
  if (args.input != "-") {
    file.open(args.input, std::ios::binary);
    if (!file) {
      std::cerr << "cannot read " << args.input << "\n";
      return kExitError;
    }
  }
  std::istream& in = args.input == "-" ? std::cin : file;
  const std::uintmax_t size = InputSize(args.input);
  const TTablePath path = SplitTablePath(args.table);
  TCliEngine engine(path.directory, state.passwords);
  TDataCursor cursor(engine.Session(), engine.Directory());
  TCursorOpenOptions open;
  open.table_name = path.table;
  TProgressDisplay progress(state.quiet);
  progress.Start(args.input);
  std::string line;
  long line_number = 0;
  std::int64_t records = 0;
  // Where blank lines were skipped: (record, its line) for each record after them, so that a
  // record refused after later ones were read is named by its line.
  std::vector<std::pair<std::int64_t, long>> lines_after_gaps;
  std::uintmax_t consumed = 0;
  TJsonRecord json;
  const TImportResult result =
      ImportRecords(cursor, open, [&](TImportTarget& target, std::span<std::byte> record) {
        do {
          // A pipe may keep us waiting: the records so far are written first.
          if (size == 0 && in.rdbuf()->in_avail() <= 0) target.WaitingForInput();
          if (!std::getline(in, line)) {
            if (in.bad()) throw std::runtime_error("cannot read " + args.input);
            return false;
          }
          ++line_number;
          consumed += line.size() + 1;
        } while (line.find_first_not_of(" \t\r") == std::string::npos);
        if (line_number != LineOf(records, 0, lines_after_gaps))
          lines_after_gaps.emplace_back(records, line_number);
        if (progress.Enabled()) progress.Update(records, size > 0 ? static_cast<int>(consumed * 100 / size) : 0);
        TDataCursor& target_cursor = target.Cursor();
        json.Parse(line);
        const bool keep = JsonToCursorRecord(json, target_cursor, record);
        if (keep) CheckIdentifier(target, record);
        target_cursor.KeepSuppliedAutoIncrement = keep;
        ++records;
        return true;
      });
  progress.Clear();
  if (result.refusal) {
    try {
      std::rethrow_exception(result.refusal);
    } catch (const std::exception& e) {
      std::cerr << args.input << ":" << LineOf(result.refused_record, line_number, lines_after_gaps) << ": "
                << MessageText(e, cursor.LanguageID()) << "\n";
    }
    if (!state.quiet) std::cout << result.added << " records imported\n";
    return kExitError;
  }
  if (!state.quiet) std::cout << result.added << " records imported\n";
  return kExitOk;
}

void SetupImport(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TImportArgs>();
  CLI::App* command = app.add_subcommand("import", "Add the records of a JSON Lines file to a table");
  command->add_option("TABLE", args->table, "The table's data file (.DAT)")->required();
  command->add_option("FILE", args->input, "One JSON object per line, keys the field names; - reads standard input")
      ->required();
  command->footer(
      "A record that cannot be stored as given stops the import with its line number; the records\n"
      "before it stay. A cut-off import leaves the table as it was plus a part of the records.\n"
      "Example:\n  tarvo import data/Kunden.DAT kunden.jsonl");
  command->callback([args, &state] { state.action = [args, &state] { return RunImport(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(60, SetupImport);

}  // namespace tarvo::cli
