#include "engine/maintenance/repair.h"

#include <locale.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <memory>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/byte_codec.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/index/index_tree.h"
#include "engine/index/key_sorter.h"
#include "engine/index/tree_check.h"
#include "engine/maintenance/index_build.h"
#include "engine/maintenance/repair_blob.h"
#include "engine/maintenance/streamed_index.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_exchange.h"
#include "support/locale.h"
#include "support/platform.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::size_t kMaxMessageLength = 255;
constexpr std::size_t kMessageNameLength = 30;

// Cache sizes for the exclusive table while the repair runs: the whole pass reads every slot once
// and rebuilds every tree, so larger caches save rereads. Bounded: about 8 MB of records, 16 MB
// of pages per index at most (the blob file's blocks: repair_blob.cpp).
constexpr std::int32_t kRepairRecordCacheBytes = 256 << 10;
constexpr int kRepairPageCachePages = 4096;
// The memory the keys of the unique indexes and "Sys Deleted" may take while they are gathered.
constexpr std::size_t kStreamedKeysBudget = 32u << 20;

// Failures of the system rather than of the table's bytes.
bool IsSystemFailure(TEngineCode code) {
  return code == kReadError || code == kWriteError || code == kUnknownOsError || code == kOutOfMemory ||
         code == kInvalidFileHandle || code == kDeviceDenied || code == kAccessDenied;
}

std::string Cut(std::string_view text, std::size_t length) {
  return std::string(text.substr(0, length));
}

std::string UpperTrimmed(const TDataFile& data, std::string_view name) {
  return UpperCase(data.LanguageID(), data.SortID(), TrimBlanks(name));
}

bool ValidNameStart(unsigned char first) {
  return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_' ||
         (first >= 129 && first <= 254);
}

// A value text stays only when the open of the table accepts it: a date, time or number in its
// text form, any text for a text field, none for the other types (bytes, blobs, ...). A text kept
// that the open refuses would leave a repaired table that cannot be opened.
bool ValidValue(const TFieldDescriptor& d, const std::string& text) {
  return IsValidValueText(d.FieldType, d.FieldSubType, d.FieldSize, d.FieldDecimals, text);
}

// The fields whose "computed" flag the rest of the header contradicts: counted as stored, each
// would lie at the offset its descriptor names, and the layout would then end at the record
// length the header gives, where the flags as they stand make it end elsewhere. The descriptors
// and the record length agree with each other there; the flags are the damage. Empty when nothing
// contradicts a flag. The auto-increment field takes no bytes of its own and is left as it is.
std::vector<bool> ContradictedComputedFlags(const std::vector<TFieldDescriptor>& fields,
                                            std::uint32_t record_size) {
  std::vector<bool> placed(fields.size(), false);
  bool any = false;
  std::uint32_t as_flagged = kRecordHeaderSize;
  std::uint32_t as_placed = kRecordHeaderSize;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& d = fields[i];
    if (IsAutoIncrement(d.FieldType, d.FieldSubType)) continue;
    const std::uint32_t bytes = DataSizeOf(d.FieldType, d.FieldSize) + 1u;
    if (IsStored(d)) {
      as_flagged += bytes;
      as_placed += bytes;
    } else if (d.RecordOffset == as_placed) {
      placed[i] = true;
      any = true;
      as_placed += bytes;
    }
  }
  if (!any || as_flagged == record_size || as_placed != record_size) return {};
  return placed;
}

// Runs the phases on the open table. One object per operation.
class TRepairRun {
 public:
  TRepairRun(TDataCursor& cursor, const TRepairOptions& options, const TRepairCallbacks& callbacks)
      : table_(cursor.Table()),
        data_(table_.DataFile()),
        records_(table_.Records()),
        index_(table_.IndexFile()),
        verify_(options.verify_only),
        lenient_(options.lenient_blob_ownership),
        callbacks_(callbacks) {}

  void Run();

 private:
  void Log(const std::string& message) const {
    ++lines_;
    if (callbacks_.log) callbacks_.log(Cut(message, kMaxMessageLength));
  }
  std::string Outcome() const { return verify_ ? "error not fixed" : "error fixed"; }
  std::string HeaderSuffix() const { return " in table header, " + Outcome(); }

  void HeaderPhase();
  // Whether the data file holds records after its header, whole ones of the stored record length,
  // exactly as many as the header counts.
  bool HoldsWholeRecords();
  void CheckFieldNames(std::size_t i, const std::vector<std::string>& original_upper);
  // The name a field with a blank name gets: "Repaired_Fld" and its number, unique in the table.
  std::string NameForBlank(std::size_t i, const std::vector<std::string>& original_upper) const;
  void IndexDefinitionPhase();
  void CheckIndexSlot(int slot, std::vector<bool>& removal);
  void OpenBlobFile();
  void RecordPhase();
  // Verification: every tree walked once, each index's keys compared with the keys of the
  // records gathered in `deferred_`, and the active record count.
  void CheckIndexes();
  void CheckTree(TIndexTree& tree, TKeySorter* keys, TPageSet& pages);
  void HandleRecord(std::int32_t r);
  // `renew` (repair): the record's ID is renewed at the end of the pass (RenewIds), so its keys
  // that hold the ID wait until then; a record deleted for a duplicate key may come to need it.
  void LiveRecord(TRecordPin& pin, std::int32_t r, bool& renew);
  void DeletedRecord(TRecordPin& pin, std::int32_t r, bool renew);
  // Blob field slots: `live` examines the chains, otherwise they are released.
  void BlobFields(TRecordPin& pin, std::int32_t r, bool live);
  void ReleaseBlobValues(TRecordPin& pin, std::int32_t r);
  void RebuildKeys(TRecordPin& pin, std::int32_t r, bool renew);
  void InsertSysDeleted(TRecordPin& pin);
  // Repair only: whether "Sys Deleted" already holds the record's key (its logical ID is taken).
  bool IdTaken(const TRecordPin& pin);
  void ReportId(std::int32_t r);
  // Whether the key of tree i holds the logical ID (the auto-increment field).
  bool KeyHoldsId(const TIndexTree& tree) const;
  // After the pass, every ID that a record keeps is known: the records marked for a new one get
  // theirs, in slot order, and the keys that waited for it.
  void RenewIds();
  // Gives the record the next ID of the counter that no record has (deleted or not): past every
  // ID in use unless the counter wrapped.
  std::int32_t FreshId(TRecordPin& pin);
  std::int32_t SlotsToVisit() const;
  void Progress(std::int32_t r);
  void EnlargeCaches();

