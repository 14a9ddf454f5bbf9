// The data-set framework's field definitions and fields: TFieldDefs describes the columns of a
// data set (loaded from the table), TFields holds the fields built from them when the data set
// opens. Both are owned by their data set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/field_types.h"

namespace tarvo {

class TDataSet;

// The sizes a field type allows: ftString, ftBytes and ftVarBytes 1 to 250, ftBCD 0 to 8 (its
// decimal places), every other type 0.
bool FieldSizeAllowed(TFieldType type, int size);
// Raises EDatabaseError "Ungültige Feldgröße" for a size the type does not allow.
void CheckFieldSize(TFieldType type, int size);

struct TFieldDef {
  // Checks the size (CheckFieldSize).
  TFieldDef(std::string name, TFieldType data_type, int size, bool required, int field_no);

  std::string Name;
  TFieldType DataType;
  int Size;
  bool Required;
  int FieldNo;  // 1-based
};

class TFieldDefs {
 public:
  explicit TFieldDefs(TDataSet& data_set) : data_set_(data_set) {}

  TDataSet& DataSet() const { return data_set_; }
  // Requires: the data set is closed (else "Operation bei geöffneter Datenmenge nicht ausführbar").
  TFieldDef& Add(const std::string& name, TFieldType data_type, int size = 0, bool required = false);
  void Clear();
  std::size_t Count() const { return items_.size(); }
  TFieldDef& operator[](std::size_t index) const { return *items_.at(index); }
  // Position of the definition of that name (without regard to case), −1 when there is none.
  int IndexOf(const std::string& name) const;
  // Raises "Das Feld '%s' wurde nicht gefunden" when there is none.
  TFieldDef& Find(const std::string& name) const;

  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }

  // Adds without the closed-data-set check: the data set itself loads its definitions.
  TFieldDef& AddLoaded(TFieldDef def);

 private:
  TDataSet& data_set_;
  std::vector<std::unique_ptr<TFieldDef>> items_;
  bool updated_ = false;
};

// One field of an open data set. Values are not held here: the maintenance tool reads none.
struct TField {
  std::string FieldName;
  TFieldType DataType = TFieldType::ftUnknown;
  int Size = 0;
  bool Required = false;
  int FieldNo = 0;
};

class TFields {
 public:
  void Clear() { items_.clear(); }
  void Add(TField field) { items_.push_back(std::move(field)); }
  std::size_t Count() const { return items_.size(); }
  const TField& operator[](std::size_t index) const { return items_.at(index); }
  // nullptr when there is none (without regard to case).
  const TField* FindField(const std::string& name) const;
  // Raises "Das Feld '%s' wurde nicht gefunden" when there is none.
  const TField& FieldByName(const std::string& name) const;

 private:
  std::vector<TField> items_;
};

}  // namespace tarvo
