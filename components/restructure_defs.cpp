#include "components/restructure_defs.h"

#include <algorithm>

#include "components/database_texts.h"
#include "components/field_defs.h"
#include "components/tarvo_table.h"
#include "support/short_text.h"

namespace tarvo {

std::string CutText(const std::string& text, std::size_t width) {
  if (text.size() <= width) return text;
  std::size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

bool IsSkippedDescriptor(const TFieldDescriptor& descriptor) {
  return descriptor.NotStored != 0;
}

TRestructureFieldDef::TRestructureFieldDef(TRestructureFieldDefs* collection, std::string name,
                                           TFieldType data_type, bool required, std::uint16_t size,
                                           std::uint16_t field_no)
    : Name(std::move(name)),
      DataType(data_type),
      Required(required),
      Size(size),
      FieldNo(field_no),
      collection_(collection) {
  CheckFieldSize(data_type, size);
}

std::optional<TRestructureFieldDef> TRestructureFieldDef::FromDescriptor(TRestructureFieldDefs* collection,
                                                                         const TFieldDescriptor& descriptor) {
  const TFieldType type = FieldTypeOf(descriptor.FieldType, descriptor.FieldSubType);
  if (type == TFieldType::ftUnknown) return std::nullopt;
  std::uint16_t size = 0;
  switch (descriptor.FieldType) {
    case kTypeText:
    case kTypeBytes:
    case kTypeVarBytes: size = descriptor.FieldSize; break;
    case kTypeFixed: size = descriptor.FieldDecimals; break;
    default: break;
  }
  TRestructureFieldDef def(collection, descriptor.FieldName, type, descriptor.Required != 0, size,
                           descriptor.FieldNumber);
  def.DefaultValue = descriptor.DefaultValue;
  def.MinValue = descriptor.MinValue;
  def.MaxValue = descriptor.MaxValue;
  def.Description = descriptor.FieldDescription;
  def.CaseMapping = descriptor.CaseMapping;
  return def;
}

TFieldDescriptor TRestructureFieldDef::ToDescriptor() const {
  TFieldDescriptor d;
  d.FieldNumber = FieldNo;
  d.FieldName = CutText(Name, kFieldNameWidth);
  const TEngineType engine_type = EngineTypeOf(DataType);
  d.FieldType = engine_type.Type;
  d.FieldSubType = engine_type.SubType;
  switch (DataType) {
    case TFieldType::ftString:
    case TFieldType::ftBytes:
    case TFieldType::ftVarBytes: d.FieldSize = static_cast<std::uint8_t>(Size); break;
    case TFieldType::ftBCD: d.FieldDecimals = static_cast<std::uint8_t>(Size); break;
    default: break;
  }
  d.Required = Required ? 1 : 0;
  d.CaseMapping = CaseMapping;
  d.DefaultValue = CutText(DefaultValue, kValueTextWidth);
  d.MinValue = CutText(MinValue, kValueTextWidth);
  d.MaxValue = CutText(MaxValue, kValueTextWidth);
  d.FieldDescription = CutText(Description, kFieldDescriptionWidth);
  return d;
}

TRestructureFieldDef& TRestructureFieldDefs::Add(const std::string& name, TFieldType data_type,
                                                 std::uint16_t size, bool required) {
  return Add(TRestructureFieldDef(this, name, data_type, required, size,
                                  static_cast<std::uint16_t>(items_.size() + 1)));
}

TRestructureFieldDef& TRestructureFieldDefs::Add(TRestructureFieldDef def) {
  items_.push_back(std::make_unique<TRestructureFieldDef>(std::move(def)));
  return *items_.back();
}

TRestructureFieldDef* TRestructureFieldDefs::Find(const std::string& name) const {
  const std::string wanted(TrimBlanks(name));
  for (const auto& def : items_) {
    if (def->Name.size() == wanted.size() &&
        std::equal(def->Name.begin(), def->Name.end(), wanted.begin(), [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
        })) {
      return def.get();
    }
  }
  return nullptr;
}

TRestructureFieldDef* TRestructureFieldDefs::FindNumber(std::uint16_t field_no) const {
  for (const auto& def : items_) {
    if (def->FieldNo == field_no) return def.get();
  }
  return nullptr;
}

void TRestructureFieldDefs::Update() {
  if (loaded_) return;
  if (table_ != nullptr) table_->LoadRestructureFieldDefs(*this);
  loaded_ = true;
}

TIndexDescriptor TRestructureIndexDef::ToDescriptor(const TRestructureFieldDefs& fields) const {
  TIndexDescriptor d;
  d.name = CutText(Name, kMaxIndexNameLength);
  const bool descending = (Options & kIxDescending) != 0;
  d.descending = descending ? 1 : 0;
  d.case_insensitive = (Options & kIxCaseInsensitive) != 0 ? 1 : 0;
  d.unique = (Options & kIxUnique) != 0 ? 1 : 0;
  if (descending) d.field_descending.fill(1);
  d.compression = Compression;
  std::size_t count = 0;
  std::size_t start = 0;
  while (start <= Fields.size() && count < static_cast<std::size_t>(kMaxKeyFields)) {
    std::size_t end = Fields.find(';', start);
    if (end == std::string::npos) end = Fields.size();
    const std::string name(TrimBlanks(std::string_view(Fields).substr(start, end - start)));
    start = end + 1;
    if (name.empty()) continue;
    const TRestructureFieldDef* def = fields.Find(name);
    if (def == nullptr) DatabaseError(kSFieldNotFound, {name});
    d.field_numbers[count++] = def->FieldNo;
  }
  d.field_count = static_cast<std::uint8_t>(count);
  return d;
}

TRestructureIndexDef& TRestructureIndexDefs::Add(const std::string& name, const std::string& fields,
                                                 TIndexOptions options, std::uint8_t compression) {
  items_.push_back(
      std::make_unique<TRestructureIndexDef>(TRestructureIndexDef{this, name, fields, compression, options}));
  return *items_.back();
}

void TRestructureIndexDefs::Move(std::size_t from, std::size_t to) {
  if (from >= items_.size() || to >= items_.size() || from == to) return;
  auto item = std::move(items_[from]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from));
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(to), std::move(item));
}

void TRestructureIndexDefs::Update() {
  if (loaded_) return;
  if (table_ != nullptr) table_->LoadRestructureIndexDefs(*this);
  loaded_ = true;
}

}  // namespace tarvo
