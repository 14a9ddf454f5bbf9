// tarvo import and tarvo export against the Journal fixture (no primary index, every 5th of 150
// slots deleted): export in slot order, import into an empty table of the same definition with
// the same keys in every index as the fixture, the round trip, and a refused record.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/format/data_header.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "tests/engine/records/record_tables.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"
#include "tests/testing/way_out_tables.h"

namespace tarvo {
namespace {

using testing::TTempDir;
using testing::TTestDatabase;

struct TRun {
  int status = -1;
  std::string out;
  std::string err;
};

TRun RunCli(const std::string& arguments, const TTempDir& dir) {
  const std::string out = dir.File("cli.out");
  const std::string err = dir.File("cli.err");
  const std::string command =
      std::string(std::getenv("TARVO_CLI")) + " " + arguments + " >" + out + " 2>" + err;
  const int raw = std::system(command.c_str());
  TRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream o(out), e(err);
  std::stringstream so, se;
  so << o.rdbuf();
  se << e.rdbuf();
  run.out = so.str();
  run.err = se.str();
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FixtureRows() {
  std::ifstream in(testing::FixturesDir() / "noprimary" / "Journal.rows.jsonl");
  std::stringstream s;
  s << in.rdbuf();
  return Lines(s.str());
}

// An empty table `name` with the definition of the table `from` in the same directory.
void CreateLike(TTestDatabase& db, const std::string& from, const std::string& name) {
  TTableOpenRequest request;
  request.exclusive = true;
  TDataTable& source = db.directory->OpenTable(from, request);
  TTableDefinition definition;
  definition.fields = source.DataFile().Descriptors();
  definition.language_id = source.DataFile().LanguageID();
  definition.sort_id = source.DataFile().SortID();
  definition.description = source.DataFile().Description();
  const TIndexHeader& header = source.IndexFile().Header();
  for (int slot = 0; slot <= header.secondary_count; ++slot) {
    TIndexDescriptor d = header.slots[static_cast<std::size_t>(slot)];
    d.root = 0;
    d.free_head = 0;
    definition.indexes.push_back(d);
  }
  ASSERT_EQ(db.directory->CloseTable(&source, false), 0);
  db.directory->CreateTable(name, definition);
}

// Key and record number of every entry of every index, in index order.
std::vector<std::vector<std::pair<TKey, std::int32_t>>> AllKeys(TTestDatabase& db, const std::string& name) {
  TTableOpenRequest request;
  request.exclusive = true;
  TDataTable& table = db.directory->OpenTable(name, request);
  std::vector<std::vector<std::pair<TKey, std::int32_t>>> all;
  std::vector<int> slots;
  for (int slot = 1; slot <= table.IndexFile().SecondaryIndexCount(); ++slot) slots.push_back(slot);
  slots.push_back(kSysDeletedSlot);
  for (const int slot : slots) {
    TIndexTree tree(table.IndexFile(), slot, table.DataFile().Descriptors(), table.DataFile().LanguageID(),
                    table.DataFile().SortID());
    TIndexPosition position(tree);
    auto& keys = all.emplace_back();
    for (bool on = position.First(); on; on = position.Next())
      keys.emplace_back(position.Key(), position.RecordNumber());
  }
  EXPECT_EQ(db.directory->CloseTable(&table, false), 0);
  return all;
}

class ImportExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("TARVO_CLI"), nullptr);
    testing::CopyFixture("noprimary", dir_.Path());
  }
  TTempDir dir_;
};

