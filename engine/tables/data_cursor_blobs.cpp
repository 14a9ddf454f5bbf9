#include "engine/tables/data_cursor.h"

#include <algorithm>

#include "errors/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor_read.h"
#include "engine/tables/data_session.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

// Where a blob field's slot keeps the value's stamp.
constexpr std::size_t kBlobSlotStamp = 5;

}  // namespace

// --- Blob values ---

void TDataCursor::RaiseCode(TEngineCode code, std::uint16_t field_number) const {
  const std::string field = field_number >= 1 && field_number <= descriptors_.size()
                                ? descriptors_[field_number - 1u].FieldName
                                : "";
  Raise(code, field);
}

TEngineCode TDataCursor::OpenBlob(std::uint16_t field_number, std::span<std::byte> record,
                                  bool engine_internal, std::uint8_t mode) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  // Loading runs under the reader lock, so that no other opener rewrites the chain meanwhile.
  return ReadOperation([&] {
    (void)CheckBeforeRead();
    return blob_values_->Open(field_number, record, engine_internal, mode);
  });
}

TEngineCode TDataCursor::CloseBlob(std::uint16_t field_number, std::span<std::byte> record) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Close(field_number, record);
}

TEngineCode TDataCursor::ReadBlob(std::uint16_t field_number, std::span<const std::byte> record,
                                  std::int64_t offset, std::span<std::byte> out, std::size_t& copied) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  copied = 0;
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Read(field_number, record, offset, out, copied);
}

TEngineCode TDataCursor::WriteBlob(std::uint16_t field_number, std::span<std::byte> record,
                                   std::int64_t offset, std::span<const std::byte> bytes) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Write(field_number, record, offset, bytes);
}

TEngineCode TDataCursor::SetBlobSize(std::uint16_t field_number, std::span<std::byte> record,
                                     std::int64_t size) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->SetSize(field_number, record, size);
}

TEngineCode TDataCursor::GetBlobSize(std::uint16_t field_number, std::span<const std::byte> record,
                                     std::int64_t& size) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  size = 0;
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->GetSize(field_number, record, size);
}

void TDataCursor::CloseBlobValues(std::span<std::byte> record) {
  if (table_ == nullptr || record.size() < record_size_) return;
  blob_values_->CloseRecordValues(record);
}

std::vector<std::byte> TDataCursor::ReadBlobField(std::uint16_t field_number) {
  RequireRecord();
  // The first read of the value since the cursor came onto the record: the record image and the
  // blocks cached with it are of the same moment (every change found drops both), so a chain the
  // cache holds whole is the record's value as the record was read.
  // Only the stored blob fields among the first 64 are followed; any other number takes the
  // checked way, which refuses what is no blob field.
  const bool followed = field_number >= 1 && field_number <= std::min<std::size_t>(descriptors_.size(), 64) &&
                        descriptors_[field_number - 1u].FieldType == kTypeBlob &&
                        IsStored(descriptors_[field_number - 1u]) && !session_.StrictChangeDetection;
  const std::uint64_t bit = followed ? std::uint64_t{1} << (field_number - 1) : 0;
  const bool first_read = bit != 0 && (values_read_ & bit) == 0;
  if (first_read && on_record_ && table_->BlobFile().IsOpen() && table_->ChangeCounters() == record_counters_) {
    const TBlobRef ref = GetBlobRef(ConstFieldSlot(current_, descriptors_[field_number - 1u]));
    std::vector<std::byte> value;
    if (ref.Reference >= 0 && LoadCachedBlobValue(table_->BlobFile(), ref.Reference, ref.Stamp, value)) {
      values_read_ |= bit;
      return value;
    }
  }
  // The value counts as read also when finding the table changed brought the record in anew.
  std::vector<std::byte> value = ReadOperation([&] {
    // The reader lock for the load; when another opener changed the table, the current record
    // is read again first.
    if (CheckBeforeRead()) throw EIndexChanged();
    if (!on_record_) Raise(kRecordChanged);
    std::vector<std::byte> image = current_;
    if (const TEngineCode code = blob_values_->Open(field_number, image, true, kBlobModeRead); code != 0) {
      RaiseCode(code, field_number);
    }
    std::int64_t size = 0;
    std::vector<std::byte> value;
    std::size_t copied = 0;
    TEngineCode code = blob_values_->GetSize(field_number, image, size);
    if (code == 0) {
      value.resize(static_cast<std::size_t>(size));
      code = blob_values_->Read(field_number, image, 0, value, copied);
    }
    const TEngineCode closed = blob_values_->Close(field_number, image);
    if (code == 0) code = closed;
    if (code != 0) RaiseCode(code, field_number);
    if (bit != 0 && reader_taken_ && table_->HoldsReaderLock()) PrefetchBlobValues(field_number);
    return value;
  });
  values_read_ |= bit;
  return value;
}

