#include "components/password_prompt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/tarvo_session.h"
#include "engine/tables/data_session.h"

namespace tarvo {
namespace {

class TPasswordDialogLogicTest : public ::testing::Test {
 protected:
  void SetUp() override { session_.SetSessionName("PromptTest"); }
  std::vector<std::string> Passwords() {
    return session_.Active() ? session_.EngineSession()->Passwords() : std::vector<std::string>{};
  }

  TTarvoSession session_;
};

TEST_F(TPasswordDialogLogicTest, ButtonsFollowTheText) {
  TPasswordDialogLogic dialog(session_);
  EXPECT_FALSE(dialog.AddEnabled());
  EXPECT_FALSE(dialog.RemoveEnabled());
  EXPECT_TRUE(dialog.RemoveAllEnabled());
  EXPECT_FALSE(dialog.OkEnabled());
  EXPECT_FALSE(dialog.Ok());  // the disabled default button does nothing
  EXPECT_EQ(TPromptResult::kNone, dialog.Result());
  dialog.SetText("x");
  EXPECT_TRUE(dialog.AddEnabled());
  EXPECT_TRUE(dialog.RemoveEnabled());
  EXPECT_TRUE(dialog.OkEnabled());
  dialog.SetText("");
  EXPECT_FALSE(dialog.OkEnabled());
}

TEST_F(TPasswordDialogLogicTest, EnterAddsTheTypedPasswordAndClosesWithOk) {
  TPasswordDialogLogic dialog(session_);
  dialog.SetText("secret");
  EXPECT_TRUE(dialog.Ok());
  EXPECT_TRUE(dialog.Accepted());
  EXPECT_EQ(std::vector<std::string>{"secret"}, Passwords());
}

TEST_F(TPasswordDialogLogicTest, OkWithEmptyTextAfterAnAdd) {
  TPasswordDialogLogic dialog(session_);
  dialog.SetText("first");
  EXPECT_TRUE(dialog.Add());
  EXPECT_EQ("", dialog.Text());
  EXPECT_TRUE(dialog.PasswordAdded());
  EXPECT_FALSE(dialog.AddEnabled());
  EXPECT_TRUE(dialog.OkEnabled());
  EXPECT_TRUE(dialog.Ok());
  EXPECT_EQ(TPromptResult::kOk, dialog.Result());
  EXPECT_EQ(std::vector<std::string>{"first"}, Passwords());  // the empty text is ignored
}

TEST_F(TPasswordDialogLogicTest, RemoveAndRemoveAllThenCancel) {
  session_.AddPassword("kept");
  TPasswordDialogLogic dialog(session_);
  dialog.SetText("a");
  dialog.Add();
  dialog.SetText("b");
  dialog.Add();
  dialog.SetText("a");
  EXPECT_TRUE(dialog.Remove());
  EXPECT_EQ("", dialog.Text());
  EXPECT_EQ((std::vector<std::string>{"kept", "b"}), Passwords());
  EXPECT_TRUE(dialog.RemoveAll());
  EXPECT_TRUE(Passwords().empty());
  dialog.Cancel();
  EXPECT_FALSE(dialog.Accepted());
  EXPECT_EQ(TPromptResult::kCancel, dialog.Result());
  EXPECT_TRUE(Passwords().empty());
}

TEST_F(TPasswordDialogLogicTest, SessionAsksThePromptOnlyWithoutOnPassword) {
  struct TCountingPrompt : TPasswordPrompt {
    bool Prompt(TTarvoSession& session) override {
      ++calls;
      asked_for = session.PasswordTableName();
      return true;
    }
    int calls = 0;
    std::string asked_for;
  } prompt;
  EXPECT_FALSE(session_.AskForPassword("Lohn.DAT"));  // no prompt at all: give up
  SetPasswordPrompt(&prompt);
  EXPECT_TRUE(session_.AskForPassword("Lohn.DAT"));
  EXPECT_EQ(1, prompt.calls);
  EXPECT_EQ("Lohn.DAT", prompt.asked_for);  // the prompt can name the table
  EXPECT_EQ("", session_.PasswordTableName());
  session_.OnPassword = [](TTarvoSession&, bool& continue_open) { continue_open = false; };
  EXPECT_FALSE(session_.AskForPassword("Lohn.DAT"));
  EXPECT_EQ(1, prompt.calls);
  SetPasswordPrompt(nullptr);
}

}  // namespace
}  // namespace tarvo
