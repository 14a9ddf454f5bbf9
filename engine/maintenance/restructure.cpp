#include "engine/maintenance/restructure.h"

#include <algorithm>
#include <map>
#include <optional>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/header_check.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/index/index_file.h"
#include "engine/index/index_tree.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_exchange.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::size_t kMaxFields = 1024;
constexpr std::size_t kMaxSecondaryByCheck = 32;
constexpr std::uint16_t kMinBlobBlockSize = 64;
constexpr std::size_t kMaxPasswordLength = 15;

// The data-lost callback rule.
class TLossReporter {
 public:
  explicit TLossReporter(const TDataLostCallback& callback) : callback_(callback) {}
  // Returns whether the run goes on.
  bool Lost(std::uint8_t cause, const std::string& context) {
    if (!stop_asking_ && callback_) callback_(cause, context, continue_, stop_asking_);
    return continue_;
  }

 private:
  const TDataLostCallback& callback_;
  bool continue_ = true;
  bool stop_asking_ = false;
};

bool SameText(const std::string& a, const std::string& b) {
  return SameNameIgnoringCase(a, b);
}

// Old field against new definition: what makes the structure change.
bool SameField(const TFieldDescriptor& a, const TFieldDescriptor& b) {
  return a.FieldNumber == b.FieldNumber && a.FieldType == b.FieldType && a.FieldSubType == b.FieldSubType &&
         a.DataSize == b.DataSize && a.DecimalsCopy == b.DecimalsCopy && a.Required == b.Required &&
         a.CaseMapping == b.CaseMapping && SameText(a.DefaultValue, b.DefaultValue) &&
         SameText(a.MinValue, b.MinValue) && SameText(a.MaxValue, b.MaxValue);
}

// The position (1-based) of the new field with `number`, or 0.
std::uint16_t PositionOf(const std::vector<TFieldDescriptor>& fields, std::uint16_t number) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].FieldNumber == number) return static_cast<std::uint16_t>(i + 1);
  }
  return 0;
}

