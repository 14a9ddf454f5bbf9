#include "support/char_maps.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <numeric>

#include "support/code_page.h"
#include "support/collation.h"

namespace tarvo {

TCharMap BuildCharMap(TLanguageId language, TSortId sort) {
  // 1. One entry per byte value, in byte order.
  TCharMap map;
  std::iota(map.begin(), map.end(), std::uint8_t{0});
  if (language == 0) return map;
  const UCollator* collator = FindCollator(language, sort, kStringSort);
  if (collator == nullptr) return map;

  // 2. Stable sort by the collation of the single characters.
  const TCodePage& page = CodePageFor(language);
  std::stable_sort(map.begin(), map.end(), [collator, &page](std::uint8_t a, std::uint8_t b) {
    const UChar ua = page.ToUnicode(a);
    const UChar ub = page.ToUnicode(b);
    return ucol_strcoll(collator, &ua, 1, &ub, 1) == UCOL_LESS;
  });
  return map;
}

TCharMap TLanguageCharMapsList::GetCharMap(TLanguageId language, TSortId sort) {
  std::lock_guard<std::mutex> lock(guard_);
  for (const TEntry& entry : maps_) {
    if (entry.language == language && entry.sort == sort) return entry.map;
  }
  maps_.push_back({language, sort, BuildCharMap(language, sort)});
  return maps_.back().map;
}

std::size_t TLanguageCharMapsList::Count() const {
  std::lock_guard<std::mutex> lock(guard_);
  return maps_.size();
}

TLanguageCharMapsList& LanguageCharMaps() {
  static TLanguageCharMapsList* list = new TLanguageCharMapsList();  // never destroyed
  return *list;
}

TCharMap GetCharMap(TLanguageId language, TSortId sort) {
  if (language == 0) return BuildCharMap(0, 0);  // byte order needs no cache
  return LanguageCharMaps().GetCharMap(language, sort);
}

}  // namespace tarvo
