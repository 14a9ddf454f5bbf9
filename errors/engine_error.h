// ETarvoEngineError: the one exception through which the storage engine reports every failure,
// with its 16-bit engine code and the English message built from the code and from the names it
// concerns. Also the code constants themselves and the raise routine.
//
// Each error carries its own names: nothing is kept between errors, so two threads raising at
// once never mix their tables' names.
//
// Conventions by layer: inside the file layer (platform calls, file objects, the file list) every
// routine returns a negated engine code or 0 and never throws; from TFileHandler, the file layer's
// face to the engine, upwards everything raises ETarvoEngineError, with the names it knows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/database_error.h"

namespace tarvo {

using TEngineCode = std::uint16_t;

// Engine codes. The number is the one the user sees. Stored in logs and scripts: never renumber.
// 0x22 navigation and record state
inline constexpr TEngineCode kBeginningOfFile = 8705;  // "Beginning of file encountered in table '%s'"
inline constexpr TEngineCode kEndOfFile = 8706;        // "End of file encountered in table '%s'"
inline constexpr TEngineCode kRecordChanged =
    8708;  // "Record has been changed or deleted by another user, ..."
inline constexpr TEngineCode kNoCurrentRecord = 8709;  // "No current record in table '%s'"
inline constexpr TEngineCode kRecordNotFound = 8710;   // "Record not found in table '%s'"
inline constexpr TEngineCode kEndOfBlob = 8711;        // "End of blob data in table '%s' reached prematurely"
// 0x23 corruption found
inline constexpr TEngineCode kHeaderCorrupt = 8961;         // "Header information corrupt in table '%s'"
inline constexpr TEngineCode kRecordBuffersCorrupt = 8962;  // "Data record buffers corrupt in table '%s'"
inline constexpr TEngineCode kBlobBuffersCorrupt = 8963;    // "BLOB block buffers corrupt in table '%s'"
inline constexpr TEngineCode kIndexBuffersCorrupt = 8965;   // "Index page buffers corrupt in table '%s'"
// 0x24 reading and writing
inline constexpr TEngineCode kReadError = 9217;     // "Error reading from table '%s'"
inline constexpr TEngineCode kWriteError = 9218;    // "Error writing to table '%s'"
inline constexpr TEngineCode kCannotDelete = 9220;  // "Cannot delete table '%s'"
inline constexpr TEngineCode kHeaderAccess = 9221;  // "Error accessing header information for table '%s'"
// 0x25 limits
inline constexpr TEngineCode kMaxRecordSize = 9477;  // "Maximum record size exceeded in table '%s'"
inline constexpr TEngineCode kTableFull = 9479;  // "The table '%s' is full and cannot contain any more data"
inline constexpr TEngineCode kTooManyFilters = 9482;  // "Too many filters defined for table '%s'"
inline constexpr TEngineCode kIndexLimits = 9487;     // "Maximum or minimum limits on number of indexes ..."
inline constexpr TEngineCode kFieldLimits = 9492;     // "Maximum or minimum limits on number of fields, ..."
inline constexpr TEngineCode kTooManyBlobs = 9494;    // "Too many blobs opened in table '%s'"
inline constexpr TEngineCode kBlobFieldLimits =
    9498;  // "Too many blob fields or invalid blob block size ..."
// 0x26 field validity and key violations
inline constexpr TEngineCode kDuplicateKey = 9729;  // "Duplicate key found in index '%s' of table '%s'"
inline constexpr TEngineCode kBelowMinimum =
    9730;  // "The value for the field '%s' in table '%s' is below ..."
inline constexpr TEngineCode kAboveMaximum =
    9731;  // "The value for the field '%s' in table '%s' is above ..."
inline constexpr TEngineCode kValueRequired =
    9732;  // "A value must be provided for the field '%s' in table '%s'"
// 0x27 definitions
inline constexpr TEngineCode kInvalidField =
    9985;  // "Invalid field number or name '%s' specified for table '%s'"
inline constexpr TEngineCode kPrimaryExists =
    9993;  // "A primary index is already defined for table '%s' ..."
inline constexpr TEngineCode kInvalidBlobOffset = 9998;  // "Invalid blob offset into table '%s' specified"
inline constexpr TEngineCode kInvalidFieldDef =
    10000;  // "Invalid field definition specified for the field '%s' ..."
inline constexpr TEngineCode kInvalidValidity = 10006;  // "Invalid default, min or max validity check, ..."
inline constexpr TEngineCode kIndexNameMissing =
    10010;  // "The secondary index name is missing or not specified ..."
inline constexpr TEngineCode kInvalidPassword = 10015;  // "Password provided for table '%s' is invalid"
inline constexpr TEngineCode kInvalidIndexName =
    10022;  // "Invalid secondary index name '%s' specified for table '%s'"
inline constexpr TEngineCode kInvalidIndexField =
    10023;  // "Invalid field number '%s' specified in index '%s' ..."
inline constexpr TEngineCode kInvalidKeySize =
    10026;  // "Invalid key size specified in index '%s' for table '%s'"
inline constexpr TEngineCode kIndexExists =
    10027;  // "The secondary index '%s' already exists for table '%s'"
inline constexpr TEngineCode kInvalidBlobLength = 10029;  // "Invalid blob length in table '%s'"
inline constexpr TEngineCode kInvalidBlobHandle = 10030;  // "Invalid blob handle for table '%s' specified"
inline constexpr TEngineCode kTableInUse = 10031;         // "table '%s' is already in use"
inline constexpr TEngineCode kInvalidFieldName =
    10038;  // "Invalid or duplicate field name '%s' specified ..."
inline constexpr TEngineCode kInvalidFilterHandle =
    10050;                                          // "Invalid filter handle specified for table '%s'"
inline constexpr TEngineCode kFilterError = 10051;  // "Filter error for table '%s' - %s"
inline constexpr TEngineCode kPrimaryRequired =
    10055;  // "The primary index cannot be removed from table '%s'"
// 0x28 locking and sharing
inline constexpr TEngineCode kTableLocked = 10241;     // "The table '%s' is already locked by another user"
inline constexpr TEngineCode kCannotUnlock = 10242;    // "Cannot unlock table or record in table '%s'"
inline constexpr TEngineCode kLockFailure = 10249;     // "General lock failure with table '%s'"
inline constexpr TEngineCode kNeedsExclusive = 10253;  // "table '%s' must be opened exclusively"
inline constexpr TEngineCode kRecordInUse = 10258;     // "Record in table '%s' is in use by another user"
// 0x29 access rights
inline constexpr TEngineCode kPasswordRequired =
    10498;  // "Insufficient rights to table '%s', a password is required"
// 0x2A blob fields and engine state
inline constexpr TEngineCode kInvalidBlobField = 10753;  // "Invalid blob field '%s' specified for table '%s'"
inline constexpr TEngineCode kNotInitialized = 10758;    // "Engine not initialized"
// 0x2B operating-system failures
inline constexpr TEngineCode kInvalidPath = 11010;  // "Invalid path or file name for table '%s'"
inline constexpr TEngineCode kTooManyFiles =
    11012;  // "Too many files open while attempting to open table '%s'"
inline constexpr TEngineCode kAccessDenied = 11013;       // "Access denied to table '%s'"
inline constexpr TEngineCode kInvalidFileHandle = 11014;  // "Invalid file handle for table '%s'"
inline constexpr TEngineCode kOutOfMemory = 11016;  // "There is insufficient operating system memory ..."
inline constexpr TEngineCode kInvalidMemoryLength = 11017;  // "Invalid length for in-memory table '%s'"
inline constexpr TEngineCode kDeviceDenied = 11023;  // "Access denied to logical operating system device ..."
inline constexpr TEngineCode kTableMoved = 11025;    // "table '%s' has been moved"
inline constexpr TEngineCode kUnknownOsError =
    11047;  // "An unknown operating system error occurred with table '%s'"
// 0x2E SQL, 0x2F version, 0x30 index field types, 0x33 existence, 0x3E locale
inline constexpr TEngineCode kSqlError = 11949;      // "SQL error - %s"
inline constexpr TEngineCode kWrongVersion = 12035;  // "table '%s' is not the correct version"
inline constexpr TEngineCode kInvalidIndexFieldType =
    12292;                                          // "Invalid field type specified for index '%s' ..."
inline constexpr TEngineCode kTableExists = 13060;  // "The table '%s' already exists"
inline constexpr TEngineCode kLocaleUnavailable =
    15878;  // "The language driver for table '%s' is not available ..."

// True for the codes of the file layer and of reading and writing (0x24xx and 0x2Bxx).
bool IsIoCode(TEngineCode code);

// One entry of an engine error's list.
struct TTarvoError {
  std::uint32_t ErrorCode = 0;  // the engine code (16 bits held in 32)
  std::string Message;          // the text without the "Tarvo Engine Error # " prefix
};

// The names that fill a message's placeholders, as the engine holds them: field and index names
// are bytes of the table's code page, the table name is the file name.
struct TErrorNames {
  std::string table;
  std::string field;
  std::string index;
  std::string extra;
};

class ETarvoEngineError : public EDatabaseError {
 public:
  // Builds the message text of `code` from `names` (each cut to 255 characters) and keeps them.
  explicit ETarvoEngineError(TEngineCode code, TErrorNames names = {});
  // With a text already built (the message is still cut to 254 characters by the caller).
  ETarvoEngineError(TEngineCode code, std::string text);

