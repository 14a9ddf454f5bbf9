#include "engine/index/key_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "support/code_page.h"

namespace tarvo {

namespace {

// Language 0 upper-cases as English (USA).
constexpr TLanguageId kCaseLanguageOfByteOrder = 1033;

std::uint64_t ReadLittle(const std::byte* p, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(p[i]);
  return v;
}

void WriteBig(std::uint64_t v, std::byte* out, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<std::byte>(v & 0xFF);
    v >>= 8;
  }
}

// The width the sortable encoding of a type needs; 0 for types kept as they are.
int SortableWidth(std::uint8_t type) {
  switch (type) {
    case kTypeDate:
    case kTypeInt32:
    case kTypeTime: return 4;
    case kTypeInt16:
    case kTypeBoolean:
    case kTypeUInt16: return 2;
    case kTypeFloat:
    case kTypeDateTime:
    case kTypeFixed: return 8;
    default: return 0;
  }
}

// Writes the sortable form of the little-endian `value` (SortableWidth(type) bytes).
void EncodeNumber(std::uint8_t type, const std::byte* value, std::byte* out) {
  const int width = SortableWidth(type);
  std::uint64_t v = ReadLittle(value, width);
  switch (type) {
    case kTypeDate:
    case kTypeInt32:
    case kTypeTime: v ^= 0x80000000u; break;
    case kTypeInt16: v ^= 0x8000u; break;
    case kTypeFixed: v ^= 0x8000000000000000u; break;
    case kTypeFloat:
    case kTypeDateTime: {
      const double d = std::bit_cast<double>(v);
      v = d < 0 ? ~v : (v | 0x8000000000000000u);
      break;
    }
    default: break;  // boolean, word: unchanged
  }
  WriteBig(v, out, width);
}

int CompareBytes(const std::byte* a, const std::byte* b, std::size_t n) {
  const int c = n == 0 ? 0 : std::memcmp(a, b, n);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string_view TextOf(const std::byte* p, std::size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

}  // namespace

void PutSortableInt32(std::int32_t value, std::span<std::byte, 4> out) {
  WriteBig(static_cast<std::uint32_t>(value) ^ 0x80000000u, out.data(), 4);
}

std::int32_t GetSortableInt32(std::span<const std::byte, 4> in) {
  std::uint32_t v = 0;
  for (std::byte b : in) v = (v << 8) | static_cast<std::uint8_t>(b);
  return static_cast<std::int32_t>(v ^ 0x80000000u);
}

TKeyCodec::TKeyCodec(const TIndexDescriptor& descriptor, int slot, std::span<const TFieldDescriptor> fields,
                     TLanguageId language, TSortId sort)
    : slot_(slot),
      key_length_(descriptor.key_length),
      unique_(descriptor.unique != 0),
      descending_(descriptor.descending != 0),
      case_insensitive_(descriptor.case_insensitive != 0),
      language_(language),
      sort_(sort) {
  if (slot == kSysDeletedSlot) {
    key_length_ = kSysDeletedKeyLength;
    return;
  }
  if (case_insensitive_) case_page_ = &CodePageFor(language_ == 0 ? kCaseLanguageOfByteOrder : language_);
  const int count = std::min<int>(descriptor.field_count, kMaxKeyFields);
  for (int i = 0; i < count; ++i) {
    const std::uint16_t number = descriptor.field_numbers[i];
    if (number == 0 || number > fields.size()) break;  // a damaged definition ends here
    const TFieldDescriptor& d = fields[number - 1];
    TKeyField f;
    f.type = d.FieldType;
    f.data_size = d.DataSize;
    f.record_offset = d.RecordOffset;
    f.auto_increment = IsAutoIncrement(d.FieldType, d.FieldSubType);
    f.stored = IsStored(d);
    const bool own_descending = descriptor.field_descending[i] != 0;
    f.descending = descending_ || own_descending;
    f.inverted = language_ == 0 && !descending_ && own_descending;
    fields_.push_back(f);
  }
}

void TKeyCodec::EncodeField(const TKeyField& field, std::span<const std::byte> record,
                            std::span<std::byte> out) const {
  // out: the indicator byte and DataSize value bytes, zero on entry.
  const std::size_t size = field.data_size;
  const std::byte* value = nullptr;
  if (field.auto_increment) {
    if (field.record_offset + std::size_t{4} <= record.size()) value = record.data() + field.record_offset;
  } else if (field.stored && field.record_offset + 1 + size <= record.size() &&
             record[field.record_offset] != std::byte{0}) {
    value = record.data() + field.record_offset + 1;
  }
  out[0] = std::byte{value != nullptr ? std::uint8_t{1} : std::uint8_t{0}};
  // A NULL field encodes the value zero (a data size is a byte, numbers take at most 8).
  static constexpr std::array<std::byte, 256> kZero{};
  if (value == nullptr) value = kZero.data();
  std::byte* dest = out.data() + 1;
  const int width = SortableWidth(field.type);
  if (field.type == kTypeText) {
    const std::size_t length =
        TextOf(value, size).find('\0') == std::string_view::npos ? size : TextOf(value, size).find('\0');
    if (case_page_ != nullptr) {
      // Upper-cased byte by byte through the locale's code page, as UpperCase does.
      for (std::size_t i = 0; i < length; ++i)
        dest[i] = std::byte{case_page_->ToUpper(static_cast<std::uint8_t>(value[i]))};
    } else {
      std::memcpy(dest, value, length);
    }
  } else if (width != 0 && static_cast<std::size_t>(width) == size) {
    EncodeNumber(field.type, value, dest);
  } else {
    std::memcpy(dest, value, size);
  }
  if (field.inverted) {
    const std::size_t inverted =
        field.type == kTypeText ? size : size + 1;  // a string keeps its terminator byte
    for (std::size_t i = 0; i < inverted; ++i) out[i] = ~out[i];
  }
}

TKey TKeyCodec::Build(std::span<const std::byte> record) const {
  TKey key(key_length_, std::byte{0});
  BuildInto(record, key);
  return key;
}

void TKeyCodec::BuildInto(std::span<const std::byte> record, std::span<std::byte> key) const {
  assert(key.size() == key_length_);
  std::fill(key.begin(), key.end(), std::byte{0});
  const auto auto_increment = [&](std::byte* out) {
    std::int32_t value = 0;
    if (record.size() >= kRecordHeaderSize) value = RecordAutoIncrement(record);
    PutSortableInt32(value, std::span<std::byte, 4>(out, 4));
  };
  if (slot_ == kSysDeletedSlot) {
    key[0] = record.empty() ? std::byte{0} : record[kRecOffDeleted];
    auto_increment(key.data() + 1);
    return;
  }
  // A field's data size is a byte: its encoded form, with the null flag, fits 256 bytes.
  std::array<std::byte, 256> portion;
  std::size_t pos = 0;
  for (const TKeyField& field : fields_) {
    const std::size_t width = std::size_t{field.data_size} + 1;
    if (pos + width <= key.size()) {
      EncodeField(field, record, key.subspan(pos, width));  // zero from the fill above
    } else {
      // The key ends inside this field: only its first bytes are kept.
      std::fill_n(portion.begin(), width, std::byte{0});
      EncodeField(field, record, std::span(portion.data(), width));
      const std::size_t n = std::min(width, key.size() - std::min(pos, key.size()));
      std::copy_n(portion.begin(), n, key.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    pos += width;
  }
  if (!unique_ && key.size() >= kKeySuffixSize && pos + kKeySuffixSize <= key.size()) {
    auto_increment(key.data() + key.size() - kKeySuffixSize);
  }
}

int TKeyCodec::Compare(std::span<const std::byte> a, std::span<const std::byte> b, std::size_t length) const {
  const std::size_t n = std::min({length, a.size(), b.size()});
  if (slot_ == kSysDeletedSlot) return CompareBytes(a.data(), b.data(), n);
  if (language_ == 0) {
    const int c = CompareBytes(a.data(), b.data(), n);
    return descending_ ? -c : c;
  }
  std::size_t pos = 0;
  for (const TKeyField& field : fields_) {
    if (pos >= n) return 0;
    const std::size_t remaining = n - pos;
    int c = 0;
    if (field.type == kTypeText) {
      c = CompareBytes(a.data() + pos, b.data() + pos, 1);
      if (c == 0 && remaining > 1) {
        const std::size_t m = std::min<std::size_t>(field.data_size, remaining - 1);
        if (m > 0) {
          c = CompareText(language_, sort_, TextOf(a.data() + pos + 1, m), false, m,
                          TextOf(b.data() + pos + 1, m));
        }
      }
    } else {
      c = CompareBytes(a.data() + pos, b.data() + pos,
                       std::min<std::size_t>(std::size_t{field.data_size} + 1, remaining));
    }
    if (c != 0) return field.descending ? -c : c;
    pos += std::size_t{field.data_size} + 1;
  }
  if (pos >= n) return 0;
  const int c = CompareBytes(a.data() + pos, b.data() + pos, n - pos);
  return descending_ ? -c : c;
}

}  // namespace tarvo
