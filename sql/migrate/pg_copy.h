// The rows of a table in the text form of PostgreSQL's COPY: one line per record, values separated
// by tabs, NULL as \N, backslash, tab, line feed and carriage return escaped, BYTEA as \\x and hex
// digits. The PostgreSQL target streams it through libpq and the psql script carries it inline
// (COPY ... FROM stdin), so both load the same bytes.
//
// A value that the column's type cannot take as it is becomes what the column can hold, and the
// caller is told (AppendCopyValue returns false) to count it as lost: a date, time or date-time
// that lies outside the calendar (a damaged value, given as its stored number) becomes NULL, and a
// zero character, which PostgreSQL's text types cannot hold, is left out of a memo.
#pragma once

#include <string>
#include <string_view>

#include "engine/format/field_descriptor.h"
#include "sql/sql_values.h"

namespace tarvo::sql {

// How a field's values go into its PostgreSQL column.
enum class TPgCopyKind { kPlain, kText, kTemporal, kBytea };

TPgCopyKind PgCopyKindOf(const TFieldDescriptor& d);

// Appends `value` as one COPY text field (without the separator). Returns false when the value was
// changed to fit the column (see above).
bool AppendCopyValue(std::string& out, const TSqlValue& value, TPgCopyKind kind);

// "COPY table (columns) FROM STDIN" for the quoted names.
std::string CopyStatement(std::string_view quoted_table, const std::vector<std::string>& quoted_columns);

}  // namespace tarvo::sql
