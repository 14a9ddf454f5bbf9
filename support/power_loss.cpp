#include "support/power_loss.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "support/fault_injector.h"

namespace tarvo {

namespace {

constexpr std::int64_t kPageSize = 4096;

using TBytes = std::vector<std::byte>;

// One file or directory as the recorder knows it. A file's contents are read when it is first
// touched (until then they are what they were at the start).
struct TNode {
  bool is_directory = false;
  bool contents_known = false;
  TBytes durable;  // as of the last sync
  TBytes current;  // as written since
  std::set<std::int64_t> dirty_pages;
};

enum class TEntryChange { kAdd, kRemove, kRename };

struct TChange {
  TEntryChange kind = TEntryChange::kAdd;
  std::string directory;
  std::string name;
  std::string to_directory;  // of a rename
  std::string to_name;
  std::int64_t node = 0;
  bool durable = false;
};

using TEntries = std::map<std::string, std::int64_t>;  // name -> node

struct TRecorder {
  std::mutex lock;
  TPowerLossMode mode = TPowerLossMode::kWhole;
  std::uint32_t seed = 0;
  std::string journal_path;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::int64_t> node_of;  // (device, inode)
  std::vector<TNode> nodes;
  std::map<std::string, TEntries> start_entries;  // directories seen, as at the start
  std::vector<TChange> changes;
};

// The node that the last BeforeEntryChange of this thread found (-1: none); a removal follows.
thread_local std::int64_t last_seen_node = -1;

TRecorder& Recorder() {
  static TRecorder recorder;
  return recorder;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return {};
  return buffer;
}

// The directory (resolved) and the name of an entry.
std::pair<std::string, std::string> Split(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) return {RealPath("."), trimmed};
  return {RealPath(slash == 0 ? "/" : trimmed.substr(0, slash)), trimmed.substr(slash + 1)};
}

bool ReadAll(int fd, TBytes& out) {
  out.clear();
  std::byte buffer[65536];
  for (std::int64_t offset = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.insert(out.end(), buffer, buffer + n);
    offset += n;
  }
}

// Reads a file by name (also a descriptor's "/proc/self/fd/N", which reads whatever its mode).
bool ReadPath(const std::string& path, TBytes& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ReadAll(fd, out);
  ::close(fd);
  return ok;
}

std::string DescriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// The caller holds the recorder's lock in all of these.

std::int64_t NewNode(TRecorder& r, std::uint64_t device, std::uint64_t inode, bool is_directory) {
  r.nodes.push_back({});
  r.nodes.back().is_directory = is_directory;
  const auto id = static_cast<std::int64_t>(r.nodes.size() - 1);
  r.node_of[{device, inode}] = id;
  return id;
}

std::int64_t NodeOf(TRecorder& r, const struct stat& st) {
  const auto it = r.node_of.find({st.st_dev, st.st_ino});
  if (it != r.node_of.end()) return it->second;
  return NewNode(r, st.st_dev, st.st_ino, S_ISDIR(st.st_mode));
}

// Lists a directory the first time it is seen: that is how it was at the start.
void SeeDirectory(TRecorder& r, const std::string& directory) {
  if (directory.empty() || r.start_entries.count(directory) != 0) return;
  TEntries& entries = r.start_entries[directory];
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entries[name] = NodeOf(r, st);
  }
  ::closedir(dir);
}

void KnowContents(TNode& node, const std::string& readable_path) {
  if (node.contents_known || node.is_directory) return;
  TBytes bytes;
  (void)ReadPath(readable_path, bytes);
  node.durable = bytes;
  node.current = std::move(bytes);
  node.contents_known = true;
}

// The node of an open file, its contents known, its directory seen.
TNode* NodeOfDescriptor(TRecorder& r, int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  char target[PATH_MAX];
  const ssize_t n = ::readlink(DescriptorPath(fd).c_str(), target, sizeof target - 1);
  if (n > 0) {
    const std::string path(target, static_cast<std::size_t>(n));
    if (!path.ends_with(" (deleted)")) SeeDirectory(r, Split(path).first);
  }
  TNode& node = r.nodes[static_cast<std::size_t>(NodeOf(r, st))];
  KnowContents(node, DescriptorPath(fd));
  return &node;
}

void MarkDirty(TNode& node, std::int64_t offset, std::int64_t length) {
  if (length <= 0) return;
  for (std::int64_t page = offset / kPageSize; page <= (offset + length - 1) / kPageSize; ++page)
    node.dirty_pages.insert(page);
}

