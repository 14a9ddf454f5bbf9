// Field values as SQL values, both ways: the one mapping between a table's fields and the typed
// values of SQL (NULL, 64-bit integer, double, UTF-8 text, bytes), used by the virtual-table module
// and by everything that carries records into other SQL databases.
//
//   field type                      declared   value
//   text (1), memo, formatted memo  TEXT       decoded from the table's code page into UTF-8
//   date (2)                        TEXT       YYYY-MM-DD
//   time (10)                       TEXT       HH:MM:SS.mmm
//   date-time (11)                  TEXT       YYYY-MM-DD HH:MM:SS.mmm
//   boolean (4)                     INTEGER    0 or 1
//   integers (5, 6, 12, 13), auto-  INTEGER    the value; auto-increment: the record's identifier
//   increment
//   float (7), money, extended (14) REAL       the value
//   fixed point (8)                 NUMERIC    exact: INTEGER when whole; REAL when the value has at
//                                              most 15 significant digits (below 10^11 in magnitude:
//                                              the nearest double prints back as the same decimal);
//                                              otherwise the exact decimal as TEXT ("-123456789012.5")
//   bytes (9, 15), other blobs      BLOB       the bytes
//   any other type code             BLOB       the field's data bytes as stored
//   computed (not stored) field     BLOB       NULL
// A NULL field is NULL. A date, time or date-time outside the calendar (a damaged value) comes out
// as its stored number (day number, milliseconds) rather than as a text it has none of.
//
// The reverse refuses what the field cannot hold as given, with EFieldValueError naming the field:
// a character that the code page has no byte for (never a silent '?'), a text longer than the field
// or holding a zero character, an integer out of the type's range, a number that the field's type
// would not keep exactly (a non-whole number for an integer field, more decimal places than a
// fixed-point field shows, an integer that a double cannot hold), a malformed date or time, bytes
// longer than the field. Values of another SQL type are taken where the conversion loses nothing:
// integer fields take whole REALs and integer TEXT, numeric fields numeric TEXT, text fields numbers
// (in their shortest decimal form), blobs and bytes fields UTF-8 TEXT as its bytes. Trailing blanks
// of a text are not stored and an empty text or blob is stored as NULL, as the engine stores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/tables/data_cursor.h"
#include "support/locale.h"

namespace tarvo::sql {

using TSqlBytes = std::vector<std::byte>;
// NULL, INTEGER, REAL, TEXT (UTF-8), BLOB.
using TSqlValue = std::variant<std::monostate, std::int64_t, double, std::string, TSqlBytes>;

// The declared type of the field's column: "TEXT", "INTEGER", "REAL", "NUMERIC" or "BLOB".
const char* SqlTypeName(const TFieldDescriptor& d);

// The value of a field of a record image (RecordSize bytes). Blob fields have their values in the
// blob file: here they come out NULL; CurrentFieldValue reads them.
TSqlValue RecordFieldValue(std::span<const std::byte> record, const TFieldDescriptor& d,
                           TLanguageId language);
// The value of field `field_number` (1-based) of the cursor's current record, blob values
// included (raises what reading the value raises).
TSqlValue CurrentFieldValue(TDataCursor& cursor, std::uint16_t field_number);

// Stores `value` into field `d` of a record image (blob fields: see PutCursorFieldValue). For the
// auto-increment field a value (1 to 2147483647) becomes the record's identifier and NULL leaves
// the record's identifier as it is. Throws EFieldValueError.
void PutRecordFieldValue(std::span<std::byte> record, const TFieldDescriptor& d, TLanguageId language,
                         TSortId sort, const TSqlValue& value);
// As PutRecordFieldValue for a record of the cursor's table, blob fields included: a blob value is
// set through the cursor and stored when the buffer is added or posted as a change.
void PutCursorFieldValue(TDataCursor& cursor, std::span<std::byte> record, std::uint16_t field_number,
                         const TSqlValue& value);

}  // namespace tarvo::sql
