#include "engine/tables/data_directory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TTempDir;
using testing::TTestEngine;

using TNames = std::vector<std::string>;

std::unique_ptr<TDataCursor> Open(TTestEngine& engine, const std::string& table) {
  auto cursor = std::make_unique<TDataCursor>(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = table;
  cursor->Open(options);
  cursor->SelectSlotOrder();
  return cursor;
}

std::vector<std::byte> Named(const TDataCursor& cursor, const std::string& name) {
  std::vector<std::byte> record = cursor.NewRecordBuffer();
  PutText(FieldSlot(record, cursor.Descriptors()[1]), name, 0, 0, 0);
  return record;
}

TNames Names(TDataCursor& cursor) {
  TNames names;
  for (bool on = cursor.First(); on; on = cursor.Next()) {
    names.push_back(GetText(ConstFieldSlot(cursor.CurrentRecord(), cursor.Descriptors()[1])).value_or(""));
  }
  return names;
}

// The names in both tables, as the open cursors see them and as a session of its own reads the files.
std::vector<TNames> Seen(const TTempDir& dir, TDataCursor& a, TDataCursor& b) {
  TTestEngine other(dir.Dir());
  return {Names(a), Names(b), Names(*Open(other, "A")), Names(*Open(other, "B"))};
}

// A transaction of the directory spans its tables: a roll-back leaves both as they were, a commit
// keeps the changes of both.
TEST(DataDirectoryTest, ATransactionCoversEveryTableOfTheDirectory) {
  TTempDir dir;
  TTestEngine engine(dir.Dir());
  for (const char* table : {"A", "B"}) engine.directory->CreateTable(table, testing::SmallDefinition(false));
  auto a = Open(engine, "A");
  auto b = Open(engine, "B");
  std::vector<std::byte> anna = Named(*a, "Anna");
  a->AddRecord(anna, false);
  std::vector<std::byte> cleo = Named(*b, "Cleo");
  b->AddRecord(cleo, false);
  const std::vector<TNames> before = {{"Anna"}, {"Cleo"}, {"Anna"}, {"Cleo"}};
  ASSERT_EQ(Seen(dir, *a, *b), before);

  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    engine.directory->StartTransaction();
    ASSERT_TRUE(engine.directory->InTransaction());
    std::vector<std::byte> bert = Named(*a, "Bert");
    a->AddRecord(bert, false);
    ASSERT_TRUE(b->First());
    std::vector<std::byte> dora = Named(*b, "Dora");
    b->ChangeRecord(dora, false, true);
    EXPECT_EQ(Names(*a), (TNames{"Anna", "Bert"}));
    EXPECT_EQ(Names(*b), TNames{"Dora"});
    if (commit) {
      engine.directory->Commit(true);
    } else {
      engine.directory->Rollback();
    }
    EXPECT_FALSE(engine.directory->InTransaction());
    const std::vector<TNames> after = {{"Anna", "Bert"}, {"Dora"}, {"Anna", "Bert"}, {"Dora"}};
    EXPECT_EQ(Seen(dir, *a, *b), commit ? after : before);
  }
}

}  // namespace
}  // namespace tarvo
