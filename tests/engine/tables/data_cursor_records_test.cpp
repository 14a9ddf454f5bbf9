// Cursor record operations and navigation over real index trees: slot reuse, duplicate keys, field
// validation, auto-increment rules, record locks between cursors and between processes, and two
// processes adding to one table at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <thread>

#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor.h"
#include "support/fault_injector.h"
#include "tests/engine/records/record_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::IndexOn;
using testing::PeopleDefinition;
using testing::TChildProcess;
using testing::TTempDir;
using testing::TTestDatabase;

// Index definitions: unique on Count, case-insensitive on Name.
TTableDefinition IndexedPeople(bool primary) {
  return PeopleDefinition(primary, {IndexOn("ByCount", {4}, true), IndexOn("ByName", {2}, false, true)});
}

struct TPerson {
  std::string name;
  std::int32_t count = 0;
  std::int32_t born = 700'000;
};

std::vector<std::byte> Image(const TDataCursor& cursor, const TPerson& person) {
  std::vector<std::byte> record = cursor.NewRecordBuffer();
  const auto& f = cursor.Descriptors();
  if (!person.name.empty()) PutText(FieldSlot(record, f[1]), person.name, 0, 0, 0);
  PutDate(FieldSlot(record, f[2]), person.born);
  PutInt32(FieldSlot(record, f[3]), person.count);
  return record;
}

std::string NameOf(const TDataCursor& cursor) {
  return GetText(ConstFieldSlot(cursor.CurrentRecord(), cursor.Descriptors()[1])).value_or("");
}

class DataCursorRecordsTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataCursor> OpenCursor(bool exclusive = false, bool read_only = false,
                                          const std::string& name = "People") {
    auto cursor = std::make_unique<TDataCursor>(db_.session, *db_.directory);
    TCursorOpenOptions options;
    options.table_name = name;
    options.exclusive = exclusive;
    options.read_only = read_only;
    cursor->Open(options);
    return cursor;
  }
  std::int32_t Add(TDataCursor& cursor, const TPerson& person) {
    std::vector<std::byte> record = Image(cursor, person);
    return cursor.AddRecord(record, true);
  }
  void Delete(TDataCursor& cursor, std::int32_t slot) {
    ASSERT_TRUE(cursor.GoToSlot(slot));
    const std::vector<std::byte> seen = cursor.CurrentRecord();
    cursor.DeleteRecord(seen, false);
  }

  TTempDir dir_;
  TTestDatabase db_{dir_.Dir()};
};

TEST_F(DataCursorRecordsTest, DeletedSlotsAreTakenAgainOnlyWithAPrimaryIndex) {
  for (const bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "primary index" : "no primary index");
    const std::string name = primary ? "WithKey" : "WithoutKey";
    db_.directory->CreateTable(name, IndexedPeople(primary));
    auto cursor = OpenCursor(false, false, name);
    for (int i = 1; i <= 8; ++i) Add(*cursor, {"P" + std::to_string(i), i});
    Delete(*cursor, 3);
    Delete(*cursor, 7);
    EXPECT_EQ(cursor->RecordCount(), 6);
    const std::int32_t first = Add(*cursor, {"New1", 101});
    const std::int32_t second = Add(*cursor, {"New2", 102});
    EXPECT_EQ(first, primary ? 7 : 9);
    EXPECT_EQ(second, primary ? 3 : 10);
    EXPECT_EQ(cursor->RecordCount(), 8);
    // Every record is found through every index.
    for (const std::string index : {"ByCount", "ByName"}) {
      cursor->SelectIndex(index);
      int seen = 0;
      for (bool on = cursor->First(); on; on = cursor->Next()) ++seen;
      EXPECT_EQ(seen, 8) << index;
    }
  }
}

