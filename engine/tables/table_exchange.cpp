#include "engine/tables/table_exchange.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "errors/engine_error.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/platform_errors.h"
#include "support/platform_names.h"

namespace tarvo {

namespace {

// Names relative to the intent file's own directory (a file elsewhere by its absolute path),
// each move with the identity of the file it moves.
constexpr char kIntentMarker[] = "tarvo-exchange 2";
// Written by earlier versions: every path as the writer spelled its directory, no identities.
constexpr char kOldIntentMarker[] = "tarvo-exchange 1";

struct TMove {
  std::string from;
  std::string to;
  std::optional<TFileIdentity> id;     // of the file that the move carries
  std::optional<TFileIdentity> to_id;  // a snapshot's file: what stood at `to` when it was taken
};

struct TIntent {
  bool keep_backups = true;
  std::vector<TMove> aside;
  std::vector<TMove> place;
  std::vector<TMove> restore;        // from the copy to the table's file
  std::vector<std::string> absent;   // files the table did not have
  std::vector<std::string> discard;  // copies of a committed change, to be deleted
  bool complete = false;

  bool Guard() const { return !restore.empty() || !absent.empty(); }
};

// How often, and how long apart, an intent file held by another process is asked for again.
constexpr int kIntentRetries = 5;
constexpr std::uint32_t kIntentRetryPause = 20;

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

// Deletes an old file of the table that is to go (an earlier backup, an old file without
// backups): also when the table was read-only, as its files then are.
int DeleteOld(const std::string& path, bool in_memory) {
  if (!in_memory) {
    bool read_only = false;
    if (OsReadOnlyAttribute(path, read_only) == kOsOk && read_only) (void)OsSetReadOnlyAttribute(path, false);
  }
  return EngineFileList().DeleteEntry(path, in_memory);
}

void Remove(const std::string& path, bool in_memory) {
  CheckResult(DeleteOld(path, in_memory), path);
}

void SyncDirectory(const std::string& directory) {
  if (directory.empty()) return;
  RaiseOs(OsSyncDirectory(directory), directory);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string IdentityText(const std::optional<TFileIdentity>& id) {
  return id ? std::to_string(id->device) + ":" + std::to_string(id->inode) : std::string();
}

std::optional<TFileIdentity> ParseIdentity(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  TFileIdentity id;
  const auto [device_end, device_error] = std::from_chars(text.data(), text.data() + colon, id.device);
  const auto [inode_end, inode_error] = std::from_chars(text.data() + colon + 1, text.data() + text.size(), id.inode);
  if (device_error != std::errc{} || inode_error != std::errc{} || device_end != text.data() + colon ||
      inode_end != text.data() + text.size())
    return std::nullopt;
  return id;
}

// The file on disk that `path` names, whatever the case of its name; "" when there is none.
std::string DiskPathOf(const std::string& path) {
  std::string found;
  return ResolveFileName(path, found) == kOsOk ? found : std::string();
}

// The identity of the regular file at `path` (a link is none).
std::optional<TFileIdentity> IdentityOf(const std::string& path) {
  TFileIdentity id;
  const std::string found = DiskPathOf(path);
  if (found.empty() || OsRegularFileIdentity(found, id) != kOsOk) return std::nullopt;
  return id;
}

// Whether `name` is that of a scratch folder: the usual one, or one made afresh beside it.
bool IsScratchFolderName(std::string_view name) {
  const std::string_view usual = kScratchSubdirectory;
  return name == usual || (name.size() > usual.size() + 1 && name.substr(0, usual.size()) == usual &&
                           name[usual.size()] == '-' && name.find('/') == std::string_view::npos);
}

// A name in the directory itself, or in one of its scratch folders, relative to it.
bool IsLocalName(std::string_view rest) {
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return !rest.empty() && rest != "." && rest != "..";
  const std::string_view file = rest.substr(slash + 1);
  return IsScratchFolderName(rest.substr(0, slash)) && !file.empty() && file != "." && file != ".." &&
         file.find('/') == std::string_view::npos;
}

// How the intent file in `directory` names `path`: relative to that directory where it lies in it
// or in a scratch folder of it, else absolute.
std::string NameInIntent(const std::string& path, const std::string& directory) {
  if (!directory.empty() && path.compare(0, directory.size(), directory) == 0 &&
      IsLocalName(std::string_view(path).substr(directory.size())))
    return path.substr(directory.size());
  if (!path.empty() && path.front() == '/') return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

std::string Serialize(const TIntent& intent, const std::string& directory) {
  const auto name = [&](const std::string& path) { return NameInIntent(path, directory); };
  const auto move = [&](const char* kind, const TMove& m) {
    std::string line = std::string(kind) + "\t" + name(m.from) + "\t" + name(m.to) + "\t" + IdentityText(m.id);
    if (m.to_id) line += "\t" + IdentityText(m.to_id);
    return line + "\n";
  };
  std::string text = std::string(kIntentMarker) + "\n";
  text += std::string("keep-backups\t") + (intent.keep_backups ? "1" : "0") + "\n";
  for (const TMove& m : intent.aside) text += move("aside", m);
  for (const TMove& m : intent.place) text += move("place", m);
  for (const TMove& m : intent.restore) text += move("restore", m);
  for (const std::string& f : intent.absent) text += "absent\t" + name(f) + "\n";
  for (const std::string& f : intent.discard) text += "discard\t" + name(f) + "\n";
  text += "end\n";
  return text;
}

// Whether two spellings lead to one directory.
bool SameDirectory(const std::string& a, const std::string& b) {
  if (a == b) return true;
  TFileIdentity first;
  TFileIdentity second;
  return OsPathIdentity(a.empty() ? "." : a, first) == kOsOk && OsPathIdentity(b.empty() ? "." : b, second) == kOsOk &&
         first == second;
}

// Every path of the intent as a path in `directory`, however that is spelled now. An intent of
// an earlier version names the table's files by the directory as its writer spelled it (the
// directory of the table's first file it names): those in that directory, when it is this one,
// are taken as files of this directory.
void Locate(TIntent& intent, const std::string& directory, bool old_format) {
  std::string written;  // the directory as the old intent spelled it
  if (old_format) {
    for (const auto* first : {intent.restore.empty() ? nullptr : &intent.restore.front().to,
                              intent.absent.empty() ? nullptr : &intent.absent.front(),
                              intent.aside.empty() ? nullptr : &intent.aside.front().from,
                              intent.place.empty() ? nullptr : &intent.place.front().to}) {
      if (first != nullptr) {
        written = DirectoryOf(*first);
        break;
      }
    }
    if (!SameDirectory(written, directory)) return;
  }
  const auto locate = [&](std::string& path) {
    if (old_format) {
      if (path.compare(0, written.size(), written) == 0 &&
          IsLocalName(std::string_view(path).substr(written.size())))
        path = directory + path.substr(written.size());
    } else if (path.empty() || path.front() != '/') {
      path = directory + path;
    }
  };
  for (auto* moves : {&intent.aside, &intent.place, &intent.restore}) {
    for (TMove& m : *moves) {
      locate(m.from);
      locate(m.to);
    }
  }
  for (std::string& f : intent.absent) locate(f);
  for (std::string& f : intent.discard) locate(f);
}

TIntent Parse(const std::string& text, const std::string& directory) {
  TIntent intent;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kIntentMarker && line != kOldIntentMarker)) return intent;
  const bool old_format = line == kOldIntentMarker;
  const auto move = [&](const std::vector<std::string>& parts) {
    TMove m{parts[1], parts[2], std::nullopt, std::nullopt};
    if (parts.size() > 3) m.id = ParseIdentity(parts[3]);
    if (parts.size() > 4) m.to_id = ParseIdentity(parts[4]);
    return m;
  };
  const auto moves = [&](const std::vector<std::string>& parts, const char* kind) {
    return parts[0] == kind && parts.size() >= 3 && parts.size() <= (old_format ? 3u : 5u);
  };
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
    } else if (moves(parts, "aside")) {
      intent.aside.push_back(move(parts));
    } else if (moves(parts, "place")) {
      intent.place.push_back(move(parts));
    } else if (moves(parts, "restore")) {
      intent.restore.push_back(move(parts));
    } else if (parts.size() == 2 && parts[0] == "absent") {
      intent.absent.push_back(parts[1]);
    } else if (parts.size() == 2 && parts[0] == "discard") {
      intent.discard.push_back(parts[1]);
    } else {
      return TIntent{};
    }
  }
  Locate(intent, directory, old_format);
  return intent;
}

