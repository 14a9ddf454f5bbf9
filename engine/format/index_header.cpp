#include "engine/format/index_header.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <string_view>

#include "errors/engine_error.h"
#include "engine/format/byte_codec.h"

namespace tarvo {

namespace {

constexpr std::uint8_t kBlobFieldType = 3;

std::string TrimmedLower(std::string_view s) {
  std::size_t first = 0;
  std::size_t last = s.size();
  while (first < last && s[first] == ' ') ++first;
  while (last > first && s[last - 1] == ' ') --last;
  std::string out(s.substr(first, last - first));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The checks of one slot in use; `slot` 0 is the primary index.
bool SlotIsSound(const TIndexHeader& h, int slot, std::span<const TKeyFieldInfo> fields) {
  const TIndexDescriptor& d = h.slots[slot];
  const bool lenient_primary = slot == kPrimarySlot && h.no_primary != 0;
  if (slot == kPrimarySlot) {
    if (!d.name.empty()) return false;
    if (h.no_primary == 0 && d.unique == 0) return false;
  } else {
    // Names are compared without their blanks, as the repair checks them.
    const std::string mine = TrimmedLower(d.name);
    if (mine.empty() || !IsIdentifierStart(mine.front())) return false;
    for (int other = 1; other < slot; ++other) {
      if (TrimmedLower(h.slots[other].name) == mine) return false;
    }
  }
  if (d.field_count > kMaxKeyFields) return false;
  if (d.compression > static_cast<std::uint8_t>(TKeyCompression::kFull)) return false;
  int field_bytes = 0;
  for (int i = 0; i < d.field_count; ++i) {
    const std::uint16_t number = d.field_numbers[i];
    if (number == 0 || number > fields.size()) {
      if (lenient_primary) break;
      return false;
    }
    const TKeyFieldInfo& field = fields[number - 1];
    if (field.field_type == kBlobFieldType) return false;
    field_bytes += field.data_size + 1;
  }
  if (field_bytes > kMaxKeyFieldBytes) return false;
  if (!lenient_primary) {
    if (field_bytes == 0) return false;
    // Keys are built to this length and pages are laid out by the stored one: they must agree.
    const int key_length = field_bytes + (d.unique != 0 ? 0 : kKeySuffixSize);
    if (d.key_length != key_length) return false;
  }
  return IsValidPageLink(d.root, h.next_page) && IsValidPageLink(d.free_head, h.next_page);
}

}  // namespace

TIndexDescriptor DecodeIndexDescriptor(std::span<const std::byte, kIndexDescriptorSize> raw) {
  TIndexDescriptor d;
  const std::size_t name_length = std::min<std::size_t>(GetU8(raw, kOffDescName), kMaxIndexNameLength);
  d.name.resize(name_length);
  for (std::size_t i = 0; i < name_length; ++i) d.name[i] = static_cast<char>(raw[kOffDescName + 1 + i]);
  d.key_length = GetU16(raw, kOffDescKeyLength);
  d.descending = GetU8(raw, kOffDescDescending);
  d.case_insensitive = GetU8(raw, kOffDescCaseInsensitive);
  d.unique = GetU8(raw, kOffDescUnique);
  d.compression = GetU8(raw, kOffDescCompression);
  d.field_count = GetU8(raw, kOffDescFieldCount);
  for (int i = 0; i < kMaxKeyFields; ++i) {
    d.field_descending[i] = GetU8(raw, kOffDescFieldDescending + i);
    d.field_numbers[i] = GetU16(raw, kOffDescFieldNumbers + 2 * i);
  }
  d.root = GetI32(raw, kOffDescRoot);
  d.free_head = GetI32(raw, kOffDescFreeHead);
  d.restructure_mark = GetU8(raw, kOffDescRestructureMark);
  d.byte95 = GetU8(raw, kOffDescByte95);
  for (std::size_t i = 0; i < kDescReservedSize; ++i) d.reserved[i] = GetU8(raw, kOffDescReserved + i);
  return d;
}

void EncodeIndexDescriptor(const TIndexDescriptor& d, std::span<std::byte, kIndexDescriptorSize> raw) {
  std::fill(raw.begin(), raw.end(), std::byte{0});
  const std::size_t name_length = std::min(d.name.size(), kMaxIndexNameLength);
  PutU8(raw, kOffDescName, static_cast<std::uint8_t>(name_length));
  for (std::size_t i = 0; i < name_length; ++i) raw[kOffDescName + 1 + i] = static_cast<std::byte>(d.name[i]);
  PutU16(raw, kOffDescKeyLength, d.key_length);
  PutU8(raw, kOffDescDescending, d.descending);
  PutU8(raw, kOffDescCaseInsensitive, d.case_insensitive);
  PutU8(raw, kOffDescUnique, d.unique);
  PutU8(raw, kOffDescCompression, d.compression);
  PutU8(raw, kOffDescFieldCount, d.field_count);
  for (int i = 0; i < kMaxKeyFields; ++i) {
    PutU8(raw, kOffDescFieldDescending + i, d.field_descending[i]);
    PutU16(raw, kOffDescFieldNumbers + 2 * i, d.field_numbers[i]);
  }
  PutI32(raw, kOffDescRoot, d.root);
  PutI32(raw, kOffDescFreeHead, d.free_head);
  PutU8(raw, kOffDescRestructureMark, d.restructure_mark);
  PutU8(raw, kOffDescByte95, d.byte95);
  for (std::size_t i = 0; i < kDescReservedSize; ++i) PutU8(raw, kOffDescReserved + i, d.reserved[i]);
}

TIndexHeader DecodeIndexHeader(std::span<const std::byte, kIndexHeaderSize> raw) {
  TIndexHeader h;
  h.change_count = GetI32(raw, kOffIdxChangeCount);
  h.reserved = GetU32(raw, kOffIdxReserved);
  h.version = GetU8(raw, kOffIdxVersion);
  h.next_page = GetI32(raw, kOffIdxNextPage);
  h.secondary_count = GetU8(raw, kOffIdxSecondaryCount);
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    h.slots[slot] = DecodeIndexDescriptor(
        raw.subspan(kOffIdxSlots + slot * kIndexDescriptorSize).first<kIndexDescriptorSize>());
  }
  h.active_records = GetI32(raw, kOffIdxActiveRecords);
  h.no_primary = GetU8(raw, kOffIdxNoPrimary);
  h.modified = GetU8(raw, kOffIdxModified);
  for (std::size_t i = 0; i < kIdxTailSize; ++i) h.tail[i] = GetU8(raw, kOffIdxTail + i);
  return h;
}

void EncodeIndexHeader(const TIndexHeader& h, std::span<std::byte, kIndexHeaderSize> raw) {
  PutI32(raw, kOffIdxChangeCount, h.change_count);
  PutU32(raw, kOffIdxReserved, h.reserved);
  PutU8(raw, kOffIdxVersion, h.version);
  PutI32(raw, kOffIdxNextPage, h.next_page);
  PutU8(raw, kOffIdxSecondaryCount, h.secondary_count);
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    EncodeIndexDescriptor(
        h.slots[slot], raw.subspan(kOffIdxSlots + slot * kIndexDescriptorSize).first<kIndexDescriptorSize>());
  }
  PutI32(raw, kOffIdxActiveRecords, h.active_records);
  PutU8(raw, kOffIdxNoPrimary, h.no_primary);
  PutU8(raw, kOffIdxModified, h.modified);
  for (std::size_t i = 0; i < kIdxTailSize; ++i) PutU8(raw, kOffIdxTail + i, h.tail[i]);
}

