#include "engine/tables/data_table.h"

#include <array>
#include <exception>
#include <random>

#include "errors/engine_error.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_exchange.h"
#include "support/platform.h"

namespace tarvo {

namespace {

int DrawReaderByte() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return std::uniform_int_distribution<int>(1, kMaxReaderByte)(generator);
}

void SetBit(std::vector<bool>& bits, std::int32_t slot, bool value) {
  const auto index = static_cast<std::size_t>(slot);
  if (index >= bits.size()) {
    if (!value) return;
    bits.resize(std::max<std::size_t>(index + 1, bits.size() * 2 + 8192), false);
  }
  bits[index] = value;
}

bool GetBit(const std::vector<bool>& bits, std::int32_t slot) {
  const auto index = static_cast<std::size_t>(slot);
  return slot > 0 && index < bits.size() && bits[index];
}

}  // namespace

TDataTable::TDataTable(TDataDirectory& directory, std::string table_name, bool in_memory)
    : directory_(directory),
      table_name_(std::move(table_name)),
      data_file_(table_name_),
      records_(data_file_, *this),
      index_file_(table_name_, data_file_, *this),
      blob_file_(table_name_, data_file_, *this) {
  flags_.in_memory = in_memory;
}

TDataTable::~TDataTable() {
  if (is_open_) {
    try {
      open_count_ = 1;
      in_transaction_ = false;
      Close(false);
    } catch (...) {
      // A destructor must not throw; the files are closed by their handlers.
    }
  }
}

TDataSession& TDataTable::Session() const {
  return directory_.Session();
}

bool TDataTable::ChecksChangesStrictly() const {
  return Session().StrictChangeDetection;
}

std::string TDataTable::BaseName() const {
  return table_name_.substr(0, table_name_.size() >= 4 ? table_name_.size() - 4 : table_name_.size());
}

void TDataTable::BuildFileNames() {
  const std::string base = (flags_.in_memory ? std::string() : directory_.Path()) + BaseName();
  const auto setup = [&](TFileHandler& file, const char* extension) {
    file.SetFileName(base + extension);
    file.SetExclusive(flags_.exclusive);
    file.SetReadOnly(read_only_ || flags_.reading_only);
    file.SetInMemory(flags_.in_memory);
    file.SetTemporary(flags_.temporary);
    file.SetSequentialScan(flags_.sequential);
    file.SetWriteThrough(Session().ForceBufferFlush);
  };
  setup(data_file_, ".DAT");
  setup(index_file_, ".IDX");
  setup(blob_file_, ".BLB");
}

void TDataTable::Raise(TEngineCode code) const {
  RaiseEngineError(code, table_name_);
}

void TDataTable::Open() {
  open_count_ = 1;
  if (is_open_) return;
  BuildFileNames();
  // A change of the table's files that was cut off is completed or rolled back first; a table
  // caught between its files may lack its data file until then.
  if (!flags_.in_memory) (void)RecoverTableExchange(directory_.Path(), BaseName());
  try {
    data_file_.Open();
    records_.Open();
    try {
      index_file_.Open();
    } catch (const ETarvoEngineError& e) {
      if (EngineCode(e) != kInvalidPath) throw;
      // The index definitions went with the file: the new one has none, and says so, so that
      // the table stays openable (a repair or restructure brings indexes back).
      index_file_.Create();
      SetNoPrimaryIndex(index_file_.MutableHeader(), true);
      index_file_.WriteHeader(true);
      index_file_.Close();
      index_file_.Open();
      index_file_created_ = true;
    }
    if (data_file_.BlobFieldCount() > 0) {
      blob_file_.SetBlockSize(data_file_.BlobBlockSize());
      try {
        blob_file_.Open();
      } catch (const ETarvoEngineError& e) {
        if (!flags_.repair || EngineCode(e) != kInvalidPath || CountBlobFields(data_file_.Descriptors()) != 0)
          throw;
      }
    }
  } catch (...) {
    CloseFiles();
    open_count_ = 0;
    index_file_created_ = false;
    throw;
  }
  read_only_files_ = data_file_.ReadOnlyFile() || index_file_.ReadOnlyFile() ||
                     (blob_file_.IsOpen() && blob_file_.ReadOnlyFile());
  if (read_only_files_) read_only_ = true;
  is_open_ = true;
}

void TDataTable::CloseFiles() {
  index_file_.Close();
  blob_file_.Close();
  records_.Close();
  data_file_.Close();
}