// A step is done when its target exists and its source does not (and the target is the file
// that the step moved, where the intent knows it).
bool Done(const TMove& move, bool in_memory) {
  if (Exists(move.from, in_memory) || !Exists(move.to, in_memory)) return false;
  return !move.id || IdentityOf(move.to) == move.id;
}

// Whether the table's files no longer stand as the interrupted exchange left them: a name that
// the intent moves a file to or from holds a file that none of its steps moved. Such a table was
// replaced or made anew since (by a program that did not know the intent), and acting on the
// intent would destroy it. An intent of an earlier version, without identities, is never found
// stale.
bool Stale(const TIntent& intent) {
  std::map<std::string, std::vector<TFileIdentity>> known;  // name -> files the steps put or found there
  for (const auto* moves : {&intent.aside, &intent.place}) {
    for (const TMove& m : *moves) {
      if (!m.id) return false;
      known[m.from].push_back(*m.id);
      known[m.to].push_back(*m.id);
    }
  }
  for (const auto& [name, ids] : known) {
    if (DiskPathOf(name).empty()) continue;
    const std::optional<TFileIdentity> found = IdentityOf(name);
    if (!found || std::find(ids.begin(), ids.end(), *found) == ids.end()) return true;
  }
  // A snapshot's copy must be a file of its own, never a link that would become the table's file.
  // (Its identity is recorded but not required: a roll-back cut off between deleting a file and
  // moving its copy in leaves names whose files a later step may have made anew.)
  for (const TMove& m : intent.restore) {
    std::error_code error;
    const std::filesystem::file_type type = std::filesystem::symlink_status(m.from, error).type();
    if (type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::regular) return true;
  }
  return false;
}