TEST_F(DataCursorRecordsTest, ErrorsRaisedAtOnceOnTwoTablesNameTheirOwnTable) {
  const std::vector<std::string> names = {"Alpha", "Beta"};
  for (const std::string& name : names) {
    db_.directory->CreateTable(name, IndexedPeople(true));
    auto cursor = OpenCursor(false, false, name);
    Add(*cursor, {"Anna", 1});
  }
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> wrong(names.size());
  for (std::size_t t = 0; t < names.size(); ++t) {
    threads.emplace_back([&, t] {
      TTestDatabase db{dir_.Dir()};  // a session of its own, as another program would have
      TDataCursor cursor(db.session, *db.directory);
      TCursorOpenOptions options;
      options.table_name = names[t];
      cursor.Open(options);
      std::vector<std::byte> duplicate = Image(cursor, {"Other", 1});
      for (int i = 0; i < 300; ++i) {
        try {
          (void)cursor.AddRecord(duplicate, true);
          wrong[t].push_back("nothing raised");
        } catch (const ETarvoEngineError& e) {
          const std::string text = e.what();
          if (text.find("'" + names[t]) == std::string::npos ||
              text.find(names[1 - t]) != std::string::npos)
            wrong[t].push_back(text);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < names.size(); ++t) EXPECT_EQ(wrong[t], std::vector<std::string>{}) << names[t];
}

TEST_F(DataCursorRecordsTest, ADuplicateInAUniqueSecondaryIndexChangesNothing) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto cursor = OpenCursor();
  Add(*cursor, {"Anna", 1});
  Add(*cursor, {"Bernd", 2});
  TDataTable& table = cursor->Table();
  const std::int32_t next_slot = table.DataFile().Header().NextRecordSlot;
  const std::int32_t last_auto_increment = table.DataFile().LastAutoIncrement();
  std::vector<std::int32_t> key_counts;
  for (int slot : {0, 1, 2, kSysDeletedSlot}) {
    key_counts.push_back(TIndexTree(table.IndexFile(), slot, cursor->Descriptors(), 0, 0).KeyCount());
  }
  std::vector<std::byte> duplicate = Image(*cursor, {"Carla", 2});
  EXPECT_ENGINE_ERROR(kDuplicateKey, cursor->AddRecord(duplicate, true));
  EXPECT_EQ(cursor->RecordCount(), 2);
  EXPECT_EQ(table.DataFile().Header().NextRecordSlot, next_slot);
  EXPECT_EQ(table.DataFile().LastAutoIncrement(), last_auto_increment);
  std::vector<std::int32_t> after;
  for (int slot : {0, 1, 2, kSysDeletedSlot}) {
    after.push_back(TIndexTree(table.IndexFile(), slot, cursor->Descriptors(), 0, 0).KeyCount());
  }
  EXPECT_EQ(after, key_counts);
  EXPECT_FALSE(table.RecordLockedInFile(next_slot)) << "the slot's lock is given back";
  EXPECT_FALSE(table.HoldsWriterLock());
  // Changing a record onto another's unique key is refused the same way.
  cursor->SelectIndex("ByCount");
  ASSERT_TRUE(cursor->First());
  std::vector<std::byte> changed = cursor->CurrentRecord();
  PutInt32(FieldSlot(changed, cursor->Descriptors()[3]), 2);
  EXPECT_ENGINE_ERROR(kDuplicateKey, cursor->ChangeRecord(changed, true, true));
  ASSERT_TRUE(cursor->First());
  EXPECT_EQ(NameOf(*cursor), "Anna");
}

TEST_F(DataCursorRecordsTest, RequiredMinimumAndMaximumAreChecked) {
  TTableDefinition definition = IndexedPeople(true);
  definition.fields[1].Required = 1;
  definition.fields[3].MinValue = "0";
  definition.fields[3].MaxValue = "100";
  db_.directory->CreateTable("People", definition);
  auto cursor = OpenCursor();
  std::vector<std::byte> record = Image(*cursor, {"", 5});
  EXPECT_ENGINE_ERROR(kValueRequired, cursor->AddRecord(record, true));
  record = Image(*cursor, {"Anna", -1});
  EXPECT_ENGINE_ERROR(kBelowMinimum, cursor->AddRecord(record, true));
  record = Image(*cursor, {"Anna", 101});
  EXPECT_ENGINE_ERROR(kAboveMaximum, cursor->AddRecord(record, true));
  record = Image(*cursor, {"Anna", 100});
  EXPECT_EQ(cursor->AddRecord(record, true), 1);
  EXPECT_EQ(cursor->RecordCount(), 1);
  std::vector<std::byte> changed = cursor->CurrentRecord();
  PutInt32(FieldSlot(changed, cursor->Descriptors()[3]), 500);
  EXPECT_ENGINE_ERROR(kAboveMaximum, cursor->ChangeRecord(changed, true, true));
}

TEST_F(DataCursorRecordsTest, AutoIncrementValuesNewAndSupplied) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto cursor = OpenCursor(true);
  cursor->KeepSuppliedAutoIncrement = true;
  for (const std::int32_t value : {10, 5}) {
    std::vector<std::byte> record = Image(*cursor, {"N", value});
    SetRecordAutoIncrement(record, value);
    cursor->AddRecord(record, true);
    EXPECT_EQ(RecordAutoIncrement(cursor->CurrentRecord()), value);
  }
  EXPECT_EQ(cursor->LastAutoIncrement(), 11);
  cursor->KeepSuppliedAutoIncrement = false;
  std::vector<std::byte> record = Image(*cursor, {"M", 1});
  SetRecordAutoIncrement(record, 999);
  cursor->AddRecord(record, true);
  EXPECT_EQ(RecordAutoIncrement(record), 12) << "the caller's buffer gets the value too";
  EXPECT_EQ(cursor->LastAutoIncrement(), 12);
  // A changed record keeps its value unless the supplied one is to be kept.
  std::vector<std::byte> changed = cursor->CurrentRecord();
  SetRecordAutoIncrement(changed, 40);
  cursor->ChangeRecord(changed, true, true);
  EXPECT_EQ(RecordAutoIncrement(cursor->CurrentRecord()), 12);
  cursor->KeepSuppliedAutoIncrement = true;
  changed = cursor->CurrentRecord();
  SetRecordAutoIncrement(changed, 40);
  cursor->ChangeRecord(changed, true, true);
  EXPECT_EQ(RecordAutoIncrement(cursor->CurrentRecord()), 40);
  EXPECT_EQ(cursor->LastAutoIncrement(), 40);
  cursor->SelectIndex("");
  ASSERT_TRUE(cursor->Last());
  EXPECT_EQ(RecordAutoIncrement(cursor->CurrentRecord()), 40) << "the primary key moved with the value";
}

TEST_F(DataCursorRecordsTest, AReadOnlyCursorChangesNothing) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  {
    auto writer = OpenCursor();
    Add(*writer, {"Anna", 1});
  }
  auto cursor = OpenCursor(false, true);
  ASSERT_TRUE(cursor->First());
  std::vector<std::byte> record = cursor->CurrentRecord();
  EXPECT_ENGINE_ERROR(kAccessDenied, cursor->AddRecord(record, true));
  EXPECT_ENGINE_ERROR(kAccessDenied, cursor->ChangeRecord(record, true, true));
  EXPECT_ENGINE_ERROR(kAccessDenied, cursor->DeleteRecord(record, true));
  EXPECT_EQ(cursor->RecordCount(), 1);
}

TEST_F(DataCursorRecordsTest, NavigationFollowsTheChosenOrder) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto cursor = OpenCursor();
  Add(*cursor, {"delta", 4});
  Add(*cursor, {"Alpha", 3});
  Add(*cursor, {"charlie", 1});
  Add(*cursor, {"Bravo", 2});
  EXPECT_ENGINE_ERROR(kInvalidIndexName, cursor->SelectIndex("NoSuchIndex"));
  cursor->SelectIndex("byname");
  std::vector<std::string> names;
  for (bool on = cursor->First(); on; on = cursor->Next()) names.push_back(NameOf(*cursor));
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Bravo", "charlie", "delta"}));
  EXPECT_FALSE(cursor->Next());
  ASSERT_TRUE(cursor->Prior());
  EXPECT_EQ(NameOf(*cursor), "delta");
  ASSERT_TRUE(cursor->Last());
  ASSERT_TRUE(cursor->Prior());
  EXPECT_EQ(NameOf(*cursor), "charlie");
  EXPECT_EQ(cursor->Ordinal(), 3);

  cursor->SelectIndex("ByCount");
  std::vector<std::byte> probe = Image(*cursor, {"", 2});
  EXPECT_TRUE(cursor->FindKey(probe));
  EXPECT_EQ(NameOf(*cursor), "Bravo");
  probe = Image(*cursor, {"", 0});
  EXPECT_FALSE(cursor->FindKey(probe));
  EXPECT_EQ(NameOf(*cursor), "charlie") << "a failed search stands on the next key";

  cursor->SelectSlotOrder();
  names.clear();
  for (bool on = cursor->Last(); on; on = cursor->Prior()) names.push_back(NameOf(*cursor));
  EXPECT_EQ(names, (std::vector<std::string>{"Bravo", "charlie", "Alpha", "delta"}));

  // A changed key moves the record in its index; a deleted one leaves a gap that Next steps over.
  cursor->SelectIndex("ByName");
  ASSERT_TRUE(cursor->First());
  std::vector<std::byte> changed = cursor->CurrentRecord();
  PutText(FieldSlot(changed, cursor->Descriptors()[1]), "echo", 0, 0, 0);
  cursor->ChangeRecord(changed, true, true);
  ASSERT_TRUE(cursor->First());
  EXPECT_EQ(NameOf(*cursor), "Bravo");
  cursor->DeleteRecord(cursor->CurrentRecord(), false);
  ASSERT_TRUE(cursor->Next());
  EXPECT_EQ(NameOf(*cursor), "charlie");
  EXPECT_EQ(cursor->RecordCount(), 3);
}