  TDataTable& table_;
  TDataFile& data_;
  TRecordCache& records_;
  TIndexFile& index_;
  const bool verify_;
  const bool lenient_;
  const TRepairCallbacks& callbacks_;
  // The record length the record phase can trust (0: none, the phase is skipped).
  std::uint16_t record_size_ = 0;
  std::unique_ptr<TBlobRepair> blobs_;
  // Repair: the unique indexes, then slot 31, take each record's keys at once (a duplicate
  // deletes the record, a logical ID met twice is renewed); the other indexes cannot refuse a key
  // and are written from the records once every record is settled.
  std::vector<std::unique_ptr<TIndexTree>> trees_;
  std::vector<std::unique_ptr<TStreamedIndex>> streams_;  // one per tree
  std::vector<std::vector<std::byte>> keys_;              // the current record's key per tree
  std::vector<int> keyed_slots_;
  std::vector<int> deferred_slots_;
  std::unique_ptr<TIndexBuild> deferred_;  // their keys, gathered as each record is settled
  std::vector<bool> id_keyed_;             // per tree: its key holds the logical ID
  std::vector<bool> renew_;                // by slot: the record gets a new ID after the pass
  // Verification: the slots whose definition was reported (their keys are not compared), and
  // whether the record phase read every slot.
  std::vector<bool> unsound_definitions_ = std::vector<bool>(kIndexSlotCount, false);
  bool records_read_ = false;
  std::int32_t highest_id_ = 0;
  bool counter_raised_ = false;  // RenewIds had to move the header's counter up
  std::int32_t active_ = 0;
  // The active record count the index file held (-1: it held no tree, so counted nothing), and
  // the records found in use by the pass (before any was deleted for a duplicate key).
  std::int32_t stored_active_ = 0;
  std::int32_t found_in_use_ = 0;
  mutable int lines_ = 0;  // log lines sent, the start line included
};

void TRepairRun::Run() {
  const std::string name = table_.TableName();
  const std::string kind = verify_ ? "Verification of table " : "Repair of table ";
  Log(kind + name + " " + "started at " + RepairTimeText());
  EnlargeCaches();
  // An index file without any tree (made afresh, or left so by another program for the next
  // opener to build) counts nothing yet: its count of 0 is no damage.
  const auto& slots = index_.Header().slots;
  const bool has_trees =
      std::any_of(slots.begin(), slots.end(), [](const TIndexDescriptor& d) { return d.root != 0; });
  stored_active_ = has_trees || index_.Header().active_records != 0 ? index_.Header().active_records : -1;
  if (!verify_) {
    index_.Empty();
    index_.MutableHeader().version = kIndexFormatVersion;
  }
  HeaderPhase();
  IndexDefinitionPhase();
  if (data_.BlobFieldCount() > 0) {
    OpenBlobFile();
    if (table_.BlobFile().IsOpen()) {
      blobs_ = std::make_unique<TBlobRepair>(table_.BlobFile(), verify_, lenient_,
                                             [this](const std::string& message) { Log(message); });
      blobs_->AlignFile();
    }
  }
  RecordPhase();
  Log(kind + name + " " + "completed at " + RepairTimeText());
}

void TRepairRun::EnlargeCaches() {
  index_.SetPageCacheCapacity(kRepairPageCachePages);
}

// --- Header phase ---

