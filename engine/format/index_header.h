// The header of an index file (".IDX"): the 4096 bytes at offset 0 that describe every index of
// the table in 33 descriptor slots and carry a few table-wide values. Pure codecs only: TIndexFile
// reads and writes the bytes. VerifyIndexHeader() holds every check a header must pass before a
// table is opened.
//
// Index file header: 4096 bytes, little-endian.
//   off  size  content
//     0     4  change counter, int32, +1 on every header write (and on a mark-modified)
//     4     4  not interpreted; zero in a new file, preserved
//     8     1  format version, always 4
//     9     4  next unused page offset (end of the page area), int32; 4096 in a new file
//    13     1  number of secondary indexes, 0 to 30
//    14  3960  33 index descriptor slots of 120 bytes: 0 primary, 1..30 secondary in definition
//              order (no gaps), 31 the system index "Sys Deleted", 32 unused (zero)
//  3974     4  active record count of the table, int32
//  3978     1  no-primary-index flag (slot 0 then holds an all-zero descriptor)
//  3979     1  header-modified flag of the in-memory copy, written as it stands (normally 1)
//  3980   116  zero, preserved
//
// Index descriptor: 120 bytes.
//   off  size  content
//     0    31  name: length byte and up to 30 characters; empty for the primary index
//    31     2  key length in bytes, uint16
//    33     1  descending (whole index), 0 or 1
//    34     1  case-insensitive, 0 or 1
//    35     1  unique, 0 or 1; always 1 for the primary index
//    36     1  key compression: 0 none, 1 duplicate bytes, 2 trailing bytes, 3 both
//    37     1  number of key fields, 0 to 16
//    38    16  per-field descending flags, byte 38 + (n - 1) for the n-th key field
//    54    32  field numbers of the key fields, 16 x uint16, 1-based, unused entries 0
//    86     4  root page offset, 0 when the index is empty
//    90     4  head of this index's free page chain, 0 when empty
//    94     1  changed-by-restructure mark; zero on disk
//    95     1  zero, preserved
//    96    24  zero, preserved
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarvo {

inline constexpr std::size_t kIndexHeaderSize = 4096;
inline constexpr std::size_t kIndexDescriptorSize = 120;
inline constexpr int kIndexSlotCount = 33;
inline constexpr int kPrimarySlot = 0;
inline constexpr int kSysDeletedSlot = 31;
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr int kMaxKeyFields = 16;
inline constexpr std::size_t kMaxIndexNameLength = 30;
// The key's field part (sum of DataSize + 1 over the key fields) may not exceed this.
inline constexpr int kMaxKeyFieldBytes = 524;
// Bytes of the auto-increment suffix that ends every key of an index that is not unique.
inline constexpr int kKeySuffixSize = 4;
inline constexpr std::uint8_t kIndexFormatVersion = 4;
// Pages lie on multiples of this in the file; the first at kPageSize itself.
inline constexpr std::int32_t kIndexPageSize = 4096;
inline constexpr char kSysDeletedName[] = "Sys Deleted";
inline constexpr std::uint16_t kSysDeletedKeyLength = 5;

// Header offsets.
inline constexpr std::size_t kOffIdxChangeCount = 0;
inline constexpr std::size_t kOffIdxReserved = 4;
inline constexpr std::size_t kOffIdxVersion = 8;
inline constexpr std::size_t kOffIdxNextPage = 9;
inline constexpr std::size_t kOffIdxSecondaryCount = 13;
inline constexpr std::size_t kOffIdxSlots = 14;
inline constexpr std::size_t kOffIdxActiveRecords = 3974;
inline constexpr std::size_t kOffIdxNoPrimary = 3978;
inline constexpr std::size_t kOffIdxModified = 3979;
inline constexpr std::size_t kOffIdxTail = 3980;
inline constexpr std::size_t kIdxTailSize = 116;
static_assert(kOffIdxSlots + kIndexSlotCount * kIndexDescriptorSize == kOffIdxActiveRecords);
static_assert(kOffIdxTail + kIdxTailSize == kIndexHeaderSize);

// Descriptor offsets.
inline constexpr std::size_t kOffDescName = 0;
inline constexpr std::size_t kOffDescKeyLength = 31;
inline constexpr std::size_t kOffDescDescending = 33;
inline constexpr std::size_t kOffDescCaseInsensitive = 34;
inline constexpr std::size_t kOffDescUnique = 35;
inline constexpr std::size_t kOffDescCompression = 36;
inline constexpr std::size_t kOffDescFieldCount = 37;
inline constexpr std::size_t kOffDescFieldDescending = 38;
inline constexpr std::size_t kOffDescFieldNumbers = 54;
inline constexpr std::size_t kOffDescRoot = 86;
inline constexpr std::size_t kOffDescFreeHead = 90;
inline constexpr std::size_t kOffDescRestructureMark = 94;
inline constexpr std::size_t kOffDescByte95 = 95;
inline constexpr std::size_t kOffDescReserved = 96;
inline constexpr std::size_t kDescReservedSize = 24;
static_assert(kOffDescFieldDescending + kMaxKeyFields == kOffDescFieldNumbers);
static_assert(kOffDescFieldNumbers + 2 * kMaxKeyFields == kOffDescRoot);
static_assert(kOffDescReserved + kDescReservedSize == kIndexDescriptorSize);

// Key compression of a leaf. Stored in files: never renumber.
enum class TKeyCompression : std::uint8_t {
  kNone = 0,
  kDuplicateBytes = 1,  // "DUPBYTE"
  kTrailingBytes = 2,   // "TRAILBYTE"
  kFull = 3,            // "FULL": both
};

// One descriptor slot, decoded. Flags keep the stored byte so that a slot round-trips exactly.
struct TIndexDescriptor {
  std::string name;  // at most 30 characters
  std::uint16_t key_length = 0;
  std::uint8_t descending = 0;
  std::uint8_t case_insensitive = 0;
  std::uint8_t unique = 0;
  std::uint8_t compression = 0;  // a TKeyCompression when valid
  std::uint8_t field_count = 0;
  std::array<std::uint8_t, kMaxKeyFields> field_descending{};
  std::array<std::uint16_t, kMaxKeyFields> field_numbers{};
  std::int32_t root = 0;
  std::int32_t free_head = 0;
  std::uint8_t restructure_mark = 0;
  std::uint8_t byte95 = 0;
  std::array<std::uint8_t, kDescReservedSize> reserved{};

  bool operator==(const TIndexDescriptor&) const = default;
};

struct TIndexHeader {
  std::int32_t change_count = 0;
  std::uint32_t reserved = 0;  // bytes 4 to 7
  std::uint8_t version = kIndexFormatVersion;
  std::int32_t next_page = kIndexPageSize;
  std::uint8_t secondary_count = 0;
  std::array<TIndexDescriptor, kIndexSlotCount> slots{};
  std::int32_t active_records = 0;
  std::uint8_t no_primary = 0;
  std::uint8_t modified = 0;
  std::array<std::uint8_t, kIdxTailSize> tail{};

  bool operator==(const TIndexHeader&) const = default;
};

// A name's length byte above 30 is read as 30 characters.
TIndexDescriptor DecodeIndexDescriptor(std::span<const std::byte, kIndexDescriptorSize> raw);
// Writes the name's length byte, its characters (cut to 30) and zeros behind them.
void EncodeIndexDescriptor(const TIndexDescriptor& d, std::span<std::byte, kIndexDescriptorSize> raw);

TIndexHeader DecodeIndexHeader(std::span<const std::byte, kIndexHeaderSize> raw);
void EncodeIndexHeader(const TIndexHeader& h, std::span<std::byte, kIndexHeaderSize> raw);

// The descriptor that slot 31 of a new index file holds.
TIndexDescriptor SysDeletedDescriptor();
// The header a new index file gets in memory: version 4, next unused page 4096, "Sys Deleted" in
// slot 31, marked modified, change counter 0; it reaches the disk with the next header write.
TIndexHeader NewIndexHeader();
// The 4096 bytes of a new index file as the first header write leaves them (change counter 1):
// a new index file is exactly this long.
std::array<std::byte, kIndexHeaderSize> NewIndexFileImage();

// What verification needs to know of one field of the table (entry i is field number i + 1).
struct TKeyFieldInfo {
  std::uint8_t field_type = 0;  // data file type code; 3 is a blob
  std::uint8_t data_size = 0;   // bytes of the value in the record
};

// The check made when the file is opened: 0, or -8961 (kHeaderCorrupt) for more than 32
// secondary indexes.
[[nodiscard]] int CheckIndexHeaderOnOpen(const TIndexHeader& h);

// The full check before a table is first opened in the process: 0, or -12035 (kWrongVersion)
// for a version other than 4 and for every damaged slot from 0 to the number of secondary
// indexes, and for slot 31. `fields` describes the table's fields in field-number order.
[[nodiscard]] int VerifyIndexHeader(const TIndexHeader& h, std::span<const TKeyFieldInfo> fields);

// Whether a page offset may be a root or free chain head in a file whose next unused page offset
// is `next_page`: 0, or a page boundary from 4096 to next_page - 4096.
bool IsValidPageLink(std::int32_t offset, std::int32_t next_page);

// --- Changes of the header's descriptors. Each marks the header modified; counting the change
// and writing it is TIndexFile's. Failures return a negated code and change nothing. ---

// Emptying the table: next unused page 4096, active records 0, root and free chain head 0 in
// every slot in use and in slot 31.
void EmptyIndexHeader(TIndexHeader& h);
// Restructure's store of a definition into `slot`: name (cut to 30) to field numbers from
// `def`, root 0, restructure mark and bytes 96 to 119 cleared; free chain head and byte 95 stay.
void StoreIndexDefinition(TIndexHeader& h, int slot, const TIndexDescriptor& def);
// Setting the flag clears slot 0.
void SetNoPrimaryIndex(TIndexHeader& h, bool no_primary);
// Sets slot 0 from `def`: 0; -9993 when slot 0 already has a key length; -9487 for more than 16
// fields; -12292 for a blob field. A definition without fields sets the no-primary flag instead.
[[nodiscard]] int SetPrimaryIndex(TIndexHeader& h, const TIndexDescriptor& def,
                                  std::span<const TKeyFieldInfo> fields);
// Adds `def` as the next secondary index (name to field numbers, root 0, the rest of the slot
// kept): 0; -9487 when 30 exist or for more than 16 fields; -10010 for an empty name; -10022
// when the name does not start with an identifier character; -10027 when a secondary index of
// that name exists (without case, trimmed); -12292 for a blob field.
[[nodiscard]] int AddSecondaryIndex(TIndexHeader& h, const TIndexDescriptor& def,
                                    std::span<const TKeyFieldInfo> fields);
// Deletes secondary index `slot` (1 .. count): the slots behind move down one place, the removed
// descriptor is parked in the last used slot, and the count decreases.
void DeleteSecondaryIndex(TIndexHeader& h, int slot);

// A valid first character of a secondary index name: a letter, '_' or a character of the
// upper half of the code page (the letters of the table's locale).
bool IsIdentifierStart(char c);

}  // namespace tarvo
