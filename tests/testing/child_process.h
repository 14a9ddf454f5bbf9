// Tests that need a second process re-run their own executable in "child mode": the child runs a
// routine registered with TARVO_CHILD and talks to the parent line by line over its stdin and
// stdout. TChildProcess owns the child and kills it if the test leaves early. The parent ignores
// SIGPIPE once it starts a child: a child that has already left makes a write fail, not the test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarvo::testing {

// A child routine: gets its arguments, returns the exit status.
using TChildRoutine = std::function<int(const std::vector<std::string>& args)>;

// Registers a routine under a name; used through TARVO_CHILD.
bool RegisterChild(const std::string& name, TChildRoutine routine);

// In main: when argv asks for child mode, runs the routine and returns true with its status.
bool RunChildIfAsked(int argc, char** argv, int& status);

// Inside a child: one line to the parent (flushed), and the next line from it ("" at end of input).
void TellParent(const std::string& line);
std::string HearFromParent();

class TChildProcess {
 public:
  TChildProcess(const std::string& routine, const std::vector<std::string>& args = {});
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // One line to the child's stdin; false when the child no longer reads (it may have exited).
  bool Send(const std::string& line);
  std::string Receive();               // the child's next stdout line ("" when it closed)
  int Wait();                          // exit status (128 + signal when killed)

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string pending_;
  bool waited_ = false;
  int status_ = 0;
};

}  // namespace tarvo::testing

#define TARVO_CHILD_CONCAT2(a, b) a##b
#define TARVO_CHILD_CONCAT(a, b) TARVO_CHILD_CONCAT2(a, b)
// TARVO_CHILD(HoldExclusive) { ...; return 0; }   (the body sees `args`)
#define TARVO_CHILD(name)                                                                \
  static int TarvoChild_##name(const std::vector<std::string>& args);                    \
  [[maybe_unused]] static const bool TARVO_CHILD_CONCAT(tarvo_child_registered_, name) = \
      ::tarvo::testing::RegisterChild(#name, &TarvoChild_##name);                        \
  static int TarvoChild_##name([[maybe_unused]] const std::vector<std::string>& args)
