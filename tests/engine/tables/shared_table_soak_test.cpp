// Four processes on one shared table with a memo and a binary blob: each adds, changes and deletes
// records through the lock protocol as fast as it can and logs every operation the engine
// accepted. Afterwards the table must be sound (verification, index trees, blob chains) and hold
// exactly what replaying the four logs gives.
//
// Every record carries its key, a version and the process that wrote it last; its values follow
// from (key, version). A change locks the record, reads it, writes version + 1 and logs it; a
// delete locks, reads and logs the version it removed. Keys are never used twice, so per key the
// logged versions must run 1, 2, 3, ... without a gap or a repeat (a repeat is a lost update, a
// gap a change the engine made but refused), and the table holds the highest version of every key
// that was not deleted. Now and then a process walks a secondary index without locks. Processes
// 1 and 3 notice the others' changes with strict change detection, 0 and 2 without.
//
// TARVO_SOAK_OPS sets the operations per process (300 by default), TARVO_SOAK_SEED the seed of
// process 0 (process p takes seed + p).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"
#include "tests/engine/records/record_tables.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/child_process.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using namespace testing;

constexpr int kProcesses = 4;
constexpr char kTable[] = "Soak";
constexpr std::uint16_t kKey = 1;
constexpr std::uint16_t kVersion = 2;
constexpr std::uint16_t kWriter = 3;
constexpr std::uint16_t kText = 4;
constexpr std::uint16_t kMemoLength = 5;
constexpr std::uint16_t kDataLength = 6;
constexpr std::uint16_t kMemo = 7;
constexpr std::uint16_t kData = 8;
// A process that makes no progress for this long is taken as stuck.
constexpr auto kStuckAfter = std::chrono::seconds(30);

TTableDefinition SoakDefinition() {
  TTableDefinition definition;
  definition.fields = {Field("Key", kTypeInt32),
                       Field("Version", kTypeInt32),
                       Field("Writer", kTypeInt32),
                       Field("Text", kTypeText, 20),
                       Field("MemoLength", kTypeInt32),
                       Field("DataLength", kTypeInt32),
                       Field("Memo", kTypeBlob, 0, kSubTypeMemo),
                       Field("Data", kTypeBlob, 0, kSubTypeBinary)};
  for (std::size_t i = 0; i < definition.fields.size(); ++i) {
    definition.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  }
  definition.indexes = {IndexOn("", {kKey}, true), IndexOn("ByText", {kText}, false)};
  definition.blob_block_size = 512;
  return definition;
}

int EnvInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// The values of a record version: the memo is text, the data any bytes.
std::vector<std::byte> MemoValue(std::int32_t key, std::int32_t version, std::int32_t length) {
  std::mt19937 random(static_cast<unsigned>(key) * 2654435761u + static_cast<unsigned>(version));
  std::vector<std::byte> value(static_cast<std::size_t>(length));
  for (auto& b : value) b = static_cast<std::byte>("abcdefghijklmnopqrstuvwxyz ,.\n"[random() % 30]);
  return value;
}

std::vector<std::byte> DataValue(std::int32_t key, std::int32_t version, std::int32_t length) {
  std::mt19937 random(static_cast<unsigned>(key) * 40503u + static_cast<unsigned>(version) * 977u + 1u);
  std::vector<std::byte> value(static_cast<std::size_t>(length));
  for (auto& b : value) b = static_cast<std::byte>(random() & 0xFF);
  return value;
}

// One record version as logged and as the table holds it.
struct TVersion {
  char op = 'A';  // A add, C change, D delete
  std::int32_t key = 0;
  std::int32_t version = 0;
  std::int32_t writer = 0;
  std::string text;
  std::int32_t memo_length = 0;
  std::int32_t data_length = 0;

  std::string Line() const {
    std::ostringstream line;
    line << op << ' ' << key << ' ' << version << ' ' << writer;
    if (op != 'D') line << ' ' << text << ' ' << memo_length << ' ' << data_length;
    return line.str();
  }
  static TVersion Parse(const std::string& line) {
    std::istringstream in(line);
    TVersion v;
    in >> v.op >> v.key >> v.version >> v.writer;
    if (v.op != 'D') in >> v.text >> v.memo_length >> v.data_length;
    return v;
  }
  bool SameValues(const TVersion& other) const {
    return key == other.key && version == other.version && writer == other.writer && text == other.text &&
           memo_length == other.memo_length && data_length == other.data_length;
  }
};

