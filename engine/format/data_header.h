// TDataHeader: the 127-byte header at offset 0 of a data file, decoded into plain values, and
// its codec. The header holds the table-wide values: record geometry, the deleted-record chain
// head, the auto-increment and blob stamp counters, the locale, the enciphered description and
// password. Decoding takes every byte as it stands; the open-time check (header_check.h) decides
// whether the values make sense.
//
// Data file header: 127 bytes, little-endian.
//   off size  name               meaning
//     0   4   HeaderChangeCount  int32, +1 on every header write, 0 after creation and emptying
//     4   4   BlobBlockSize      uint32 (low 16 bits used), blob file block size, 0 means 512
//     8   1   FormatVersion      always 4
//     9   4   FirstFreeRecord    int32, head of the deleted-record chain, 0 = empty
//    13   4   NextRecordSlot     int32, record slots in the file + 1
//    17   4   LastAutoIncrement  int32, last auto-increment value handed out
//    21   2   RecordSize         uint16, bytes per record slot
//    23   2   FieldCount         uint16, field descriptors that follow (at most 1,024)
//    25   2   BlobFieldCount     int16, fields of type 3 (at most 64); 0 = no blob file
//    27   8   LastWriteTime      double, local time of the last header write (days, see below)
//    35  51   Description        short text (50), characters enciphered when Encrypted
//    86   1   Encrypted          0 or 1
//    87  16   Password           short text (15), characters enciphered; length 0 if not encrypted
//   103   2   LanguageID         uint16 locale language, 0 = plain byte order
//   105   2   SortID             uint16 locale sort order
//   107   2   UserWord1          uint16 kept for the application
//   109   2   UserWord2          uint16 kept for the application
//   111   1   HeaderModified     the header-changed flag when written; not interpreted when read
//   112   4   BlobStampCounter   int32, last blob stamp handed out
//   116   8   EngineVersion      int64 fixed-point, 4 decimals: 20800 = "2.08"; 0 from older engines
//   124   3   reserved           zero when created; preserved
//
// LastWriteTime is a day count with fraction, day 0 = 1899-12-30, minus 693,594 (so day 1 is
// 0001-01-01 as for date fields). Short texts: one length byte (stored plain) and the characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarvo {

inline constexpr std::size_t kDataHeaderSize = 127;

inline constexpr std::size_t kDataOffHeaderChangeCount = 0;
inline constexpr std::size_t kDataOffBlobBlockSize = 4;
inline constexpr std::size_t kDataOffFormatVersion = 8;
inline constexpr std::size_t kDataOffFirstFreeRecord = 9;
inline constexpr std::size_t kDataOffNextRecordSlot = 13;
inline constexpr std::size_t kDataOffLastAutoIncrement = 17;
inline constexpr std::size_t kDataOffRecordSize = 21;
inline constexpr std::size_t kDataOffFieldCount = 23;
inline constexpr std::size_t kDataOffBlobFieldCount = 25;
inline constexpr std::size_t kDataOffLastWriteTime = 27;
inline constexpr std::size_t kDataOffDescription = 35;
inline constexpr std::size_t kDataOffEncrypted = 86;
inline constexpr std::size_t kDataOffPassword = 87;
inline constexpr std::size_t kDataOffLanguageID = 103;
inline constexpr std::size_t kDataOffSortID = 105;
inline constexpr std::size_t kDataOffUserWord1 = 107;
inline constexpr std::size_t kDataOffUserWord2 = 109;
inline constexpr std::size_t kDataOffHeaderModified = 111;
inline constexpr std::size_t kDataOffBlobStampCounter = 112;
inline constexpr std::size_t kDataOffEngineVersion = 116;
inline constexpr std::size_t kDataOffReserved = 124;

inline constexpr std::size_t kDescriptionWidth = 50;  // characters of Description
inline constexpr std::size_t kPasswordWidth = 15;     // characters of Password
inline constexpr std::size_t kReservedSize = 3;

