#include "engine/format/data_header.h"

#include <algorithm>
#include <limits>

#include "engine/format/byte_codec.h"
#include "engine/format/encipher.h"

namespace tarvo {

TDataHeader DecodeDataHeader(std::span<const std::byte, kDataHeaderSize> raw) {
  TDataHeader h;
  h.HeaderChangeCount = GetI32(raw, kDataOffHeaderChangeCount);
  h.BlobBlockSize = GetU32(raw, kDataOffBlobBlockSize);
  h.FormatVersion = GetU8(raw, kDataOffFormatVersion);
  h.FirstFreeRecord = GetI32(raw, kDataOffFirstFreeRecord);
  h.NextRecordSlot = GetI32(raw, kDataOffNextRecordSlot);
  h.LastAutoIncrement = GetI32(raw, kDataOffLastAutoIncrement);
  h.RecordSize = GetU16(raw, kDataOffRecordSize);
  h.FieldCount = GetU16(raw, kDataOffFieldCount);
  h.BlobFieldCount = GetI16(raw, kDataOffBlobFieldCount);
  h.LastWriteTime = GetF64(raw, kDataOffLastWriteTime);
  h.Description = GetShortText(raw, kDataOffDescription, kDescriptionWidth);
  h.Encrypted = GetU8(raw, kDataOffEncrypted);
  h.Password = GetShortText(raw, kDataOffPassword, kPasswordWidth);
  h.LanguageID = GetU16(raw, kDataOffLanguageID);
  h.SortID = GetU16(raw, kDataOffSortID);
  h.UserWord1 = GetU16(raw, kDataOffUserWord1);
  h.UserWord2 = GetU16(raw, kDataOffUserWord2);
  h.HeaderModified = GetU8(raw, kDataOffHeaderModified);
  h.BlobStampCounter = GetI32(raw, kDataOffBlobStampCounter);
  h.EngineVersion = GetI64(raw, kDataOffEngineVersion);
  for (std::size_t i = 0; i < kReservedSize; ++i) h.Reserved[i] = raw[kDataOffReserved + i];
  return h;
}

void EncodeDataHeader(const TDataHeader& h, std::span<std::byte, kDataHeaderSize> raw) {
  PutI32(raw, kDataOffHeaderChangeCount, h.HeaderChangeCount);
  PutU32(raw, kDataOffBlobBlockSize, h.BlobBlockSize);
  PutU8(raw, kDataOffFormatVersion, h.FormatVersion);
  PutI32(raw, kDataOffFirstFreeRecord, h.FirstFreeRecord);
  PutI32(raw, kDataOffNextRecordSlot, h.NextRecordSlot);
  PutI32(raw, kDataOffLastAutoIncrement, h.LastAutoIncrement);
  PutU16(raw, kDataOffRecordSize, h.RecordSize);
  PutU16(raw, kDataOffFieldCount, h.FieldCount);
  PutI16(raw, kDataOffBlobFieldCount, h.BlobFieldCount);
  PutF64(raw, kDataOffLastWriteTime, h.LastWriteTime);
  PutShortText(raw, kDataOffDescription, kDescriptionWidth, h.Description);
  PutU8(raw, kDataOffEncrypted, h.Encrypted);
  PutShortText(raw, kDataOffPassword, kPasswordWidth, h.Password);
  PutU16(raw, kDataOffLanguageID, h.LanguageID);
  PutU16(raw, kDataOffSortID, h.SortID);
  PutU16(raw, kDataOffUserWord1, h.UserWord1);
  PutU16(raw, kDataOffUserWord2, h.UserWord2);
  PutU8(raw, kDataOffHeaderModified, h.HeaderModified);
  PutI32(raw, kDataOffBlobStampCounter, h.BlobStampCounter);
  PutI64(raw, kDataOffEngineVersion, h.EngineVersion);
  for (std::size_t i = 0; i < kReservedSize; ++i) raw[kDataOffReserved + i] = h.Reserved[i];
}

std::string PlainDescription(const TDataHeader& h) {
  return h.Encrypted != 0 ? EncipherText(h.Description, kHeaderKey) : h.Description;
}

std::string PlainPassword(const TDataHeader& h) {
  return h.Encrypted != 0 ? EncipherText(h.Password, kHeaderKey) : h.Password;
}

void SetPlainDescription(TDataHeader& h, std::string_view text) {
  const std::string_view cut = text.substr(0, std::min(text.size(), kDescriptionWidth));
  h.Description = h.Encrypted != 0 ? EncipherText(cut, kHeaderKey) : std::string(cut);
}

void SetPlainPassword(TDataHeader& h, std::string_view text) {
  const std::string_view cut = text.substr(0, std::min(text.size(), kPasswordWidth));
  h.Password = h.Encrypted != 0 ? EncipherText(cut, kHeaderKey) : std::string();
}

std::uint32_t EffectiveBlobBlockSize(const TDataHeader& h) {
  return h.BlobBlockSize == 0 ? kDefaultBlobBlockSize : h.BlobBlockSize;
}

std::int32_t NextCounterValue(std::int32_t last) {
  if (last == std::numeric_limits<std::int32_t>::max()) last = 0;
  return last + 1;
}

}  // namespace tarvo