bool Touches(const TChange& c, const std::string& directory, const std::string& name) {
  return (c.directory == directory && c.name == name) ||
         (c.kind == TEntryChange::kRename && c.to_directory == directory && c.to_name == name);
}

// Makes change `i` durable, with every earlier change of the names it touches.
void MakeDurable(TRecorder& r, std::size_t i) {
  std::vector<std::size_t> pending{i};
  while (!pending.empty()) {
    const std::size_t k = pending.back();
    pending.pop_back();
    if (r.changes[k].durable) continue;
    r.changes[k].durable = true;
    const TChange c = r.changes[k];
    for (std::size_t j = 0; j < k; ++j) {
      if (r.changes[j].durable) continue;
      const TChange& e = r.changes[j];
      const bool related =
          Touches(e, c.directory, c.name) ||
          (c.kind == TEntryChange::kRename && Touches(e, c.to_directory, c.to_name)) || e.node == c.node;
      if (related) pending.push_back(j);
    }
  }
}

TBytes FinalContents(const TNode& node, TPowerLossMode mode, std::mt19937& random) {
  if (mode == TPowerLossMode::kWhole) return node.durable;
  TBytes bytes = node.durable;
  const std::size_t length = (random() & 1) != 0 ? node.current.size() : node.durable.size();
  bytes.resize(length);
  for (const std::int64_t page : node.dirty_pages) {
    if ((random() & 1) == 0) continue;
    const auto begin = static_cast<std::size_t>(page * kPageSize);
    if (begin >= length) continue;
    const std::size_t end = std::min(begin + static_cast<std::size_t>(kPageSize), length);
    for (std::size_t b = begin; b < end; ++b) bytes[b] = b < node.current.size() ? node.current[b] : std::byte{0};
  }
  return bytes;
}

void Put(std::string& out, char kind, const std::string& text) {
  out += kind;
  const std::uint64_t size = text.size();
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out += text;
}

// What the disk holds after the cut, as a journal (see ApplyPowerLossJournal).
std::string Journal(TRecorder& r) {
  std::mt19937 random(r.seed);
  std::size_t survive = 0;  // torn: the changes before this one happened to reach the disk
  if (r.mode == TPowerLossMode::kTorn)
    survive = std::uniform_int_distribution<std::size_t>(0, r.changes.size())(random);
  std::map<std::string, TEntries> entries = r.start_entries;
  for (std::size_t i = 0; i < r.changes.size(); ++i) {
    const TChange& c = r.changes[i];
    if (!c.durable && i >= survive) continue;
    TEntries& in = entries[c.directory];
    switch (c.kind) {
      case TEntryChange::kAdd:
        in.emplace(c.name, c.node);
        break;
      case TEntryChange::kRemove:
        if (auto it = in.find(c.name); it != in.end() && it->second == c.node) in.erase(it);
        break;
      case TEntryChange::kRename: {
        TEntries& to = entries[c.to_directory];
        const auto it = in.find(c.name);
        if (it == in.end() || it->second != c.node || to.count(c.to_name) != 0) break;
        in.erase(it);
        to[c.to_name] = c.node;
        break;
      }
    }
  }
  std::map<std::int64_t, std::pair<std::uint64_t, std::uint64_t>> identity;  // node -> (device, inode)
  for (const auto& [device_inode, id] : r.node_of) identity[id] = device_inode;
  std::map<std::int64_t, TBytes> contents;
  std::string out;
  for (const auto& [directory, names] : entries) {
    const auto [parent, own_name] = Split(directory);
    const auto parent_it = entries.find(parent);
    if (parent_it != entries.end() && parent_it->second.count(own_name) == 0) {
      Put(out, 'R', directory);
      continue;
    }
    Put(out, 'D', directory);
    for (const auto& [name, id] : names) {
      const TNode& node = r.nodes[static_cast<std::size_t>(id)];
      if (node.is_directory) {
        Put(out, 'S', name);
      } else if (!node.contents_known) {
        Put(out, 'K', name);
      } else {
        if (contents.count(id) == 0) contents[id] = FinalContents(node, r.mode, random);
        Put(out, 'F', name);
        const TBytes& bytes = contents[id];
        Put(out, 'C', std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (const auto it = identity.find(id); it != identity.end())
          Put(out, 'I', std::to_string(it->second.first) + ":" + std::to_string(it->second.second));
      }
    }
    Put(out, 'E', {});
  }
  return out;
}

}  // namespace

