// Tables for the record tests: a small definition (auto-increment ID, Name text, Born date, Count
// integer) with or without a primary index on ID and with chosen secondary indexes, created in a
// directory of a test session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/table_definition.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "tests/testing/field_builder.h"

namespace tarvo::testing {

inline TIndexDescriptor IndexOn(const std::string& name, std::vector<std::uint16_t> fields, bool unique,
                                bool case_insensitive = false) {
  TIndexDescriptor d;
  d.name = name;
  d.unique = unique ? 1 : 0;
  d.case_insensitive = case_insensitive ? 1 : 0;
  d.field_count = static_cast<std::uint8_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) d.field_numbers[i] = fields[i];
  return d;
}

// Fields: 1 ID (auto-increment), 2 Name (text 20), 3 Born (date), 4 Count (integer).
inline TTableDefinition PeopleDefinition(bool primary, std::vector<TIndexDescriptor> secondary = {}) {
  TTableDefinition definition;
  definition.fields = Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
                                Field("Born", kTypeDate), Field("Count", kTypeInt32)});
  if (primary || !secondary.empty()) {
    definition.indexes.push_back(primary ? IndexOn("", {1}, true) : TIndexDescriptor{});
  }
  for (auto& index : secondary) definition.indexes.push_back(index);
  return definition;
}

// A session with one directory.
struct TTestDatabase {
  explicit TTestDatabase(const std::string& path) {
    session.FixedLockRetries = 200;
    session.FixedLockPause = 1;
    directory = session.GetDirectory("", path);
  }
  ~TTestDatabase() { (void)session.ReleaseDirectory(directory); }
  TDataSession session;
  TDataDirectory* directory = nullptr;
};

}  // namespace tarvo::testing