// 1. to 7.: the checks of a new definition, in order. Completes the descriptors (sizes, layout,
// key lengths). Raises naming the table.
void Validate(TRestructureRequest& r, const std::string& table) {
  if (r.encrypted) {
    const std::string password(TrimBlanks(r.password));
    if (password.empty() || password.size() > kMaxPasswordLength) RaiseEngineError(kInvalidPassword, table);
  }
  if (r.language_id != 0 && !LocaleIsValid(r.language_id, r.sort_id))
    RaiseEngineError(kLocaleUnavailable, table);
  if (r.fields.size() > kMaxFields || r.fields.empty() || r.last_auto_inc_value < -1)
    RaiseEngineError(kFieldLimits, table);
  const std::size_t secondary = r.indexes.empty() ? 0 : r.indexes.size() - 1;
  // The index file holds 30 secondary indexes: a 31st would land on the system index's slot.
  if (secondary > kMaxSecondaryByCheck || secondary > static_cast<std::size_t>(kMaxSecondaryIndexes))
    RaiseEngineError(kIndexLimits, table);
  if (r.blob_block_size < kMinBlobBlockSize) RaiseEngineError(kBlobFieldLimits, table);
  // 6. Fields.
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    TFieldDescriptor& f = r.fields[i];
    f.FieldName = std::string(TrimBlanks(f.FieldName));
    if (!IsValidFieldName(f.FieldName, r.language_id, r.sort_id) || f.FieldName.size() > kFieldNameWidth ||
        !IsStorableName(f.FieldName))
      RaiseEngineError(kInvalidFieldName, table, f.FieldName);
    for (std::size_t j = 0; j < i; ++j) {
      // Compared as the open of the table will compare them.
      if (SameFieldName(r.fields[j].FieldName, f.FieldName, r.language_id, r.sort_id))
        RaiseEngineError(kInvalidFieldName, table, f.FieldName);
      if (r.fields[j].FieldNumber == f.FieldNumber) RaiseEngineError(kInvalidFieldDef, table, f.FieldName);
    }
    if (f.FieldType == kTypeNone) RaiseEngineError(kInvalidFieldDef, table, f.FieldName);
    if (TypeHasSize(f.FieldType)) {
      if (f.FieldSize == 0 || f.FieldSize > kMaxFieldSize)
        RaiseEngineError(kInvalidFieldDef, table, f.FieldName);
    } else {
      f.FieldSize = 0;
    }
    if (f.FieldType != kTypeFixed) f.FieldDecimals = 0;
    for (const std::string* text : {&f.DefaultValue, &f.MinValue, &f.MaxValue}) {
      if (!IsValidValueText(f.FieldType, f.FieldSubType, f.FieldSize, f.FieldDecimals, *text))
        RaiseEngineError(kInvalidValidity, table, f.FieldName);
    }
  }
  std::vector<TFieldDescriptor> laid_out = r.fields;
  const std::int32_t size = DeriveRecordLayout(laid_out, false);
  if (size < 0) RaiseEngineError(static_cast<TEngineCode>(-size), table);
  // Layout values, with the pairing numbers kept.
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    const std::uint16_t number = r.fields[i].FieldNumber;
    r.fields[i] = laid_out[i];
    r.fields[i].FieldNumber = number;
  }
  // 7. Indexes.
  if (r.indexes.empty()) r.indexes.emplace_back();
  for (std::size_t s = 0; s < r.indexes.size(); ++s) {
    TIndexDescriptor& d = r.indexes[s];
    if (s == 0) {
      d.name.clear();
      d.unique = 1;
    } else {
      d.name = std::string(TrimBlanks(d.name));
      if (d.name.empty() || !IsIdentifierStart(d.name[0]) || !IsStorableName(d.name))
        RaiseEngineError(kInvalidIndexName, table, {}, {}, d.name);
      for (std::size_t o = 1; o < s; ++o) {
        if (SameNameIgnoringCase(r.indexes[o].name, d.name))
          RaiseEngineError(kIndexExists, table, {}, {}, d.name);
      }
    }
    int count = 0;
    int bytes = 0;
    for (; count < kMaxKeyFields; ++count) {
      const std::uint16_t number = d.field_numbers[static_cast<std::size_t>(count)];
      if (number == 0) break;
      const std::uint16_t position = PositionOf(r.fields, number);
      if (position == 0) {
        if (s == 0) break;
        RaiseEngineError(kInvalidIndexField, table, {}, std::to_string(number), d.name);
      }
      const TFieldDescriptor& f = r.fields[position - 1u];
      if (f.FieldType == kTypeBlob) RaiseEngineError(kInvalidIndexFieldType, table, {}, {}, d.name);
      bytes += f.DataSize + 1;
    }
    for (int rest = count; rest < kMaxKeyFields; ++rest) d.field_numbers[static_cast<std::size_t>(rest)] = 0;
    if ((s != 0 || count > 0) && (bytes == 0 || bytes > kMaxKeyFieldBytes))
      RaiseEngineError(kInvalidKeySize, table, {}, {}, d.name);
    d.field_count = static_cast<std::uint8_t>(count);
    d.key_length = static_cast<std::uint16_t>(bytes + (d.unique != 0 ? 0 : kKeySuffixSize));
    if (s == 0 && count == 0) d.key_length = 0;
    d.root = 0;
    d.free_head = 0;
  }
}

// The index definition with its key fields as positions of the new fields.
TIndexDescriptor WithPositions(TIndexDescriptor d, const std::vector<TFieldDescriptor>& fields) {
  for (int i = 0; i < d.field_count; ++i) {
    d.field_numbers[static_cast<std::size_t>(i)] =
        PositionOf(fields, d.field_numbers[static_cast<std::size_t>(i)]);
  }
  return d;
}

bool StructureChanged(const TRestructureRequest& r, TDataTable& table) {
  const TDataFile& data = table.DataFile();
  if (r.encrypted != data.Encrypted() || r.blob_block_size != data.BlobBlockSize() ||
      r.language_id != data.LanguageID() || r.sort_id != data.SortID() ||
      r.fields.size() != data.Descriptors().size()) {
    return true;
  }
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    if (!SameField(data.Descriptors()[i], r.fields[i])) return true;
  }
  return false;
}

