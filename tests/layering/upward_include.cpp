// Built as part of the layer of the file formats: a header of the tables above must not be found.
#include "engine/tables/data_table.h"
