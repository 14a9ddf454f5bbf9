#include "components/password_prompt.h"

#include <atomic>

#include "components/tarvo_session.h"

namespace tarvo {

namespace {
std::atomic<TPasswordPrompt*> current_prompt{nullptr};
}  // namespace

void SetPasswordPrompt(TPasswordPrompt* prompt) {
  current_prompt = prompt;
}

TPasswordPrompt* CurrentPasswordPrompt() {
  return current_prompt;
}

bool TPasswordDialogLogic::Add() {
  if (!AddEnabled()) return false;
  session_.AddPassword(text_);
  password_added_ = true;
  text_.clear();
  return true;
}

bool TPasswordDialogLogic::Remove() {
  if (!RemoveEnabled()) return false;
  session_.RemovePassword(text_);
  text_.clear();
  return true;
}

bool TPasswordDialogLogic::RemoveAll() {
  session_.RemoveAllPasswords();
  return true;
}

bool TPasswordDialogLogic::Ok() {
  if (!OkEnabled()) return false;
  session_.AddPassword(text_);
  result_ = TPromptResult::kOk;
  return true;
}

}  // namespace tarvo