void TDataTable::ReleaseLocksAtClose() {
  ReleaseAllRecordLocks(false);
  locked_by_cursor_.clear();
  if (reader_lock_) UnlockReader();
  if (writer_lock_) UnlockWriter();
}

void TDataTable::Close(bool discard) {
  if (!is_open_) return;
  if (open_count_ > 0) --open_count_;
  if (in_transaction_ || open_count_ > 0) return;
  if (table_locked_) {
    try {
      UnlockTable();
    } catch (const ETarvoEngineError&) {
      table_locked_ = false;  // ignored: the close goes on
    }
  }
  try {
    EndBatch();
    if (flags_.exclusive && !read_only_) {
      if (discard && flags_.temporary) {
        DiscardAll(false, false);
      } else {
        WriteAll(true, false);
      }
    }
    ReleaseLocksAtClose();
  } catch (...) {
    CloseFiles();
    is_open_ = false;
    index_file_created_ = false;
    data_written_ = false;
    throw;
  }
  CloseFiles();
  is_open_ = false;
  index_file_created_ = false;
  data_written_ = false;
}

void TDataTable::Create(const TTableDefinition& definition, TFileCreation creation) {
  ValidateTableDefinition(definition, table_name_);
  BuildFileNames();
  // A change of an earlier table of the name that was cut off is settled first: its intent file
  // must never act on the new table.
  if (!flags_.in_memory) (void)RecoverTableExchange(directory_.Path(), BaseName());
  TFileHandler* const files[] = {&data_file_, &index_file_, &blob_file_};
  for (TFileHandler* file : files) file->SetCreation(creation);
  // A table whose files cannot all be made leaves none of them behind, and nothing that was
  // there before: another creator of the same table may have made it meanwhile.
  bool made[] = {false, false, false};
  const auto remove_partial = [&] {
    CloseFiles();
    for (int i = 0; i < 3; ++i) {
      try {
        if (made[i] && files[i]->EntryExists()) files[i]->Delete();
      } catch (const ETarvoEngineError&) {
        // Best effort: the failure that brought us here is the one to report.
      }
    }
  };
  // The data file makes the table: once it is ours, stale index or blob files of the name
  // (left by a table whose data file went) are removed, never written through.
  const auto make = [&](int i, const std::function<void()>& create) {
    if (i > 0 && creation != TFileCreation::kReplace && files[i]->EntryExists()) files[i]->Delete();
    create();
    made[i] = true;
  };
  try {
    try {
      make(0, [&] { data_file_.CreateTable(definition); });
    } catch (const ETarvoEngineError& e) {
      if (EngineCode(e) == kTableExists) Raise(kTableExists);
      throw;
    }
    make(1, [&] { index_file_.Create(); });
    index_file_.StoreDefinitions(definition);
    if (data_file_.BlobFieldCount() > 0) {
      blob_file_.SetBlockSize(data_file_.BlobBlockSize());
      make(2, [&] { blob_file_.Create(); });
    }
    data_file_.WriteHeader(true);
    data_file_.WriteDescriptors();
    index_file_.WriteHeader(true);
    if (blob_file_.IsOpen()) blob_file_.WriteHeader(true);
    data_file_.Flush();
    index_file_.Flush();
    if (blob_file_.IsOpen()) blob_file_.Flush();
  } catch (...) {
    remove_partial();
    for (TFileHandler* file : files) file->SetCreation(TFileCreation::kReplace);
    throw;
  }
  CloseFiles();
  for (TFileHandler* file : files) file->SetCreation(TFileCreation::kReplace);
}

bool TDataTable::FixedRetryLock(TFileHandler& file, std::int64_t offset, std::int64_t length) {
  const TDataSession& session = Session();
  for (int failures = 0;;) {
    if (file.LockRegion(offset, length, true)) return true;
    if (++failures > session.FixedLockRetries) return false;
    OsSleep(session.FixedLockPause);
  }
}

int TDataTable::FixedRetryReaderByte(TFileHandler& file) {
  const TDataSession& session = Session();
  for (int failures = 0;;) {
    const int r = DrawReaderByte();
    if (file.LockRegion(kReaderByteBase - r, 1, true)) return r;
    if (++failures > session.FixedLockRetries) return 0;
    OsSleep(session.FixedLockPause);
  }
}

bool TDataTable::CheckedChanges(const std::function<void()>& release) {
  try {
    return CheckForChanges();
  } catch (...) {
    // The headers could not be read: the lock just taken is given back, so that a refused lock
    // leaves nothing held that would keep the other openers out.
    try {
      release();
    } catch (...) {
      // The lock goes with the file's descriptor at the latest.
    }
    throw;
  }
}