std::int32_t IntField(const TDataCursor& cursor, std::span<const std::byte> record, std::uint16_t field) {
  return GetInt32(ConstFieldSlot(record, cursor.Descriptors()[field - 1u])).value_or(-1);
}

TVersion VersionOf(const TDataCursor& cursor, std::span<const std::byte> record) {
  TVersion v;
  v.key = IntField(cursor, record, kKey);
  v.version = IntField(cursor, record, kVersion);
  v.writer = IntField(cursor, record, kWriter);
  v.text = GetText(ConstFieldSlot(record, cursor.Descriptors()[kText - 1u])).value_or("");
  v.memo_length = IntField(cursor, record, kMemoLength);
  v.data_length = IntField(cursor, record, kDataLength);
  return v;
}

// Writes the fields and values of `v` into `record` (the values are stored when it is posted).
void PutVersion(TDataCursor& cursor, std::span<std::byte> record, const TVersion& v) {
  const auto& d = cursor.Descriptors();
  PutInt32(FieldSlot(record, d[kKey - 1u]), v.key);
  PutInt32(FieldSlot(record, d[kVersion - 1u]), v.version);
  PutInt32(FieldSlot(record, d[kWriter - 1u]), v.writer);
  PutText(FieldSlot(record, d[kText - 1u]), v.text, 0, 0, 0);
  PutInt32(FieldSlot(record, d[kMemoLength - 1u]), v.memo_length);
  PutInt32(FieldSlot(record, d[kDataLength - 1u]), v.data_length);
  cursor.SetBlobField(record, kMemo, MemoValue(v.key, v.version, v.memo_length));
  cursor.SetBlobField(record, kData, DataValue(v.key, v.version, v.data_length));
}

// The values of the current record against its fields; "" when they agree.
std::string ValueMismatch(TDataCursor& cursor, const TVersion& v) {
  if (cursor.ReadBlobField(kMemo) != MemoValue(v.key, v.version, v.memo_length)) {
    return "memo of " + v.Line() + " differs";
  }
  if (cursor.ReadBlobField(kData) != DataValue(v.key, v.version, v.data_length)) {
    return "data of " + v.Line() + " differs";
  }
  return "";
}

bool IsLockCode(TEngineCode code) {
  return code == kRecordInUse || code == kLockFailure || code == kTableLocked;
}

// One process of the soak. args: directory, process number, seed, operations, log file.
class TSoakProcess {
 public:
  explicit TSoakProcess(const std::vector<std::string>& args)
      : db_(args.at(0)),
        process_(std::stoi(args.at(1))),
        seed_(static_cast<unsigned>(std::stoul(args.at(2)))),
        operations_(std::stoi(args.at(3))),
        random_(seed_),
        log_(std::fopen(args.at(4).c_str(), "w")),
        cursor_(db_.session, *db_.directory) {
    // Short record lock waits: a refused lock is retried by the loop here, which also picks
    // another record now and then.
    db_.session.LockRetryCount = 3;
    db_.session.LockWaitTime = 2;
    // Two programs with two ways of noticing the others' changes.
    db_.session.StrictChangeDetection = process_ % 2 == 1;
    TCursorOpenOptions options;
    options.table_name = kTable;
    cursor_.Open(options);
    cursor_.SelectIndex("");
  }
  ~TSoakProcess() {
    if (log_ != nullptr) std::fclose(log_);
  }

  int Run() {
    if (log_ == nullptr) return Fail("cannot write the log");
    std::thread watchdog([this] { Watch(); });
    TellParent("ready");
    (void)HearFromParent();
    int status = 0;
    try {
      for (op_ = 0; op_ < operations_ && status == 0; ++op_) status = RunOperation();
    } catch (const ETarvoEngineError& e) {
      status = Fail("engine error " + std::to_string(EngineCode(e)) + ": " + e.what());
    } catch (const std::exception& e) {
      status = Fail(e.what());
    }
    finished_ = true;
    watchdog.join();
    if (status != 0) return status;
    std::ostringstream summary;
    summary << "done " << counts_['A'] << ' ' << counts_['C'] << ' ' << counts_['D'] << ' ' << counts_['V']
            << ' ' << counts_['W'] << ' ' << gone_;
    for (const auto& [code, count] : refusals_) summary << ' ' << code << ':' << count;
    TellParent(summary.str());
    return 0;
  }

