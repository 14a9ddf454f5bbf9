// TSystemList: the engine's list of untyped references (count, capacity, items). The list never
// owns what its items point to. When full it grows by a quarter of its capacity above 64, by 16
// from 9 to 64 and by 4 below 9. An index out of range raises std::out_of_range: that is a bug of
// the caller, never a matter of file contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvo {

class TSystemList {
 public:
  // Negative, zero or positive as `a` sorts before, with or after `b`.
  using TCompare = int (*)(const void* a, const void* b);

  TSystemList() = default;

  std::size_t Count() const { return count_; }
  std::size_t Capacity() const { return items_.size(); }
  void* Item(std::size_t index) const;
  void SetItem(std::size_t index, void* item);
  template <class T>
  T* At(std::size_t index) const {
    return static_cast<T*>(Item(index));
  }

  // Returns the index of the new item.
  std::size_t Add(void* item);
  // Moves the items from `index` on up by one; `index` may equal Count().
  void Insert(std::size_t index, void* item);
  // Moves the items after `index` down by one.
  void Delete(std::size_t index);
  void Exchange(std::size_t index1, std::size_t index2);
  // The first index holding `item`, or -1.
  std::int64_t IndexOf(const void* item) const;
  void* First() const { return Item(0); }
  void* Last() const;
  void Assign(const TSystemList& source);
  // New items are null; a count above the capacity grows it to exactly that count.
  void SetCount(std::size_t count);
  // Never below Count(); 0 on an empty list frees the array.
  void SetCapacity(std::size_t capacity);
  void Clear() {
    count_ = 0;
    SetCapacity(0);
  }
  // Quicksort; stays within the list whatever the comparison answers.
  void Sort(TCompare compare);

 private:
  void Grow();
  void CheckIndex(std::size_t index) const;

  std::size_t count_ = 0;
  std::vector<void*> items_;  // size() is the capacity; items from count_ on are null
};

}  // namespace tarvo
