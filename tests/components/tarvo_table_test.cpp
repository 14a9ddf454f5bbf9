#include "components/tarvo_table.h"

#include <gtest/gtest.h>

#include <string>

#include "components/database_texts.h"
#include "components/password_prompt.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_session.h"
#include "engine/tables/data_cursor.h"
#include "tests/components/component_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::CreateSimpleTable;
using testing::CreateTestTable;
using testing::Field;
using testing::Index;
using testing::TTempDir;

std::string DatabaseErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const ETarvoEngineError& e) {
    return std::string("engine error: ") + e.what();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "nothing raised";
}

class TTarvoTableTest : public ::testing::Test {
 protected:
  std::size_t DefaultDatabases() const { return Sessions().DefaultSession()->Databases().size(); }

  TTempDir dir_;
};

TEST_F(TTarvoTableTest, PathDatabaseNameGetsTemporaryDatabaseGoneAfterClose) {
  CreateSimpleTable(dir_.Dir(), "Orders");
  const std::size_t before = DefaultDatabases();
  TTarvoTable table;
  table.SetDatabaseName(dir_.Dir());
  table.SetTableName("Orders");
  table.Open();
  ASSERT_NE(nullptr, table.Database());
  EXPECT_TRUE(table.Database()->Temporary());
  EXPECT_TRUE(table.Database()->Connected());
  EXPECT_EQ(dir_.Dir(), table.Database()->EffectiveDirectory());
  EXPECT_EQ(before + 1, DefaultDatabases());
  table.Close();
  EXPECT_EQ(nullptr, table.Database());
  EXPECT_EQ(before, DefaultDatabases());
}

TEST_F(TTarvoTableTest, FailedOpenReleasesTemporaryDatabase) {
  const std::size_t before = DefaultDatabases();
  TTarvoTable table;
  table.SetDatabaseName(dir_.Dir());
  table.SetTableName("Missing");
  EXPECT_ENGINE_ERROR(kInvalidPath, table.Open());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(0, table.DBFlags());
  EXPECT_EQ(before, DefaultDatabases());
  table.SetTableName("");
  EXPECT_EQ("Missing table name.", DatabaseErrorText([&] { table.Open(); }));
  EXPECT_EQ(before, DefaultDatabases());
}

TEST_F(TTarvoTableTest, HeaderValuesOfClosedTableLeaveItClosedAndReleaseDatabase) {
  testing::CopyFixture("basic", dir_.Path());
  const std::size_t before = DefaultDatabases();
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Kunden.DAT");
  EXPECT_EQ(0, table.LanguageID());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(nullptr, table.Database());
  EXPECT_EQ(before, DefaultDatabases());
  EXPECT_EQ(0, table.SortID());
  EXPECT_EQ(512, table.BlobBlockSize());
  const std::int32_t closed_last = table.LastAutoIncValue();
  EXPECT_EQ(200, closed_last);
  // The same values from the open table.
  table.Open();
  EXPECT_EQ(0, table.LanguageID());
  EXPECT_EQ(512, table.BlobBlockSize());
  EXPECT_EQ(closed_last, table.LastAutoIncValue());
  EXPECT_EQ(1, table.DBFlags());  // the header read released its own use only
  table.Close();
}

TEST_F(TTarvoTableTest, HeaderValuesOfAnotherTable) {
  CreateSimpleTable(dir_.Dir(), "Blocks");
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Blocks");
  EXPECT_EQ(1024, table.BlobBlockSize());
  EXPECT_EQ(0, table.LastAutoIncValue());
}

