// TKeyCodec: the keys of one index: how a key is built from a record image and how two keys
// compare. Built once from the index's descriptor, the table's field descriptors and its locale;
// it reads nothing else, so a codec must be rebuilt when the index definition changes.
//
// Key of an index (key length bytes):
//   for each key field, in descriptor order:
//     1 byte          null indicator: 1 value, 0 NULL (a NULL field encodes the value zero)
//     DataSize bytes  the value in its sortable encoding (below)
//   4 bytes           only when the index is not unique: the record's auto-increment value,
//                     sortable like a 32-bit integer
// The key of the system index "Sys Deleted" (slot 31) is 5 bytes: the record's deleted flag and
// its sortable auto-increment value.
//
// Sortable encodings (record values are little-endian):
//   type 1 (string)                characters up to the terminating zero, then zeros; upper-cased
//                                  first in a case-insensitive index
//   types 2, 6, 10 (int32 kinds)   4 bytes, most significant first, top bit inverted
//   type 5 (int16)                 2 bytes, most significant first, top bit inverted
//   types 4, 12 (boolean, word)    2 bytes, most significant first
//   types 7, 11 (double)           8 bytes, most significant first; not negative: top bit set,
//                                  negative: all 64 bits inverted
//   type 8 (fixed-point int64)     8 bytes, most significant first, top bit inverted
//   every other type               the record's bytes unchanged
// With LanguageID 0 and an index that is not descending as a whole, a field with its own
// descending flag is stored complemented (null indicator included), except the last byte of a
// string field's portion (its terminator position).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "support/locale.h"

namespace tarvo {

class TCodePage;

using TKey = std::vector<std::byte>;

// The 4-byte sortable form of a 32-bit integer (the auto-increment suffix).
void PutSortableInt32(std::int32_t value, std::span<std::byte, 4> out);
std::int32_t GetSortableInt32(std::span<const std::byte, 4> in);

class TKeyCodec {
 public:
  // `fields` are the table's field descriptors with their derived record offsets (field number
  // n is fields[n - 1]).
  TKeyCodec(const TIndexDescriptor& descriptor, int slot, std::span<const TFieldDescriptor> fields,
            TLanguageId language, TSortId sort);

  std::uint16_t KeyLength() const { return key_length_; }
  bool Unique() const { return unique_; }

  // The key of a record image. Bytes outside the image read as a NULL field.
  TKey Build(std::span<const std::byte> record) const;
  // As Build, into `key` (KeyLength() bytes), without allocating.
  void BuildInto(std::span<const std::byte> record, std::span<std::byte> key) const;

  // How Compare orders whole keys when it is plain byte order: 1 ascending, −1 descending (the
  // negated byte order), 0 when a locale's collation decides.
  int ByteOrder() const {
    if (slot_ == kSysDeletedSlot) return 1;
    if (language_ != 0) return 0;
    return descending_ ? -1 : 1;
  }

  // −1, 0, 1 over the first `length` bytes of both keys.
  // Requires: length <= a.size() and length <= b.size().
  int Compare(std::span<const std::byte> a, std::span<const std::byte> b, std::size_t length) const;

 private:
  struct TKeyField {
    std::uint8_t type = 0;
    std::uint8_t data_size = 0;
    std::uint16_t record_offset = 0;
    bool auto_increment = false;  // no null flag in the record, never NULL
    bool stored = true;           // computed fields have no place in the record: always NULL
    bool descending = false;      // the field's own flag or the whole index's
    bool inverted = false;        // stored complemented (LanguageID 0 only)
  };

  void EncodeField(const TKeyField& field, std::span<const std::byte> record, std::span<std::byte> out) const;

  int slot_ = 0;
  std::uint16_t key_length_ = 0;
  bool unique_ = false;
  bool descending_ = false;  // the whole index
  bool case_insensitive_ = false;
  TLanguageId language_ = 0;
  TSortId sort_ = 0;
  const TCodePage* case_page_ = nullptr;  // upper-cases text of a case-insensitive index
  std::vector<TKeyField> fields_;
};

}  // namespace tarvo
