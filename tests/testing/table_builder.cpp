#include "tests/testing/table_builder.h"

#include <utility>

#include "engine/format/field_types.h"

namespace tarvo::testing {

TIndexDescriptor Index(const std::string& name, std::initializer_list<std::uint16_t> field_numbers,
                       bool unique, std::uint8_t compression) {
  TIndexDescriptor d;
  d.name = name;
  d.unique = unique ? 1 : 0;
  d.compression = compression;
  for (const std::uint16_t number : field_numbers) d.field_numbers[d.field_count++] = number;
  return d;
}

TTableDefinition EveryTypeDefinition() {
  TTableDefinition definition;
  definition.fields = Numbered(
      {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 40), Field("Born", kTypeDate),
       Field("Notes", kTypeBlob, 0, kSubTypeMemo), Field("Active", kTypeBoolean), Field("Small", kTypeInt16),
       Field("Count", kTypeInt32), Field("Amount", kTypeFloat), Field("Price", kTypeFloat, 0, kSubTypeMoney),
       Field("Dec", kTypeFixed, 0, 0, 2), Field("Raw", kTypeBytes, 8), Field("At", kTypeTime),
       Field("Stamp", kTypeDateTime), Field("W", kTypeUInt16), Field("VB", kTypeVarBytes, 10),
       Field("Pic", kTypeBlob, 0, kSubTypeGraphic)});
  definition.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 3), Index("ByCount", {7}, true, 2)};
  definition.indexes[1].case_insensitive = 1;
  return definition;
}

TTableDefinition SmallDefinition(bool with_blob) {
  TTableDefinition definition;
  definition.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20)};
  if (with_blob) definition.fields.push_back(Field("Memo", kTypeBlob, 0, kSubTypeMemo));
  definition.fields = Numbered(std::move(definition.fields));
  definition.indexes = {Index("", {1}, true), Index("ByName", {2})};
  return definition;
}

TTestEngine::TTestEngine(const std::string& directory) : session(std::make_unique<TDataSession>()) {
  session->FixedLockRetries = 20;
  session->FixedLockPause = 1;
  session->LockWaitTime = 1;
  this->directory = session->GetDirectory("", directory);
}

TTestEngine::~TTestEngine() {
  if (directory != nullptr) (void)session->ReleaseDirectory(directory);
}

}  // namespace tarvo::testing