TEST_F(ImportExportTest, ExportGivesTheRecordsNotDeletedInSlotOrder) {
  // The name in another letter case finds the file.
  const TRun run = RunCli("export " + dir_.File("journal.dat"), dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  const std::vector<std::string> rows = FixtureRows();
  ASSERT_EQ(rows.size(), 150u);
  ASSERT_EQ(lines.size(), 120u);
  std::size_t line = 0;
  for (std::size_t slot = 1; slot <= rows.size(); ++slot) {
    if (slot % 5 == 0) continue;
    SCOPED_TRACE("slot " + std::to_string(slot));
    const nlohmann::ordered_json exported = nlohmann::ordered_json::parse(lines[line++]);
    const nlohmann::json row = nlohmann::json::parse(rows[slot - 1]);
    EXPECT_EQ(exported.begin().key(), "ID") << "keys follow the field order";
    EXPECT_EQ(exported["ID"], slot);
    for (const auto& [name, value] : row.items()) {
      if (name == "VB" && value.is_object()) {
        // Variable bytes are stored zero-filled to the field's size.
        std::string expected = testing::FromBase64(value["b64"].get<std::string>());
        expected.resize(10);
        EXPECT_EQ(testing::FromBase64(exported[name]["b64"].get<std::string>()), expected);
        continue;
      }
      EXPECT_EQ(nlohmann::json(exported[name]), value) << name;
    }
  }
}

TEST_F(ImportExportTest, ImportingTheRowsAndDeletingEveryFifthGivesTheFixturesKeys) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Copy");
  const std::string rows = (testing::FixturesDir() / "noprimary" / "Journal.rows.jsonl").string();
  const TRun run = RunCli("import " + dir_.File("Copy.DAT") + " " + rows, dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  {
    TDataCursor cursor(db.session, *db.directory);
    TCursorOpenOptions options;
    options.table_name = "Copy";
    options.exclusive = true;
    cursor.Open(options);
    EXPECT_EQ(cursor.RecordCount(), 150);
    for (std::int32_t slot = 5; slot <= 150; slot += 5) {
      ASSERT_TRUE(cursor.GoToSlot(slot));
      const std::vector<std::byte> seen = cursor.CurrentRecord();
      cursor.DeleteRecord(seen, false);
    }
    EXPECT_EQ(cursor.RecordCount(), 120);
  }
  const auto ours = AllKeys(db, "Copy");
  const auto theirs = AllKeys(db, "Journal");
  ASSERT_EQ(ours.size(), theirs.size());
  ASSERT_EQ(ours.size(), 5u);
  EXPECT_EQ(ours[0].size(), 120u);
  EXPECT_EQ(ours[4].size(), 150u) << "\"Sys Deleted\" keeps a key for every slot";
  for (std::size_t i = 0; i < ours.size(); ++i) {
    SCOPED_TRACE("index " + std::to_string(i));
    EXPECT_EQ(ours[i].size(), theirs[i].size());
    EXPECT_TRUE(ours[i] == theirs[i]);
  }
}

TEST_F(ImportExportTest, ExportImportExportGivesTheSameText) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Again");
  const TRun first = RunCli("export " + dir_.File("Journal.DAT"), dir_);
  ASSERT_EQ(first.status, 0) << first.err;
  {
    std::ofstream out(dir_.File("first.jsonl"));
    out << first.out;
  }
  const TRun import = RunCli("import " + dir_.File("Again.DAT") + " " + dir_.File("first.jsonl"), dir_);
  ASSERT_EQ(import.status, 0) << import.err;
  const TRun second = RunCli("export " + dir_.File("Again.DAT"), dir_);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, first.out);
  // In the order of a secondary index as well.
  const TRun by_name = RunCli("export " + dir_.File("Again.DAT") + " --index byname", dir_);
  ASSERT_EQ(by_name.status, 0) << by_name.err;
  EXPECT_EQ(by_name.out, RunCli("export " + dir_.File("Journal.DAT") + " --index ByName", dir_).out);
  EXPECT_NE(by_name.out, first.out);
  EXPECT_EQ(RunCli("export " + dir_.File("Journal.DAT") + " --index Nothing", dir_).status, 2);
}

