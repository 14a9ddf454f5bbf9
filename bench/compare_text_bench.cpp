// CompareText over one million pairs of short texts, without a language (byte order) and under
// German (Standard), with and without case.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/locale.h"

namespace tarvo {
namespace {

constexpr std::size_t kPairs = 1'000'000;

// Deterministic pairs of windows-1252 texts, 3 to 20 characters: the second text of a pair is
// often the first one changed in one place (case, an umlaut, a letter), so comparisons go deep.
class TTextPairs {
 public:
  TTextPairs() {
    static constexpr std::string_view kAlphabet =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ \xE4\xF6\xFC\xDF\xC4\xD6\xDC-0123456789";
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
      state = state * 6364136223846793005u + 1442695040888963407u;
      return static_cast<std::uint32_t>(state >> 33);
    };
    text_.reserve(kPairs * 24);
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    spans.reserve(kPairs * 2);
    for (std::size_t i = 0; i < kPairs; ++i) {
      std::string a(3 + next() % 18, ' ');
      for (char& c : a) c = kAlphabet[next() % kAlphabet.size()];
      std::string b = a;
      switch (next() % 4) {
        case 0: break;  // equal
        case 1: b[next() % b.size()] = kAlphabet[next() % kAlphabet.size()]; break;
        case 2: b.push_back(kAlphabet[next() % kAlphabet.size()]); break;
        default:
          for (char& c : b) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
          break;
      }
      for (const std::string* s : {&a, &b}) {
        spans.emplace_back(text_.size(), s->size());
        text_ += *s;
      }
    }
    for (std::size_t i = 0; i < kPairs; ++i) {
      pairs_.emplace_back(View(spans[2 * i]), View(spans[2 * i + 1]));
    }
  }

  const std::vector<std::pair<std::string_view, std::string_view>>& Pairs() const { return pairs_; }

 private:
  std::string_view View(std::pair<std::size_t, std::size_t> span) const {
    return std::string_view(text_).substr(span.first, span.second);
  }

  std::string text_;
  std::vector<std::pair<std::string_view, std::string_view>> pairs_;
};

const TTextPairs& Pairs() {
  static const TTextPairs pairs;
  return pairs;
}

void BM_CompareText(benchmark::State& state) {
  const auto language = static_cast<TLanguageId>(state.range(0));
  const bool case_insensitive = state.range(1) != 0;
  const auto& pairs = Pairs().Pairs();
  CompareText(language, 0, "a", case_insensitive, 0, "b");  // opens the collator
  for (auto _ : state) {
    int sum = 0;
    for (const auto& [a, b] : pairs) sum += CompareText(language, 0, a, case_insensitive, 0, b);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pairs.size()));
}

// The floor: walking the pairs with a comparison that reads one byte.
void BM_WalkPairs(benchmark::State& state) {
  const auto& pairs = Pairs().Pairs();
  for (auto _ : state) {
    int sum = 0;
    for (const auto& [a, b] : pairs) sum += (a[0] < b[0]) - (a[0] > b[0]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pairs.size()));
}

BENCHMARK(BM_WalkPairs)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_CompareText)
    ->ArgNames({"language", "ignore_case"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0x0407, 0})
    ->Args({0x0407, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvo

BENCHMARK_MAIN();
