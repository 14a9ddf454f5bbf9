#include "components/data_set.h"

#include "components/database_texts.h"

namespace tarvo {

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() = default;

void TDataSet::SetActive(bool active) {
  if (active) {
    Open();
  } else {
    Close();
  }
}

void TDataSet::Open() {
  if (active_) return;
  if (BeforeOpen) BeforeOpen(*this);
  InternalOpen();
  try {
    CreateFields();
  } catch (...) {
    InternalClose();
    throw;
  }
  active_ = true;
  InternalFirst();
  if (AfterOpen) AfterOpen(*this);
}

void TDataSet::Close() {
  if (!active_) return;
  if (BeforeClose) BeforeClose(*this);
  try {
    InternalClose();
  } catch (...) {
    fields_.Clear();
    active_ = false;
    throw;
  }
  fields_.Clear();
  active_ = false;
  if (AfterClose) AfterClose(*this);
}

void TDataSet::CheckInactive() const {
  if (active_) DatabaseError(kSDataSetOpen);
}

void TDataSet::CreateFields() {
  fields_.Clear();
  for (std::size_t i = 0; i < field_defs_.Count(); ++i) {
    const TFieldDef& def = field_defs_[i];
    fields_.Add(TField{def.Name, def.DataType, def.Size, def.Required, def.FieldNo});
  }
}

void TDataSet::DataEvent(TDataEvent event) {
  if (event == TDataEvent::kPropertyChange) {
    field_defs_.SetUpdated(false);
    index_defs_.SetUpdated(false);
  }
}

}  // namespace tarvo
