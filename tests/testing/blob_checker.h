// Checks a blob file from its bytes alone, independently of the engine's cache and chain code:
// every chain the caller names is walked (pointers on the block grid, stamps, back pointers,
// total size only in the first block, full blocks but the last, the sum equal to the size), the
// free list is walked, and every block must lie in exactly one chain or on the free list.
// Returns the values read along the chains so that tests can compare them with their model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tarvo {
class TBlobFile;
}

namespace tarvo::testing {

struct TChainRef {
  std::int32_t first_block = 0;  // 0: an empty value, nothing to walk
  std::int32_t stamp = 0;
};

struct TBlobCheckReport {
  std::vector<std::string> problems;
  std::int64_t block_count = 0;  // (end offset - 512) / B
  std::int64_t free_blocks = 0;
  std::int64_t chain_blocks = 0;
  std::int64_t file_size = 0;
  std::map<std::int32_t, std::vector<std::byte>> values;  // by first block

  bool Ok() const { return problems.empty(); }
  // The problems, one a line, for a test's failure message.
  std::string Text() const;
};

// `file` holds the whole blob file; `encrypted` deciphers header and blocks with the record key.
TBlobCheckReport CheckBlobBytes(std::span<const std::byte> file, std::uint16_t block_size, bool encrypted,
                                std::span<const TChainRef> chains);

// Writes the file's modified blocks and header, then checks what is on the disk.
TBlobCheckReport CheckBlobFile(TBlobFile& file, std::span<const TChainRef> chains);

std::vector<std::byte> ReadFileBytes(const std::filesystem::path& path);

}  // namespace tarvo::testing
