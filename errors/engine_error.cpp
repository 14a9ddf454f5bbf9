#include "errors/engine_error.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tarvo {

namespace {

// Which context names fill a message's placeholders, in order.
enum class TArgs { kNone, kTable, kFieldTable, kIndexTable, kFieldIndexTable, kTableExtra, kExtra };

struct TMessage {
  TEngineCode code;
  const char* text;
  TArgs args;
};

// The message table, ordered by code (looked up by bisection).
constexpr std::array kMessages = {
    TMessage{8705, "Beginning of file encountered in table '%s'", TArgs::kTable},
    TMessage{8706, "End of file encountered in table '%s'", TArgs::kTable},
    TMessage{8708,
             "Record has been changed or deleted by another user, session, or table cursor in table '%s'",
             TArgs::kTable},
    TMessage{8709, "No current record in table '%s'", TArgs::kTable},
    TMessage{8710, "Record not found in table '%s'", TArgs::kTable},
    TMessage{8711, "End of blob data in table '%s' reached prematurely", TArgs::kTable},
    TMessage{8961, "Header information corrupt in table '%s'", TArgs::kTable},
    TMessage{8962, "Data record buffers corrupt in table '%s'", TArgs::kTable},
    TMessage{8963, "BLOB block buffers corrupt in table '%s'", TArgs::kTable},
    TMessage{8965, "Index page buffers corrupt in table '%s'", TArgs::kTable},
    TMessage{9217, "Error reading from table '%s'", TArgs::kTable},
    TMessage{9218, "Error writing to table '%s'", TArgs::kTable},
    TMessage{9220, "Cannot delete table '%s'", TArgs::kTable},
    TMessage{9221, "Error accessing header information for table '%s'", TArgs::kTable},
    TMessage{9477, "Maximum record size exceeded in table '%s'", TArgs::kTable},
    TMessage{9479, "The table '%s' is full and cannot contain any more data", TArgs::kTable},
    TMessage{9482, "Too many filters defined for table '%s'", TArgs::kTable},
    TMessage{9487,
             "Maximum or minimum limits on number of indexes or fields in an index exceeded in table '%s'",
             TArgs::kTable},
    TMessage{9492,
             "Maximum or minimum limits on number of fields, auto-increment field value, or field size "
             "exceeded in table '%s'",
             TArgs::kTable},
    TMessage{9494, "Too many blobs opened in table '%s'", TArgs::kTable},
    TMessage{9498, "Too many blob fields or invalid blob block size specified for table '%s'", TArgs::kTable},
    TMessage{9729, "Duplicate key found in index '%s' of table '%s'", TArgs::kIndexTable},
    TMessage{9730, "The value for the field '%s' in table '%s' is below the minimum allowable value",
             TArgs::kFieldTable},
    TMessage{9731, "The value for the field '%s' in table '%s' is above the maximum allowable value",
             TArgs::kFieldTable},
    TMessage{9732, "A value must be provided for the field '%s' in table '%s'", TArgs::kFieldTable},
    TMessage{9985, "Invalid field number or name '%s' specified for table '%s'", TArgs::kFieldTable},
    TMessage{9993, "A primary index is already defined for table '%s' and cannot be added again",
             TArgs::kTable},
    TMessage{9998, "Invalid blob offset into table '%s' specified", TArgs::kTable},
    TMessage{10000, "Invalid field definition specified for the field '%s' in table '%s'",
             TArgs::kFieldTable},
    TMessage{10006,
             "Invalid default, min or max validity check, or expression specified for '%s' in table '%s'",
             TArgs::kFieldTable},
    TMessage{10010, "The secondary index name is missing or not specified for table '%s'", TArgs::kTable},
    TMessage{10015, "Password provided for table '%s' is invalid", TArgs::kTable},
    TMessage{10022, "Invalid secondary index name '%s' specified for table '%s'", TArgs::kIndexTable},
    TMessage{10023, "Invalid field number '%s' specified in index '%s' for table '%s'",
             TArgs::kFieldIndexTable},
    TMessage{10026, "Invalid key size specified in index '%s' for table '%s'", TArgs::kIndexTable},
    TMessage{10027, "The secondary index '%s' already exists for table '%s'", TArgs::kIndexTable},
    TMessage{10029, "Invalid blob length in table '%s'", TArgs::kTable},
    TMessage{10030, "Invalid blob handle for table '%s' specified", TArgs::kTable},
    TMessage{10031, "table '%s' is already in use", TArgs::kTable},
    TMessage{10038, "Invalid or duplicate field name '%s' specified for table '%s'", TArgs::kFieldTable},
    TMessage{10050, "Invalid filter handle specified for table '%s'", TArgs::kTable},
    TMessage{10051, "Filter error for table '%s' - %s", TArgs::kTableExtra},
    TMessage{10055, "The primary index cannot be removed from table '%s'", TArgs::kTable},
    TMessage{10241, "The table '%s' is already locked by another user", TArgs::kTable},
    TMessage{10242, "Cannot unlock table or record in table '%s'", TArgs::kTable},
    TMessage{10249, "General lock failure with table '%s'", TArgs::kTable},
    TMessage{10253, "table '%s' must be opened exclusively", TArgs::kTable},
    TMessage{10258, "Record in table '%s' is in use by another user", TArgs::kTable},
    TMessage{10498, "Insufficient rights to table '%s', a password is required", TArgs::kTable},
    TMessage{10753, "Invalid blob field '%s' specified for table '%s'", TArgs::kFieldTable},
    TMessage{10758, "Engine not initialized", TArgs::kNone},
    TMessage{11010, "Invalid path or file name for table '%s'", TArgs::kTable},
    TMessage{11012, "Too many files open while attempting to open table '%s'", TArgs::kTable},
    TMessage{11013, "Access denied to table '%s'", TArgs::kTable},
    TMessage{11014, "Invalid file handle for table '%s'", TArgs::kTable},
    TMessage{11016, "There is insufficient operating system memory available for the current operation",
             TArgs::kNone},
    TMessage{11017, "Invalid length for in-memory table '%s'", TArgs::kTable},
    TMessage{11023, "Access denied to logical operating system device for table '%s'", TArgs::kTable},
    TMessage{11025, "table '%s' has been moved", TArgs::kTable},
    TMessage{11047, "An unknown operating system error occurred with table '%s'", TArgs::kTable},
    TMessage{11949, "SQL error - %s", TArgs::kExtra},
    TMessage{12035, "table '%s' is not the correct version", TArgs::kTable},
    TMessage{12292, "Invalid field type specified for index '%s' in table '%s'", TArgs::kIndexTable},
    TMessage{13060, "The table '%s' already exists", TArgs::kTable},
    TMessage{15878, "The language driver for table '%s' is not available or installed", TArgs::kTable},
};

constexpr bool MessagesSorted() {
  for (std::size_t i = 1; i < kMessages.size(); ++i) {
    if (kMessages[i - 1].code >= kMessages[i].code) return false;
  }
  return true;
}
static_assert(MessagesSorted());

constexpr const char* kUnknownText = "Unknown error occurred with table '%s'";
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kMessageMax = 254;

void CutName(std::string& name) {
  if (name.size() > kNameMax) name.resize(kNameMax);
}

const TMessage* FindMessage(TEngineCode code) {
  const auto it = std::lower_bound(kMessages.begin(), kMessages.end(), code,
                                   [](const TMessage& m, TEngineCode c) { return m.code < c; });
  return (it != kMessages.end() && it->code == code) ? &*it : nullptr;
}

}  // namespace

