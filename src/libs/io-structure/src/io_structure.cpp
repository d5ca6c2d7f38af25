#include "talvoro/io_structure.h"
