#include "engine/format/header_check.h"

#include <string>
#include <unordered_set>

#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"

namespace tarvo {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool IsValidDescriptorValues(const TFieldDescriptor& d) {
  if (d.FieldType == kTypeNone) return false;
  if (TypeHasSize(d.FieldType) ? d.FieldSize > kMaxFieldSize : d.FieldSize != 0) return false;
  if (d.FieldDecimals != 0 && d.FieldType != kTypeFixed) return false;
  for (const std::string* text : {&d.DefaultValue, &d.MinValue, &d.MaxValue}) {
    if (!IsValidValueText(d.FieldType, d.FieldSubType, d.FieldSize, d.FieldDecimals, *text)) return false;
  }
  return true;
}

}  // namespace

bool IsValidFieldName(std::string_view name, TLanguageId language, TSortId sort) {
  if (name.empty() || name.size() > kFieldNameWidth) return false;
  const std::string upper = UpperCase(language, sort, name);
  const auto first = static_cast<unsigned char>(upper.empty() ? '\0' : upper.front());
  return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_' ||
         (first >= 129 && first <= 254);
}

bool SameFieldName(std::string_view a, std::string_view b, TLanguageId language, TSortId sort) {
  return UpperCase(language, sort, TrimBlanks(a)) == UpperCase(language, sort, TrimBlanks(b));
}

TEngineCode CheckDataHeader(const TDataHeader& h, std::span<const TFieldDescriptor> descriptors,
                            std::uint64_t file_length, const TLocaleValidity& locale_is_valid) {
  if (h.FieldCount > kMaxFieldCount || h.FieldCount != descriptors.size()) return kHeaderCorrupt;
  if (h.FormatVersion != kFormatVersion) return kWrongVersion;
  if (h.LanguageID != 0 && !locale_is_valid(h.LanguageID, h.SortID)) return kLocaleUnavailable;

  std::unordered_set<std::string> names;
  std::uint32_t offset = kRecordHeaderSize;
  for (std::size_t i = 0; i < descriptors.size(); ++i) {
    const TFieldDescriptor& d = descriptors[i];
    if (!IsValidFieldName(d.FieldName, h.LanguageID, h.SortID)) return kHeaderCorrupt;
    if (!names.insert(UpperCase(h.LanguageID, h.SortID, TrimBlanks(d.FieldName))).second)
      return kHeaderCorrupt;
    if (!IsValidDescriptorValues(d)) return kHeaderCorrupt;
    if (IsStored(d)) {
      if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
        if (d.RecordOffset != kRecOffAutoIncrement) return kHeaderCorrupt;
      } else {
        if (d.RecordOffset != offset) return kHeaderCorrupt;
        offset += DataSizeOf(d.FieldType, d.FieldSize) + 1u;
      }
    }
    if (d.FieldNumber != i + 1) return kHeaderCorrupt;
  }
  if (h.RecordSize != offset) return kHeaderCorrupt;

  const std::uint64_t start = kDataHeaderSize + std::uint64_t{kFieldDescriptorSize} * h.FieldCount;
  if (file_length < start) return kHeaderCorrupt;
  const std::uint64_t records_bytes = file_length - start;
  if (records_bytes % h.RecordSize != 0) return kHeaderCorrupt;
  if (records_bytes / h.RecordSize + 1 !=
      static_cast<std::uint64_t>(static_cast<std::int64_t>(h.NextRecordSlot))) {
    return kHeaderCorrupt;
  }
  return 0;
}

}  // namespace tarvo