  // The names the message was built from; nothing when the text was given ready-made. A caller
  // that shows messages in another character set builds the text again from converted names.
  const std::optional<TErrorNames>& Names() const { return names_; }

  const std::vector<TTarvoError>& Errors() const { return errors_; }
  const TTarvoError& Errors(std::size_t index) const { return errors_.at(index); }
  std::size_t ErrorCount() const { return errors_.size(); }
  TEngineCode Code() const { return static_cast<TEngineCode>(errors_.front().ErrorCode); }

 private:
  std::vector<TTarvoError> errors_;
  std::optional<TErrorNames> names_;
};

// The code of an engine error (tests compare codes, never texts).
inline TEngineCode EngineCode(const ETarvoEngineError& e) {
  return e.Code();
}

// Raises the error of `code` with these names.
[[noreturn]] void RaiseEngineError(TEngineCode code, std::string_view table_name = {},
                                   std::string_view field_name = {}, std::string_view extra_text = {},
                                   std::string_view index_name = {});

// The message text of `code` with the given names, at most 254 characters.
std::string EngineMessageText(TEngineCode code, const TErrorNames& names);
// The whole message as an ETarvoEngineError states it: "Tarvo Engine Error # <code> <text>".
std::string EngineErrorMessage(TEngineCode code, const std::string& text);

}  // namespace tarvo
