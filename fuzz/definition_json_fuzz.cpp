// Reads arbitrary bytes as the JSON definition of a table, as `tarvo create` and `tarvo
// restructure` read their definition files: the text is refused with std::invalid_argument or an
// engine error, or it is a definition. A definition that the engine accepts is written back in
// the form of `tarvo info --json` (which must be valid UTF-8 JSON whatever the names hold), and
// that form reads back as the same definition.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cli/table_definition_json.h"
#include "errors/engine_error.h"
#include "engine/format/record_layout.h"
#include "engine/format/table_definition.h"

namespace {

constexpr const char* kTable = "FUZZ.DAT";

// The definition as a created table's header and descriptors hold it, in `tarvo info`'s form.
std::string InfoForm(const tarvo::TTableDefinition& definition) {
  tarvo::TDataHeader header;
  header.LanguageID = definition.language_id;
  header.SortID = definition.sort_id;
  header.BlobBlockSize = definition.blob_block_size;
  header.UserWord1 = definition.user_word1;
  header.UserWord2 = definition.user_word2;
  std::vector<tarvo::TFieldDescriptor> fields = definition.fields;
  if (tarvo::DeriveRecordLayout(fields, false) < 0) std::abort();
  tarvo::TIndexHeader indexes;
  std::size_t failed = 0;
  if (tarvo::BuildIndexHeader(definition, indexes, failed) != 0) std::abort();
  // dump() throws for text that is not UTF-8: that would be a finding.
  return tarvo::cli::DefinitionToJson(header, fields, indexes).dump();
}

tarvo::TTableDefinition Parse(const std::string& text) {
  std::istringstream in(text);
  return tarvo::cli::ParseTableDefinition(tarvo::cli::ParseDefinitionText(in), kTable);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarvo::TTableDefinition definition;
  try {
    definition = Parse(std::string(reinterpret_cast<const char*>(data), size));
    tarvo::ValidateTableDefinition(definition, kTable);
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const tarvo::ETarvoEngineError&) {
    return 0;
  }
  const std::string written = InfoForm(definition);
  const tarvo::TTableDefinition back = Parse(written);
  if (back.fields.size() != definition.fields.size() || back.indexes.size() != definition.indexes.size())
    std::abort();
  for (std::size_t i = 0; i < back.fields.size(); ++i) {
    if (back.fields[i].FieldName != definition.fields[i].FieldName) std::abort();
  }
  if (InfoForm(back) != written) std::abort();
  return 0;
}