static_assert(kDataOffBlobBlockSize == kDataOffHeaderChangeCount + 4);
static_assert(kDataOffFormatVersion == kDataOffBlobBlockSize + 4);
static_assert(kDataOffFirstFreeRecord == kDataOffFormatVersion + 1);
static_assert(kDataOffNextRecordSlot == kDataOffFirstFreeRecord + 4);
static_assert(kDataOffLastAutoIncrement == kDataOffNextRecordSlot + 4);
static_assert(kDataOffRecordSize == kDataOffLastAutoIncrement + 4);
static_assert(kDataOffFieldCount == kDataOffRecordSize + 2);
static_assert(kDataOffBlobFieldCount == kDataOffFieldCount + 2);
static_assert(kDataOffLastWriteTime == kDataOffBlobFieldCount + 2);
static_assert(kDataOffDescription == kDataOffLastWriteTime + 8);
static_assert(kDataOffEncrypted == kDataOffDescription + 1 + kDescriptionWidth);
static_assert(kDataOffPassword == kDataOffEncrypted + 1);
static_assert(kDataOffLanguageID == kDataOffPassword + 1 + kPasswordWidth);
static_assert(kDataOffSortID == kDataOffLanguageID + 2);
static_assert(kDataOffUserWord1 == kDataOffSortID + 2);
static_assert(kDataOffUserWord2 == kDataOffUserWord1 + 2);
static_assert(kDataOffHeaderModified == kDataOffUserWord2 + 2);
static_assert(kDataOffBlobStampCounter == kDataOffHeaderModified + 1);
static_assert(kDataOffEngineVersion == kDataOffBlobStampCounter + 4);
static_assert(kDataOffReserved == kDataOffEngineVersion + 8);
static_assert(kDataOffReserved + kReservedSize == kDataHeaderSize);

// Stored in files: never change.
inline constexpr std::uint8_t kFormatVersion = 4;
inline constexpr std::int64_t kEngineVersion = 20800;  // "2.08" with four decimal places
inline constexpr std::uint32_t kDefaultBlobBlockSize = 512;
inline constexpr std::uint16_t kMaxFieldCount = 1024;
inline constexpr std::int16_t kMaxBlobFieldCount = 64;
inline constexpr std::int32_t kMaxRecordSlots = 100'000'000;
// LastWriteTime = local day count (day 0 = 1899-12-30) minus this.
inline constexpr double kLastWriteTimeBias = 693'594.0;

struct TDataHeader {
  std::int32_t HeaderChangeCount = 0;
  std::uint32_t BlobBlockSize = 0;
  std::uint8_t FormatVersion = kFormatVersion;
  std::int32_t FirstFreeRecord = 0;
  std::int32_t NextRecordSlot = 1;
  std::int32_t LastAutoIncrement = 0;
  std::uint16_t RecordSize = 0;
  std::uint16_t FieldCount = 0;
  std::int16_t BlobFieldCount = 0;
  double LastWriteTime = 0.0;
  std::string Description;  // as stored: enciphered when Encrypted (see PlainDescription)
  std::uint8_t Encrypted = 0;
  std::string Password;  // as stored: enciphered (see PlainPassword)
  std::uint16_t LanguageID = 0;
  std::uint16_t SortID = 0;
  std::uint16_t UserWord1 = 0;
  std::uint16_t UserWord2 = 0;
  std::uint8_t HeaderModified = 0;
  std::int32_t BlobStampCounter = 0;
  std::int64_t EngineVersion = 0;
  std::array<std::byte, kReservedSize> Reserved{};

  bool operator==(const TDataHeader&) const = default;
};

TDataHeader DecodeDataHeader(std::span<const std::byte, kDataHeaderSize> raw);
// Writes all 127 bytes; texts longer than their width are cut.
void EncodeDataHeader(const TDataHeader& h, std::span<std::byte, kDataHeaderSize> raw);

// The description and password in plain text (deciphered when the header says Encrypted).
std::string PlainDescription(const TDataHeader& h);
std::string PlainPassword(const TDataHeader& h);
// Store plain texts: cut to 50 and 15 characters, enciphered when h.Encrypted is 1. The password
// is stored only for an encrypted table (its length is 0 otherwise). Set Encrypted first.
void SetPlainDescription(TDataHeader& h, std::string_view text);
void SetPlainPassword(TDataHeader& h, std::string_view text);

// BlobBlockSize as the engine reads it: 0 stands for 512.
std::uint32_t EffectiveBlobBlockSize(const TDataHeader& h);

// Record slots in the file (NextRecordSlot - 1).
inline std::int32_t RecordSlotCount(const TDataHeader& h) {
  return h.NextRecordSlot - 1;
}

// The counter step for LastAutoIncrement and BlobStampCounter: after 2,147,483,647 comes 1.
std::int32_t NextCounterValue(std::int32_t last);

}  // namespace tarvo
