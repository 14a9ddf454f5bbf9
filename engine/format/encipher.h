// The table files' enciphering: one XOR routine that serves both directions, and its two key
// pairs. Used only for encrypted tables (header byte Encrypted = 1): the header key pair covers
// the characters of the description and the password in the data header, the record key pair
// covers the whole field descriptor block, every record slot, and the index and blob files.
//
// Byte j (j = 0, 1, ...) of a block is XORed with ((k1 + j) mod 256) XOR ((k2 - j) mod 256). A
// block whose length has its low 16 bits all zero is left unchanged (a descriptor block of 256,
// 512, 768 or 1,024 fields, for example); other programs that share the files do the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarvo {

struct TCipherKey {
  std::uint8_t K1 = 0;
  std::uint8_t K2 = 0;
};

// Stored in files through what they encipher: never change. A table enciphered with other keys
// cannot be read.
inline constexpr TCipherKey kHeaderKey{0xA7, 0x3C};
inline constexpr TCipherKey kRecordKey{0x5E, 0xD1};

// Enciphers or deciphers `block` in place (the same call does both).
void Encipher(std::span<std::byte> block, TCipherKey key);

// The same over the characters of a text.
std::string EncipherText(std::string_view text, TCipherKey key);

// How many leading bytes of a descriptor block of `block_length` bytes are enciphered. Files
// written by older engines (EngineVersion 0) enciphered only the first `block_length` mod 65,536
// bytes; newer ones the whole block.
std::size_t DescriptorCipherLength(std::size_t block_length, std::int64_t engine_version);

}  // namespace tarvo
