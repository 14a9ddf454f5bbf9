// TBackgroundQueue: work handed to a thread of its own, one item after another in the order
// given, so that the caller goes on meanwhile. At most `limit` items wait; Push() waits for room.
// Items done come back as spares for the caller to refill (their buffers keep their capacity).
// The first failure of the work ends the thread: the next Push() or Finish() raises it (with the
// system's reason for it, LastSystemErrorNumber), and the items still waiting are dropped.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "support/platform_errors.h"

namespace tarvo {

template <typename T>
class TBackgroundQueue {
 public:
  TBackgroundQueue(std::size_t limit, std::function<void(T&)> work)
      : limit_(limit), work_(std::move(work)), thread_([this] { Run(); }) {}
  // Drops what still waits and ends the thread; a failure there is not raised.
  ~TBackgroundQueue() { Stop(true); }
  TBackgroundQueue(const TBackgroundQueue&) = delete;
  TBackgroundQueue& operator=(const TBackgroundQueue&) = delete;

  // Queues `item` once fewer than `limit` wait; raises the work's failure instead.
  void Push(T item) {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return waiting_.size() < limit_ || failure_; });
    if (failure_) Raise();
    waiting_.push_back(std::move(item));
    changed_.notify_all();
  }

  // Gives the queue an item to hand out as a spare (buffers made up front keep the memory the
  // same whatever the amount of work).
  void AddSpare(T item) {
    std::lock_guard lock(lock_);
    spare_.push_back(std::move(item));
  }

  // An item the work is done with, if any.
  std::optional<T> TakeSpare() {
    std::lock_guard lock(lock_);
    if (spare_.empty()) return std::nullopt;
    T item = std::move(spare_.back());
    spare_.pop_back();
    return item;
  }

  // Waits until every item queued is done, ends the thread and raises the work's failure.
  void Finish() { Stop(false); }

 private:
  void Run() {
    for (;;) {
      T item;
      {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return !waiting_.empty() || closing_; });
        if (waiting_.empty() || abandon_) return;
        item = std::move(waiting_.front());
        waiting_.pop_front();
        changed_.notify_all();
      }
      try {
        work_(item);
      } catch (...) {
        std::lock_guard lock(lock_);
        failure_ = std::current_exception();
        failure_errno_ = LastSystemErrorNumber();
        waiting_.clear();
        changed_.notify_all();
        return;
      }
      std::lock_guard lock(lock_);
      spare_.push_back(std::move(item));
    }
  }

  void Stop(bool abandon) {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(lock_);
      closing_ = true;
      abandon_ = abandon;
      changed_.notify_all();
    }
    thread_.join();
    std::lock_guard lock(lock_);
    if (failure_ && !abandon) Raise();
  }

  // Requires: lock_ held, failure_ set.
  [[noreturn]] void Raise() {
    if (failure_errno_ != 0) SetLastSystemErrorNumber(failure_errno_);
    std::rethrow_exception(failure_);
  }

  const std::size_t limit_;
  const std::function<void(T&)> work_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<T> waiting_;       // Guarded by lock_.
  std::vector<T> spare_;        // Guarded by lock_.
  bool closing_ = false;        // Guarded by lock_.
  bool abandon_ = false;        // Guarded by lock_.
  std::exception_ptr failure_;  // Guarded by lock_.
  int failure_errno_ = 0;       // Guarded by lock_.
  std::thread thread_;          // started last, when everything it uses is made
};

}  // namespace tarvo
