#include "tests/testing/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>

namespace tarvo::testing {

namespace {

constexpr const char* kChildFlag = "--tarvo-child=";

std::map<std::string, TChildRoutine>& Routines() {
  static std::map<std::string, TChildRoutine> routines;
  return routines;
}

std::string SelfExe() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) throw std::runtime_error("readlink /proc/self/exe failed");
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

bool RegisterChild(const std::string& name, TChildRoutine routine) {
  Routines()[name] = std::move(routine);
  return true;
}

bool RunChildIfAsked(int argc, char** argv, int& status) {
  if (argc < 2 || std::strncmp(argv[1], kChildFlag, std::strlen(kChildFlag)) != 0) return false;
  const std::string name = argv[1] + std::strlen(kChildFlag);
  std::vector<std::string> args(argv + 2, argv + argc);
  const auto it = Routines().find(name);
  if (it == Routines().end()) {
    std::cerr << "no child routine " << name << "\n";
    status = 99;
    return true;
  }
  try {
    status = it->second(args);
  } catch (const std::exception& e) {
    std::cerr << "child " << name << " failed: " << e.what() << "\n";
    status = 98;
  }
  std::fflush(stdout);
  return true;
}

void TellParent(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string HearFromParent() {
  std::string line;
  if (!std::getline(std::cin, line)) return {};
  return line;
}

TChildProcess::TChildProcess(const std::string& routine, const std::vector<std::string>& args) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // A write to a child that has exited would otherwise end the whole test executable.
  signal(SIGPIPE, SIG_IGN);
  const std::string exe = SelfExe();
  std::vector<std::string> argv_text = {exe, kChildFlag + routine};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  to_child_ = in_pipe[1];
  from_child_ = out_pipe[0];
}

TChildProcess::~TChildProcess() {
  if (to_child_ >= 0) close(to_child_);
  if (!waited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (from_child_ >= 0) close(from_child_);
}

bool TChildProcess::Send(const std::string& line) {
  if (to_child_ < 0) return false;
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(to_child_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TChildProcess::Receive() {
  for (;;) {
    const auto eol = pending_.find('\n');
    if (eol != std::string::npos) {
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      return line;
    }
    char buffer[512];
    const ssize_t n = read(from_child_, buffer, sizeof buffer);
    if (n <= 0) {
      std::string rest;
      rest.swap(pending_);
      return rest;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

int TChildProcess::Wait() {
  if (waited_) return status_;
  if (to_child_ >= 0) {
    close(to_child_);
    to_child_ = -1;
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  waited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

}  // namespace tarvo::testing
