// TOwnerTable: the objects of a cache, owned and found by their number (a file offset, a slot
// number) in constant time. Open addressing with linear probing over a power-of-two array of
// owning pointers, at most half full; removal shifts the entries behind back, so a probe never
// needs tombstones. The array grows only through Reserve() (doubling), never on insertion:
// inserting after a Reserve() that made room cannot fail, and nothing is allocated per object.
//
// `KeyOf` is a function object that returns an object's number (std::int64_t); the number of
// an object must not change while it is in the table. Each bucket keeps the number beside the
// pointer, so that probing and shifting never touch the objects themselves (a cold object costs
// a cache miss). Iteration visits the objects in no particular order: callers that need offset
// order sort what they take.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace tarvo {

template <typename T, typename KeyOf>
class TOwnerTable {
 public:
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }

  // Room for `count` objects without growing.
  void Reserve(std::size_t count) {
    std::size_t wanted = kMinBuckets;
    while (wanted < count * 2) wanted *= 2;
    if (wanted > buckets_.size()) Rehash(wanted);
  }

  T* Find(std::int64_t key) const {
    if (size_ == 0) return nullptr;
    for (std::size_t at = Home(key);; at = Next(at)) {
      const TBucket& bucket = buckets_[at];
      if (bucket.item == nullptr) return nullptr;
      if (bucket.key == key) return bucket.item.get();
    }
  }

  // Requires: no object with the same number; room made by Reserve(Size() + 1) or more.
  T* Insert(std::unique_ptr<T> item) {
    assert(item != nullptr);
    assert((size_ + 1) * 2 <= buckets_.size());
    const std::int64_t key = KeyOf{}(*item);
    std::size_t at = Home(key);
    while (buckets_[at].item != nullptr) {
      assert(buckets_[at].key != key);
      at = Next(at);
    }
    buckets_[at] = {key, std::move(item)};
    ++size_;
    return buckets_[at].item.get();
  }

  // The object with number `key` out of the table; nullptr when there is none.
  std::unique_ptr<T> Remove(std::int64_t key) {
    if (size_ == 0) return nullptr;
    std::size_t at = Home(key);
    while (buckets_[at].item != nullptr && buckets_[at].key != key) at = Next(at);
    if (buckets_[at].item == nullptr) return nullptr;
    std::unique_ptr<T> gone = std::move(buckets_[at].item);
    --size_;
    // Backward shift: every object of the cluster behind the hole that may live in it moves up.
    std::size_t hole = at;
    for (std::size_t probe = Next(hole); buckets_[probe].item != nullptr; probe = Next(probe)) {
      const std::size_t home = Home(buckets_[probe].key);
      // The object may move into the hole unless its home lies cyclically in (hole, probe].
      const bool stays = hole <= probe ? (home > hole && home <= probe) : (home > hole || home <= probe);
      if (stays) continue;
      buckets_[hole] = std::move(buckets_[probe]);
      hole = probe;
    }
    return gone;
  }

  // Calls f(std::unique_ptr<T>&) for every object; f may move the pointer out (the table then
  // forgets that object, which must not be looked for again before Clear()).
  template <typename F>
  void ForEachOwned(F&& f) {
    for (TBucket& bucket : buckets_) {
      if (bucket.item != nullptr) f(bucket.item);
    }
  }
  template <typename F>
  void ForEach(F&& f) const {
    for (const TBucket& bucket : buckets_) {
      if (bucket.item != nullptr) f(bucket.item.get());
    }
  }
  // Forgets every entry (objects still owned are destroyed); the array keeps its size.
  void Clear() {
    for (TBucket& bucket : buckets_) bucket.item.reset();
    size_ = 0;
  }

 private:
  static constexpr std::size_t kMinBuckets = 16;

  struct TBucket {
    std::int64_t key = 0;
    std::unique_ptr<T> item;
  };

  std::size_t Home(std::int64_t key) const {
    const std::uint64_t h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> shift_);
  }
  std::size_t Next(std::size_t at) const { return (at + 1) & (buckets_.size() - 1); }

  void Rehash(std::size_t buckets) {
    std::vector<TBucket> old(buckets);
    old.swap(buckets_);
    shift_ = 64;
    for (std::size_t b = buckets; b > 1; b /= 2) --shift_;
    size_ = 0;
    for (TBucket& bucket : old) {
      if (bucket.item == nullptr) continue;
      std::size_t at = Home(bucket.key);
      while (buckets_[at].item != nullptr) at = Next(at);
      buckets_[at] = std::move(bucket);
      ++size_;
    }
  }

  std::vector<TBucket> buckets_;
  int shift_ = 64;
  std::size_t size_ = 0;
};

// Gives `item`, an object of a cache, the content of `copy` (taken earlier for an undo) while it
// keeps the cache's recency links and pins, and marks it `modified`.
template <typename T>
void RestoreCachedContent(T& item, const T& copy, bool modified) {
  T* newer = item.Newer();
  T* older = item.Older();
  const int pins = item.PinCount();
  item = copy;
  item.SetNewer(newer);
  item.SetOlder(older);
  while (item.PinCount() > pins) item.Unpin();
  while (item.PinCount() < pins) item.Pin();
  item.SetModified(modified);
}

}  // namespace tarvo
