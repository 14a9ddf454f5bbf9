// Small builders for table definitions in tests: fields by name and type (field_builder.h),
// indexes by the numbers of their fields, and a session with a directory on a temporary folder.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "engine/format/table_definition.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "tests/testing/field_builder.h"

namespace tarvo::testing {

// Field numbers are 1-based.
TIndexDescriptor Index(const std::string& name, std::initializer_list<std::uint16_t> field_numbers,
                       bool unique = false, std::uint8_t compression = 0);

// A definition with one field of every type (16 fields, two of them blobs), a primary index on
// the auto-increment field and a few secondary indexes.
TTableDefinition EveryTypeDefinition();

// A small definition: ID autoinc (primary), Name text(20), Memo (blob) when `with_blob`.
TTableDefinition SmallDefinition(bool with_blob);

// An engine session with one directory; fixed-retry locks made quick for tests.
struct TTestEngine {
  explicit TTestEngine(const std::string& directory);
  ~TTestEngine();
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
};

}  // namespace tarvo::testing
