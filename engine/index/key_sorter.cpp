#include "engine/index/key_sorter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#include <cassert>
#include <cstring>

#include "engine/format/byte_codec.h"

namespace tarvo {

namespace {

// Pairs a run reads at least at a time when merging.
constexpr std::size_t kMinSharePairs = 1;
// Pairs staged per write of a run.
constexpr std::size_t kSlicePairs = 4096;
// Ranges of at least this many pairs are put in prefix order by their bytes (a radix sort)
// rather than by comparisons.
constexpr std::size_t kRadixPairs = 512;

// Sorted pairs are visited in order, scattered over the buffer: the pair this many places ahead
// is asked for early, so that its cache lines are there when its turn comes.
constexpr std::size_t kPrefetchAhead = 16;
// Pairs that all fit are sorted in groups by the leading 16 bits of their prefixes.
constexpr std::size_t kGroupShift = 48;
constexpr std::size_t kGroups = std::size_t{1} << (64 - kGroupShift);

// Eight bytes as loaded from memory, read most significant first.
std::uint64_t ReadBig64(std::uint64_t raw) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(raw);
  return raw;
}

}  // namespace

TKeySorter::TKeySorter(const TIndexTree& tree, std::size_t budget_bytes, std::string spill_name,
                       bool in_memory, std::int64_t most_pairs)
    : tree_(tree),
      key_length_(tree.KeyLength()),
      width_(key_length_ + kRecordBytes),
      byte_order_(tree.Codec().ByteOrder()),
      spill_name_(std::move(spill_name)),
      in_memory_(in_memory) {
  // Each pair costs its bytes, its place in the order and one in the radix sort's second array.
  capacity_ = std::max<std::size_t>(budget_bytes / PairCost(key_length_), 2);
  if (most_pairs >= 0 && static_cast<std::uint64_t>(most_pairs) <= capacity_) {
    capacity_ = std::max<std::size_t>(static_cast<std::size_t>(most_pairs), 2);
  } else {
    // Pairs that may not fit go out in runs of three quarters of the budget: a table too big to
    // sort in memory never takes more memory than one that only just fits.
    capacity_ = std::max<std::size_t>(capacity_ / 4 * 3, 2);
  }
}

TKeySorter::~TKeySorter() {
  if (spill_ == nullptr) return;
  try {
    spill_->Close();
    spill_->Delete();
  } catch (...) {
    // A spill file left behind is only litter in the scratch area.
  }
}

int TKeySorter::Compare(const std::byte* a, const std::byte* b) const {
  const int by_key = tree_.CompareKeys(std::span(a, key_length_), std::span(b, key_length_));
  if (by_key != 0) return by_key;
  const std::int32_t ra = GetI32(std::span(a + key_length_, kRecordBytes), 0);
  const std::int32_t rb = GetI32(std::span(b + key_length_, kRecordBytes), 0);
  return ra < rb ? -1 : (ra > rb ? 1 : 0);
}

std::uint64_t TKeySorter::PrefixOf(const std::byte* pair, std::size_t from) const {
  if (byte_order_ == 0) return 0;
  // Shorter keys are padded with zeros, which sorts them as the byte order does.
  const std::size_t n = from < key_length_ ? std::min<std::size_t>(key_length_ - from, 8) : 0;
  std::uint64_t raw = 0;
  std::memcpy(&raw, pair + from, n);
  const std::uint64_t prefix = ReadBig64(raw);
  return byte_order_ > 0 ? prefix : ~prefix;
}

void TKeySorter::SortRange(TOrdered* first, TOrdered* last, std::size_t from) {
  const std::byte* base = buffer_.data();
  // Different prefixes order their keys as the whole keys do; equal ones go on to the next 8
  // bytes, and once the key is used up (or under a locale) the whole pairs decide.
  if (byte_order_ == 0 || from >= key_length_) {
    std::sort(first, last, [&](const TOrdered& a, const TOrdered& b) {
      return Compare(base + std::size_t{a.at} * width_, base + std::size_t{b.at} * width_) < 0;
    });
    return;
  }
  SortByPrefix(first, last);
  while (first != last) {
    TOrdered* run_end = first + 1;
    while (run_end != last && run_end->prefix == first->prefix) ++run_end;
    if (run_end - first > 1) {
      for (TOrdered* o = first; o != run_end; ++o) o->prefix = PrefixOf(base + std::size_t{o->at} * width_, from + 8);
      SortRange(first, run_end, from + 8);
    }
    first = run_end;
  }
}