// Whether index slot `s` of the table differs from the new definition.
bool SlotDiffers(const TIndexDescriptor& old_def, const TIndexDescriptor& new_def,
                 const TRestructureRequest& r, TDataTable& table) {
  if (old_def.key_length != new_def.key_length || old_def.field_count != new_def.field_count ||
      old_def.descending != new_def.descending || old_def.case_insensitive != new_def.case_insensitive ||
      old_def.unique != new_def.unique || old_def.compression != new_def.compression) {
    return true;
  }
  const auto& old_fields = table.DataFile().Descriptors();
  for (int i = 0; i < new_def.field_count; ++i) {
    const std::uint16_t number = new_def.field_numbers[static_cast<std::size_t>(i)];
    const std::uint16_t position = PositionOf(r.fields, number);
    if (position == 0) RaiseEngineError(kInvalidField, table.TableName(), std::to_string(number));
    const std::uint16_t old_number = old_def.field_numbers[static_cast<std::size_t>(i)];
    if (old_number != position || old_number == 0 || old_number > old_fields.size()) return true;
    if (!SameField(old_fields[old_number - 1u], r.fields[position - 1u])) return true;
  }
  return false;
}

// Marks every slot of the new definition that must be built (slot 0 counts only with fields).
std::vector<bool> ChangedSlots(const TRestructureRequest& r, TDataTable& table) {
  const TIndexFile& index = table.IndexFile();
  const int old_count = index.SecondaryIndexCount();
  std::vector<bool> changed(r.indexes.size(), false);
  for (std::size_t s = 0; s < r.indexes.size(); ++s) {
    const bool new_has = s != 0 || r.indexes[0].field_count > 0;
    const bool old_has = s == 0 ? !index.NoPrimaryIndex() : static_cast<int>(s) <= old_count;
    if (!new_has) continue;
    changed[s] = !old_has || SlotDiffers(index.Header().slots[s], r.indexes[s], r, table);
  }
  return changed;
}

bool IndexesChanged(const TRestructureRequest& r, TDataTable& table, const std::vector<bool>& changed) {
  const TIndexFile& index = table.IndexFile();
  if (static_cast<int>(r.indexes.size()) - 1 != index.SecondaryIndexCount()) return true;
  if ((r.indexes[0].field_count > 0) == index.NoPrimaryIndex()) return true;
  return std::find(changed.begin(), changed.end(), true) != changed.end();
}

void WriteTableValues(TDataTable& table, const TRestructureRequest& r) {
  TDataFile& data = table.DataFile();
  data.UpdateHeaderInfo(r.encrypted ? r.password : std::string(), r.description, r.user_major_version,
                        r.user_minor_version, r.last_auto_inc_value);
}

// Way 1: names, descriptions and validity texts into the descriptors; the header values.
void RewriteDescriptors(TDataTable& table, const TRestructureRequest& r) {
  TIndexFile& index = table.IndexFile();
  TIndexHeader& header = index.MutableHeader();
  bool index_changed = false;
  for (std::size_t s = 0; s < r.indexes.size(); ++s) {
    if (s == 0 && index.NoPrimaryIndex()) continue;
    const TIndexDescriptor d = WithPositions(r.indexes[s], r.fields);
    TIndexDescriptor& slot = header.slots[s];
    if (slot.name != d.name || slot.field_numbers != d.field_numbers) {
      slot.name = d.name;
      slot.field_numbers = d.field_numbers;
      index_changed = true;
    }
  }
  if (index_changed) index.MarkModified();
  TDataFile& data = table.DataFile();
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    const TFieldDescriptor& old = data.Descriptors()[i];
    const TFieldDescriptor& d = r.fields[i];
    if (old.FieldName != d.FieldName || old.FieldDescription != d.FieldDescription ||
        old.FieldSubType != d.FieldSubType || old.Required != d.Required || old.MinValue != d.MinValue ||
        old.MaxValue != d.MaxValue || old.DefaultValue != d.DefaultValue) {
      data.UpdateFieldDescriptor(static_cast<std::uint16_t>(i + 1), d);
    }
  }
  WriteTableValues(table, r);
}

