// TCodePage: one Windows single-byte code page (874, 1250 to 1258) as tables built once, on first
// use of that code page, from ICU's converter: byte → code point, its reverse (a table of 256
// code points per high byte that has any), and the upper- and lower-case byte of every byte.
// Text of a table with a locale is stored as bytes of its language's code page.
//
// Every byte has a code point and maps back to itself: bytes that ICU leaves unmapped (1253: D2
// FF; 1255: CA D9-DF FB FC FF; 1257: A1 A5) get a private-use code point (kUnmappedBase + byte),
// so stored bytes survive a round trip. The tables are immutable once built and safe to share
// between threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/locale.h"

namespace tarvo {

// Private-use code point of a byte that the code page leaves unmapped.
inline constexpr char16_t kUnmappedBase = 0xF700;
// The byte that stands for a character without a byte form.
inline constexpr std::uint8_t kNoByteForm = '?';

class TCodePage {
 public:
  // The table of Windows code page `number`; nullptr for a code page that is not supported.
  static const TCodePage* Find(std::uint16_t number);
  // The code page numbers served here.
  static std::span<const std::uint16_t> Supported();

  std::uint16_t Number() const { return number_; }
  char16_t ToUnicode(std::uint8_t byte) const { return to_unicode_[byte]; }
  // The byte of `c`, or nothing when the code page has no byte for it.
  std::optional<std::uint8_t> FromUnicode(char32_t c) const {
    if (c > 0xFFFF) return std::nullopt;
    const std::uint16_t entry = from_unicode_[from_unicode_block_[c >> 8]][c & 0xFF];
    if (entry == 0) return std::nullopt;
    return static_cast<std::uint8_t>(entry - 1);
  }
  // The byte of `c`, '?' when it has none.
  std::uint8_t Encode(char32_t c) const { return FromUnicode(c).value_or(kNoByteForm); }
  // Simple per-character case mapping; a byte whose mapped character has no byte form stays.
  std::uint8_t ToUpper(std::uint8_t byte) const { return upper_[byte]; }
  std::uint8_t ToLower(std::uint8_t byte) const { return lower_[byte]; }

  TCodePage(const TCodePage&) = delete;
  TCodePage& operator=(const TCodePage&) = delete;

 private:
  explicit TCodePage(std::uint16_t number);
  friend struct TCodePageSet;

  std::uint16_t number_;
  std::array<char16_t, 256> to_unicode_{};
  // The byte of a code point c: from_unicode_[from_unicode_block_[c >> 8]][c & 0xFF] is the byte
  // + 1, 0 for none. Block 0 holds no code point.
  std::array<std::uint8_t, 256> from_unicode_block_{};
  std::vector<std::array<std::uint16_t, 256>> from_unicode_;
  std::array<std::uint8_t, 256> upper_{};
  std::array<std::uint8_t, 256> lower_{};
};

// The Windows ANSI code page of a language (its primary and sub-language); 1252 for language 0
// (mapped as English (USA)) and for every language without one of its own; 0 for the languages
// of double-byte code pages (Chinese, Japanese, Korean), which single-byte text cannot serve.
std::uint16_t CodePageOfLanguage(TLanguageId language);

// The code page table of a language, 1252 when its own is not served; never null.
const TCodePage& CodePageFor(TLanguageId language);

// Text between a table's code page and UTF-8. A table stores text values, its description and the
// names of its fields and indexes as bytes of the code page of its language; everything outside
// the engine (command line, JSON, SQL) speaks UTF-8.
std::string CodePageToUtf8(std::string_view bytes, TLanguageId language);
// The same written at `out`, which has room for 3 bytes per byte of `bytes`; returns its length.
std::size_t CodePageToUtf8(std::string_view bytes, TLanguageId language, char* out);
// A character without a byte in the code page becomes '?'. Throws std::invalid_argument for text
// that is not UTF-8.
std::string Utf8ToCodePage(const std::string& utf8, TLanguageId language);
// Nothing when the text is not UTF-8 or holds a character that the code page has no byte for.
std::optional<std::string> Utf8ToCodePageExactly(const std::string& utf8, TLanguageId language);
// `text` with its bytes that are not UTF-8 taken as bytes of the code page of `language`.
std::string PrintableText(const std::string& text, TLanguageId language);

}  // namespace tarvo
