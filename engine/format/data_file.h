// TDataFile: the handler of a table's data file (.DAT). Keeps the header and the field
// descriptors in memory, checks them when a table opens, and writes them back when changed.
// The record cache (records between the file and the cursors) lives here too.
//
// File layout:
//   offset                      size                    content
//   0                           127                     table header (data_header.h)
//   127                         768 × FieldCount        field descriptors, field 1 first
//   127 + 768 × FieldCount      RecordSize × slots      records; slot n ≥ 1 at + (n − 1) × RecordSize
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "components/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/tables/table_definition.h"
#include "support/file_handler.h"

namespace tarvo {

class TDataTable;

class TDataFile : public TFileHandler {
 public:
  explicit TDataFile(TDataTable& table);
  ~TDataFile() override;

  TDataTable& Table() const { return table_; }

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
  // Cuts the records off and resets the counters of the header.
  void EmptyTable();
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
  bool HeaderIsChanged() const { return header_changed_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
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

  // The record cache. Until records are cached these keep nothing.
  bool WriteModifiedRecords() { return false; }
  void ReleaseAll() {}
  void Trim() {}

 private:
  [[noreturn]] void RaiseForTable(TEngineCode code) const;

  TDataTable& table_;
  TDataHeader header_;
  bool header_changed_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  bool descriptors_changed_ = false;
};

}  // namespace tarvo
