#include "tests/testing/blob_checker.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "engine/blob/blob_file.h"
#include "engine/blob/blob_header.h"
#include "engine/blob/block.h"
#include "engine/format/encipher.h"

namespace tarvo::testing {

namespace {

class TChecker {
 public:
  TChecker(std::span<const std::byte> file, std::uint16_t block_size, bool encrypted)
      : file_(file), block_size_(block_size), data_size_(BlobDataSize(block_size)), encrypted_(encrypted) {}

  TBlobCheckReport Run(std::span<const TChainRef> chains) {
    report_.file_size = static_cast<std::int64_t>(file_.size());
    if (file_.size() < kBlobHeaderSize) {
      Problem("file shorter than its header");
      return report_;
    }
    std::array<std::byte, kBlobHeaderSize> raw{};
    std::copy_n(file_.begin(), kBlobHeaderSize, raw.begin());
    if (encrypted_) Encipher(raw, kRecordKey);
    header_ = DecodeBlobHeader(raw);
    if (header_.version != kBlobFormatVersion) Problem("version " + std::to_string(header_.version));
    if (header_.end_offset < kFirstBlockOffset ||
        (header_.end_offset - kFirstBlockOffset) % block_size_ != 0) {
      Problem("end offset " + std::to_string(header_.end_offset) + " off the block grid");
      return report_;
    }
    if (static_cast<std::int64_t>(file_.size()) != header_.end_offset) {
      Problem("file size " + std::to_string(file_.size()) + " differs from end offset " +
              std::to_string(header_.end_offset));
    }
    report_.block_count = (header_.end_offset - kFirstBlockOffset) / block_size_;
    owner_.assign(static_cast<std::size_t>(report_.block_count), kUnowned);
    for (std::size_t i = 0; i < chains.size(); ++i) WalkChain(chains[i], static_cast<int>(i));
    WalkFreeList();
    for (std::int64_t k = 0; k < report_.block_count; ++k) {
      if (owner_[static_cast<std::size_t>(k)] == kUnowned) {
        Problem("block " + std::to_string(kFirstBlockOffset + k * block_size_) +
                " is in no chain and not free");
      }
    }
    return report_;
  }

 private:
  static constexpr int kUnowned = -2;
  static constexpr int kFree = -1;

  void Problem(const std::string& text) { report_.problems.push_back(text); }

  // The block's index, or -1 for an offset that names no block.
  std::int64_t IndexOf(std::int32_t offset) const {
    if (offset < kFirstBlockOffset || offset >= header_.end_offset) return -1;
    if ((offset - kFirstBlockOffset) % block_size_ != 0) return -1;
    const std::int64_t index = (offset - kFirstBlockOffset) / block_size_;
    if (static_cast<std::size_t>(offset) + block_size_ > file_.size()) return -1;
    return index;
  }

  TBlock Block(std::int32_t offset) const {
    std::vector<std::byte> image(file_.begin() + offset, file_.begin() + offset + block_size_);
    if (encrypted_) {
      Encipher(std::span(image).first(kBlockHeaderSize), kRecordKey);
      Encipher(std::span(image).subspan(kBlockHeaderSize), kRecordKey);
    }
    TBlock block(block_size_);
    block.Decode(image);
    return block;
  }

  bool Claim(std::int32_t offset, int owner, const std::string& what) {
    const std::int64_t index = IndexOf(offset);
    if (index < 0) {
      Problem(what + ": pointer " + std::to_string(offset) + " names no block");
      return false;
    }
    int& slot = owner_[static_cast<std::size_t>(index)];
    if (slot != kUnowned) {
      Problem(what + ": block " + std::to_string(offset) + " already belongs to " +
              (slot == kFree ? std::string("the free list") : "chain " + std::to_string(slot)));
      return false;
    }
    slot = owner;
    return true;
  }

  void WalkChain(const TChainRef& ref, int id) {
    if (ref.first_block == 0) return;
    const std::string what = "chain " + std::to_string(id) + " at " + std::to_string(ref.first_block);
    std::vector<std::byte> value;
    std::int64_t size = -1;
    std::int32_t prev = 0;
    std::int32_t at = ref.first_block;
    std::int64_t blocks = 0;
    while (at != 0) {
      if (!Claim(at, id, what)) return;
      const TBlock block = Block(at);
      ++report_.chain_blocks;
      ++blocks;
      if (block.BlobStamp() != ref.stamp)
        Problem(what + ": block " + std::to_string(at) + " has another stamp");
      if (block.PrevBlock() != prev)
        Problem(what + ": block " + std::to_string(at) + " has a wrong back pointer");
      if (prev == 0) {
        size = block.TotalSize();
      } else if (block.TotalSize() != 0) {
        Problem(what + ": block " + std::to_string(at) + " repeats a total size");
      }
      const bool last = block.NextBlock() == 0;
      const std::size_t used = block.UsedBytes();
      const std::int64_t left = size - static_cast<std::int64_t>(value.size());
      const auto expected =
          static_cast<std::size_t>(std::clamp<std::int64_t>(left, 0, static_cast<std::int64_t>(data_size_)));
      if (used != expected || (last && left > static_cast<std::int64_t>(data_size_))) {
        Problem(what + ": block " + std::to_string(at) + " uses " + std::to_string(used) +
                " bytes, expected " + std::to_string(expected) + (last ? " (last)" : ""));
      }
      const auto take = std::min(used, data_size_);
      value.insert(value.end(), block.Data().begin(),
                   block.Data().begin() + static_cast<std::ptrdiff_t>(take));
      prev = at;
      at = block.NextBlock();
    }
    if (static_cast<std::int64_t>(value.size()) != size) {
      Problem(what + ": holds " + std::to_string(value.size()) + " bytes of " + std::to_string(size));
    }
    const std::int64_t expected_blocks = size <= 0 ? 0
                                                   : (size + static_cast<std::int64_t>(data_size_) - 1) /
                                                         static_cast<std::int64_t>(data_size_);
    if (blocks != expected_blocks) Problem(what + ": " + std::to_string(blocks) + " blocks for its size");
    report_.values[ref.first_block] = std::move(value);
  }

  void WalkFreeList() {
    std::int32_t at = header_.free_head;
    while (at != 0) {
      if (!Claim(at, kFree, "free list")) return;
      ++report_.free_blocks;
      at = Block(at).NextBlock();
    }
  }

  std::span<const std::byte> file_;
  std::uint16_t block_size_;
  std::size_t data_size_;
  bool encrypted_;
  TBlobHeader header_;
  std::vector<int> owner_;
  TBlobCheckReport report_;
};

}  // namespace

std::string TBlobCheckReport::Text() const {
  std::ostringstream out;
  for (const std::string& p : problems) out << p << "\n";
  return out.str();
}

TBlobCheckReport CheckBlobBytes(std::span<const std::byte> file, std::uint16_t block_size, bool encrypted,
                                std::span<const TChainRef> chains) {
  return TChecker(file, block_size, encrypted).Run(chains);
}

TBlobCheckReport CheckBlobFile(TBlobFile& file, std::span<const TChainRef> chains) {
  file.FlushBlocks();
  file.WriteHeader(false);
  const std::int64_t size = file.GetSize();
  std::vector<std::byte> bytes(static_cast<std::size_t>(size));
  (void)file.ReadAt(0, bytes, false);
  return CheckBlobBytes(bytes, file.BlockSize(), file.Encrypted(), chains);
}

std::vector<std::byte> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  std::transform(chars.begin(), chars.end(), bytes.begin(), [](char c) { return static_cast<std::byte>(c); });
  return bytes;
}

}  // namespace tarvo::testing