TEST_F(ImportExportTest, ARefusedRecordStopsTheImportAndKeepsTheRecordsBefore) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Dup");
  {
    std::ofstream out(dir_.File("dup.jsonl"));
    out << R"({"Name": "Ä erste", "Count": 1, "ID": 7})"
        << "\n"
        << R"({"Name": "zweite", "Count": 2})"
        << "\n"
        << R"({"Name": "dritte", "Count": 1})"
        << "\n"
        << R"({"Name": "vierte", "Count": 4})"
        << "\n";
  }
  const TRun run = RunCli("import " + dir_.File("Dup.DAT") + " " + dir_.File("dup.jsonl"), dir_);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("dup.jsonl:3:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("9729"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("table 'Dup.DAT'"), std::string::npos) << "the user's table, not a copy: " << run.err;
  const TRun exported = RunCli("export " + dir_.File("Dup.DAT"), dir_);
  const std::vector<std::string> lines = Lines(exported.out);
  ASSERT_EQ(lines.size(), 2u);
  const nlohmann::json first = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(first["ID"], 7) << "a supplied identifier is kept";
  EXPECT_EQ(first["Name"], "Ä erste") << "text goes through the code page and back";
  EXPECT_EQ(nlohmann::json::parse(lines[1])["ID"], 8);
  // A value that does not fit its field is refused with its line too.
  {
    std::ofstream out(dir_.File("bad.jsonl"));
    out << R"({"Small": 70000})"
        << "\n";
  }
  const TRun bad = RunCli("import " + dir_.File("Dup.DAT") + " " + dir_.File("bad.jsonl"), dir_);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.jsonl:1:"), std::string::npos) << bad.err;
}

// Values that cannot be stored as given stop the import at their line, named with their field;
// the records before them stay and the table verifies clean.
TEST_F(ImportExportTest, AValueThatCannotBeStoredAsGivenStopsTheImportAtItsLine) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Bad");
  struct TCase {
    const char* line;
    const char* field;
  };
  // Each after a good line with the identifier 500 + its number.
  const TCase cases[] = {
      {R"({"Name": "12345678901234567890123456789012345678901"})", "Name"},  // 41 of 40
      {R"({"Name": "\u65e5"})", "Name"},                                       // not in the code page
      {R"({"Name": "a\u0000b"})", "Name"},
      {R"({"Dec": "1.234"})", "Dec"},  // 2 decimals
      {R"({"Amount": 9007199254740993})", "Amount"},  // 2^53 + 1: no double
      {R"({"ID": 0})", "ID"},
      {R"({"ID": -3})", "ID"},
      {R"({"ID": 2147483648})", "ID"},
      {R"({"ID": 507})", "ID"},  // the line before
      {R"({"ID": 500})", "ID"},  // the table's
  };
  int number = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.line);
    {
      std::ofstream out(dir_.File("bad.jsonl"));
      out << R"({"Count": )" << number << R"(, "ID": )" << 500 + number << "}\n" << c.line << "\n"
          << R"({"Count": 9999})" << "\n";
    }
    ++number;
    const TRun run = RunCli("import " + dir_.File("Bad.DAT") + " " + dir_.File("bad.jsonl"), dir_);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("bad.jsonl:2: field '" + std::string(c.field) + "'"), std::string::npos) << run.err;
    EXPECT_EQ(Lines(RunCli("export " + dir_.File("Bad.DAT"), dir_).out).size(), static_cast<std::size_t>(number));
  }
  EXPECT_EQ(RunCli("verify " + dir_.File("Bad.DAT"), dir_).status, 0);
}

// The records come from a stream: standard input ("-" or /dev/stdin) or a FIFO.
TEST_F(ImportExportTest, ImportReadsAnyStream) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Piped");
  const std::string table = dir_.File("Piped.DAT");
  const std::string fifo = dir_.File("records.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo) << R"({"Count": 3})" << "\n" << R"({"Count": 4})" << "\n"; });
  EXPECT_EQ(testing::RunCli({"import", table, fifo}).status, 0);
  writer.join();
  EXPECT_EQ(testing::RunCli({"import", table, "-"}, R"({"Count": 1})" "\n").status, 0);
  EXPECT_EQ(testing::RunCli({"import", table, "/dev/stdin"}, R"({"Count": 2})" "\n").status, 0);
  EXPECT_EQ(Lines(RunCli("export " + table, dir_).out).size(), 4u);
}

// In a second process: holds table args[1] of folder args[0] open (shared) until told.
TARVO_CHILD(HoldTableOpen) {
  TTestDatabase db(args.at(0));
  TDataCursor cursor(db.session, *db.directory);
  TCursorOpenOptions options;
  options.table_name = args.at(1);
  cursor.Open(options);
  testing::TellParent("open");
  (void)testing::HearFromParent();
  return 0;
}

