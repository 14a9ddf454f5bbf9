#include "errors/engine_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

ETarvoEngineError Catch(TEngineCode code, std::string_view table, std::string_view field = {},
                        std::string_view extra = {}, std::string_view index = {}) {
  try {
    RaiseEngineError(code, table, field, extra, index);
  } catch (const ETarvoEngineError& e) {
    return e;
  }
  ADD_FAILURE() << "nothing raised";
  return ETarvoEngineError(0);
}

TEST(EngineErrorTest, MessageHasPrefixCodeAndText) {
  const auto e = Catch(kHeaderCorrupt, "KUNDEN");
  EXPECT_STREQ("Tarvo Engine Error # 8961 Header information corrupt in table 'KUNDEN'", e.what());
  ASSERT_EQ(1u, e.ErrorCount());
  EXPECT_EQ(8961u, e.Errors(0).ErrorCode);
  EXPECT_EQ("Header information corrupt in table 'KUNDEN'", e.Errors(0).Message);
}

TEST(EngineErrorTest, UnknownCodeGetsDefaultTextWithTable) {
  const auto e = Catch(4711, "KUNDEN");
  EXPECT_STREQ("Tarvo Engine Error # 4711 Unknown error occurred with table 'KUNDEN'", e.what());
  EXPECT_EQ(4711, EngineCode(e));
}

TEST(EngineErrorTest, PlaceholdersFillInOrder) {
  EXPECT_EQ("Duplicate key found in index 'Name1' of table 'KUNDEN'",
            Catch(kDuplicateKey, "KUNDEN", "", "", "Name1").Errors(0).Message);
  EXPECT_EQ("The value for the field 'Preis' in table 'KUNDEN' is below the minimum allowable value",
            Catch(kBelowMinimum, "KUNDEN", "Preis").Errors(0).Message);
  EXPECT_EQ("Invalid field number '7' specified in index 'ByName' for table 'T'",
            Catch(kInvalidIndexField, "T", "7", "", "ByName").Errors(0).Message);
  EXPECT_EQ("Filter error for table 'T' - bad token",
            Catch(kFilterError, "T", "", "bad token").Errors(0).Message);
  EXPECT_EQ("SQL error - near FROM", Catch(kSqlError, "T", "", "near FROM").Errors(0).Message);
}

TEST(EngineErrorTest, CodesWithoutPlaceholdersIgnoreContext) {
  EXPECT_EQ("Engine not initialized", Catch(kNotInitialized, "KUNDEN").Errors(0).Message);
  EXPECT_EQ("There is insufficient operating system memory available for the current operation",
            Catch(kOutOfMemory, "KUNDEN").Errors(0).Message);
}

TEST(EngineErrorTest, LongMessageIsCutAt254) {
  const std::string long_name(300, 'x');
  const auto e = Catch(kDuplicateKey, long_name, "", "", long_name);
  EXPECT_EQ(254u, e.Errors(0).Message.size());
  EXPECT_EQ(std::string("Tarvo Engine Error # 9729 ") + e.Errors(0).Message, e.what());
  // The names themselves are short texts of at most 255 characters.
  ASSERT_TRUE(e.Names());
  EXPECT_EQ(255u, e.Names()->table.size());
}

TEST(EngineErrorTest, EachErrorKeepsItsOwnNames) {
  const auto first = Catch(kInvalidIndexField, "T1", "F1", "", "I1");
  const auto second = Catch(kReadError, "T2");
  ASSERT_TRUE(first.Names() && second.Names());
  EXPECT_EQ("F1", first.Names()->field);
  EXPECT_EQ("T1", first.Names()->table);
  EXPECT_EQ("I1", first.Names()->index);
  // A later error with fewer names takes nothing over from an earlier one.
  EXPECT_EQ("", second.Names()->field);
  EXPECT_EQ("Error reading from table 'T2'", second.Errors(0).Message);
  EXPECT_EQ("Error reading from table ''", ETarvoEngineError(kReadError).Errors(0).Message);
}

TEST(EngineErrorTest, IsADatabaseError) {
  EXPECT_THROW(
      {
        try {
          RaiseEngineError(kAccessDenied, "X");
        } catch (const EDatabaseError& e) {
          EXPECT_STREQ("Tarvo Engine Error # 11013 Access denied to table 'X'", e.what());
          throw;
        }
      },
      EDatabaseError);
  EXPECT_TRUE(IsIoCode(kReadError));
  EXPECT_TRUE(IsIoCode(kAccessDenied));
  EXPECT_FALSE(IsIoCode(kHeaderCorrupt));
}

TEST(DatabaseErrorTest, FormatTextFillsPlaceholdersInOrder) {
  EXPECT_EQ("Das Feld 'ID' wurde nicht gefunden", FormatText("Das Feld '%s' wurde nicht gefunden", {"ID"}));
  EXPECT_EQ("a-b-", FormatText("%s-%s-%s", {"a", "b"}));
}

}  // namespace
}  // namespace tarvo
