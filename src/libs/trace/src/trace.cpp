#include "p7/trace.h"
