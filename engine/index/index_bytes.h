// Little-endian reads and writes of integers at a byte offset of a span, for the index and blob
// file codecs. Kept in their own namespace so that they never clash with the data file's helpers.
// Every call checks its bounds with an assert: callers check offsets against the span first.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo::index_bytes {

inline std::uint8_t GetU8(std::span<const std::byte> b, std::size_t off) {
  assert(off < b.size());
  return static_cast<std::uint8_t>(b[off]);
}

inline std::uint16_t GetU16(std::span<const std::byte> b, std::size_t off) {
  assert(off + 2 <= b.size());
  return static_cast<std::uint16_t>(static_cast<unsigned>(b[off]) | (static_cast<unsigned>(b[off + 1]) << 8));
}

inline std::uint32_t GetU32(std::span<const std::byte> b, std::size_t off) {
  assert(off + 4 <= b.size());
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

inline std::int32_t GetI32(std::span<const std::byte> b, std::size_t off) {
  return static_cast<std::int32_t>(GetU32(b, off));
}

inline void PutU8(std::span<std::byte> b, std::size_t off, std::uint8_t v) {
  assert(off < b.size());
  b[off] = static_cast<std::byte>(v);
}

inline void PutU16(std::span<std::byte> b, std::size_t off, std::uint16_t v) {
  assert(off + 2 <= b.size());
  b[off] = static_cast<std::byte>(v & 0xFF);
  b[off + 1] = static_cast<std::byte>(v >> 8);
}

inline void PutU32(std::span<std::byte> b, std::size_t off, std::uint32_t v) {
  assert(off + 4 <= b.size());
  b[off] = static_cast<std::byte>(v & 0xFF);
  b[off + 1] = static_cast<std::byte>((v >> 8) & 0xFF);
  b[off + 2] = static_cast<std::byte>((v >> 16) & 0xFF);
  b[off + 3] = static_cast<std::byte>(v >> 24);
}

inline void PutI32(std::span<std::byte> b, std::size_t off, std::int32_t v) {
  PutU32(b, off, static_cast<std::uint32_t>(v));
}

}  // namespace tarvo::index_bytes