bool TDataTable::LockReader() {
  if (SkipsLocks() || reader_lock_ || writer_lock_ || table_locked_) return false;
  index_reader_byte_ = FixedRetryReaderByte(index_file_);
  if (index_reader_byte_ == 0) Raise(kLockFailure);
  if (blob_file_.IsOpen()) {
    blob_reader_byte_ = FixedRetryReaderByte(blob_file_);
    if (blob_reader_byte_ == 0) {
      (void)index_file_.LockRegion(kReaderByteBase - index_reader_byte_, 1, false);
      index_reader_byte_ = 0;
      Raise(kLockFailure);
    }
  }
  reader_lock_ = true;
  return CheckedChanges([this] { UnlockReader(); });
}

void TDataTable::UnlockReader() {
  if (SkipsLocks() || !reader_lock_) return;
  reader_lock_ = false;
  bool ok = index_file_.LockRegion(kReaderByteBase - index_reader_byte_, 1, false);
  if (blob_reader_byte_ != 0) {
    ok = blob_file_.LockRegion(kReaderByteBase - blob_reader_byte_, 1, false) && ok;
  }
  index_reader_byte_ = 0;
  blob_reader_byte_ = 0;
  if (!ok) Raise(kCannotUnlock);
}

bool TDataTable::LockWriter() {
  if (SkipsLocks() || writer_lock_) return false;
  if (!table_locked_ && !FixedRetryLock(data_file_, kHeaderLockOffset, 1)) Raise(kLockFailure);
  if (!FixedRetryLock(index_file_, kWriterRangeOffset, kWriterRangeLength)) {
    if (!table_locked_) (void)data_file_.LockRegion(kHeaderLockOffset, 1, false);
    Raise(kLockFailure);
  }
  if (blob_file_.IsOpen() && !FixedRetryLock(blob_file_, kWriterRangeOffset, kWriterRangeLength)) {
    (void)index_file_.LockRegion(kWriterRangeOffset, kWriterRangeLength, false);
    if (!table_locked_) (void)data_file_.LockRegion(kHeaderLockOffset, 1, false);
    Raise(kLockFailure);
  }
  writer_lock_ = true;
  return table_locked_ ? false : CheckedChanges([this] { UnlockWriter(); });
}

void TDataTable::UnlockWriter() {
  if (SkipsLocks() || !writer_lock_) return;
  writer_lock_ = false;
  bool ok = true;
  if (blob_file_.IsOpen()) ok = blob_file_.LockRegion(kWriterRangeOffset, kWriterRangeLength, false) && ok;
  ok = index_file_.LockRegion(kWriterRangeOffset, kWriterRangeLength, false) && ok;
  if (!table_locked_) ok = data_file_.LockRegion(kHeaderLockOffset, 1, false) && ok;
  if (!ok) Raise(kLockFailure);
}

bool TDataTable::LockTable() {
  if (SkipsLocks()) return false;
  if (!FixedRetryLock(data_file_, kHeaderLockOffset, 1)) Raise(kLockFailure);
  table_locked_ = true;
  return flags_.exclusive ? false : CheckedChanges([this] { UnlockTable(); });
}

void TDataTable::UnlockTable() {
  if (SkipsLocks() || !table_locked_) return;
  table_locked_ = false;
  ReleaseAllRecordLocks(true);
  if (!data_file_.LockRegion(kHeaderLockOffset, 1, false)) Raise(kLockFailure);
}

bool TDataTable::LockRecord(std::int32_t slot) {
  if ((flags_.exclusive && !table_locked_) || read_only_files_) return false;
  if (table_locked_ && GetBit(locked_in_file_, slot)) return false;
  if (slot <= 0) Raise(kRecordInUse);
  bool changed = false;
  if (!flags_.exclusive && !Session().StrictChangeDetection) {
    changed = LockReader();
  }
  const TDataSession& session = Session();
  for (int failures = 0;;) {
    if (data_file_.LockRegion(kRecordLockBase - slot, 1, true)) break;
    if (++failures > session.LockRetryCount) Raise(kRecordInUse);
    OsSleep(session.LockWaitTime);
  }
  SetBit(locked_in_file_, slot, true);
  SetBit(deferred_unlock_, slot, false);
  if (!locks_taken_.empty()) locks_taken_.back().push_back(slot);
  return changed;
}

