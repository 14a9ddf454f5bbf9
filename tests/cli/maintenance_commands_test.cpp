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

}  // namespace
}  // namespace tarvo
