#include "support/locale.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <string>

#include "support/code_page.h"
#include "support/collation.h"

namespace tarvo {

namespace {

// Texts arrive as zero-terminated short texts: a text ends at its first zero byte, and `count`
// (when not 0) cuts it further.
std::string_view Terminated(std::string_view text, std::size_t count) {
  const std::size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  if (count != 0 && text.size() > count) text = text.substr(0, count);
  return text;
}

int Sign(int value) {
  return (value > 0) - (value < 0);
}

// Plain unsigned byte order over zero-terminated texts: the bytes are compared up to the first
// difference or the terminating zero of the shorter text (a text also ends with its view);
// `count` (when not 0) limits the bytes compared. With `upper` both sides are upper-cased first.
int CompareBytes(std::string_view text1, std::string_view text2, std::size_t count, const TCodePage* upper) {
  std::size_t limit = std::max(text1.size(), text2.size());
  if (count != 0) limit = std::min(limit, count);
  for (std::size_t i = 0; i < limit; ++i) {
    std::uint8_t a = i < text1.size() ? static_cast<std::uint8_t>(text1[i]) : 0;
    std::uint8_t b = i < text2.size() ? static_cast<std::uint8_t>(text2[i]) : 0;
    if (upper != nullptr) {
      a = upper->ToUpper(a);
      b = upper->ToUpper(b);
    }
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) break;
  }
  return 0;
}

// Up to kInline characters of a text as UTF-16 on the stack, longer ones on the heap.
class TWideText {
 public:
  TWideText(const TCodePage& page, std::string_view text) : length_(text.size()) {
    if (length_ > kInline) heap_.resize(length_);
    char16_t* out = Data();
    for (std::size_t i = 0; i < length_; ++i) out[i] = page.ToUnicode(static_cast<std::uint8_t>(text[i]));
  }
  TWideText(const TWideText&) = delete;
  TWideText& operator=(const TWideText&) = delete;

  const UChar* Chars() const {
    return reinterpret_cast<const UChar*>(length_ > kInline ? heap_.data() : inline_);
  }
  int32_t Length() const { return static_cast<int32_t>(length_); }

 private:
  static constexpr std::size_t kInline = 256;
  char16_t* Data() { return length_ > kInline ? heap_.data() : inline_; }

  std::size_t length_;
  char16_t inline_[kInline];
  std::u16string heap_;
};

int Collate(const UCollator* collator, const TCodePage& page, std::string_view text1,
            std::string_view text2) {
  const TWideText wide1(page, text1);
  const TWideText wide2(page, text2);
  switch (ucol_strcoll(collator, wide1.Chars(), wide1.Length(), wide2.Chars(), wide2.Length())) {
    case UCOL_LESS: return -1;
    case UCOL_GREATER: return 1;
    default: return 0;
  }
}

template <typename TMap>
std::string MapBytes(std::string_view text, TMap map) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(map(static_cast<std::uint8_t>(c)));
  return result;
}

}  // namespace

std::uint32_t LocaleId(TLanguageId language, TSortId sort) {
  return (static_cast<std::uint32_t>(sort) << 16) | language;
}

bool LocaleIsValid(TLanguageId language, TSortId sort) {
  return language == 0 || FindCollator(language, sort, kTextCompareFlags) != nullptr;
}

std::string UpperCase(TLanguageId language, TSortId /*sort*/, std::string_view text) {
  const TCodePage& page = CodePageFor(language);
  return MapBytes(text, [&page](std::uint8_t b) { return page.ToUpper(b); });
}

std::string LowerCase(TLanguageId language, TSortId /*sort*/, std::string_view text) {
  const TCodePage& page = CodePageFor(language);
  return MapBytes(text, [&page](std::uint8_t b) { return page.ToLower(b); });
}

int CompareText(TLanguageId language, TSortId sort, std::string_view text1, bool case_insensitive,
                std::size_t count, std::string_view text2) {
  if (language != 0) {
    const TCompareFlags flags = kTextCompareFlags | (case_insensitive ? kIgnoreCase : 0);
    if (const UCollator* collator = FindCollator(language, sort, flags)) {
      text1 = Terminated(text1, count);
      text2 = Terminated(text2, count);
      if (text1 == text2) return 0;  // the same characters always collate equal
      return Collate(collator, CodePageFor(language), text1, text2);
    }
    // A locale that is not served has no order of its own: such tables are refused when they
    // open, and everything else falls back to byte order.
  }
  return CompareBytes(text1, text2, count, case_insensitive ? &CodePageFor(language) : nullptr);
}

int CompareChar(TLanguageId language, TSortId sort, std::uint8_t c1, std::uint8_t c2) {
  if (language != 0) {
    if (const UCollator* collator = FindCollator(language, sort, kTextCompareFlags)) {
      const TCodePage& page = CodePageFor(language);
      const UChar u1 = page.ToUnicode(c1);
      const UChar u2 = page.ToUnicode(c2);
      switch (ucol_strcoll(collator, &u1, 1, &u2, 1)) {
        case UCOL_LESS: return -1;
        case UCOL_GREATER: return 1;
        default: return 0;
      }
    }
  }
  return Sign(static_cast<int>(c1) - static_cast<int>(c2));
}

}  // namespace tarvo