TEST_F(DataCursorRecordsTest, AReadAheadWithAGapStepsOverDeletedSlotsButNotOutOfOrder) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  {
    auto cursor = OpenCursor(true);
    // Counts fall as slots rise: ByCount visits the slots backwards.
    for (int i = 1; i <= 60; ++i) Add(*cursor, {"n" + std::to_string(i), 100 - i});
    for (int slot = 3; slot <= 60; slot += 3) Delete(*cursor, slot);
  }
  const auto walk = [&](std::int32_t gap, const std::string& index, bool forward = true) {
    auto cursor = OpenCursor(true);
    TRecordCache& records = cursor->Table().Records();
    records.SetReadAheadGap(gap);
    cursor->SelectIndex(index);
    const auto reads = records.CacheCounters().read_operations;
    std::vector<std::string> names;
    for (bool on = forward ? cursor->First() : cursor->Last(); on; on = forward ? cursor->Next() : cursor->Prior()) {
      names.push_back(NameOf(*cursor));
    }
    EXPECT_EQ(names.size(), 40u);
    if (!forward) std::reverse(names.begin(), names.end());
    return std::pair(records.CacheCounters().read_operations - reads, names);
  };
  const auto [runs, names] = walk(0, "");
  EXPECT_EQ(runs, 20) << "each run of two slots in use is read on its own";
  const auto [one, same] = walk(8, "");
  EXPECT_EQ(one, 1) << "the deleted slots between are read along";
  EXPECT_EQ(same, names);
  const auto [from_the_end, reversed] = walk(8, "", false);
  EXPECT_EQ(from_the_end, 1) << "backwards the read ends with the last record";
  EXPECT_EQ(reversed, names);
  const auto [backwards, by_count] = walk(8, "ByCount");
  EXPECT_EQ(backwards, 40) << "a slot behind the one before ends the run";
  EXPECT_EQ(by_count.front(), "n59");
}

