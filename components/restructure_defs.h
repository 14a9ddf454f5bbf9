// The field and index definitions of a table in the form a restructure takes them, owned by the
// table component. Update() loads them from the table unless they are loaded; the table clears
// the loaded flags whenever its table, database or session name changes.
//
// A field definition converts from and to the engine's 768-byte field descriptor (through
// TFieldDescriptor); an index definition to the engine's 120-byte index descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "components/index_defs.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/field_types.h"
#include "engine/format/index_header.h"

namespace tarvo {

class TRestructureFieldDefs;
class TRestructureIndexDefs;
class TTarvoTable;

// Cuts a text to at most `width` bytes, never inside a UTF-8 sequence.
std::string CutText(const std::string& text, std::size_t width);

// Whether the field loader leaves a descriptor out: a computed field, marked by NotStored
// (byte 247 of the descriptor). Such a field has no place in the record, so a restructure
// cannot carry it; tables without computed fields have 0 there.
bool IsSkippedDescriptor(const TFieldDescriptor& descriptor);

class TRestructureFieldDef {
 public:
  // Raises "Ungültige Feldgröße" for a size that the data type does not allow.
  TRestructureFieldDef(TRestructureFieldDefs* collection, std::string name, TFieldType data_type,
                       bool required, std::uint16_t size, std::uint16_t field_no);

  // The definition of an engine descriptor; nullopt for a type without a field type.
  static std::optional<TRestructureFieldDef> FromDescriptor(TRestructureFieldDefs* collection,
                                                            const TFieldDescriptor& descriptor);
  // A zero-filled descriptor with number, name (30), type and subtype, size or decimals, the
  // required flag, the case mapping and the four texts (50 each).
  TFieldDescriptor ToDescriptor() const;

  TRestructureFieldDefs* Collection() const { return collection_; }
  std::string Name;
  TFieldType DataType;
  bool Required;
  std::uint16_t Size;
  std::uint16_t FieldNo;  // from 1
  std::string DefaultValue;
  std::string MinValue;
  std::string MaxValue;
  std::string Description;
  std::uint8_t CaseMapping = 0;

 private:
  TRestructureFieldDefs* collection_;
};

class TRestructureFieldDefs {
 public:
  explicit TRestructureFieldDefs(TTarvoTable* table) : table_(table) {}

  TRestructureFieldDef& Add(const std::string& name, TFieldType data_type, std::uint16_t size = 0,
                            bool required = false);
  TRestructureFieldDef& Add(TRestructureFieldDef def);
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TRestructureFieldDef& operator[](std::size_t index) const { return *items_.at(index); }
  // nullptr when no definition bears the name (without regard to case).
  TRestructureFieldDef* Find(const std::string& name) const;
  // nullptr when no definition has that field number.
  TRestructureFieldDef* FindNumber(std::uint16_t field_no) const;

  // Loads the definitions from the table unless they are loaded.
  void Update();
  bool Loaded() const { return loaded_; }
  void SetLoaded(bool loaded) { loaded_ = loaded; }

 private:
  TTarvoTable* table_;
  std::vector<std::unique_ptr<TRestructureFieldDef>> items_;
  bool loaded_ = false;
};

struct TRestructureIndexDef {
  TRestructureIndexDefs* Collection = nullptr;
  std::string Name;
  std::string Fields;  // field names separated by ";"
  std::uint8_t Compression = 0;
  TIndexOptions Options = 0;  // kIxPrimary, kIxUnique, kIxDescending, kIxCaseInsensitive

  // The 120-byte descriptor: zero-filled; name cut to 30; the three flags from the options; with
  // descending, every key position's descending mark; the compression; the key fields (at most
  // 16) as the numbers of the field definitions of those names ("Das Feld '%s' wurde nicht
  // gefunden" for a name none bears).
  TIndexDescriptor ToDescriptor(const TRestructureFieldDefs& fields) const;
};

class TRestructureIndexDefs {
 public:
  explicit TRestructureIndexDefs(TTarvoTable* table) : table_(table) {}

  TRestructureIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options,
                            std::uint8_t compression = 0);
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TRestructureIndexDef& operator[](std::size_t index) const { return *items_.at(index); }
  // Moves the definition at `from` to position `to` (the rest keep their order).
  void Move(std::size_t from, std::size_t to);

  // Loads the definitions from the table unless they are loaded (the field definitions first).
  void Update();
  bool Loaded() const { return loaded_; }
  void SetLoaded(bool loaded) { loaded_ = loaded; }

 private:
  TTarvoTable* table_;
  std::vector<std::unique_ptr<TRestructureIndexDef>> items_;
  bool loaded_ = false;
};

}  // namespace tarvo