void TDataTable::UnlockRecord(std::int32_t slot) {
  if ((flags_.exclusive && !table_locked_) || read_only_files_) return;
  if (table_locked_) {
    SetBit(deferred_unlock_, slot, true);
    return;
  }
  if (GetBit(locked_in_file_, slot) && data_file_.LockRegion(kRecordLockBase - slot, 1, false)) {
    SetBit(locked_in_file_, slot, false);
    return;
  }
  Raise(kCannotUnlock);
}

void TDataTable::ReleaseAllRecordLocks(bool deferred_only) {
  bool ok = true;
  for (std::size_t slot = 1; slot < locked_in_file_.size(); ++slot) {
    if (!locked_in_file_[slot]) continue;
    if (deferred_only && !GetBit(deferred_unlock_, static_cast<std::int32_t>(slot))) continue;
    ok = data_file_.LockRegion(kRecordLockBase - static_cast<std::int64_t>(slot), 1, false) && ok;
    locked_in_file_[slot] = false;
    SetBit(deferred_unlock_, static_cast<std::int32_t>(slot), false);
  }
  if (!ok) Raise(kCannotUnlock);
}

bool TDataTable::RecordLockedInFile(std::int32_t slot) const {
  return GetBit(locked_in_file_, slot);
}

bool TDataTable::LockedByCursor(std::int32_t slot) const {
  return GetBit(locked_by_cursor_, slot);
}

void TDataTable::SetLockedByCursor(std::int32_t slot, bool locked) {
  SetBit(locked_by_cursor_, slot, locked);
}

bool TDataTable::CheckForChanges() {
  bool changed = false;
  if (index_file_.ReloadHeaderIfChanged()) {
    index_file_.DropPages();
    data_file_.ReadHeader();
    records_.ReleaseAll();
    changed = true;
  } else if (data_file_.HeaderChanged()) {
    records_.ReleaseAll();
    changed = true;
  }
  // Blocks go with any change: a program that writes a value over its own chain without writing
  // the blob header still writes the data header.
  if (blob_file_.IsOpen() && (blob_file_.HeaderChanged() || changed)) {
    blob_file_.DropBlocks();
    changed = true;
  }
  return changed;
}

bool TDataTable::ChangedByOthers() {
  // The reader lock keeps every other writer out, and taking it ran the check: nothing can have
  // changed since.
  if (Session().StrictChangeDetection || flags_.exclusive || writer_lock_ || table_locked_ || in_transaction_ ||
      reader_lock_) {
    return false;
  }
  return CheckForChanges();
}

TDataTable::TChangeCounters TDataTable::ChangeCounters() const {
  return {data_file_.ChangeCount(), index_file_.ChangeCount(),
          blob_file_.IsOpen() ? blob_file_.ChangeCount() : 0};
}

void TDataTable::WriteAll(bool trim, bool force_header) {
  if (in_transaction_) {
    data_file_.BumpChangeCount();
    index_file_.BumpChangeCount();
    if (blob_file_.IsOpen()) blob_file_.BumpChangeCount();
    return;
  }
  if (records_.WriteModifiedRecords()) data_written_ = true;
  data_file_.WriteHeader(force_header);
  data_file_.WriteDescriptors();
  if (trim) records_.Trim();
  index_file_.FlushPages();
  index_file_.WriteHeader(force_header);
  if (trim) index_file_.TrimCache();
  if (blob_file_.IsOpen()) {
    blob_file_.FlushBlocks();
    blob_file_.WriteHeader(force_header);
    if (trim) blob_file_.TrimCache();
  }
}

bool TDataTable::BeginBatch() {
  if (in_batch_ || flags_.exclusive || read_only_ || in_transaction_) return false;
  const bool changed = LockWriter();
  in_batch_ = true;
  return changed;
}

void TDataTable::EndBatch() {
  if (!in_batch_) return;
  in_batch_ = false;
  try {
    WriteAll(false, true);
  } catch (...) {
    try {
      DiscardAll(false, true);
    } catch (...) {
      // The write's failure is the one to report.
    }
    try {
      UnlockWriter();
    } catch (...) {
      // The lock goes with the file's descriptor at the latest.
    }
    throw;
  }
  UnlockWriter();
}

void TDataTable::BeginChange() {
  undo_failed_ = false;
  records_.BeginUndo();
  index_file_.BeginUndo();
  if (blob_file_.IsOpen()) blob_file_.BeginUndo();
}

void TDataTable::EndChange() {
  records_.EndUndo();
  index_file_.EndUndo();
  if (blob_file_.IsOpen()) blob_file_.EndUndo();
}

