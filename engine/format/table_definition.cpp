#include "engine/format/table_definition.h"

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/header_check.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::uint32_t kMinBlobBlockSize = 64;

const TFieldDescriptor* FieldByNumber(std::span<const TFieldDescriptor> fields, std::uint16_t number) {
  if (number == 0 || number > fields.size()) return nullptr;
  return &fields[number - 1];
}

bool ValidSubType(TTypeCode type, TTypeCode subtype) {
  if (subtype == kSubTypeNone) return true;
  switch (type) {
    case kTypeBlob: return subtype >= kSubTypeMemo && subtype <= kSubTypeTypedBinary;
    case kTypeFloat: return subtype == kSubTypeMoney;
    case kTypeInt32: return subtype == kSubTypeAutoInc;
    case kTypeText: return subtype == kSubTypeFixedChar || subtype == kSubTypeWideString;
    default: return false;
  }
}

bool ValidField(const TFieldDescriptor& field) {
  if (field.FieldType == kTypeNone) return false;
  if (!ValidSubType(field.FieldType, field.FieldSubType)) return false;
  if (TypeHasSize(field.FieldType)) {
    if (field.FieldSize == 0 || field.FieldSize > kMaxFieldSize) return false;
  } else if (field.FieldSize != 0) {
    return false;
  }
  if (field.FieldDecimals != 0 && field.FieldType != kTypeFixed) return false;
  if (field.CaseMapping > kCaseUpper ||
      (field.CaseMapping != kCaseUnchanged && field.FieldType != kTypeText)) {
    return false;
  }
  return true;
}

std::vector<TKeyFieldInfo> KeyInfos(const std::vector<TFieldDescriptor>& fields) {
  std::vector<TKeyFieldInfo> infos;
  for (const auto& f : fields) infos.push_back({f.FieldType, DataSizeOf(f.FieldType, f.FieldSize)});
  return infos;
}

}  // namespace

int CheckKeyFields(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields) {
  if (definition.field_count > kMaxKeyFields) return -kIndexLimits;
  int field_bytes = 0;
  for (int i = 0; i < definition.field_count; ++i) {
    const TFieldDescriptor* field = FieldByNumber(fields, definition.field_numbers[i]);
    if (field == nullptr) return -kInvalidIndexField;
    if (field->FieldType == kTypeBlob) return -kInvalidIndexFieldType;
    field_bytes += DataSizeOf(field->FieldType, field->FieldSize) + 1;
  }
  if (field_bytes == 0 || field_bytes > kMaxKeyFieldBytes) return -kInvalidKeySize;
  return 0;
}

std::uint16_t KeyLengthOf(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields) {
  int length = 0;
  for (int i = 0; i < definition.field_count && i < kMaxKeyFields; ++i) {
    const TFieldDescriptor* field = FieldByNumber(fields, definition.field_numbers[i]);
    if (field == nullptr) return 0;
    length += DataSizeOf(field->FieldType, field->FieldSize) + 1;
  }
  if (definition.unique == 0) length += kKeySuffixSize;
  return static_cast<std::uint16_t>(length);
}

int BuildIndexHeader(const TTableDefinition& definition, TIndexHeader& header, std::size_t& failed_index) {
  header = NewIndexHeader();
  const std::vector<TKeyFieldInfo> infos = KeyInfos(definition.fields);
  for (std::size_t i = 0; i < definition.indexes.size(); ++i) {
    failed_index = i;
    TIndexDescriptor index = definition.indexes[i];
    if (i == 0) index.unique = 1;
    int rc = (i == 0 && index.field_count == 0) ? 0 : CheckKeyFields(index, definition.fields);
    if (rc == 0) {
      index.key_length = KeyLengthOf(index, definition.fields);
      rc = i == 0 ? SetPrimaryIndex(header, index, infos) : AddSecondaryIndex(header, index, infos);
    }
    if (rc != 0) return rc;
  }
  if (definition.indexes.empty()) SetNoPrimaryIndex(header, true);
  return 0;
}

void ValidateTableDefinition(const TTableDefinition& definition, const std::string& table_name) {
  const auto& fields = definition.fields;
  if (fields.empty() || fields.size() > 1024) RaiseEngineError(kFieldLimits, table_name);
  int auto_increment_fields = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& field = fields[i];
    const std::string name(TrimBlanks(field.FieldName));
    if (!IsValidFieldName(name, definition.language_id, definition.sort_id) || !IsStorableName(name)) {
      RaiseEngineError(kInvalidFieldName, table_name, field.FieldName);
    }
    // Compared as the open of the table will compare them.
    for (std::size_t j = 0; j < i; ++j) {
      if (SameFieldName(fields[j].FieldName, name, definition.language_id, definition.sort_id)) {
        RaiseEngineError(kInvalidFieldName, table_name, field.FieldName);
      }
    }
    if (!ValidField(field)) RaiseEngineError(kInvalidFieldDef, table_name, field.FieldName);
    if (IsAutoIncrement(field.FieldType, field.FieldSubType) && ++auto_increment_fields > 1) {
      RaiseEngineError(kInvalidFieldDef, table_name, field.FieldName);
    }
    for (const std::string* text : {&field.DefaultValue, &field.MinValue, &field.MaxValue}) {
      if (!IsValidValueText(field.FieldType, field.FieldSubType, field.FieldSize, field.FieldDecimals,
                            *text)) {
        RaiseEngineError(kInvalidValidity, table_name, field.FieldName);
      }
    }
  }
  if (!LocaleIsValid(definition.language_id, definition.sort_id)) {
    RaiseEngineError(kLocaleUnavailable, table_name);
  }
  std::vector<TFieldDescriptor> laid_out = fields;
  const std::int32_t record_size = DeriveRecordLayout(laid_out, false);
  if (record_size < 0) RaiseEngineError(static_cast<TEngineCode>(-record_size), table_name);
  const std::uint32_t block_size = definition.blob_block_size == 0 ? 512u : definition.blob_block_size;
  if (CountBlobFields(laid_out) > 0 && block_size < kMinBlobBlockSize)
    RaiseEngineError(kBlobFieldLimits, table_name);
  for (const TIndexDescriptor& index : definition.indexes) {
    if (!IsStorableName(index.name)) RaiseEngineError(kInvalidIndexName, table_name, {}, {}, index.name);
  }
  TIndexHeader header;
  std::size_t failed = 0;
  if (const int rc = BuildIndexHeader(definition, header, failed); rc != 0) {
    RaiseEngineError(static_cast<TEngineCode>(-rc), table_name, {}, {},
                     failed < definition.indexes.size() ? definition.indexes[failed].name : std::string());
  }
}

}  // namespace tarvo
