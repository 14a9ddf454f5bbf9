// Passwords stay secret: neither a wrong nor the right password of an encrypted table shows up in
// an error text or in what the maintenance operations report, nor does a new password given to
// restructure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/database_texts.h"
#include "errors/engine_error.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "components/tarvo_table.h"
#include "tests/components/component_tables.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

const std::string kRight = "Qx7rightpass";
const std::string kWrong = "Wz4wrongpass";
const std::string kNew = "Nv2newpass";

class PasswordSecrecyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CreateSimpleTable(dir_.Dir(), "Secret", true, kRight);
    session_ = Sessions().DefaultSession();
    session_->OnPassword = [](TTarvoSession&, bool& continue_open) { continue_open = false; };
    table_.SetDatabaseName(dir_.Dir());
    table_.SetTableName("Secret");
    table_.SetExclusive(true);
    table_.OnRepairLog = [this](TComponent&, const std::string& line) { texts_.push_back(line); };
  }
  void TearDown() override {
    session_->RemoveAllPasswords();
    session_->OnPassword = nullptr;
    for (const std::string& text : texts_) {
      for (const std::string& secret : {kRight, kWrong, kNew}) {
        EXPECT_EQ(std::string::npos, text.find(secret)) << text;
      }
    }
  }

  // Runs `step`, keeping the text of whatever it raises.
  template <typename TStep>
  void Run(TStep step) {
    try {
      step();
    } catch (const ETarvoEngineError& e) {
      texts_.push_back(e.what());
      for (const TTarvoError& entry : e.Errors()) texts_.push_back(entry.Message);
      if (const auto& names = e.Names()) {
        for (const std::string* name : {&names->table, &names->field, &names->index, &names->extra})
          texts_.push_back(*name);
      }
    } catch (const std::exception& e) {
      texts_.push_back(e.what());
    }
  }

  testing::TTempDir dir_;
  TTarvoSession* session_ = nullptr;
  TTarvoTable table_;
  std::vector<std::string> texts_;
};

TEST_F(PasswordSecrecyTest, WrongPasswordsInErrorTexts) {
  session_->AddPassword(kWrong);
  Run([&] { table_.Open(); });
  Run([&] { table_.RepairTable(); });
  Run([&] { table_.VerifyTable(); });
  Run([&] { table_.OptimizeTable("", true); });
  Run([&] { (void)table_.LastAutoIncValue(); });
  EXPECT_FALSE(table_.Active());
  EXPECT_GE(texts_.size(), 4u);  // every step failed with a text
}

TEST_F(PasswordSecrecyTest, RightPasswordInLogsAndErrors) {
  session_->AddPassword(kWrong);
  session_->AddPassword(kRight);
  Run([&] { table_.RepairTable(); });
  Run([&] { table_.VerifyTable(); });
  Run([&] { table_.OptimizeTable("NoSuchIndex", true); });
  Run([&] { table_.OptimizeTable("", true); });
  Run([&] { table_.RestructureTable(0, 0, 1, 0, true, kNew, "d", 1024, -1, true); });
  EXPECT_GE(texts_.size(), 5u);  // repair and verify log, the unknown index fails
}

}  // namespace
}  // namespace tarvo
