#include "support/collation.h"

#include <unicode/uloc.h>

#include <array>
#include <mutex>
#include <unordered_map>

#include "support/code_page.h"

namespace tarvo {

namespace {

constexpr unsigned kPrimaryGerman = 0x07;
constexpr TSortId kSortPhoneBook = 1;

// ICU's locale of a Windows locale identifier; empty when ICU does not know it.
std::string LocaleForLcid(std::uint32_t lcid) {
  char name[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getLocaleForLCID(lcid, name, sizeof(name), &status);
  if (U_FAILURE(status) || length <= 0 || length >= static_cast<int32_t>(sizeof(name))) return {};
  return std::string(name, static_cast<std::size_t>(length));
}

// Opens and configures the collator of an ICU locale; nullptr on failure.
UCollator* OpenCollator(const std::string& locale, TCompareFlags flags) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale.c_str(), &status);  // fallback warnings are normal
  if (U_FAILURE(status)) {
    if (collator != nullptr) ucol_close(collator);
    return nullptr;
  }
  ucol_setAttribute(collator, UCOL_ALTERNATE_HANDLING,
                    (flags & kStringSort) != 0 ? UCOL_NON_IGNORABLE : UCOL_SHIFTED, &status);
  if ((flags & kIgnoreNonspace) != 0) {
    ucol_setStrength(collator, UCOL_PRIMARY);
    ucol_setAttribute(collator, UCOL_CASE_LEVEL, (flags & kIgnoreCase) != 0 ? UCOL_OFF : UCOL_ON, &status);
  } else if ((flags & kIgnoreCase) != 0) {
    ucol_setStrength(collator, UCOL_SECONDARY);
  } else {
    ucol_setStrength(collator, UCOL_TERTIARY);
  }
  if (U_FAILURE(status)) {
    ucol_close(collator);
    return nullptr;
  }
  return collator;
}

std::uint64_t CacheKey(TLanguageId language, TSortId sort, TCompareFlags flags) {
  return (static_cast<std::uint64_t>(LocaleId(language, sort)) << 32) | flags;
}

// Every collator opened so far, and the pairs found not served (nullptr). Never destroyed:
// collators handed out stay valid while other statics are torn down.
class TCollatorRegistry {
 public:
  static TCollatorRegistry& Get() {
    static TCollatorRegistry* registry = new TCollatorRegistry();
    return *registry;
  }

  const UCollator* Find(TLanguageId language, TSortId sort, TCompareFlags flags) {
    const std::uint64_t key = CacheKey(language, sort, flags);
    std::lock_guard<std::mutex> lock(guard_);
    const auto it = collators_.find(key);
    if (it != collators_.end()) return it->second;
    const std::string locale = IcuLocaleName(language, sort);
    UCollator* collator = locale.empty() ? nullptr : OpenCollator(locale, flags);
    collators_.emplace(key, collator);
    return collator;
  }

 private:
  std::mutex guard_;
  std::unordered_map<std::uint64_t, UCollator*> collators_;  // Guarded by guard_. Owned.
};

// The last collators this thread used, so that repeated comparisons take no lock.
struct TRecentCollators {
  static constexpr std::size_t kSize = 4;
  std::array<std::uint64_t, kSize> keys{};
  std::array<const UCollator*, kSize> collators{};
  std::array<bool, kSize> used{};
  std::size_t next = 0;
};

}  // namespace

std::string IcuLocaleName(TLanguageId language, TSortId sort) {
  const unsigned primary = language & 0x3FFu;
  const unsigned sub = language >> 10;
  if (primary == 0 || CodePageOfLanguage(language) == 0) return {};

  // ICU answers an unknown sub-language with the bare language: such an id is not served.
  const std::string base = LocaleForLcid(language);
  if (base.empty()) return {};
  if (sub != 0 && base == LocaleForLcid(primary)) return {};
  if (sort == 0) return base;

  // The same holds for an unknown sort id.
  const std::string full = LocaleForLcid(LocaleId(language, sort));
  if (!full.empty() && full != base && full.find("@collation=") != std::string::npos) return full;
  if (sort == kSortPhoneBook && primary == kPrimaryGerman) return base + "@collation=phonebook";
  return {};
}

const UCollator* FindCollator(TLanguageId language, TSortId sort, TCompareFlags flags) {
  thread_local TRecentCollators recent;
  const std::uint64_t key = CacheKey(language, sort, flags);
  for (std::size_t i = 0; i < TRecentCollators::kSize; ++i) {
    if (recent.used[i] && recent.keys[i] == key) return recent.collators[i];
  }
  const UCollator* collator = TCollatorRegistry::Get().Find(language, sort, flags);
  const std::size_t slot = recent.next;
  recent.next = (recent.next + 1) % TRecentCollators::kSize;
  recent.keys[slot] = key;
  recent.collators[slot] = collator;
  recent.used[slot] = true;
  return collator;
}

}  // namespace tarvo
