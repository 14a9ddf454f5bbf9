// Two processes on one shared table with blob fields: a walker in the order of a secondary index
// while another process adds records in the middle of that order (the walk stays in order, every
// record it meets carries its own blob value, and a final walk meets every record), and values
// changed by one process read by the other (stamps and change counters).
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>

#include "support/fault_injector.h"
#include "tests/engine/tables/blob_table_fixture.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using namespace testing;

std::string NoteFor(const std::string& name) {
  return "Notiz zu " + name + std::string(name.size() * 37 % 1500, '*');
}

std::string RandomName(std::mt19937& random) {
  std::string name;
  for (int i = 0; i < 12; ++i) name += static_cast<char>('a' + random() % 26);
  return name;
}

void AddNamed(TDataCursor& cursor, const std::string& name) {
  auto record = cursor.NewRecordBuffer();
  PutName(cursor, record, name);
  cursor.SetBlobField(record, kBlobNotes, BytesOf(NoteFor(name)));
  (void)cursor.AddRecord(record, false);
}

// args: directory, count, seed. Adds `count` records with random names as fast as it can.
TARVO_CHILD(AppendNamed) {
  TTestDatabase db(args.at(0));
  // On a busy machine the walker may be kept from running while it holds a page's read lock.
  db.session.FixedLockRetries = 5000;
  auto cursor = OpenCursor(db, "Shared", false);
  std::mt19937 random(static_cast<unsigned>(std::stoul(args.at(2))));
  TellParent("ready");
  const int count = std::stoi(args.at(1));
  for (int i = 0; i < count; ++i) AddNamed(*cursor, RandomName(random));
  TellParent("done");
  HearFromParent();
  return 0;
}

// args: directory. On "change": the first record's memo becomes "anders" and the record of ID 2
// is deleted; on "grow": the first record's memo grows to 20 blocks.
TARVO_CHILD(ChangeValues) {
  TTestDatabase db(args.at(0));
  auto cursor = OpenCursor(db, "Shared", false);
  TellParent("ready");
  for (std::string line = HearFromParent(); !line.empty(); line = HearFromParent()) {
    cursor->SelectIndex("");
    if (!cursor->First()) return 1;
    auto record = cursor->CurrentRecord();
    if (line == "change") {
      cursor->SetBlobField(record, kBlobNotes, BytesOf("anders"));
      cursor->ChangeRecord(record, false, true);
      if (!cursor->Next()) return 1;
      cursor->DeleteRecord(cursor->CurrentRecord(), false);
    } else if (line == "grow") {
      cursor->SetBlobField(record, kBlobNotes, Pattern(20 * 494, 3));
      cursor->ChangeRecord(record, false, true);
    }
    TellParent("ok");
  }
  return 0;
}

class SharedBlobTest : public ::testing::Test {
 protected:
  SharedBlobTest() : db_(dir_.Dir()) { db_.directory->CreateTable("Shared", BlobCursorDefinition()); }

  TTempDir dir_;
  TTestDatabase db_;
};

TEST_F(SharedBlobTest, AWalkerSeesAnOrderedWalkAndFinallyEveryRecordWhileAnotherProcessAdds) {
  constexpr int kFirst = 500;
  constexpr int kAdded = 700;
  {
    auto writer = OpenCursor(db_, "Shared", true);
    std::mt19937 random(1);
    for (int i = 0; i < kFirst; ++i) AddNamed(*writer, RandomName(random));
  }
  auto walker = OpenCursor(db_, "Shared", false);
  walker->SelectIndex("ByName");
  // Few pages in the cache: the walk reads pages all the time while the other process splits them.
  walker->Table().IndexFile().SetPageCacheCapacity(3);
  TChildProcess child("AppendNamed", {dir_.Dir(), std::to_string(kAdded), "2"});
  ASSERT_EQ("ready", child.Receive());
  auto walk = [&](bool verify_all) {
    std::set<std::int32_t> seen;
    std::string last;
    for (bool on = walker->First(); on; on = walker->Next()) {
      const std::string name = NameOf(*walker, walker->CurrentRecord());
      EXPECT_LE(last, name) << "the walk went back";
      last = name;
      EXPECT_TRUE(seen.insert(walker->CurrentSlot()).second)
          << "slot " << walker->CurrentSlot() << " met twice";
      // Reading a value checks for changes itself; only some are read, so that most steps of
      // the walk meet the other process's page splits through the index alone.
      if (seen.size() % 64 == 1 || verify_all) {
        const auto note = walker->ReadBlobField(kBlobNotes);
        EXPECT_EQ(NoteFor(name), std::string(reinterpret_cast<const char*>(note.data()), note.size()));
      }
      if (::testing::Test::HasFailure()) break;
    }
    return seen.size();
  };
  std::size_t previous = 0;
  for (int round = 0; round < 8 && !HasFailure(); ++round) {
    const std::size_t count = walk(false);
    EXPECT_GE(count, previous) << "records went missing";
    previous = count;
  }
  ASSERT_EQ("done", child.Receive());
  EXPECT_EQ(static_cast<std::size_t>(kFirst + kAdded), walk(true));
  EXPECT_EQ(kFirst + kAdded, walker->RecordCount());
  child.Send("end");
  EXPECT_EQ(0, child.Wait());
}

