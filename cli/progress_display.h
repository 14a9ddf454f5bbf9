// TProgressDisplay: the progress line of the long operations on standard error, redrawn in place:
// what is being done, a bar, the percentage, the records so far and the time since the operation
// began. It shows only when standard error is a terminal and --quiet was not given; otherwise
// every call does nothing, so scripts and logs never see it. Output that goes to the terminal
// meanwhile calls Clear() first; the next Update() draws the line again.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace tarvo::cli {

class TProgressDisplay {
 public:
  // Shows on standard error when it is a terminal and `quiet` is false.
  explicit TProgressDisplay(bool quiet);
  // Shows on `out` exactly when `enabled`.
  TProgressDisplay(std::ostream& out, bool enabled);
  ~TProgressDisplay();
  TProgressDisplay(const TProgressDisplay&) = delete;
  TProgressDisplay& operator=(const TProgressDisplay&) = delete;

  bool Enabled() const { return enabled_; }

  // A new operation: its label, and the clock starts again.
  void Start(const std::string& label);
  // `percent` from 0 to 100 (clamped); redrawn when the percentage changed or a moment passed.
  void Update(std::int64_t records, int percent);
  // Erases the line (when it is shown).
  void Clear();

 private:
  void Draw();

  std::ostream& out_;
  bool enabled_;
  bool shown_ = false;
  std::string label_;
  std::int64_t records_ = 0;
  int percent_ = -1;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point drawn_;
};

// "12:34" for less than an hour, else "1:02:03".
std::string ElapsedText(std::chrono::seconds elapsed);

}  // namespace tarvo::cli
