// The loadable extension libtarvo_sqlite: `.load libtarvo_sqlite` in the sqlite3 shell or
// load_extension() in a program calls the entry point below, which registers the module `tarvo`
// and its functions on that connection. SQLite looks for sqlite3_tarvosqlite_init (the rule: the
// letters of the file name without "lib") and, under any other file name, sqlite3_extension_init.
#include "sql/tarvo_module.h"

SQLITE_EXTENSION_INIT1

namespace {

int Register(sqlite3* db, char** error, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  const int rc = tarvo::sql::RegisterTarvoModule(db);
  if (rc != SQLITE_OK && error != nullptr) *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
  return rc;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int sqlite3_tarvosqlite_init(sqlite3* db, char** error,
                                                                     const sqlite3_api_routines* api) {
  return Register(db, error, api);
}

__attribute__((visibility("default"))) int sqlite3_extension_init(sqlite3* db, char** error,
                                                                  const sqlite3_api_routines* api) {
  return Register(db, error, api);
}

}  // extern "C"
