#include "engine/format/field_descriptor.h"

#include <cassert>

#include "engine/format/byte_codec.h"

namespace tarvo {

TFieldDescriptor DecodeFieldDescriptor(std::span<const std::byte, kFieldDescriptorSize> raw) {
  TFieldDescriptor d;
  d.FieldNumber = GetU16(raw, kDescOffFieldNumber);
  d.FieldName = GetShortText(raw, kDescOffFieldName, kFieldNameWidth);
  d.FieldDescription = GetShortText(raw, kDescOffFieldDescription, kFieldDescriptionWidth);
  d.FieldType = GetU8(raw, kDescOffFieldType);
  d.FieldSubType = GetU8(raw, kDescOffFieldSubType);
  d.FieldSize = GetU8(raw, kDescOffFieldSize);
  d.FieldDecimals = GetU8(raw, kDescOffFieldDecimals);
  d.DataSize = GetU8(raw, kDescOffDataSize);
  d.DecimalsCopy = GetU8(raw, kDescOffDecimalsCopy);
  d.RecordOffset = GetU16(raw, kDescOffRecordOffset);
  d.Required = GetU8(raw, kDescOffRequired);
  d.CaseMapping = GetU8(raw, kDescOffCaseMapping);
  d.MinValue = GetShortText(raw, kDescOffMinValue, kValueTextWidth);
  d.MaxValue = GetShortText(raw, kDescOffMaxValue, kValueTextWidth);
  d.DefaultValue = GetShortText(raw, kDescOffDefaultValue, kValueTextWidth);
  d.NotStored = GetU8(raw, kDescOffNotStored);
  for (std::size_t i = 0; i < kComputeExpressionSize; ++i) {
    d.ComputeExpression[i] = raw[kDescOffComputeExpression + i];
  }
  return d;
}

void EncodeFieldDescriptor(const TFieldDescriptor& d, std::span<std::byte, kFieldDescriptorSize> raw) {
  PutU16(raw, kDescOffFieldNumber, d.FieldNumber);
  PutShortText(raw, kDescOffFieldName, kFieldNameWidth, d.FieldName);
  PutShortText(raw, kDescOffFieldDescription, kFieldDescriptionWidth, d.FieldDescription);
  PutU8(raw, kDescOffFieldType, d.FieldType);
  PutU8(raw, kDescOffFieldSubType, d.FieldSubType);
  PutU8(raw, kDescOffFieldSize, d.FieldSize);
  PutU8(raw, kDescOffFieldDecimals, d.FieldDecimals);
  PutU8(raw, kDescOffDataSize, d.DataSize);
  PutU8(raw, kDescOffDecimalsCopy, d.DecimalsCopy);
  PutU16(raw, kDescOffRecordOffset, d.RecordOffset);
  PutU8(raw, kDescOffRequired, d.Required);
  PutU8(raw, kDescOffCaseMapping, d.CaseMapping);
  PutShortText(raw, kDescOffMinValue, kValueTextWidth, d.MinValue);
  PutShortText(raw, kDescOffMaxValue, kValueTextWidth, d.MaxValue);
  PutShortText(raw, kDescOffDefaultValue, kValueTextWidth, d.DefaultValue);
  PutU8(raw, kDescOffNotStored, d.NotStored);
  for (std::size_t i = 0; i < kComputeExpressionSize; ++i) {
    raw[kDescOffComputeExpression + i] = d.ComputeExpression[i];
  }
}

std::vector<TFieldDescriptor> DecodeFieldDescriptors(std::span<const std::byte> block) {
  assert(block.size() % kFieldDescriptorSize == 0);
  std::vector<TFieldDescriptor> out;
  out.reserve(block.size() / kFieldDescriptorSize);
  for (std::size_t off = 0; off + kFieldDescriptorSize <= block.size(); off += kFieldDescriptorSize) {
    out.push_back(DecodeFieldDescriptor(block.subspan(off).first<kFieldDescriptorSize>()));
  }
  return out;
}

std::vector<std::byte> EncodeFieldDescriptors(std::span<const TFieldDescriptor> descriptors) {
  std::vector<std::byte> block(descriptors.size() * kFieldDescriptorSize);
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    EncodeFieldDescriptor(descriptors[i],
                          std::span(block).subspan(i * kFieldDescriptorSize).first<kFieldDescriptorSize>());
  }
  return block;
}

}  // namespace tarvo
