// Built as part of the SQL layer: a header of the layer above it in a subfolder must not be found.
#include "sql/migrate/table_schema.h"
