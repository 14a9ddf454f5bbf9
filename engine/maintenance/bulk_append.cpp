#include "engine/maintenance/bulk_append.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "errors/engine_error.h"
#include "engine/blob/blob_file.h"
#include "engine/blob/block.h"
#include "engine/format/byte_codec.h"
#include "engine/format/data_file.h"
#include "engine/format/encipher.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_file.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_table.h"

namespace tarvo {

namespace {

std::size_t RunOf(std::size_t bytes, std::size_t unit) {
  return std::max<std::size_t>(bytes / std::max<std::size_t>(unit, 1), 1) * unit;
}

}  // namespace

TBulkAppend::TBulkAppend(TDataCursor& target) : target_(target), table_(target.Table()) {
  TDataFile& data = table_.DataFile();
  record_size_ = data.RecordSize();
  encrypted_ = data.Encrypted();
  keep_auto_increment_ = target.HasAutoIncrementField();
  next_slot_ = data.Header().NextRecordSlot;
  last_auto_increment_ = data.LastAutoIncrement();
  records_.file = &data;
  records_.offset = data.RecordOffset(next_slot_);
  records_.bytes.resize(RunOf(kRecordRun, record_size_));
  if (table_.HasBlobFile()) {
    TBlobFile& blob = table_.BlobFile();
    block_size_ = blob.BlockSize();
    end_offset_ = blob.Header().end_offset;
    blocks_.file = &blob;
    blocks_.offset = end_offset_;
    blocks_.bytes.resize(RunOf(kBlockRun, block_size_));
  }
  // The new files are flushed before they are exchanged: their bytes may go to the disk now, a
  // few MiB at a time while the copy goes on, instead of all at once then.
  data.SetWriteBackRun(kBulkWriteBackRun);
  if (table_.HasBlobFile()) table_.BlobFile().SetWriteBackRun(kBulkWriteBackRun);
  writer_ = std::make_unique<TBackgroundQueue<TRun>>(
      kRunsWaiting, [](TRun& run) { run.file->WriteAt(run.offset, std::span(run.bytes).first(run.used)); });
  // Every run there can be besides the two being filled (those waiting and the one being
  // written) is made now: the memory does not depend on how far the writes fall behind.
  for (std::size_t r = 0; r <= kRunsWaiting; ++r) {
    TRun spare;
    spare.bytes.resize(std::max(kRecordRun, kBlockRun));
    writer_->AddSpare(std::move(spare));
  }
}

// The table may be closed by now: only a copy that did not finish still has the files to reset.
TBulkAppend::~TBulkAppend() {
  if (writer_ == nullptr) return;
  writer_.reset();
  EndWriteBack();
}

void TBulkAppend::EndWriteBack() {
  table_.DataFile().SetWriteBackRun(0);
  if (table_.HasBlobFile()) table_.BlobFile().SetWriteBackRun(0);
}

void TBulkAppend::Write(TRun& run) {
  if (run.used == 0) return;
  TFileHandler* file = run.file;
  const std::int64_t next = run.offset + static_cast<std::int64_t>(run.used);
  const std::size_t size = run.bytes.size();
  writer_->Push(std::move(run));
  run = writer_->TakeSpare().value_or(TRun());
  run.file = file;
  run.offset = next;
  run.used = 0;
  run.bytes.resize(size);
}

void TBulkAppend::StoreBlob(std::span<std::byte> record, const TFieldDescriptor& d,
                            std::span<const std::byte> value) {
  TBlobFile& blob = table_.BlobFile();
  if (value.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    blob.Raise(kInvalidBlobLength);
  }
  const TBytes slot = FieldSlot(record, d);
  if (value.empty()) {
    // No chain and no stamp: the slot names nothing.
    PutBlobRef(slot, TBlobRef{0, GetBlobRef(slot).Stamp});
    return;
  }
  const std::int32_t stamp = table_.DataFile().NextBlobStamp();
  std::int32_t first = 0;
  const std::size_t data_size = blob.DataSize();
  const auto size = static_cast<std::int32_t>(value.size());
  std::size_t written = 0;
  std::int64_t previous = 0;
  while (written < value.size()) {
    // Appending stops once the file's end lies above its limit, as for any appended block.
    if (end_offset_ > kMaxBlobFileEnd) blob.Raise(kTableFull);
    if (blocks_.used == blocks_.bytes.size()) Write(blocks_);
    const std::int64_t offset = end_offset_;
    const std::size_t n = std::min(data_size, value.size() - written);
    TBlockHeader header;
    header.prev = static_cast<std::int32_t>(previous);
    header.next = written + n < value.size() ? static_cast<std::int32_t>(offset + block_size_) : 0;
    header.used = static_cast<std::uint16_t>(n);
    header.stamp = stamp;
    header.total_size = previous == 0 ? size : 0;
    const std::span<std::byte> image = std::span(blocks_.bytes).subspan(blocks_.used, block_size_);
    EncodeBlockHeader(header, image.first<kBlockHeaderSize>());
    std::memcpy(image.data() + kBlockHeaderSize, value.data() + written, n);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(kBlockHeaderSize + n), image.end(), std::byte{0});
    if (encrypted_) {
      Encipher(image.first(kBlockHeaderSize), kRecordKey);
      Encipher(image.subspan(kBlockHeaderSize), kRecordKey);
    }
    blocks_.used += block_size_;
    if (first == 0) first = static_cast<std::int32_t>(offset);
    previous = offset;
    end_offset_ += block_size_;
    written += n;
  }
  PutBlobRef(slot, TBlobRef{first, stamp});
}