std::atomic<bool> TPowerLoss::recording_{false};

void TPowerLoss::Arm(std::uint32_t ops, std::int64_t nth, TPowerLossMode mode, std::uint32_t seed,
                     const std::string& journal_path) {
  TRecorder& r = Recorder();
  {
    std::lock_guard lock(r.lock);
    r.mode = mode;
    r.seed = seed;
    r.journal_path = journal_path;
    r.node_of.clear();
    r.nodes.clear();
    r.start_entries.clear();
    r.changes.clear();
    recording_.store(true, std::memory_order_relaxed);
  }
  TFaultInjector::ArmCrash(ops, nth, &TPowerLoss::Cut);
}

void TPowerLoss::Disarm() {
  TFaultInjector::Disarm();
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  recording_.store(false, std::memory_order_relaxed);
}

void TPowerLoss::BeforeChange(int fd) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  (void)NodeOfDescriptor(r, fd);
}

void TPowerLoss::Wrote(int fd, std::int64_t offset, std::span<const std::byte> bytes) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  TNode* node = NodeOfDescriptor(r, fd);
  if (node == nullptr || bytes.empty()) return;
  const auto end = static_cast<std::size_t>(offset) + bytes.size();
  if (node->current.size() < end) node->current.resize(end);
  std::copy(bytes.begin(), bytes.end(), node->current.begin() + offset);
  MarkDirty(*node, offset, static_cast<std::int64_t>(bytes.size()));
  // A descriptor that writes through has each write on the disk when it returns.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_DSYNC) != 0) {
    node->durable = node->current;
    node->dirty_pages.clear();
  }
}

void TPowerLoss::Truncated(int fd, std::int64_t size) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  TNode* node = NodeOfDescriptor(r, fd);
  if (node == nullptr) return;
  node->current.resize(static_cast<std::size_t>(size));
}

void TPowerLoss::Synced(int fd) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  TNode* node = NodeOfDescriptor(r, fd);
  if (node == nullptr) return;
  node->durable = node->current;
  node->dirty_pages.clear();
}

void TPowerLoss::BeforeEntryChange(const std::string& path) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  last_seen_node = -1;
  SeeDirectory(r, Split(path).first);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  last_seen_node = NodeOf(r, st);
  TNode& node = r.nodes[static_cast<std::size_t>(last_seen_node)];
  if (S_ISREG(st.st_mode)) KnowContents(node, path);
}

void TPowerLoss::Created(const std::string& path) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  const auto [directory, name] = Split(path);
  SeeDirectory(r, directory);
  // Whatever node had this identity before is gone: this one is new, and empty.
  const std::int64_t id = NewNode(r, st.st_dev, st.st_ino, S_ISDIR(st.st_mode));
  r.nodes[static_cast<std::size_t>(id)].contents_known = true;
  if (S_ISDIR(st.st_mode)) r.start_entries[RealPath(path)];  // seen, empty at the start
  r.changes.push_back({TEntryChange::kAdd, directory, name, {}, {}, id, false});
}

void TPowerLoss::Removed(const std::string& path) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  if (last_seen_node < 0) return;
  const auto [directory, name] = Split(path);
  r.changes.push_back({TEntryChange::kRemove, directory, name, {}, {}, last_seen_node, false});
  last_seen_node = -1;
}

void TPowerLoss::Renamed(const std::string& from, const std::string& to) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  const auto [directory, name] = Split(from);
  const auto [to_directory, to_name] = Split(to);
  SeeDirectory(r, directory);
  SeeDirectory(r, to_directory);
  struct stat st {};
  if (::lstat(to.c_str(), &st) != 0) return;
  const std::int64_t id = NodeOf(r, st);
  r.changes.push_back({TEntryChange::kRename, directory, name, to_directory, to_name, id, false});
}

void TPowerLoss::DirectorySynced(const std::string& directory) {
  TRecorder& r = Recorder();
  std::lock_guard lock(r.lock);
  const std::string resolved = RealPath(directory);
  SeeDirectory(r, resolved);
  for (std::size_t i = 0; i < r.changes.size(); ++i) {
    const TChange& c = r.changes[i];
    if (c.directory == resolved || (c.kind == TEntryChange::kRename && c.to_directory == resolved))
      MakeDurable(r, i);
  }
}

