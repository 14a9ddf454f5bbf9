#include "engine/maintenance/scratch_table.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "errors/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_exchange.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/platform_names.h"

namespace tarvo {

namespace {

// Memory a bulk load may give each cache of the new table, and the reading table's caches.
constexpr std::int64_t kIndexCacheBudget = 96ll << 20;
constexpr std::int64_t kRecordCacheBudget = 2ll << 20;
constexpr std::int64_t kBlobCacheBudget = 1ll << 20;
constexpr int kMaxPagesPerSlot = 8192;
constexpr std::int32_t kMaxCachedRecordsBulk = 65536;
constexpr int kMaxBlobBlocksBulk = 32767;
// Bytes of blob blocks one read brings in, and the deleted slots a record read may step over.
constexpr std::int64_t kBulkBlobReadBytes = 256ll << 10;
constexpr std::int32_t kBulkReadAheadGap = 8;
// What one cached object really costs: a page keeps its entries expanded (key + 12 bytes each,
// grown in 8 KiB steps) beside its 4 KiB image; a record buffer grows in steps of 510 bytes and
// has its object and cache links besides.
constexpr std::int64_t kCachedPageCost = 10 << 10;
constexpr std::int64_t kRecordGranule = 510;
// An engine error's message text is at most this long.
constexpr std::size_t kMaxMessageText = 254;
constexpr std::int64_t kCachedRecordOverhead = 100;
// Names of scratch tables tried before giving up.
constexpr int kScratchNameAttempts = 1000;

std::string BaseOf(const std::string& table_name) {
  const std::string normalized = NormalizeTableName(table_name);
  return normalized.substr(0, normalized.size() - 4);
}

}  // namespace

std::uint16_t ProgressPercent(std::int32_t current, std::int32_t slots) {
  if (slots <= 0) return 0;
  const double percent = static_cast<double>(current) / static_cast<double>(slots) * 100.0;
  return static_cast<std::uint16_t>(std::clamp(std::trunc(percent), 0.0, 65535.0));
}

void CheckMaintenancePreconditions(const TDataCursor& cursor, const TCursorOpenOptions& options) {
  const std::string name = NormalizeTableName(options.table_name);
  if (cursor.IsOpen()) RaiseEngineError(kTableInUse, name);
  if (!options.exclusive) RaiseEngineError(kNeedsExclusive, name);
  if (options.read_only) RaiseEngineError(kAccessDenied, name);
}

TMaintenanceOpen::TMaintenanceOpen(TDataCursor& cursor, const TCursorOpenOptions& options) : cursor_(cursor) {
  cursor_.Open(options);
}

TMaintenanceOpen::~TMaintenanceOpen() {
  try {
    cursor_.Close();
  } catch (...) {
    // Closing on the way out of a failure: the failure is the one to report.
  }
}

void TMaintenanceOpen::Close() {
  cursor_.Close();
}

TScratchTable::TScratchTable(TDataSession& session, TDataDirectory& table_directory, bool in_memory)
    : session_(session), in_memory_(in_memory) {
  if (in_memory) {
    directory_ = session.GetDirectory("MEMORY", {});
    return;
  }
  std::string path = session.PrivateDirectory();
  if (path.empty()) {
    path = UseScratchFolder(table_directory.Path());
    hidden_path_ = path;
  }
  directory_ = session.GetDirectory({}, path);
}

TScratchTable::~TScratchTable() {
  if (cursor_ != nullptr) {
    try {
      cursor_->Close();
    } catch (...) {
      // The files go below regardless.
    }
    cursor_.reset();
  }
  if (!keep_ && !name_.empty()) RemoveFiles();
  // Best effort while the scratch table goes: a destructor raises nothing.
  (void)session_.ReleaseDirectory(directory_);
  if (!hidden_path_.empty()) (void)OsRemoveEmptyDirectory(hidden_path_);
}

std::string TScratchTable::Base() const {
  return BaseOf(name_);
}

void TScratchTable::RemoveFiles() noexcept {
  const std::string base = (in_memory_ ? std::string() : directory_->Path()) + Base();
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    const std::string file = base + extension;
    if (!EngineFileList().EntryExists(file, in_memory_)) continue;
    // Given the mode of a read-only table for the exchange: still ours to delete.
    if (!in_memory_) (void)OsSetReadOnlyAttribute(file, false);
    (void)EngineFileList().DeleteEntry(file, in_memory_);  // noexcept cleanup: a file left stays for later
  }
}