void TRepairRun::HeaderPhase() {
  TDataHeader& h = data_.MutableHeader();
  std::vector<TFieldDescriptor>& fields = data_.MutableDescriptors();
  if (!verify_ && h.FormatVersion != kFormatVersion) {
    h.FormatVersion = kFormatVersion;
    data_.MarkHeaderChanged();
  }
  const std::int64_t header_size = data_.RecordAreaOffset();
  // The names as they stood before any was mended: duplicates are found among these.
  std::vector<std::string> original_upper;
  original_upper.reserve(fields.size());
  for (const TFieldDescriptor& d : fields) original_upper.push_back(UpperTrimmed(data_, d.FieldName));

  std::uint32_t offset = kRecordHeaderSize;
  const std::vector<TFieldDescriptor> before = fields;
  std::vector<bool> flag_contradicted = ContradictedComputedFlags(fields, h.RecordSize);
  flag_contradicted.resize(fields.size(), false);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    TFieldDescriptor& d = fields[i];
    d.DataSize = DataSizeOf(d.FieldType, d.FieldSize);
    d.DecimalsCopy = d.FieldDecimals;
    CheckFieldNames(i, original_upper);
    const std::string f = Cut(d.FieldName, kMessageNameLength);
    if (d.FieldType == kTypeNone) {
      Log("Invalid field data type (unknown) for field " + f + " in table header, error cannot be fixed");
    }
    const bool size_ok = TypeHasSize(d.FieldType) ? d.FieldSize <= kMaxFieldSize : d.FieldSize == 0;
    if (!size_ok) {
      Log("Invalid field length for field " + f + HeaderSuffix());
      if (!verify_) {
        d.FieldSize = TypeHasSize(d.FieldType) ? kMaxFieldSize : 0;
        // The value's bytes follow the size: the layout below must match what a reader derives.
        d.DataSize = DataSizeOf(d.FieldType, d.FieldSize);
      }
    }
    const std::pair<std::string*, const char*> values[] = {
        {&d.DefaultValue, "Invalid default value for field "},
        {&d.MinValue, "Invalid minimum value for field "},
        {&d.MaxValue, "Invalid maximum value for field "}};
    for (const auto& [text, message] : values) {
      if (ValidValue(d, *text)) continue;
      Log(message + f + HeaderSuffix());
      if (!verify_) text->clear();
    }
    if (d.FieldDecimals != 0 && d.FieldType != kTypeFixed) {
      Log("Invalid field decimals for field " + f + HeaderSuffix());
      if (!verify_) {
        d.FieldDecimals = 0;
        d.DecimalsCopy = 0;
      }
    }
    if (flag_contradicted[i]) {
      Log("Invalid computed field flag for field " + f + HeaderSuffix());
      if (!verify_) d.NotStored = 0;
    }
    if (IsStored(d) || flag_contradicted[i]) {
      const bool auto_increment = IsAutoIncrement(d.FieldType, d.FieldSubType);
      const std::uint32_t expected = auto_increment ? kRecOffAutoIncrement : offset;
      if (d.RecordOffset != expected) {
        Log("Invalid field offset for field " + f + HeaderSuffix());
        if (!verify_) d.RecordOffset = static_cast<std::uint16_t>(expected);
      }
      if (!auto_increment) offset += d.DataSize + 1u;
    }
    if (d.FieldNumber != i + 1) {
      Log("Invalid field number for field " + f + " in table header, error fixed");
      d.FieldNumber = static_cast<std::uint16_t>(i + 1);
    }
  }
  // The descriptors reach the file when the table closes. A verification writes them only when
  // one of its own fixes changed them.
  if (!verify_ || fields != before) data_.MarkDescriptorsChanged();

  const auto mark = [&] { data_.MarkHeaderChanged(); };
  const bool record_size_ok = offset <= kRecordSizeLimit && h.RecordSize == offset;
  if (!record_size_ok && !verify_ && HoldsWholeRecords()) {
    // The file holds exactly the records the header counts, each of the stored length: the
    // descriptors are what is damaged. Another stride would read every record at the wrong
    // place; the table is left as it was.
    Log("Invalid physical record length in table header, error cannot be fixed");
    RaiseEngineError(kHeaderCorrupt, table_.TableName());
  }
  if (!record_size_ok) {
    Log(std::string("Invalid physical record length in table header, ") + Outcome());
    if (!verify_ && offset <= kRecordSizeLimit) {
      h.RecordSize = static_cast<std::uint16_t>(offset);
      mark();
    }
  }
  // A verification goes on with the stored length when it can.
  record_size_ = h.RecordSize >= kRecordHeaderSize ? h.RecordSize : 0;
  if (record_size_ != 0) {
    const std::int64_t size = data_.GetSize();
    if (size > header_size && (size - header_size) % record_size_ != 0) {
      Log(std::string("Physical records not aligned on even record size boundaries, ") + Outcome());
      if (!verify_) data_.WriteAt(size - (size - header_size) % record_size_, {});
    }
    const std::int64_t slots = std::max<std::int64_t>(0, data_.GetSize() - header_size) / record_size_;
    if (slots + 1 != h.NextRecordSlot) {
      Log(std::string("Physical record count not correct, ") + Outcome());
      if (!verify_) {
        h.NextRecordSlot = static_cast<std::int32_t>(std::min<std::int64_t>(slots, kMaxRecordSlots) + 1);
        mark();
      }
    }
  }
  if (!verify_) {
    h.HeaderChangeCount = static_cast<std::int32_t>(OsTickCount()) + h.NextRecordSlot;
    mark();
  }
  const std::int16_t blob_fields = CountBlobFields(fields);
  if (blob_fields != h.BlobFieldCount) {
    Log(std::string("Invalid BLOB field count in table header, ") + Outcome());
    if (!verify_) {
      h.BlobFieldCount = blob_fields;
      mark();
    }
  }
  if (!verify_) {
    h.FirstFreeRecord = 0;
    mark();
    records_.RecordSizeChanged();
    records_.SetCacheSize(
        std::max(1, std::min(kRepairRecordCacheBytes / std::max<int>(1, h.RecordSize), 65535)));
  }
}

bool TRepairRun::HoldsWholeRecords() {
  const TDataHeader& h = data_.Header();
  if (h.RecordSize < kRecordHeaderSize) return false;
  const std::int64_t bytes = data_.GetSize() - data_.RecordAreaOffset();
  return bytes > 0 && bytes % h.RecordSize == 0 && bytes / h.RecordSize + 1 == h.NextRecordSlot;
}

