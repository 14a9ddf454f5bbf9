#include "engine/maintenance/table_exchange.h"

#include <algorithm>
#include <span>
#include <sstream>
#include <string_view>
#include <vector>

#include "components/engine_error.h"
#include "engine/maintenance/scratch_table.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/platform_errors.h"

namespace tarvo {

namespace {

constexpr char kIntentMarker[] = "tarvo-exchange 1";

struct TMove {
  std::string from;
  std::string to;
};

struct TIntent {
  bool keep_backups = true;
  std::vector<TMove> aside;
  std::vector<TMove> place;
  bool complete = false;
};

void RaiseOs(TOsError error, const std::string& path) {
  if (error != kOsOk) RaiseEngineError(EngineCodeFromOsError(error), path);
}

void CheckResult(int rc, const std::string& name) {
  if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), name);
}

bool Exists(const std::string& path, bool in_memory) {
  return EngineFileList().EntryExists(path, in_memory);
}

void Move(const TMove& move, bool in_memory) {
  CheckResult(EngineFileList().RenameEntry(move.from, in_memory, move.to), move.from);
}

void Remove(const std::string& path, bool in_memory) {
  CheckResult(EngineFileList().DeleteEntry(path, in_memory), path);
}

void SyncDirectory(const std::string& directory) {
  if (directory.empty()) return;
  RaiseOs(OsSyncDirectory(directory), directory);
}

std::string Serialize(const TIntent& intent) {
  std::string text = std::string(kIntentMarker) + "\n";
  text += std::string("keep-backups\t") + (intent.keep_backups ? "1" : "0") + "\n";
  for (const TMove& m : intent.aside) text += "aside\t" + m.from + "\t" + m.to + "\n";
  for (const TMove& m : intent.place) text += "place\t" + m.from + "\t" + m.to + "\n";
  text += "end\n";
  return text;
}

TIntent Parse(const std::string& text) {
  TIntent intent;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kIntentMarker) return intent;
  while (std::getline(in, line)) {
    if (line == "end") {
      intent.complete = true;
      break;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (parts.size() == 2 && parts[0] == "keep-backups") {
      intent.keep_backups = parts[1] == "1";
    } else if (parts.size() == 3 && parts[0] == "aside") {
      intent.aside.push_back({parts[1], parts[2]});
    } else if (parts.size() == 3 && parts[0] == "place") {
      intent.place.push_back({parts[1], parts[2]});
    } else {
      return TIntent{};
    }
  }
  return intent;
}

void WriteIntent(const std::string& path, const std::string& directory, const TIntent& intent) {
  const std::string text = Serialize(intent);
  TOsFile file;
  RaiseOs(file.Create(path, TOsOpenOptions{}), path);
  std::size_t done = 0;
  TOsError error = file.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())), done);
  if (error == kOsOk && done != text.size()) error = kOsDiskFull;
  if (error == kOsOk) error = file.Flush();
  file.Close();
  if (error == kOsOk) error = OsSyncDirectory(directory);
  if (error != kOsOk) {
    (void)OsDeleteFile(path);
    RaiseOs(error, path);
  }
}

