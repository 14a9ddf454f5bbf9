#include "components/tarvo_table.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "components/database_texts.h"
#include "errors/engine_error.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_session.h"
#include "engine/format/data_header.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

// One index of the table as its header slot gives it.
struct TIndexEntry {
  std::string name;
  std::vector<std::uint16_t> field_numbers;
  std::uint8_t compression = 0;
  TIndexOptions options = 0;
};

// Slot 0 (the primary index, unless the table has none) and the secondary indexes, in order.
std::vector<TIndexEntry> ReadIndexEntries(TDataCursor& cursor) {
  const TIndexFile& index_file = cursor.Table().IndexFile();
  const TIndexHeader& header = index_file.Header();
  std::vector<TIndexEntry> entries;
  for (int slot = 0; slot <= index_file.SecondaryIndexCount(); ++slot) {
    if (slot == kPrimarySlot && index_file.NoPrimaryIndex()) continue;
    const TIndexDescriptor& d = header.slots[static_cast<std::size_t>(slot)];
    TIndexEntry entry;
    entry.name = d.name;
    const int count = std::min<int>(d.field_count, kMaxKeyFields);
    for (int k = 0; k < count; ++k)
      entry.field_numbers.push_back(d.field_numbers[static_cast<std::size_t>(k)]);
    entry.compression = d.compression;
    if (slot == kPrimarySlot) entry.options |= kIxPrimary;
    if (d.unique != 0) entry.options |= kIxUnique;
    if (d.descending != 0) entry.options |= kIxDescending;
    if (d.case_insensitive != 0) entry.options |= kIxCaseInsensitive;
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool SameIndexName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// The size a field definition takes from a descriptor: characters or bytes for types 1, 9 and
// 15, the decimal places for type 8, else 0.
int DefinitionSize(const TFieldDescriptor& d) {
  switch (d.FieldType) {
    case kTypeText:
    case kTypeBytes:
    case kTypeVarBytes: return d.FieldSize;
    case kTypeFixed: return d.FieldDecimals;
    default: return 0;
  }
}

}  // namespace

TTarvoTable::TTarvoTable(TComponent* owner) : TTarvoDBDataSet(owner) {}

TTarvoTable::~TTarvoTable() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report the failure.
  }
}

std::string TTarvoTable::EngineVersion() const {
  return kComponentVersion;
}

void TTarvoTable::SetExclusive(bool value) {
  if (value == exclusive_) return;
  CheckInactive();
  exclusive_ = value;
}

void TTarvoTable::SetReadOnly(bool value) {
  if (value == read_only_) return;
  CheckInactive();
  read_only_ = value;
}

void TTarvoTable::SetInMemory(bool value) {
  if (value == in_memory_) return;
  CheckInactive();
  in_memory_ = value;
  if (value) SetDatabaseName("Memory");
}

void TTarvoTable::SetTableName(const std::string& name) {
  if (name == table_name_) return;
  CheckInactive();
  if (IsPathName(name)) {
    const std::size_t cut = name.find_last_of("/\\:") + 1;
    if (!in_memory_) SetDatabaseName(name.substr(0, cut));
    table_name_ = name.substr(cut);
  } else {
    table_name_ = name;
  }
  DataEvent(TDataEvent::kPropertyChange);
}

void TTarvoTable::SetSessionName(const std::string& name) {
  TTarvoDBDataSet::SetSessionName(name);
}

void TTarvoTable::DataEvent(TDataEvent event) {
  TTarvoDBDataSet::DataEvent(event);
  if (event == TDataEvent::kPropertyChange) {
    restructure_field_defs_.SetLoaded(false);
    restructure_index_defs_.SetLoaded(false);
  }
}

void TTarvoTable::CheckTableName() const {
  if (table_name_.empty()) DatabaseError(kSNoTableName);
}

// 1. The database in use (usage bit 0). 2. A table name is required. 3. The index definitions
// are reloaded on demand. 4. An engine cursor opened on the database's directory with the
// table's flags (ReadOnly reports the cursor's state while it is open); the index chosen by
// name. 5. The field definitions from the cursor (the fields follow in TDataSet::Open). A
// failure frees the cursor and releases the database.
void TTarvoTable::InternalOpen() {
  SetDBFlag(TDBFlag::kOpen, true);
  try {
    CheckTableName();
    IndexDefs().SetUpdated(false);
    TTarvoDatabase& database = *Database();
    TSessionLockGuard lock;
    auto cursor = std::make_unique<TDataCursor>(*database.Session().EngineSession(), *database.Handle());
    TCursorOpenOptions options;
    options.table_name = CutToShortText(table_name_);
    options.exclusive = exclusive_;
    options.read_only = read_only_;
    options.in_memory = in_memory_;
    cursor->Open(options);
    if (!index_name_.empty()) {
      bool found = false;
      for (const TIndexEntry& entry : ReadIndexEntries(*cursor)) {
        if (!entry.name.empty() && SameIndexName(entry.name, index_name_)) found = true;
      }
      if (!found) RaiseEngineError(kInvalidIndexName, cursor->Table().TableName(), {}, {}, index_name_);
    }
    FieldDefs().Clear();
    for (const TFieldDescriptor& d : cursor->Descriptors()) {
      const TFieldType type = FieldTypeOf(d.FieldType, d.FieldSubType);
      if (type == TFieldType::ftUnknown) continue;
      FieldDefs().AddLoaded(TFieldDef(d.FieldName, type, DefinitionSize(d), d.Required != 0, d.FieldNumber));
    }
    FieldDefs().SetUpdated(true);
    cursor_ = std::move(cursor);
  } catch (...) {
    try {
      SetDBFlag(TDBFlag::kOpen, false);
    } catch (...) {
      // The open's own failure is the one to report.
    }
    throw;
  }
}