void TRepairRun::CheckFieldNames(std::size_t i, const std::vector<std::string>& original_upper) {
  std::vector<TFieldDescriptor>& fields = data_.MutableDescriptors();
  TFieldDescriptor& d = fields[i];
  const std::string n = std::to_string(d.FieldNumber);
  if (d.FieldName.empty()) {
    Log("Invalid field name (blank) for field # " + n + HeaderSuffix());
    if (!verify_) d.FieldName = NameForBlank(i, original_upper);
  } else {
    const std::string upper = UpperCase(data_.LanguageID(), data_.SortID(), d.FieldName);
    if (upper.empty() || !ValidNameStart(static_cast<unsigned char>(upper.front()))) {
      Log("Invalid field name (first character) for field " + Cut(d.FieldName, kMessageNameLength) +
          HeaderSuffix());
      if (!verify_) d.FieldName = Cut("_" + d.FieldName, kFieldNameWidth);
    }
  }
  if (d.FieldName.size() > kFieldNameWidth) {
    Log("Invalid field name (too long) for field " + Cut(d.FieldName, kMessageNameLength) + HeaderSuffix());
    if (!verify_) d.FieldName = Cut(d.FieldName, kFieldNameWidth);
  }
  // Reported for every other field that bore the same name; mended while a clash with a current
  // name remains. Putting the bare number in front would make a name that begins with a digit,
  // so "_" goes before it.
  const std::string mine = original_upper[i];
  if (mine.empty()) return;
  for (std::size_t j = 0; j < fields.size(); ++j) {
    if (j == i || original_upper[j] != mine) continue;
    Log("Invalid field name (duplicate) for field " + Cut(d.FieldName, kMessageNameLength) + HeaderSuffix());
    if (verify_) continue;
    const std::string current = UpperTrimmed(data_, d.FieldName);
    const bool clash = std::any_of(fields.begin(), fields.end(), [&](const TFieldDescriptor& other) {
      return &other != &d && UpperTrimmed(data_, other.FieldName) == current;
    });
    if (clash) d.FieldName = Cut("_" + n + d.FieldName, kFieldNameWidth);
  }
}

std::string TRepairRun::NameForBlank(std::size_t i, const std::vector<std::string>& original_upper) const {
  // The number the field has once the header is mended: a damaged number (two blank fields with
  // number 0, say) must not give two fields one name, which no open would accept.
  const std::vector<TFieldDescriptor>& fields = data_.Descriptors();
  std::string name = Cut("Repaired_Fld" + std::to_string(i + 1), kFieldNameWidth);
  const auto taken = [&](const std::string& candidate) {
    const std::string upper = UpperTrimmed(data_, candidate);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      if (j != i && (original_upper[j] == upper || UpperTrimmed(data_, fields[j].FieldName) == upper))
        return true;
    }
    return false;
  };
  while (taken(name) && name.size() < kFieldNameWidth) name = "_" + name;
  return name;
}

// --- Index definition phase ---

void TRepairRun::IndexDefinitionPhase() {
  TIndexHeader& h = index_.MutableHeader();
  const TIndexHeader before = h;
  if (h.secondary_count > kMaxSecondaryIndexes) h.secondary_count = kMaxSecondaryIndexes;
  std::vector<bool> removal(kIndexSlotCount, false);
  for (int slot = 0; slot <= h.secondary_count; ++slot) CheckIndexSlot(slot, removal);
  if (!verify_) {
    for (int slot = h.secondary_count; slot >= 0; --slot) {
      if (!removal[static_cast<std::size_t>(slot)]) continue;
      if (slot == kPrimarySlot) {
        SetNoPrimaryIndex(h, true);
      } else {
        DeleteSecondaryIndex(h, slot);
      }
    }
  }
  TIndexDescriptor& sys = h.slots[kSysDeletedSlot];
  sys.name = kSysDeletedName;
  sys.key_length = kSysDeletedKeyLength;
  sys.compression = 0;
  if (!verify_ || !(h == before)) index_.MarkModified();
}

