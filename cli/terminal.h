// What the tool needs of the terminal: whether a standard stream is one, reading a line without
// echo, and the password prompts that ask there when the engine meets an encrypted table whose
// password it was not given (one for the engine sessions of the table commands, one for the table
// components of `tarvo reorganize`).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "components/password_prompt.h"
#include "engine/tables/table_by_path.h"

namespace tarvo::cli {

bool StdinIsTerminal();
bool StderrIsTerminal();

// Echo of the terminal on standard input switched off for a scope (nothing when it is no terminal).
class TEchoOffGuard {
 public:
  TEchoOffGuard();
  ~TEchoOffGuard();
  TEchoOffGuard(const TEchoOffGuard&) = delete;
  TEchoOffGuard& operator=(const TEchoOffGuard&) = delete;

 private:
  bool restore_ = false;
  unsigned saved_local_flags_ = 0;
};

// Writes `prompt` on standard error and reads one line from standard input with echo off;
// nullopt at end of input. The line break the user typed is echoed afterwards.
std::optional<std::string> ReadHiddenLine(const std::string& prompt);

// The question for a further password on the terminal, when standard input is one (else none):
// for PreparePasswords and OpenTableByPath.
TPasswordQuestion TerminalPasswordQuestion();

// The table components' prompt on the terminal: one hidden line per question, added to the
// session; an empty line or the end of input gives up.
class TTerminalPasswordPrompt : public TPasswordPrompt {
 public:
  bool Prompt(TTarvoSession& session) override;

 private:
  int attempts_ = 0;
};

// Registers a terminal prompt for the table components for a scope, when standard input is a
// terminal.
class TTerminalPromptScope {
 public:
  TTerminalPromptScope();
  ~TTerminalPromptScope();
  TTerminalPromptScope(const TTerminalPromptScope&) = delete;
  TTerminalPromptScope& operator=(const TTerminalPromptScope&) = delete;

 private:
  TTerminalPasswordPrompt prompt_;
  bool registered_ = false;
};

}  // namespace tarvo::cli
