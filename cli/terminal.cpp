#include "cli/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <memory>

#include "components/tarvo_session.h"

namespace tarvo::cli {

namespace {

constexpr const char* kPasswordQuestion = "Password: ";

}  // namespace

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

TEchoOffGuard::TEchoOffGuard() {
  termios settings{};
  if (tcgetattr(STDIN_FILENO, &settings) != 0) return;
  saved_local_flags_ = settings.c_lflag;
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  // Enter still shows as a line break.
  settings.c_lflag |= ECHONL;
  restore_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings) == 0;
}

TEchoOffGuard::~TEchoOffGuard() {
  if (!restore_) return;
  termios settings{};
  if (tcgetattr(STDIN_FILENO, &settings) != 0) return;
  settings.c_lflag = static_cast<tcflag_t>(saved_local_flags_);
  (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings);
}

std::optional<std::string> ReadHiddenLine(const std::string& prompt) {
  std::cerr << prompt << std::flush;
  std::string line;
  {
    TEchoOffGuard echo_off;
    if (!std::getline(std::cin, line)) {
      std::cerr << "\n";
      return std::nullopt;
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

TPasswordQuestion TerminalPasswordQuestion() {
  if (!StdinIsTerminal()) return {};
  return [] { return ReadHiddenLine(kPasswordQuestion); };
}

bool TTerminalPasswordPrompt::Prompt(TTarvoSession& session) {
  if (++attempts_ > kPasswordAttempts) return false;
  const std::optional<std::string> password = ReadHiddenLine(kPasswordQuestion);
  if (!password || password->empty()) return false;
  TPasswordDialogLogic logic(session);
  logic.SetText(*password);
  return logic.Ok();
}

TTerminalPromptScope::TTerminalPromptScope() {
  if (!StdinIsTerminal()) return;
  SetPasswordPrompt(&prompt_);
  registered_ = true;
}

TTerminalPromptScope::~TTerminalPromptScope() {
  if (registered_) SetPasswordPrompt(nullptr);
}

}  // namespace tarvo::cli