void TRepairRun::CheckIndexSlot(int slot, std::vector<bool>& removal) {
  TIndexHeader& h = index_.MutableHeader();
  TIndexDescriptor& d = h.slots[static_cast<std::size_t>(slot)];
  const std::vector<TFieldDescriptor>& fields = data_.Descriptors();
  if (slot != kPrimarySlot) {
    const std::string upper = UpperCase(data_.LanguageID(), data_.SortID(), TrimBlanks(d.name));
    if (upper.empty() || !ValidNameStart(static_cast<unsigned char>(upper.front()))) {
      Log("Invalid index name for index " + Cut(d.name, kMessageNameLength) + ", error fixed");
      d.name = Cut("_" + d.name, kMaxIndexNameLength);
    }
    for (int j = 1; j <= h.secondary_count; ++j) {
      if (j == slot) continue;
      if (UpperCase(data_.LanguageID(), data_.SortID(),
                    TrimBlanks(h.slots[static_cast<std::size_t>(j)].name)) != upper)
        continue;
      Log("Duplicate index name for index " + Cut(d.name, kMessageNameLength) + ", error fixed");
      d.name = Cut("_" + d.name, kMaxIndexNameLength);
    }
  } else {
    d.name.clear();
    d.unique = 1;
  }
  // A compression this engine does not know cannot be read back; keys are stored plainly.
  if (d.compression > static_cast<std::uint8_t>(TKeyCompression::kFull)) d.compression = 0;
  const std::string name = Cut(d.name, kMessageNameLength);
  int key_size = 0;
  int k = 1;
  if (d.field_numbers[0] != 0) {
    while (k <= kMaxKeyFields && d.field_numbers[static_cast<std::size_t>(k - 1)] != 0) {
      const std::uint16_t number = d.field_numbers[static_cast<std::size_t>(k - 1)];
      const TFieldDescriptor* field = nullptr;
      for (const TFieldDescriptor& f : fields) {
        if (f.FieldNumber == number) field = &f;
      }
      // A blob field cannot be part of a key: it counts as a field the table does not have.
      if (field != nullptr && field->FieldType == kTypeBlob) field = nullptr;
      if (slot == kPrimarySlot && h.no_primary != 0 && field == nullptr) break;
      if (slot == kPrimarySlot) h.no_primary = 0;
      if (field != nullptr) {
        key_size += field->DataSize + 1;
        ++k;
        continue;
      }
      Log("Invalid field number " + std::to_string(number) + " in index " + name +
          ", field removed from index");
      for (int m = k; m < kMaxKeyFields; ++m) {
        d.field_numbers[static_cast<std::size_t>(m - 1)] = d.field_numbers[static_cast<std::size_t>(m)];
        d.field_descending[static_cast<std::size_t>(m - 1)] = d.field_descending[static_cast<std::size_t>(m)];
      }
      d.field_numbers[kMaxKeyFields - 1] = 0;
      d.field_descending[kMaxKeyFields - 1] = 0;
    }
  }
  if (k == 1 && slot == kPrimarySlot) SetNoPrimaryIndex(h, true);
  const bool no_primary_slot = slot == kPrimarySlot && h.no_primary != 0;
  if (key_size > kMaxKeyFieldBytes || (key_size == 0 && !no_primary_slot)) {
    const std::string text = "Invalid key size of " + std::to_string(key_size) + " for index " + name;
    if (verify_) {
      Log(text + ", error not fixed");
      unsound_definitions_[static_cast<std::size_t>(slot)] = true;
    } else {
      Log(text + ", error fixed and index removed");
      removal[static_cast<std::size_t>(slot)] = true;
    }
  }
  if (!removal[static_cast<std::size_t>(slot)]) {
    if (d.unique == 0 && !no_primary_slot) key_size += kKeySuffixSize;
    if (d.key_length != key_size) {
      Log("Invalid key size of " + std::to_string(d.key_length) + " for index " + name + ", error fixed");
      d.key_length = static_cast<std::uint16_t>(key_size);
    }
  }
  d.field_count = static_cast<std::uint8_t>(k - 1);
}

// --- Blob file ---

void TRepairRun::OpenBlobFile() {
  TBlobFile& blob = table_.BlobFile();
  if (blob.IsOpen()) return;
  // A count of blob fields that no descriptor has asks for no blob file.
  if (CountBlobFields(data_.Descriptors()) == 0) return;
  // The header claimed no blob fields when the table opened: the file comes now.
  blob.SetBlockSize(data_.BlobBlockSize());
  try {
    blob.Open();
  } catch (const ETarvoEngineError& e) {
    if (verify_ || EngineCode(e) != kInvalidPath) throw;
    blob.Create();
  }
}

// --- Record phase ---

std::int32_t TRepairRun::SlotsToVisit() const {
  // Only slots the file holds: a verification leaves a wrong record count as it is.
  if (record_size_ == 0) return 0;
  const std::int64_t in_file =
      std::max<std::int64_t>(0, data_.GetSize() - data_.RecordAreaOffset()) / record_size_;
  return static_cast<std::int32_t>(
      std::max<std::int64_t>(0, std::min<std::int64_t>(data_.Header().NextRecordSlot - 1, in_file)));
}

