// Field type and subtype codes of the data file's field descriptors, the number of record bytes
// each type occupies (DataSize), and the mapping between engine types and the data-set layer's
// field types (TFieldType) in both directions.
#pragma once

#include <cstdint>

namespace tarvo {

using TTypeCode = std::uint8_t;

// Field type codes. Stored in files: never renumber.
inline constexpr TTypeCode kTypeNone = 0;  // never valid in a descriptor
inline constexpr TTypeCode kTypeText = 1;
inline constexpr TTypeCode kTypeDate = 2;
inline constexpr TTypeCode kTypeBlob = 3;
inline constexpr TTypeCode kTypeBoolean = 4;
inline constexpr TTypeCode kTypeInt16 = 5;
inline constexpr TTypeCode kTypeInt32 = 6;
inline constexpr TTypeCode kTypeFloat = 7;
inline constexpr TTypeCode kTypeFixed = 8;  // fixed-point decimal, int64 = value x 10,000
inline constexpr TTypeCode kTypeBytes = 9;
inline constexpr TTypeCode kTypeTime = 10;
inline constexpr TTypeCode kTypeDateTime = 11;
inline constexpr TTypeCode kTypeUInt16 = 12;
inline constexpr TTypeCode kTypeUInt32 = 13;
inline constexpr TTypeCode kTypeExtended = 14;  // 10-byte floating point
inline constexpr TTypeCode kTypeVarBytes = 15;
inline constexpr TTypeCode kTypeCursor = 17;
inline constexpr TTypeCode kTypeLargeint = 18;
inline constexpr TTypeCode kTypeLargeint2 = 19;
inline constexpr TTypeCode kTypeAdt = 20;
inline constexpr TTypeCode kTypeArray = 21;
inline constexpr TTypeCode kTypeReference = 22;
inline constexpr TTypeCode kTypeDataSet = 23;

// Subtype codes. Stored in files: never renumber.
inline constexpr TTypeCode kSubTypeNone = 0;
inline constexpr TTypeCode kSubTypeMoney = 21;        // of type 7
inline constexpr TTypeCode kSubTypeMemo = 22;         // of type 3
inline constexpr TTypeCode kSubTypeBinary = 23;       // of type 3: untyped data
inline constexpr TTypeCode kSubTypeFmtMemo = 24;      // of type 3: formatted memo
inline constexpr TTypeCode kSubTypeOle = 25;          // of type 3: OLE object
inline constexpr TTypeCode kSubTypeGraphic = 26;      // of type 3
inline constexpr TTypeCode kSubTypeDbOle = 27;        // of type 3: database OLE object
inline constexpr TTypeCode kSubTypeTypedBinary = 28;  // of type 3: typed data
inline constexpr TTypeCode kSubTypeAutoInc = 29;      // of type 6
inline constexpr TTypeCode kSubTypeFixedChar = 31;    // of type 1
inline constexpr TTypeCode kSubTypeWideString = 32;   // of type 1

// CaseMapping of a text field. Stored in files: never renumber.
inline constexpr std::uint8_t kCaseUnchanged = 0;
inline constexpr std::uint8_t kCaseLower = 1;
inline constexpr std::uint8_t kCaseUpper = 2;

inline constexpr std::uint8_t kMaxFieldSize = 250;  // types 1, 9 and 15

// Record bytes of a field's value (after its null-flag byte): text FieldSize + 1; date, time and
// 32-bit integers 4; boolean and 16-bit integers 2; blob, float, fixed-point and date-time 8;
// extended 10; bytes, variable bytes, code 0 and every code from 15 up: FieldSize.
std::uint8_t DataSizeOf(TTypeCode type, std::uint8_t field_size);

// Whether the type takes a declared size (1, 9, 15); all others must have FieldSize 0.
bool TypeHasSize(TTypeCode type);

inline bool IsAutoIncrement(TTypeCode type, TTypeCode subtype) {
  return type == kTypeInt32 && subtype == kSubTypeAutoInc;
}

// The data-set layer's field types. Not stored: the order is free.
enum class TFieldType : std::uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
};

// Engine type and subtype to data-set field type; ftUnknown where none exists (0, 14, 16, 17,
// above 23). A blob of a subtype without its own field type is ftBlob; type 13 reads as ftInteger.
TFieldType FieldTypeOf(TTypeCode type, TTypeCode subtype);

struct TEngineType {
  TTypeCode Type = kTypeNone;
  TTypeCode SubType = kSubTypeNone;
  bool operator==(const TEngineType&) const = default;
};

// Data-set field type to engine type and subtype, for writing descriptors. Not the inverse of
// FieldTypeOf: types 13 and 19 and blob subtypes 23, 25 and 27 do not come back as they were.
TEngineType EngineTypeOf(TFieldType field_type);

}  // namespace tarvo
