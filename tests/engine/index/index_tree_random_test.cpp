// Randomized differential test of the index trees: records are added, deleted and changed at
// random, every index of the table follows through TIndexTree, and an in-memory model (an
// ordered set per index under the index's own comparison) must agree with the leaf level after
// every batch, while the tree checker passes. The population grows and shrinks in waves so that
// trees gain and lose levels through splits, merges, redistributions and root collapses.
//
// The run is short by default; TARVO_LONG_TESTS=1 runs 100,000 record operations per table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "errors/engine_error.h"
#include "tests/engine/index/index_test_table.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::MakeIndex;
using testing::Numbered;
using testing::TIndexSpec;
using testing::TIndexTestTable;
using testing::TLeafEntry;

constexpr std::uint16_t kId = 1;
constexpr std::uint16_t kName = 2;
constexpr std::uint16_t kNum = 3;
constexpr std::uint16_t kSmall = 4;
constexpr std::uint16_t kAmount = 5;
constexpr int kNameSize = 200;

bool LongRun() {
  const char* value = std::getenv("TARVO_LONG_TESTS");
  return value != nullptr && std::string(value) == "1";
}

std::vector<TFieldDescriptor> Fields() {
  return Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, kNameSize),
                   Field("Num", kTypeInt32), Field("Small", kTypeInt16), Field("Amount", kTypeFloat)});
}

// One index of every kind the trees must handle: each compression mode, unique and not,
// descending as a whole, a descending second field, case-insensitive text.
std::vector<TIndexDescriptor> Indexes() {
  return {MakeIndex({"", {kId}, {}, true}),
          MakeIndex({"ByNameNum", {kName, kNum}, {}, true, false, false, 0}),
          MakeIndex({"ByName1", {kName}, {}, false, false, false, 1}),
          MakeIndex({"ByNameDesc2", {kName}, {}, false, true, false, 2}),
          MakeIndex({"ByNameCI3", {kName}, {}, false, false, true, 3}),
          MakeIndex({"ByNumNameDesc", {kNum, kName}, {false, true}, false, false, false, 0}),
          MakeIndex({"BySmallAmount", {kSmall, kAmount}, {}, false, false, false, 3}),
          MakeIndex({"ByAmountCIU", {kAmount, kName}, {}, true, false, true, 1})};
}

class TRandomRun {
 public:
  TRandomRun(TLanguageId language, std::uint32_t seed)
      : table_(Fields(), Indexes(), language, 0), rng_(seed) {
    for (int slot : testing::IndexSlots(table_.Table(), true)) {
      trees_.push_back(table_.Tree(slot));
      TIndexTree* tree = trees_.back().get();
      models_.emplace_back([tree](const TKey& a, const TKey& b) { return tree->CompareKeys(a, b) < 0; });
    }
    max_depth_.assign(trees_.size(), 0);
  }