TEST_F(TTarvoTableTest, FullPathTableNameSplitsIntoDirectoryAndName) {
  TTarvoTable table;
  table.SetDatabaseName("Kelto");
  table.SetTableName(dir_.Dir() + "KUNDEN.DAT");
  EXPECT_EQ(dir_.Dir(), table.DatabaseName());
  EXPECT_EQ("KUNDEN.DAT", table.TableName());
  table.SetTableName("C:\\Daten\\Artikel.dat");
  EXPECT_EQ("C:\\Daten\\", table.DatabaseName());
  EXPECT_EQ("Artikel.dat", table.TableName());
  table.SetTableName("Plain");
  EXPECT_EQ("C:\\Daten\\", table.DatabaseName());
  EXPECT_EQ("Plain", table.TableName());
  // In memory only the name is taken.
  TTarvoTable memory;
  memory.SetInMemory(true);
  EXPECT_EQ("Memory", memory.DatabaseName());
  memory.SetTableName(dir_.Dir() + "Scratch.DAT");
  EXPECT_EQ("Memory", memory.DatabaseName());
  EXPECT_EQ("Scratch.DAT", memory.TableName());
  memory.SetDatabaseName("Elsewhere");
  EXPECT_EQ("Memory", memory.DatabaseName());
}

TEST_F(TTarvoTableTest, DefinitionsStayLoadedUntilTheTableReallyChanges) {
  testing::CopyFixture("basic", dir_.Path());
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Kunden.DAT");
  table.RestructureIndexDefs().Update();
  ASSERT_TRUE(table.RestructureFieldDefs().Loaded());
  ASSERT_TRUE(table.RestructureIndexDefs().Loaded());
  table.SetTableName("Kunden.DAT");
  table.SetDatabaseName(dir_.Dir());
  EXPECT_TRUE(table.RestructureFieldDefs().Loaded());
  EXPECT_TRUE(table.RestructureIndexDefs().Loaded());
  table.SetTableName("kunden.dat");  // another spelling counts as a change
  EXPECT_FALSE(table.RestructureFieldDefs().Loaded());
  EXPECT_FALSE(table.RestructureIndexDefs().Loaded());
  table.RestructureIndexDefs().Update();
  table.SetSessionName("");  // every assignment of the session name counts
  EXPECT_FALSE(table.RestructureFieldDefs().Loaded());
  EXPECT_FALSE(table.RestructureIndexDefs().Loaded());
}

TEST_F(TTarvoTableTest, KundenDefinitionsLoadInOrderWithTypesSizesAndOptions) {
  testing::CopyFixture("basic", dir_.Path());
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Kunden.DAT");
  table.RestructureFieldDefs().Update();
  table.RestructureIndexDefs().Update();
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(nullptr, table.Database());
  using enum TFieldType;
  struct TExpected {
    const char* name;
    TFieldType type;
    int size;
  };
  const TExpected fields[] = {
      {"ID", ftAutoInc, 0},     {"Name", ftString, 40},   {"Born", ftDate, 0},     {"Notes", ftMemo, 0},
      {"Active", ftBoolean, 0}, {"Small", ftSmallint, 0}, {"Count", ftInteger, 0}, {"Amount", ftFloat, 0},
      {"Price", ftCurrency, 0}, {"Dec", ftBCD, 2},        {"Raw", ftBytes, 8},     {"At", ftTime, 0},
      {"Stamp", ftDateTime, 0}, {"W", ftWord, 0},         {"VB", ftVarBytes, 10},  {"Pic", ftGraphic, 0}};
  const TRestructureFieldDefs& defs = table.RestructureFieldDefs();
  ASSERT_EQ(std::size(fields), defs.Count());
  for (std::size_t i = 0; i < defs.Count(); ++i) {
    SCOPED_TRACE(fields[i].name);
    EXPECT_EQ(fields[i].name, defs[i].Name);
    EXPECT_EQ(fields[i].type, defs[i].DataType);
    EXPECT_EQ(fields[i].size, defs[i].Size);
    EXPECT_EQ(i + 1, defs[i].FieldNo);
  }
  const TRestructureIndexDefs& indexes = table.RestructureIndexDefs();
  ASSERT_EQ(5u, indexes.Count());
  EXPECT_EQ("", indexes[0].Name);
  EXPECT_EQ("ID", indexes[0].Fields);
  EXPECT_EQ(kIxPrimary | kIxUnique, indexes[0].Options);
  EXPECT_EQ("ByName", indexes[1].Name);
  EXPECT_EQ("Name", indexes[1].Fields);
  EXPECT_EQ(kIxCaseInsensitive, indexes[1].Options);
  EXPECT_EQ(3, indexes[1].Compression);
  EXPECT_EQ("ByBorn", indexes[2].Name);
  EXPECT_EQ(kIxDescending, indexes[2].Options);
  EXPECT_EQ(1, indexes[2].Compression);
  EXPECT_EQ("ByCount", indexes[3].Name);
  EXPECT_EQ(kIxUnique, indexes[3].Options);
  EXPECT_EQ(2, indexes[3].Compression);
  EXPECT_EQ("ByAmount", indexes[4].Name);
  EXPECT_EQ("Amount;Small", indexes[4].Fields);
  EXPECT_EQ(0, indexes[4].Options);
  // Converting back gives the engine's own definitions of the fields and the indexes.
  table.Open();
  const auto& descriptors = table.Handle()->Descriptors();
  for (std::size_t i = 0; i < defs.Count(); ++i) {
    const TFieldDescriptor back = defs[i].ToDescriptor();
    SCOPED_TRACE(back.FieldName);
    EXPECT_EQ(descriptors[i].FieldType, back.FieldType);
    EXPECT_EQ(descriptors[i].FieldSubType, back.FieldSubType);
    EXPECT_EQ(descriptors[i].FieldSize, back.FieldSize);
    EXPECT_EQ(descriptors[i].FieldDecimals, back.FieldDecimals);
    EXPECT_EQ(descriptors[i].Required, back.Required);
  }
  const TIndexDescriptor by_amount = indexes[4].ToDescriptor(defs);
  EXPECT_EQ(2, by_amount.field_count);
  EXPECT_EQ(8, by_amount.field_numbers[0]);
  EXPECT_EQ(6, by_amount.field_numbers[1]);
  // The framework's collections come from the open table too.
  EXPECT_EQ(16u, table.FieldDefs().Count());
  EXPECT_EQ(16u, table.Fields().Count());
  EXPECT_EQ(TFieldType::ftVarBytes, table.Fields().FieldByName("vb").DataType);
  EXPECT_EQ("Das Feld 'Nope' wurde nicht gefunden",
            DatabaseErrorText([&] { table.Fields().FieldByName("Nope"); }));
  table.IndexDefs().Update();
  ASSERT_EQ(5u, table.IndexDefs().Count());
  EXPECT_EQ("Amount;Small", table.IndexDefs()[4].Fields);
  table.Close();
}

