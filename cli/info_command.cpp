// tarvo info TABLE [--json]
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/table_definition_json.h"
#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor.h"

namespace tarvo::cli {

namespace {

struct TInfoOptions {
  std::string table;
  bool json = false;
};

// Counts the slots whose deleted flag is set, reading the record area in large runs.
std::int64_t CountDeletedSlots(TDataFile& data) {
  const std::int64_t slots = data.RecordSlotCount();
  const std::int64_t record_size = data.RecordSize();
  if (slots <= 0 || record_size <= 0) return 0;
  const std::int64_t per_read = std::max<std::int64_t>(1, (1 << 20) / record_size);
  std::vector<std::byte> buffer;
  std::int64_t deleted = 0;
  for (std::int64_t first = 0; first < slots; first += per_read) {
    const std::int64_t count = std::min(per_read, slots - first);
    buffer.resize(static_cast<std::size_t>(count * record_size));
    const std::size_t got = data.ReadAt(data.RecordAreaOffset() + first * record_size, buffer, true);
    for (std::int64_t i = 0; i < count; ++i) {
      const std::size_t at = static_cast<std::size_t>(i * record_size);
      if (at >= got) break;
      std::byte flag = buffer[at];
      // An encrypted record is enciphered as a whole; its first byte alone deciphers the same.
      if (data.Encrypted()) {
        std::array<std::byte, 1> one{flag};
        Encipher(one, kRecordKey);
        flag = one[0];
      }
      if (flag != std::byte{0}) ++deleted;
    }
  }
  return deleted;
}

std::string TypeText(const TFieldDescriptor& d) {
  std::string text = std::to_string(d.FieldType);
  if (d.FieldSubType != 0) text += "/" + std::to_string(d.FieldSubType);
  if (d.FieldSize != 0) text += "(" + std::to_string(d.FieldSize) + ")";
  if (d.FieldDecimals != 0) text += "," + std::to_string(d.FieldDecimals);
  return text;
}

int RunInfo(const TInfoOptions& options, TCliState& state) {
  const TTablePath path = SplitTablePath(options.table);
  TCliEngine engine(path.directory, state.passwords);
  TDataCursor cursor(engine.Session(), engine.Directory());
  TCursorOpenOptions open;
  open.table_name = path.table;
  open.read_only = true;
  cursor.Open(open);
  state.language = cursor.LanguageID();
  TDataTable& table = cursor.Table();
  TDataFile& data = table.DataFile();
  const TDataHeader& header = data.Header();
  const std::int64_t slots = data.RecordSlotCount();
  const std::int64_t deleted = CountDeletedSlots(data);

  nlohmann::json out;
  out["table"] = table.TableName();
  out["definition"] = DefinitionToJson(header, data.Descriptors(), table.IndexFile().Header());
  out["header"] = {{"header_change_count", header.HeaderChangeCount},
                   {"format_version", header.FormatVersion},
                   {"first_free_record", header.FirstFreeRecord},
                   {"next_record_slot", header.NextRecordSlot},
                   {"last_auto_increment", header.LastAutoIncrement},
                   {"record_size", header.RecordSize},
                   {"field_count", header.FieldCount},
                   {"blob_field_count", header.BlobFieldCount},
                   {"blob_block_size", EffectiveBlobBlockSize(header)},
                   {"blob_stamp_counter", header.BlobStampCounter},
                   {"engine_version", header.EngineVersion},
                   {"active_record_count", table.IndexFile().ActiveRecordCount()}};
  out["record_slots"] = slots;
  out["deleted_slots"] = deleted;
  out["records_in_use"] = slots - deleted;
  out["files"] = nlohmann::json::object();
  for (TFileHandler* file :
       {static_cast<TFileHandler*>(&data), static_cast<TFileHandler*>(&table.IndexFile()),
        static_cast<TFileHandler*>(&table.BlobFile())}) {
    if (!file->IsOpen()) continue;
    const std::string extension = file->FileName().substr(file->FileName().size() - 3);
    out["files"][extension] = {{"path", file->FileName()}, {"size", file->GetSize()}};
  }
  if (options.json) {
    std::cout << out.dump(2) << "\n";
    return kExitOk;
  }
  const auto& definition = out["definition"];
  std::cout << "Table          " << table.TableName() << "\n"
            << "Description    " << definition["description"].get<std::string>() << "\n"
            << "Locale         " << header.LanguageID << " / " << header.SortID << "\n"
            << "Record size    " << header.RecordSize << "\n"
            << "Record slots   " << slots << " (" << deleted << " deleted, " << slots - deleted
            << " in use)\n"
            << "Last auto-inc  " << header.LastAutoIncrement << "\n"
            << "Blob blocks    " << EffectiveBlobBlockSize(header) << " bytes\n"
            << "Encrypted      " << (header.Encrypted != 0 ? "yes" : "no") << "\n"
            << "Files\n";
  for (const auto& [extension, file] : out["files"].items()) {
    std::cout << "  " << file["path"].get<std::string>() << "  " << file["size"] << " bytes\n";
  }
  std::cout << "Fields\n";
  for (const TFieldDescriptor& d : data.Descriptors()) {
    const std::string name = CodePageToUtf8(d.FieldName, cursor.LanguageID());
    // Padded by characters, not bytes.
    const std::size_t width = name.size() + 31 - std::min<std::size_t>(31, d.FieldName.size());
    std::cout << "  " << std::setw(4) << d.FieldNumber << "  " << std::left << std::setw(static_cast<int>(width))
              << name << std::right << TypeText(d) << (d.Required ? "  required" : "") << "\n";
  }
  std::cout << "Indexes\n";
  std::cout << "  primary  " << definition["primary"].dump() << "\n";
  for (const auto& index : definition["indexes"]) {
    std::cout << "  " << index["name"].get<std::string>() << "  " << index["fields"].dump()
              << (index["unique"].get<bool>() ? "  unique" : "")
              << (index["descending"].get<bool>() ? "  descending" : "")
              << (index["case_insensitive"].get<bool>() ? "  case-insensitive" : "") << "  compression "
              << index["compression"] << "\n";
  }
  return kExitOk;
}

void SetupInfo(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TInfoOptions>();
  CLI::App* command = app.add_subcommand("info", "Describe a table: header, fields, indexes, records, files");
  command->add_option("TABLE", options->table, "The data file of the table (DIR/NAME.DAT)")->required();
  command->add_flag("--json", options->json,
                    "Print JSON (its \"definition\" is the format of `tarvo create`)");
  command->footer("Example:\n  tarvo info data/Kunden.DAT --json");
  command->callback(
      [options, &state] { state.action = [options, &state] { return RunInfo(*options, state); }; });
}

}  // namespace

TARVO_COMMAND(20, SetupInfo);

}  // namespace tarvo::cli