// Another program has the table open: the records go in one by one through a shared open.
TEST_F(ImportExportTest, ImportIntoATableAnotherProgramHasOpen) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Journal", "Shared");
  testing::TChildProcess child("HoldTableOpen", {dir_.Dir(), "Shared"});
  ASSERT_EQ(child.Receive(), "open");
  const testing::TCliResult run =
      testing::RunCli({"import", dir_.File("Shared.DAT"), "-"}, R"({"Count": 1})" "\n" R"({"Count": 2})" "\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Lines(RunCli("export " + dir_.File("Shared.DAT"), dir_).out).size(), 2u);
  child.Send("");
  EXPECT_EQ(child.Wait(), 0);
}

// The Kunden fixture: 200 slots, every 9th deleted, a memo and a graphic among its fields.
class KundenExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("TARVO_CLI"), nullptr);
    testing::CopyFixture("basic", dir_.Path());
  }
  TTempDir dir_;
};

TEST_F(KundenExportTest, ExportGivesTheRecordsNotDeletedWithTheirBlobValues) {
  const TRun run = RunCli("export " + dir_.File("Kunden.DAT"), dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  std::ifstream in(testing::FixturesDir() / "basic" / "Kunden.rows.jsonl");
  std::stringstream s;
  s << in.rdbuf();
  const std::vector<std::string> rows = Lines(s.str());
  ASSERT_EQ(rows.size(), 200u);
  ASSERT_EQ(lines.size(), 178u);
  std::size_t line = 0;
  int memos = 0;
  int pictures = 0;
  for (std::size_t slot = 1; slot <= rows.size(); ++slot) {
    if (slot % 9 == 0) continue;
    SCOPED_TRACE("slot " + std::to_string(slot));
    const nlohmann::json exported = nlohmann::json::parse(lines[line++]);
    const nlohmann::json row = nlohmann::json::parse(rows[slot - 1]);
    EXPECT_EQ(exported["ID"], slot);
    for (const auto& [name, value] : exported.items()) {
      if (name == "ID") continue;  // the rows leave it out
      nlohmann::json expected = row.contains(name) ? row[name] : nlohmann::json();
      // An empty blob value is stored as NULL.
      if (expected == "" || expected == nlohmann::json{{"b64", ""}}) expected = nullptr;
      if (name == "VB" && expected.is_object()) {
        std::string bytes = testing::FromBase64(expected["b64"].get<std::string>());
        bytes.resize(10);
        EXPECT_EQ(testing::FromBase64(value["b64"].get<std::string>()), bytes);
        continue;
      }
      EXPECT_EQ(value, expected) << name;
    }
    memos += exported["Notes"].is_string() ? 1 : 0;
    pictures += exported["Pic"].is_object() ? 1 : 0;
  }
  EXPECT_GT(memos, 100);
  EXPECT_GT(pictures, 100);
}

TEST_F(KundenExportTest, ExportImportExportGivesTheSameTextWithBlobs) {
  TTestDatabase db(dir_.Dir());
  CreateLike(db, "Kunden", "Again");
  const TRun first = RunCli("export " + dir_.File("Kunden.DAT"), dir_);
  ASSERT_EQ(first.status, 0) << first.err;
  {
    std::ofstream out(dir_.File("first.jsonl"));
    out << first.out;
  }
  const TRun import = RunCli("import " + dir_.File("Again.DAT") + " " + dir_.File("first.jsonl"), dir_);
  ASSERT_EQ(import.status, 0) << import.err;
  const TRun second = RunCli("export " + dir_.File("Again.DAT"), dir_);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, first.out);
  // A memo given as anything but text is refused with its line.
  {
    std::ofstream out(dir_.File("bad.jsonl"));
    out << R"({"Notes": 5, "Count": 99999})"
        << "\n";
  }
  const TRun bad = RunCli("import " + dir_.File("Again.DAT") + " " + dir_.File("bad.jsonl"), dir_);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("bad.jsonl:1:"), std::string::npos) << bad.err;
}

