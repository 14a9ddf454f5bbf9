// TPowerLoss: a simulated power cut, for tests. A process killed at some instant keeps every
// write it made in the system's cache; a power cut does not: what was never synced is gone, or
// partly gone. While the recorder runs, the platform layer reports each change it makes on the
// disk (writes and truncations, file syncs, entries made, removed and renamed, directory syncs),
// and the recorder keeps what a cut would leave:
//
//   - a file's contents as of its last sync (as of the start for files not synced since), and
//     the 4 KiB pages written since;
//   - a directory's entries as of the start, and the entry changes since, each durable once a
//     directory it touches is synced (with the earlier changes of the same names). A rename is
//     one change of both directories.
//
// The cut comes at the n-th counted call, as a crash of TFaultInjector::ArmCrash does (the call
// is not made): the recorder writes the state of every directory it saw to a journal file and
// ends the process. ApplyPowerLossJournal, run by another process afterwards, puts the
// directories in that state. The real syncs are skipped while the recorder runs: they change
// nothing that the simulation keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace tarvo {

enum class TPowerLossMode {
  kWhole,  // every change since the last sync is lost
  kTorn,   // a random part of them survives: pages of files, a file's new or old length, and the
           // directory changes up to a random point
};

class TPowerLoss {
 public:
  // Starts recording; the cut comes at the `nth` counted call of the kinds in `ops` (see
  // TFaultOp). `seed` chooses what survives a torn cut.
  static void Arm(std::uint32_t ops, std::int64_t nth, TPowerLossMode mode, std::uint32_t seed,
                  const std::string& journal_path);
  static void Disarm();
  static bool Recording() { return recording_.load(std::memory_order_relaxed); }

  // Reports of the platform layer, made only while Recording(). Paths as given to the system.
  static void BeforeChange(int fd);  // the file's contents are about to change through `fd`
  static void Wrote(int fd, std::int64_t offset, std::span<const std::byte> bytes);
  static void Truncated(int fd, std::int64_t size);
  static void Synced(int fd);
  static void BeforeEntryChange(const std::string& path);  // before a removal, rename or creation
  static void Created(const std::string& path);            // a new file or directory
  static void Removed(const std::string& path);            // after this thread's BeforeEntryChange
  static void Renamed(const std::string& from, const std::string& to);
  static void DirectorySynced(const std::string& directory);

 private:
  [[noreturn]] static void Cut();
  static std::atomic<bool> recording_;
};

// Puts the directories named in the journal in the state it records. A file that still exists
// keeps its identity, as on a real disk, wherever the cut puts it. Returns false when the journal
// cannot be read.
bool ApplyPowerLossJournal(const std::string& journal_path);

}  // namespace tarvo
