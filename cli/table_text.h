// Text between a table's code page and the tool's UTF-8. A table stores text values, its
// description and the names of its fields and indexes as bytes of the code page of its language;
// the command line, JSON and the terminal speak UTF-8. Values convert leniently (a character
// without a byte becomes '?'), names and definitions exactly (such a character is an error),
// and messages that carry stored names are rebuilt with the names converted before printing.
#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "support/locale.h"

namespace tarvo::cli {

std::string CodePageToUtf8(const std::string& bytes, TLanguageId language);
// A character without a byte in the code page becomes '?'. Throws std::invalid_argument for text
// that is not UTF-8.
std::string Utf8ToCodePage(const std::string& utf8, TLanguageId language);
// Nothing when the text is not UTF-8 or holds a character that the code page has no byte for.
std::optional<std::string> Utf8ToCodePageExactly(const std::string& utf8, TLanguageId language);

// The names of `fields` in UTF-8, in field order.
std::vector<std::string> Utf8FieldNames(const std::vector<TFieldDescriptor>& fields, TLanguageId language);

// A refusal of a value for a field, naming the field by its stored name.
class EFieldValueError : public std::invalid_argument {
 public:
  EFieldValueError(const std::string& stored_name, const std::string& reason);
  const std::string& StoredName() const { return stored_name_; }
  const std::string& Reason() const { return reason_; }

 private:
  std::string stored_name_;
  std::string reason_;
};

// The message of `e` in UTF-8: engine errors and field refusals are stated again with their field
// and index names converted from the code page of `language`; in any other text, bytes that are
// not UTF-8 are taken as bytes of that code page.
std::string MessageText(const std::exception& e, TLanguageId language);
// `text` with its bytes that are not UTF-8 taken as bytes of the code page of `language`.
std::string PrintableText(const std::string& text, TLanguageId language);

}  // namespace tarvo::cli
