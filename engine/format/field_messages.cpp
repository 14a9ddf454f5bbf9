#include "engine/format/field_messages.h"

#include "errors/engine_error.h"
#include "support/code_page.h"

namespace tarvo {

std::vector<std::string> Utf8FieldNames(const std::vector<TFieldDescriptor>& fields, TLanguageId language) {
  std::vector<std::string> names;
  names.reserve(fields.size());
  for (const TFieldDescriptor& d : fields) names.push_back(CodePageToUtf8(d.FieldName, language));
  return names;
}

EFieldValueError::EFieldValueError(const std::string& stored_name, const std::string& reason)
    : std::invalid_argument("field '" + stored_name + "': " + reason),
      stored_name_(stored_name),
      reason_(reason) {}

std::string MessageText(const std::exception& e, TLanguageId language) {
  if (const auto* engine = dynamic_cast<const ETarvoEngineError*>(&e); engine != nullptr && engine->Names()) {
    TErrorNames names = *engine->Names();
    names.field = CodePageToUtf8(names.field, language);
    names.index = CodePageToUtf8(names.index, language);
    names.table = PrintableText(names.table, language);
    names.extra = PrintableText(names.extra, language);
    return EngineErrorMessage(engine->Code(), EngineMessageText(engine->Code(), names));
  }
  if (const auto* refusal = dynamic_cast<const EFieldValueError*>(&e); refusal != nullptr) {
    return "field '" + CodePageToUtf8(refusal->StoredName(), language) +
           "': " + PrintableText(refusal->Reason(), language);
  }
  return PrintableText(e.what(), language);
}

}  // namespace tarvo
