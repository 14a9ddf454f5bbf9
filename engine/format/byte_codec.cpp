#include "engine/format/byte_codec.h"

#include <algorithm>
#include <bit>

namespace tarvo {

double GetF64(TConstBytes b, std::size_t off) {
  return std::bit_cast<double>(GetU64(b, off));
}

void PutF64(TBytes b, std::size_t off, double v) {
  PutU64(b, off, std::bit_cast<std::uint64_t>(v));
}

std::string GetShortText(TConstBytes b, std::size_t off, std::size_t width) {
  assert(off + 1 + width <= b.size());
  const std::size_t length = std::min<std::size_t>(GetU8(b, off), width);
  return GetChars(b, off + 1, length);
}

void PutShortText(TBytes b, std::size_t off, std::size_t width, std::string_view text) {
  assert(off + 1 + width <= b.size());
  assert(width <= 255);
  const std::string_view cut = text.substr(0, std::min(text.size(), width));
  PutU8(b, off, static_cast<std::uint8_t>(cut.size()));
  PutChars(b, off + 1, cut);
  ZeroFill(b, off + 1 + cut.size(), width - cut.size());
}

std::string GetChars(TConstBytes b, std::size_t off, std::size_t n) {
  assert(off + n <= b.size());
  std::string text(n, '\0');
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>(b[off + i]);
  return text;
}

void PutChars(TBytes b, std::size_t off, std::string_view text) {
  assert(off + text.size() <= b.size());
  for (std::size_t i = 0; i < text.size(); ++i) b[off + i] = static_cast<std::byte>(text[i]);
}

void ZeroFill(TBytes b, std::size_t off, std::size_t n) {
  assert(off + n <= b.size());
  std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(off), n, std::byte{0});
}

}  // namespace tarvo