TEST_F(DataCursorRecordsTest, ADeleteOfARecordChangedMeanwhileIsRefused) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto first = OpenCursor();
  auto second = OpenCursor();
  Add(*first, {"Anna", 1});
  ASSERT_TRUE(second->First());
  const std::vector<std::byte> seen = second->CurrentRecord();
  ASSERT_TRUE(first->First());
  std::vector<std::byte> changed = first->CurrentRecord();
  PutText(FieldSlot(changed, first->Descriptors()[1]), "Anne", 0, 0, 0);
  first->ChangeRecord(changed, true, true);
  EXPECT_ENGINE_ERROR(kRecordChanged, second->DeleteRecord(seen, true));
  EXPECT_EQ(second->RecordCount(), 1);
  EXPECT_FALSE(second->Table().HoldsWriterLock());
}

TEST_F(DataCursorRecordsTest, ACursorFindsItsPlaceAgainAfterAnotherCursorChangedTheTable) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto writer = OpenCursor();
  for (const char* name : {"Anna", "Bernd", "Carla", "Dora"}) Add(*writer, {name, name[0]});
  auto reader = OpenCursor();
  reader->SelectIndex("ByName");
  ASSERT_TRUE(reader->First());
  ASSERT_TRUE(reader->Next());
  EXPECT_EQ(NameOf(*reader), "Bernd");
  // Another cursor adds before it and changes the record it stands on.
  Add(*writer, {"Aaron", 99});
  writer->SelectIndex("ByName");
  ASSERT_TRUE(writer->First());
  ASSERT_TRUE(writer->Next());
  ASSERT_TRUE(writer->Next());
  ASSERT_EQ(NameOf(*writer), "Bernd");
  std::vector<std::byte> changed = writer->CurrentRecord();
  PutInt32(FieldSlot(changed, writer->Descriptors()[3]), 1234);
  writer->ChangeRecord(changed, true, true);
  EXPECT_EQ(reader->Ordinal(), 3) << "Aaron came before it";
  ASSERT_TRUE(reader->Next());
  EXPECT_EQ(NameOf(*reader), "Carla");
  ASSERT_TRUE(reader->Prior());
  EXPECT_EQ(*GetInt32(ConstFieldSlot(reader->CurrentRecord(), reader->Descriptors()[3])), 1234);
  // Its record deleted by the other cursor, it stands in the gap.
  writer->DeleteRecord(writer->CurrentRecord(), false);
  ASSERT_TRUE(reader->Next());
  EXPECT_EQ(NameOf(*reader), "Carla");
  ASSERT_TRUE(reader->Prior());
  EXPECT_EQ(NameOf(*reader), "Anna");
  EXPECT_EQ(reader->RecordCount(), 4);
}

