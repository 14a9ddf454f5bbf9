// `tarvo sql`: the four output forms, parameters, statements from standard input, the failures
// (exit status 2 with SQLite's message), and an insert seen at once by another process that has
// the table open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/tables/data_cursor.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::RunCli;
using testing::TTempDir;

constexpr const char* kLiterals =
    "SELECT 1 AS n, 'a,b' AS t, 'say \"hi\"' AS q, NULL AS z, 1.5 AS r, x'00ff' AS b";

struct TOutputCase {
  std::vector<std::string> args;  // after `sql DIR`
  std::string input;
  std::string out;
};

TEST(SqlCommandTest, WritesEachFormat) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::vector<TOutputCase> cases = {
      {{kLiterals, "--format", "csv"}, "", "n,t,q,z,r,b\r\n1,\"a,b\",\"say \"\"hi\"\"\",,1.5,\\x00ff\r\n"},
      {{kLiterals, "--format", "jsonl"},
       "",
       "{\"n\": 1, \"t\": \"a,b\", \"q\": \"say \\\"hi\\\"\", \"z\": null, \"r\": 1.5, \"b\": {\"b64\": \"AP8=\"}}\n"},
      {{"SELECT 1 AS x, 1 AS x UNION ALL SELECT 2, 3; SELECT 1 AS y WHERE 0", "--format", "json"},
       "",
       "[\n{\"x\": 1, \"x\": 1},\n{\"x\": 2, \"x\": 3}\n]\n[]\n"},
      {{kLiterals},
       "",
       "n  t    q         z  r    b\n"
       "-  ---  --------  -  ---  ------\n"
       "1  a,b  say \"hi\"     1.5  \\x00ff\n"},
      {{"SELECT 'Müller' AS name, 10 AS n UNION ALL SELECT 'a\nb', 200"},
       "",
       "name    n\n"
       "------  ---\n"
       "Müller   10\n"
       "a\\nb    200\n"},
      // A parameter is text, which SQLite turns into a number for the integer key.
      {{"SELECT ID, Name FROM Kunden WHERE ID = :id", "--param", "id=10", "--format", "csv"},
       "",
       "ID,Name\r\n10,Bw3S8-sWsaoBbAmC2hF9UVg\r\n"},
      {{"-", "--format", "jsonl"},
       "SELECT count(*) AS c FROM Kunden WHERE ID % 9 = 0;\n-- nothing\nSELECT count(*) AS c FROM Kunden;",
       "{\"c\": 0}\n{\"c\": 178}\n"},
  };
  for (const TOutputCase& c : cases) {
    std::vector<std::string> args = {"sql", dir.Dir()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = RunCli(args, c.input);
    EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
}

struct TFailureCase {
  std::vector<std::string> args;  // after `sql`
  std::string err;                // a part of the message
};

TEST(SqlCommandTest, FailuresExitWithTwoAndSayWhy) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::vector<TFailureCase> cases = {
      {{dir.Dir(), "SELEC 1"}, "syntax error"},
      {{dir.Dir(), "SELECT 1; SELECT * FROM NoSuchTable"}, "no such table: NoSuchTable"},
      {{dir.Dir(), "SELECT ID FROM Kunden WHERE ID = :id"}, "no value for the parameter :id"},
      {{dir.Dir(), "SELECT ?"}, "no value for the parameter ?"},
      {{dir.Dir(), "SELECT 1", "--format", "xml"}, "--format"},
      {{dir.Dir(), "SELECT 1", "--param", "id"}, "NAME=VALUE"},
      {{dir.File("missing"), "SELECT 1"}, ""},
      // Changes left in an open transaction are undone, never silently.
      {{dir.Dir(), "BEGIN; DELETE FROM Kunden WHERE ID = 1"}, "neither committed nor rolled back"},
  };
  for (const TFailureCase& c : cases) {
    std::vector<std::string> args = {"sql"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = RunCli(args);
    EXPECT_EQ(r.status, 2) << c.args[1] << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[1] << ": " << r.err;
    EXPECT_FALSE(r.err.empty()) << c.args[1];
  }
  const auto r = RunCli({"sql", dir.Dir(), "SELECT count(*) FROM Kunden WHERE ID = 1", "--format", "csv"});
  EXPECT_EQ(r.out, "count(*)\r\n1\r\n") << r.err;
}

// args: directory. Opens Kunden shared; on each line from the parent, answers with the number
// of records that a walk in key order meets.
TARVO_CHILD(WatchKunden) {
  testing::TTestEngine engine(args.at(0));
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = "Kunden";
  cursor.Open(options);
  testing::TellParent("open");
  while (!testing::HearFromParent().empty()) {
    int walked = 0;
    for (bool on = cursor.First(); on; on = cursor.Next()) ++walked;
    testing::TellParent(std::to_string(walked));
  }
  cursor.Close();
  return 0;
}

TEST(SqlCommandTest, AnotherProgramSeesACommittedInsertAtOnce) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  testing::TChildProcess child("WatchKunden", {dir.Dir()});
  ASSERT_EQ(child.Receive(), "open");
  child.Send("walk");
  EXPECT_EQ(child.Receive(), "178");
  const auto r = RunCli({"sql", dir.Dir(), "BEGIN; INSERT INTO Kunden(Name, Count) VALUES('Neu', 77); COMMIT"});
  EXPECT_EQ(r.status, 0) << r.err;
  child.Send("walk");
  EXPECT_EQ(child.Receive(), "179");
  child.Send("");
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
}  // namespace tarvo