void TRepairRun::RecordPhase() {
  if (!verify_) {
    keyed_slots_.clear();
    deferred_slots_.clear();
    for (const int slot : AllIndexSlots(index_)) {
      const bool unique = index_.Header().slots[static_cast<std::size_t>(slot)].unique != 0;
      if (slot == kSysDeletedSlot || unique) {
        keyed_slots_.push_back(slot);
      } else {
        deferred_slots_.push_back(slot);
      }
    }
  }
  const std::string& file = data_.FileName();
  const std::size_t dot = file.find_last_of('.');
  const std::string base =
      dot != std::string::npos && file.find('/', dot) == std::string::npos ? file.substr(0, dot) : file;
  const std::int32_t slots = SlotsToVisit();
  if (!verify_) {
    for (const int slot : keyed_slots_) {
      trees_.push_back(std::make_unique<TIndexTree>(index_, slot, data_.Descriptors(), data_.LanguageID(),
                                                    data_.SortID()));
    }
    const std::vector<std::size_t> shares = SortShares(kStreamedKeysBudget, trees_);
    for (std::size_t i = 0; i < trees_.size(); ++i) {
      TIndexTree& tree = *trees_[i];
      streams_.push_back(std::make_unique<TStreamedIndex>(tree, shares[i], SpillName(base, tree.Slot()),
                                                          data_.InMemory(), slots));
      keys_.emplace_back(tree.KeyLength());
      id_keyed_.push_back(KeyHoldsId(tree));
    }
    if (!deferred_slots_.empty()) {
      // Sorted on the second core while this one reads and settles the records.
      deferred_ = std::make_unique<TIndexBuild>(table_, deferred_slots_, base, data_.InMemory(),
                                                kIndexBuildBudget, slots, true);
    }
  }
  records_read_ = record_size_ != 0 && record_size_ == data_.RecordSize();
  if (verify_ && records_read_) {
    // The keys of every index whose definition holds, made from the records on the second core.
    std::vector<int> compared;
    for (const int slot : AllIndexSlots(index_)) {
      if (!unsound_definitions_[static_cast<std::size_t>(slot)]) compared.push_back(slot);
    }
    deferred_ = std::make_unique<TIndexBuild>(table_, compared, base, data_.InMemory(), kIndexBuildBudget,
                                              slots, true);
  }
  if (records_read_) {
    // The pass changes records in place only: the slot count stays as the header phase left it.
    for (std::int32_t r = 1; r <= slots; ++r) {
      HandleRecord(r);
      Progress(r);
    }
  }
  if (!verify_) {
    RenewIds();
    for (const auto& stream : streams_) stream->Finish();
    streams_.clear();
  }
  if (verify_) {
    if (blobs_ != nullptr && records_read_) blobs_->CheckFreeList(lines_ == 1);
    CheckIndexes();
  } else if (deferred_ != nullptr) {
    deferred_->Finish();
  }
  deferred_.reset();
  // Repair: an operation cut off between the data file and the index file's header leaves a
  // count that the records do not bear out (a verification compares it in CheckIndexes).
  if (!verify_ && records_read_ && stored_active_ >= 0 && stored_active_ != found_in_use_) {
    Log(std::string("Invalid active record count in index file header, ") + Outcome());
  }
  // Blocks missing from the free list count only where nothing else was found: damage named
  // before (a value given up, a blob field in doubt) leaves blocks that no list holds.
  if (!verify_ && blobs_ != nullptr && records_read_) blobs_->CheckFreeList(lines_ == 1);
  if (!verify_) {
    index_.MutableHeader().active_records = active_;
    index_.MarkModified();
    if (blobs_ != nullptr) blobs_->FreeOrphans();
  }
  if (data_.LastAutoIncrement() < highest_id_ || counter_raised_) {
    Log(std::string("Invalid next available record ID (auto-increment), ") + Outcome());
    if (!verify_) data_.SetLastAutoIncrement(highest_id_);
  }
}

void TRepairRun::CheckIndexes() {
  const std::int64_t page_end = std::min<std::int64_t>(index_.Header().next_page, index_.GetSize());
  TPageSet pages(static_cast<std::int32_t>(page_end));
  std::vector<bool> walked(kIndexSlotCount, false);
  if (deferred_ != nullptr) {
    deferred_->Compare([&](TIndexTree& tree, TKeySorter& keys) {
      walked[static_cast<std::size_t>(tree.Slot())] = true;
      CheckTree(tree, &keys, pages);
    });
  }
  for (const int slot : AllIndexSlots(index_)) {
    // A definition reported already is passed over: its pages may mean anything.
    if (walked[static_cast<std::size_t>(slot)] || unsound_definitions_[static_cast<std::size_t>(slot)])
      continue;
    TIndexTree tree(index_, slot, data_.Descriptors(), data_.LanguageID(), data_.SortID());
    CheckTree(tree, nullptr, pages);
  }
  if (records_read_ && index_.ActiveRecordCount() != active_)
    Log(std::string("Invalid active record count in index file header, ") + Outcome());
}

void TRepairRun::CheckTree(TIndexTree& tree, TKeySorter* keys, TPageSet& pages) {
  TTreeCheck check(tree, pages);
  // In step: the tree's entries, in its order, against the keys made from the records.
  bool keys_match = true;
  if (keys != nullptr) {
    std::span<const std::byte> key;
    std::int32_t record = 0;
    keys->Drain([&](std::span<const std::byte> made, std::int32_t slot) {
      if (!keys_match) return;
      keys_match = check.Next(key, record) && record == slot &&
                   std::equal(key.begin(), key.end(), made.begin(), made.end());
    });
    // An entry left over names no record.
    if (keys_match && check.Next(key, record)) keys_match = false;
  }
  check.Finish();
  const int slot = tree.Slot();
  const std::string label =
      slot == kPrimarySlot ? std::string("primary index") : "index " + Cut(tree.Name(), kMessageNameLength);
  if (!check.TreeFaults().empty()) Log("Invalid index tree for " + label + ", " + Outcome());
  if (!check.FreeChainFaults().empty()) Log("Invalid free page chain for " + label + ", " + Outcome());
  if (!keys_match) Log("Invalid index keys for " + label + ", " + Outcome());
}

void TRepairRun::Progress(std::int32_t r) {
  if (!callbacks_.progress) return;
  const std::int32_t n = std::max(1, data_.Header().NextRecordSlot - 1);
  const double percent = std::trunc(static_cast<double>(r) / n * 100.0);
  callbacks_.progress(r, static_cast<std::uint16_t>(std::clamp(percent, 0.0, 100.0)));
}

bool TRepairRun::IdTaken(const TRecordPin& pin) {
  if (verify_) return false;
  std::vector<std::byte>& key = keys_.back();
  trees_.back()->Codec().BuildInto(pin->Bytes(), key);
  key[0] = std::byte{pin->Deleted() ? std::uint8_t{1} : std::uint8_t{0}};  // the flag as it stands
  return streams_.back()->Contains(key);
}

void TRepairRun::ReportId(std::int32_t r) {
  Log("Logical record ID for physical record # " + std::to_string(r) + " is " + "invalid, " + Outcome());
}

