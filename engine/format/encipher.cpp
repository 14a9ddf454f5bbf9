#include "engine/format/encipher.h"

namespace tarvo {

namespace {

std::uint8_t KeyByte(TCipherKey key, std::size_t j) {
  const auto low = static_cast<std::uint8_t>(j & 0xFF);
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(key.K1 + low) ^
                                   static_cast<std::uint8_t>(key.K2 - low));
}

}  // namespace

void Encipher(std::span<std::byte> block, TCipherKey key) {
  if ((block.size() & 0xFFFF) == 0) return;
  for (std::size_t j = 0; j < block.size(); ++j) block[j] ^= static_cast<std::byte>(KeyByte(key, j));
}

std::string EncipherText(std::string_view text, TCipherKey key) {
  std::string out(text);
  Encipher(std::as_writable_bytes(std::span<char>(out.data(), out.size())), key);
  return out;
}

std::size_t DescriptorCipherLength(std::size_t block_length, std::int64_t engine_version) {
  return engine_version == 0 ? block_length % 65536 : block_length;
}

}  // namespace tarvo
