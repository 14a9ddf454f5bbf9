#include "components/data_set.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "components/database_texts.h"

namespace tarvo {
namespace {

// A data set whose "table" is a list of field definitions given up front.
class TListDataSet : public TDataSet {
 public:
  using TDataSet::TDataSet;
  bool fail_open = false;
  std::vector<std::string> calls;

 protected:
  void InternalOpen() override {
    calls.push_back("open");
    if (fail_open) DatabaseError("cannot open");
  }
  void InternalClose() override { calls.push_back("close"); }
  void InternalFirst() override { calls.push_back("first"); }
};

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "nothing raised";
}

TEST(TDataSetTest, OpenBuildsFieldsAndPositionsOnTheFirstRecord) {
  TListDataSet data_set;
  data_set.FieldDefs().Add("Name", TFieldType::ftString, 20, true);
  data_set.FieldDefs().Add("Count", TFieldType::ftInteger);
  std::vector<std::string> events;
  data_set.BeforeOpen = [&](TDataSet&) { events.push_back("before"); };
  data_set.AfterOpen = [&](TDataSet& d) { events.push_back(d.Active() ? "after-active" : "after-closed"); };
  data_set.Open();
  EXPECT_EQ((std::vector<std::string>{"open", "first"}), data_set.calls);
  EXPECT_EQ((std::vector<std::string>{"before", "after-active"}), events);
  ASSERT_EQ(2u, data_set.Fields().Count());
  EXPECT_EQ(2, data_set.Fields().FieldByName("COUNT").FieldNo);
  EXPECT_EQ("Operation bei geöffneter Datenmenge nicht ausführbar",
            ErrorText([&] { data_set.FieldDefs().Add("X", TFieldType::ftDate); }));
  EXPECT_EQ("Operation bei geöffneter Datenmenge nicht ausführbar",
            ErrorText([&] { data_set.IndexDefs().Add("I", "Name", kIxUnique); }));
  data_set.Close();
  EXPECT_FALSE(data_set.Active());
  EXPECT_EQ(0u, data_set.Fields().Count());
  EXPECT_EQ("Ungültige Feldgröße",
            ErrorText([&] { data_set.FieldDefs().Add("S", TFieldType::ftString, 0); }));
  EXPECT_EQ("Das Feld 'Nope' wurde nicht gefunden", ErrorText([&] { data_set.FieldDefs().Find("Nope"); }));
}

TEST(TDataSetTest, FailedOpenLeavesTheDataSetClosed) {
  TListDataSet data_set;
  data_set.fail_open = true;
  EXPECT_EQ("cannot open", ErrorText([&] { data_set.Open(); }));
  EXPECT_FALSE(data_set.Active());
  data_set.Close();  // nothing to close
  EXPECT_EQ(std::vector<std::string>{"open"}, data_set.calls);
}

TEST(TComponentTest, OwnerFreesItsComponentsAndChildrenLeaveTheirOwner) {
  int freed = 0;
  struct TCounted : TComponent {
    TCounted(TComponent* owner, int& freed) : TComponent(owner), freed_(freed) {}
    ~TCounted() override { ++freed_; }
    int& freed_;
  };
  {
    TComponent owner;
    new TCounted(&owner, freed);
    auto* second = new TCounted(&owner, freed);
    new TCounted(second, freed);
    EXPECT_EQ(2u, owner.ComponentCount());
    delete second;
    EXPECT_EQ(2, freed);
    EXPECT_EQ(1u, owner.ComponentCount());
  }
  EXPECT_EQ(3, freed);
}

TEST(DatabaseErrorTest, FormatsComponentTexts) {
  EXPECT_THROW(
      {
        try {
          DatabaseError(kSInvalidSessionName, {"Foo"});
        } catch (const EDatabaseError& e) {
          EXPECT_STREQ("Session name Foo is not valid.", e.what());
          throw;
        }
      },
      EDatabaseError);
}

}  // namespace
}  // namespace tarvo