// A walk reads the records it visits next ahead, some hundreds at a time, under the change check
// of the read that missed. What another session changes reaches the walk: with strict change
// detection at once (the records read ahead are dropped), otherwise at the next read from the
// file, so at the latest once the walk is past what it read ahead. Both directions, slots with
// gaps.
TEST_F(DataCursorRecordsTest, AWalkThatReadsAheadSeesWhatAnotherSessionChanged) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  constexpr int kCount = 4000;
  const auto name_of = [](int i) {
    std::string name = std::to_string(i);
    return "n" + std::string(4 - name.size(), '0') + name;
  };
  {
    auto loader = OpenCursor(true);
    for (int i = 0; i < kCount; ++i) Add(*loader, {name_of((i * 7919) % kCount), i});
    for (int slot = 5; slot <= kCount; slot += 5) Delete(*loader, slot);
  }
  std::set<std::string> names;
  for (int i = 0; i < kCount; ++i) {
    if ((i + 1) % 5 != 0) names.insert(name_of((i * 7919) % kCount));
  }
  TTestDatabase other(dir_.Dir());
  TDataCursor changer(other.session, *other.directory);
  TCursorOpenOptions options;
  options.table_name = "People";
  changer.Open(options);
  changer.SelectIndex("ByName");
  int round = 0;
  for (const bool strict : {true, false}) {
    for (const bool forward : {true, false}) {
      SCOPED_TRACE(std::string(strict ? "strict" : "not strict") + (forward ? ", forward" : ", backward"));
      db_.session.StrictChangeDetection = strict;
      auto walker = OpenCursor();
      walker->SelectIndex("ByName");
      const auto step = [&] { return forward ? walker->Next() : walker->Prior(); };
      std::vector<std::string> seen;
      for (bool on = forward ? walker->First() : walker->Last(); on; on = seen.size() < 5 && step()) {
        seen.push_back(NameOf(*walker));
      }
      // Near the walk's start (read ahead already) one record changes its name to one the walk
      // meets at its end; far from it one record goes and one comes.
      const auto at = [&](std::size_t steps) {
        const auto it = forward ? std::next(names.begin(), static_cast<long>(steps))
                                : std::prev(names.end(), static_cast<long>(steps) + 1);
        return *it;
      };
      const std::string renamed = at(20);
      const std::string gone = at(names.size() - 200);
      const std::string moved = (forward ? "z" : "a") + std::to_string(round);
      const std::string added = (forward ? "y" : "b") + std::to_string(round++);
      ASSERT_TRUE(changer.FindKey(Image(changer, {renamed, 0})));
      std::vector<std::byte> record = changer.CurrentRecord();
      PutText(FieldSlot(record, changer.Descriptors()[1]), moved, 0, 0, 0);
      changer.ChangeRecord(record, false, true);
      ASSERT_TRUE(changer.FindKey(Image(changer, {gone, 0})));
      changer.DeleteRecord(changer.CurrentRecord(), false);
      Add(changer, {added, 10'000 + round});
      names.erase(renamed);
      names.erase(gone);
      names.insert(moved);
      names.insert(added);

      while (step()) seen.push_back(NameOf(*walker));
      EXPECT_EQ(std::count(seen.begin(), seen.end(), gone), 0);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), added), 1);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), moved), 1);
      if (strict) {
        EXPECT_EQ(std::count(seen.begin(), seen.end(), renamed), 0) << "not from what was read ahead";
        std::vector<std::string> expected(names.begin(), names.end());
        if (!forward) std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(seen, expected);
      }
    }
  }
}