std::string BackupIndexPath(TDataTable& table) {
  const std::string dir = table.InMemory() ? std::string() : table.Directory().Path();
  return dir + table.BaseName() + ".IBK";
}

// Puts the index file back from its backup and reads every header again.
void RestoreIndex(TDataTable& table, const std::string& backup) {
  TIndexFile& index = table.IndexFile();
  table.DiscardAll(false, false);
  index.Seek(0, TSeekOrigin::kBegin);
  index.CopyFrom(backup);
  index.Write({});
  index.Flush();
  table.DiscardAll(true, true);
  // The index is back: a backup that stays behind is harmless.
  (void)EngineFileList().DeleteEntry(backup, table.InMemory());
}

// Way 2: the index file rebuilt in place. Returns false when the run was stopped.
bool RebuildIndexes(TDataCursor& cursor, const TRestructureRequest& r, const std::vector<bool>& changed,
                    TLossReporter& losses, const TMaintenanceProgress& progress) {
  TDataTable& table = cursor.Table();
  TIndexFile& index = table.IndexFile();
  TDataFile& data = table.DataFile();
  const bool in_memory = table.InMemory();
  // 1. The backup of the index file as it stands.
  table.WriteAll(true, false);
  const std::string backup = BackupIndexPath(table);
  if (EngineFileList().EntryExists(backup, in_memory)) {
    const int rc = EngineFileList().DeleteEntry(backup, in_memory);
    if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), backup);
  }
  index.CopyTo(backup);
  if (!in_memory) {
    // The backup's name too: a power loss after the change must not take the backup with it.
    SyncFileToDisk(backup);
    TakeOwnerAndMode(backup, index.FileName());
    const std::string directory = table.Directory().Path();
    if (const TOsError error = OsSyncDirectory(directory); error != kOsOk)
      RaiseEngineError(EngineCodeFromOsError(error), directory);
  }
  SizeCachesForBulk(table);
  bool completed = false;
  try {
    // 2. to 4. Every tree is built again: the file is emptied and the new definitions stored.
    index.Empty();
    TIndexHeader& header = index.MutableHeader();
    for (int s = 1; s <= kMaxSecondaryIndexes; ++s)
      header.slots[static_cast<std::size_t>(s)] = TIndexDescriptor{};
    header.secondary_count = 0;
    if (r.indexes[0].field_count == 0) {
      SetNoPrimaryIndex(header, true);
    } else {
      SetNoPrimaryIndex(header, false);
      StoreIndexDefinition(header, 0, WithPositions(r.indexes[0], r.fields));
    }
    for (std::size_t s = 1; s < r.indexes.size(); ++s) {
      StoreIndexDefinition(header, static_cast<int>(s), WithPositions(r.indexes[s], r.fields));
    }
    header.secondary_count = static_cast<std::uint8_t>(r.indexes.size() - 1);
    index.MarkModified();
    // 5. The keys of every record, checked first against the indexes that changed.
    const auto& fields = cursor.Descriptors();
    std::vector<std::unique_ptr<TIndexTree>> trees;
    std::vector<bool> checks;
    for (std::size_t s = 0; s < r.indexes.size(); ++s) {
      if (s == 0 && r.indexes[0].field_count == 0) continue;
      trees.push_back(std::make_unique<TIndexTree>(index, static_cast<int>(s), fields, cursor.LanguageID(),
                                                   cursor.SortID()));
      checks.push_back(changed[s] && trees.back()->Unique());
    }
    TIndexTree deleted_index(index, kSysDeletedSlot, fields, cursor.LanguageID(), cursor.SortID());
    const std::int32_t slots = data.RecordSlotCount();
    std::vector<std::int32_t> doomed;
    std::int32_t active = 0;
    std::vector<std::byte> image;
    std::vector<TKey> keys(trees.size());
    bool stopped = false;
    for (std::int32_t u = 1; u <= slots && !stopped; ++u) {
      {
        TRecordPin pin = table.Records().GetRecord(nullptr, u, true, TReadAhead::kSlotOrder);
        if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table.TableName());
        image.assign(pin->Bytes().begin(), pin->Bytes().end());
      }
      bool keep = !IsRecordDeleted(image);
      if (keep) {
        for (std::size_t t = 0; t < trees.size(); ++t) {
          keys[t] = trees[t]->BuildKey(image);
          if (!checks[t] || !trees[t]->Find(keys[t])) continue;
          if (!losses.Lost(kLossKeyViolation, trees[t]->Name())) {
            stopped = true;
            break;
          }
          keep = false;
          break;
        }
      }
      if (stopped) break;
      if (keep) {
        for (std::size_t t = 0; t < trees.size(); ++t) trees[t]->Insert(keys[t], u);
        ++active;
      } else if (!IsRecordDeleted(image)) {
        doomed.push_back(u);
        SetRecordDeleted(image, true);
      }
      deleted_index.Insert(deleted_index.BuildKey(image), u);
      if (progress) progress(u, ProgressPercent(u, slots));
    }
    if (stopped) {
      RestoreIndex(table, backup);
      return false;
    }
    // 6. The records that broke a new unique index leave the table.
    for (const std::int32_t u : doomed) {
      TRecordPin pin = table.Records().GetRecord(nullptr, u, true, TReadAhead::kNone);
      if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table.TableName());
      FreeStoredBlobs(table, fields, pin->Bytes());
      // As after a deletion through a cursor, the record keeps no reference to the freed blocks.
      std::vector<std::byte> cleared(pin->Bytes().begin(), pin->Bytes().end());
      for (const TFieldDescriptor& d : fields) {
        if (d.FieldType != kTypeBlob || d.NotStored != 0) continue;
        PutBlobRef(FieldSlot(cleared, d), {0, GetBlobRef(ConstFieldSlot(cleared, d)).Stamp});
      }
      pin->CopyFields(cleared);
      table.Records().FreeSlot(*pin);
    }
    header.active_records = active;
    index.MarkModified();
    // 7. The table-wide values, everything written.
    WriteTableValues(table, r);
    table.WriteAll(true, true);
    table.FlushFiles();
    completed = true;
  } catch (...) {
    try {
      RestoreIndex(table, backup);
    } catch (...) {
      // The backup stays beside the table for a repair.
    }
    throw;
  }
  if (!completed) return false;
  if (r.no_backup) {
    const int rc = EngineFileList().DeleteEntry(backup, in_memory);
    if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), backup);
  }
  return true;
}