 private:
  using TClock = std::chrono::steady_clock;

  int Fail(const std::string& what) {
    std::fprintf(stderr, "soak process %d (seed %u), operation %d: %s\n", process_, seed_, op_.load(),
                 what.c_str());
    return 2;
  }

  // Ends the process when no engine call came back for kStuckAfter.
  void Watch() {
    while (!finished_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (TClock::now() - TClock::time_point(TClock::duration(last_progress_.load())) > kStuckAfter) {
        std::fprintf(stderr, "soak process %d (seed %u) stuck in operation %d\n", process_, seed_,
                     op_.load());
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }
  void Progress() { last_progress_ = TClock::now().time_since_epoch().count(); }

  TVersion NewValues(std::int32_t key, std::int32_t version) {
    TVersion v;
    v.key = key;
    v.version = version;
    v.writer = process_;
    for (int i = 0; i < 8; ++i) v.text += static_cast<char>('a' + random_() % 26);
    // NULL, within one block, or many blocks.
    const auto length = [this](int empty, int small, int large) {
      const unsigned pick = random_() % 100;
      if (pick < static_cast<unsigned>(empty)) return 0;
      if (pick < static_cast<unsigned>(empty + small)) return static_cast<int>(1 + random_() % 400);
      return static_cast<int>(1 + random_() % static_cast<unsigned>(large));
    };
    v.memo_length = length(25, 50, 3000);
    v.data_length = length(30, 40, 6000);
    return v;
  }

  void Log(const TVersion& v) {
    std::fputs((v.Line() + "\n").c_str(), log_);
    std::fflush(log_);
    ++counts_[v.op];
  }

  // One operation, retried after refusals until it is done.
  int RunOperation() {
    const unsigned pick = random_() % 100;
    const char op = pick < 35 ? 'A' : pick < 77 ? 'C' : pick < 95 ? 'D' : 'W';
    const TClock::time_point start = TClock::now();
    for (;;) {
      Progress();
      std::string problem;
      try {
        if (op == 'A' ? Add() : op == 'W' ? Walk(problem) : Edit(op == 'D', problem)) return 0;
        if (!problem.empty()) return Fail(problem);
      } catch (const ETarvoEngineError& e) {
        cursor_.CloseBlobValues(buffer_);
        if (!IsLockCode(EngineCode(e))) {
          return Fail(std::string("op ") + op + " (" + stage_ + "): engine error " +
                      std::to_string(EngineCode(e)) + ": " + e.what());
        }
        ++refusals_[EngineCode(e)];
        // A lock this process still holds after a refusal is given back before the next try.
        if (locked_slot_ != 0 && cursor_.HoldsRecordLock(locked_slot_)) {
          cursor_.UnlockCurrentRecord(locked_slot_);
        }
        locked_slot_ = 0;
        std::this_thread::sleep_for(std::chrono::microseconds(random_() % 3000));
      }
      if (TClock::now() - start > kStuckAfter) return Fail(std::string("op ") + op + " refused for 30 s");
    }
  }

  // Walks a few records in the order of ByText from a random place without locks: the order holds,
  // and every record read carries its own values. A record that goes away under the walk ends it.
  bool Walk(std::string& problem) {
    stage_ = "walk";
    cursor_.SelectIndex("ByText");
    buffer_ = cursor_.NewRecordBuffer();
    const std::string from{static_cast<char>('a' + random_() % 26), static_cast<char>('a' + random_() % 26)};
    PutText(FieldSlot(buffer_, cursor_.Descriptors()[kText - 1u]), from, 0, 0, 0);
    std::string last;
    try {
      int steps = 0;
      for (bool on = cursor_.FindKey(buffer_) || cursor_.OnRecord(); on && steps < 20; on = cursor_.Next()) {
        ++steps;
        // The value first: reading it reads the record again when another process changed the table.
        const std::vector<std::byte> memo = cursor_.ReadBlobField(kMemo);
        const TVersion v = VersionOf(cursor_, cursor_.CurrentRecord());
        if (v.text < last) problem = "the walk went back from " + last + " to " + v.Line();
        if (memo != MemoValue(v.key, v.version, v.memo_length))
          problem = "the walk read a wrong memo of " + v.Line();
        if (!problem.empty()) break;
        last = v.text;
      }
    } catch (const ETarvoEngineError& e) {
      if (EngineCode(e) != kRecordChanged) {
        cursor_.SelectIndex("");
        throw;
      }
      ++gone_;
    }
    cursor_.SelectIndex("");
    if (!problem.empty()) return false;
    ++counts_['W'];
    return true;
  }

  bool Add() {
    stage_ = "add";
    const TVersion v = NewValues(process_ + kProcesses * next_key_, 1);
    buffer_ = cursor_.NewRecordBuffer();
    PutVersion(cursor_, buffer_, v);
    (void)cursor_.AddRecord(buffer_, false);
    Log(v);
    ++next_key_;
    return true;
  }

  // Changes or deletes a record near a random key, under its record lock. false when there was
  // none to lock (the table is empty, or the record went away meanwhile).
  bool Edit(bool remove, std::string& problem) {
    stage_ = "find";
    buffer_ = cursor_.NewRecordBuffer();
    const auto target =
        static_cast<std::int32_t>(random_() % static_cast<unsigned>(kProcesses * (next_key_ + 1)));
    PutInt32(FieldSlot(buffer_, cursor_.Descriptors()[kKey - 1u]), target);
    if (!cursor_.FindKey(buffer_) && !cursor_.OnRecord() && !cursor_.First()) {
      if (remove) {
        ++counts_['V'];  // nothing to delete
        return true;
      }
      return Add();
    }
    const std::int32_t key = IntField(cursor_, cursor_.CurrentRecord(), kKey);
    const std::int32_t slot = cursor_.CurrentSlot();
    stage_ = "lock";
    cursor_.LockCurrentRecord();
    locked_slot_ = slot;
    if (!cursor_.OnRecord() || cursor_.CurrentSlot() != slot ||
        IntField(cursor_, cursor_.CurrentRecord(), kKey) != key) {
      // Deleted by another process before the lock: another record next time.
      cursor_.UnlockCurrentRecord(slot);
      locked_slot_ = 0;
      ++gone_;
      return false;
    }
    const TVersion now = VersionOf(cursor_, cursor_.CurrentRecord());
    stage_ = "read " + now.Line() + " in slot " + std::to_string(slot);
    problem = ValueMismatch(cursor_, now);
    if (!problem.empty()) return false;
    if (remove) {
      stage_ = "delete " + now.Line() + " in slot " + std::to_string(slot);
      cursor_.DeleteRecord(cursor_.CurrentRecord(), false);
      TVersion gone = now;
      gone.op = 'D';
      gone.writer = process_;
      Log(gone);
    } else {
      buffer_ = cursor_.CurrentRecord();
      TVersion next = NewValues(key, now.version + 1);
      next.op = 'C';
      stage_ = "set values of " + now.Line() + " in slot " + std::to_string(slot);
      PutVersion(cursor_, buffer_, next);
      stage_ = "change " + now.Line() + " in slot " + std::to_string(slot);
      cursor_.ChangeRecord(buffer_, false, true);
      Log(next);
    }
    if (cursor_.HoldsRecordLock(slot)) {
      problem = "the record lock of slot " + std::to_string(slot) + " stayed after the operation";
      return false;
    }
    locked_slot_ = 0;
    return true;
  }

  TTestDatabase db_;
  int process_;
  unsigned seed_;
  int operations_;
  std::mt19937 random_;
  std::FILE* log_;
  TDataCursor cursor_;
  std::vector<std::byte> buffer_;
  std::int32_t next_key_ = 0;
  std::int32_t locked_slot_ = 0;
  std::atomic<int> op_ = 0;  // read by the watchdog too
  std::string stage_;        // what the current operation does, for failure messages
  int gone_ = 0;
  std::map<char, int> counts_;
  std::map<TEngineCode, int> refusals_;
  std::atomic<bool> finished_ = false;
  std::atomic<TClock::rep> last_progress_ = TClock::now().time_since_epoch().count();
};

TARVO_CHILD(SoakProcess) {
  TSoakProcess process(args);
  return process.Run();
}

// What the four logs say the table holds, by key; problems of the logs themselves (a version
// written twice, a gap, a change after the delete) go to `problems`.
std::map<std::int32_t, TVersion> Replay(const std::vector<std::filesystem::path>& logs,
                                        std::vector<std::string>& problems) {
  std::map<std::int32_t, std::map<std::int32_t, TVersion>> versions;  // key → version → entry
  std::map<std::int32_t, TVersion> deletes;
  for (const auto& path : logs) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      const TVersion v = TVersion::Parse(line);
      if (v.op == 'D') {
        if (!deletes.emplace(v.key, v).second) problems.push_back("deleted twice: " + line);
        continue;
      }
      if (!versions[v.key].emplace(v.version, v).second) {
        problems.push_back("lost update: version written twice: " + line + " and " +
                           versions[v.key][v.version].Line());
      }
    }
  }
  std::map<std::int32_t, TVersion> expected;
  for (const auto& [key, by_version] : versions) {
    std::int32_t previous = 0;
    for (const auto& [version, v] : by_version) {
      if (version != previous + 1) problems.push_back("gap before " + v.Line());
      if ((version == 1) != (v.op == 'A')) problems.push_back("out of place: " + v.Line());
      previous = version;
    }
    const auto deleted = deletes.find(key);
    if (deleted == deletes.end()) {
      expected[key] = by_version.rbegin()->second;
    } else if (deleted->second.version != previous) {
      problems.push_back("deleted at version " + std::to_string(deleted->second.version) + " but " +
                         by_version.rbegin()->second.Line() + " was logged");
    }
  }
  for (const auto& [key, v] : deletes) {
    if (!versions.contains(key)) problems.push_back("deleted but never added: " + v.Line());
  }
  return expected;
}

