// Reads arbitrary bytes as one line of `tarvo import` for a table with a field of every type that
// travels in a record (names with characters above 127, stored in code page 1252, the code page
// of the table's language): the line is refused with std::invalid_argument, or it fills a record.
// A filled record is written as `tarvo export` writes it (valid UTF-8 JSON whatever the record
// holds), and that line imports again as a record that is written the same way. The import's
// own reader, which builds no document, takes and refuses the line exactly as the document does
// (the same record, the same message).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/record_json.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "fuzz/fuzz_definitions.h"

namespace {

constexpr tarvo::TLanguageId kGerman = 0x0407;

struct TTable {
  std::vector<tarvo::TFieldDescriptor> fields;
  std::int32_t record_size = 0;
};

const TTable& Table() {
  static const TTable table = [] {
    using tarvo::fuzz::Field;
    using tarvo::fuzz::Numbered;
    TTable t;
    t.fields = Numbered({Field("ID", tarvo::kTypeInt32, 0, tarvo::kSubTypeAutoInc),
                         Field("Gr\xF6\xDF"
                               "e",
                               tarvo::kTypeText, 12),
                         Field("\xC4nderung", tarvo::kTypeDate), Field("Aktiv", tarvo::kTypeBoolean),
                         Field("Menge", tarvo::kTypeInt16), Field("Z\xE4hler", tarvo::kTypeInt32),
                         Field("Preis", tarvo::kTypeFloat, 0, tarvo::kSubTypeMoney),
                         Field("Betrag", tarvo::kTypeFixed), Field("Roh", tarvo::kTypeBytes, 6),
                         Field("Uhrzeit", tarvo::kTypeTime), Field("Zeitpunkt", tarvo::kTypeDateTime),
                         Field("Wort", tarvo::kTypeUInt16), Field("Gro\xDF", tarvo::kTypeUInt32),
                         Field("Genau", tarvo::kTypeExtended), Field("Variabel", tarvo::kTypeVarBytes, 5)});
    t.fields[7].FieldDecimals = 2;
    t.fields[1].CaseMapping = 2;
    t.record_size = tarvo::DeriveRecordLayout(t.fields, false);
    if (t.record_size <= 0) std::abort();
    return t;
  }();
  return table;
}

// The line as a record, written back as export writes it; nothing for a refused line.
std::optional<std::string> ImportExport(const nlohmann::json& line) {
  const TTable& table = Table();
  std::vector<std::byte> record(static_cast<std::size_t>(table.record_size));
  try {
    // A record without an auto-increment value gets one when it is added, as the engine gives.
    if (!tarvo::cli::JsonToRecord(line, table.fields, kGerman, 0, record)) tarvo::SetRecordAutoIncrement(record, 1);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  // dump() throws for text that is not UTF-8: that would be a finding.
  return tarvo::cli::RecordToJson(record, table.fields, kGerman).dump();
}

// What importing the object gives: the record's bytes, or the message that refuses it.
std::string Outcome(tarvo::cli::TJsonRecord& object) {
  const TTable& table = Table();
  std::vector<std::byte> record(static_cast<std::size_t>(table.record_size));
  try {
    (void)tarvo::cli::JsonToRecord(object, table.fields, kGerman, 0, record);
  } catch (const std::invalid_argument& e) {
    return std::string("refused: ") + e.what();
  }
  return std::string(reinterpret_cast<const char*>(record.data()), record.size());
}

// The line read both ways; aborts where they differ.
void CompareReaders(const std::string& text) {
  std::string document_error;
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    document_error = e.what();
  }
  tarvo::cli::TJsonRecord read;
  std::string read_error;
  try {
    read.Parse(text);
  } catch (const nlohmann::json::exception& e) {
    read_error = e.what();
  }
  if (read_error != document_error) std::abort();
  if (!document_error.empty()) return;
  tarvo::cli::TJsonRecord assigned;
  assigned.Assign(document);
  if (Outcome(read) != Outcome(assigned)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CompareReaders(std::string(reinterpret_cast<const char*>(data), size));
  const nlohmann::json line = nlohmann::json::parse(data, data + size, nullptr, false);
  if (line.is_discarded()) return 0;
  const std::optional<std::string> exported = ImportExport(line);
  if (!exported) return 0;
  const std::optional<std::string> again = ImportExport(nlohmann::json::parse(*exported));
  if (!again || *again != *exported) std::abort();
  return 0;
}