// Undoes the steps that were done, the last first.
void RollBack(const TIntent& intent, bool in_memory) {
  for (auto it = intent.place.rbegin(); it != intent.place.rend(); ++it) {
    if (Done(*it, in_memory)) Move({it->to, it->from, std::nullopt, std::nullopt}, in_memory);
  }
  for (auto it = intent.aside.rbegin(); it != intent.aside.rend(); ++it) {
    if (Done(*it, in_memory)) Move({it->to, it->from, std::nullopt, std::nullopt}, in_memory);
  }
}

// After the commit: without backups the old files go. Returns false when one of them could not
// be deleted: it stays under its aside name, and the intent file that names it must stay too, so
// that the recovery deletes it later. The table itself is complete either way.
bool FinishCommitted(const TIntent& intent, bool in_memory) {
  if (intent.keep_backups) return true;
  bool all_gone = true;
  for (const TMove& m : intent.aside) {
    if (!Exists(m.to, in_memory)) continue;
    // Only the old file that the exchange moved aside.
    if (m.id && IdentityOf(m.to) != m.id) continue;
    if (DeleteOld(m.to, in_memory) < 0) all_gone = false;
  }
  return all_gone;
}

// An intent file is only followed where a change of this engine can have worked: the table's
// files lie in the table's directory itself, copies in its scratch folder, and a new table's
// files in that folder or elsewhere (a session's private directory). Anything else (a path with
// "..", a file of another directory) is a file no change of ours wrote, and it is left alone.
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

