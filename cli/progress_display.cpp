#include "cli/progress_display.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/terminal.h"

namespace tarvo::cli {

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
// Back to the line's start, then erase to its end.
constexpr const char* kEraseLine = "\r\x1b[K";

}  // namespace

std::string ElapsedText(std::chrono::seconds elapsed) {
  const long long total = elapsed.count();
  char text[32];
  if (total < 3600) {
    std::snprintf(text, sizeof text, "%02lld:%02lld", total / 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  }
  return text;
}

TProgressDisplay::TProgressDisplay(bool quiet) : TProgressDisplay(std::cerr, !quiet && StderrIsTerminal()) {}

TProgressDisplay::TProgressDisplay(std::ostream& out, bool enabled)
    : out_(out), enabled_(enabled), started_(std::chrono::steady_clock::now()) {}

TProgressDisplay::~TProgressDisplay() {
  Clear();
}

void TProgressDisplay::Start(const std::string& label) {
  label_ = label;
  records_ = 0;
  percent_ = -1;
  started_ = std::chrono::steady_clock::now();
}

void TProgressDisplay::Update(std::int64_t records, int percent) {
  if (!enabled_) return;
  percent = std::clamp(percent, 0, 100);
  const auto now = std::chrono::steady_clock::now();
  const bool due = !shown_ || percent != percent_ || now - drawn_ >= kRedrawInterval;
  records_ = records;
  percent_ = percent;
  if (!due) return;
  drawn_ = now;
  Draw();
}

void TProgressDisplay::Clear() {
  if (!enabled_ || !shown_) return;
  out_ << kEraseLine << std::flush;
  shown_ = false;
}

void TProgressDisplay::Draw() {
  const int filled = percent_ * kBarWidth / 100;
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
  out_ << kEraseLine;
  if (!label_.empty()) out_ << label_ << " ";
  out_ << "[" << std::string(static_cast<std::size_t>(filled), '#')
       << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] " << percent_ << "%  "
       << records_ << " records  " << ElapsedText(elapsed) << std::flush;
  shown_ = true;
}

}  // namespace tarvo::cli
