// Little-endian reading and writing of integers, doubles and fixed-width short texts at a byte
// offset of a span. Every table file stores its numbers this way; these helpers are the only
// place that assembles them, so no code casts a packed struct over file bytes.
//
// Requires (asserted): off + width of the value <= span size. Callers pass spans whose size
// they checked against the layout they decode.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarvo {

using TBytes = std::span<std::byte>;
using TConstBytes = std::span<const std::byte>;

inline std::uint8_t GetU8(TConstBytes b, std::size_t off) {
  assert(off + 1 <= b.size());
  return static_cast<std::uint8_t>(b[off]);
}
inline void PutU8(TBytes b, std::size_t off, std::uint8_t v) {
  assert(off + 1 <= b.size());
  b[off] = static_cast<std::byte>(v);
}

inline std::uint16_t GetU16(TConstBytes b, std::size_t off) {
  assert(off + 2 <= b.size());
  return static_cast<std::uint16_t>(static_cast<unsigned>(b[off]) | static_cast<unsigned>(b[off + 1]) << 8);
}
inline void PutU16(TBytes b, std::size_t off, std::uint16_t v) {
  assert(off + 2 <= b.size());
  b[off] = static_cast<std::byte>(v & 0xFF);
  b[off + 1] = static_cast<std::byte>(v >> 8);
}
inline std::int16_t GetI16(TConstBytes b, std::size_t off) {
  return static_cast<std::int16_t>(GetU16(b, off));
}
inline void PutI16(TBytes b, std::size_t off, std::int16_t v) {
  PutU16(b, off, static_cast<std::uint16_t>(v));
}

inline std::uint32_t GetU32(TConstBytes b, std::size_t off) {
  assert(off + 4 <= b.size());
  std::uint32_t v = 0;
  for (std::size_t i = 4; i-- > 0;) v = v << 8 | static_cast<std::uint32_t>(b[off + i]);
  return v;
}
inline void PutU32(TBytes b, std::size_t off, std::uint32_t v) {
  assert(off + 4 <= b.size());
  for (std::size_t i = 0; i < 4; ++i, v >>= 8) b[off + i] = static_cast<std::byte>(v & 0xFF);
}
inline std::int32_t GetI32(TConstBytes b, std::size_t off) {
  return static_cast<std::int32_t>(GetU32(b, off));
}
inline void PutI32(TBytes b, std::size_t off, std::int32_t v) {
  PutU32(b, off, static_cast<std::uint32_t>(v));
}

inline std::uint64_t GetU64(TConstBytes b, std::size_t off) {
  assert(off + 8 <= b.size());
  std::uint64_t v = 0;
  for (std::size_t i = 8; i-- > 0;) v = v << 8 | static_cast<std::uint64_t>(b[off + i]);
  return v;
}
inline void PutU64(TBytes b, std::size_t off, std::uint64_t v) {
  assert(off + 8 <= b.size());
  for (std::size_t i = 0; i < 8; ++i, v >>= 8) b[off + i] = static_cast<std::byte>(v & 0xFF);
}
inline std::int64_t GetI64(TConstBytes b, std::size_t off) {
  return static_cast<std::int64_t>(GetU64(b, off));
}
inline void PutI64(TBytes b, std::size_t off, std::int64_t v) {
  PutU64(b, off, static_cast<std::uint64_t>(v));
}

// IEEE 754 binary64, stored little-endian.
double GetF64(TConstBytes b, std::size_t off);
void PutF64(TBytes b, std::size_t off, double v);

// Short text of `width` characters: one length byte, then `width` character bytes. Reading
// cuts a length byte above `width` to `width`; writing cuts the text to `width` characters and
// zero-fills the rest. The characters are bytes of the table's code page, taken as they are.
std::string GetShortText(TConstBytes b, std::size_t off, std::size_t width);
void PutShortText(TBytes b, std::size_t off, std::size_t width, std::string_view text);

// Copies `n` bytes at `off` out of, or into, a span.
std::string GetChars(TConstBytes b, std::size_t off, std::size_t n);
void PutChars(TBytes b, std::size_t off, std::string_view text);

// Sets `n` bytes at `off` to zero.
void ZeroFill(TBytes b, std::size_t off, std::size_t n);

}  // namespace tarvo