// In the directory, or in one of its scratch folders, which must be a real directory (not a link
// that leads elsewhere) or gone.
bool InScratchFolder(const std::string& path, const std::string& directory) {
  if (InDirectory(path, directory)) return true;
  if (directory.empty() || path.compare(0, directory.size(), directory) != 0) return false;
  const std::string_view rest = std::string_view(path).substr(directory.size());
  if (!IsLocalName(rest)) return false;
  const std::string folder = directory + std::string(rest.substr(0, rest.find('/')));
  std::error_code error;
  const std::filesystem::file_type type = std::filesystem::symlink_status(folder, error).type();
  return type == std::filesystem::file_type::directory || type == std::filesystem::file_type::not_found;
}

bool IntentFits(const TIntent& intent, const std::string& directory) {
  for (const TMove& m : intent.aside) {
    if (!InDirectory(m.from, directory) || !InDirectory(m.to, directory)) return false;
  }
  for (const TMove& m : intent.place) {
    if (!InDirectory(m.to, directory)) return false;
    if (!InScratchFolder(m.from, directory) && (m.from.empty() || HasDotSegment(m.from))) return false;
  }
  for (const TMove& m : intent.restore) {
    if (!InScratchFolder(m.from, directory) || !InDirectory(m.to, directory)) return false;
  }
  for (const std::string& f : intent.absent) {
    if (!InDirectory(f, directory)) return false;
  }
  for (const std::string& f : intent.discard) {
    if (!InScratchFolder(f, directory)) return false;
  }
  return true;
}

// A snapshot roll-back: every file back from its copy, the files the table did not have gone.
// A file whose copy is gone was rolled back already.
void RestoreSnapshots(const TIntent& intent) {
  for (const TMove& m : intent.restore) {
    if (!OsFileExists(m.from)) continue;
    if (OsFileExists(m.to)) RaiseOs(OsDeleteFile(m.to), m.to);
    RaiseOs(OsMoveFile(m.from, m.to), m.to);
  }
  for (const std::string& f : intent.absent) {
    if (OsFileExists(f)) RaiseOs(OsDeleteFile(f), f);
  }
}

// What a file operation on a thread of its own ended with, and the system's reason for a failure.
struct TOsOutcome {
  TOsError error = kOsOk;
  int reason = 0;
};

// Runs `step(i)` for every i below `n`, each on a thread of its own: copies, flushes and deletions
// of separate files wait on the disk more than on the processor.
std::vector<TOsOutcome> OnThreads(std::size_t n, const std::function<TOsError(std::size_t)>& step) {
  std::vector<TOsOutcome> outcomes(n);
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      outcomes[i].error = step(i);
      if (outcomes[i].error != kOsOk) outcomes[i].reason = LastSystemErrorNumber();
    });
  }
  for (std::thread& t : threads) t.join();
  return outcomes;
}

// Raises the first failure among `outcomes` for the path of its position.
void RaiseFirst(const std::vector<TOsOutcome>& outcomes, const std::vector<std::string>& paths) {
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].error == kOsOk) continue;
    if (outcomes[i].reason != 0) SetLastSystemErrorNumber(outcomes[i].reason);
    RaiseOs(outcomes[i].error, paths[i]);
  }
}

void RemoveEmptyDirectory(const std::string& path) {
  (void)OsRemoveEmptyDirectory(path);
}

}  // namespace

// The intent file of one change, held open exclusively from its writing to its removal.
class TIntentFile {
 public:
  TIntentFile(std::string path, std::string directory)
      : path_(std::move(path)), directory_(std::move(directory)) {}

