#include "engine/blob/blob_values.h"

#include <algorithm>
#include <atomic>

#include "engine/blob/blob_file.h"
#include "engine/format/data_file.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"

namespace tarvo {

namespace {

// Slot of a blob field: presence byte, reference (or handle), stamp.
constexpr std::size_t kSlotPresence = 0;
constexpr std::size_t kSlotReference = 1;
constexpr std::size_t kSlotStamp = 5;

// Handles are unique in the process, so that a handle of another cursor is never taken for one
// of ours.
std::int32_t NewHandle() {
  static std::atomic<std::int32_t> counter{0};
  std::int32_t value = counter.fetch_add(1, std::memory_order_relaxed) + 1;
  if (value <= 0) {
    counter.store(1);
    value = 1;
  }
  return -value;
}

void PutReference(TBytes slot, std::int32_t reference, bool present) {
  PutU8(slot, kSlotPresence, present ? 1 : 0);
  PutI32(slot, kSlotReference, reference);
}

}  // namespace

TBlobValues::TBlobValues(TDataFile& data_file, TBlobFile& blob_file)
    : data_file_(data_file), blob_file_(blob_file) {}

TBlobValues::~TBlobValues() = default;

const TFieldDescriptor* TBlobValues::BlobField(std::uint16_t field_number) const {
  const std::vector<TFieldDescriptor>& fields = data_file_.Descriptors();
  if (field_number == 0 || field_number > fields.size()) return nullptr;
  const TFieldDescriptor& d = fields[field_number - 1u];
  return d.FieldType == kTypeBlob && IsStored(d) ? &d : nullptr;
}

TBlobBuffer* TBlobValues::FindMutable(std::int32_t handle) const {
  for (const auto& b : buffers_) {
    if (b->Handle() == handle) return b.get();
  }
  return nullptr;
}

const TBlobBuffer* TBlobValues::Find(std::int32_t handle) const {
  return FindMutable(handle);
}

TBlobBuffer* TBlobValues::BufferOf(std::uint16_t field_number, TConstBytes record, TEngineCode& code) {
  const TFieldDescriptor* d = BlobField(field_number);
  if (d == nullptr) {
    code = kInvalidBlobField;
    return nullptr;
  }
  const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, *d));
  TBlobBuffer* buffer = ref.Reference < 0 ? FindMutable(ref.Reference) : nullptr;
  code = buffer == nullptr ? kInvalidBlobHandle : 0;
  return buffer;
}

TEngineCode TBlobValues::Open(std::uint16_t field_number, TBytes record, bool engine_internal,
                              std::uint8_t mode) {
  const TFieldDescriptor* d = BlobField(field_number);
  if (d == nullptr) return kInvalidBlobField;
  const TBytes slot = FieldSlot(record, *d);
  const TBlobRef ref = GetBlobRef(slot);
  if (ref.Reference < 0) {
    TBlobBuffer* open = FindMutable(ref.Reference);
    if (open == nullptr) return kInvalidBlobOffset;
    open->SetEngineInternal(engine_internal);
    return 0;
  }
  if (buffers_.size() >= kMaxOpenBlobs) return kTooManyBlobs;
  TBlobBufferInit init;
  init.handle = NewHandle();
  init.stamp = ref.Stamp;
  init.record_number = RecordSlotLink(record);
  init.field_number = field_number;
  init.first_block = ref.Reference;
  init.mode = mode;
  init.engine_internal = engine_internal;
  auto buffer = std::make_unique<TBlobBuffer>(init);
  if (init.first_block != 0) buffer->Load(blob_file_);
  PutReference(slot, buffer->Handle(), buffer->Size() > 0);
  buffers_.push_back(std::move(buffer));
  return 0;
}

TEngineCode TBlobValues::Close(std::uint16_t field_number, TBytes record) {
  TEngineCode code = 0;
  TBlobBuffer* buffer = BufferOf(field_number, record, code);
  if (buffer == nullptr) return code;
  PutReference(FieldSlot(record, *BlobField(field_number)), buffer->FirstBlock(), buffer->FirstBlock() != 0);
  std::erase_if(buffers_, [&](const std::unique_ptr<TBlobBuffer>& b) { return b.get() == buffer; });
  return 0;
}

TEngineCode TBlobValues::Read(std::uint16_t field_number, TConstBytes record, std::int64_t offset,
                              std::span<std::byte> out, std::size_t& copied) {
  copied = 0;
  TEngineCode code = 0;
  const TBlobBuffer* buffer = BufferOf(field_number, record, code);
  if (buffer == nullptr) return code;
  bool reached_end = false;
  copied = buffer->Read(offset, out, reached_end);
  return reached_end ? kEndOfBlob : 0;
}