// A value slot for the auto-increment field, which has no slot of its own in the record.
struct TAutoIncSlot {
  std::array<std::byte, 5> bytes{};
  TFieldDescriptor descriptor;
};

TFieldDescriptor PlainInteger() {
  TFieldDescriptor d;
  d.FieldType = kTypeInt32;
  d.DataSize = 4;
  return d;
}

// Way 3: every record converted into a new table that takes the table's place. Returns false
// when the run was stopped.
// `scratch_base` receives the new table's name (without extension) once it is made.
bool CopyIntoNewTable(TDataCursor& cursor, TMaintenanceOpen& opened, const TCursorOpenOptions& options,
                      const TRestructureRequest& r, TLossReporter& losses,
                      const TMaintenanceProgress& progress, std::string& scratch_base) {
  TDataTable& old_table = cursor.Table();
  const std::string table_name = old_table.TableName();
  TDataSession& session = cursor.Session();
  // 1. The new table.
  TTableDefinition definition;
  definition.fields = r.fields;
  for (std::size_t i = 0; i < definition.fields.size(); ++i)
    definition.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  for (const TIndexDescriptor& d : r.indexes) definition.indexes.push_back(WithPositions(d, r.fields));
  definition.language_id = r.language_id;
  definition.sort_id = r.sort_id;
  definition.blob_block_size = r.blob_block_size;
  definition.description = r.description;
  definition.password = r.encrypted ? std::string(TrimBlanks(r.password)) : std::string();
  definition.encrypted = r.encrypted;
  definition.user_word1 = r.user_major_version;
  definition.user_word2 = r.user_minor_version;
  const bool add_password = r.encrypted && !session.HasPassword(definition.password);
  if (add_password) session.AddPassword(definition.password);
  struct TPasswordGuard {
    TDataSession& session;
    std::string password;
    bool active;
    ~TPasswordGuard() {
      if (active) session.RemovePassword(password);
    }
  } password_guard{session, definition.password, add_password};

  TScratchTable scratch(session, cursor.Directory(), options.in_memory);
  TDataCursor& target = scratch.Create(definition);
  scratch_base = scratch.Base();
  TDataTable& new_table = target.Table();
  SizeCachesForBulk(old_table);
  cursor.SelectSlotOrder();
  const auto& old_fields = cursor.Descriptors();
  const auto& new_fields = target.Descriptors();
  // Old field → new position (0: removed).
  std::vector<std::uint16_t> pairs;
  bool auto_inc_paired = false;
  for (const TFieldDescriptor& d : old_fields) {
    pairs.push_back(PositionOf(r.fields, d.FieldNumber));
    if (pairs.back() != 0) {
      const TFieldDescriptor& n = new_fields[pairs.back() - 1u];
      if (IsAutoIncrement(n.FieldType, n.FieldSubType)) auto_inc_paired = true;
    }
  }
  // 2. Every slot.
  const std::int32_t slots = old_table.DataFile().RecordSlotCount();
  std::vector<std::byte> buffer = target.NewRecordBuffer();
  const TFieldDescriptor plain = PlainInteger();
  for (std::int32_t u = 1; u <= slots; ++u) {
    if (cursor.GoToSlot(u)) {
      const std::vector<std::byte>& record = cursor.CurrentRecord();
      std::fill(buffer.begin(), buffer.end(), std::byte{0});
      bool go_on = true;
      for (std::size_t k = 0; k < old_fields.size() && go_on; ++k) {
        const TFieldDescriptor& from = old_fields[k];
        if (!IsStored(from)) continue;
        const std::string old_name(TrimBlanks(from.FieldName));
        if (pairs[k] == 0) {
          go_on = losses.Lost(kLossFieldRemoved, old_name);
          continue;
        }
        const TFieldDescriptor& to = new_fields[pairs[k] - 1u];
        if (!IsStored(to)) continue;
        // The auto-increment field's value stands at record offset 5, without a null flag.
        std::array<std::byte, 5> from_auto{};
        std::array<std::byte, 5> to_auto{};
        const bool from_is_auto = IsAutoIncrement(from.FieldType, from.FieldSubType);
        const bool to_is_auto = IsAutoIncrement(to.FieldType, to.FieldSubType);
        TConstBytes from_slot = ConstFieldSlot(record, from);
        if (from_is_auto) {
          from_auto[0] = std::byte{1};
          std::copy_n(from_slot.begin(), 4, from_auto.begin() + 1);
          from_slot = from_auto;
        }
        TBytes to_slot = to_is_auto ? TBytes(to_auto) : FieldSlot(buffer, to);
        const TFieldDescriptor& from_d = from_is_auto ? plain : from;
        const TFieldDescriptor& to_d = to_is_auto ? plain : to;
        bool ok = true;
        if (from.FieldType == kTypeBlob) {
          if (to.FieldType == kTypeBlob) {
            if (!IsNull(from_slot) || GetBlobRef(from_slot).Reference != 0) {
              CopyBlobValue(old_table, from_slot, target, buffer, to.FieldNumber);
            }
          } else {
            ok = false;
          }
        } else {
          ok = ConvertFieldValue(from_d, from_slot, to_d, to_slot, r.language_id, r.sort_id);
        }
        if (to_is_auto) std::copy_n(to_auto.begin() + 1, 4, buffer.begin() + kRecOffAutoIncrement);
        if (!ok) go_on = losses.Lost(kLossConversionLoss, old_name);
      }
      if (!go_on) return false;
      if (!auto_inc_paired) SetRecordAutoIncrement(buffer, RecordAutoIncrement(record));
      try {
        (void)target.AddRecord(buffer, false);
      } catch (const ETarvoEngineError& e) {
        const TEngineCode code = EngineCode(e);
        std::uint8_t cause = kLossPostFailure;
        std::string context;
        if (code == kDuplicateKey) {
          cause = kLossKeyViolation;
          if (e.Names()) context = e.Names()->index;
        } else if (code == kBelowMinimum || code == kAboveMaximum || code == kValueRequired) {
          cause = kLossValidityViolation;
          if (e.Names()) context = e.Names()->field;
        } else if (code != kTableFull && code != kInvalidBlobLength) {
          // A failure of the files themselves leaves the new table in doubt: the run ends and
          // the table stays as it was.
          throw;
        }
        target.CloseBlobValues(buffer);
        if (!losses.Lost(cause, context)) return false;
      }
    }
    if (progress) progress(u, ProgressPercent(u, slots));
  }
  // 3. The new counter; both tables closed, the new files on the disk.
  new_table.DataFile().SetLastAutoIncrement(r.last_auto_inc_value);
  scratch.Finish();
  opened.Close();
  // 4. The new files in place of the old ones.
  ExchangeWithScratch(cursor.Directory(), table_name, scratch, options.in_memory, !r.no_backup);
  return true;
}

}  // namespace