bool IsIoCode(TEngineCode code) {
  const unsigned group = code >> 8;
  return group == 0x24 || group == 0x2B;
}

std::string EngineMessageText(TEngineCode code, const TErrorNames& names) {
  std::string text;
  const TMessage* message = FindMessage(code);
  if (message == nullptr) {
    text = FormatText(kUnknownText, {names.table});
  } else {
    switch (message->args) {
      case TArgs::kNone: text = message->text; break;
      case TArgs::kTable: text = FormatText(message->text, {names.table}); break;
      case TArgs::kFieldTable: text = FormatText(message->text, {names.field, names.table}); break;
      case TArgs::kIndexTable: text = FormatText(message->text, {names.index, names.table}); break;
      case TArgs::kFieldIndexTable:
        text = FormatText(message->text, {names.field, names.index, names.table});
        break;
      case TArgs::kTableExtra: text = FormatText(message->text, {names.table, names.extra}); break;
      case TArgs::kExtra: text = FormatText(message->text, {names.extra}); break;
    }
  }
  if (text.size() > kMessageMax) text.resize(kMessageMax);
  return text;
}

std::string EngineErrorMessage(TEngineCode code, const std::string& text) {
  return "Tarvo Engine Error # " + std::to_string(static_cast<unsigned>(code)) + " " + text;
}

namespace {

TErrorNames CutNames(TErrorNames names) {
  CutName(names.table);
  CutName(names.field);
  CutName(names.index);
  CutName(names.extra);
  return names;
}

}  // namespace

ETarvoEngineError::ETarvoEngineError(TEngineCode code, TErrorNames names)
    : ETarvoEngineError(code, EngineMessageText(code, names = CutNames(std::move(names)))) {
  names_ = std::move(names);
}

ETarvoEngineError::ETarvoEngineError(TEngineCode code, std::string text)
    : EDatabaseError(EngineErrorMessage(code, text)) {
  errors_.push_back(TTarvoError{code, std::move(text)});
}

void RaiseEngineError(TEngineCode code, std::string_view table_name, std::string_view field_name,
                      std::string_view extra_text, std::string_view index_name) {
  throw ETarvoEngineError(code, TErrorNames{std::string(table_name), std::string(field_name),
                                            std::string(index_name), std::string(extra_text)});
}

}  // namespace tarvo