void TKeySorter::SortByPrefix(TOrdered* first, TOrdered* last) {
  const auto n = static_cast<std::size_t>(last - first);
  if (n < kRadixPairs) {
    std::sort(first, last, [](const TOrdered& a, const TOrdered& b) { return a.prefix < b.prefix; });
    return;
  }
  // Least significant byte first, each pass stable; a byte all prefixes share needs no pass.
  std::array<std::array<std::uint32_t, 256>, 8> counts{};
  for (const TOrdered* o = first; o != last; ++o) {
    for (std::size_t b = 0; b < 8; ++b) ++counts[b][(o->prefix >> (8 * b)) & 0xFF];
  }
  TOrdered* from = first;
  TOrdered* to = radix_.data() + (first - order_.data());
  for (std::size_t b = 0; b < 8; ++b) {
    std::array<std::uint32_t, 256>& count = counts[b];
    if (count[(first->prefix >> (8 * b)) & 0xFF] == n) continue;
    std::uint32_t at = 0;
    for (std::uint32_t& c : count) at += std::exchange(c, at);
    for (const TOrdered* o = from; o != from + n; ++o) to[count[(o->prefix >> (8 * b)) & 0xFF]++] = *o;
    std::swap(from, to);
  }
  if (from != first) std::copy_n(from, n, first);
}

void TKeySorter::Prefetch(std::size_t i) const {
  if (i >= order_.size()) return;
  const std::byte* pair = buffer_.data() + std::size_t{order_[i].at} * width_;
  __builtin_prefetch(pair);
  __builtin_prefetch(pair + width_ - 1);
}

void TKeySorter::Add(std::span<const std::byte> key, std::int32_t record) {
  assert(key.size() == key_length_);
  if (buffer_.empty()) {
    buffer_.Grow(capacity_ * width_);
    order_.reserve(capacity_);
  }
  if (held_ == capacity_) SpillBuffer();
  prepared_ = false;
  std::byte* at = buffer_.data() + held_ * width_;
  std::memcpy(at, key.data(), key_length_);
  PutI32(std::span(at + key_length_, kRecordBytes), 0, record);
  ++held_;
  ++pairs_;
}

void TKeySorter::MakePrefixes() {
  order_.resize(held_);
  if (radix_.size() < held_) radix_.resize(held_);
  const std::byte* base = buffer_.data();
  for (std::size_t i = 0; i < held_; ++i) order_[i] = {PrefixOf(base + i * width_, 0), static_cast<std::uint32_t>(i)};
}

void TKeySorter::SortBuffer() {
  MakePrefixes();
  if (byte_order_ != 0 && AlreadyInOrder()) return;
  SortRange(order_.data(), order_.data() + order_.size(), 0);
}

void TKeySorter::Group() {
  MakePrefixes();
  groups_.clear();
  const bool in_order = byte_order_ != 0 && AlreadyInOrder();
  if (held_ == 0) {
    // Nothing to sort.
  } else if (byte_order_ == 0 || in_order) {
    groups_.push_back({0, held_});
  } else {
    // The leading 16 bits of the prefixes, counted and then dealt out in the order they came.
    std::vector<std::uint32_t> starts(kGroups + 1, 0);
    for (const TOrdered& o : order_) ++starts[(o.prefix >> kGroupShift) + 1];
    for (std::size_t b = 0; b < kGroups; ++b) {
      if (starts[b + 1] > 0) groups_.push_back({starts[b], starts[b] + starts[b + 1]});
      starts[b + 1] += starts[b];
    }
    for (const TOrdered& o : order_) radix_[starts[o.prefix >> kGroupShift]++] = o;
    std::swap(order_, radix_);
  }
  group_state_ = std::make_unique<std::atomic<std::uint8_t>[]>(groups_.size());
  if (in_order && !groups_.empty()) group_state_[0].store(kSorted);
}

void TKeySorter::SortGroup(std::size_t g, bool wait) {
  std::atomic<std::uint8_t>& state = group_state_[g];
  std::uint8_t seen = kUnsorted;
  if (state.compare_exchange_strong(seen, kSorting, std::memory_order_acq_rel)) {
    SortRange(order_.data() + groups_[g].begin, order_.data() + groups_[g].end, 0);
    state.store(kSorted, std::memory_order_release);
    state.notify_all();
    return;
  }
  if (!wait) return;
  while ((seen = state.load(std::memory_order_acquire)) != kSorted) state.wait(seen, std::memory_order_acquire);
}

void TKeySorter::SortAhead(const std::atomic<bool>& stop) {
  for (std::size_t g = 0; g < groups_.size() && !stop.load(std::memory_order_relaxed); ++g) SortGroup(g, false);
}