bool TBulkAppend::Fits(std::span<const std::int64_t> value_sizes) const {
  if (!CanCreateSlot(next_slot_, record_size_)) return false;
  const auto data_size = static_cast<std::int64_t>(BlobDataSize(block_size_));
  std::int64_t blocks = 0;
  for (const std::int64_t size : value_sizes)
    blocks += (std::max<std::int64_t>(size, 0) + data_size - 1) / data_size;
  // The k-th new block (from 0) goes to the end + k blocks, which must lie at or below the limit.
  return blocks == 0 || end_offset_ + (blocks - 1) * block_size_ <= kMaxBlobFileEnd;
}

std::int32_t TBulkAppend::Append(std::span<std::byte> record, bool keep_supplied) {
  if (record.size() < record_size_) RaiseEngineError(kRecordBuffersCorrupt, table_.TableName());
  target_.Validate(record);
  const std::int32_t slot = next_slot_;
  if (!CanCreateSlot(slot, record_size_)) RaiseEngineError(kTableFull, table_.TableName());
  SetRecordDeleted(record, false);
  SetRecordSlotLink(record, slot);
  if (keep_auto_increment_ && keep_supplied) {
    last_auto_increment_ = std::max(FollowingAutoIncrement(last_auto_increment_), RecordAutoIncrement(record));
  } else {
    last_auto_increment_ = FollowingAutoIncrement(last_auto_increment_);
    SetRecordAutoIncrement(record, last_auto_increment_);
  }
  if (records_.used == records_.bytes.size()) Write(records_);
  const std::span<std::byte> image = std::span(records_.bytes).subspan(records_.used, record_size_);
  std::memcpy(image.data(), record.data(), record_size_);
  if (encrypted_) Encipher(image, kRecordKey);
  records_.used += record_size_;
  ++next_slot_;
  ++appended_;
  return slot;
}

void TBulkAppend::Finish() {
  Write(records_);
  Write(blocks_);
  writer_->Finish();
  writer_.reset();
  EndWriteBack();
  TDataFile& data = table_.DataFile();
  if (appended_ > 0) {
    table_.SetDataWritten();
    data.MutableHeader().NextRecordSlot = next_slot_;
    data.MarkHeaderChanged();
    data.SetLastAutoIncrement(last_auto_increment_);
    TIndexFile& index = table_.IndexFile();
    index.MutableHeader().active_records += appended_;
    index.MarkModified();
  }
  if (table_.HasBlobFile() && end_offset_ != table_.BlobFile().Header().end_offset) {
    TBlobFile& blob = table_.BlobFile();
    blob.MutableHeader().end_offset = static_cast<std::int32_t>(end_offset_);
    blob.MutableHeader().changed = 1;
    blob.MarkModified();
  }
  appended_ = 0;
}

}  // namespace tarvo
