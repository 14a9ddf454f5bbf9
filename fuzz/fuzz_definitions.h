// Field and index definitions for the small tables of the fuzz targets and their seeds.
#pragma once

#include <cstdint>

#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "tests/testing/field_builder.h"

namespace tarvo::fuzz {

// Fields come from the tests' builder.
using testing::Field;
using testing::Numbered;

// A one-field index.
inline TIndexDescriptor Index(const char* name, std::uint16_t field, bool unique) {
  TIndexDescriptor d;
  d.name = name;
  d.unique = unique ? 1 : 0;
  d.field_count = 1;
  d.field_numbers[0] = field;
  return d;
}

}  // namespace tarvo::fuzz
