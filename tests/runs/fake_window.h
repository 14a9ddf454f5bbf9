// TFakeWindow: a window for the maintenance runs without any toolkit. It keeps the log as lines,
// records every box, every progress position and every change of cursor and enabled state, and
// answers boxes and the open dialog from scripts that the test sets up.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "runs/window_operations.h"

namespace tarvo::testing {

struct TShownBox {
  TMessageKind kind;
  std::string caption;
  std::string text;
};

class TFakeWindow : public TWindowOperations {
 public:
  void ClearLog() override { log.clear(); }
  void AddLogEntry(const std::string& entry) override {
    for (const std::string& line : SplitLogEntry(entry)) log.push_back(line);
  }
  void SetProgress(int percent) override {
    progress = percent;
    progress_history.push_back(percent);
  }
  TMessageAnswer ShowMessage(TMessageKind kind, const std::string& caption,
                             const std::string& text) override {
    boxes.push_back({kind, caption, text});
    if (kind != TMessageKind::kConfirmation) return TMessageAnswer::kOk;
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << text;
      return TMessageAnswer::kNo;
    }
    const TMessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::vector<std::string> ChooseFiles(const TOpenDialogSettings& settings) override {
    dialogs.push_back(settings);
    return chosen_files;
  }
  void SetWaitCursor(bool wait) override { wait_cursors += wait ? 1 : -1; }
  void SetWindowEnabled(bool value) override {
    enabled = value;
    if (!value) ++disabled_count;
  }
  void ProcessPendingEvents() override { ++pending_processed; }
  void Terminate() override { terminated = true; }

  std::vector<std::string> log;
  int progress = -1;
  std::vector<int> progress_history;
  std::vector<TShownBox> boxes;
  std::deque<TMessageAnswer> answers;
  std::vector<TOpenDialogSettings> dialogs;
  std::vector<std::string> chosen_files;
  int wait_cursors = 0;
  bool enabled = true;
  int disabled_count = 0;
  int pending_processed = 0;
  bool terminated = false;
};

}  // namespace tarvo::testing
