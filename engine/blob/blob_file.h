// TBlobFile: the handler of a table's blob file (.BLB). Keeps the 512-byte header in memory,
// creates, reads, writes and verifies it and notices writes by other openers. The block cache
// lives here too.
#pragma once

#include <cstdint>

#include "engine/blob/blob_header.h"
#include "support/file_handler.h"

namespace tarvo {

class TDataTable;

class TBlobFile : public TFileHandler {
 public:
  explicit TBlobFile(TDataTable& table);
  ~TBlobFile() override;

  TDataTable& Table() const { return table_; }

  // The block size from the data header's stored BlobBlockSize (0 means 512).
  void SetBlockSize(std::uint32_t stored);
  std::uint16_t BlockSize() const { return block_size_; }

  void Open() override;
  // Drops every cached block without writing; the table writes before it closes.
  void Close() override;
  // Creates the file with a new header (written by the next header write).
  void Create();

  void ReadHeader();
  void WriteHeader(bool force);
  void BumpChangeCount();
  // Reads the header; adopts it and returns true when its change counter differs from ours.
  bool HeaderChanged();
  // 12035 for a wrong version, 8961 for a free list that cannot be.
  void VerifyHeader();
  // Cuts every block off; the header's change counter stays.
  void Empty();

  const TBlobHeader& Header() const { return header_; }
  TBlobHeader& MutableHeader() { return header_; }
  void MarkModified() { modified_ = true; }
  std::int32_t ChangeCount() const { return header_.change_count; }

  // The block cache. Until blocks are cached these keep nothing.
  void FlushBlocks() {}
  void DropBlocks() {}
  void TrimCache() {}

 private:
  TBlobHeader DecodeImage(std::span<std::byte, kBlobHeaderSize> raw) const;

  TDataTable& table_;
  std::uint16_t block_size_ = 512;
  TBlobHeader header_;
  bool modified_ = false;
};

}  // namespace tarvo