bool TRepairRun::KeyHoldsId(const TIndexTree& tree) const {
  const TIndexDescriptor& d = tree.Descriptor();
  const std::vector<TFieldDescriptor>& fields = data_.Descriptors();
  for (std::size_t k = 0; k < d.field_count && k < d.field_numbers.size(); ++k) {
    const std::uint16_t number = d.field_numbers[k];
    if (number >= 1 && number <= fields.size() &&
        IsAutoIncrement(fields[number - 1u].FieldType, fields[number - 1u].FieldSubType))
      return true;
  }
  return false;
}

void TRepairRun::RenewIds() {
  if (renew_.empty()) return;
  const std::int32_t floor = std::max(highest_id_, 0);
  if (data_.LastAutoIncrement() < floor) {
    data_.SetLastAutoIncrement(floor);
    counter_raised_ = true;
  }
  const std::size_t keyed = trees_.size() - 1;
  for (std::size_t slot = 1; slot < renew_.size(); ++slot) {
    if (!renew_[slot]) continue;
    const auto r = static_cast<std::int32_t>(slot);
    TRecordPin pin = records_.GetRecord(nullptr, r, true, TReadAhead::kSlotOrder);
    if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table_.TableName());
    highest_id_ = std::max(highest_id_, FreshId(pin));
    pin->SetModified(true);
    if (!pin->Deleted()) {
      // Past every ID in use, such a key has no equal; checked all the same.
      for (std::size_t i = 0; i < keyed; ++i) {
        if (!id_keyed_[i]) continue;
        trees_[i]->Codec().BuildInto(pin->Bytes(), keys_[i]);
        if (trees_[i]->Unique()) streams_[i]->CheckUnique(keys_[i]);
      }
      for (std::size_t i = 0; i < keyed; ++i) {
        if (id_keyed_[i]) streams_[i]->Insert(keys_[i], r);
      }
    }
    InsertSysDeleted(pin);
    if (deferred_ != nullptr) deferred_->Add(pin->Bytes(), r);
  }
  renew_.clear();
}

std::int32_t TRepairRun::FreshId(TRecordPin& pin) {
  std::vector<std::byte>& key = keys_.back();
  for (;;) {
    const std::int32_t id = data_.NextAutoIncrement();
    pin->SetAutoIncrement(id);
    trees_.back()->Codec().BuildInto(pin->Bytes(), key);
    key[0] = std::byte{0};
    if (streams_.back()->Contains(key)) continue;
    key[0] = std::byte{1};
    if (!streams_.back()->Contains(key)) return id;
  }
}

void TRepairRun::HandleRecord(std::int32_t r) {
  TRecordPin pin = records_.GetRecord(nullptr, r, true, TReadAhead::kSlotOrder);
  if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table_.TableName());
  // Two records with one logical ID would give equal keys: the later one gets a new ID, as does a
  // record without one. The new ID must lie past every ID that a record keeps, which is known only
  // after the pass.
  bool renew = false;
  if (pin->AutoIncrement() == 0 || IdTaken(pin)) {
    ReportId(r);
    renew = !verify_;
  }
  highest_id_ = std::max(highest_id_, pin->AutoIncrement());
  if (!pin->Deleted()) {
    LiveRecord(pin, r, renew);
  } else {
    DeletedRecord(pin, r, renew);
  }
  if (renew) {
    if (renew_.size() <= static_cast<std::size_t>(r))
      renew_.resize(
          std::max<std::size_t>(static_cast<std::size_t>(r) + 1,
                                static_cast<std::size_t>(std::max(data_.Header().NextRecordSlot, 1))));
    renew_[static_cast<std::size_t>(r)] = true;
  } else if (deferred_ != nullptr) {
    // Settled: no later record changes this one.
    deferred_->Add(pin->Bytes(), r);
  }
}

void TRepairRun::LiveRecord(TRecordPin& pin, std::int32_t r, bool& renew) {
  ++active_;
  ++found_in_use_;
  try {
    if (data_.BlobFieldCount() > 0) BlobFields(pin, r, true);
    if (!verify_) RebuildKeys(pin, r, renew);
  } catch (const ETarvoEngineError& e) {
    // A file that cannot be read or written is no damage of the record: passed over, it would
    // leave the record out of its indexes (or its blob cut) and the run would end as a success.
    if (IsSystemFailure(EngineCode(e))) throw;
    if (verify_ || EngineCode(e) != kDuplicateKey) return;
    Log("Error rebuilding index keys for physical record # " + std::to_string(r) + ", " +
        "error fixed but physical record deleted");
    if (data_.BlobFieldCount() > 0) ReleaseBlobValues(pin, r);
    records_.FreeSlot(*pin);
    // Deleted now, the record may share its ID with a deleted one.
    if (!renew && IdTaken(pin)) renew = true;
    if (!renew) InsertSysDeleted(pin);
    --active_;
  }
}

void TRepairRun::DeletedRecord(TRecordPin& pin, std::int32_t r, bool renew) {
  if (!verify_) records_.FreeSlot(*pin);
  if (data_.BlobFieldCount() > 0) BlobFields(pin, r, false);
  if (!verify_ && !renew) InsertSysDeleted(pin);
}

