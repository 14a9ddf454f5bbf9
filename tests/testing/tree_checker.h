// Checks of index trees for tests: the shape of one B+-tree of an open index file, and the
// agreement of a whole table's indexes with its records. Every finding is a line of text; an
// empty list means the check passed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/index_tree.h"

namespace tarvo {
class TDataTable;
}

namespace tarvo::testing {

struct TLeafEntry {
  TKey key;
  std::int32_t record = 0;
  bool operator==(const TLeafEntry&) const = default;
};

struct TTreeReport {
  std::vector<std::string> errors;
  std::vector<TLeafEntry> entries;  // the leaf level in index order
  int depth = 0;                    // levels; 0 for an empty index
  int pages = 0;                    // pages in the tree
  int free_pages = 0;               // pages on the index's free chain
  bool Ok() const { return errors.empty(); }
  std::string Text() const;  // the errors, one per line
};

// Walks the tree of `tree`'s index with the engine's own check (engine/index/tree_check.h) and
// gives its findings and the leaf level.
TTreeReport CheckIndexTree(TIndexTree& tree);

// The record image of a slot (1 .. slot count), deciphered.
using TRecordReader = std::function<std::vector<std::byte>(std::int32_t slot)>;
// Reads record images straight from the table's data file.
TRecordReader FileRecordReader(TDataTable& table);

// The slots of the indexes in use: 0 unless the table has no primary index, 1 .. the number of
// secondary indexes; 31 ("Sys Deleted") when `with_sys_deleted`.
std::vector<int> IndexSlots(TDataTable& table, bool with_sys_deleted);

// CheckIndexTree on every index of the table, slot 31 included.
std::vector<std::string> CheckAllIndexTrees(TDataTable& table);
// Every index in use holds exactly one key per record in use: the key built from the record,
// with the record's slot number.
std::vector<std::string> CheckOneKeyPerRecord(TDataTable& table, const TRecordReader& read);
// "Sys Deleted" holds exactly one key per record slot, in use or deleted.
std::vector<std::string> CheckSysDeletedKeys(TDataTable& table, const TRecordReader& read);
// The active record count of the index header equals the records in use.
std::vector<std::string> CheckActiveRecordCount(TDataTable& table, const TRecordReader& read);

// Hex of a key for messages.
std::string KeyText(std::span<const std::byte> key);

}  // namespace tarvo::testing
