#include "engine/format/data_file.h"

#include <algorithm>
#include <array>
#include <climits>
#include <ctime>
#include <utility>

#include "errors/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::int64_t kEngineVersionStamp = 20800;  // "2.08" with four decimals

// The local date and time as a day count with fraction (day 0 = 1899-12-30).
double LocalDayCount() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // 1970-01-01 is day 25,569.
  const double local_seconds = static_cast<double>(now) + static_cast<double>(local.tm_gmtoff);
  return 25569.0 + local_seconds / 86400.0;
}

}  // namespace

bool CanCreateSlot(std::int32_t next_slot, std::uint16_t record_size) {
  // Creating slot e leaves e slots in the file: at most kMaxRecordSlots of them, and their bytes
  // below 2,000,000,001.
  return next_slot >= 1 && next_slot <= kMaxRecordSlots &&
         static_cast<std::int64_t>(next_slot) * record_size <= kMaxRecordBytes;
}

TDataFile::TDataFile(std::string table_name) : table_name_(std::move(table_name)) {}

TDataFile::~TDataFile() = default;

void TDataFile::RaiseForTable(TEngineCode code) const {
  RaiseEngineError(code, table_name_);
}

void TDataFile::Open() {
  if (IsOpen()) return;
  descriptors_.clear();
  TFileHandler::Open();
  try {
    // A file too short for its header or its descriptors is a damaged header, not a read error.
    const std::int64_t size = GetSize();
    if (size < static_cast<std::int64_t>(kDataHeaderSize)) RaiseForTable(kHeaderCorrupt);
    ReadHeader();
    if (header_.FieldCount > kMaxFieldCount || size < RecordAreaOffset()) RaiseForTable(kHeaderCorrupt);
    ReadDescriptors();
  } catch (...) {
    descriptors_.clear();
    TFileHandler::Close();
    throw;
  }
}

void TDataFile::Close() {
  descriptors_.clear();
  TFileHandler::Close();
}

void TDataFile::CreateTable(const TTableDefinition& definition) {
  header_ = TDataHeader{};
  header_.LanguageID = definition.language_id;
  header_.SortID = definition.sort_id;
  header_.UserWord1 = definition.user_word1;
  header_.UserWord2 = definition.user_word2;
  header_.Encrypted = definition.encrypted ? 1 : 0;
  SetPlainDescription(header_, definition.description);
  SetPlainPassword(header_, definition.encrypted ? definition.password : std::string());
  if (definition.fields.size() > kMaxFieldCount) RaiseForTable(kFieldLimits);
  header_.FieldCount = static_cast<std::uint16_t>(definition.fields.size());
  header_.BlobBlockSize = definition.blob_block_size;
  descriptors_ = definition.fields;
  const std::int32_t record_size = DeriveRecordLayout(descriptors_, false);
  if (record_size < 0) RaiseForTable(static_cast<TEngineCode>(-record_size));
  header_.BlobFieldCount = CountBlobFields(descriptors_);
  header_.FormatVersion = kFormatVersion;
  header_.FirstFreeRecord = 0;
  header_.NextRecordSlot = 1;
  header_.LastAutoIncrement = 0;
  header_.RecordSize = static_cast<std::uint16_t>(record_size);
  header_.HeaderChangeCount = 0;
  descriptors_changed_ = true;
  header_changed_ = true;
  CreateNew();
}

void TDataFile::ReadHeader() {
  std::array<std::byte, kDataHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeDataHeader(raw);
  header_.HeaderModified = 0;
  header_changed_ = false;
}

bool TDataFile::HeaderChanged() {
  std::array<std::byte, kDataHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  TDataHeader fresh = DecodeDataHeader(raw);
  if (fresh.HeaderChangeCount == header_.HeaderChangeCount) return false;
  fresh.HeaderModified = 0;
  header_ = fresh;
  header_changed_ = false;
  return true;
}

void TDataFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  ++header_.HeaderChangeCount;
  header_.EngineVersion = kEngineVersionStamp;
  header_.LastWriteTime = LocalDayCount() - kLastWriteTimeBias;
  header_.HeaderModified = 1;
  std::array<std::byte, kDataHeaderSize> raw{};
  EncodeDataHeader(header_, raw);
  WriteAt(0, raw);
  header_.HeaderModified = 0;
  header_changed_ = false;
}

void TDataFile::BumpChangeCount() {
  ++header_.HeaderChangeCount;
  header_changed_ = true;
}

