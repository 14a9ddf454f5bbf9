// TTableDefinition: everything that creating a table takes: the field descriptors, the index
// definitions (the primary index first, an all-zero one for a table without primary index, then
// the secondary indexes in order) and the table-wide header values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/index/index_header.h"
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
