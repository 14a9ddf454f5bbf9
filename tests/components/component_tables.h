// Tables for the component tests, created through the engine itself.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/table_definition.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "tests/testing/field_builder.h"

namespace tarvo::testing {

inline TIndexDescriptor Index(const std::string& name, std::vector<std::uint16_t> fields, bool unique = false,
                              bool descending = false, bool case_insensitive = false,
                              std::uint8_t compression = 0) {
  TIndexDescriptor d;
  d.name = name;
  d.unique = unique ? 1 : 0;
  d.descending = descending ? 1 : 0;
  d.case_insensitive = case_insensitive ? 1 : 0;
  d.compression = compression;
  d.field_count = static_cast<std::uint8_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    d.field_numbers[i] = fields[i];
    d.field_descending[i] = descending ? 1 : 0;
  }
  return d;
}

// Creates `name` in `directory` through a private engine session. Fields are numbered here.
inline void CreateTestTable(const std::string& directory, const std::string& name,
                            TTableDefinition definition) {
  definition.fields = Numbered(std::move(definition.fields));
  TDataSession session;
  TDataDirectory* dir = session.GetDirectory("", directory);
  dir->CreateTable(name, definition);
  (void)session.ReleaseDirectory(dir);
}

// Two text fields, a primary index on the first.
inline void CreateSimpleTable(const std::string& directory, const std::string& name, bool encrypted = false,
                              const std::string& password = {}) {
  TTableDefinition definition;
  definition.fields = {Field("Code", kTypeText, 10), Field("Label", kTypeText, 20)};
  TIndexDescriptor primary = Index("", {1}, true);
  definition.indexes = {primary};
  definition.encrypted = encrypted;
  definition.password = password;
  definition.language_id = 0;
  definition.blob_block_size = 1024;
  CreateTestTable(directory, name, definition);
}

}  // namespace tarvo::testing