  // Writes the intent and makes it durable. Raises 10241 when another process holds the file.
  static std::unique_ptr<TIntentFile> Write(const std::string& path, const std::string& directory,
                                            const std::string& table_name, const TIntent& intent) {
    auto held = std::make_unique<TIntentFile>(path, directory);
    const TOsError created = held->file_.Create(path, TOsOpenOptions{});
    if (created == kOsSharingViolation) RaiseEngineError(kTableLocked, table_name);
    RaiseOs(created, path);
    const std::string text = Serialize(intent, directory);
    std::size_t done = 0;
    TOsError error = held->file_.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())), done);
    if (error == kOsOk && done != text.size()) error = kOsDiskFull;
    if (error == kOsOk) error = held->file_.Flush();
    if (error == kOsOk) error = OsSyncDirectory(directory);
    if (error != kOsOk) {
      (void)OsDeleteHeldFile(path, held->file_);  // cleanup after the failure raised below
      RaiseOs(error, path);
    }
    return held;
  }

  // The intent file of another change that nobody runs any more, held; nullptr when there is
  // none. Raises 10241 when another process still holds it.
  static std::unique_ptr<TIntentFile> Claim(const std::string& path, const std::string& directory,
                                            const std::string& table_name) {
    for (int attempt = 0;; ++attempt) {
      if (!OsFileExists(path)) return nullptr;
      auto held = std::make_unique<TIntentFile>(path, directory);
      TOsOpenOptions options;
      options.exclusive = true;
      const TOsError error = held->file_.Open(path, options);
      if (error == kOsFileNotFound || error == kOsPathNotFound) return nullptr;
      if (error == kOsSharingViolation) {
        if (attempt + 1 >= kIntentRetries) RaiseEngineError(kTableLocked, table_name);
        OsSleep(kIntentRetryPause);
        continue;
      }
      RaiseOs(error, path);
      // The name may have been removed between our look and our lock.
      TFileIdentity identity;
      if (OsPathIdentity(path, identity) != kOsOk || !(identity == held->file_.Identity())) continue;
      return held;
    }
  }

  std::string Text() {
    std::int64_t size = 0;
    RaiseOs(file_.Size(size), path_);
    std::string text(static_cast<std::size_t>(size), '\0');
    std::size_t done = 0;
    RaiseOs(file_.ReadAt(0, std::as_writable_bytes(std::span(text.data(), text.size())), done), path_);
    text.resize(done);
    return text;
  }

  // Replaces the intent and makes it durable. A cut-off rewrite reads as an intent without its
  // end line.
  void Rewrite(const TIntent& intent) {
    const std::string text = Serialize(intent, directory_);
    std::size_t done = 0;
    RaiseOs(file_.Truncate(0), path_);
    TOsError error = file_.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())), done);
    if (error == kOsOk && done != text.size()) error = kOsDiskFull;
    if (error == kOsOk) error = file_.Flush();
    RaiseOs(error, path_);
  }

  // Removes the file (the change is over) and releases it; on a failure it stays held.
  void Remove() {
    const TOsError error = OsDeleteHeldFile(path_, file_);
    if (error != kOsOk && error != kOsFileNotFound) RaiseOs(error, path_);
    file_.Close();
    RaiseOs(OsSyncDirectory(directory_), directory_);
  }

 private:
  std::string path_;
  std::string directory_;
  TOsFile file_;
};

std::string ExchangeIntentPath(const std::string& directory, const std::string& table_base) {
  return directory + table_base + ".XCH";
}

std::string UseScratchFolder(const std::string& directory) {
  const std::string usual = directory + kScratchSubdirectory;
  if (!OsPrivateDirectory(usual)) (void)OsCreatePrivateDirectory(usual);
  if (OsPrivateDirectory(usual)) return usual + "/";
  // Not ours, not a directory, or open to others: a folder of our own beside it.
  std::string fresh;
  if (OsCreateFreshPrivateDirectory(usual + "-", fresh) != kOsOk) RaiseEngineError(kInvalidPath, usual + "/");
  return fresh + "/";
}

