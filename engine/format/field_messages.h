// Field names and messages in UTF-8. A table keeps the names of its fields and indexes as bytes of
// its code page; whoever shows a name or a message to a person (the tool, SQL) converts it here. A
// value that cannot be stored in a field as given is refused with EFieldValueError, which names the
// field by its stored name.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "support/locale.h"

namespace tarvo {

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

}  // namespace tarvo
