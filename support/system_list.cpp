#include "support/system_list.h"

#include <stdexcept>
#include <utility>

namespace tarvo {

void TSystemList::CheckIndex(std::size_t index) const {
  if (index >= count_) throw std::out_of_range("TSystemList index out of range");
}

void* TSystemList::Item(std::size_t index) const {
  CheckIndex(index);
  return items_[index];
}

void TSystemList::SetItem(std::size_t index, void* item) {
  CheckIndex(index);
  items_[index] = item;
}

void* TSystemList::Last() const {
  if (count_ == 0) throw std::out_of_range("TSystemList is empty");
  return items_[count_ - 1];
}

void TSystemList::Grow() {
  const std::size_t capacity = items_.size();
  const std::size_t delta = capacity > 64 ? capacity / 4 : capacity > 8 ? 16 : 4;
  items_.resize(capacity + delta, nullptr);
}

std::size_t TSystemList::Add(void* item) {
  Insert(count_, item);
  return count_ - 1;
}

void TSystemList::Insert(std::size_t index, void* item) {
  if (index > count_) throw std::out_of_range("TSystemList index out of range");
  if (count_ == items_.size()) Grow();
  for (std::size_t i = count_; i > index; --i) items_[i] = items_[i - 1];
  items_[index] = item;
  ++count_;
}

void TSystemList::Delete(std::size_t index) {
  CheckIndex(index);
  for (std::size_t i = index; i + 1 < count_; ++i) items_[i] = items_[i + 1];
  items_[--count_] = nullptr;
}

void TSystemList::Exchange(std::size_t index1, std::size_t index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  std::swap(items_[index1], items_[index2]);
}

std::int64_t TSystemList::IndexOf(const void* item) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (items_[i] == item) return static_cast<std::int64_t>(i);
  }
  return -1;
}

void TSystemList::Assign(const TSystemList& source) {
  if (&source == this) return;
  items_ = source.items_;
  count_ = source.count_;
}

void TSystemList::SetCount(std::size_t count) {
  if (count > items_.size()) items_.resize(count, nullptr);
  for (std::size_t i = count; i < count_; ++i) items_[i] = nullptr;
  count_ = count;
}

void TSystemList::SetCapacity(std::size_t capacity) {
  if (capacity < count_) capacity = count_;
  items_.resize(capacity, nullptr);
  if (capacity == 0) items_.shrink_to_fit();
}

void TSystemList::Sort(TCompare compare) {
  // Lomuto partitions: every index stays inside [low, high] whatever `compare` says; recursing
  // into the smaller part keeps the depth logarithmic.
  struct TSorter {
    std::vector<void*>& items;
    TCompare compare;
    void Run(std::size_t low, std::size_t high) {  // sorts [low, high)
      while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        std::swap(items[middle], items[high - 1]);
        void* pivot = items[high - 1];
        std::size_t store = low;
        for (std::size_t i = low; i + 1 < high; ++i) {
          if (compare(items[i], pivot) < 0) std::swap(items[i], items[store++]);
        }
        std::swap(items[store], items[high - 1]);
        if (store - low < high - store - 1) {
          Run(low, store);
          low = store + 1;
        } else {
          Run(store + 1, high);
          high = store;
        }
      }
    }
  };
  if (compare == nullptr || count_ < 2) return;
  TSorter{items_, compare}.Run(0, count_);
}

}  // namespace tarvo
