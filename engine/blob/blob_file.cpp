#include "engine/blob/blob_file.h"

#include <array>

#include "components/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/tables/data_table.h"

namespace tarvo {

TBlobFile::TBlobFile(TDataTable& table) : table_(table) {}

TBlobFile::~TBlobFile() = default;

void TBlobFile::SetBlockSize(std::uint32_t stored) {
  block_size_ = BlobBlockSize(stored);
}

void TBlobFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    if (GetSize() < static_cast<std::int64_t>(kBlobHeaderSize)) {
      RaiseEngineError(kHeaderCorrupt, table_.TableName());
    }
    ReadHeader();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
}

void TBlobFile::Close() {
  DropBlocks();
  TFileHandler::Close();
}

void TBlobFile::Create() {
  CreateNew();
  header_ = NewBlobHeader();
  modified_ = true;
}

TBlobHeader TBlobFile::DecodeImage(std::span<std::byte, kBlobHeaderSize> raw) const {
  if (table_.DataFile().Encrypted()) Encipher(raw, kRecordKey);
  return DecodeBlobHeader(raw);
}

void TBlobFile::ReadHeader() {
  std::array<std::byte, kBlobHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeImage(raw);
  header_.changed = 0;
  modified_ = false;
}

void TBlobFile::WriteHeader(bool force) {
  if (!force && !modified_) return;
  ++header_.change_count;
  header_.changed = 1;
  std::array<std::byte, kBlobHeaderSize> raw{};
  EncodeBlobHeader(header_, raw);
  if (table_.DataFile().Encrypted()) Encipher(raw, kRecordKey);
  WriteAt(0, raw);
  header_.changed = 0;
  modified_ = false;
}

void TBlobFile::BumpChangeCount() {
  ++header_.change_count;
  modified_ = true;
}

bool TBlobFile::HeaderChanged() {
  std::array<std::byte, kBlobHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  TBlobHeader fresh = DecodeImage(raw);
  if (fresh.change_count == header_.change_count) return false;
  fresh.changed = 0;
  header_ = fresh;
  modified_ = false;
  return true;
}

void TBlobFile::VerifyHeader() {
  if (const int rc = VerifyBlobHeader(header_, block_size_); rc != 0) {
    RaiseEngineError(static_cast<TEngineCode>(-rc), table_.TableName());
  }
}

void TBlobFile::Empty() {
  WriteAt(kBlobHeaderSize, {});
  DropBlocks();
  EmptyBlobHeader(header_);
  modified_ = true;
}

}  // namespace tarvo
