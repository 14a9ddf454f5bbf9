// TFileList: the process-wide list of shared file objects (EngineFileList()). However many handlers
// of the process use one file, it is opened once, and the list decides who may join: an exclusive
// opening refuses every other opener, and an exclusive request refuses a file that has openers
// (11013), here as in other processes. A file object is found by its kind (in-memory or physical)
// and its name (blanks trimmed, case ignored); a physical file that is open is also found by its
// identity on disk, whatever name leads to it.
//
// Every operation runs under the list's Guard and returns 0, an opener identifier or a negated
// engine code; none throws. Lock order: the list's Guard, then a file object's Guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "support/abstract_file.h"
#include "support/system_list.h"

namespace tarvo {

// Options of an opening; the first opener's stay in force until the last leaves.
struct TOpenRequest {
  bool sequential_scan = false;
  bool write_through = false;
  bool temporary = false;  // an in-memory file is deleted, a physical one removed, at the last close
  bool exclusive = false;
  bool reading_only = false;  // see TAbstractFile::ReadingOnly
};

// What an opening yields besides the opener identifier.
struct TOpenedEntry {
  TAbstractFile* file = nullptr;  // owned by the list
  bool read_only_attribute = false;
};

// Copies move data in blocks of this size.
inline constexpr std::size_t kCopyBlockSize = 65535;

class TFileList {
 public:
  TFileList() = default;
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Listed with openers, or (for a physical file) present on disk.
  [[nodiscard]] bool EntryExists(const std::string& name, bool in_memory);
  // Creates or empties the file (as `creation` says), opened exclusively: the opener identifier,
  // or -code.
  [[nodiscard]] int CreateEntry(const std::string& name, bool in_memory, bool temporary, TAbstractFile** file,
                                TFileCreation creation = TFileCreation::kReplace);
  [[nodiscard]] int OpenEntry(const std::string& name, bool in_memory, const TOpenRequest& request,
                              TOpenedEntry& opened);
  [[nodiscard]] int CloseEntry(TAbstractFile* file, bool in_memory, std::int32_t id);
  [[nodiscard]] int RenameEntry(const std::string& name, bool in_memory, const std::string& new_name);
  [[nodiscard]] int DeleteEntry(const std::string& name, bool in_memory);
  // Copies the whole of `file` (from offset 0, through opener `id`) into a new file `destination`.
  [[nodiscard]] int CopyEntryTo(TAbstractFile* file, std::int32_t id, const std::string& destination,
                                bool in_memory);
  // Copies the whole of file `source` into `file` at the current position of opener `id`.
  [[nodiscard]] int CopyEntryFrom(TAbstractFile* file, std::int32_t id, const std::string& source,
                                  bool in_memory);

  // For checks: listed objects, and openers summed over all of them.
  std::size_t EntryCount() const;
  std::size_t TotalOpeners() const;

 private:
  // Requires: guard_ held.
  TAbstractFile* FindByName(const std::string& name, bool in_memory) const;
  TAbstractFile* FindOpenPhysical(const std::string& name) const;
  TAbstractFile* Find(const std::string& name, bool in_memory) const;
  void Unlist(TAbstractFile* file);

  mutable std::recursive_mutex guard_;
  TSystemList files_;  // of TAbstractFile, owned. Guarded by guard_.
};

// The one file list of the process, created at first use and freed at exit.
TFileList& EngineFileList();

}  // namespace tarvo
