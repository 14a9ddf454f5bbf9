#include "components/index_defs.h"

#include "components/data_set.h"

namespace tarvo {

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
  data_set_.CheckInactive();
  return AddLoaded(TIndexDef{name, fields, options});
}

TIndexDef& TIndexDefs::AddLoaded(TIndexDef def) {
  items_.push_back(std::make_unique<TIndexDef>(std::move(def)));
  return *items_.back();
}

void TIndexDefs::Update() {
  if (updated_) return;
  data_set_.UpdateIndexDefs();
  updated_ = true;
}

}  // namespace tarvo
