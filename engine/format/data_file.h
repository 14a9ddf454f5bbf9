// TDataFile: the handler of a table's data file (.DAT). Keeps the header and the field
// descriptors in memory, checks them when a table opens, and writes them back when changed, and
// reads and writes record slots as raw bytes. The record cache above it (engine/records) holds the
// records between the file and the cursors.
//
// File layout:
//   offset                      size                    content
//   0                           127                     table header (data_header.h)
//   127                         768 × FieldCount        field descriptors, field 1 first
//   127 + 768 × FieldCount      RecordSize × slots      records; slot n ≥ 1 at + (n − 1) × RecordSize
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/table_definition.h"
#include "support/file_handler.h"

namespace tarvo {

// Limits of the record area: slots, and bytes of records.
inline constexpr std::int64_t kMaxRecordBytes = 2'000'000'000;  // slots x RecordSize stays at or below

// Whether slot `next_slot` (the table's NextRecordSlot) may still be created at the end of a file
// of `record_size`-byte records: at most 100,000,000 slots, and slots x RecordSize below
// 2,000,000,001 bytes.
bool CanCreateSlot(std::int32_t next_slot, std::uint16_t record_size);

// The auto-increment value after `last`; past the largest value it starts again at 1.
inline std::int32_t FollowingAutoIncrement(std::int32_t last) {
  return last == INT32_MAX ? 1 : last + 1;
}

// One step of counting a read-ahead run: whether the run of `run` slots ending at `last` takes in
// `next`, the slot the reader comes to after it, with at most `gap` slots between them and at
// most `limit` slots in all; if so, the run moves on to it.
inline bool ExtendReadRun(std::int32_t& run, std::int32_t& last, std::int32_t next, bool forward,
                          std::int32_t gap, std::int32_t limit) {
  const std::int64_t step = forward ? std::int64_t{next} - last : std::int64_t{last} - next;
  if (step < 1 || step > std::int64_t{gap} + 1 || run + step > limit) return false;
  last = next;
  run += static_cast<std::int32_t>(step);
  return true;
}

class TDataFile : public TFileHandler {
 public:
  // `table_name` names the table in messages.
  explicit TDataFile(std::string table_name);
  ~TDataFile() override;

  const std::string& TableName() const { return table_name_; }

  // Opens the file and reads header and descriptors (8961 for a FieldCount above 1,024).
  // Any failure closes the file again.
  void Open() override;
  void Close() override;

  // Sets up header and descriptors for a new table and creates the file; they reach the file
  // with the next WriteHeader / WriteDescriptors. 9477 for a record over 65,535 bytes, 9498 for
  // a 65th blob field.
  void CreateTable(const TTableDefinition& definition);

  void ReadHeader();
  // Reads the header's change counter from the file; adopts the whole header when it differs.
  bool HeaderChanged();
  // Writes the header when forced or marked changed (change counter + 1, engine version, time).
  void WriteHeader(bool force);
  // Change counter + 1 in memory only, marking the header changed.
  void BumpChangeCount();
  void ReadDescriptors();
  void WriteDescriptors();
  void UpdateHeaderInfo(const std::string& password, const std::string& description, std::uint16_t user_word1,
                        std::uint16_t user_word2, std::int32_t last_auto_increment);
  // Copies name, description, subtype, required flag and the three value texts.
  void UpdateFieldDescriptor(std::uint16_t number, const TFieldDescriptor& descriptor);

  // 1-based position; by stored FieldNumber; by name without regard to case.
  std::optional<TFieldDescriptor> GetFieldDescriptor(std::uint16_t position) const;
  std::optional<TFieldDescriptor> GetFieldDescriptorByNumber(std::uint16_t field_number) const;
  std::optional<TFieldDescriptor> GetFieldDescriptor(const std::string& name) const;

  std::int32_t NextAutoIncrement();
  void SetLastAutoIncrement(std::int32_t value);
  std::int32_t NextBlobStamp();

  // Accessors.
  const TDataHeader& Header() const { return header_; }
  TDataHeader& MutableHeader() { return header_; }
  void MarkHeaderChanged() { header_changed_ = true; }
  // For the undo of a change, which puts the mark back as it was.
  void SetHeaderChanged(bool changed) { header_changed_ = changed; }
  bool HeaderIsChanged() const { return header_changed_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  // For the repair, which mends descriptors in place; written back with WriteDescriptors.
  std::vector<TFieldDescriptor>& MutableDescriptors() { return descriptors_; }
  void MarkDescriptorsChanged() { descriptors_changed_ = true; }
  std::uint32_t BlobBlockSize() const;  // 0 read as 512
  TLanguageId LanguageID() const { return header_.LanguageID; }
  TSortId SortID() const { return header_.SortID; }
  std::uint16_t UserWord1() const { return header_.UserWord1; }
  std::uint16_t UserWord2() const { return header_.UserWord2; }
  std::int32_t LastAutoIncrement() const { return header_.LastAutoIncrement; }
  std::uint16_t RecordSize() const { return header_.RecordSize; }
  std::uint16_t FieldCount() const { return header_.FieldCount; }
  std::int16_t BlobFieldCount() const { return header_.BlobFieldCount; }
  bool Encrypted() const { return header_.Encrypted != 0; }
  std::string Description() const;
  std::string Password() const;
  std::int32_t RecordSlotCount() const { return header_.NextRecordSlot - 1; }
  std::int32_t ChangeCount() const { return header_.HeaderChangeCount; }
  // Where the records begin.
  std::int64_t RecordAreaOffset() const;

  // File offset of a record slot.
  std::int64_t RecordOffset(std::int32_t slot) const;
  // Reads slots from `first` on into `out` (whole slots, as the file holds them); returns the
  // bytes read, fewer than asked only when `may_be_short`.
  std::size_t ReadSlots(std::int32_t first, std::span<std::byte> out, bool may_be_short);
  // Writes whole slots from `first` on, as the file holds them.
  void WriteSlots(std::int32_t first, std::span<const std::byte> bytes);
  // Cuts the file after the last slot the header counts, when it is longer.
  void CutAfterLastSlot();

 private:
  [[noreturn]] void RaiseForTable(TEngineCode code) const;

  std::string table_name_;
  TDataHeader header_;
  bool header_changed_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  bool descriptors_changed_ = false;
};

}  // namespace tarvo
