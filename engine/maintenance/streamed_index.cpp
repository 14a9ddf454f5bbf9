#include "engine/maintenance/streamed_index.h"

#include "errors/engine_error.h"
#include "engine/maintenance/index_build.h"

namespace tarvo {

TStreamedIndex::TStreamedIndex(TIndexTree& tree, std::size_t budget, std::string spill_name, bool in_memory,
                               std::int64_t most_pairs)
    : tree_(tree),
      sorter_(std::make_unique<TKeySorter>(tree, budget, std::move(spill_name), in_memory, most_pairs)) {}

bool TStreamedIndex::Beyond(std::span<const std::byte> key) const {
  if (key.empty()) return false;
  const auto first = static_cast<std::uint8_t>(key[0]);
  return !seen_[first] || tree_.CompareKeys(key, last_[first]) > 0;
}

void TStreamedIndex::WriteTree() {
  // No key was let in twice: the duplicate check of the writing never fires.
  std::unique_ptr<TKeySorter> sorter = std::move(sorter_);
  WriteTreeFromSorter(tree_, *sorter, {});
}

template <typename F>
auto TStreamedIndex::Guarded(F&& step) {
  // A failure (a spill or a page that cannot be written) leaves keys out of the tree; the caller
  // may go on past it, so every later step and Finish() raise it again.
  if (failure_) std::rethrow_exception(failure_);
  try {
    return step();
  } catch (const ETarvoEngineError& e) {
    if (EngineCode(e) != kDuplicateKey) failure_ = std::current_exception();
    throw;
  } catch (...) {
    failure_ = std::current_exception();
    throw;
  }
}

bool TStreamedIndex::Contains(std::span<const std::byte> key) {
  return Guarded([&] {
    if (sorter_ != nullptr) {
      if (Beyond(key)) return false;
      WriteTree();
    }
    return tree_.Find(key);
  });
}

void TStreamedIndex::CheckUnique(std::span<const std::byte> key) {
  Guarded([&] {
    if (sorter_ != nullptr) {
      if (Beyond(key)) return;
      WriteTree();
    }
    tree_.CheckUnique(key);
  });
}

void TStreamedIndex::Insert(std::span<const std::byte> key, std::int32_t record) {
  Guarded([&] {
    if (sorter_ != nullptr) {
      if (Beyond(key)) {
        sorter_->Add(key, record);
        const auto first = static_cast<std::uint8_t>(key[0]);
        last_[first].assign(key.begin(), key.end());
        seen_[first] = true;
        return;
      }
      WriteTree();
    }
    tree_.Insert(key, record);
  });
}

void TStreamedIndex::Finish() {
  Guarded([&] {
    if (sorter_ != nullptr) WriteTree();
  });
}

}  // namespace tarvo
