// Field and index names with characters above 127: a table stores them in the code page of its
// language, the tool shows and takes them in UTF-8 (definitions, records, --index, info,
// messages), and restructure pairs them with the table's fields.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::RunCli;
using testing::TTempDir;

constexpr TLanguageId kGerman = 0x0407;
// "Größe" and "Äpfelbäumeüberallßäöü" in code page 1252.
const std::string kSize = "Gr\xF6\xDF" "e";
const std::string kApples = "\xC4pfelb\xE4ume\xFC" "berall\xDF\xE4\xF6\xFC";

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::uint8_t> StoredName(const std::string& table, int field) {
  std::ifstream in(table, std::ios::binary);
  in.seekg(127 + 768 * (field - 1) + 2);
  std::vector<std::uint8_t> name(1);
  in.read(reinterpret_cast<char*>(name.data()), 1);
  name.resize(1 + name[0]);
  in.read(reinterpret_cast<char*>(name.data() + 1), name[0]);
  return name;
}

TEST(CodePageNamesTest, NamesTravelInUtf8AndStayInTheTablesCodePage) {
  TTempDir dir;
  const std::string table = dir.File("Lager.DAT");
  {
    testing::TTestEngine engine(dir.Dir());
    TTableDefinition definition;
    definition.language_id = kGerman;
    definition.fields = {testing::Field("Nr", kTypeInt32, 0, kSubTypeAutoInc),
                         testing::Field(kSize, kTypeText, 20), testing::Field(kApples, kTypeInt32)};
    for (std::uint16_t i = 0; i < 3; ++i) definition.fields[i].FieldNumber = i + 1;
    definition.fields[2].Required = 1;
    definition.indexes = {testing::Index("", {1}, true), testing::Index(kSize + "_Idx1", {2}, true)};
    engine.directory->CreateTable("Lager", definition);
  }
  const std::string records = dir.File("records.jsonl");
  WriteText(records,
            "{\"Größe\": \"klein\", \"Äpfelbäumeüberallßäöü\": 3}\n"
            "{\"Größe\": \"groß\", \"Äpfelbäumeüberallßäöü\": 4}\n");
  auto r = RunCli({"import", table, records});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string exported =
      "{\"Nr\":1,\"Größe\":\"klein\",\"Äpfelbäumeüberallßäöü\":3}\n"
      "{\"Nr\":2,\"Größe\":\"groß\",\"Äpfelbäumeüberallßäöü\":4}\n";
  r = RunCli({"export", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, exported);
  // The index by its name in UTF-8, without regard to case.
  r = RunCli({"export", table, "--index", "größe_idx1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "{\"Nr\":2,\"Größe\":\"groß\",\"Äpfelbäumeüberallßäöü\":4}");
  r = RunCli({"info", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Äpfelbäumeüberallßäöü"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Größe_Idx1"), std::string::npos) << r.out;
  r = RunCli({"info", table, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json definition = nlohmann::json::parse(r.out)["definition"];
  EXPECT_EQ(definition["fields"][1]["name"], "Größe");
  EXPECT_EQ(definition["indexes"][0]["fields"][0], "Größe");
  // A message that names a stored index.
  WriteText(records, "{\"Größe\": \"klein\", \"Äpfelbäumeüberallßäöü\": 5}\n");
  r = RunCli({"import", table, records});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("index 'Größe_Idx1'"), std::string::npos) << r.err;
  // The table's own definition pairs every field with itself: nothing is lost.
  const std::string own = dir.File("own.json");
  WriteText(own, definition.dump());
  r = RunCli({"restructure", table, "--definition", own, "--no-backup", "--stop-on-loss"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = RunCli({"export", table});
  EXPECT_EQ(r.out, exported);
  EXPECT_EQ(StoredName(table, 2), std::vector<std::uint8_t>({5, 'G', 'r', 0xF6, 0xDF, 'e'}));
  // A loss report names the field in UTF-8.
  nlohmann::json without = definition;
  without["fields"].erase(1);
  without["indexes"] = nlohmann::json::array();
  WriteText(own, without.dump());
  r = RunCli({"restructure", table, "--definition", own, "--no-backup"});
  EXPECT_NE(r.out.find("FieldRemoved (3): Größe"), std::string::npos) << r.out;
}

// `tarvo create` stores names in the code page of the definition's language, where a name of
// up to 30 characters fits whatever their UTF-8 length; a character the code page lacks is an
// error, never a '?'.
TEST(CodePageNamesTest, CreateStoresNamesInTheCodePage) {
  struct TCase {
    std::string name;
    int status;
    std::string stored;  // length byte and characters
  };
  const std::string thirty = "ÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖ";
  const std::string seven = "\xC4\xD6\xDC\xE4\xF6\xFC\xDF";
  const TCase cases[] = {
      {"Größe", 0, "\x05" + kSize},
      {thirty, 0, "\x1E" + seven + seven + seven + seven + "\xC4\xD6"},
      {"Ωmega", 2, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir dir;
    const std::string definition = dir.File("def.json");
    WriteText(definition, "{\"language_id\": 1031, \"fields\": [{\"name\": \"Nr\", \"type\": \"autoinc\"}, "
                          "{\"name\": \"" + c.name + "\", \"type\": \"integer\"}], \"primary\": [\"Nr\"]}");
    const auto r = RunCli({"create", dir.File("T.DAT"), "--definition", definition});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(std::filesystem::exists(dir.File("T.DAT")), c.status == 0);
    if (c.status == 0) {
      EXPECT_EQ(StoredName(dir.File("T.DAT"), 2), std::vector<std::uint8_t>(c.stored.begin(), c.stored.end()));
    }
  }
}

}  // namespace
}  // namespace tarvo