TEST_F(DataCursorRecordsTest, EveryFailedWriteReleasesTheWriterAndTheRecordLock) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto cursor = OpenCursor();
  Add(*cursor, {"Anna", 1});
  TDataTable& table = cursor->Table();
  int added = 1;
  for (std::int64_t n = 1;; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    const std::int32_t slot = table.Records().SlotForNextAppend();
    bool fired = false;
    {
      TFaultScope fault(static_cast<std::uint32_t>(TFaultOp::kWrite), n, EIO);
      bool raised = false;
      try {
        Add(*cursor, {"N" + std::to_string(n), static_cast<std::int32_t>(100 + n)});
      } catch (const ETarvoEngineError& e) {
        raised = true;
        EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
      }
      fired = fault.Fired();
      EXPECT_EQ(fired, raised) << "a failed write is reported, and only a failed one";
      added += fired ? 0 : 1;
    }
    EXPECT_FALSE(table.HoldsWriterLock());
    EXPECT_FALSE(table.HoldsReaderLock());
    EXPECT_FALSE(table.RecordLockedInFile(slot));
    EXPECT_FALSE(table.LockedByCursor(slot));
    if (!fired) break;
  }
  // A later addition works and the indexes agree with one another.
  Add(*cursor, {"Last", 5000});
  std::vector<int> seen;
  for (const std::string index : {"", "ByCount", "ByName"}) {
    cursor->SelectIndex(index);
    int count = 0;
    for (bool on = cursor->First(); on; on = cursor->Next()) ++count;
    seen.push_back(count);
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], seen[2]);
  EXPECT_GE(seen[0], added + 1);
}

TEST_F(DataCursorRecordsTest, RemovingAJustAddedRecordTakesOutItsOtherKeysAndItsSlot) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto cursor = OpenCursor(true);
  Add(*cursor, {"Anna", 1});
  const std::int32_t slot = Add(*cursor, {"Bernd", 2});
  TDataTable& table = cursor->Table();
  // As if adding its ByName key had failed: that key is left alone.
  TIndexTree by_name(table.IndexFile(), 2, cursor->Descriptors(), 0, 0);
  by_name.Remove(by_name.BuildKey(cursor->CurrentRecord()));
  cursor->RemoveAddedRecord(slot, 2);
  EXPECT_EQ(cursor->RecordCount(), 1);
  for (int index : {0, 1, 2}) {
    EXPECT_EQ(TIndexTree(table.IndexFile(), index, cursor->Descriptors(), 0, 0).KeyCount(), 1) << index;
  }
  EXPECT_EQ(TIndexTree(table.IndexFile(), kSysDeletedSlot, cursor->Descriptors(), 0, 0).KeyCount(), 2);
  EXPECT_EQ(table.DataFile().Header().FirstFreeRecord, slot);
  EXPECT_EQ(Add(*cursor, {"Carla", 3}), slot) << "the slot is free again";
}

TEST_F(DataCursorRecordsTest, ARecordLockedByOneCursorFailsAtOnceForAnother) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  auto first = OpenCursor();
  auto second = OpenCursor();
  Add(*first, {"Anna", 1});
  Add(*first, {"Bernd", 2});
  first->LockCurrentRecord();
  const std::int32_t slot = first->CurrentSlot();
  EXPECT_ENGINE_ERROR(kRecordInUse, second->LockCurrentRecord(slot));
  EXPECT_ENGINE_ERROR(kRecordInUse, second->LockCurrentRecord(slot == 1 ? 1 : 2));
  second->LockCurrentRecord(slot == 1 ? 2 : 1);  // other slots stay writable
  first->UnlockCurrentRecord();
  second->LockCurrentRecord(slot);
}

// Holds the record lock of slot 1 of a shared table until told to stop.
TARVO_CHILD(HoldRecordLock) {
  TTestDatabase db(args.at(0));
  TDataCursor cursor(db.session, *db.directory);
  TCursorOpenOptions options;
  options.table_name = "People";
  cursor.Open(options);
  cursor.LockCurrentRecord(1);
  testing::TellParent("locked");
  (void)testing::HearFromParent();
  cursor.UnlockCurrentRecord(1);
  return 0;
}

