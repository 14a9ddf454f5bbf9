#include "tests/runs/maintenance_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "tests/testing/run_cli.h"

namespace tarvo::testing {

namespace {

std::string Definition(const TTableExtras& extras) {
  std::string fields = R"({"name": "ID", "type": "autoinc"},
             {"name": "Name", "type": "text", "size": 30},
             {"name": "Notes", "type": "memo"})";
  if (extras.number_type != 0) {
    fields += R"(, {"name": "Number", "type": )" + std::to_string(extras.number_type) + "}";
  }
  std::string encryption;
  if (!extras.password.empty())
    encryption = R"("encrypted": true, "password": ")" + extras.password + R"(",)";
  return R"({"blob_block_size": 512, )" + encryption + R"( "fields": [)" + fields + R"(],
  "primary": ["ID"],
  "indexes": [{"name": "ByName", "fields": ["Name"], "case_insensitive": true}]})";
}

// The tool's arguments with the password first, when there is one.
std::vector<std::string> WithPassword(const std::string& password, std::vector<std::string> args) {
  if (!password.empty()) args.insert(args.begin(), {"--password", password});
  return args;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace

void MakeTable(const std::filesystem::path& directory, const std::string& file_name, int records,
               const TTableExtras& extras) {
  const std::filesystem::path scratch =
      std::filesystem::temp_directory_path() / ("tarvo-app-" + std::to_string(::getpid()) + "-" + file_name);
  std::filesystem::create_directories(scratch);
  WriteFile(scratch / "definition.json", Definition(extras));
  const std::string table = (directory / file_name).string();
  const TCliResult created =
      RunCli({"create", table, "--definition", (scratch / "definition.json").string()});
  ASSERT_EQ(0, created.status) << created.err;
  if (records > 0) {
    std::string rows;
    for (int i = 1; i <= records; ++i) {
      rows += R"({"Name": "Name )" + std::to_string(records - i) + R"(", "Notes": ")" +
              std::string(static_cast<std::size_t>(50 + i * 37 % 900), static_cast<char>('a' + i % 26)) +
              "\"}\n";
    }
    WriteFile(scratch / "rows.jsonl", rows);
    const TCliResult imported =
        RunCli(WithPassword(extras.password, {"import", table, (scratch / "rows.jsonl").string()}));
    ASSERT_EQ(0, imported.status) << imported.err;
  }
  std::filesystem::remove_all(scratch);
  // The tool names the data file NAME.DAT: give it the letter case asked for.
  const std::string stem = std::filesystem::path(file_name).stem().string();
  const std::filesystem::path made = directory / (stem + ".DAT");
  if (made.filename() != file_name && std::filesystem::exists(made)) {
    std::filesystem::rename(made, directory / file_name);
  }
}

std::string ExportRows(const std::filesystem::path& data_file, const std::string& password) {
  const TCliResult exported = RunCli(WithPassword(password, {"export", data_file.string()}));
  EXPECT_EQ(0, exported.status) << exported.err;
  return exported.out;
}

std::string FileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> DirectoryNames(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarvo::testing
