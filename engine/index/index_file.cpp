#include "engine/index/index_file.h"

#include <array>

#include "components/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/format/field_types.h"
#include "engine/tables/data_table.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::uint8_t kBlobType = 3;

const TFieldDescriptor* FieldByNumber(std::span<const TFieldDescriptor> fields, std::uint16_t number) {
  if (number == 0 || number > fields.size()) return nullptr;
  return &fields[number - 1];
}

// 0, or the negated code for a definition's fields.
int CheckKeyFields(const TIndexDescriptor& definition, std::span<const TFieldDescriptor> fields) {
  if (definition.field_count > kMaxKeyFields) return -kIndexLimits;
  int field_bytes = 0;
  for (int i = 0; i < definition.field_count; ++i) {
    const TFieldDescriptor* field = FieldByNumber(fields, definition.field_numbers[i]);
    if (field == nullptr) return -kInvalidIndexField;
    if (field->FieldType == kBlobType) return -kInvalidIndexFieldType;
    field_bytes += field->DataSize + 1;
  }
  if (field_bytes == 0 || field_bytes > kMaxKeyFieldBytes) return -kInvalidKeySize;
  return 0;
}

// Bytes 0 to 85 of a definition into a slot, root 0; the rest of the slot keeps what it held.
void StoreDefinitionBytes(TIndexDescriptor& slot, const TIndexDescriptor& definition,
                          std::uint16_t key_length) {
  slot.name = definition.name.substr(0, kMaxIndexNameLength);
  slot.key_length = key_length;
  slot.descending = definition.descending;
  slot.case_insensitive = definition.case_insensitive;
  slot.unique = definition.unique;
  slot.compression = definition.compression;
  slot.field_count = definition.field_count;
  slot.field_descending = definition.field_descending;
  slot.field_numbers = definition.field_numbers;
  slot.root = 0;
}

}  // namespace

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

int AddSecondaryIndex(TIndexHeader& header, const TIndexDescriptor& definition,
                      std::span<const TFieldDescriptor> fields) {
  if (header.secondary_count >= kMaxSecondaryIndexes || definition.field_count > kMaxKeyFields) {
    return -kIndexLimits;
  }
  const std::string_view name = TrimBlanks(definition.name);
  if (name.empty()) return -kIndexNameMissing;
  if (!IsIdentifierStart(name.front())) return -kInvalidIndexName;
  for (int slot = 1; slot <= header.secondary_count; ++slot) {
    if (SameNameIgnoringCase(TrimBlanks(header.slots[slot].name), name)) return -kIndexExists;
  }
  if (const int rc = CheckKeyFields(definition, fields); rc != 0) return rc;
  const int slot = header.secondary_count + 1;
  StoreDefinitionBytes(header.slots[slot], definition, KeyLengthOf(definition, fields));
  header.secondary_count = static_cast<std::uint8_t>(slot);
  return 0;
}

int SetPrimaryIndex(TIndexHeader& header, const TIndexDescriptor& definition,
                    std::span<const TFieldDescriptor> fields) {
  if (header.slots[kPrimarySlot].key_length != 0) return -kPrimaryExists;
  if (definition.field_count == 0) {
    header.slots[kPrimarySlot] = TIndexDescriptor{};
    header.no_primary = 1;
    return 0;
  }
  if (const int rc = CheckKeyFields(definition, fields); rc != 0) return rc;
  TIndexDescriptor primary = definition;
  primary.name.clear();
  primary.unique = 1;
  StoreDefinitionBytes(header.slots[kPrimarySlot], primary, KeyLengthOf(primary, fields));
  header.no_primary = 0;
  return 0;
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
  std::vector<TKeyFieldInfo> infos;
  infos.reserve(fields.size());
  for (const auto& field : fields) infos.push_back({field.FieldType, field.DataSize});
  if (const int rc = VerifyIndexHeader(header_, infos); rc != 0) RaiseForTable(static_cast<TEngineCode>(-rc));
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

void TIndexFile::StoreDefinitions(std::span<const TIndexDescriptor> indexes,
                                  std::span<const TFieldDescriptor> fields) {
  TIndexHeader header = header_;
  const TIndexDescriptor none{};
  const TIndexDescriptor& primary = indexes.empty() ? none : indexes.front();
  if (const int rc = SetPrimaryIndex(header, primary, fields); rc != 0) {
    RaiseForTable(static_cast<TEngineCode>(-rc));
  }
  for (std::size_t i = 1; i < indexes.size(); ++i) {
    if (const int rc = AddSecondaryIndex(header, indexes[i], fields); rc != 0) {
      RaiseForTable(static_cast<TEngineCode>(-rc), std::string(TrimBlanks(indexes[i].name)));
    }
  }
  header_ = header;
  modified_ = true;
}

}  // namespace tarvo