TEST_F(TTarvoTableTest, EveryEngineTypeMapsAndTypesWithoutFieldTypeAreLeftOut) {
  TTableDefinition definition;
  definition.fields = {Field("Auto", kTypeInt32, 0, kSubTypeAutoInc),
                       Field("Ext", kTypeExtended),  // no field type: left out
                       Field("Unsigned", kTypeUInt32),
                       Field("Big", kTypeLargeint),
                       Field("Big2", kTypeLargeint2),
                       Field("Bin", kTypeBlob, 0, kSubTypeBinary),
                       Field("Fmt", kTypeBlob, 0, kSubTypeFmtMemo),
                       Field("Ole", kTypeBlob, 0, kSubTypeOle),
                       Field("Typed", kTypeBlob, 0, kSubTypeTypedBinary),
                       Field("Money", kTypeFloat, 0, kSubTypeMoney),
                       Field("Fixed", kTypeFixed, 0, 0, 4),
                       Field("Text", kTypeText, 250)};
  definition.fields[11].Required = 1;
  definition.fields[11].CaseMapping = kCaseUpper;
  definition.fields[11].DefaultValue = "ABC";
  definition.fields[11].FieldDescription = "Remark";
  definition.indexes = {Index("", {1}, true), Index("ByText", {12, 3}, false, true, true, 3),
                        Index("ByBig", {4}, true)};
  CreateTestTable(dir_.Dir(), "Types", definition);

  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Types.DAT");
  table.RestructureIndexDefs().Update();
  const TRestructureFieldDefs& defs = table.RestructureFieldDefs();
  using enum TFieldType;
  const TFieldType types[] = {ftAutoInc, ftInteger,     ftLargeint, ftLargeint, ftBlob,  ftFmtMemo,
                              ftBlob,    ftTypedBinary, ftCurrency, ftBCD,      ftString};
  ASSERT_EQ(std::size(types), defs.Count());
  for (std::size_t i = 0; i < defs.Count(); ++i) EXPECT_EQ(types[i], defs[i].DataType) << defs[i].Name;
  EXPECT_EQ(3, defs[1].FieldNo);  // numbers stay those of the table
  EXPECT_EQ(4, defs[9].Size);
  const TRestructureFieldDef& text = defs[10];
  EXPECT_EQ(250, text.Size);
  EXPECT_TRUE(text.Required);
  EXPECT_EQ(kCaseUpper, text.CaseMapping);
  EXPECT_EQ("ABC", text.DefaultValue);
  EXPECT_EQ("Remark", text.Description);
  const TRestructureIndexDefs& indexes = table.RestructureIndexDefs();
  ASSERT_EQ(3u, indexes.Count());
  // Key fields are named by field number, also behind a field that was left out.
  EXPECT_EQ("Text;Unsigned", indexes[1].Fields);
  EXPECT_EQ(kIxDescending | kIxCaseInsensitive, indexes[1].Options);
  EXPECT_EQ("Big", indexes[2].Fields);
  EXPECT_EQ(kIxUnique, indexes[2].Options);
}

