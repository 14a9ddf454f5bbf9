// The blob file's part of a verification or repair: the alignment of the file on whole blocks,
// the check of every live value's chain, the release of the chains still attached to deleted
// records and, in repair, the return of every block that no chain holds to the free list.
//
// Every walk meets each block at most once: a block state per block of the file (free of any
// chain, held by a live chain, released) stops a walk at a block that a walk met before, so a
// damaged file (pointers in a cycle, chains sharing blocks) ends every walk after at most
// BlockCount() blocks, and no block ends up both in a chain and on the free list.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/blob/blob_file.h"

namespace tarvo {

class TBlobRepair {
 public:
  using TLog = std::function<void(const std::string&)>;

  TBlobRepair(TBlobFile& file, bool verify_only, bool lenient, TLog log);

  // Cuts a partial block off the end (reported, in verification too); the end offset becomes the
  // file size (reported when it was another). Repair: version 4 and an empty free list (refilled
  // by the released chains).
  void AlignFile();
  // Whether a blob reference names a block of the file.
  bool InRange(std::int32_t reference) const;

  // Starts the blob fields of one record; ForgetRecord gives back what its live chains took
  // (before they are released with the record).
  void BeginRecord() { record_blocks_.clear(); }
  void ForgetRecord();

  // A live value: the chain is checked and, in repair, mended; `reference` becomes 0 when the
  // value is lost.
  void CheckLiveChain(std::int32_t r, std::int32_t stamp, std::int32_t& reference);
  // A value given up before its chain was looked at (a reference out of range or without
  // presence): what its blocks held is no longer free space that went missing.
  void NoteLostValue() { ++chain_faults_; }
  // A deleted record's value: its chain is freed in repair; `reference` becomes 0.
  void ReleaseChain(std::int32_t r, std::int32_t stamp, std::int32_t& reference);
  // Repair: every block that no live chain holds and that is not free yet goes to the free list.
  void FreeOrphans();
  // After every record's chains, before FreeOrphans: the free list the file had must run through
  // blocks that no live chain holds, each met once, and with `count_missing` take in every block
  // that no chain holds ("Invalid free block chain in BLOB file, " and the outcome; repair builds
  // the list anew). A block on it would otherwise be handed out while a value still uses it; a
  // block missing from it is lost space. Blocks behind a cut in a chain, which no list holds, are
  // not counted as missing once a chain was reported.
  void CheckFreeList(bool count_missing);

 private:
  enum : std::uint8_t { kUnseen = 0, kLive = 1, kReleased = 2, kFree = 3 };

  void Report(const char* text, std::int32_t r) const;
  std::size_t BlockIndex(std::int32_t offset) const;
  // Two bits a block, four blocks a byte: the map grows with the blob file, so it is kept small.
  std::uint8_t StateOf(std::int32_t offset) const {
    const std::size_t i = BlockIndex(offset);
    return static_cast<std::uint8_t>((state_[i / 4] >> (i % 4 * 2)) & 3u);
  }
  void SetState(std::int32_t offset, std::uint8_t state) {
    const std::size_t i = BlockIndex(offset);
    const int shift = static_cast<int>(i % 4 * 2);
    state_[i / 4] = static_cast<std::uint8_t>((state_[i / 4] & ~(3u << shift)) | (unsigned{state} << shift));
  }
  // Why a chain's link to `next` cannot be followed (the message), or nullptr.
  const char* BadLink(std::int32_t next) const;
  // The same for the block reached; in lenient mode a block of another value is taken over.
  const char* BadFollower(TBlock& following, std::int32_t stamp);
  // Reports `fault` and, in repair, ends the chain at `block`.
  void CutChain(TBlock& block, const char* fault, std::int32_t r);
  // Frees (repair) or inspects the chain from `first` on.
  void WalkChain(std::int32_t r, std::int32_t stamp, TBlockPin first, std::int64_t count);

  TBlobFile& file_;
  const bool verify_;
  const bool lenient_;
  TLog log_;
  std::int64_t block_count_ = 0;
  std::vector<std::uint8_t> state_;  // two bits a block (see StateOf)
  std::vector<std::int32_t> record_blocks_;
  std::int32_t stored_free_head_ = 0;  // the free list as the file had it
  mutable int chain_faults_ = 0;       // chain findings reported
};

}  // namespace tarvo
