#include "cli/table_text.h"

#include "errors/engine_error.h"
#include "support/code_page.h"

namespace tarvo::cli {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point that starts at `i`, which then moves past it; nothing (and `i` unmoved) for a
// byte that starts no well-formed UTF-8 sequence (overlong forms and surrogates included).
inline std::optional<char32_t> NextCodePoint(const std::string& text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  if (lead < 0xC2 || lead > 0xF4 || i + extra >= text.size()) return std::nullopt;
  char32_t c = lead & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = c << 6 | (next & 0x3F);
  }
  constexpr char32_t kLowest[] = {0, 0, 0x800, 0x10000};
  if (c < kLowest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  i += extra + 1;
  return c;
}

}  // namespace

std::string CodePageToUtf8(const std::string& bytes, TLanguageId language) {
  const TCodePage& page = CodePageFor(language);
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) AppendUtf8(out, page.ToUnicode(static_cast<std::uint8_t>(c)));
  return out;
}

std::string Utf8ToCodePage(const std::string& utf8, TLanguageId language) {
  const TCodePage& page = CodePageFor(language);
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const std::optional<char32_t> c = NextCodePoint(utf8, i);
    if (!c) throw std::invalid_argument("text is not UTF-8");
    out += static_cast<char>(page.Encode(*c));
  }
  return out;
}

std::optional<std::string> Utf8ToCodePageExactly(const std::string& utf8, TLanguageId language) {
  const TCodePage& page = CodePageFor(language);
  // Never more bytes than the UTF-8 form has.
  std::string out(utf8.size(), '\0');
  std::size_t length = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const std::optional<char32_t> c = NextCodePoint(utf8, i);
    if (!c) return std::nullopt;
    const std::optional<std::uint8_t> byte = page.FromUnicode(*c);
    if (!byte) return std::nullopt;
    out[length++] = static_cast<char>(*byte);
  }
  out.resize(length);
  return out;
}

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

std::string PrintableText(const std::string& text, TLanguageId language) {
  const TCodePage& page = CodePageFor(language);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    if (NextCodePoint(text, i)) {
      out.append(text, start, i - start);
    } else {
      AppendUtf8(out, page.ToUnicode(static_cast<std::uint8_t>(text[i++])));
    }
  }
  return out;
}

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

}  // namespace tarvo::cli
