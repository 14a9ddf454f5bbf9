// Tables for the tests of the maintenance program, made by the `tarvo` tool (create + import) as a
// user would make them, and a few looks at files: their bytes, the rows of a table, and whether the
// maintenance operations of this build are still the unfinished ones.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::testing {

// What a table may have beyond the plain one.
struct TTableExtras {
  std::string password;  // not empty: the table is encrypted with it
  int number_type = 0;   // not 0: a field "Number" of this engine type code comes last
};

// A table with an auto-increment primary key, a text field with a secondary index and a memo
// (blob) field, holding `records` rows. `file_name` is the data file's name as it should appear
// in the directory (e.g. "A.dat").
void MakeTable(const std::filesystem::path& directory, const std::string& file_name, int records,
               const TTableExtras& extras = {});

// The rows of a table as `tarvo export` writes them.
std::string ExportRows(const std::filesystem::path& data_file, const std::string& password = "");

// The whole content of a file ("" when missing).
std::string FileBytes(const std::filesystem::path& file);

// The names in a directory, sorted.
std::vector<std::string> DirectoryNames(const std::filesystem::path& directory);

}  // namespace tarvo::testing
