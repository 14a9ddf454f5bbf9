#include "engine/format/data_file.h"

#include <gtest/gtest.h>

#include <fstream>

#include "engine/tables/data_cursor.h"
#include "engine/tables/data_table.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TTempDir;
using testing::TTestEngine;

class DataFileTest : public ::testing::Test {
 protected:
  TCursorOpenOptions Options(bool exclusive = true) {
    TCursorOpenOptions options;
    options.table_name = "T";
    options.exclusive = exclusive;
    return options;
  }
  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
};

TEST_F(DataFileTest, CountersWrapToOneAndReachTheFile) {
  engine_.directory->CreateTable("T", testing::SmallDefinition(true));
  {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    cursor.Open(Options());
    TDataFile& data = cursor.Table().DataFile();
    data.SetLastAutoIncrement(2147483646);
    EXPECT_EQ(2147483647, data.NextAutoIncrement());
    EXPECT_EQ(1, data.NextAutoIncrement());
    data.MutableHeader().BlobStampCounter = 2147483647;
    EXPECT_EQ(1, data.NextBlobStamp());
    EXPECT_TRUE(data.HeaderIsChanged());
  }
  // Closing the exclusive table wrote the header.
  const TDataHeader header = ReadClosedTableHeader(*engine_.directory, "T");
  EXPECT_EQ(1, header.LastAutoIncrement);
  EXPECT_EQ(1, header.BlobStampCounter);
  EXPECT_EQ(2, header.HeaderChangeCount);
}

TEST_F(DataFileTest, HeaderInfoAndDescriptorUpdatesAreKept) {
  engine_.directory->CreateTable("T", testing::SmallDefinition(false));
  {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    cursor.Open(Options());
    TDataFile& data = cursor.Table().DataFile();
    data.UpdateHeaderInfo("", "Neue Beschreibung", 7, 9, 42);
    TFieldDescriptor name = *data.GetFieldDescriptor("NAME");
    name.FieldName = "Nachname";
    name.Required = 1;
    name.FieldSize = 99;  // not taken over: only names, texts and flags are
    data.UpdateFieldDescriptor(2, name);
    EXPECT_FALSE(data.GetFieldDescriptor(3).has_value());
    EXPECT_EQ(2, data.GetFieldDescriptorByNumber(2)->FieldNumber);
  }
  TDataCursor cursor(*engine_.session, *engine_.directory);
  cursor.Open(Options(false));
  const TDataFile& data = cursor.Table().DataFile();
  EXPECT_EQ("Neue Beschreibung", data.Description());
  EXPECT_EQ(7, data.UserWord1());
  EXPECT_EQ(9, data.UserWord2());
  EXPECT_EQ(42, data.LastAutoIncrement());
  EXPECT_EQ("Nachname", data.GetFieldDescriptor(2)->FieldName);
  EXPECT_EQ(1, data.GetFieldDescriptor(2)->Required);
  EXPECT_EQ(20, data.GetFieldDescriptor(2)->FieldSize);
}

TEST_F(DataFileTest, EncryptedTableNeedsItsPassword) {
  TTableDefinition definition = testing::SmallDefinition(true);
  definition.encrypted = true;
  definition.password = "Geheim";
  definition.description = "Lohnliste";
  engine_.directory->CreateTable("T", definition);
  {
    // The file holds neither the description nor the password in plain text.
    std::ifstream f(dir_.File("T.DAT"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string::npos, bytes.find("Lohnliste"));
    EXPECT_EQ(std::string::npos, bytes.find("Geheim"));
    EXPECT_EQ(std::string::npos, bytes.find("Name"));
  }
  TDataCursor cursor(*engine_.session, *engine_.directory);
  EXPECT_ENGINE_ERROR(kPasswordRequired, cursor.Open(Options()));

  int asked = 0;
  engine_.session->OnPassword = [&](const std::string&) {
    ++asked;
    if (asked == 1) engine_.session->AddPassword("falsch");
    if (asked == 2) engine_.session->AddPassword("Geheim");
    return asked <= 2;
  };
  cursor.Open(Options());
  EXPECT_EQ(2, asked);
  EXPECT_EQ("Lohnliste", cursor.Table().DataFile().Description());
  EXPECT_EQ("Name", cursor.Descriptors()[1].FieldName);
  cursor.Close();

  engine_.session->OnPassword = nullptr;
  TDataCursor again(*engine_.session, *engine_.directory);
  EXPECT_NO_THROW(again.Open(Options()));  // the session knows it now
}

}  // namespace
}  // namespace tarvo