struct TProcessResult {
  int adds = 0;
  int changes = 0;
  int deletes = 0;
  int void_deletes = 0;  // on an empty table
  int walks = 0;
  int gone = 0;  // records deleted by another process between finding and locking or reading them
  std::map<TEngineCode, int> refusals;
};

TProcessResult ParseSummary(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  TProcessResult result;
  in >> word >> result.adds >> result.changes >> result.deletes >> result.void_deletes >> result.walks >>
      result.gone;
  while (in >> word) {
    const auto colon = word.find(':');
    result.refusals[static_cast<TEngineCode>(std::stoi(word.substr(0, colon)))] =
        std::stoi(word.substr(colon + 1));
  }
  return result;
}

TEST(SharedTableSoakTest, FourProcessesChangingOneTableLeaveExactlyWhatTheirLogsReplayTo) {
  const int operations = EnvInt("TARVO_SOAK_OPS", 300);
  const auto base_seed = static_cast<unsigned>(EnvInt("TARVO_SOAK_SEED", 20261207));
  std::string seeds;
  for (int p = 0; p < kProcesses; ++p) seeds += " " + std::to_string(base_seed + static_cast<unsigned>(p));
  SCOPED_TRACE("seeds:" + seeds + ", operations per process " + std::to_string(operations));
  TTempDir dir;
  {
    TTestDatabase db(dir.Dir());
    db.directory->CreateTable(kTable, SoakDefinition());
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<TChildProcess>> children;
  std::vector<std::filesystem::path> logs;
  for (int p = 0; p < kProcesses; ++p) {
    logs.push_back(dir.Path() / ("process" + std::to_string(p) + ".log"));
    children.push_back(std::make_unique<TChildProcess>(
        "SoakProcess", std::vector<std::string>{dir.Dir(), std::to_string(p),
                                                std::to_string(base_seed + static_cast<unsigned>(p)),
                                                std::to_string(operations), logs.back().string()}));
  }
  for (auto& child : children) ASSERT_EQ("ready", child->Receive());
  for (auto& child : children) child->Send("go");
  std::map<TEngineCode, int> refusals;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string summary = children[p]->Receive();
    const int status = children[p]->Wait();
    ASSERT_EQ(0, status) << "process " << p << " (seed " << base_seed + static_cast<unsigned>(p) << ")";
    const TProcessResult result = ParseSummary(summary);
    EXPECT_EQ(operations, result.adds + result.changes + result.deletes + result.void_deletes + result.walks)
        << summary;
    std::printf("process %d: %d adds, %d changes, %d deletes, %d walks, %d records gone under them; refused:",
                p, result.adds, result.changes, result.deletes, result.walks, result.gone);
    for (const auto& [code, count] : result.refusals) {
      std::printf(" %d x %d", count, code);
      refusals[code] += count;
    }
    std::printf("\n");
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d operations per process in %.1f s\n", operations, seconds);
  for (const auto& [code, count] : refusals) {
    EXPECT_TRUE(IsLockCode(code)) << count << " refusals with " << code;
  }

  std::vector<std::string> problems;
  const std::map<std::int32_t, TVersion> expected = Replay(logs, problems);
  for (const auto& problem : problems) ADD_FAILURE() << problem;

  TTestDatabase db(dir.Dir());
  {
    TDataCursor cursor(db.session, *db.directory);
    TCursorOpenOptions options;
    options.table_name = kTable;
    options.exclusive = true;
    cursor.Open(options);
    TDataTable& table = cursor.Table();
    const auto read = FileRecordReader(table);
    for (const auto& e : CheckAllIndexTrees(table)) ADD_FAILURE() << e;
    for (const auto& e : CheckOneKeyPerRecord(table, read)) ADD_FAILURE() << e;
    for (const auto& e : CheckSysDeletedKeys(table, read)) ADD_FAILURE() << e;
    for (const auto& e : CheckActiveRecordCount(table, read)) ADD_FAILURE() << e;
    std::vector<TChainRef> chains;
    for (std::int32_t slot = 1; slot < table.DataFile().Header().NextRecordSlot; ++slot) {
      const std::vector<std::byte> record = read(slot);
      if (IsRecordDeleted(record)) continue;
      for (const std::uint16_t field : {kMemo, kData}) {
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, cursor.Descriptors()[field - 1u]));
        if (ref.Reference != 0) chains.push_back({ref.Reference, ref.Stamp});
      }
    }
    const TBlobCheckReport blobs = CheckBlobFile(table.BlobFile(), chains);
    EXPECT_TRUE(blobs.Ok()) << blobs.Text();

    // The table against the replay, every field and value.
    auto next = expected.begin();
    int held = 0;
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      ++held;
      const TVersion v = VersionOf(cursor, cursor.CurrentRecord());
      while (next != expected.end() && next->first < v.key) {
        ADD_FAILURE() << "missing from the table: " << next->second.Line();
        ++next;
      }
      if (next == expected.end() || next->first != v.key) {
        ADD_FAILURE() << "in the table but not in the logs: key " << v.key << " version " << v.version;
        continue;
      }
      EXPECT_TRUE(v.SameValues(next->second))
          << "the table holds " << v.Line() << ", the logs " << next->second.Line();
      EXPECT_EQ("", ValueMismatch(cursor, v));
      ++next;
      if (HasFailure() && held > 20) break;
    }
    for (; next != expected.end() && !HasFailure(); ++next) {
      ADD_FAILURE() << "missing from the table: " << next->second.Line();
    }
    EXPECT_EQ(static_cast<std::int32_t>(expected.size()), cursor.RecordCount());
    std::printf("%d records, %lld blob blocks (%lld free) at the end\n", cursor.RecordCount(),
                static_cast<long long>(blobs.block_count), static_cast<long long>(blobs.free_blocks));
  }

  TDataCursor verifier(db.session, *db.directory);
  TCursorOpenOptions options;
  options.table_name = kTable;
  options.exclusive = true;
  std::vector<std::string> lines;
  TRepairCallbacks callbacks;
  callbacks.log = [&](const std::string& m) { lines.push_back(m); };
  TRepairOptions verify;
  verify.verify_only = true;
  RepairTable(verifier, options, verify, callbacks);
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  EXPECT_EQ(2u, lines.size()) << text;
  EXPECT_TRUE(!lines.empty() && lines.front().starts_with("Verification of table")) << text;
  std::printf("%s", text.c_str());
  if (HasFailure()) std::printf("seeds:%s\n", seeds.c_str());
}

}  // namespace
}  // namespace tarvo
