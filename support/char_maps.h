// TLanguageCharMapsList: the process's cache of character maps, one per locale pair. A character
// map lists the 256 byte values in the locale's collating order (entry 0 sorts first, entry 255
// last); cursors take the first and last entries as the lowest and highest key characters.
// One list per process (LanguageCharMaps()); every lookup and insertion holds its guard, and a
// map is built while the guard is held, so a pair is built once however many threads ask.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "support/locale.h"

namespace tarvo {

// The map of a pair, built afresh: the identity for language 0 and for a pair that is not served;
// otherwise the bytes, starting in byte order, stably sorted by single-character collation with
// string sort, so bytes that collate equal (the ignorable ones) keep their byte order.
TCharMap BuildCharMap(TLanguageId language, TSortId sort);

class TLanguageCharMapsList {
 public:
  static constexpr std::size_t kInitialCapacity = 255;

  TLanguageCharMapsList() { maps_.reserve(kInitialCapacity); }
  TLanguageCharMapsList(const TLanguageCharMapsList&) = delete;
  TLanguageCharMapsList& operator=(const TLanguageCharMapsList&) = delete;

  // A copy of the pair's map, built and cached on first use.
  TCharMap GetCharMap(TLanguageId language, TSortId sort);
  // The number of pairs cached so far.
  std::size_t Count() const;

 private:
  struct TEntry {
    TLanguageId language;
    TSortId sort;
    TCharMap map;
  };

  mutable std::mutex guard_;
  std::vector<TEntry> maps_;  // Guarded by guard_.
};

// The list of the process.
TLanguageCharMapsList& LanguageCharMaps();

}  // namespace tarvo
