// `tarvo create` and `tarvo info`, run as processes against the fixtures of the independent
// implementation.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using nlohmann::json;
using testing::RunCli;
using testing::TTempDir;

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path, std::size_t count = SIZE_MAX) {
  std::ifstream f(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() > count) bytes.resize(count);
  return bytes;
}

json ReadJson(const std::filesystem::path& path) {
  std::ifstream f(path);
  return json::parse(f);
}

struct TFixture {
  const char* folder;
  const char* table;
  int records_in_use;
};

constexpr TFixture kFixtures[] = {
    {"basic", "Kunden", 178}, {"noprimary", "Journal", 120}, {"blocks1024", "Notizen", 225}};

// The type names of the fixtures' schemas as the type codes that `info` prints.
json Canonical(json field) {
  static const std::map<std::string, std::pair<int, int>> names = {
      {"autoinc", {6, 29}}, {"date", {2, 0}},      {"boolean", {4, 0}},
      {"smallint", {5, 0}}, {"integer", {6, 0}},   {"float", {7, 0}},
      {"time", {10, 0}},    {"datetime", {11, 0}}, {"word", {12, 0}}};
  if (field["type"].is_string()) {
    const auto [type, subtype] = names.at(field["type"].get<std::string>());
    field["type"] = type;
    if (subtype != 0) field["subtype"] = subtype;
  }
  return field;
}

TEST(CreateInfoTest, CreatedTablesMatchTheFixturesByteForByte) {
  for (const TFixture& fixture : kFixtures) {
    SCOPED_TRACE(fixture.folder);
    TTempDir dir;
    const auto fixture_dir = testing::FixturesDir() / fixture.folder;
    const std::string schema = (fixture_dir / (std::string(fixture.table) + ".schema.json")).string();
    const std::string table = dir.File(std::string(fixture.table) + ".DAT");
    const auto result = RunCli({"create", table, "--definition", schema});
    ASSERT_EQ(0, result.status) << result.err;

    // Header and descriptors equal the fixture's but for the counters of records and writes.
    const auto ours = ReadBytes(table);
    const auto theirs = ReadBytes(fixture_dir / (std::string(fixture.table) + ".DAT"), ours.size());
    ASSERT_EQ(ours.size(), theirs.size());
    const std::set<std::size_t> counters = {9,  10, 11, 12, 13, 14, 15, 16, 17,  18,  19,  20,
                                            27, 28, 29, 30, 31, 32, 33, 34, 112, 113, 114, 115};
    for (std::size_t i = 0; i < ours.size(); ++i) {
      if (counters.count(i) == 0) {
        EXPECT_EQ(theirs[i], ours[i]) << "data file byte " << i;
      }
    }
    // The index header's definitions equal the fixture's (roots, next page and counts differ).
    const auto our_index = ReadBytes(dir.File(std::string(fixture.table) + ".IDX"));
    const auto their_index = ReadBytes(fixture_dir / (std::string(fixture.table) + ".IDX"), 4096);
    ASSERT_EQ(4096u, our_index.size());
    for (std::size_t slot = 0; slot < 33; ++slot) {
      for (std::size_t b = 0; b < 86; ++b) {
        const std::size_t at = 14 + slot * 120 + b;
        EXPECT_EQ(their_index[at], our_index[at]) << "slot " << slot << " byte " << b;
      }
    }
    EXPECT_EQ(their_index[13], our_index[13]);
    EXPECT_EQ(their_index[3978], our_index[3978]);
  }
}

TEST(CreateInfoTest, InfoDescribesEveryFixtureAsItsSchemaSays) {
  for (const TFixture& fixture : kFixtures) {
    SCOPED_TRACE(fixture.folder);
    TTempDir dir;
    testing::CopyFixture(fixture.folder, dir.Path());
    // Any letter case finds the table.
    std::string upper = fixture.table;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto result = RunCli({"info", dir.File(upper + ".dat"), "--json"});
    ASSERT_EQ(0, result.status) << result.err;
    const json info = json::parse(result.out);
    const json schema = ReadJson(dir.Path() / (std::string(fixture.table) + ".schema.json"));
    const json& definition = info["definition"];
    EXPECT_EQ(schema["description"], definition["description"]);
    EXPECT_EQ(schema["blob_block_size"], definition["blob_block_size"]);
    ASSERT_EQ(schema["fields"].size(), definition["fields"].size());
    for (std::size_t i = 0; i < schema["fields"].size(); ++i) {
      EXPECT_EQ(Canonical(schema["fields"][i]), definition["fields"][i]);
    }
    EXPECT_EQ(schema["primary"], definition["primary"]);
    ASSERT_EQ(schema["indexes"].size(), definition["indexes"].size());
    for (std::size_t i = 0; i < schema["indexes"].size(); ++i) {
      for (const auto& [key, value] : schema["indexes"][i].items()) {
        EXPECT_EQ(value, definition["indexes"][i][key]) << key;
      }
    }
    EXPECT_EQ(fixture.records_in_use, info["records_in_use"]);
    EXPECT_EQ(fixture.records_in_use, info["header"]["active_record_count"]);
  }
}