TIndexDescriptor SysDeletedDescriptor() {
  TIndexDescriptor d;
  d.name = kSysDeletedName;
  d.key_length = kSysDeletedKeyLength;
  d.compression = static_cast<std::uint8_t>(TKeyCompression::kNone);
  return d;
}

TIndexHeader NewIndexHeader() {
  TIndexHeader h;
  h.version = kIndexFormatVersion;
  h.next_page = kIndexPageSize;
  h.slots[kSysDeletedSlot] = SysDeletedDescriptor();
  h.modified = 1;
  return h;
}

std::array<std::byte, kIndexHeaderSize> NewIndexFileImage() {
  TIndexHeader h = NewIndexHeader();
  ++h.change_count;  // what the header write adds
  std::array<std::byte, kIndexHeaderSize> image{};
  EncodeIndexHeader(h, image);
  return image;
}

int CheckIndexHeaderOnOpen(const TIndexHeader& h) {
  return h.secondary_count > 32 ? -static_cast<int>(kHeaderCorrupt) : 0;
}

int VerifyIndexHeader(const TIndexHeader& h, std::span<const TKeyFieldInfo> fields) {
  constexpr int kFail = -static_cast<int>(kWrongVersion);
  if (h.version != kIndexFormatVersion) return kFail;
  // Pages are appended at the next unused offset: below 4096 that would overwrite the header.
  if (h.next_page < kIndexPageSize || h.next_page % kIndexPageSize != 0) return kFail;
  // Slot 31 is the system index: more secondary indexes would make it one of them.
  if (h.secondary_count > kMaxSecondaryIndexes) return kFail;
  for (int slot = 0; slot <= h.secondary_count; ++slot) {
    if (!SlotIsSound(h, slot, fields)) return kFail;
  }
  const TIndexDescriptor& sys = h.slots[kSysDeletedSlot];
  if (sys.key_length != kSysDeletedKeyLength) return kFail;
  if (sys.compression > static_cast<std::uint8_t>(TKeyCompression::kFull)) return kFail;
  if (!IsValidPageLink(sys.root, h.next_page) || !IsValidPageLink(sys.free_head, h.next_page)) return kFail;
  return 0;
}