// What `tarvo import` leaves when it has the table to itself (records appended in bulk, the trees
// written at the end) against what adding the records one by one through a shared open leaves
// (another process holds the table open): the same status and message, the same record slots and
// blob blocks byte for byte, the same data header apart from its change counter and time, sound
// trees and blob chains, and the same records in every index's order.
struct TBulkCase {
  const char* name;
  int before;     // rows imported first (with the table to itself), the rest then compared
  int duplicate;  // > 0: the line of the rest whose Count repeats that of row `duplicate_of`
  int duplicate_of;
  int bad_line;  // > 0: the line of the rest that is no JSON
  bool fixture;  // start from the Kunden fixture (deleted slots to take back)
};

class BulkImportTest : public ::testing::TestWithParam<TBulkCase> {
 protected:
  void SetUp() override { ASSERT_NE(std::getenv("TARVO_CLI"), nullptr); }

  // The Kunden rows, Count made 777000 + the row's number (the fixture's records have others), and
  // one memo set empty.
  static std::vector<std::string> Rows() {
    std::ifstream in(testing::FixturesDir() / "basic" / "Kunden.rows.jsonl");
    std::vector<std::string> rows;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      nlohmann::ordered_json row = nlohmann::ordered_json::parse(line);
      ++number;
      row["Count"] = 777000 + number;
      if (number == 7) row["Notes"] = "";
      rows.push_back(row.dump());
    }
    return rows;
  }

  static std::string Write(const std::string& path, const std::vector<std::string>& rows, std::size_t from,
                           std::size_t to) {
    std::ofstream out(path);
    for (std::size_t i = from; i < to; ++i) out << rows[i] << "\n";
    return path;
  }

  // Sound trees and blob chains; the findings as text.
  static std::string Findings(const std::string& folder) {
    TTestDatabase db(folder);
    TTableOpenRequest request;
    request.exclusive = true;
    TDataTable& table = db.directory->OpenTable("Kunden", request);
    const testing::TRecordReader read = testing::FileRecordReader(table);
    std::vector<std::string> findings = testing::CheckAllIndexTrees(table);
    for (const auto& more :
         {testing::CheckOneKeyPerRecord(table, read), testing::CheckSysDeletedKeys(table, read),
          testing::CheckActiveRecordCount(table, read)}) {
      findings.insert(findings.end(), more.begin(), more.end());
    }
    std::vector<testing::TChainRef> chains;
    for (std::int32_t slot = 1; slot < table.DataFile().Header().NextRecordSlot; ++slot) {
      const std::vector<std::byte> record = read(slot);
      if (IsRecordDeleted(record)) continue;
      for (const TFieldDescriptor& d : table.DataFile().Descriptors()) {
        if (d.FieldType != kTypeBlob) continue;
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, d));
        if (ref.Reference != 0) chains.push_back({ref.Reference, ref.Stamp});
      }
    }
    const std::uint16_t block_size = static_cast<std::uint16_t>(table.DataFile().BlobBlockSize());
    EXPECT_EQ(db.directory->CloseTable(&table, false), 0);
    const auto blobs =
        testing::CheckBlobBytes(testing::ReadFileBytes(folder + "/Kunden.BLB"), block_size, false, chains);
    if (!blobs.Ok()) findings.push_back(blobs.Text());
    std::string text;
    for (const std::string& finding : findings) text += finding + "\n";
    return text;
  }

  // The data header without its change counter and write time.
  static TDataHeader Header(const std::vector<std::byte>& file) {
    TDataHeader header = DecodeDataHeader(std::span(file).first<kDataHeaderSize>());
    header.HeaderChangeCount = 0;
    header.LastWriteTime = 0;
    return header;
  }

  TTempDir dir_;
};