// Two sessions are two openers as well. The walker has every record cached and few index pages:
// what the other session changed shows only when the walk reads a page, and the walk then goes on
// from its place in the changed index instead of mixing old pages with new ones.
TEST_F(SharedBlobTest, AWalkGoesOnFromItsPlaceWhenAPageReadFindsTheIndexChanged) {
  std::mt19937 random(7);
  std::vector<std::string> names;
  {
    auto writer = OpenCursor(db_, "Shared", true);
    for (int i = 0; i < 1200; ++i) {
      names.push_back(RandomName(random));
      auto record = writer->NewRecordBuffer();
      PutName(*writer, record, names.back());
      (void)writer->AddRecord(record, false);
    }
  }
  auto walker = OpenCursor(db_, "Shared", false);
  walker->SelectSlotOrder();
  for (bool on = walker->First(); on; on = walker->Next()) {
  }
  walker->SelectIndex("ByName");
  walker->Table().IndexFile().SetPageCacheCapacity(2);
  ASSERT_TRUE(walker->First());
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(walker->Next());
  const std::string start = NameOf(*walker, walker->CurrentRecord());
  std::string last = start;
  // The other opener deletes every second record in name order.
  std::set<std::string> deleted;
  {
    TTestDatabase other(dir_.Dir());
    auto cursor = OpenCursor(other, "Shared", false);
    cursor->SelectIndex("ByName");
    for (bool on = cursor->First(); on;) {
      deleted.insert(NameOf(*cursor, cursor->CurrentRecord()));
      cursor->DeleteRecord(cursor->CurrentRecord(), true);
      on = cursor->OnRecord() && cursor->Next();
    }
  }
  // Until it reads a page, the walker goes on through the leaf it holds (a view of the table as
  // it was); from then on it sees the table as it is, and every record still there.
  int met = 0;
  int stale = 0;
  while (walker->Next()) {
    const std::string name = NameOf(*walker, walker->CurrentRecord());
    ASSERT_LT(last, name) << "the walk went back or met a record twice";
    last = name;
    if (deleted.contains(name)) {
      ++stale;
    } else {
      ++met;
    }
  }
  EXPECT_LT(stale, 100) << "more than one leaf of the old index";
  const auto left = std::count_if(names.begin(), names.end(),
                                  [&](const std::string& n) { return n > start && !deleted.contains(n); });
  EXPECT_EQ(left, met);
  EXPECT_EQ(600, walker->RecordCount());
}

// A walk that reads every value brings the values of the records ahead into the cache under the
// reader lock of one read: a lock and a check of the headers per value would be four lock calls.
TEST_F(SharedBlobTest, AWalkReadingEveryValueTakesTheReaderLockOncePerBatch) {
  std::mt19937 random(3);
  {
    auto writer = OpenCursor(db_, "Shared", true);
    for (int i = 0; i < 400; ++i) AddNamed(*writer, RandomName(random));
  }
  auto walker = OpenCursor(db_, "Shared", false);
  walker->SelectIndex("ByName");
  for (const bool forward : {true, false}) {
    const TFaultScope counting(TFaultOp::kLock, std::numeric_limits<std::int64_t>::max(), 0);
    int values = 0;
    for (bool on = forward ? walker->First() : walker->Last(); on; on = forward ? walker->Next() : walker->Prior()) {
      const std::string name = NameOf(*walker, walker->CurrentRecord());
      const auto note = walker->ReadBlobField(kBlobNotes);
      ASSERT_EQ(NoteFor(name), std::string(reinterpret_cast<const char*>(note.data()), note.size()));
      ++values;
    }
    EXPECT_EQ(400, values);
    EXPECT_LT(TFaultInjector::Calls(), values / 4) << (forward ? "forward" : "backward");
  }
}