namespace {

// Bytes 0 to 85 of a slot: name, key layout and field numbers.
void CopyDefinition(TIndexDescriptor& slot, const TIndexDescriptor& def) {
  slot.name = def.name.substr(0, kMaxIndexNameLength);
  slot.key_length = def.key_length;
  slot.descending = def.descending;
  slot.case_insensitive = def.case_insensitive;
  slot.unique = def.unique;
  slot.compression = def.compression;
  slot.field_count = def.field_count;
  slot.field_descending = def.field_descending;
  slot.field_numbers = def.field_numbers;
}

bool HasBlobField(const TIndexDescriptor& def, std::span<const TKeyFieldInfo> fields) {
  for (int i = 0; i < std::min<int>(def.field_count, kMaxKeyFields); ++i) {
    const std::uint16_t number = def.field_numbers[i];
    if (number >= 1 && number <= fields.size() && fields[number - 1].field_type == kBlobFieldType)
      return true;
  }
  return false;
}

}  // namespace

void EmptyIndexHeader(TIndexHeader& h) {
  h.next_page = kIndexPageSize;
  h.active_records = 0;
  const int last = std::min<int>(h.secondary_count, kMaxSecondaryIndexes);
  for (int slot = 0; slot <= last; ++slot) h.slots[slot].root = h.slots[slot].free_head = 0;
  h.slots[kSysDeletedSlot].root = h.slots[kSysDeletedSlot].free_head = 0;
  h.modified = 1;
}

void StoreIndexDefinition(TIndexHeader& h, int slot, const TIndexDescriptor& def) {
  assert(slot >= 0 && slot < kIndexSlotCount);
  TIndexDescriptor& d = h.slots[slot];
  CopyDefinition(d, def);
  d.root = 0;
  d.restructure_mark = 0;
  d.reserved.fill(0);
  h.modified = 1;
}

void SetNoPrimaryIndex(TIndexHeader& h, bool no_primary) {
  h.no_primary = no_primary ? 1 : 0;
  if (no_primary) h.slots[kPrimarySlot] = TIndexDescriptor{};
  h.modified = 1;
}

int SetPrimaryIndex(TIndexHeader& h, const TIndexDescriptor& def, std::span<const TKeyFieldInfo> fields) {
  if (h.slots[kPrimarySlot].key_length != 0) return -static_cast<int>(kPrimaryExists);
  if (def.field_count > kMaxKeyFields) return -static_cast<int>(kIndexLimits);
  if (HasBlobField(def, fields)) return -static_cast<int>(kInvalidIndexFieldType);
  if (def.field_count == 0) {
    SetNoPrimaryIndex(h, true);
    return 0;
  }
  TIndexDescriptor& d = h.slots[kPrimarySlot];
  CopyDefinition(d, def);
  d.name.clear();
  d.root = 0;
  h.no_primary = 0;
  h.modified = 1;
  return 0;
}

int AddSecondaryIndex(TIndexHeader& h, const TIndexDescriptor& def, std::span<const TKeyFieldInfo> fields) {
  if (h.secondary_count >= kMaxSecondaryIndexes || def.field_count > kMaxKeyFields) {
    return -static_cast<int>(kIndexLimits);
  }
  const std::string name = TrimmedLower(def.name);
  if (name.empty()) return -static_cast<int>(kIndexNameMissing);
  if (!IsIdentifierStart(name.front())) return -static_cast<int>(kInvalidIndexName);
  for (int slot = 1; slot <= h.secondary_count; ++slot) {
    if (TrimmedLower(h.slots[slot].name) == name) return -static_cast<int>(kIndexExists);
  }
  if (HasBlobField(def, fields)) return -static_cast<int>(kInvalidIndexFieldType);
  TIndexDescriptor& d = h.slots[++h.secondary_count];
  CopyDefinition(d, def);
  d.root = 0;
  h.modified = 1;
  return 0;
}

void DeleteSecondaryIndex(TIndexHeader& h, int slot) {
  assert(slot >= 1 && slot <= h.secondary_count && h.secondary_count <= kMaxSecondaryIndexes);
  const TIndexDescriptor removed = h.slots[slot];
  for (int i = slot; i < h.secondary_count; ++i) h.slots[i] = h.slots[i + 1];
  h.slots[h.secondary_count] = removed;
  --h.secondary_count;
  h.modified = 1;
}

bool IsValidPageLink(std::int32_t offset, std::int32_t next_page) {
  if (offset == 0) return true;
  return offset >= kIndexPageSize && offset <= next_page - kIndexPageSize && offset % kIndexPageSize == 0;
}

bool IsIdentifierStart(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u >= 0x80;
}

}  // namespace tarvo