void TDataTable::UndoChange() {
  // Every file is put back even when one of them cannot be written; the first failure counts.
  std::exception_ptr failure;
  bool wrote = false;
  const auto undo = [&](auto& file) {
    try {
      wrote = file.UndoChange() || wrote;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  undo(records_);
  undo(index_file_);
  if (blob_file_.IsOpen()) undo(blob_file_);
  if (failure) {
    undo_failed_ = true;
    std::rethrow_exception(failure);
  }
  // Others read the files: what the change wrote there goes back as it was.
  if (wrote && !flags_.exclusive && !in_transaction_ && !read_only_) {
    try {
      WriteAll(false, true);
    } catch (...) {
      undo_failed_ = true;
      throw;
    }
  }
}

void TDataTable::DiscardAll(bool trim, bool reread) {
  records_.ReleaseAll();
  index_file_.DropPages();
  if (blob_file_.IsOpen()) blob_file_.DropBlocks();
  if (trim) {
    records_.Trim();
    index_file_.TrimCache();
    if (blob_file_.IsOpen()) blob_file_.TrimCache();
  }
  if (reread) {
    data_file_.ReadHeader();
    index_file_.ReadHeader();
    if (blob_file_.IsOpen()) blob_file_.ReadHeader();
  }
}

void TDataTable::FlushFiles() {
  if (read_only_ || Session().ForceBufferFlush) return;
  data_file_.Flush();
  index_file_.Flush();
  if (blob_file_.IsOpen()) blob_file_.Flush();
}

void TDataTable::StartTransaction() {
  if (read_only_ || in_transaction_) return;
  if (flags_.exclusive) WriteAll(false, false);
  in_transaction_ = true;
  table_locked_ = false;
  LockTable();
}

void TDataTable::Rollback() {
  in_transaction_ = false;
  DropSavepoints();
  DiscardAll(false, true);
  UnlockTable();
}

void TDataTable::Commit(bool release) {
  if (!in_transaction_) return;
  LockWriter();
  in_transaction_ = false;
  try {
    WriteAll(release, true);
    FlushFiles();
  } catch (...) {
    in_transaction_ = true;
    UnlockWriter();
    throw;
  }
  UnlockWriter();
  DropSavepoints();
  if (release) {
    UnlockTable();
  } else {
    in_transaction_ = true;
    ReleaseAllRecordLocks(true);
  }
}

void TDataTable::Savepoint() {
  if (!in_transaction_) return;
  BeginChange();
  locks_taken_.emplace_back();
}

void TDataTable::ReleaseSavepoint() {
  if (locks_taken_.empty()) return;
  EndChange();
  std::vector<std::int32_t> taken = std::move(locks_taken_.back());
  locks_taken_.pop_back();
  if (!locks_taken_.empty()) locks_taken_.back().insert(locks_taken_.back().end(), taken.begin(), taken.end());
}

void TDataTable::RollbackToSavepoint() {
  if (locks_taken_.empty()) return;
  const std::vector<std::int32_t> taken = std::move(locks_taken_.back());
  locks_taken_.pop_back();
  UndoChange();
  // The records locked since the savepoint are as they were before it: a lock no cursor holds
  // any more (its release waits for the transaction's end) is given back now.
  bool ok = true;
  for (const std::int32_t slot : taken) {
    if (!GetBit(locked_in_file_, slot) || !GetBit(deferred_unlock_, slot)) continue;
    ok = data_file_.LockRegion(kRecordLockBase - slot, 1, false) && ok;
    SetBit(locked_in_file_, slot, false);
    SetBit(deferred_unlock_, slot, false);
  }
  if (!ok) Raise(kCannotUnlock);
}

void TDataTable::DropSavepoints() {
  locks_taken_.clear();
  records_.DropUndo();
  index_file_.DropUndo();
  blob_file_.DropUndo();
}

TDataHeader ReadClosedTableHeader(TDataDirectory& directory, const std::string& table_name, bool in_memory) {
  CheckTableName(table_name);
  const std::string name = NormalizeTableName(table_name);
  if (!in_memory) (void)RecoverTableExchange(directory.Path(), name);
  TFileHandler file;
  file.SetFileName((in_memory ? std::string() : directory.Path()) + name);
  file.SetInMemory(in_memory);
  file.Open();
  std::array<std::byte, kDataHeaderSize> raw{};
  try {
    (void)file.ReadAt(0, raw, false);
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
  return DecodeDataHeader(raw);
}

}  // namespace tarvo
