// TBlobValues: the blob values one cursor has open (at most 64), and what posting and deleting a
// record do with them. While a value is open, the reference word of its field's slot in the
// cursor's record buffer holds the buffer's negative handle; posting writes stamps and first
// block offsets back into the record image that goes to the file.
//
// The operations on open values return 0 or an engine code for the caller to raise (10753 not a
// blob field, 9998 / 10030 no handle of this cursor, 9494 a 65th value, 8711 a read past the
// end, 10029 a value of 2 GB). Loading, storing and freeing chains raise (blob_chain.h).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/blob_buffer.h"
#include "engine/format/byte_codec.h"

namespace tarvo {

class TBlobFile;
class TDataFile;
struct TFieldDescriptor;

class TBlobValues {
 public:
  static constexpr std::size_t kMaxOpenBlobs = 64;

  // The values of the table whose data file (descriptors, blob stamps) and blob file these are.
  // Requires: the table stays open while this object lives.
  TBlobValues(TDataFile& data_file, TBlobFile& blob_file);
  ~TBlobValues();
  TBlobValues(const TBlobValues&) = delete;
  TBlobValues& operator=(const TBlobValues&) = delete;

  // Opens field `field_number` (1-based) of `record`: loads its value and puts the handle into
  // the slot (presence byte = size > 0). A slot that already holds a handle of this cursor only
  // takes the new engine-internal flag.
  [[nodiscard]] TEngineCode Open(std::uint16_t field_number, TBytes record, bool engine_internal,
                                 std::uint8_t mode);
  // Frees the buffer, dropping unposted changes; the slot gets the first block offset back
  // (presence byte = offset != 0).
  [[nodiscard]] TEngineCode Close(std::uint16_t field_number, TBytes record);
  // Copies out.size() bytes from `offset` into `out`; `copied` tells how many came. 8711 when
  // the read reaches past the end (what there was is copied).
  [[nodiscard]] TEngineCode Read(std::uint16_t field_number, TConstBytes record, std::int64_t offset,
                                 std::span<std::byte> out, std::size_t& copied);
  // Writes at `offset`, growing the value when needed (presence byte = size > 0).
  [[nodiscard]] TEngineCode Write(std::uint16_t field_number, TBytes record, std::int64_t offset,
                                  std::span<const std::byte> bytes);
  [[nodiscard]] TEngineCode SetSize(std::uint16_t field_number, TBytes record, std::int64_t size);
  [[nodiscard]] TEngineCode GetSize(std::uint16_t field_number, TConstBytes record, std::int64_t& size);

  // Posting `record` (the image about to be written):
  //   1. every modified buffer gets the next stamp of the data file, also in its slot;
  //   2. modified buffers, in the order opened, are freed (size 0) or stored; they must all
  //      belong to one physical record (8963 before anything changes);
  //   3. every open buffer's first block offset goes into its slot (presence = offset != 0);
  //   4. buffers the engine opened for itself are freed.
  // Only buffers whose handle `record` holds take part in 1 to 3: a value opened on another
  // record buffer never lands in this record's slots, and is stored when its own record is posted.
  // Requires: the writer or table lock, or the table open exclusively.
  void Post(TBytes record);
  // The checks of Post that must pass before a record operation changes anything: 10030 for a
  // slot holding a handle of no open buffer, 8963 for changed buffers of two records.
  void CheckPostable(TConstBytes record) const;
  // Also before a record operation changes anything: 9479 when storing the changed values that
  // `record` names would append blocks beyond the blob file's limit. Near the limit the blocks of
  // their old chains and of the free list, which a store takes first, are counted too.
  void CheckRoom(TConstBytes record) const;
  // For a record about to be added: every value it names becomes a value of its own. An open
  // buffer forgets the chain it was loaded from; a plain reference (a record image copied from
  // another record) is loaded and opened as an engine-internal value. So two records never share
  // a chain. 10030 as CheckPostable; loading raises as LoadBlobValue.
  void MakeValuesOwn(TBytes record);
  // Closes every buffer whose handle `record` holds, dropping unposted changes; the slots get the
  // first block offsets back.
  void CloseRecordValues(TBytes record);
  // Before `record` is deleted: opens every blob field as an engine-internal value, empties it
  // and posts, which frees every chain and leaves every reference 0. A failure closes the
  // engine-internal values again.
  void ReleaseRecordValues(TBytes record);
  // Frees the engine-internal buffers (after a failure, for example).
  void CloseEngineInternal();
  // Frees every buffer (the cursor closes).
  void CloseAll();

  // One record operation as a whole: from BeginChange on, the values open at its start are kept
  // with what a post changes in them, also when a post closes them. UndoChange puts them back
  // (in their order) and closes the values opened since; EndChange forgets what was kept.
  void BeginChange();
  void EndChange();
  void UndoChange();

  std::size_t OpenCount() const { return buffers_.size(); }
  // The buffer of a handle, or nullptr.
  const TBlobBuffer* Find(std::int32_t handle) const;

 private:
  const TFieldDescriptor* BlobField(std::uint16_t field_number) const;
  // The buffer whose handle the field's slot holds; sets `code` otherwise.
  TBlobBuffer* BufferOf(std::uint16_t field_number, TConstBytes record, TEngineCode& code);
  TBlobBuffer* FindMutable(std::int32_t handle) const;
  // The buffer of field `field_number` whose handle its slot in `record` holds, or nullptr.
  TBlobBuffer* Referenced(std::uint16_t field_number, TConstBytes record) const;
  // The open buffers whose handles `record` holds, with their fields, in the order opened.
  std::vector<std::pair<TBlobBuffer*, const TFieldDescriptor*>> Named(TConstBytes record) const;
  // Calls `visit` for every stored blob field of the table.
  template <class TVisit>
  void ForEachBlobField(TVisit visit) const;

  TDataFile& data_file_;
  TBlobFile& blob_file_;
  std::vector<std::unique_ptr<TBlobBuffer>> buffers_;  // in the order opened
  struct TUndo {
    std::vector<std::pair<TBlobBuffer*, TBlobBuffer::TPostState>> open;  // in the order opened
    std::vector<std::unique_ptr<TBlobBuffer>> closed;                    // of those, closed since
  };
  TUndo undo_;  // emptied after each operation, kept for its capacity
  bool undoing_ = false;  // while a record operation can still be undone
};

}  // namespace tarvo
