// The data-set framework's index definitions: TIndexDefs describes the indexes of a data set's
// table, loaded on demand (Update) and invalidated when the data set's table changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvo {

class TDataSet;

// Index options as bits, in the framework's order.
using TIndexOptions = std::uint8_t;
inline constexpr TIndexOptions kIxPrimary = 0x01;
inline constexpr TIndexOptions kIxUnique = 0x02;
inline constexpr TIndexOptions kIxDescending = 0x04;
inline constexpr TIndexOptions kIxCaseInsensitive = 0x08;

struct TIndexDef {
  std::string Name;
  std::string Fields;  // field names separated by ";"
  TIndexOptions Options = 0;
};

class TIndexDefs {
 public:
  explicit TIndexDefs(TDataSet& data_set) : data_set_(data_set) {}

  TDataSet& DataSet() const { return data_set_; }
  // Requires: the data set is closed (else "Operation bei geöffneter Datenmenge nicht ausführbar").
  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
  void Clear() { items_.clear(); }
  std::size_t Count() const { return items_.size(); }
  TIndexDef& operator[](std::size_t index) const { return *items_.at(index); }

  // Loads the definitions from the data set's table unless they are up to date.
  void Update();
  bool Updated() const { return updated_; }
  void SetUpdated(bool updated) { updated_ = updated; }

  // Adds without the closed-data-set check: the data set itself loads its definitions.
  TIndexDef& AddLoaded(TIndexDef def);

 private:
  TDataSet& data_set_;
  std::vector<std::unique_ptr<TIndexDef>> items_;
  bool updated_ = false;
};

}  // namespace tarvo