TEST_F(TTarvoTableTest, TableWithoutPrimaryIndexLoadsOnlySecondaryIndexes) {
  TTableDefinition definition;
  definition.fields = {Field("A", kTypeInt32), Field("B", kTypeText, 5)};
  definition.indexes = {TIndexDescriptor{}, Index("ByB", {2}), Index("ByA", {1}, true)};
  CreateTestTable(dir_.Dir(), "NoKey", definition);
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "NoKey");
  table.RestructureIndexDefs().Update();
  const TRestructureIndexDefs& indexes = table.RestructureIndexDefs();
  ASSERT_EQ(2u, indexes.Count());
  EXPECT_EQ("ByB", indexes[0].Name);
  EXPECT_EQ("B", indexes[0].Fields);
  EXPECT_EQ(0, indexes[0].Options & kIxPrimary);
  EXPECT_EQ("ByA", indexes[1].Name);
}

TEST_F(TTarvoTableTest, OpenTableRefusesNameAndFlagChanges) {
  CreateSimpleTable(dir_.Dir(), "Orders");
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Orders");
  table.SetExclusive(true);
  table.Open();
  const std::string open_text = "Operation bei geöffneter Datenmenge nicht ausführbar";
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetTableName("Other"); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetExclusive(false); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetReadOnly(true); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetInMemory(true); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetSessionName("Default"); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.SetDatabaseName("Kelto"); }));
  EXPECT_EQ(open_text, DatabaseErrorText([&] { table.FieldDefs().Add("X", TFieldType::ftInteger); }));
  table.SetExclusive(true);  // unchanged values pass
  table.SetTableName("Orders");
  table.Close();
  // While a header read holds the database, the database name cannot change.
  TDBFlagGuard use(table, TDBFlag::kOperation);
  EXPECT_EQ("Cannot perform this operation on an open database.",
            DatabaseErrorText([&] { table.SetDatabaseName("Kelto"); }));
}

TEST_F(TTarvoTableTest, UnknownIndexNameFailsTheOpen) {
  testing::CopyFixture("basic", dir_.Path());
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Kunden");
  table.SetIndexName("byname");
  table.Open();
  table.Close();
  table.SetIndexName("ByNothing");
  EXPECT_ENGINE_ERROR(kInvalidIndexName, table.Open());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(nullptr, table.Database());
}

class TTarvoTablePasswordTest : public TTarvoTableTest {
 protected:
  void SetUp() override {
    CreateSimpleTable(dir_.Dir(), "Secret", true, "opensesame");
    session_ = std::make_unique<TTarvoSession>();
    session_->SetSessionName("PasswordTest");
    table_.SetSessionName("PasswordTest");
    table_.SetTableName(dir_.Dir() + "Secret.DAT");
  }
  void TearDown() override {
    table_.Close();
    SetPasswordPrompt(nullptr);
  }

  std::unique_ptr<TTarvoSession> session_;
  TTarvoTable table_;
};