TEngineCode TBlobValues::Write(std::uint16_t field_number, TBytes record, std::int64_t offset,
                               std::span<const std::byte> bytes) {
  TEngineCode code = 0;
  TBlobBuffer* buffer = BufferOf(field_number, record, code);
  if (buffer == nullptr) return code;
  if (const int rc = buffer->Write(offset, bytes); rc != 0) return static_cast<TEngineCode>(-rc);
  PutU8(FieldSlot(record, *BlobField(field_number)), kSlotPresence, buffer->Size() > 0 ? 1 : 0);
  return 0;
}

TEngineCode TBlobValues::SetSize(std::uint16_t field_number, TBytes record, std::int64_t size) {
  TEngineCode code = 0;
  TBlobBuffer* buffer = BufferOf(field_number, record, code);
  if (buffer == nullptr) return code;
  if (const int rc = buffer->Resize(size); rc != 0) return static_cast<TEngineCode>(-rc);
  PutU8(FieldSlot(record, *BlobField(field_number)), kSlotPresence, buffer->Size() > 0 ? 1 : 0);
  return 0;
}

TEngineCode TBlobValues::GetSize(std::uint16_t field_number, TConstBytes record, std::int64_t& size) {
  size = 0;
  TEngineCode code = 0;
  const TBlobBuffer* buffer = BufferOf(field_number, record, code);
  if (buffer == nullptr) return code;
  size = buffer->Size();
  return 0;
}

template <class TVisit>
void TBlobValues::ForEachBlobField(TVisit visit) const {
  const std::vector<TFieldDescriptor>& fields = data_file_.Descriptors();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto number = static_cast<std::uint16_t>(i + 1);
    if (BlobField(number) != nullptr) visit(number, fields[i]);
  }
}

TBlobBuffer* TBlobValues::Referenced(std::uint16_t field_number, TConstBytes record) const {
  const TFieldDescriptor* d = BlobField(field_number);
  if (d == nullptr) return nullptr;
  const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, *d));
  if (ref.Reference >= 0) return nullptr;
  TBlobBuffer* buffer = FindMutable(ref.Reference);
  return buffer != nullptr && buffer->FieldNumber() == field_number ? buffer : nullptr;
}

std::vector<std::pair<TBlobBuffer*, const TFieldDescriptor*>> TBlobValues::Named(TConstBytes record) const {
  std::vector<std::pair<TBlobBuffer*, const TFieldDescriptor*>> named;
  for (const auto& b : buffers_) {
    const TFieldDescriptor* d = BlobField(b->FieldNumber());
    if (d != nullptr && Referenced(b->FieldNumber(), record) == b.get()) named.emplace_back(b.get(), d);
  }
  return named;
}

void TBlobValues::CheckPostable(TConstBytes record) const {
  ForEachBlobField([&](std::uint16_t number, const TFieldDescriptor& d) {
    if (GetBlobRef(ConstFieldSlot(record, d)).Reference < 0 && Referenced(number, record) == nullptr) {
      RaiseEngineError(kInvalidBlobHandle, blob_file_.TableName(), d.FieldName);
    }
  });
  const TBlobBuffer* first = nullptr;
  for (const auto& [b, d] : Named(record)) {
    if (!b->Modified()) continue;
    if (first == nullptr) first = b;
    if (b->RecordNumber() != first->RecordNumber()) blob_file_.Raise(kBlobBuffersCorrupt);
  }
}

void TBlobValues::CheckRoom(TConstBytes record) const {
  TBlobFile& file = blob_file_;
  const auto data_size = static_cast<std::int64_t>(file.DataSize());
  const auto blocks_of = [&](std::int64_t size) {
    return (std::max<std::int64_t>(size, 0) + data_size - 1) / data_size;
  };
  std::int64_t wanted = 0;
  std::vector<std::int32_t> reused;
  for (const auto& [b, d] : Named(record)) {
    if (!b->Modified() || b->Size() <= 0) continue;
    wanted += blocks_of(b->Size());
    if (b->FirstBlock() != 0) reused.push_back(b->FirstBlock());
  }
  if (file.CanAppend(wanted)) return;
  for (const std::int32_t first : reused) {
    const TBlockPin block(file, &file.GetBlockForWrite(first, 1, false));
    wanted -= blocks_of(block->TotalSize());
  }
  wanted = std::max<std::int64_t>(wanted, 0);
  wanted -= file.CountFreeBlocks(wanted);
  if (!file.CanAppend(wanted)) file.Raise(kTableFull);
}

