#include "sql/migrate/table_transfer.h"

#include <algorithm>
#include <exception>

#include "engine/format/field_messages.h"

namespace tarvo::sql {

TTransferOutcome TransferTable(TDataCursor& cursor, TConvertTarget& target,
                               const TTransferProgress& progress) {
  const TTableSchema schema = SchemaOf(cursor);
  const TLanguageId language = cursor.LanguageID();
  const std::int64_t slots = std::max<std::int64_t>(1, cursor.Table().DataFile().RecordSlotCount());
  TTransferOutcome outcome;
  std::vector<TSqlValue> row(schema.fields.size());
  target.BeginTable(schema);
  try {
    cursor.SelectSlotOrder();
    std::int64_t read = 0;
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      const std::int32_t slot = cursor.CurrentSlot();
      const std::string where = "physical record # " + std::to_string(slot) + ": ";
      std::string missing;
      for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        try {
          row[i] = CurrentFieldValue(cursor, schema.fields[i].FieldNumber);
        } catch (const std::exception& e) {
          // Damage of this value alone (a blob chain that cannot be read): the record goes over
          // without it.
          row[i] = std::monostate{};
          missing += (missing.empty() ? "" : "; ") + schema.columns[i] + ": " + MessageText(e, language);
        }
      }
      const auto refused = target.AddRow(row);
      if (refused) {
        ++outcome.left_out;
        outcome.losses.push_back(where + "left out: " + *refused +
                                 (missing.empty() ? "" : " (" + missing + ")"));
      } else {
        ++outcome.records;
        for (const std::string& changed : target.TakeChangedValues()) {
          missing += (missing.empty() ? "" : "; ") + changed;
        }
        if (!missing.empty()) {
          ++outcome.incomplete;
          outcome.losses.push_back(where + "without the value of " + missing);
        }
      }
      if (progress && (++read & 0x3FF) == 0) progress(read, static_cast<int>(slot * 100 / slots));
    }
    outcome.index_failures = target.EndTable();
  } catch (...) {
    target.AbandonTable();
    throw;
  }
  if (progress) progress(outcome.records + outcome.left_out, 100);
  return outcome;
}

}  // namespace tarvo::sql
