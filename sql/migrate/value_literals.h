// Field values (sql/sql_values.h) written as text for other databases: SQL literals of a dialect
// and CSV fields (RFC 4180). Numbers keep every digit: doubles in their shortest form that reads
// back as the same double, fixed-point values as they come (whole, short decimal or exact
// decimal text).
#pragma once

#include <span>
#include <string>

#include "engine/format/field_descriptor.h"
#include "sql/migrate/table_schema.h"
#include "sql/sql_values.h"

namespace tarvo::sql {

// The literal of `value` for a column of the field under `dialect`: NULL, numbers, quoted text,
// bytes as X'..' (SQLite) or '\x..' (PostgreSQL), booleans 0/1 (SQLite) or TRUE/FALSE.
std::string SqlLiteral(const TSqlValue& value, const TFieldDescriptor& field, TSqlDialect dialect);

// "INSERT INTO table VALUES (...);" for one record.
std::string InsertStatement(const TTableSchema& schema, std::span<const TSqlValue> values,
                            TSqlDialect dialect);

// The text of a value in a CSV field, before quoting: empty for NULL, numbers as above, text as
// it is, bytes in hex after "\x" (the form PostgreSQL's COPY reads into BYTEA).
std::string CsvText(const TSqlValue& value);
// Appends one CSV record (fields quoted where RFC 4180 needs it, a NULL as an empty unquoted
// field, an empty text as "") and its CRLF to `out`.
void AppendCsvRecord(std::string& out, std::span<const TSqlValue> values);
// The header record: the column names.
void AppendCsvHeader(std::string& out, std::span<const std::string> names);

}  // namespace tarvo::sql
