// The SQLite virtual-table module "tarvo": SQL over live tables, next to the programs that have
// them open.
//
//   CREATE VIRTUAL TABLE k USING tarvo('dir/Kunden.DAT');  -- one table
//   SELECT tarvo_attach('dir');      -- one table per *.DAT of dir (temp schema), named after it;
//                                    -- returns how many were attached
//   SELECT tarvo_password('secret'); -- a password for encrypted tables opened afterwards
//
// The columns are the table's fields in order, with the declared types and values of
// sql_values.h; the rowid is the record's slot number. Every table of one database connection
// is opened shared through one engine session of that connection: reads and writes take the
// table's locks as any other opener does, so other programs see each change at once. The
// planner walks an index where it narrows the scan (equality on leading key fields, a range on
// the next one, ORDER BY in the index's order or its reverse); SQLite checks every constraint
// on each row itself, so a walk may only ever be wider than the constraints, never narrower.
// Writes go through one shared cursor per table with its record locks; a write statement runs
// inside a transaction of the table's directory, which COMMIT ends and ROLLBACK undoes.
// Engine refusals become SQLite errors with the engine's message: a duplicate key, a required
// or out-of-range value and a value the field cannot hold SQLITE_CONSTRAINT, a record or table
// in use by another program SQLITE_BUSY, a missing password SQLITE_AUTH.
#pragma once

#include <sqlite3.h>

namespace tarvo::sql {

// Registers the module and the two functions on `db`. Returns SQLITE_OK or SQLite's error code.
int RegisterTarvoModule(sqlite3* db);

}  // namespace tarvo::sql
