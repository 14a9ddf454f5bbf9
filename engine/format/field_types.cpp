#include "engine/format/field_types.h"

namespace tarvo {

std::uint8_t DataSizeOf(TTypeCode type, std::uint8_t field_size) {
  switch (type) {
    case kTypeText: return static_cast<std::uint8_t>(field_size + 1);
    case kTypeDate:
    case kTypeInt32:
    case kTypeTime:
    case kTypeUInt32: return 4;
    case kTypeBoolean:
    case kTypeInt16:
    case kTypeUInt16: return 2;
    case kTypeBlob:
    case kTypeFloat:
    case kTypeFixed:
    case kTypeDateTime: return 8;
    case kTypeExtended: return 10;
    default: return field_size;  // 0, 9 and 15 upward
  }
}

bool TypeHasSize(TTypeCode type) {
  return type == kTypeText || type == kTypeBytes || type == kTypeVarBytes;
}

TFieldType FieldTypeOf(TTypeCode type, TTypeCode subtype) {
  using enum TFieldType;
  switch (type) {
    case kTypeText: return ftString;
    case kTypeDate: return ftDate;
    case kTypeBlob:
      switch (subtype) {
        case kSubTypeMemo: return ftMemo;
        case kSubTypeFmtMemo: return ftFmtMemo;
        case kSubTypeGraphic: return ftGraphic;
        case kSubTypeTypedBinary: return ftTypedBinary;
        default: return ftBlob;
      }
    case kTypeBoolean: return ftBoolean;
    case kTypeInt16: return ftSmallint;
    case kTypeInt32: return subtype == kSubTypeAutoInc ? ftAutoInc : ftInteger;
    case kTypeFloat: return subtype == kSubTypeMoney ? ftCurrency : ftFloat;
    case kTypeFixed: return ftBCD;
    case kTypeBytes: return ftBytes;
    case kTypeTime: return ftTime;
    case kTypeDateTime: return ftDateTime;
    case kTypeUInt16: return ftWord;
    case kTypeUInt32: return ftInteger;
    case kTypeVarBytes: return ftVarBytes;
    case kTypeLargeint:
    case kTypeLargeint2: return ftLargeint;
    case kTypeAdt: return ftADT;
    case kTypeArray: return ftArray;
    case kTypeReference: return ftReference;
    case kTypeDataSet: return ftDataSet;
    default: return ftUnknown;
  }
}

TEngineType EngineTypeOf(TFieldType field_type) {
  using enum TFieldType;
  switch (field_type) {
    case ftString:
    case ftGuid: return {kTypeText, kSubTypeNone};
    case ftFixedChar: return {kTypeText, kSubTypeFixedChar};
    case ftWideString: return {kTypeText, kSubTypeWideString};
    case ftSmallint: return {kTypeInt16, kSubTypeNone};
    case ftInteger: return {kTypeInt32, kSubTypeNone};
    case ftAutoInc: return {kTypeInt32, kSubTypeAutoInc};
    case ftWord: return {kTypeUInt16, kSubTypeNone};
    case ftBoolean: return {kTypeBoolean, kSubTypeNone};
    case ftFloat: return {kTypeFloat, kSubTypeNone};
    case ftCurrency: return {kTypeFloat, kSubTypeMoney};
    case ftBCD: return {kTypeFixed, kSubTypeNone};
    case ftDate: return {kTypeDate, kSubTypeNone};
    case ftTime: return {kTypeTime, kSubTypeNone};
    case ftDateTime: return {kTypeDateTime, kSubTypeNone};
    case ftBytes: return {kTypeBytes, kSubTypeNone};
    case ftVarBytes: return {kTypeVarBytes, kSubTypeNone};
    case ftBlob:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftOraBlob:
    case ftOraClob: return {kTypeBlob, kSubTypeNone};
    case ftMemo: return {kTypeBlob, kSubTypeMemo};
    case ftFmtMemo: return {kTypeBlob, kSubTypeFmtMemo};
    case ftGraphic: return {kTypeBlob, kSubTypeGraphic};
    case ftTypedBinary: return {kTypeBlob, kSubTypeTypedBinary};
    case ftCursor: return {kTypeCursor, kSubTypeNone};
    case ftLargeint: return {kTypeLargeint, kSubTypeNone};
    case ftADT: return {kTypeAdt, kSubTypeNone};
    case ftArray: return {kTypeArray, kSubTypeNone};
    case ftReference: return {kTypeReference, kSubTypeNone};
    case ftDataSet: return {kTypeDataSet, kSubTypeNone};
    case ftUnknown:
    case ftVariant:
    case ftInterface:
    case ftIDispatch: return {kTypeNone, kSubTypeNone};
  }
  return {kTypeNone, kSubTypeNone};
}

}  // namespace tarvo