TEST(CreateInfoTest, BadDefinitionsAreRefusedAndCreateNothing) {
  TTempDir dir;
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir.File(name)) << text;
    return dir.File(name);
  };
  const std::string table = dir.File("T.DAT");
  struct TCase {
    const char* text;
    const char* message;
  };
  const TCase cases[] = {
      {R"({"fields": [{"name": "A", "type": "nonsense"}]})", "unknown type"},
      {R"({"fields": [{"name": "A", "type": 1, "size": 10}, {"name": "a", "type": 2}]})",
       "Engine Error # 10038"},
      {R"({"fields": [{"name": "A", "type": 1}]})", "Engine Error # 10000"},
      {R"({"fields": [{"name": "A", "type": 2}], "primary": ["B"]})", "Engine Error # 9985"},
      {R"({"fields": [{"name": "A", "type": "memo"}], "primary": ["A"]})", "Engine Error # 12292"},
      {R"({"fields": [{"name": "1A", "type": 2}]})", "Engine Error # 10038"},
      {R"({"fields": [{"name": "A", "type": "date", "min": "yesterday"}]})", "Engine Error # 10006"},
      {R"({"fields": [{"name": "A", "type": 2}], "indexes": [{"name": "", "fields": ["A"]}]})",
       "Engine Error # 10010"},
      {R"({"fields": [{"name": "A", "type": 2}], "language_id": 255})", "Engine Error # 15878"},
      {R"({"fields": [)", "not valid JSON"},
      {R"([1, 2])", "JSON object"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto result = RunCli({"create", table, "--definition", write("d.json", c.text)});
    EXPECT_EQ(2, result.status);
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    EXPECT_FALSE(std::filesystem::exists(table));
    EXPECT_FALSE(std::filesystem::exists(dir.File("T.IDX")));
  }
  EXPECT_EQ(2, RunCli({"create", table, "--definition", dir.File("missing.json")}).status);
  EXPECT_EQ(2, RunCli({"create", table}).status);
}

TEST(CreateInfoTest, AnExistingTableIsNotReplaced) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const auto before = ReadBytes(dir.File("Kunden.DAT"));
  const auto result =
      RunCli({"create", dir.File("kunden.dat"), "--definition", dir.File("Kunden.schema.json")});
  EXPECT_EQ(2, result.status);
  EXPECT_NE(std::string::npos, result.err.find("13060")) << result.err;
  EXPECT_EQ(before, ReadBytes(dir.File("Kunden.DAT")));
}

TEST(CreateInfoTest, OfCreatorsOfOneTableAtOnceExactlyOneWins) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::string schema = dir.File("Kunden.schema.json");
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string table = dir.File("T" + std::to_string(round) + ".DAT");
    std::vector<testing::TCliResult> results(4);
    std::vector<std::thread> creators;
    for (auto& result : results)
      creators.emplace_back([&] { result = RunCli({"create", table, "--definition", schema}); });
    for (std::thread& t : creators) t.join();
    int winners = 0;
    for (const auto& result : results) {
      winners += result.status == 0;
      if (result.status != 0) {
        EXPECT_EQ(2, result.status) << result.err;
        EXPECT_NE(std::string::npos, result.err.find("13060")) << result.err;
      }
    }
    EXPECT_EQ(1, winners);
    EXPECT_EQ(0, RunCli({"verify", table}).status);
  }
}

TEST(CreateInfoTest, InfoOfWhatIsNoTable) {
  TTempDir dir;
  std::ofstream(dir.File("junk.DAT")) << "not a table at all";
  const auto junk = RunCli({"info", dir.File("junk.DAT")});
  EXPECT_EQ(2, junk.status);
  EXPECT_NE(std::string::npos, junk.err.find("8961")) << junk.err;
  const auto missing = RunCli({"info", dir.File("none.DAT")});
  EXPECT_EQ(2, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("11010")) << missing.err;
}

// A list of fields longer than a table holds is refused at its first surplus field: what
// follows it is not even read (here it is no JSON at all).
TEST(CreateInfoTest, TooManyFieldsAreRefusedAsTheyAreRead) {
  TTempDir dir;
  std::string definition = "{\"fields\": [";
  for (int i = 1; i <= 1025; ++i) definition += "{\"name\": \"F" + std::to_string(i) + "\", \"type\": 4}, ";
  definition += std::string(100000, '#');
  std::ofstream(dir.File("def.json")) << definition;
  const auto result = RunCli({"create", dir.File("T.DAT"), "--definition", dir.File("def.json")});
  EXPECT_EQ(2, result.status);
  EXPECT_NE(std::string::npos, result.err.find("more than 1024 fields")) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("T.DAT")));
}

TEST(CliTest, HelpAndVersion) {
  EXPECT_EQ(0, RunCli({"--version"}).status);
  const auto overview = RunCli({});
  EXPECT_EQ(0, overview.status);
  EXPECT_NE(std::string::npos, overview.out.find("create"));
  EXPECT_EQ(0, RunCli({"create", "--help"}).status);
  EXPECT_EQ(2, RunCli({"no-such-command"}).status);
}

}  // namespace
}  // namespace tarvo
