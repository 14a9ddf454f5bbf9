// A real table with blob fields for the blob tests: created through the directory in a
// temporary folder and opened exclusively (or shared) by an engine cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/blob/blob_file.h"
#include "engine/format/field_types.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "tests/testing/field_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo::blob_test {

// Fields: 1 ID (integer), 2 Notes (memo), 3 Pic (graphic), 4 Name (text 10).
inline TTableDefinition BlobTableDefinition(std::uint16_t block_size, bool encrypted) {
  TTableDefinition def;
  def.fields = testing::Numbered(
      {testing::Field("ID", kTypeInt32), testing::Field("Notes", kTypeBlob, 0, kSubTypeMemo),
       testing::Field("Pic", kTypeBlob, 0, kSubTypeGraphic), testing::Field("Name", kTypeText, 10)});
  def.indexes = {TIndexDescriptor{}};
  def.blob_block_size = block_size;
  def.encrypted = encrypted;
  if (encrypted) def.password = "geheim";
  return def;
}

class TBlobTable {
 public:
  explicit TBlobTable(std::uint16_t block_size = 512, bool encrypted = false) {
    session_.FixedLockRetries = 3;
    session_.FixedLockPause = 1;
    if (encrypted) session_.AddPassword("geheim");
    directory_ = session_.GetDirectory("blobs", dir_.Dir());
    directory_->CreateTable("Blobs", BlobTableDefinition(block_size, encrypted));
    cursor_ = Open(true);
  }
  ~TBlobTable() {
    cursor_.reset();
    (void)session_.ReleaseDirectory(directory_);
  }

  std::unique_ptr<TDataCursor> Open(bool exclusive) {
    auto cursor = std::make_unique<TDataCursor>(session_, *directory_);
    TCursorOpenOptions options;
    options.table_name = "Blobs";
    options.exclusive = exclusive;
    cursor->Open(options);
    return cursor;
  }
  // Closes the cursor (writing everything) and opens it again with an empty cache.
  void Reopen(bool exclusive = true) {
    cursor_.reset();
    cursor_ = Open(exclusive);
  }

  TDataSession& Session() { return session_; }
  TDataDirectory& Directory() { return *directory_; }
  const testing::TTempDir& Dir() const { return dir_; }
  TDataCursor& Cursor() { return *cursor_; }
  TDataTable& Table() { return cursor_->Table(); }
  TBlobFile& Blob() { return cursor_->Table().BlobFile(); }

 private:
  testing::TTempDir dir_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;
};

inline std::vector<std::byte> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::byte> bytes(size);
  std::minstd_rand random(seed + 1);
  for (auto& b : bytes) b = static_cast<std::byte>(random() & 0xFF);
  return bytes;
}

}  // namespace tarvo::blob_test