TEST_P(BulkImportTest, GivesWhatAddingOneByOneGives) {
  const TBulkCase& c = GetParam();
  std::vector<std::string> rows = Rows();
  const std::size_t first = static_cast<std::size_t>(c.before);
  if (c.duplicate > 0) {
    nlohmann::ordered_json row = nlohmann::ordered_json::parse(rows[first + c.duplicate - 1]);
    row["Count"] = nlohmann::json::parse(rows[static_cast<std::size_t>(c.duplicate_of - 1)])["Count"];
    rows[first + c.duplicate - 1] = row.dump();
  }
  if (c.bad_line > 0) rows[first + c.bad_line - 1] = R"({"Name": )";
  const std::string rest = Write(dir_.File("rest.jsonl"), rows, first, rows.size());
  const std::string ways[] = {"bulk", "shared"};
  std::vector<testing::TCliResult> results;
  for (const std::string& way : ways) {
    const std::string folder = dir_.File(way);
    std::filesystem::create_directory(folder);
    testing::CopyFixture("basic", folder);
    if (!c.fixture) {
      TTestDatabase db(folder);
      CreateLike(db, "Kunden", "Empty");
      db.directory->DeleteTable("Kunden");
      db.directory->RenameTable("Empty", "Kunden", false);
    }
    const std::string table = folder + "/Kunden.DAT";
    if (c.before > 0) {
      ASSERT_EQ(testing::RunCli({"import", table, Write(dir_.File("before.jsonl"), rows, 0, first)}).status,
                0);
    }
    std::optional<testing::TChildProcess> holder;
    if (way == "shared") {
      holder.emplace("HoldTableOpen", std::vector<std::string>{folder, "Kunden"});
      ASSERT_EQ(holder->Receive(), "open");
    }
    results.push_back(testing::RunCli({"import", table, rest}));
    if (holder) {
      holder->Send("");
      EXPECT_EQ(holder->Wait(), 0);
    }
    EXPECT_EQ(Findings(folder), "") << way;
    EXPECT_EQ(testing::RunCli({"verify", table}).status, 0) << way;
  }
  EXPECT_EQ(results[0].status, results[1].status);
  EXPECT_EQ(results[0].err, results[1].err);
  const int failing = c.duplicate > 0 ? c.duplicate : c.bad_line;
  EXPECT_EQ(results[0].status, failing > 0 ? 2 : 0) << results[0].err;
  if (failing > 0) {
    EXPECT_NE(results[0].err.find("rest.jsonl:" + std::to_string(failing) + ":"), std::string::npos);
  }
  if (c.duplicate > 0) {
    EXPECT_NE(results[0].err.find("9729"), std::string::npos) << results[0].err;
  }
  for (const char* extension : {"/Kunden.DAT", "/Kunden.BLB"}) {
    SCOPED_TRACE(extension);
    const std::vector<std::byte> bulk = testing::ReadFileBytes(dir_.File("bulk") + extension);
    const std::vector<std::byte> shared = testing::ReadFileBytes(dir_.File("shared") + extension);
    ASSERT_GT(bulk.size(), 512u);
    EXPECT_EQ(bulk.size(), shared.size());
    EXPECT_TRUE(std::equal(bulk.begin() + 512, bulk.end(), shared.begin() + 512, shared.end()));
    if (std::string(extension) == "/Kunden.DAT") {
      EXPECT_TRUE(Header(bulk) == Header(shared));
    }
  }
  for (const char* index : {"", "ByName", "ByBorn", "ByCount", "ByAmount"}) {
    std::vector<std::string> exported;
    for (const std::string& way : ways) {
      std::vector<std::string> args = {"export", dir_.File(way) + "/Kunden.DAT"};
      if (*index != 0) args.insert(args.end(), {"--index", index});
      exported.push_back(testing::RunCli(args).out);
    }
    EXPECT_EQ(exported[0], exported[1]) << index;
    const std::size_t records = Lines(exported[0]).size();
    const std::size_t added = failing > 0 ? failing - 1 : rows.size() - first;
    EXPECT_EQ(records, (c.fixture ? 178 : first) + added) << index;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BulkImportTest,
                         ::testing::Values(TBulkCase{"IntoAnEmptyTable", 0, 0, 0, 0, false},
                                           TBulkCase{"TakingBackDeletedSlots", 0, 0, 0, 0, true},
                                           TBulkCase{"ADuplicateAmongTheNewRecords", 0, 150, 20, 0, false},
                                           TBulkCase{"ADuplicateOfARecordBefore", 180, 10, 5, 0, false},
                                           TBulkCase{"ADuplicateWhenTheTreesAreWrittenAnew", 100, 30, 5, 0,
                                                     false},
                                           TBulkCase{"ABadLine", 50, 0, 0, 90, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvo
