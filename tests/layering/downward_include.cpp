// Built as part of the layer of the file formats: the headers of the layers below it are in sight.
#include "engine/format/data_header.h"
#include "errors/engine_error.h"
#include "support/locale.h"