void TTarvoTable::WithCursor(const std::function<void(TDataCursor&)>& read) {
  TSessionLockGuard lock;
  if (cursor_ != nullptr) {
    read(*cursor_);
    return;
  }
  CheckTableName();
  TTarvoDatabase& database = *Database();
  TDataCursor cursor(*database.Session().EngineSession(), *database.Handle());
  TCursorOpenOptions options;
  options.table_name = CutToShortText(table_name_);
  options.read_only = read_only_;
  options.in_memory = in_memory_;
  cursor.Open(options);
  read(cursor);
  cursor.Close();
}

std::uint16_t TTarvoTable::LanguageID() {
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  if (cursor_ != nullptr) return cursor_->LanguageID();
  CheckTableName();
  return ReadClosedTableHeader(*Database()->Handle(), CutToShortText(table_name_), in_memory_).LanguageID;
}

std::uint16_t TTarvoTable::SortID() {
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  if (cursor_ != nullptr) return cursor_->SortID();
  CheckTableName();
  return ReadClosedTableHeader(*Database()->Handle(), CutToShortText(table_name_), in_memory_).SortID;
}

std::uint16_t TTarvoTable::BlobBlockSize() {
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  if (cursor_ != nullptr) return static_cast<std::uint16_t>(cursor_->BlobBlockSize());
  CheckTableName();
  const TDataHeader header =
      ReadClosedTableHeader(*Database()->Handle(), CutToShortText(table_name_), in_memory_);
  return static_cast<std::uint16_t>(EffectiveBlobBlockSize(header));
}

std::int32_t TTarvoTable::LastAutoIncValue() {
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  if (cursor_ != nullptr) return cursor_->LastAutoIncrement();
  CheckTableName();
  return ReadClosedTableHeader(*Database()->Handle(), CutToShortText(table_name_), in_memory_)
      .LastAutoIncrement;
}

bool TTarvoTable::Encrypted() {
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  if (cursor_ != nullptr) return cursor_->Table().DataFile().Encrypted();
  CheckTableName();
  return ReadClosedTableHeader(*Database()->Handle(), CutToShortText(table_name_), in_memory_).Encrypted != 0;
}

std::string TTarvoTable::Password() const {
  TSessionLockGuard lock;
  return cursor_ != nullptr ? cursor_->Table().DataFile().Password() : std::string();
}

// Every engine field in order, except computed fields (IsSkippedDescriptor) and types without
// a field type.
void TTarvoTable::LoadRestructureFieldDefs(TRestructureFieldDefs& defs) {
  TDBFlagGuard use(*this, TDBFlag::kFieldDefs);
  defs.Clear();
  WithCursor([&](TDataCursor& cursor) {
    for (const TFieldDescriptor& d : cursor.Descriptors()) {
      if (IsSkippedDescriptor(d)) continue;
      if (auto def = TRestructureFieldDef::FromDescriptor(&defs, d); def.has_value())
        defs.Add(std::move(*def));
    }
  });
}

// The key fields are named after the field definitions with their field numbers (so the field
// definitions are brought up to date first).
void TTarvoTable::LoadRestructureIndexDefs(TRestructureIndexDefs& defs) {
  restructure_field_defs_.Update();
  TDBFlagGuard use(*this, TDBFlag::kIndexDefs);
  defs.Clear();
  WithCursor([&](TDataCursor& cursor) {
    for (const TIndexEntry& entry : ReadIndexEntries(cursor)) {
      std::string fields;
      for (std::uint16_t number : entry.field_numbers) {
        const TRestructureFieldDef* def = restructure_field_defs_.FindNumber(number);
        if (def == nullptr) DatabaseError(kSFieldNotFound, {std::to_string(number)});
        if (!fields.empty()) fields += ';';
        fields += def->Name;
      }
      defs.Add(entry.name, fields, entry.options, entry.compression);
    }
  });
}

void TTarvoTable::UpdateIndexDefs() {
  TDBFlagGuard use(*this, TDBFlag::kIndexDefs);
  IndexDefs().Clear();
  WithCursor([&](TDataCursor& cursor) {
    const auto& descriptors = cursor.Descriptors();
    for (const TIndexEntry& entry : ReadIndexEntries(cursor)) {
      std::string fields;
      for (std::uint16_t number : entry.field_numbers) {
        if (!fields.empty()) fields += ';';
        for (const TFieldDescriptor& d : descriptors) {
          if (d.FieldNumber == number) fields += d.FieldName;
        }
      }
      IndexDefs().AddLoaded(TIndexDef{entry.name, fields, entry.options});
    }
  });
}

// The maintenance operations are in tarvo_table_maintenance.cpp.

}  // namespace tarvo