TEST_F(DataCursorRecordsTest, ARecordHeldByAnotherProcessIsRetriedLockRetryCountTimes) {
  db_.directory->CreateTable("People", IndexedPeople(true));
  {
    auto cursor = OpenCursor();
    Add(*cursor, {"Anna", 1});
  }
  TChildProcess child("HoldRecordLock", {dir_.Dir()});
  ASSERT_EQ(child.Receive(), "locked");
  auto cursor = OpenCursor();
  // The attempts are counted as the file layer's lock calls: one try without retries, then one
  // more per retry.
  const auto lock_calls = [&](std::uint8_t retries) {
    db_.session.LockRetryCount = retries;
    TFaultScope count(TFaultOp::kLock, 0, 0);
    EXPECT_ENGINE_ERROR(kRecordInUse, cursor->LockCurrentRecord(1));
    return TFaultInjector::Calls();
  };
  db_.session.LockWaitTime = 1;
  const std::int64_t once = lock_calls(0);
  EXPECT_EQ(lock_calls(2), once + 2);
  EXPECT_EQ(lock_calls(5), once + 5);
  ASSERT_TRUE(cursor->First());
  std::vector<std::byte> record = cursor->CurrentRecord();
  db_.session.LockRetryCount = 0;
  EXPECT_ENGINE_ERROR(kRecordInUse, cursor->DeleteRecord(record, true));
  EXPECT_EQ(cursor->RecordCount(), 1);
  child.Send("stop");
  EXPECT_EQ(child.Wait(), 0);
  cursor->LockCurrentRecord(1);
}

// Lock, read, change: what the cursor holds once the lock is taken is what the file holds, however
// the session notices other openers' changes; otherwise the change would write back a stale
// record over the other opener's.
TEST_F(DataCursorRecordsTest, ALockedRecordIsReadAsTheFileHoldsItWithEitherChangeDetection) {
  db_.directory->CreateTable("People", PeopleDefinition(true));
  for (const bool strict : {false, true}) {
    SCOPED_TRACE(strict ? "strict" : "not strict");
    db_.session.StrictChangeDetection = strict;
    auto editor = OpenCursor();
    if (editor->RecordCount() == 0) Add(*editor, {"Anna", 1});
    ASSERT_TRUE(editor->First());
    const std::int32_t count = *GetInt32(ConstFieldSlot(editor->CurrentRecord(), editor->Descriptors()[3]));
    {
      TTestDatabase other(dir_.Dir());
      TDataCursor cursor(other.session, *other.directory);
      TCursorOpenOptions options;
      options.table_name = "People";
      cursor.Open(options);
      ASSERT_TRUE(cursor.First());
      std::vector<std::byte> record = cursor.CurrentRecord();
      PutInt32(FieldSlot(record, cursor.Descriptors()[3]), count + 1);
      cursor.ChangeRecord(record, false, true);
    }
    editor->LockCurrentRecord();
    std::vector<std::byte> record = editor->CurrentRecord();
    EXPECT_EQ(count + 1, *GetInt32(ConstFieldSlot(record, editor->Descriptors()[3])));
    PutInt32(FieldSlot(record, editor->Descriptors()[3]), count + 2);
    editor->ChangeRecord(record, false, true);
    EXPECT_FALSE(editor->HoldsRecordLock(editor->CurrentSlot()));
  }
}

// Every read of a lock's change check, and of the record read again after it, fails in turn: a
// refused lock is not held, in the file or by the cursor, and keeps no other opener out.
TEST_F(DataCursorRecordsTest, ALockWhoseChangeCheckFailsIsGivenBack) {
  db_.directory->CreateTable("People", PeopleDefinition(true));
  auto editor = OpenCursor();
  Add(*editor, {"Anna", 1});
  TDataTable& table = editor->Table();
  TTestDatabase other(dir_.Dir());
  TDataCursor changer(other.session, *other.directory);
  TCursorOpenOptions options;
  options.table_name = "People";
  changer.Open(options);
  for (std::int64_t n = 1;; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    ASSERT_TRUE(editor->First());
    ASSERT_TRUE(changer.First());
    std::vector<std::byte> record = changer.CurrentRecord();
    PutInt32(FieldSlot(record, changer.Descriptors()[3]), static_cast<std::int32_t>(n + 1));
    changer.ChangeRecord(record, false, true);
    bool fired = false;
    {
      TFaultScope fault(TFaultOp::kRead, n, EIO);
      bool raised = false;
      try {
        editor->LockCurrentRecord();
      } catch (const ETarvoEngineError& e) {
        raised = true;
        EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
      }
      fired = fault.Fired();
      EXPECT_EQ(fired, raised) << "a failed read is reported, and only a failed one";
    }
    EXPECT_EQ(!fired, editor->HoldsRecordLock(1));
    EXPECT_EQ(!fired, table.RecordLockedInFile(1));
    EXPECT_EQ(!fired, table.LockedByCursor(1));
    EXPECT_FALSE(table.HoldsReaderLock());
    if (!fired) break;
  }
  EXPECT_EQ(*GetInt32(ConstFieldSlot(editor->CurrentRecord(), editor->Descriptors()[3])),
            *GetInt32(ConstFieldSlot(changer.CurrentRecord(), changer.Descriptors()[3])));
  editor->UnlockCurrentRecord(1);
  // The same for the writer lock of an addition.
  for (std::int64_t n = 1;; ++n) {
    SCOPED_TRACE("add, read " + std::to_string(n));
    ASSERT_TRUE(changer.First());
    std::vector<std::byte> record = changer.CurrentRecord();
    PutInt32(FieldSlot(record, changer.Descriptors()[3]), static_cast<std::int32_t>(100 + n));
    changer.ChangeRecord(record, false, true);
    bool fired = false;
    {
      TFaultScope fault(TFaultOp::kRead, n, EIO);
      bool raised = false;
      try {
        Add(*editor, {"N" + std::to_string(n), static_cast<std::int32_t>(1000 + n)});
      } catch (const ETarvoEngineError& e) {
        raised = true;
        EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
      }
      fired = fault.Fired();
      EXPECT_EQ(fired, raised) << "a failed read is reported, and only a failed one";
    }
    EXPECT_FALSE(table.HoldsWriterLock());
    EXPECT_FALSE(table.HoldsReaderLock());
    if (!fired) break;
  }
}

