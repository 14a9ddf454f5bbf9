#include "engine/maintenance/streamed_index.h"

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
  WriteTreeFromSorter(tree_, *sorter_, {});
  sorter_.reset();
}

bool TStreamedIndex::Contains(std::span<const std::byte> key) {
  if (sorter_ != nullptr) {
    if (Beyond(key)) return false;
    WriteTree();
  }
  return tree_.Find(key);
}

void TStreamedIndex::CheckUnique(std::span<const std::byte> key) {
  if (sorter_ != nullptr) {
    if (Beyond(key)) return;
    WriteTree();
  }
  tree_.CheckUnique(key);
}

void TStreamedIndex::Insert(std::span<const std::byte> key, std::int32_t record) {
  if (sorter_ != nullptr) {
    if (Beyond(key)) {
      const auto first = static_cast<std::uint8_t>(key[0]);
      last_[first].assign(key.begin(), key.end());
      seen_[first] = true;
      sorter_->Add(key, record);
      return;
    }
    WriteTree();
  }
  tree_.Insert(key, record);
}

void TStreamedIndex::Finish() {
  if (sorter_ != nullptr) WriteTree();
}

}  // namespace tarvo