  void Run(int operations, int batch) {
    for (int done = 0; done < operations; ++done) {
      Step();
      if ((done + 1) % batch == 0) Check();
    }
    Check();
    // Every tree split its root; the trees of long keys grew at least three levels.
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      const int levels = trees_[i]->KeyLength() > kNameSize ? 3 : 2;
      EXPECT_GE(max_depth_[i], levels) << trees_[i]->Name() << " slot " << trees_[i]->Slot();
    }
    EXPECT_GE(waves_, 1);
  }

 private:
  using TModel = std::map<TKey, std::int32_t, std::function<bool(const TKey&, const TKey&)>>;

  std::string RandomName() {
    static const char* const kPrefixes[] = {"", "M\xFCller ", "Meyer-",
                                            "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Zz"};
    static const char kAlphabet[] = "aAbBzZ\xE4\xC4\xF6 -.0";
    if (!records_.empty() && Chance(8)) {
      // A copy of another record's name, sometimes in other case: equal values in every index.
      auto it = records_.begin();
      std::advance(it, Pick(static_cast<int>(records_.size())));
      std::string name = NameOf(it->second);
      if (Chance(2)) {
        for (char& c : name) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
      }
      return name;
    }
    std::string name = kPrefixes[Pick(5)];
    const int length = 30 + Pick(kNameSize - 30);
    while (static_cast<int>(name.size()) < length) name += kAlphabet[Pick(sizeof kAlphabet - 1)];
    name.resize(std::min<std::size_t>(name.size(), kNameSize));
    return name;
  }

  std::string NameOf(const std::vector<std::byte>& record) const {
    const TFieldDescriptor& d = table_.Field(kName);
    if (record[d.RecordOffset] == std::byte{0}) return {};
    const char* p = reinterpret_cast<const char*>(record.data() + d.RecordOffset + 1);
    return std::string(p, strnlen(p, kNameSize));
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(int one_in) { return Pick(one_in) == 0; }

  std::vector<std::byte> RandomRecord(std::int32_t auto_increment) {
    std::vector<std::byte> record = table_.NewRecord(auto_increment);
    if (Chance(30)) {
      table_.SetNullField(record, kName);
    } else {
      table_.SetText(record, kName, RandomName());
    }
    if (!Chance(20)) table_.SetInt32(record, kNum, Pick(40) - 20);
    if (!Chance(20)) table_.SetInt16(record, kSmall, static_cast<std::int16_t>(Pick(7) - 3));
    if (!Chance(20)) table_.SetFloat(record, kAmount, (Pick(2000) - 1000) / 8.0);
    return record;
  }

  // Whether a unique index already holds an equal key of another record; then CheckUnique must
  // refuse with 9729, otherwise it must pass.
  bool UniqueAllows(const std::vector<TKey>& keys, std::int32_t record_number) {
    bool allowed = true;
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      if (!trees_[i]->Unique()) continue;
      const auto it = models_[i].find(keys[i]);
      const bool clash = it != models_[i].end() && it->second != record_number;
      if (clash) {
        allowed = false;
        EXPECT_ENGINE_ERROR(kDuplicateKey, trees_[i]->CheckUnique(keys[i]));
      } else if (it == models_[i].end()) {
        trees_[i]->CheckUnique(keys[i]);
      }
    }
    return allowed;
  }

  std::vector<TKey> KeysOf(const std::vector<std::byte>& record) {
    std::vector<TKey> keys;
    for (const auto& tree : trees_) keys.push_back(tree->BuildKey(record));
    return keys;
  }

  void Step() {
    const int size = static_cast<int>(records_.size());
    if (growing_ && size >= 700) growing_ = false;
    if (!growing_ && size <= 10) {
      growing_ = true;
      ++waves_;
    }
    const int roll = Pick(10);
    const bool insert = size == 0 || roll < (growing_ ? 7 : 1);
    const bool replace = !insert && roll < (growing_ ? 9 : 2);
    if (insert) {
      const std::int32_t number = next_record_++;
      std::vector<std::byte> record = RandomRecord(number);
      const std::vector<TKey> keys = KeysOf(record);
      if (!UniqueAllows(keys, number)) return;
      for (std::size_t i = 0; i < trees_.size(); ++i) {
        trees_[i]->Insert(keys[i], number);
        ASSERT_TRUE(models_[i].emplace(keys[i], number).second);
      }
      records_.emplace(number, std::move(record));
      return;
    }
    auto it = records_.begin();
    std::advance(it, Pick(size));
    const std::int32_t number = it->first;
    const std::vector<TKey> old_keys = KeysOf(it->second);
    if (replace) {
      std::vector<std::byte> record = RandomRecord(number);
      // Sometimes only the name changes in case, which keeps case-insensitive keys equal.
      if (Chance(4)) {
        record = it->second;
        table_.SetText(record, kName, NameOf(it->second) + "x");
      }
      const std::vector<TKey> keys = KeysOf(record);
      if (!UniqueAllows(keys, number)) return;
      for (std::size_t i = 0; i < trees_.size(); ++i) {
        trees_[i]->Replace(old_keys[i], keys[i], number);
        models_[i].erase(old_keys[i]);
        ASSERT_TRUE(models_[i].emplace(keys[i], number).second);
      }
      it->second = std::move(record);
      return;
    }
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      trees_[i]->Remove(old_keys[i]);
      models_[i].erase(old_keys[i]);
    }
    records_.erase(it);
  }

  void Check() {
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      const testing::TTreeReport report = testing::CheckIndexTree(*trees_[i]);
      ASSERT_TRUE(report.Ok()) << trees_[i]->Name() << "\n" << report.Text();
      max_depth_[i] = std::max(max_depth_[i], report.depth);
      std::vector<TLeafEntry> expected;
      for (const auto& [key, number] : models_[i]) expected.push_back({key, number});
      ASSERT_EQ(report.entries.size(), expected.size()) << trees_[i]->Name();
      ASSERT_TRUE(report.entries == expected) << trees_[i]->Name();
      ASSERT_EQ(trees_[i]->KeyCount(), static_cast<std::int32_t>(expected.size()));
    }
  }

  TIndexTestTable table_;
  std::mt19937 rng_;
  std::vector<std::unique_ptr<TIndexTree>> trees_;
  std::vector<TModel> models_;
  std::vector<int> max_depth_;
  std::map<std::int32_t, std::vector<std::byte>> records_;
  std::int32_t next_record_ = 1;
  bool growing_ = true;
  int waves_ = 0;
};

// 100,000 record operations over both tables in the long run; a share of them by default. Each
// operation changes every index of the table.
int Operations() {
  return LongRun() ? 100000 : 2500;
}

TEST(TIndexTreeRandomTest, ByteOrderTableAgreesWithModel) {
  TRandomRun run(0, 20240601);
  run.Run(Operations(), 250);
}

TEST(TIndexTreeRandomTest, GermanLocaleTableAgreesWithModel) {
  TRandomRun run(0x0407, 4711);
  run.Run(Operations(), 250);
}

}  // namespace
}  // namespace tarvo