std::string TScratchTable::SpillBase() const {
  return (in_memory_ ? std::string() : directory_->Path()) + Base();
}

TDataCursor& TScratchTable::Create(const TTableDefinition& definition) {
  // Made under a free name only, private to us, never through a link: a name that turns out to be
  // taken (by another run, or by an entry planted under it) is passed over.
  for (int counter = 0;; ++counter) {
    const std::string name = directory_->UniqueTableName(in_memory_, &counter);
    try {
      directory_->CreateTable(name, definition, in_memory_, TFileCreation::kNewPrivate);
    } catch (const ETarvoEngineError& e) {
      if (EngineCode(e) != kTableExists || counter >= kScratchNameAttempts) throw;
      continue;
    }
    name_ = name;
    break;
  }
  cursor_ = std::make_unique<TDataCursor>(session_, *directory_);
  TCursorOpenOptions options;
  options.table_name = name_;
  options.exclusive = true;
  options.in_memory = in_memory_;
  options.purpose = TCursorPurpose::kRestructure;
  cursor_->Open(options);
  cursor_->SelectSlotOrder();
  cursor_->KeepSuppliedAutoIncrement = true;
  SizeCachesForBulk(cursor_->Table());
  return *cursor_;
}

TDataCursor& TScratchTable::CopyOf(TDataTable& table) {
  assert(!in_memory_);
  name_ = directory_->UniqueTableName(false);
  const std::string base = directory_->Path() + Base();
  const std::pair<const TFileHandler*, const char*> files[] = {
      {&table.DataFile(), ".DAT"}, {&table.IndexFile(), ".IDX"}, {&table.BlobFile(), ".BLB"}};
  for (const auto& [file, extension] : files) {
    if (!file->IsOpen()) continue;
    const std::string to = base + extension;
    if (const TOsError error = OsCopyHeldFile(file->FileName(), to); error != kOsOk)
      RaiseEngineError(EngineCodeFromOsError(error), to);
  }
  cursor_ = std::make_unique<TDataCursor>(session_, *directory_);
  TCursorOpenOptions options;
  options.table_name = name_;
  options.exclusive = true;
  cursor_->Open(options);
  cursor_->SelectSlotOrder();
  SizeCachesForBulk(cursor_->Table());
  // Blocks are taken where the free list leads, not read in a row.
  if (cursor_->Table().HasBlobFile()) cursor_->Table().BlobFile().SetSequentialReadAhead(0);
  return *cursor_;
}

void TScratchTable::Finish() {
  TDataTable& table = cursor_->Table();
  table.WriteAll(true, true);
  cursor_->Close();
  cursor_.reset();
  if (in_memory_) return;
  const std::string base = directory_->Path() + Base();
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) SyncFileToDisk(base + extension);
  if (const TOsError error = OsSyncDirectory(directory_->Path()); error != kOsOk)
    RaiseEngineError(EngineCodeFromOsError(error), directory_->Path());
}

