#include "components/field_defs.h"

#include "components/data_set.h"
#include "components/database_texts.h"
#include "support/platform_names.h"

namespace tarvo {

bool FieldSizeAllowed(TFieldType type, int size) {
  switch (type) {
    case TFieldType::ftString:
    case TFieldType::ftBytes:
    case TFieldType::ftVarBytes: return size >= 1 && size <= kMaxFieldSize;
    case TFieldType::ftBCD: return size >= 0 && size <= 8;
    default: return size == 0;
  }
}

void CheckFieldSize(TFieldType type, int size) {
  if (!FieldSizeAllowed(type, size)) DatabaseError(kSInvalidFieldSize);
}

TFieldDef::TFieldDef(std::string name, TFieldType data_type, int size, bool required, int field_no)
    : Name(std::move(name)), DataType(data_type), Size(size), Required(required), FieldNo(field_no) {
  CheckFieldSize(data_type, size);
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType data_type, int size, bool required) {
  data_set_.CheckInactive();
  return AddLoaded(TFieldDef(name, data_type, size, required, static_cast<int>(items_.size()) + 1));
}

TFieldDef& TFieldDefs::AddLoaded(TFieldDef def) {
  items_.push_back(std::make_unique<TFieldDef>(std::move(def)));
  return *items_.back();
}

void TFieldDefs::Clear() {
  items_.clear();
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (SameNameIgnoringCase(items_[i]->Name, name)) return static_cast<int>(i);
  }
  return -1;
}

TFieldDef& TFieldDefs::Find(const std::string& name) const {
  const int index = IndexOf(name);
  if (index < 0) DatabaseError(kSFieldNotFound, {name});
  return *items_[static_cast<std::size_t>(index)];
}

const TField* TFields::FindField(const std::string& name) const {
  for (const TField& field : items_) {
    if (SameNameIgnoringCase(field.FieldName, name)) return &field;
  }
  return nullptr;
}

const TField& TFields::FieldByName(const std::string& name) const {
  const TField* field = FindField(name);
  if (field == nullptr) DatabaseError(kSFieldNotFound, {name});
  return *field;
}

}  // namespace tarvo
