// tarvo restructure TABLE --definition FILE.json [--no-backup] [--stop-on-loss]
//
// The table takes the definition of the file (the form of `tarvo create`); a field keeps its
// data when the new definition has a field of the same name (without regard to case).
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/table_definition_json.h"
#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "engine/maintenance/restructure.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo::cli {

namespace {

struct TRestructureOptions {
  std::string table;
  std::string definition;
  bool no_backup = false;
  bool stop_on_loss = false;
};

const char* CauseName(std::uint8_t cause) {
  switch (cause) {
    case kLossPostFailure: return "PostFailure";
    case kLossKeyViolation: return "KeyViolation";
    case kLossValidityViolation: return "ValidityViolation";
    case kLossFieldRemoved: return "FieldRemoved";
    case kLossConversionLoss: return "ConversionLoss";
    default: return "Unknown";
  }
}

// The request for `definition`, its fields paired with the table's by name. Names are compared as
// characters: the old ones are bytes of the table's code page, the new ones of the definition's.
TRestructureRequest RequestFor(const TTableDefinition& definition, const std::vector<TFieldDescriptor>& old_fields,
                               TLanguageId old_language) {
  TRestructureRequest request = RequestFromDefinition(definition);
  request.fields.clear();
  request.indexes.clear();
  std::uint16_t next_number = 0;
  for (const TFieldDescriptor& d : old_fields) next_number = std::max(next_number, d.FieldNumber);
  const std::vector<std::string> old_names = Utf8FieldNames(old_fields, old_language);
  std::vector<std::uint16_t> numbers;  // by position in the new definition
  for (TFieldDescriptor field : definition.fields) {
    const std::string name = CodePageToUtf8(field.FieldName, definition.language_id);
    std::uint16_t number = 0;
    for (std::size_t i = 0; i < old_fields.size(); ++i) {
      if (SameNameIgnoringCase(TrimBlanks(old_names[i]), TrimBlanks(name))) number = old_fields[i].FieldNumber;
    }
    field.FieldNumber = number != 0 ? number : ++next_number;
    numbers.push_back(field.FieldNumber);
    request.fields.push_back(field);
  }
  for (TIndexDescriptor index : definition.indexes) {
    for (int i = 0; i < index.field_count; ++i) {
      const std::uint16_t position = index.field_numbers[static_cast<std::size_t>(i)];
      if (position >= 1 && position <= numbers.size())
        index.field_numbers[static_cast<std::size_t>(i)] = numbers[position - 1u];
    }
    request.indexes.push_back(index);
  }
  return request;
}

int RunRestructure(const TRestructureOptions& options, TCliState& state) {
  const std::optional<nlohmann::json> json = ReadDefinitionFile(options.definition);
  if (!json) return kExitError;
  const TTablePath path = SplitTablePath(options.table);
  state.language = DefinitionLanguage(*json);
  TTableDefinition definition;
  try {
    definition = ParseTableDefinition(*json, path.table);
  } catch (const std::invalid_argument& e) {
    std::cerr << "the definition " << options.definition << ": " << e.what() << "\n";
    return kExitError;
  }
  TCliEngine engine(path.directory, state.passwords);
  std::vector<TFieldDescriptor> old_fields;
  TLanguageId old_language = 0;
  {
    TDataCursor reader(engine.Session(), engine.Directory());
    TCursorOpenOptions open;
    open.table_name = path.table;
    open.read_only = true;
    reader.Open(open);
    old_fields = reader.Descriptors();
    old_language = reader.LanguageID();
    reader.Close();
  }
  TRestructureRequest request = RequestFor(definition, old_fields, old_language);
  request.no_backup = options.no_backup;
  TRestructureCallbacks callbacks;
  TProgressDisplay progress(state.quiet);
  progress.Start(path.table);
  callbacks.progress = [&progress](std::int32_t current, std::uint16_t percent) {
    progress.Update(current, percent);
  };
  int losses = 0;
  int dropped = 0;  // records left out (a record that could not be added), not values
  callbacks.data_lost = [&](std::uint8_t cause, const std::string& context, bool& continue_run, bool&) {
    ++losses;
    if (cause == kLossPostFailure || cause == kLossKeyViolation || cause == kLossValidityViolation) ++dropped;
    progress.Clear();
    std::cout << "data lost: " << CauseName(cause) << " (" << int{cause} << ")"
              << (context.empty() ? "" : ": " + PrintableText(context, old_language)) << "\n";
    if (options.stop_on_loss) continue_run = false;
  };
  TDataCursor cursor(engine.Session(), engine.Directory());
  TCursorOpenOptions open;
  open.table_name = path.table;
  open.exclusive = true;
  const TRestructureWay way = RestructureTable(cursor, open, request, callbacks);
  progress.Clear();
  if (options.stop_on_loss && losses > 0) {
    std::cerr << "tarvo: restructure of " << path.table
              << " stopped at the first data loss; the table is unchanged\n";
    return kExitError;
  }
  if (dropped > 0) {
    // Records gone are never a success, even when the run went on as asked.
    std::cerr << "tarvo: restructure of " << path.table << " left out " << dropped
              << (dropped == 1 ? " record" : " records") << " (see the data-loss lines)\n";
    return kExitError;
  }
  if (!state.quiet) {
    const char* how = way == TRestructureWay::kHeaderOnly       ? "header values rewritten"
                      : way == TRestructureWay::kIndexesInPlace ? "indexes rebuilt"
                                                                : "records copied into new files";
    std::cout << "Restructured " << path.table << ": " << how << "\n";
  }
  return kExitOk;
}

void SetupRestructure(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TRestructureOptions>();
  CLI::App* command = app.add_subcommand("restructure", "Give a table a new definition, keeping its records");
  command->add_option("TABLE", options->table, "The data file of the table (DIR/NAME.DAT)")->required();
  command
      ->add_option("--definition", options->definition, "The new definition (JSON, as `tarvo create` reads)")
      ->required();
  command->add_flag("--no-backup", options->no_backup, "Delete the old files instead of keeping backups");
  command->add_flag("--stop-on-loss", options->stop_on_loss,
                    "Leave the table unchanged at the first data loss");
  command->footer(
      "Every data loss is printed as one line. Exit status: 0 done, 2 error or records left out\n"
      "(the run goes on past them unless --stop-on-loss), 3 table in use.\n"
      "Example:\n  tarvo info data/Kunden.DAT --json | jq .definition > def.json\n"
      "  tarvo restructure data/Kunden.DAT --definition def.json");
  command->callback(
      [options, &state] { state.action = [options, &state] { return RunRestructure(*options, state); }; });
}

}  // namespace

TARVO_COMMAND(61, SetupRestructure);

}  // namespace tarvo::cli