bool ReadIntent(const std::string& path, std::string& text) {
  if (!OsFileExists(path)) return false;
  TOsFile file;
  TOsOpenOptions options;
  options.read_only = true;
  RaiseOs(file.Open(path, options), path);
  std::int64_t size = 0;
  RaiseOs(file.Size(size), path);
  text.assign(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  RaiseOs(file.ReadAt(0, std::as_writable_bytes(std::span(text.data(), text.size())), done), path);
  text.resize(done);
  return true;
}

void RemoveIntent(const std::string& path, const std::string& directory) {
  if (path.empty()) return;
  if (const TOsError error = OsDeleteFile(path); error != kOsOk && OsFileExists(path)) RaiseOs(error, path);
  RaiseOs(OsSyncDirectory(directory), directory);
}

// A step is done when its target exists and its source does not.
bool Done(const TMove& move, bool in_memory) {
  return !Exists(move.from, in_memory) && Exists(move.to, in_memory);
}

// Undoes the steps that were done, the last first.
void RollBack(const TIntent& intent, bool in_memory) {
  for (auto it = intent.place.rbegin(); it != intent.place.rend(); ++it) {
    if (Done(*it, in_memory)) Move({it->to, it->from}, in_memory);
  }
  for (auto it = intent.aside.rbegin(); it != intent.aside.rend(); ++it) {
    if (Done(*it, in_memory)) Move({it->to, it->from}, in_memory);
  }
}

// After the commit: without backups the old files go. A file that cannot be deleted stays
// under its aside name; the table itself is complete.
void FinishCommitted(const TIntent& intent, bool in_memory) {
  if (intent.keep_backups) return;
  for (const TMove& m : intent.aside) {
    if (Exists(m.to, in_memory)) (void)EngineFileList().DeleteEntry(m.to, in_memory);
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string ExchangeIntentPath(const std::string& directory, const std::string& table_base) {
  return directory + table_base + ".XCH";
}

void SyncFileToDisk(const std::string& path) {
  if (!OsFileExists(path)) return;
  TOsFile file;
  TOsOpenOptions options;
  options.read_only = true;
  RaiseOs(file.Open(path, options), path);
  RaiseOs(file.Flush(), path);
}

void ExchangeTableFiles(const TExchangePlan& plan) {
  const bool mem = plan.in_memory;
  const std::string old_base = plan.directory + plan.table_base;
  const std::string new_base = plan.new_directory + plan.new_base;
  static constexpr const char* kExtensions[] = {".DAT", ".IDX", ".BLB"};
  static constexpr const char* kBackups[] = {".DBK", ".IBK", ".BBK"};
  static constexpr const char* kReplaced[] = {".DAT.replaced", ".IDX.replaced", ".BLB.replaced"};

  TIntent intent;
  intent.keep_backups = plan.keep_backups;
  for (int i = 0; i < 3; ++i) {
    const std::string old_file = old_base + kExtensions[i];
    if (!Exists(old_file, mem)) continue;
    const std::string aside = old_base + (plan.keep_backups ? kBackups[i] : kReplaced[i]);
    intent.aside.push_back({old_file, aside});
  }
  // The data file last: the table appears only when its other files are there.
  for (int i : {1, 2, 0}) {
    const std::string new_file = new_base + kExtensions[i];
    if (Exists(new_file, mem)) intent.place.push_back({new_file, old_base + kExtensions[i]});
  }
  // Backups of an earlier run are replaced; the table itself is not touched yet.
  for (const TMove& m : intent.aside) {
    if (Exists(m.to, mem)) Remove(m.to, mem);
  }
  const std::string intent_path = mem ? std::string() : ExchangeIntentPath(plan.directory, plan.table_base);
  if (!mem) WriteIntent(intent_path, plan.directory, intent);

  try {
    for (const TMove& m : intent.aside) Move(m, mem);
    for (const TMove& m : intent.place) Move(m, mem);
    if (!mem) {
      SyncDirectory(plan.directory);
      if (plan.new_directory != plan.directory) SyncDirectory(plan.new_directory);
    }
  } catch (...) {
    try {
      RollBack(intent, mem);
      if (!mem) RemoveIntent(intent_path, plan.directory);
    } catch (...) {
      // The intent file stays: RecoverTableExchange completes the roll-back later.
    }
    throw;
  }
  // Committed: the table is complete. What is left to tidy is tidied again by the recovery
  // when it fails now.
  try {
    FinishCommitted(intent, mem);
    if (!mem) RemoveIntent(intent_path, plan.directory);
  } catch (const ETarvoEngineError&) {
  }
}

namespace {

// An intent file is only followed where the exchange that wrote it can have worked: the old and
// the placed files lie in the table's directory itself, and a new file in the table's scratch
// folder or elsewhere (a session's private directory). Anything else (a path with "..", a file
// of another directory) is a file nobody's exchange wrote, and the intent is left alone.
bool InDirectory(const std::string& path, const std::string& directory) {
  if (directory.empty() || DirectoryOf(path) != directory) return false;
  const std::string_view name = std::string_view(path).substr(directory.size());
  return !name.empty() && name != "." && name != "..";
}

bool HasDotSegment(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment(path.data() + start, slash - start);
    if (segment == "." || segment == "..") return true;
    start = slash + 1;
  }
  return false;
}

// The scratch side of a placement may be deleted or moved back to by a roll-back only in the
// table's directory or its scratch folder; a file elsewhere is left to its owner.
bool InScratchFolder(const std::string& path, const std::string& directory) {
  return InDirectory(path, directory) || InDirectory(path, directory + kScratchSubdirectory + "/");
}

bool IntentFits(const TIntent& intent, const std::string& directory) {
  for (const TMove& m : intent.aside) {
    if (!InDirectory(m.from, directory) || !InDirectory(m.to, directory)) return false;
  }
  for (const TMove& m : intent.place) {
    if (!InDirectory(m.to, directory)) return false;
    if (!InScratchFolder(m.from, directory) && (m.from.empty() || HasDotSegment(m.from))) return false;
  }
  return true;
}

}  // namespace

bool RecoverTableExchange(const std::string& directory, const std::string& table_name) {
  std::string base = table_name;
  const std::size_t slash = base.find_last_of('/');
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
  const std::string path = ExchangeIntentPath(directory, base);
  std::string text;
  if (!ReadIntent(path, text)) return false;
  const TIntent intent = Parse(text);
  if (intent.complete && !IntentFits(intent, directory)) return false;
  if (intent.complete) {
    const bool committed =
        std::all_of(intent.place.begin(), intent.place.end(), [](const TMove& m) { return Done(m, false); });
    if (committed) {
      FinishCommitted(intent, false);
    } else {
      // A placed file whose scratch side lies outside the table's scratch folder is deleted where
      // it is instead of being moved back out of the directory: the new table is of no use now.
      for (const TMove& m : intent.place) {
        if (!InScratchFolder(m.from, directory) && Done(m, false)) (void)OsDeleteFile(m.to);
      }
      RollBack(intent, false);
      for (const TMove& m : intent.place) {
        if (InScratchFolder(m.from, directory) && OsFileExists(m.from)) (void)OsDeleteFile(m.from);
      }
    }
    for (const TMove& m : intent.place) {
      if (const std::string dir = DirectoryOf(m.from); !dir.empty() && dir != directory)
        (void)OsSyncDirectory(dir);
    }
  }
  // An intent file without its end line was cut off while it was written: nothing was moved.
  RemoveIntent(path, directory);
  return true;
}

}  // namespace tarvo
