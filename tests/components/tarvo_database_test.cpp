#include "components/tarvo_database.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "components/database_texts.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "components/tarvo_table.h"
#include "engine/tables/data_directory.h"
#include "tests/components/component_tables.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "nothing raised";
}

class TTarvoDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { session_.SetSessionName("DatabaseTest"); }

  testing::TTempDir dir_;
  TTarvoSession session_;
};

TEST_F(TTarvoDatabaseTest, NamesAreChecked) {
  auto* database = new TTarvoDatabase(&session_);
  EXPECT_EQ("2.08", database->EngineVersion());
  EXPECT_TRUE(database->KeepConnection());
  EXPECT_EQ("DatabaseTest", database->SessionName());
  EXPECT_EQ("Database name is missing.", ErrorText([&] { database->Open(); }));
  EXPECT_EQ("Database name 1st is not valid.", ErrorText([&] { database->SetDatabaseName("1st"); }));
  EXPECT_EQ("Database name C:\\Daten is not valid.",
            ErrorText([&] { database->SetDatabaseName("C:\\Daten"); }));
  EXPECT_EQ("Database name /tmp is not valid.", ErrorText([&] { database->SetDatabaseName("/tmp"); }));
  database->SetDatabaseName("_data");
  database->SetDatabaseName("Äpfel");  // a first byte from 129 to 254
  database->SetDatabaseName("");
  EXPECT_FALSE(IsValidDatabaseName(""));
  EXPECT_FALSE(IsValidDatabaseName("a:b"));
  // A temporary database takes any name.
  TTarvoDatabase& temporary = session_.OpenDatabase(dir_.Dir(), nullptr);
  EXPECT_TRUE(temporary.Temporary());
  EXPECT_EQ(dir_.Dir(), temporary.DatabaseName());
  EXPECT_EQ(1, temporary.UseCount());
  session_.CloseDatabase(temporary);
  EXPECT_EQ(1u, session_.Databases().size());  // freed at once
}

TEST_F(TTarvoDatabaseTest, NamesDifferingInCaseConflictUnlessBothShareHandles) {
  auto* first = new TTarvoDatabase(&session_);
  first->SetDatabaseName("Kelto");
  auto* second = new TTarvoDatabase(&session_);
  EXPECT_EQ("Database name KELTO already exists.", ErrorText([&] { second->SetDatabaseName("KELTO"); }));
  second->SetHandleShared(true);
  EXPECT_EQ("Database name KELTO already exists.", ErrorText([&] { second->SetDatabaseName("KELTO"); }));
  first->SetHandleShared(true);
  second->SetDatabaseName("KELTO");
  // Both share one engine directory object; it outlives the first one's disconnect.
  first->SetDirectory(dir_.Dir());
  second->SetDirectory(dir_.Dir());
  first->Open();
  second->Open();
  EXPECT_EQ(first->Handle(), second->Handle());
  first->Close();
  ASSERT_TRUE(second->Connected());
  EXPECT_EQ(dir_.Dir(), second->Handle()->Path());
  second->Close();
  EXPECT_EQ(0u, session_.EngineSession()->DirectoryCount());
}

TEST_F(TTarvoDatabaseTest, UnusedTemporaryDatabaseGivesWayToANamedOne) {
  session_.SetKeepConnections(true);
  TTarvoDatabase& temporary = session_.OpenDatabase("Kelto", nullptr);
  session_.CloseDatabase(temporary);
  ASSERT_EQ(1u, session_.Databases().size());
  auto* named = new TTarvoDatabase(&session_);
  named->SetDatabaseName("kelto");
  ASSERT_EQ(1u, session_.Databases().size());
  EXPECT_EQ(named, session_.Databases()[0]);
  // One in use does not.
  TTarvoDatabase& used = session_.OpenDatabase("Other", nullptr);
  auto* clash = new TTarvoDatabase(&session_);
  EXPECT_EQ("Database name Other already exists.", ErrorText([&] { clash->SetDatabaseName("Other"); }));
  session_.CloseDatabase(used);
}

