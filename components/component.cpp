#include "components/component.h"

#include <algorithm>

namespace tarvo {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  DestroyComponents();
  if (owner_ != nullptr) std::erase(owner_->components_, this);
}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  name_ = name;
  NameChanged();
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* child = components_.back();
    delete child;  // leaves components_ in its destructor
  }
}

}  // namespace tarvo
