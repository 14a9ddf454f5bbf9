// A table made through the engine for the index tests: created in a temporary directory, opened
// exclusively, with builders of index definitions and record images. The trees are driven
// directly on the table's index file with synthetic records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "tests/testing/field_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo::testing {

struct TIndexSpec {
  std::string name;
  std::vector<std::uint16_t> fields;
  std::vector<bool> field_descending;
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
  std::uint8_t compression = 0;
};

inline TIndexDescriptor MakeIndex(const TIndexSpec& spec) {
  TIndexDescriptor d;
  d.name = spec.name;
  d.unique = spec.unique ? 1 : 0;
  d.descending = spec.descending ? 1 : 0;
  d.case_insensitive = spec.case_insensitive ? 1 : 0;
  d.compression = spec.compression;
  d.field_count = static_cast<std::uint8_t>(spec.fields.size());
  for (std::size_t i = 0; i < spec.fields.size(); ++i) {
    d.field_numbers[i] = spec.fields[i];
    d.field_descending[i] = i < spec.field_descending.size() && spec.field_descending[i] ? 1 : 0;
  }
  return d;
}

class TIndexTestTable {
 public:
  // `indexes` starts with the primary index (an all-zero one for none).
  TIndexTestTable(std::vector<TFieldDescriptor> fields, std::vector<TIndexDescriptor> indexes,
                  TLanguageId language = 0, TSortId sort = 0, bool encrypted = false) {
    session_.FixedLockRetries = 2;
    session_.FixedLockPause = 0;
    TTableDefinition definition;
    definition.fields = std::move(fields);
    definition.indexes = std::move(indexes);
    definition.language_id = language;
    definition.sort_id = sort;
    definition.encrypted = encrypted;
    if (encrypted) {
      definition.password = "geheim";
      session_.AddPassword("geheim");
    }
    directory_ = session_.GetDirectory("test", dir_.Dir());
    directory_->CreateTable("T", definition);
    Open();
  }
  ~TIndexTestTable() {
    cursor_.reset();
    (void)session_.ReleaseDirectory(directory_);
  }

  void Open() {
    cursor_ = std::make_unique<TDataCursor>(session_, *directory_);
    TCursorOpenOptions options;
    options.table_name = "T";
    options.exclusive = true;
    cursor_->Open(options);
  }
  // Closes the table (which writes its pages and header) and opens it again.
  void Reopen() {
    cursor_.reset();
    Open();
  }

  TDataCursor& Cursor() { return *cursor_; }
  TDataTable& Table() { return cursor_->Table(); }
  TIndexFile& File() { return cursor_->Table().IndexFile(); }
  const testing::TTempDir& Dir() const { return dir_; }
  std::string IndexPath() const { return dir_.File("T.IDX"); }

  std::unique_ptr<TIndexTree> Tree(int slot) {
    return std::make_unique<TIndexTree>(File(), slot, cursor_->Descriptors(), cursor_->LanguageID(),
                                        cursor_->SortID());
  }

  // --- Record images ---
  std::vector<std::byte> NewRecord(std::int32_t auto_increment) const {
    std::vector<std::byte> record(cursor_->RecordSize(), std::byte{0});
    PutI32(record, 5, auto_increment);
    return record;
  }
  const TFieldDescriptor& Field(std::uint16_t number) const { return cursor_->Descriptors()[number - 1]; }
  void SetText(std::vector<std::byte>& record, std::uint16_t number, std::string_view text) const {
    const TFieldDescriptor& d = Field(number);
    std::byte* p = record.data() + d.RecordOffset;
    std::memset(p, 0, std::size_t{d.DataSize} + 1);
    p[0] = std::byte{1};
    std::memcpy(p + 1, text.data(), std::min<std::size_t>(text.size(), d.FieldSize));
  }
  void SetInt32(std::vector<std::byte>& record, std::uint16_t number, std::int32_t value) const {
    PutInt32(FieldSlot(record, Field(number)), value);
  }
  void SetInt16(std::vector<std::byte>& record, std::uint16_t number, std::int16_t value) const {
    PutInt16(FieldSlot(record, Field(number)), value);
  }
  void SetFloat(std::vector<std::byte>& record, std::uint16_t number, double value) const {
    PutFloat(FieldSlot(record, Field(number)), value);
  }
  void SetNullField(std::vector<std::byte>& record, std::uint16_t number) const {
    SetNull(FieldSlot(record, Field(number)));
  }

 private:
  testing::TTempDir dir_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;
};

}  // namespace tarvo::testing