void TPowerLoss::Cut() {
  TRecorder& r = Recorder();
  r.lock.lock();  // never released: the process ends here
  const std::string journal = Journal(r);
  const int fd = ::open(r.journal_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  for (std::size_t done = 0; fd >= 0 && done < journal.size();) {
    const ssize_t n = ::write(fd, journal.data() + done, journal.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  ::_exit(kFaultCrashExitStatus);
}

bool ApplyPowerLossJournal(const std::string& journal_path) {
  namespace fs = std::filesystem;
  TBytes raw;
  if (!ReadPath(journal_path, raw)) return false;
  const std::string text(reinterpret_cast<const char*>(raw.data()), raw.size());
  struct TRecord {
    char kind;
    std::string text;
  };
  std::vector<TRecord> records;
  for (std::size_t at = 0; at < text.size();) {
    std::uint64_t size = 0;
    if (at + 1 + sizeof size > text.size()) return false;
    std::memcpy(&size, text.data() + at + 1, sizeof size);
    if (at + 1 + sizeof size + size > text.size()) return false;
    records.push_back({text[at], text.substr(at + 1 + sizeof size, size)});
    at += 1 + sizeof size + size;
  }
  struct TFileState {
    std::string bytes;
    std::string identity;  // "device:inode" of the file the cut left there, "" when unknown
  };
  struct TDirectoryState {
    std::set<std::string> subdirectories;
    std::set<std::string> kept;
    std::map<std::string, TFileState> files;
  };
  std::map<std::string, TDirectoryState> present;
  std::vector<std::string> removed;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].kind == 'R') {
      removed.push_back(records[i].text);
      continue;
    }
    if (records[i].kind != 'D') return false;
    TDirectoryState& state = present[records[i].text];
    for (++i; i < records.size() && records[i].kind != 'E'; ++i) {
      const std::string& name = records[i].text;
      if (records[i].kind == 'S') {
        state.subdirectories.insert(name);
      } else if (records[i].kind == 'K') {
        state.kept.insert(name);
      } else if (records[i].kind == 'F' && i + 1 < records.size() && records[i + 1].kind == 'C') {
        TFileState& file = state.files[name];
        file.bytes = records[++i].text;
        if (i + 1 < records.size() && records[i + 1].kind == 'I') file.identity = records[++i].text;
      } else {
        return false;
      }
    }
  }
  std::error_code error;
  // A cut keeps the files themselves: a rename that did not survive puts the same file back under
  // its old name. Every file that still exists under another name is moved to a name of its own
  // in its final directory first, so that its identity survives as on a real disk.
  std::map<std::string, std::string> where;  // "device:inode" -> the path of that file now
  for (const auto& [directory, state] : present) {
    for (const auto& entry : fs::directory_iterator(directory, error)) {
      struct stat st {};
      if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
        where.emplace(std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino), entry.path().string());
    }
  }
  const std::string kParked = ".power-loss-parked-";
  std::map<std::string, std::string> parked;  // final path -> parked path
  for (const auto& [directory, state] : present) {
    fs::create_directories(directory, error);
    for (const auto& [name, file] : state.files) {
      const auto it = where.find(file.identity);
      if (file.identity.empty() || it == where.end()) continue;
      const std::string target = directory + "/" + name;
      const std::string park = directory + "/" + kParked + std::to_string(parked.size());
      if (::rename(it->second.c_str(), park.c_str()) != 0) return false;
      parked[target] = park;
      where.erase(it);
    }
  }
  // Parents before their subdirectories (a map orders a path before the paths below it).
  for (const auto& [directory, state] : present) {
    for (const auto& entry : fs::directory_iterator(directory, error)) {
      const std::string name = entry.path().filename().string();
      if (state.subdirectories.count(name) == 0 && state.kept.count(name) == 0 && state.files.count(name) == 0 &&
          !name.starts_with(kParked))
        fs::remove_all(entry.path(), error);
    }
    for (const std::string& name : state.subdirectories) fs::create_directory(fs::path(directory) / name, error);
    for (const auto& [name, file] : state.files) {
      const std::string path = directory + "/" + name;
      if (const auto it = parked.find(path); it != parked.end() && ::rename(it->second.c_str(), path.c_str()) != 0)
        return false;
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) return false;
      for (std::size_t done = 0; done < file.bytes.size();) {
        const ssize_t n = ::write(fd, file.bytes.data() + done, file.bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          ::close(fd);
          return false;
        }
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    }
  }
  for (const std::string& directory : removed) fs::remove_all(directory, error);
  return true;
}

}  // namespace tarvo