void TRepairRun::BlobFields(TRecordPin& pin, std::int32_t r, bool live) {
  if (blobs_ != nullptr) blobs_->BeginRecord();
  const std::span<std::byte> bytes = pin->Bytes();
  for (const TFieldDescriptor& d : data_.Descriptors()) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    if (static_cast<std::size_t>(d.RecordOffset) + 9 > bytes.size()) continue;
    const std::span<std::byte> slot = bytes.subspan(d.RecordOffset, 9);
    const std::uint8_t presence = GetU8(slot, 0);
    std::int32_t reference = GetI32(slot, 1);
    const std::int32_t stamp = GetI32(slot, 5);
    if (reference == 0) continue;
    const std::string bad_offset =
        "Invalid BLOB offset into BLOB file for physical record # " + std::to_string(r) + ", " + Outcome();
    if (presence != 1) {
      Log(bad_offset);
      if (blobs_ != nullptr) blobs_->NoteLostValue();
      if (!verify_) {
        PutU8(slot, 0, 0);
        PutI32(slot, 1, 0);
        pin->SetModified(true);
      }
      continue;
    }
    if (blobs_ == nullptr || !blobs_->InRange(reference)) {
      Log(bad_offset);
      if (blobs_ != nullptr) blobs_->NoteLostValue();
      reference = 0;
    } else if (live) {
      blobs_->CheckLiveChain(r, stamp, reference);
    } else {
      blobs_->ReleaseChain(r, stamp, reference);
      reference = 0;
    }
    if (verify_) continue;
    const std::uint8_t mended = reference != 0 ? 1 : 0;
    if (presence == mended && GetI32(slot, 1) == reference) continue;  // a sound record stays unwritten
    PutU8(slot, 0, mended);
    PutI32(slot, 1, reference);
    pin->SetModified(true);
  }
}

void TRepairRun::ReleaseBlobValues(TRecordPin& pin, std::int32_t r) {
  if (blobs_ != nullptr) blobs_->ForgetRecord();
  const std::span<std::byte> bytes = pin->Bytes();
  for (const TFieldDescriptor& d : data_.Descriptors()) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    if (static_cast<std::size_t>(d.RecordOffset) + 9 > bytes.size()) continue;
    const std::span<std::byte> slot = bytes.subspan(d.RecordOffset, 9);
    std::int32_t reference = GetI32(slot, 1);
    if (reference != 0 && blobs_ != nullptr && blobs_->InRange(reference)) {
      blobs_->ReleaseChain(r, GetI32(slot, 5), reference);
    }
    PutU8(slot, 0, 0);
    PutI32(slot, 1, 0);
    pin->SetModified(true);
  }
}

void TRepairRun::RebuildKeys(TRecordPin& pin, std::int32_t r, bool renew) {
  const std::span<const std::byte> bytes = pin->Bytes();
  const std::size_t keyed = trees_.size() - 1;
  for (std::size_t i = 0; i < keyed; ++i) {
    if (renew && id_keyed_[i]) continue;
    trees_[i]->Codec().BuildInto(bytes, keys_[i]);
    if (trees_[i]->Unique()) streams_[i]->CheckUnique(keys_[i]);
  }
  for (std::size_t i = 0; i < keyed; ++i) {
    if (!(renew && id_keyed_[i])) streams_[i]->Insert(keys_[i], r);
  }
  if (!renew) InsertSysDeleted(pin);
}

void TRepairRun::InsertSysDeleted(TRecordPin& pin) {
  std::vector<std::byte>& key = keys_.back();
  trees_.back()->Codec().BuildInto(pin->Bytes(), key);
  streams_.back()->Insert(key, pin->SlotNumber());
}

}  // namespace

std::string RepairTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[128] = {};
  // The user's formats, without touching the process's locale. Made once: building a locale
  // reads its files, and the environment that names it does not change while the process runs.
  static const locale_t user = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  std::size_t length = 0;
  if (user != static_cast<locale_t>(0)) {
    length = strftime_l(text, sizeof text, "%x %X", &local, user);
  } else {
    length = std::strftime(text, sizeof text, "%x %X", &local);
  }
  return std::string(text, length);
}

void RepairTable(TDataCursor& cursor, const TCursorOpenOptions& open, const TRepairOptions& options,
                 const TRepairCallbacks& callbacks) {
  const std::string name = NormalizeTableName(open.table_name);
  if (cursor.IsOpen()) RaiseEngineError(kTableInUse, name);
  if (!open.exclusive) RaiseEngineError(kNeedsExclusive, name);
  if (!options.verify_only && open.read_only) RaiseEngineError(kAccessDenied, name);
  TCursorOpenOptions repair_open = open;
  repair_open.purpose = TCursorPurpose::kRepair;
  // A repair changes the table in place: a copy of its files taken first rolls an interrupted
  // run back (declared before the open, so that it acts after the table is closed).
  TSnapshotGuard snapshot;
  cursor.Open(repair_open);
  try {
    // Files the system lets us only read cannot take the fixes.
    if (!options.verify_only && cursor.ReadOnly())
      RaiseEngineError(kAccessDenied, cursor.Table().TableName());
    TDataTable& table = cursor.Table();
    if (!options.verify_only && !table.InMemory()) {
      table.WriteAll(false, false);
      snapshot.Take(table.Directory().Path(), table.BaseName(),
                    {table.DataFile().FileName(), table.IndexFile().FileName(), table.BlobFile().FileName()});
    }
    TRepairRun run(cursor, options, callbacks);
    run.Run();
    if (snapshot.Active()) {
      table.WriteAll(true, true);
      table.FlushFiles();
    }
  } catch (...) {
    try {
      cursor.Close();
    } catch (...) {
      // The operation's own failure is the one to report.
    }
    throw;
  }
  cursor.Close();
  snapshot.Commit();
}

}  // namespace tarvo
