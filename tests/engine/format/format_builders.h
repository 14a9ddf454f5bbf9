// Small builders shared by the data file format tests: descriptors of a given type and a header
// that matches a descriptor set laid out by DeriveRecordLayout.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/record_layout.h"
#include "tests/testing/field_builder.h"

namespace tarvo::testing {

// Numbers the fields 1.. and derives their layout; the header describes `slots` record slots.
inline TDataHeader LayOut(std::vector<TFieldDescriptor>& fields, std::int32_t slots = 0) {
  fields = Numbered(std::move(fields));
  TDataHeader h;
  const std::int32_t size = DeriveRecordLayout(fields, true);
  h.RecordSize = static_cast<std::uint16_t>(size > 0 ? size : 0);
  h.FieldCount = static_cast<std::uint16_t>(fields.size());
  h.BlobFieldCount = CountBlobFields(fields);
  h.NextRecordSlot = slots + 1;
  return h;
}

inline std::uint64_t FileLength(const TDataHeader& h) {
  return kDataHeaderSize + std::uint64_t{kFieldDescriptorSize} * h.FieldCount +
         std::uint64_t(h.NextRecordSlot - 1) * h.RecordSize;
}

}  // namespace tarvo::testing
