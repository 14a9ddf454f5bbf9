// Included before every source of the loadable extension (compiler option -include): SQLite's
// functions are called through the table of routines that the loading program hands to the
// entry point, so that the extension uses the program's own SQLite, whichever way that program
// was linked, and never a second copy.
#pragma once

#include <sqlite3ext.h>

SQLITE_EXTENSION_INIT3
