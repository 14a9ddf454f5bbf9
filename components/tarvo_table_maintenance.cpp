// TTarvoTable's table-wide maintenance: restructure, optimize and repair.
#include "components/tarvo_table.h"

#include "components/engine_error.h"

namespace tarvo {

void TTarvoTable::RestructureTable(std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t, bool,
                                   const std::string&, const std::string&, std::uint16_t, std::int32_t, bool) {
  RaiseEngineError(kNotInitialized, TableName());
}

void TTarvoTable::OptimizeTable(const std::string&, bool) { RaiseEngineError(kNotInitialized, TableName()); }

void TTarvoTable::RepairTable() { RaiseEngineError(kNotInitialized, TableName()); }

}  // namespace tarvo