void TBlobValues::Post(TBytes record) {
  TBlobFile& file = blob_file_;
  CheckPostable(record);
  // The buffers this record names, in the order opened.
  const auto named = Named(record);
  // 1. New stamps.
  for (auto& [b, d] : named) {
    if (!b->Modified()) continue;
    b->SetStamp(data_file_.NextBlobStamp());
    PutI32(FieldSlot(record, *d), kSlotStamp, b->Stamp());
  }
  // 2. Chains.
  for (auto& [b, d] : named) {
    if (!b->Modified()) continue;
    if (b->Size() <= 0) {
      b->Free(file);
    } else {
      b->Store(file);
    }
  }
  // 3. References.
  for (auto& [b, d] : named) PutReference(FieldSlot(record, *d), b->FirstBlock(), b->FirstBlock() != 0);
  // 4. The engine's own buffers go.
  CloseEngineInternal();
}

void TBlobValues::MakeValuesOwn(TBytes record) {
  ForEachBlobField([&](std::uint16_t number, const TFieldDescriptor& d) {
    const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, d));
    if (ref.Reference == 0) return;
    if (ref.Reference > 0) {
      if (const TEngineCode code = Open(number, record, true, kBlobModeWrite); code != 0) {
        RaiseEngineError(code, blob_file_.TableName(), d.FieldName);
      }
    }
    TBlobBuffer* buffer = Referenced(number, record);
    if (buffer == nullptr) RaiseEngineError(kInvalidBlobHandle, blob_file_.TableName(), d.FieldName);
    buffer->Detach();
  });
}

void TBlobValues::CloseRecordValues(TBytes record) {
  ForEachBlobField([&](std::uint16_t number, const TFieldDescriptor& d) {
    if (Referenced(number, record) == nullptr) return;
    if (const TEngineCode code = Close(number, record); code != 0) {
      RaiseEngineError(code, blob_file_.TableName(), d.FieldName);
    }
  });
}

void TBlobValues::ReleaseRecordValues(TBytes record) {
  try {
    const std::vector<TFieldDescriptor>& fields = data_file_.Descriptors();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const auto number = static_cast<std::uint16_t>(i + 1);
      if (BlobField(number) == nullptr) continue;
      if (const TEngineCode code = Open(number, record, true, kBlobModeWrite); code != 0) {
        RaiseEngineError(code, blob_file_.TableName(), fields[i].FieldName);
      }
      if (const TEngineCode code = SetSize(number, record, 0); code != 0) {
        RaiseEngineError(code, blob_file_.TableName(), fields[i].FieldName);
      }
    }
    Post(record);
  } catch (...) {
    // The slots must not keep handles of buffers that are gone.
    for (const auto& b : buffers_) {
      const TFieldDescriptor* d = BlobField(b->FieldNumber());
      if (b->EngineInternal() && d != nullptr) {
        PutReference(FieldSlot(record, *d), b->FirstBlock(), b->FirstBlock() != 0);
      }
    }
    CloseEngineInternal();
    throw;
  }
}

void TBlobValues::CloseEngineInternal() {
  if (undoing_) {
    // Values open at the start of the operation are kept until it is done.
    for (auto& b : buffers_) {
      if (!b->EngineInternal()) continue;
      const bool kept = std::any_of(undo_.open.begin(), undo_.open.end(),
                                    [&](const auto& entry) { return entry.first == b.get(); });
      if (kept) undo_.closed.push_back(std::move(b));
    }
  }
  std::erase_if(buffers_,
                [](const std::unique_ptr<TBlobBuffer>& b) { return b == nullptr || b->EngineInternal(); });
}

void TBlobValues::BeginChange() {
  undoing_ = true;
  undo_.open.clear();
  undo_.closed.clear();
  for (const auto& b : buffers_) undo_.open.emplace_back(b.get(), b->PostState());
}

void TBlobValues::EndChange() {
  undoing_ = false;
  undo_.open.clear();
  undo_.closed.clear();
}

void TBlobValues::UndoChange() {
  if (!undoing_) return;
  undoing_ = false;
  TUndo undo = std::move(undo_);
  undo_ = TUndo();
  std::vector<std::unique_ptr<TBlobBuffer>> present = std::move(buffers_);
  for (auto& b : undo.closed) present.push_back(std::move(b));
  buffers_.clear();
  // The values of the start in their order; those opened since go.
  for (const auto& [buffer, state] : undo.open) {
    const TBlobBuffer* wanted = buffer;  // a lambda may not capture a structured binding before C++20's fix
    const auto it = std::find_if(present.begin(), present.end(),
                                 [wanted](const std::unique_ptr<TBlobBuffer>& b) { return b.get() == wanted; });
    if (it == present.end()) continue;
    (*it)->RestorePostState(state);
    buffers_.push_back(std::move(*it));
  }
}

void TBlobValues::CloseAll() {
  buffers_.clear();
}

}  // namespace tarvo