TEST_F(TTarvoTablePasswordTest, OnPasswordSuppliesThePassword) {
  int asked = 0;
  session_->OnPassword = [&](TTarvoSession& sender, bool& continue_open) {
    ++asked;
    EXPECT_EQ(session_.get(), &sender);
    EXPECT_FALSE(continue_open);
    sender.AddPassword("opensesame");
    continue_open = true;
  };
  table_.Open();
  EXPECT_TRUE(table_.Active());
  EXPECT_EQ(1, asked);
  table_.Close();
  table_.Open();  // the session keeps the password
  EXPECT_EQ(1, asked);
}

TEST_F(TTarvoTablePasswordTest, WithoutPasswordTheOpenFails) {
  EXPECT_ENGINE_ERROR(kPasswordRequired, table_.Open());
  bool asked = false;
  session_->OnPassword = [&](TTarvoSession& sender, bool& continue_open) {
    asked = true;
    sender.AddPassword("wrong");
    continue_open = false;
  };
  EXPECT_ENGINE_ERROR(kPasswordRequired, table_.Open());
  EXPECT_TRUE(asked);
  EXPECT_FALSE(table_.Active());
  EXPECT_EQ(0u, session_->Databases().size());
}

TEST_F(TTarvoTablePasswordTest, PromptIsAskedWhenOnPasswordIsUnassigned) {
  struct TTypingPrompt : TPasswordPrompt {
    bool Prompt(TTarvoSession& session) override {
      ++calls;
      TPasswordDialogLogic dialog(session);
      dialog.SetText(calls == 1 ? "guess" : "opensesame");
      dialog.Add();
      return dialog.Ok();
    }
    int calls = 0;
  } prompt;
  SetPasswordPrompt(&prompt);
  table_.Open();
  EXPECT_EQ(2, prompt.calls);
  table_.Close();
  // A password typed and added, then all removed, then Cancel: the open fails, none is left.
  session_->RemoveAllPasswords();
  struct TCancelPrompt : TPasswordPrompt {
    bool Prompt(TTarvoSession& session) override {
      TPasswordDialogLogic dialog(session);
      dialog.SetText("opensesame");
      dialog.Add();
      dialog.RemoveAll();
      dialog.Cancel();
      return dialog.Accepted();
    }
  } cancel;
  SetPasswordPrompt(&cancel);
  EXPECT_ENGINE_ERROR(kPasswordRequired, table_.Open());
  EXPECT_TRUE(session_->EngineSession()->Passwords().empty());
}

TARVO_CHILD(HoldTableExclusive) {
  TDataSession session;
  TDataDirectory* directory = session.GetDirectory("", args.at(0));
  {
    TDataCursor cursor(session, *directory);
    TCursorOpenOptions options;
    options.table_name = "Orders";
    options.exclusive = true;
    cursor.Open(options);
    testing::TellParent("holding");
    (void)testing::HearFromParent();
  }
  (void)session.ReleaseDirectory(directory);
  return 0;
}

TEST_F(TTarvoTableTest, TableHeldExclusivelyByAnotherProcessFailsWith11013) {
  CreateSimpleTable(dir_.Dir(), "Orders");
  testing::TChildProcess child("HoldTableExclusive", {dir_.Dir()});
  ASSERT_EQ("holding", child.Receive());
  const std::size_t before = DefaultDatabases();
  TTarvoTable table;
  table.SetTableName(dir_.Dir() + "Orders.DAT");
  table.SetExclusive(true);
  EXPECT_ENGINE_ERROR(kAccessDenied, table.Open());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(before, DefaultDatabases());
  child.Send("release");
  EXPECT_EQ(0, child.Wait());
  table.Open();
  EXPECT_TRUE(table.Exclusive());
  table.Close();
}

TEST_F(TTarvoTableTest, ReadOnlyFilesOpenReadOnlyOnlyWhileOpen) {
  testing::CopyFixture("basic", dir_.Path());
  std::filesystem::permissions(dir_.File("Kunden.DAT"),
                               std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                   std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  TTarvoTable table;
  table.SetTableName(dir_.File("Kunden.DAT"));
  table.Open();
  EXPECT_TRUE(table.ReadOnly());
  table.Close();
  EXPECT_FALSE(table.ReadOnly());  // a later open, of this table or another, is as asked
}

}  // namespace
}  // namespace tarvo