void TDataFile::ReadDescriptors() {
  std::vector<std::byte> block(kFieldDescriptorSize * header_.FieldCount);
  if (!block.empty()) (void)ReadAt(kDataHeaderSize, block, false);
  if (Encrypted()) {
    const std::size_t length = DescriptorCipherLength(block.size(), header_.EngineVersion);
    Encipher(std::span<std::byte>(block.data(), length), kRecordKey);
  }
  descriptors_ = DecodeFieldDescriptors(block);
  descriptors_changed_ = false;
}

void TDataFile::WriteDescriptors() {
  if (!descriptors_changed_) return;
  std::vector<std::byte> block = EncodeFieldDescriptors(descriptors_);
  if (Encrypted()) Encipher(block, kRecordKey);
  if (!block.empty()) WriteAt(kDataHeaderSize, block);
  descriptors_changed_ = false;
}

void TDataFile::UpdateHeaderInfo(const std::string& password, const std::string& description,
                                 std::uint16_t user_word1, std::uint16_t user_word2,
                                 std::int32_t last_auto_increment) {
  SetPlainPassword(header_, Encrypted() ? password : std::string());
  SetPlainDescription(header_, description);
  header_.LastAutoIncrement = last_auto_increment;
  header_.UserWord1 = user_word1;
  header_.UserWord2 = user_word2;
  header_changed_ = true;
}

void TDataFile::UpdateFieldDescriptor(std::uint16_t number, const TFieldDescriptor& descriptor) {
  if (number == 0 || number > descriptors_.size()) {
    RaiseEngineError(kInvalidField, table_name_, std::to_string(number));
  }
  TFieldDescriptor& d = descriptors_[number - 1];
  d.FieldNumber = descriptor.FieldNumber;
  d.FieldName = descriptor.FieldName;
  d.FieldDescription = descriptor.FieldDescription;
  d.FieldSubType = descriptor.FieldSubType;
  d.Required = descriptor.Required;
  d.MinValue = descriptor.MinValue;
  d.MaxValue = descriptor.MaxValue;
  d.DefaultValue = descriptor.DefaultValue;
  descriptors_changed_ = true;
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptor(std::uint16_t position) const {
  if (position == 0 || position > descriptors_.size()) return std::nullopt;
  return descriptors_[position - 1];
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptorByNumber(std::uint16_t field_number) const {
  for (const auto& d : descriptors_) {
    if (d.FieldNumber == field_number) return d;
  }
  return std::nullopt;
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptor(const std::string& name) const {
  for (const auto& d : descriptors_) {
    if (SameNameIgnoringCase(TrimBlanks(d.FieldName), TrimBlanks(name))) return d;
  }
  return std::nullopt;
}

std::int32_t TDataFile::NextAutoIncrement() {
  if (header_.LastAutoIncrement == INT32_MAX) header_.LastAutoIncrement = 0;
  ++header_.LastAutoIncrement;
  header_changed_ = true;
  return header_.LastAutoIncrement;
}

void TDataFile::SetLastAutoIncrement(std::int32_t value) {
  if (header_.LastAutoIncrement == value) return;
  header_.LastAutoIncrement = value;
  header_changed_ = true;
}

std::int32_t TDataFile::NextBlobStamp() {
  if (header_.BlobStampCounter == INT32_MAX) header_.BlobStampCounter = 0;
  ++header_.BlobStampCounter;
  header_changed_ = true;
  return header_.BlobStampCounter;
}

std::uint32_t TDataFile::BlobBlockSize() const {
  const std::uint32_t size = header_.BlobBlockSize & 0xFFFF;
  return size == 0 ? 512 : size;
}

std::string TDataFile::Description() const {
  return PlainDescription(header_);
}
std::string TDataFile::Password() const {
  return PlainPassword(header_);
}

std::int64_t TDataFile::RecordAreaOffset() const {
  return static_cast<std::int64_t>(kDataHeaderSize) +
         static_cast<std::int64_t>(kFieldDescriptorSize) * header_.FieldCount;
}

std::int64_t TDataFile::RecordOffset(std::int32_t slot) const {
  return RecordAreaOffset() + static_cast<std::int64_t>(slot - 1) * header_.RecordSize;
}

std::size_t TDataFile::ReadSlots(std::int32_t first, std::span<std::byte> out, bool may_be_short) {
  return ReadAt(RecordOffset(first), out, may_be_short);
}

void TDataFile::WriteSlots(std::int32_t first, std::span<const std::byte> bytes) {
  WriteAt(RecordOffset(first), bytes);
}

void TDataFile::CutAfterLastSlot() {
  // A write of no bytes cuts the file there.
  const std::int64_t end = RecordOffset(header_.NextRecordSlot);
  if (GetSize() > end) WriteAt(end, {});
}

}  // namespace tarvo