constexpr int kRecordsPerProcess = 150;

// Adds records to a shared table, then counts what it sees when told to.
TARVO_CHILD(AddRecords) {
  TTestDatabase db(args.at(0));
  db.session.LockRetryCount = 100;
  db.session.LockWaitTime = 5;
  // The other process holds the writer lock for a whole add, longer on a busy machine.
  db.session.FixedLockRetries = 5000;
  TDataCursor cursor(db.session, *db.directory);
  TCursorOpenOptions options;
  options.table_name = "People";
  cursor.Open(options);
  const int base = std::stoi(args.at(1));
  testing::TellParent("ready");
  (void)testing::HearFromParent();
  for (int i = 0; i < kRecordsPerProcess; ++i) {
    std::vector<std::byte> record = Image(cursor, {"P" + std::to_string(base + i), base + i});
    cursor.AddRecord(record, false);
  }
  testing::TellParent("added");
  (void)testing::HearFromParent();
  // Without strict change detection a cursor trusts its cached header until it next locks.
  db.session.StrictChangeDetection = true;
  cursor.SelectSlotOrder();
  int seen = 0;
  for (bool on = cursor.First(); on; on = cursor.Next()) ++seen;
  testing::TellParent(std::to_string(seen) + " " + std::to_string(cursor.RecordCount()));
  return 0;
}

TEST_F(DataCursorRecordsTest, TwoProcessesAddingAtOnceLoseNothing) {
  db_.directory->CreateTable("People", PeopleDefinition(true));
  TChildProcess one("AddRecords", {dir_.Dir(), "1000"});
  TChildProcess two("AddRecords", {dir_.Dir(), "5000"});
  ASSERT_EQ(one.Receive(), "ready");
  ASSERT_EQ(two.Receive(), "ready");
  one.Send("go");
  two.Send("go");
  ASSERT_EQ(one.Receive(), "added");
  ASSERT_EQ(two.Receive(), "added");
  one.Send("count");
  two.Send("count");
  const std::string all = std::to_string(2 * kRecordsPerProcess);
  EXPECT_EQ(one.Receive(), all + " " + all);
  EXPECT_EQ(two.Receive(), all + " " + all);
  EXPECT_EQ(one.Wait(), 0);
  EXPECT_EQ(two.Wait(), 0);
  auto cursor = OpenCursor();
  std::set<std::int32_t> identifiers;
  std::set<std::int32_t> counts;
  cursor->SelectSlotOrder();
  for (bool on = cursor->First(); on; on = cursor->Next()) {
    identifiers.insert(RecordAutoIncrement(cursor->CurrentRecord()));
    counts.insert(*GetInt32(ConstFieldSlot(cursor->CurrentRecord(), cursor->Descriptors()[3])));
  }
  EXPECT_EQ(identifiers.size(), 2u * kRecordsPerProcess);
  EXPECT_EQ(counts.size(), 2u * kRecordsPerProcess);
  ASSERT_FALSE(identifiers.empty());
  EXPECT_EQ(*identifiers.rbegin(), 2 * kRecordsPerProcess);
}

}  // namespace
}  // namespace tarvo