void TakeOwnerAndMode(const std::string& path, const std::string& model) {
  const std::string found = DiskPathOf(model);
  if (!found.empty()) RaiseOs(OsTakeOwnerAndMode(path, found), path);
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
    intent.aside.push_back({old_file, aside, mem ? std::nullopt : IdentityOf(old_file), std::nullopt});
  }
  // The data file last: the table appears only when its other files are there.
  for (int i : {1, 2, 0}) {
    const std::string new_file = new_base + kExtensions[i];
    if (Exists(new_file, mem))
      intent.place.push_back(
          {new_file, old_base + kExtensions[i], mem ? std::nullopt : IdentityOf(new_file), std::nullopt});
  }
  // The new files take the owner, group and permissions of the files they replace (of the data
  // file where the table had no such file).
  if (!mem) {
    for (const TMove& m : intent.place) {
      TakeOwnerAndMode(m.from, DiskPathOf(m.to).empty() ? old_base + kExtensions[0] : m.to);
    }
  }
  // Backups of an earlier run are replaced; the table itself is not touched yet.
  for (const TMove& m : intent.aside) {
    if (Exists(m.to, mem)) Remove(m.to, mem);
  }
  std::unique_ptr<TIntentFile> held;
  if (!mem)
    held = TIntentFile::Write(ExchangeIntentPath(plan.directory, plan.table_base), plan.directory,
                              plan.table_base + ".DAT", intent);

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
      if (held) held->Remove();
    } catch (...) {
      // The intent file stays: RecoverTableExchange completes the roll-back later.
    }
    throw;
  }
  // Committed: the table is complete. What is left to tidy is tidied again by the recovery
  // when it fails now.
  try {
    if (FinishCommitted(intent, mem) && held) held->Remove();
  } catch (const ETarvoEngineError&) {
  }
}

bool RecoverTableExchange(const std::string& directory, const std::string& table_name) {
  std::string base = table_name;
  const std::size_t slash = base.find_last_of('/');
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
  const std::string path = ExchangeIntentPath(directory, base);
  std::unique_ptr<TIntentFile> held = TIntentFile::Claim(path, directory, base + ".DAT");
  if (!held) return false;
  const TIntent intent = Parse(held->Text(), directory);
  if (intent.complete && !IntentFits(intent, directory)) return false;
  if (intent.complete && Stale(intent)) {
    // The table was changed after the change ended: the intent no longer speaks of it. The
    // files stay as they are (copies and backups too).
    held->Remove();
    return true;
  }
  bool finished = true;
  std::vector<std::string> leftovers;  // scratch files of a rolled-back exchange
  // An intent file without its end line was cut off while it was written: nothing was touched.
  if (intent.complete && !intent.discard.empty()) {
    // A change that committed: only its copies are left to delete.
    for (const std::string& copy : intent.discard) {
      if (OsFileExists(copy)) RaiseOs(OsDeleteFile(copy), copy);
    }
    if (const std::string dir = DirectoryOf(intent.discard.front()); dir != directory)
      RemoveEmptyDirectory(dir);
  } else if (intent.complete && intent.Guard()) {
    RestoreSnapshots(intent);
    for (const TMove& m : intent.restore) {
      if (const std::string dir = DirectoryOf(m.from); !dir.empty() && dir != directory)
        RemoveEmptyDirectory(dir);
    }
  } else if (intent.complete) {
    const bool committed =
        std::all_of(intent.place.begin(), intent.place.end(), [](const TMove& m) { return Done(m, false); });
    if (committed) {
      finished = FinishCommitted(intent, false);
    } else {
      // A placed file whose scratch side lies outside the table's scratch folder is deleted where
      // it is instead of being moved back out of the directory: the new table is of no use now.
      for (const TMove& m : intent.place) {
        if (!InScratchFolder(m.from, directory) && Done(m, false)) (void)OsDeleteFile(m.to);
      }
      RollBack(intent, false);
      for (const TMove& m : intent.place) {
        if (InScratchFolder(m.from, directory) && OsFileExists(m.from)) leftovers.push_back(m.from);
      }
    }
    for (const TMove& m : intent.place) {
      if (const std::string dir = DirectoryOf(m.from); !dir.empty() && dir != directory)
        (void)OsSyncDirectory(dir);
    }
  }
  if (finished) held->Remove();
  // Only once the intent file is gone: while it is there, a new file missing from the scratch
  // folder would read as placed, and a recovery cut off here would move the old file away.
  for (const std::string& file : leftovers) (void)OsDeleteFile(file);  // scratch files: best effort
  return true;
}

