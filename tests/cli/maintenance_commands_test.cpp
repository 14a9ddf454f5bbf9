// `tarvo optimize` and `tarvo restructure` on the Kunden fixture.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::RunCli;
using testing::TTempDir;

TEST(MaintenanceCommandsTest, OptimizeAndRestructure) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::string table = dir.File("Kunden.DAT");
  auto r = RunCli({"optimize", table, "--index", "NoSuchIndex"});
  EXPECT_EQ(r.status, 2) << r.err;
  r = RunCli({"optimize", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("178 records"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::exists(dir.File("Kunden.DBK")));
  // The definition of `info --json`, with the field Count turned into a text.
  r = RunCli({"info", table, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json info = nlohmann::json::parse(r.out);
  nlohmann::json definition = info["definition"];
  for (auto& field : definition["fields"]) {
    if (field["name"] == "Count") field = {{"name", "Count"}, {"type", "text"}, {"size", 12}};
  }
  {
    std::ofstream out(dir.File("def.json"));
    out << definition.dump();
  }
  r = RunCli({"restructure", table, "--definition", dir.File("def.json"), "--no-backup"});
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("records copied"), std::string::npos) << r.out;
  r = RunCli({"info", table, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["records_in_use"], 178);
}

// A record that the new definition refuses is reported and left out: never a success.
TEST(MaintenanceCommandsTest, ARestructureThatLeavesARecordOutFails) {
  TTempDir dir;
  const std::string table = dir.File("T.DAT");
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream out(dir.File(name));
    out << text;
  };
  write("def.json", R"({"fields": [{"name": "ID", "type": "autoinc"}, {"name": "N", "type": "integer"}],
                        "primary": ["ID"]})");
  write("rows.jsonl", "{\"N\": 1}\n{\"N\": 5}\n");
  write("max.json",
        R"({"fields": [{"name": "ID", "type": "autoinc"}, {"name": "N", "type": "integer", "max": "3"}],
                        "primary": ["ID"]})");
  ASSERT_EQ(RunCli({"create", table, "--definition", dir.File("def.json")}).status, 0);
  ASSERT_EQ(RunCli({"import", table, dir.File("rows.jsonl")}).status, 0);
  const auto r = RunCli({"restructure", table, "--definition", dir.File("max.json")});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("data lost: ValidityViolation (2): N"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("left out 1 record"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tarvo
