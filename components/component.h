// TComponent: the base of every component: a name and an owner. An owner frees the components
// it owns when it goes (newest first), and a component leaves its owner's list when it goes.
// Requires: a component created with an owner is created with `new`; the owner deletes it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tarvo {

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  // Renaming tells the component through NameChanged().
  void SetName(const std::string& name);

  // The owned components, oldest first.
  const std::vector<TComponent*>& Components() const { return components_; }
  std::size_t ComponentCount() const { return components_.size(); }

  // Whether the component is being destroyed (set by the derived destructors that need it).
  bool Destroying() const { return destroying_; }

 protected:
  virtual void NameChanged() {}
  // Frees every owned component, newest first. Derived destructors call it first when their
  // children refer back to the derived part of this object.
  void DestroyComponents();
  void MarkDestroying() { destroying_ = true; }

 private:
  TComponent* owner_;
  std::string name_;
  std::vector<TComponent*> components_;
  bool destroying_ = false;
};

// The notify event of every component: the sender only.
using TNotifyEvent = std::function<void(TComponent& sender)>;

}  // namespace tarvo