// A value of the same number of blocks is written over its old chain: no block is allocated or
// freed. The blocks this opener still has cached are old all the same, and the other opener
// writes the blob header for the others to notice.
TEST_F(SharedBlobTest, AValueRewrittenInItsOwnBlocksByAnotherOpenerIsReadAsItIsNow) {
  {
    auto writer = OpenCursor(db_, "Shared", true);
    auto record = writer->NewRecordBuffer();
    PutName(*writer, record, "anna");
    writer->SetBlobField(record, kBlobNotes, Pattern(3 * 494, 1));
    (void)writer->AddRecord(record, false);
  }
  auto reader = OpenCursor(db_, "Shared", false);
  ASSERT_TRUE(reader->First());
  EXPECT_EQ(Pattern(3 * 494, 1), reader->ReadBlobField(kBlobNotes));
  for (unsigned round = 2; round < 4; ++round) {
    {
      TTestDatabase other(dir_.Dir());
      auto cursor = OpenCursor(other, "Shared", false);
      ASSERT_TRUE(cursor->First());
      auto record = cursor->CurrentRecord();
      cursor->SetBlobField(record, kBlobNotes, Pattern(3 * 494 - round, round));
      const std::int32_t blob_changes = cursor->Table().BlobFile().ChangeCount();
      cursor->ChangeRecord(record, false, true);
      EXPECT_GT(cursor->Table().BlobFile().ChangeCount(), blob_changes) << "the blob header was not written";
    }
    EXPECT_EQ(Pattern(3 * 494 - round, round), reader->ReadBlobField(kBlobNotes));
  }
}

TEST_F(SharedBlobTest, ValuesChangedByAnotherProcessAreReadAsTheyAreNow) {
  {
    auto writer = OpenCursor(db_, "Shared", true);
    for (const char* name : {"anna", "bert", "cora"}) AddNamed(*writer, name);
  }
  auto reader = OpenCursor(db_, "Shared", false);
  ASSERT_TRUE(reader->First());
  const auto old_image = reader->CurrentRecord();
  const auto note = reader->ReadBlobField(kBlobNotes);
  EXPECT_EQ(NoteFor("anna"), std::string(reinterpret_cast<const char*>(note.data()), note.size()));
  TChildProcess child("ChangeValues", {dir_.Dir()});
  ASSERT_EQ("ready", child.Receive());
  child.Send("change");
  ASSERT_EQ("ok", child.Receive());
  // The current record is read again before its value: the new stamp, the new value.
  EXPECT_EQ(BytesOf("anders"), reader->ReadBlobField(kBlobNotes));
  // A value opened on the image read before the change carries the old stamp: refused.
  auto stale = old_image;
  EXPECT_ENGINE_ERROR(kRecordChanged, (void)reader->OpenBlob(kBlobNotes, stale));
  EXPECT_EQ(0u, reader->OpenBlobCount());
  ASSERT_TRUE(reader->Next());
  EXPECT_EQ("cora", NameOf(*reader, reader->CurrentRecord())) << "bert was deleted";
  EXPECT_EQ(2, reader->RecordCount());
  child.Send("grow");
  ASSERT_EQ("ok", child.Receive());
  ASSERT_TRUE(reader->First());
  EXPECT_EQ(Pattern(20 * 494, 3), reader->ReadBlobField(kBlobNotes));
  // And the other way round: a change made here is what the other process finds.
  auto record = reader->CurrentRecord();
  reader->SetBlobField(record, kBlobNotes, BytesOf("von hier"));
  reader->ChangeRecord(record, false, true);
  child.Send("change");
  ASSERT_EQ("ok", child.Receive());
  ASSERT_TRUE(reader->First());
  EXPECT_EQ(BytesOf("anders"), reader->ReadBlobField(kBlobNotes));
  EXPECT_EQ(1, reader->RecordCount());
  child.Send("");
  EXPECT_EQ(0, child.Wait());
}

}  // namespace
}  // namespace tarvo