void SizeCachesForBulk(TDataTable& table) {
  TIndexFile& index = table.IndexFile();
  int slots_in_use = 1 + index.SecondaryIndexCount() + (index.NoPrimaryIndex() ? 0 : 1);
  const auto pages = static_cast<int>(kIndexCacheBudget / kCachedPageCost / slots_in_use);
  index.SetPageCacheCapacity(std::clamp(pages, kDefaultPageCacheCapacity, kMaxPagesPerSlot));
  TDataFile& data = table.DataFile();
  const std::int64_t buffer =
      (std::max<std::int64_t>(data.RecordSize(), 1) + kRecordGranule - 1) / kRecordGranule * kRecordGranule;
  const std::int64_t records = kRecordCacheBudget / (buffer + kCachedRecordOverhead);
  TRecordCache& cache = table.Records();
  cache.SetCacheSize(static_cast<std::int32_t>(std::min<std::int64_t>(records, kMaxCachedRecordsBulk)));
  cache.SetReadAheadGap(kBulkReadAheadGap);
  if (table.HasBlobFile()) {
    const std::int64_t blocks =
        std::min<std::int64_t>(kBlobCacheBudget / std::max<std::uint32_t>(data.BlobBlockSize(), 64), kMaxBlobBlocksBulk);
    table.BlobFile().SetCacheCapacity(static_cast<int>(blocks));
    // A quarter of the cache per read: the chains still pinned and the rest of a run stay.
    table.BlobFile().SetSequentialReadAhead(static_cast<int>(std::min<std::int64_t>(
        blocks / 4, kBulkBlobReadBytes / std::max<std::uint32_t>(data.BlobBlockSize(), 64))));
  }
}

std::vector<std::byte> LoadBlobOf(TDataTable& table, TConstBytes slot) {
  const TBlobRef ref = GetBlobRef(slot);
  if (ref.Reference == 0 || !table.HasBlobFile()) return {};
  return LoadBlobValue(table.BlobFile(), ref.Reference, ref.Stamp);
}

std::span<const std::byte> LoadBlobOf(TDataTable& table, TConstBytes slot, TBlobValueBuffer& into) {
  const TBlobRef ref = GetBlobRef(slot);
  if (ref.Reference == 0 || !table.HasBlobFile()) return {};
  return LoadBlobValue(table.BlobFile(), ref.Reference, ref.Stamp, into);
}

void CopyBlobValue(TDataTable& old_table, TConstBytes old_slot, TDataCursor& target,
                   std::span<std::byte> record, std::uint16_t field_number) {
  // The new value goes through the target cursor, which stores it when the record is added.
  const std::vector<std::byte> value = LoadBlobOf(old_table, old_slot);
  target.SetBlobField(record, field_number, value);
}

void FreeStoredBlobs(TDataTable& table, std::span<const TFieldDescriptor> fields, TConstBytes record) {
  if (!table.HasBlobFile()) return;
  for (const TFieldDescriptor& d : fields) {
    if (d.FieldType != kTypeBlob || d.NotStored != 0) continue;
    const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, d));
    if (ref.Reference != 0) FreeBlobValue(table.BlobFile(), ref.Reference, ref.Stamp);
  }
}

void RethrowNamingTable(const ETarvoEngineError& error, const std::string& scratch_base,
                        const std::string& table_name) {
  if (scratch_base.empty() || !error.Names()) throw;
  TErrorNames names = *error.Names();
  const std::string file = names.table.substr(names.table.find_last_of('/') + 1);
  const std::string base = file.substr(0, file.find_last_of('.'));
  if (!SameNameIgnoringCase(base, scratch_base)) throw;
  names.table = table_name;
  throw ETarvoEngineError(EngineCode(error), std::move(names));
}

void RaiseAdvising(TEngineCode code, const std::string& table_name, const std::string& advice) {
  const std::string text = EngineMessageText(code, TErrorNames{table_name, {}, {}, {}});
  throw ETarvoEngineError(code, (text + " - " + advice).substr(0, kMaxMessageText));
}

void ExchangeWithScratch(TDataDirectory& table_directory, const std::string& table_name,
                         TScratchTable& scratch, bool in_memory, bool keep_backups) {
  TExchangePlan plan;
  plan.in_memory = in_memory;
  plan.directory = in_memory ? std::string() : table_directory.Path();
  plan.table_base = BaseOf(table_name);
  plan.new_directory = in_memory ? std::string() : scratch.Directory().Path();
  plan.new_base = scratch.Base();
  plan.keep_backups = keep_backups && !in_memory;
  ExchangeTableFiles(plan);
  scratch.Keep();
}

}  // namespace tarvo
