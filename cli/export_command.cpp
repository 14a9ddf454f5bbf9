// tarvo export TABLE [--index NAME] [--format jsonl|csv|sql] [--dialect sqlite|postgresql]: writes
// every record with its blob values, in the order of the primary index, of the named secondary
// index, or, for a table without primary index, in slot order: as one JSON object per line
// (record_json.h, the default), as CSV with a header line, or as INSERT statements of the dialect
// (sql/migrate/value_literals.h).
#include <iostream>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/record_json.h"
#include "cli/terminal.h"
#include "sql/migrate/value_literals.h"

namespace tarvo::cli {

namespace {

struct TExportArgs {
  std::string table;
  std::string index;
  std::string format = "jsonl";
  std::string dialect = "sqlite";
};

int RunExport(const TExportArgs& args, TCliState& state) {
  const auto dialect = sql::ParseDialect(args.dialect);
  if (!dialect) {
    std::cerr << "tarvo: unknown dialect '" << args.dialect << "' (sqlite or postgresql)\n";
    return kExitError;
  }
  auto opened = OpenTableByPath(args.table, false, true, state.passwords, TerminalPasswordQuestion());
  TDataCursor& cursor = *opened->cursor;
  state.language = cursor.LanguageID();
  cursor.SelectIndex(StoredIndexName(cursor.Table().IndexFile().Header(), args.index, cursor.LanguageID()));
  if (args.format == "jsonl") {
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      std::cout << CurrentRecordToJson(cursor).dump() << "\n";
    }
  } else {
    const sql::TTableSchema schema = sql::SchemaOf(cursor);
    std::vector<sql::TSqlValue> row(schema.fields.size());
    std::string out;
    if (args.format == "csv") sql::AppendCsvHeader(out, schema.columns);
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = sql::CurrentFieldValue(cursor, schema.fields[i].FieldNumber);
      if (args.format == "csv") {
        sql::AppendCsvRecord(out, row);
      } else {
        out += sql::InsertStatement(schema, row, *dialect);
        out += '\n';
      }
      if (out.size() >= (1 << 16)) {
        std::cout << out;
        out.clear();
      }
    }
    std::cout << out;
  }
  std::cout.flush();
  return std::cout ? kExitOk : kExitError;
}

void SetupExport(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TExportArgs>();
  CLI::App* command = app.add_subcommand("export", "Write the records of a table as JSON Lines, CSV or SQL");
  command->add_option("TABLE", args->table, "The table's data file (.DAT)")->required();
  command->add_option("--index", args->index, "A secondary index whose order to follow");
  command->add_option("--format", args->format, "jsonl (the default), csv or sql")
      ->check(CLI::IsMember({"jsonl", "csv", "sql"}));
  command->add_option("--dialect", args->dialect,
                      "The dialect of --format sql: sqlite (the default) or postgresql");
  command->footer(
      "Example:\n  tarvo export data/Kunden.DAT --index ByName > kunden.jsonl\n"
      "  tarvo export data/Kunden.DAT --format csv > kunden.csv");
  command->callback([args, &state] { state.action = [args, &state] { return RunExport(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(61, SetupExport);

}  // namespace tarvo::cli
