#include "support/code_page.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <cassert>
#include <mutex>
#include <stdexcept>
#include <string>

namespace tarvo {

namespace {

constexpr std::array<std::uint16_t, 10> kSupported = {874,  1250, 1251, 1252, 1253,
                                                      1254, 1255, 1256, 1257, 1258};

struct TConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// The code point of one byte, or nothing when the converter has no mapping for it.
std::optional<char16_t> ConvertByte(UConverter* converter, std::uint8_t byte) {
  const char in = static_cast<char>(byte);
  UChar out[4];
  UErrorCode status = U_ZERO_ERROR;
  ucnv_reset(converter);
  const int32_t length = ucnv_toUChars(converter, out, 4, &in, 1, &status);
  if (U_FAILURE(status) || length != 1 || out[0] == 0xFFFD || U16_IS_SURROGATE(out[0])) return std::nullopt;
  return static_cast<char16_t>(out[0]);
}

}  // namespace

// The code pages, each built on its first use and kept for the life of the process.
struct TCodePageSet {
  std::array<std::once_flag, kSupported.size()> built;
  // Never destroyed: text may still be compared while other statics are torn down.
  std::array<TCodePage*, kSupported.size()> pages{};

  static TCodePageSet& Get() {
    static TCodePageSet* set = new TCodePageSet();
    return *set;
  }

  const TCodePage* Page(std::size_t i) {
    std::call_once(built[i], [this, i] { pages[i] = new TCodePage(kSupported[i]); });
    return pages[i];
  }
};

TCodePage::TCodePage(std::uint16_t number) : number_(number) {
  // 1. Byte → code point through ICU's converter, unmapped bytes to private use.
  const std::string name = "windows-" + std::to_string(number);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, TConverterCloser> converter(ucnv_open(name.c_str(), &status));
  if (U_SUCCESS(status)) {
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  const bool usable = U_SUCCESS(status);
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    std::optional<char16_t> c;
    if (usable) c = ConvertByte(converter.get(), byte);
    to_unicode_[b] = c.value_or(static_cast<char16_t>(kUnmappedBase + b));
  }

  // 2. The reverse; the first byte of a code point wins.
  from_unicode_.emplace_back();
  for (int b = 0; b < 256; ++b) {
    const char16_t c = to_unicode_[b];
    std::uint8_t& block = from_unicode_block_[c >> 8];
    if (block == 0) {
      block = static_cast<std::uint8_t>(from_unicode_.size());
      from_unicode_.emplace_back();
    }
    std::uint16_t& entry = from_unicode_[block][c & 0xFF];
    if (entry == 0) entry = static_cast<std::uint16_t>(b + 1);
  }

  // 3. Case of each byte: simple mapping, the byte itself when the result has no byte form.
  for (int b = 0; b < 256; ++b) {
    const UChar32 c = to_unicode_[b];
    upper_[b] = FromUnicode(static_cast<char32_t>(u_toupper(c))).value_or(static_cast<std::uint8_t>(b));
    lower_[b] = FromUnicode(static_cast<char32_t>(u_tolower(c))).value_or(static_cast<std::uint8_t>(b));
  }
}

const TCodePage* TCodePage::Find(std::uint16_t number) {
  const auto it = std::find(kSupported.begin(), kSupported.end(), number);
  if (it == kSupported.end()) return nullptr;
  return TCodePageSet::Get().Page(static_cast<std::size_t>(it - kSupported.begin()));
}

std::span<const std::uint16_t> TCodePage::Supported() {
  return kSupported;
}

std::uint16_t CodePageOfLanguage(TLanguageId language) {
  const unsigned primary = language & 0x3FFu;
  const unsigned sub = language >> 10;
  switch (primary) {
    case 0x01:
    case 0x20:
    case 0x29:
    case 0x80:
    case 0x8C:
    case 0x92:  // Arabic, Urdu, Farsi, ...
      return 1256;
    case 0x02:
    case 0x19:
    case 0x22:
    case 0x23:
    case 0x28:
    case 0x2F:  // Bulgarian, Russian, ...
    case 0x3F:
    case 0x40:
    case 0x44:
    case 0x50:
    case 0x6D:
    case 0x85: return 1251;
    case 0x05:
    case 0x0E:
    case 0x15:
    case 0x18:
    case 0x1B:
    case 0x1C:  // Czech, Hungarian, ...
    case 0x24:
    case 0x42: return 1250;
    case 0x1A:  // Croatian, Serbian and Bosnian: the Cyrillic forms use 1251
      return (sub == 0x03 || sub == 0x07 || sub == 0x08 || sub == 0x0A || sub == 0x0C) ? 1251 : 1250;
    case 0x2C:
    case 0x43:  // Azeri, Uzbek: Latin 1254, Cyrillic 1251
      return sub == 0x02 ? 1251 : 1254;
    case 0x08: return 1253;  // Greek
    case 0x1F: return 1254;  // Turkish
    case 0x0D: return 1255;  // Hebrew
    case 0x25:
    case 0x26:
    case 0x27:  // Estonian, Latvian, Lithuanian
      return 1257;
    case 0x2A: return 1258;  // Vietnamese
    case 0x1E: return 874;   // Thai
    case 0x04:
    case 0x11:
    case 0x12:  // Chinese, Japanese, Korean: double-byte code pages
      return 0;
    default: return 1252;
  }
}

const TCodePage& CodePageFor(TLanguageId language) {
  const TCodePage* page = TCodePage::Find(CodePageOfLanguage(language));
  if (page == nullptr) page = TCodePage::Find(1252);
  assert(page != nullptr);
  return *page;
}

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

std::size_t CodePageToUtf8(std::string_view bytes, TLanguageId language, char* out) {
  const TCodePage& page = CodePageFor(language);
  char* p = out;
  for (const char byte : bytes) {
    const char16_t c = page.ToUnicode(static_cast<std::uint8_t>(byte));
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *p++ = static_cast<char>(0xC0 | (c >> 6));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return static_cast<std::size_t>(p - out);
}

std::string CodePageToUtf8(std::string_view bytes, TLanguageId language) {
  std::string out(bytes.size() * 3, '\0');
  out.resize(CodePageToUtf8(bytes, language, out.data()));
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

}  // namespace tarvo
