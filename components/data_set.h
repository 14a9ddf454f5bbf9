// TDataSet: the least of a data-set framework that the table components build on: an open or
// closed state, the field and index definitions (changed only while closed), the fields built
// when the data set opens, and the data events (the property-change event in particular).
// Derived classes open and close their cursor in InternalOpen / InternalClose and must Close()
// in their own destructor (the base cannot call them any more).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "components/component.h"
#include "components/field_defs.h"
#include "components/index_defs.h"

namespace tarvo {

enum class TDataEvent {
  kPropertyChange,  // a property that names the table (or its database or session) changed
};

class TDataSet;
using TDataSetNotifyEvent = std::function<void(TDataSet& data_set)>;

class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner = nullptr);
  ~TDataSet() override;

  bool Active() const { return active_; }
  void SetActive(bool active);
  // 1. BeforeOpen; 2. InternalOpen (a failure leaves the data set closed); 3. the fields from
  // the field definitions; 4. positions on the first record (InternalFirst); 5. AfterOpen.
  void Open();
  // BeforeClose, InternalClose, fields freed, AfterClose. The data set is closed afterwards
  // also when InternalClose fails.
  void Close();

  // Raises "Operation bei geöffneter Datenmenge nicht ausführbar" on an open data set.
  void CheckInactive() const;

  TFieldDefs& FieldDefs() { return field_defs_; }
  TIndexDefs& IndexDefs() { return index_defs_; }
  const TFields& Fields() const { return fields_; }

  // The framework's published properties; kept, not interpreted (no records are navigated).
  bool AutoCalcFields = true;
  std::string Filter;
  bool Filtered = false;
  std::uint8_t FilterOptions = 0;

  TDataSetNotifyEvent BeforeOpen;
  TDataSetNotifyEvent AfterOpen;
  TDataSetNotifyEvent BeforeClose;
  TDataSetNotifyEvent AfterClose;

  // Loads IndexDefs from the table (TIndexDefs::Update calls it).
  virtual void UpdateIndexDefs() {}

 protected:
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  // Positions on the first record.
  virtual void InternalFirst() {}
  virtual void DataEvent(TDataEvent event);

 private:
  void CreateFields();

  bool active_ = false;
  TFieldDefs field_defs_{*this};
  TIndexDefs index_defs_{*this};
  TFields fields_;
};

}  // namespace tarvo
