// The builder of field definitions for every test: a field by name and type, with the size of a
// text or bytes field, a subtype, the decimals of a fixed-point field; numbered by Numbered or
// by whatever creates or lays out the table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"

namespace tarvo::testing {

inline TFieldDescriptor Field(const std::string& name, std::uint8_t type, std::uint8_t size = 0,
                              std::uint8_t subtype = 0, std::uint8_t decimals = 0) {
  TFieldDescriptor d;
  d.FieldName = name;
  d.FieldType = type;
  d.FieldSize = size;
  d.FieldSubType = subtype;
  d.FieldDecimals = decimals;
  return d;
}

// The fields numbered 1.. in their order.
inline std::vector<TFieldDescriptor> Numbered(std::vector<TFieldDescriptor> fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  return fields;
}

}  // namespace tarvo::testing