TRestructureRequest RequestFromDefinition(const TTableDefinition& definition) {
  TRestructureRequest r;
  r.fields = definition.fields;
  r.indexes = definition.indexes;
  r.language_id = definition.language_id;
  r.sort_id = definition.sort_id;
  r.user_major_version = definition.user_word1;
  r.user_minor_version = definition.user_word2;
  r.encrypted = definition.encrypted;
  r.password = definition.password;
  r.description = definition.description;
  r.blob_block_size = definition.blob_block_size;
  return r;
}

TRestructureWay RestructureTable(TDataCursor& cursor, const TCursorOpenOptions& options,
                                 TRestructureRequest request, const TRestructureCallbacks& callbacks) {
  CheckMaintenancePreconditions(cursor, options);
  TCursorOpenOptions open = options;
  open.purpose = TCursorPurpose::kNormal;
  // Rebuilding the indexes changes the table in place: a copy of its files taken first rolls an
  // interrupted run back (declared first, so that it acts after the table is closed).
  TSnapshotGuard snapshot;
  TMaintenanceOpen opened(cursor, open);
  TDataTable& table = cursor.Table();
  // Read-only files open the table read-only: nothing of the new definition could be written.
  if (cursor.ReadOnly()) RaiseEngineError(kAccessDenied, table.TableName());
  if (request.last_auto_inc_value == -1) request.last_auto_inc_value = table.DataFile().LastAutoIncrement();
  Validate(request, table.TableName());
  TLossReporter losses(callbacks.data_lost);
  if (StructureChanged(request, table)) {
    const std::string table_name = table.TableName();
    std::string scratch_base;
    try {
      (void)CopyIntoNewTable(cursor, opened, options, request, losses, callbacks.progress, scratch_base);
    } catch (const ETarvoEngineError& e) {
      RethrowNamingTable(e, scratch_base, table_name);
    }
    return TRestructureWay::kCopy;
  }
  const std::vector<bool> changed = ChangedSlots(request, table);
  if (IndexesChanged(request, table, changed)) {
    if (!table.InMemory()) {
      // The index backup too: a run that fails while making it leaves none, and one that an
      // earlier run left comes back.
      table.WriteAll(false, false);
      snapshot.Take(table.Directory().Path(), table.BaseName(),
                    {table.DataFile().FileName(), table.IndexFile().FileName(), table.BlobFile().FileName(),
                     BackupIndexPath(table)});
    }
    (void)RebuildIndexes(cursor, request, changed, losses, callbacks.progress);
    opened.Close();
    snapshot.Commit();
    return TRestructureWay::kIndexesInPlace;
  }
  RewriteDescriptors(table, request);
  opened.Close();
  return TRestructureWay::kHeaderOnly;
}

}  // namespace tarvo
