// TDataTable: one table as all cursors of one engine session share it. Owns the data, index and
// blob file handlers, implements the table-level lock protocol between processes (reader,
// writer and table locks, record locks) and change detection.
//
// Lock layout (byte ranges near the 2 GB mark; shared with every other program on the table):
//   file       lock                      offset                   length  attempts
//   .DAT       header lock byte          0x7FFFFFFF               1       8,193, 3 ms apart
//   .DAT       record lock of slot n     0x7FFFFFFE − n           1       LockRetryCount + 1
//   .IDX/.BLB  writer range              0x7FFF0000               0xFFFF  8,193, 3 ms apart
//   .IDX/.BLB  reader byte               0x7FFFFFFF − r (r random 1..65,534)  1  8,193, new r each
// Lock order within a table: data header byte, index writer range, blob writer range; release in
// reverse. Every lock operation is skipped when the table is exclusive or has read-only files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/blob/blob_file.h"
#include "engine/format/data_file.h"
#include "engine/format/data_header.h"
#include "engine/format/table_definition.h"
#include "engine/index/index_file.h"
#include "engine/records/record_cache.h"

namespace tarvo {

class TDataDirectory;
class TDataSession;

inline constexpr std::int64_t kHeaderLockOffset = 0x7FFFFFFF;
inline constexpr std::int64_t kRecordLockBase = 0x7FFFFFFE;  // slot n locks kRecordLockBase − n
inline constexpr std::int64_t kWriterRangeOffset = 0x7FFF0000;
inline constexpr std::int64_t kWriterRangeLength = 0xFFFF;
inline constexpr std::int64_t kReaderByteBase = 0x7FFFFFFF;  // reader byte r locks kReaderByteBase − r
inline constexpr int kMaxReaderByte = 65534;

// Open flags a table takes from the cursor that opens it first.
struct TTableFlags {
  bool exclusive = false;
  bool temporary = false;
  bool sequential = false;
  bool in_memory = false;
  // Opened to be verified or repaired: a header that counts blob fields which no descriptor has
  // needs no blob file (the repair mends the count).
  bool repair = false;
  bool reading_only = false;  // opened by a reader: files it may not write are opened for reading
};

class TDataTable final : public TIndexFileOwner, public TBlobFileOwner, public TRecordCacheOwner {
 public:
  TDataTable(TDataDirectory& directory, std::string table_name, bool in_memory);
  ~TDataTable();
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  TDataDirectory& Directory() const { return directory_; }
  TDataSession& Session() const;
  const std::string& TableName() const { return table_name_; }  // trimmed, extension ".DAT"
  int OpenCount() const { return open_count_; }
  void AddOpener() { ++open_count_; }
  bool IsOpen() const { return is_open_; }
  bool Exclusive() const { return flags_.exclusive; }
  bool InMemory() const { return flags_.in_memory; }
  bool Temporary() const { return flags_.temporary; }
  bool ReadOnly() const { return read_only_; }
  bool ReadOnlyFiles() const { return read_only_files_; }
  bool IndexFileCreated() const { return index_file_created_; }
  bool InTransaction() const override { return in_transaction_; }
  bool DataWritten() const { return data_written_; }
  void SetDataWritten() override { data_written_ = true; }
  bool HasBlobFile() const { return blob_file_.IsOpen(); }
  // Whether lock traffic is skipped altogether.
  bool SkipsLocks() const { return flags_.exclusive || read_only_files_; }

  TDataFile& DataFile() { return data_file_; }
  TRecordCache& Records() { return records_; }
  TIndexFile& IndexFile() { return index_file_; }
  TBlobFile& BlobFile() { return blob_file_; }

  // The base name of the files (the table name without ".DAT").
  std::string BaseName() const;
  // Sets each handler's file name and flags from the table's.
  void BuildFileNames();

  void SetFlags(const TTableFlags& flags) { flags_ = flags; }

  // Opens the three files (a missing index file is created empty). OpenCount becomes 1.
  // On failure everything opened is closed again and the error re-raised.
  void Open();
  // Lowers OpenCount; the last opener writes (or discards) the buffers, releases every lock and
  // closes the files.
  void Close(bool discard);
  // Creates the table's files from a definition (the table must not be open). With a creation
  // other than kReplace the table must not exist: the data file is made first, under a free name
  // (else 13060 and nothing is touched), and a failure removes only the files made here.
  void Create(const TTableDefinition& definition, TFileCreation creation = TFileCreation::kReplace);

  // Table-level locks. Each returns whether the table changed (CheckForChanges) where it checks.
  bool LockReader();
  void UnlockReader();
  bool LockWriter();
  void UnlockWriter();
  bool LockTable();
  void UnlockTable();
  bool HoldsReaderLock() const { return reader_lock_; }
  bool HoldsWriterLock() const { return writer_lock_; }
  bool HoldsTableLock() const { return table_locked_; }
  // Modified blocks stay in memory while a transaction or the table lock holds the table.
  bool KeepsBlocksInMemory() const override { return table_locked_ || in_transaction_; }

  // Record locks (slot ≥ 1). LockRecord returns whether the table changed.
  bool LockRecord(std::int32_t slot);
  void UnlockRecord(std::int32_t slot);
  void ReleaseAllRecordLocks(bool deferred_only);
  bool RecordLockedInFile(std::int32_t slot) const;
  bool LockedByCursor(std::int32_t slot) const;
  void SetLockedByCursor(std::int32_t slot, bool locked);