void TDataCursor::PrefetchBlobValues(std::uint16_t field_number) {
  // A walk that reads a value of each record would otherwise take the reader lock and check the
  // three headers once per value. Blocks read now are of the moment this lock fixes, like the
  // records cached since the last change was found; so the first read of each value on its
  // record is then served from the cache, as ReadBlobField allows.
  constexpr std::size_t kRecordsAhead = 256;
  const TFieldDescriptor& d = descriptors_[field_number - 1u];
  if (index_slot_ == kSlotOrder || !Position().Valid() || Position().RecordNumber() != current_slot_) return;
  TBlobFile& blobs = table_->BlobFile();
  const std::int64_t budget = blobs.CacheCapacity() / 2;
  slots_ahead_.clear();
  Position().RecordsAhead(stepped_forward_, kRecordsAhead, slots_ahead_);
  std::int64_t blocks = 0;
  for (const std::int32_t slot : slots_ahead_) {
    const TRecord* record = table_->Records().CachedRecord(slot);
    if (record == nullptr) break;  // not read yet: its value comes with it
    if (record->Deleted()) continue;
    const TBlobRef ref = GetBlobRef(ConstFieldSlot(record->Bytes(), d));
    if (ref.Reference <= 0) continue;
    try {
      const std::span<const std::byte> value = LoadBlobValue(blobs, ref.Reference, ref.Stamp, prefetched_);
      blocks += BlocksForSize(static_cast<std::int64_t>(value.size()), blobs.DataSize());
    } catch (const ETarvoEngineError&) {
      return;  // a chain that does not load is the business of its own record's read
    }
    if (blocks >= budget) return;
  }
}

void TDataCursor::SetBlobField(std::span<std::byte> record, std::uint16_t field_number,
                               std::span<const std::byte> value) {
  auto check = [&](TEngineCode code) {
    if (code != 0) RaiseCode(code, field_number);
  };
  check(OpenBlob(field_number, record, true, kBlobModeWrite));
  check(SetBlobSize(field_number, record, static_cast<std::int64_t>(value.size())));
  check(WriteBlob(field_number, record, 0, value));
}

void TDataCursor::CheckBlobReferences(std::span<const std::byte> stored,
                                      std::span<const std::byte> buffer) const {
  for (const TFieldDescriptor& d : descriptors_) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const TBlobRef old = GetBlobRef(ConstFieldSlot(stored, d));
    const TBlobRef now = GetBlobRef(ConstFieldSlot(buffer, d));
    TBlobRef named = now;
    if (now.Reference < 0) {
      const TBlobBuffer* open = blob_values_->Find(now.Reference);
      if (open == nullptr) continue;  // refused by the post's own check
      named = {open->FirstBlock(), open->Stamp()};
    } else if (now.Reference == 0) {
      // Clearing a reference (repair does) is taken as it is.
      continue;
    }
    // The buffer names a chain the record does not hold (any more): the image is stale, and
    // storing it would give one chain two owners.
    if (named.Reference != old.Reference || (old.Reference != 0 && named.Stamp != old.Stamp)) {
      Raise(kRecordChanged, std::string(TrimBlanks(d.FieldName)));
    }
  }
}

void TDataCursor::StoreBlobValues(TRecord& record, std::span<std::byte> image, std::span<std::byte> buffer) {
  (void)record;
  blob_values_->Post(image);
  // Stamps and references back into the caller's buffer; a value still open keeps its handle
  // there (closing it gives the reference back) and takes the new stamp.
  for (const TFieldDescriptor& d : descriptors_) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const TConstBytes posted = ConstFieldSlot(image, d);
    const TBytes slot = FieldSlot(buffer, d);
    const TBlobRef ref = GetBlobRef(slot);
    if (ref.Reference < 0 && blob_values_->Find(ref.Reference) != nullptr) {
      PutI32(slot, kBlobSlotStamp, GetBlobRef(posted).Stamp);
    } else {
      std::copy(posted.begin(), posted.end(), slot.begin());
    }
  }
}

void TDataCursor::FreeBlobValues(TRecord& record) {
  std::vector<std::byte> image(record.Bytes().begin(), record.Bytes().end());
  blob_values_->ReleaseRecordValues(image);
  record.CopyFields(image);
}
}  // namespace tarvo