TEST_F(TTarvoDatabaseTest, ConnectedDatabaseKeepsItsNameAndDirectory) {
  auto* database = new TTarvoDatabase(&session_);
  database->SetDatabaseName("Kelto");
  database->SetDirectory(dir_.Dir());
  int before_connect = 0;
  database->BeforeConnect = [&](TComponent&) { ++before_connect; };
  database->Open();
  database->Open();
  EXPECT_EQ(1, before_connect);
  EXPECT_TRUE(session_.Active());
  EXPECT_EQ("Kelto", database->Handle()->DatabaseName());
  const std::string refused = "Cannot perform this operation on an open database.";
  EXPECT_EQ(refused, ErrorText([&] { database->SetDatabaseName("Other"); }));
  EXPECT_EQ(refused, ErrorText([&] { database->SetDirectory("/tmp"); }));
  EXPECT_EQ(refused, ErrorText([&] { database->SetSessionName("Default"); }));
  database->SetDatabaseName("Kelto");  // unchanged passes
  // KeepConnection off without users disconnects.
  database->SetKeepConnection(false);
  EXPECT_FALSE(database->Connected());
}

TEST_F(TTarvoDatabaseTest, MissingDirectoryFailsAndLeavesTheDatabaseDisconnected) {
  auto* database = new TTarvoDatabase(&session_);
  database->SetDatabaseName("Gone");
  database->SetDirectory(dir_.Dir() + "nowhere/");
  EXPECT_ENGINE_ERROR(kInvalidPath, database->Open());
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(0u, session_.EngineSession()->DirectoryCount());
  // A temporary database created for the failing open is freed.
  EXPECT_ENGINE_ERROR(kInvalidPath, session_.OpenDatabase(dir_.Dir() + "nowhere/", nullptr));
  EXPECT_EQ(1u, session_.Databases().size());
}

TEST_F(TTarvoDatabaseTest, UnknownSessionNameRefusesTheConnect) {
  TTarvoDatabase database;
  database.SetDatabaseName("Lost");
  database.SetSessionName("NoSuchSession");
  EXPECT_EQ("Session name NoSuchSession is not valid.", ErrorText([&] { database.Open(); }));
  TTarvoTable table;
  table.SetSessionName("NoSuchSession");
  table.SetTableName("T");
  EXPECT_EQ("Session name NoSuchSession is not valid.", ErrorText([&] { table.Open(); }));
}

TEST_F(TTarvoDatabaseTest, DatabaseMadeBeforeItsSessionMovesThereWhenUsed) {
  testing::CreateSimpleTable(dir_.Dir(), "Early");
  TTarvoDatabase early;  // in the default session until connected
  early.SetDatabaseName("EarlyBase");
  early.SetDirectory(dir_.Dir());
  early.SetSessionName("LaterSession");
  TTarvoSession later;
  later.SetSessionName("LaterSession");
  TTarvoTable table;
  table.SetSessionName("LaterSession");
  table.SetDatabaseName("EarlyBase");
  table.SetTableName("Early");
  table.Open();
  EXPECT_EQ(&later, &early.Session());
  EXPECT_EQ(&early, table.Database());
  // Disconnecting closes the data sets that use the database.
  early.Close();
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(nullptr, table.Database());
}

TEST_F(TTarvoDatabaseTest, DestroyingADatabaseClosesItsDataSets) {
  testing::CreateSimpleTable(dir_.Dir(), "Orders");
  TTarvoTable table;
  {
    TTarvoDatabase database;
    database.SetDatabaseName("Short");
    database.SetDirectory(dir_.Dir());
    table.SetDatabaseName("Short");
    table.SetTableName("Orders");
    table.Open();
    EXPECT_EQ(1, database.UseCount());
  }
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(nullptr, table.Database());
}

}  // namespace
}  // namespace tarvo