int RecoverTableExchanges(const std::string& directory) {
  std::vector<std::string> tables;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= 4) continue;
    std::string extension = name.substr(name.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (extension == ".XCH") tables.push_back(name.substr(0, name.size() - 4));
  }
  int recovered = 0;
  std::exception_ptr first_failure;
  for (const std::string& table : tables) {
    try {
      recovered += RecoverTableExchange(directory, table) ? 1 : 0;
    } catch (const ETarvoEngineError&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return recovered;
}

// --- TSnapshotGuard ---

TSnapshotGuard::TSnapshotGuard() = default;

TSnapshotGuard::~TSnapshotGuard() {
  if (!intent_) return;
  try {
    RestoreSnapshots(Parse(intent_text_, directory_));
    intent_->Remove();
    RemoveEmptyDirectory(scratch_directory_);
  } catch (...) {
    // Our descriptor goes with the guard, and with it our hold of the intent file: the next open
    // of the table finishes the roll-back.
  }
}

void TSnapshotGuard::Take(const std::string& directory, const std::string& table_base,
                          const std::vector<std::string>& files) {
  directory_ = directory;
  scratch_directory_ = UseScratchFolder(directory);
  TIntent intent;
  try {
    for (const std::string& file : files) {
      if (!OsFileExists(file)) {
        intent.absent.push_back(file);
        continue;
      }
      const std::string name = file.substr(file.find_last_of('/') + 1);
      const std::string copy = scratch_directory_ + name + ".snapshot";
      copies_.push_back(copy);
      intent.restore.push_back({copy, file, std::nullopt, IdentityOf(file)});
    }
    // The files are copied side by side; the intent names the copies once all are on the disk.
    RaiseFirst(OnThreads(copies_.size(),
                         [&](std::size_t i) { return OsCopyHeldFile(intent.restore[i].to, intent.restore[i].from); }),
               copies_);
    RaiseOs(OsSyncDirectory(scratch_directory_), scratch_directory_);
    for (TMove& m : intent.restore) m.id = IdentityOf(m.from);
    intent.complete = true;
    intent_text_ = Serialize(intent, directory);
    intent_ =
        TIntentFile::Write(ExchangeIntentPath(directory, table_base), directory, table_base + ".DAT", intent);
  } catch (...) {
    for (const std::string& copy : copies_) (void)OsDeleteFile(copy);  // cleanup after a failure
    copies_.clear();
    RemoveEmptyDirectory(scratch_directory_);
    throw;
  }
}

void TSnapshotGuard::Commit() {
  if (!intent_) return;
  // The commit: the intent says from now on that the copies are only to be deleted. When that
  // fails the destructor rolls the change back.
  TIntent committed;
  committed.discard = copies_;
  committed.complete = true;
  if (!committed.discard.empty()) intent_->Rewrite(committed);
  // Tidying: what cannot be deleted now is deleted by the next open of the table.
  std::unique_ptr<TIntentFile> held = std::move(intent_);
  bool all_gone = true;
  for (const TOsOutcome& gone : OnThreads(copies_.size(), [&](std::size_t i) { return OsDeleteFile(copies_[i]); }))
    all_gone = gone.error == kOsOk && all_gone;
  copies_.clear();
  RemoveEmptyDirectory(scratch_directory_);
  if (!all_gone) return;
  try {
    held->Remove();
  } catch (const ETarvoEngineError&) {
  }
}

}  // namespace tarvo
