// tarvo import TABLE FILE.jsonl: adds one record per line of a JSON Lines file (record_json.h),
// blob values included.
// A value for the auto-increment field is kept; a record without one gets the next value. The
// first record the engine refuses (duplicate key, required field, limit) stops the import with
// the engine's message and the line number; the records before it stay.
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/record_json.h"
#include "components/engine_error.h"

namespace tarvo::cli {

namespace {

struct TImportArgs {
  std::string table;
  std::string input;
};

int RunImport(const TImportArgs& args, const TCliState& state) {
  std::ifstream in(args.input);
  if (!in) {
    std::cerr << "cannot read " << args.input << "\n";
    return kExitError;
  }
  auto opened = OpenTableByPath(args.table, true, false, state.passwords);
  TDataCursor& cursor = *opened->cursor;
  // The share of the file read so far is the progress.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  TProgressDisplay progress(state.quiet);
  progress.Start(args.input);
  std::string line;
  long line_number = 0;
  long added = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (progress.Enabled() && size > 0) {
      progress.Update(added, static_cast<int>(static_cast<std::streamoff>(in.tellg()) * 100 / size));
    }
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    try {
      const nlohmann::json object = nlohmann::json::parse(line);
      cursor.KeepSuppliedAutoIncrement = JsonToCursorRecord(object, cursor, record);
      (void)cursor.AddRecord(record, false);
    } catch (const ETarvoEngineError& e) {
      progress.Clear();
      std::cerr << args.input << ":" << line_number << ": " << e.what() << "\n";
      return kExitError;
    } catch (const std::exception& e) {
      progress.Clear();
      std::cerr << args.input << ":" << line_number << ": " << e.what() << "\n";
      return kExitError;
    }
    ++added;
  }
  progress.Clear();
  opened->cursor->Close();
  if (!state.quiet) std::cout << added << " records imported\n";
  return kExitOk;
}

void SetupImport(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TImportArgs>();
  CLI::App* command = app.add_subcommand("import", "Add the records of a JSON Lines file to a table");
  command->add_option("TABLE", args->table, "The table's data file (.DAT)")->required();
  command->add_option("FILE", args->input, "One JSON object per line, keys the field names")->required();
  command->footer(
      "A refused record stops the import with its line number; the records before it stay.\n"
      "Example:\n  tarvo import data/Kunden.DAT kunden.jsonl");
  command->callback([args, &state] { state.action = [args, &state] { return RunImport(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(60, SetupImport);

}  // namespace tarvo::cli