  // Reloads what other openers changed: true when anything did.
  bool CheckForChanges();
  // CheckForChanges where another opener may have written: not while this session holds the
  // writer or table lock or the table exclusively, nor inside a transaction (the counters in
  // memory run ahead of the file's on purpose), nor when the session detects changes strictly,
  // nor under the reader lock (taking it checked, and it keeps every writer out).
  bool ChangedByOthers() override;
  // The three change counters as last seen (cursors compare them with their own copies).
  struct TChangeCounters {
    std::int32_t data = 0;
    std::int32_t index = 0;
    std::int32_t blob = 0;
    bool operator==(const TChangeCounters&) const = default;
  };
  TChangeCounters ChangeCounters() const;

  // Writes the changed records, headers, descriptors, pages and blocks. Inside a transaction only
  // the change counters advance (in memory). `force_header` writes the headers even unchanged.
  void WriteAll(bool trim, bool force_header);
  // One change of records (an add, change or delete) as a whole: from BeginChange on, the three
  // files keep what the change alters in their caches and headers. EndChange forgets it once the
  // change is done. UndoChange puts it all back; on a shared table whatever had reached the files
  // meanwhile is written back as it was (a failure doing so is raised after every file was
  // put back in memory). Requires: the writer lock, the table lock or the table exclusively.
  void BeginChange();
  void EndChange();
  void UndoChange();
  void DiscardAll(bool trim, bool reread);
  void FlushFiles();

  void StartTransaction();
  void Commit(bool release);
  void Rollback();

  // Savepoints of the transaction, nested: Savepoint keeps the table's state in the transaction
  // (its cached records, pages and blocks, its headers' counts, the record locks it takes from
  // then on) as one undo level below the changes that follow. RollbackToSavepoint puts the
  // newest savepoint's state back and ends it, giving back the record locks taken since that no
  // cursor holds; ReleaseSavepoint ends the newest savepoint, whose changes then belong to the
  // one below it (or to the transaction). A savepoint costs what the changes after it touch: the
  // first change of a record, page or block copies it once. Commit and Rollback end every
  // savepoint. Outside a transaction all three do nothing.
  void Savepoint();
  void ReleaseSavepoint();
  void RollbackToSavepoint();
  std::size_t SavepointCount() const { return locks_taken_.size(); }

  // A batch of changes on a shared table (neither exclusive, read-only nor in a transaction;
  // elsewhere both calls do nothing): from BeginBatch to EndBatch the table holds the writer
  // lock, and the changes of its cursors stay in the caches instead of being written one by one.
  // EndBatch writes them all with the headers, so that the change counters advance and the other
  // openers see the whole batch at once, and releases the lock. A change refused inside the batch
  // is put back and leaves the ones before it; a change that could not be put back drops the
  // caches, and with them what the batch had not yet written. BeginBatch returns whether the
  // table changed (as LockWriter); EndBatch after a failure drops the caches and releases the
  // lock before it raises.
  bool BeginBatch();
  void EndBatch();
  bool InBatch() const { return in_batch_; }
  // Whether the last change failed and could not be put back whole (else the caches hold what
  // the changes before it left).
  bool UndoFailed() const { return undo_failed_; }

 private:
  // CheckForChanges right after a lock was taken; when it fails, `release` gives the lock back.
  bool CheckedChanges(const std::function<void()>& release);
  // Tries a lock up to the fixed retry count; false when every attempt failed.
  bool FixedRetryLock(TFileHandler& file, std::int64_t offset, std::int64_t length);
  // Reader byte: draws a new r for each attempt; returns it, 0 on failure.
  int FixedRetryReaderByte(TFileHandler& file);
  void ReleaseLocksAtClose();
  void CloseFiles();
  // Ends every savepoint (the transaction ends).
  void DropSavepoints();
  [[noreturn]] void Raise(TEngineCode code) const;

  // TRecordCacheOwner.
  bool KeepsChangesInMemory() const override { return table_locked_; }
  bool OpenedExclusively() const override { return flags_.exclusive; }
  bool ChecksChangesStrictly() const override;
  bool ReusesSlots() const override { return !index_file_.NoPrimaryIndex(); }

  TDataDirectory& directory_;
  int open_count_ = 0;
  std::string table_name_;
  TTableFlags flags_;
  bool is_open_ = false;
  bool read_only_ = false;
  bool read_only_files_ = false;
  TDataFile data_file_;
  TRecordCache records_;
  TIndexFile index_file_;
  TBlobFile blob_file_;
  bool index_file_created_ = false;
  std::vector<bool> locked_in_file_;
  std::vector<bool> locked_by_cursor_;
  std::vector<bool> deferred_unlock_;
  bool reader_lock_ = false;
  bool writer_lock_ = false;
  bool table_locked_ = false;
  int index_reader_byte_ = 0;
  int blob_reader_byte_ = 0;
  bool in_transaction_ = false;
  // For each savepoint, oldest first: the slots whose record lock was taken in the file since.
  std::vector<std::vector<std::int32_t>> locks_taken_;
  bool in_batch_ = false;
  bool undo_failed_ = false;
  bool data_written_ = false;
};

// The header of a table that is not open, read straight from its data file through a shared
// open (the maintenance application reads LanguageID, SortID, BlobBlockSize and
// LastAutoIncrement this way).
TDataHeader ReadClosedTableHeader(TDataDirectory& directory, const std::string& table_name,
                                  bool in_memory = false);

}  // namespace tarvo
