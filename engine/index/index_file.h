// TIndexFile: the handler of a table's index file (.IDX). Keeps the 4096-byte header with its 33
// index descriptor slots in memory, creates, reads, writes and verifies it, and notices when
// another opener wrote it. The page cache of the B+-trees lives here too.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "components/engine_error.h"
#include "engine/format/field_descriptor.h"
#include "engine/index/index_header.h"
#include "support/file_handler.h"

namespace tarvo {

class TDataTable;
struct TTableDefinition;

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(TDataTable& table);
  ~TIndexFile() override;

  TDataTable& Table() const { return table_; }

  // Opens the file and reads the header (8961 for more than 32 secondary indexes).
  void Open() override;
  // Drops every cached page without writing; the table writes before it closes.
  void Close() override;
  // Creates the file with a new header (marked modified; written by the next header write).
  void Create();

  void ReadHeader();
  // Writes the header when forced or modified: change counter + 1, enciphered when the table is.
  void WriteHeader(bool force);
  // Change counter + 1 and the header marked modified, without writing.
  void BumpChangeCount();
  // Reads the header; when its change counter differs from ours, adopts it and returns true.
  bool ReloadHeaderIfChanged();
  // Raises 12035 for a header that does not fit the table's fields.
  void VerifyHeader(std::span<const TFieldDescriptor> fields);
  // Cuts every page off and resets roots, free chains and the active record count.
  void Empty();

  // Stores the index definitions of a new table: the primary index (an all-zero one when the
  // table has none) and the secondary indexes, with their checks.
  void StoreDefinitions(const TTableDefinition& definition);

  const TIndexHeader& Header() const { return header_; }
  TIndexHeader& MutableHeader() { return header_; }
  void MarkModified() { modified_ = true; }
  std::int32_t ChangeCount() const { return header_.change_count; }
  std::int32_t ActiveRecordCount() const { return header_.active_records; }
  bool NoPrimaryIndex() const { return header_.no_primary != 0; }
  int SecondaryIndexCount() const { return header_.secondary_count; }

  // The page cache. Until pages are cached these keep nothing.
  void FlushPages() {}
  void DropPages() {}
  void TrimCache() {}

 private:
  TIndexHeader DecodeImage(std::span<std::byte, kIndexHeaderSize> raw) const;
  [[noreturn]] void RaiseForTable(TEngineCode code, const std::string& index_name = {}) const;

  TDataTable& table_;
  TIndexHeader header_;
  bool modified_ = false;
};

// The checks of key fields that the header's own definition checks leave to the table: 9487
// beyond 16 fields, 10023 for a field the table does not have, 12292 for a blob field, 10026 for
// a key of no bytes or over 524. Returns 0 or the negated code.
[[nodiscard]] int CheckKeyFields(const TIndexDescriptor& definition,
                                 std::span<const TFieldDescriptor> fields);
// The key length of a definition over the table's fields: the field part, plus 4 for an index
// that is not unique. 0 when a field number is unknown.
std::uint16_t KeyLengthOf(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields);

}  // namespace tarvo
