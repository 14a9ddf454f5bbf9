#include "engine/index/index_file.h"

#include <array>

#include "components/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/format/field_types.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_definition.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::uint8_t kBlobType = 3;

const TFieldDescriptor* FieldByNumber(std::span<const TFieldDescriptor> fields, std::uint16_t number) {
  if (number == 0 || number > fields.size()) return nullptr;
  return &fields[number - 1];
}

std::vector<TKeyFieldInfo> KeyFieldInfos(std::span<const TFieldDescriptor> fields) {
  std::vector<TKeyFieldInfo> infos;
  infos.reserve(fields.size());
  for (const auto& field : fields)
    infos.push_back({field.FieldType, DataSizeOf(field.FieldType, field.FieldSize)});
  return infos;
}

}  // namespace

int CheckKeyFields(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields) {
  if (definition.field_count > kMaxKeyFields) return -kIndexLimits;
  int field_bytes = 0;
  for (int i = 0; i < definition.field_count; ++i) {
    const TFieldDescriptor* field = FieldByNumber(fields, definition.field_numbers[i]);
    if (field == nullptr) return -kInvalidIndexField;
    if (field->FieldType == kBlobType) return -kInvalidIndexFieldType;
    field_bytes += DataSizeOf(field->FieldType, field->FieldSize) + 1;
  }
  if (field_bytes == 0 || field_bytes > kMaxKeyFieldBytes) return -kInvalidKeySize;
  return 0;
}

std::uint16_t KeyLengthOf(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields) {
  int length = 0;
  for (int i = 0; i < definition.field_count && i < kMaxKeyFields; ++i) {
    const TFieldDescriptor* field = FieldByNumber(fields, definition.field_numbers[i]);
    if (field == nullptr) return 0;
    length += DataSizeOf(field->FieldType, field->FieldSize) + 1;
  }
  if (definition.unique == 0) length += kKeySuffixSize;
  return static_cast<std::uint16_t>(length);
}

TIndexFile::TIndexFile(TDataTable& table) : table_(table) {}

TIndexFile::~TIndexFile() = default;

void TIndexFile::RaiseForTable(TEngineCode code, const std::string& index_name) const {
  RaiseEngineError(code, table_.TableName(), {}, {}, index_name);
}

void TIndexFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    if (GetSize() < static_cast<std::int64_t>(kIndexHeaderSize)) RaiseForTable(kHeaderCorrupt);
    ReadHeader();
    if (const int rc = CheckIndexHeaderOnOpen(header_); rc != 0) RaiseForTable(static_cast<TEngineCode>(-rc));
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
}

void TIndexFile::Close() {
  DropPages();
  TFileHandler::Close();
}

void TIndexFile::Create() {
  CreateNew();
  header_ = NewIndexHeader();
  modified_ = true;
}

TIndexHeader TIndexFile::DecodeImage(std::span<std::byte, kIndexHeaderSize> raw) const {
  if (table_.DataFile().Encrypted()) Encipher(raw, kRecordKey);
  return DecodeIndexHeader(raw);
}

void TIndexFile::ReadHeader() {
  std::array<std::byte, kIndexHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeImage(raw);
  modified_ = false;
}

void TIndexFile::WriteHeader(bool force) {
  if (!force && !modified_) return;
  ++header_.change_count;
  header_.modified = 1;
  std::array<std::byte, kIndexHeaderSize> raw{};
  EncodeIndexHeader(header_, raw);
  if (table_.DataFile().Encrypted()) Encipher(raw, kRecordKey);
  WriteAt(0, raw);
  modified_ = false;
}

void TIndexFile::BumpChangeCount() {
  ++header_.change_count;
  modified_ = true;
}

bool TIndexFile::ReloadHeaderIfChanged() {
  std::array<std::byte, kIndexHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  const TIndexHeader fresh = DecodeImage(raw);
  if (fresh.change_count == header_.change_count) return false;
  header_ = fresh;
  modified_ = false;
  return true;
}

void TIndexFile::VerifyHeader(std::span<const TFieldDescriptor> fields) {
  if (const int rc = VerifyIndexHeader(header_, KeyFieldInfos(fields)); rc != 0) {
    RaiseForTable(static_cast<TEngineCode>(-rc));
  }
}

void TIndexFile::Empty() {
  WriteAt(kIndexHeaderSize, {});
  DropPages();
  header_.next_page = kIndexPageSize;
  header_.active_records = 0;
  for (int slot = 0; slot <= header_.secondary_count; ++slot) {
    header_.slots[slot].root = 0;
    header_.slots[slot].free_head = 0;
  }
  header_.slots[kSysDeletedSlot].root = 0;
  header_.slots[kSysDeletedSlot].free_head = 0;
  modified_ = true;
}

void TIndexFile::StoreDefinitions(const TTableDefinition& definition) {
  TIndexHeader header;
  std::size_t failed = 0;
  if (const int rc = BuildIndexHeader(definition, header, failed); rc != 0) {
    RaiseForTable(static_cast<TEngineCode>(-rc),
                  failed < definition.indexes.size() ? definition.indexes[failed].name : std::string());
  }
  header.change_count = header_.change_count;
  header_ = header;
  modified_ = true;
}

}  // namespace tarvo
