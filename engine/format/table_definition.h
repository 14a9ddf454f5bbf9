// TTableDefinition: everything that creating a table takes: the field descriptors, the index
// definitions (the primary index first, an all-zero one for a table without primary index, then
// the secondary indexes in order) and the table-wide header values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "support/locale.h"

namespace tarvo {

struct TTableDefinition {
  std::vector<TFieldDescriptor> fields;
  std::vector<TIndexDescriptor> indexes;
  TLanguageId language_id = 0;
  TSortId sort_id = 0;
  std::uint16_t blob_block_size = 512;
  std::string description;
  std::string password;
  bool encrypted = false;
  std::uint16_t user_word1 = 0;
  std::uint16_t user_word2 = 0;
};

}  // namespace tarvo

namespace tarvo {

// Checks a definition completely before any file is made: field names (10038), types, subtypes,
// sizes and decimals (10000), value texts (10006), record size (9477), blob fields and block size
// (9498), and every index definition (9487, 9993, 10010, 10022, 10023, 10026, 10027, 12292).
// Raises ETarvoEngineError naming the table and the field or index concerned.
void ValidateTableDefinition(const TTableDefinition& definition, const std::string& table_name);

// The checks of key fields that the header's own definition checks leave to the table: 9487
// beyond 16 fields, 10023 for a field the table does not have, 12292 for a blob field, 10026 for
// a key of no bytes or over 524. Returns 0 or the negated code.
[[nodiscard]] int CheckKeyFields(const TIndexDescriptor& definition,
                                 std::span<const TFieldDescriptor> fields);
// The key length of a definition over the table's fields: the field part, plus 4 for an index
// that is not unique. 0 when a field number is unknown.
std::uint16_t KeyLengthOf(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields);

// The index header a new index file gets for these definitions (primary first), or the negated
// code with the offending index's position in `failed_index` (0 for the primary index).
[[nodiscard]] int BuildIndexHeader(const TTableDefinition& definition, TIndexHeader& header,
                                   std::size_t& failed_index);

}  // namespace tarvo