bool TKeySorter::AlreadyInOrder() const {
  // Keys that came in the index's order (a table's own order) need no sort: strictly rising
  // prefixes order their keys as the whole keys do.
  for (std::size_t i = 1; i < order_.size(); ++i) {
    if (order_[i].prefix <= order_[i - 1].prefix) return false;
  }
  return true;
}

void TKeySorter::SpillBuffer() {
  SortBuffer();
  if (spill_ == nullptr) {
    spill_ = std::make_unique<TFileHandler>(spill_name_, in_memory_);
    // A new file of our own, never written through a link; one that an interrupted run left goes.
    spill_->SetCreation(TFileCreation::kNewPrivate);
    if (spill_->EntryExists()) spill_->Delete();
    spill_->CreateNew();
  }
  // Written in sorted order, a slice of pairs at a time through a small staging buffer.
  std::vector<std::byte>& slice = slice_;
  slice.resize(std::min(held_, kSlicePairs) * width_);
  TRun run;
  run.offset = spill_end_;
  run.count = static_cast<std::int64_t>(held_);
  for (std::size_t first = 0; first < held_; first += kSlicePairs) {
    const std::size_t n = std::min(kSlicePairs, held_ - first);
    for (std::size_t i = 0; i < n; ++i) {
      Prefetch(first + i + kPrefetchAhead);
      std::memcpy(slice.data() + i * width_, buffer_.data() + std::size_t{order_[first + i].at} * width_, width_);
    }
    spill_->WriteAt(spill_end_, std::span<const std::byte>(slice.data(), n * width_));
    spill_end_ += static_cast<std::int64_t>(n * width_);
  }
  runs_.push_back(run);
  held_ = 0;
}

void TKeySorter::Refill(TRun& run, std::size_t share_pairs) {
  const auto left = static_cast<std::size_t>(run.count - run.taken);
  const std::size_t n = std::min(left, share_pairs);
  run.next = 0;
  run.held = n;
  if (n == 0) return;
  const std::span<std::byte> into(buffer_.data() + run.buffer, n * width_);
  (void)spill_->ReadAt(run.offset + run.taken * static_cast<std::int64_t>(width_), into, false);
  run.taken += static_cast<std::int64_t>(n);
}

void TKeySorter::Prepare() {
  if (prepared_) return;
  if (runs_.empty()) {
    Group();
  } else if (held_ > 0) {
    SpillBuffer();
  }
  prepared_ = true;
}

void TKeySorter::Drain(const TEmit& emit) {
  Prepare();
  prepared_ = false;
  if (runs_.empty()) {
    // Everything fits: sorted where it lies, group after group.
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      SortGroup(g, true);
      const std::size_t end = groups_[g].end;
      for (std::size_t i = groups_[g].begin; i < end; ++i) {
        // Not into the next group: another thread may be sorting it.
        if (i + kPrefetchAhead < end) Prefetch(i + kPrefetchAhead);
        const std::byte* pair = buffer_.data() + std::size_t{order_[i].at} * width_;
        emit(std::span(pair, key_length_), GetI32(std::span(pair + key_length_, kRecordBytes), 0));
      }
    }
  } else {
    order_.clear();
    order_.shrink_to_fit();
    radix_.clear();
    radix_.shrink_to_fit();
    // Each run reads through an equal share of the buffer.
    const std::size_t share = std::max(capacity_ / runs_.size(), kMinSharePairs);
    buffer_.Grow(share * width_ * runs_.size());  // the held pairs are in the runs now
    std::vector<std::size_t> heap;
    heap.reserve(runs_.size());
    for (std::size_t r = 0; r < runs_.size(); ++r) {
      runs_[r].buffer = r * share * width_;
      Refill(runs_[r], share);
      if (runs_[r].held > 0) heap.push_back(r);
    }
    // A min-heap on the runs' head pairs.
    const auto later = [&](std::size_t a, std::size_t b) {
      return Compare(Head(runs_[a]), Head(runs_[b])) > 0;
    };
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      TRun& run = runs_[heap.back()];
      const std::byte* pair = Head(run);
      emit(std::span(pair, key_length_), GetI32(std::span(pair + key_length_, kRecordBytes), 0));
      if (++run.next == run.held) Refill(run, share);
      if (run.held == 0) {
        heap.pop_back();
      } else {
        std::push_heap(heap.begin(), heap.end(), later);
      }
    }
  }
  held_ = 0;
  pairs_ = 0;
  runs_.clear();
  spill_end_ = 0;
}

}  // namespace tarvo
